#!/usr/bin/env bash
# Fuzzes every target far longer than the test stage does, one after another.
#
#   scripts/fuzz.sh [seconds per target, default 600] [target...]
#
# Builds the fuzz preset if needed. Each target's corpus grows in
# build/fuzz-corpus/<target> from one run to the next (its seeds in
# fuzz/corpus/<target> are read, never written); crash, time-out and
# out-of-memory inputs land in build/fuzz-crashes/. Prints each target's final
# coverage and runs, names every crash file, and exits non-zero if any target
# failed or fell below its coverage floor.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
if [[ ! $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "usage: $0 [seconds per target] [target...]" >&2
  exit 2
fi
shift $(($# > 0 ? 1 : 0))

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

mkdir -p build/fuzz-crashes
summaries=()
failed=0
for target in "${targets[@]}"; do
  binary=build/fuzz/fuzz/$target
  if [[ ! -x $binary ]]; then
    echo "$target: no such target (looked for $binary)" >&2
    exit 2
  fi
  corpus=build/fuzz-corpus/$target
  mkdir -p "$corpus"
  echo "$target: fuzzing for $seconds s ($(date -u +%H:%M) UTC)"
  # A single input that takes ten seconds is a hang worth a file of its own.
  out=$(fuzz/run-with-floor.sh fuzz/coverage-floors.txt "$binary" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="build/fuzz-crashes/$target-" "$corpus" "fuzz/corpus/$target") || failed=1
  echo "$out"
  summaries+=("$(grep -E "^$target: (cov|FAILED)" <<<"$out" | head -n 1)")
  summaries+=("$(grep -E "^$target: crash input written to" <<<"$out" || true)")
done

echo
echo "fuzz.sh: $seconds s per target"
for line in "${summaries[@]}"; do
  [[ -n $line ]] && echo "$line"
done
if ((failed != 0)); then
  echo "fuzz.sh: FAILED (see above)"
  exit 1
fi
echo "fuzz.sh: all targets passed"
