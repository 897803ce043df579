#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Tavro.
# Idempotent and quiet: prints nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev
  qt6-base-dev libpoco-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  vsftpd xvfb xauth fonts-ipafont-gothic qt6-translations-l10n curl imagemagick
  openbox trayer xdotool x11-utils
  python3 openssl dpkg-dev desktop-file-utils appstream iproute2 util-linux
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=()
  if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
  log=$(mktemp)
  if ! { "${sudo[@]}" apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "setup: installing ${missing[*]} failed" >&2
    exit 1
  fi
  rm -f "$log"
fi
