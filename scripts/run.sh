#!/usr/bin/env bash
# Sets everything up, builds Tavro and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
log=$(mktemp)
if ! { cmake --preset default && cmake --build --preset default --target tavro; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
exec build/default/tavro "$@"
