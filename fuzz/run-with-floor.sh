#!/usr/bin/env bash
# Runs one libFuzzer target and holds it to its coverage floor.
#
#   run-with-floor.sh <floors file> <target binary> [libFuzzer arguments...]
#
# Prints one line: the target, its final coverage (libFuzzer's "cov:"), its
# floor and the number of inputs it ran. Fails when the target crashed, when
# its final coverage is below the floor, or when the floors file has no line
# for it: a target whose code lost its instrumentation still "passes" as a
# fuzzer, only the coverage figure shows that it went blind.
set -uo pipefail

if (($# < 2)); then
  echo "usage: $0 <floors file> <target binary> [libFuzzer arguments...]" >&2
  exit 2
fi
floors=$1
binary=$2
shift 2
name=$(basename "$binary")

# The name as built ("regfile_fuzz"); the short form ("regfile") is accepted
# too, so a floor line is not silently ignored for want of the suffix.
floor=$(awk -v name="$name" '
  { sub(/#.*/, "") }
  NF >= 2 && ($1 == name || $1 "_fuzz" == name) { print $2; exit }
' "$floors" 2>/dev/null)
if [[ ! $floor =~ ^[0-9]+$ ]]; then
  echo "$name: FAILED: no coverage floor for it in $floors (add a line \"$name <minimum cov>\")"
  exit 1
fi

log=$(mktemp "${TMPDIR:-/tmp}/$name.XXXXXX.log")
trap 'rm -f "$log"' EXIT
rc=0
"$binary" "$@" -print_final_stats=1 >"$log" 2>&1 || rc=$?

# The last status line carries the final figures ("#1234  DONE  cov: 812 ...").
cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | grep -oE '[0-9]+' || true)
runs=$(grep -oE '^stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$' || true)
if [[ -z $runs ]]; then
  runs=$(grep -oE '^#[0-9]+' "$log" | tail -n 1 | tr -d '#' || true)
fi
crashes=$(grep -oE 'Test unit written to .*' "$log" | sed 's/^Test unit written to //' || true)

summary="$name: cov ${cov:-none} (floor $floor), ${runs:-0} runs"
if ((rc != 0)) || [[ -n $crashes ]]; then
  echo "$summary"
  tail -n 60 "$log"
  while read -r file; do
    [[ -n $file ]] && echo "$name: crash input written to $file"
  done <<<"$crashes"
  echo "$name: FAILED: the target stopped with status $rc"
  exit 1
fi
if [[ -z $cov ]]; then
  tail -n 30 "$log"
  echo "$name: FAILED: libFuzzer printed no coverage figure"
  exit 1
fi
if ((cov < floor)); then
  echo "$summary"
  echo "$name: FAILED: coverage $cov is below the floor $floor; is the code it drives still" \
    "built with -fsanitize=fuzzer-no-link?"
  exit 1
fi
echo "$summary"
