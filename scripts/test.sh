#!/usr/bin/env bash
# Sets everything up and runs every test: the default build, the address and
# undefined-behaviour sanitizer build, ThreadSanitizer on the core tests and
# each fuzz target for a bounded time. Quiet on success but for one line per
# stage; the full log of a failing stage is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

logdir=build/logs
mkdir -p "$logdir"
passed=0
failed=0

stage() {
  local preset=$1 log="$logdir/$1.log"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "$preset: build failed" >&2
    exit 1
  fi
  local rc=0
  ctest --preset "$preset" >>"$log" 2>&1 || rc=$?
  local summary
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [[ -z $summary ]]; then
    cat "$log" >&2
    echo "$preset: no test ran" >&2
    exit 1
  fi
  local total fails
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
  fails=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  passed=$((passed + total - fails))
  failed=$((failed + fails))
  if ((rc != 0 || fails != 0)); then
    cat "$log" >&2
  fi
  echo "$preset: $summary"
  # Each fuzz target's final coverage against its floor, failing or not.
  grep -oE '[a-z0-9_]+_fuzz: (cov .*|FAILED.*)' "$log" | sed 's/^/  /' || true
}

stage default
stage asan
stage tsan
stage fuzz

echo "tests: $passed passed, $failed failed"
((failed == 0))
