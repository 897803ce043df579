#!/usr/bin/env bash
# Builds the Debian package from a Release build: build/release/tavro_<version>_<arch>.deb,
# installable with `apt-get install ./build/release/tavro_*.deb`. The release
# preset optimises at -O2, as Debian builds its packages: at -O3 GCC 12 warns
# falsely (-Wrestrict) inside std::string, and warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
log=$(mktemp)
if ! { cmake --preset release && cmake --build --preset release && cpack --preset release; } >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
ls build/release/tavro_*.deb
