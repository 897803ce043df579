#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, run and test Tavro.
# Idempotent and quiet: prints nothing when everything is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build clang libclang-rt-14-dev
  qt6-base-dev libpoco-dev libgtest-dev libgmock-dev libbenchmark-dev libssl-dev
  libssh-dev openssh-server openssh-client
  vsftpd coturn xvfb xauth fonts-ipafont-gothic qt6-translations-l10n curl imagemagick
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
  # The SFTP tests start sshd themselves, on a port of their own; the system's
  # sshd that the openssh-server package would start is not wanted. A
  # policy-rc.d that the machine already has is left as it is.
  policy=/usr/sbin/policy-rc.d
  made_policy=
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" >/dev/null
    "${sudo[@]}" chmod 755 "$policy"
    made_policy=1
  fi
  if ! { "${sudo[@]}" apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}"; } >"$log" 2>&1; then
    [[ -n $made_policy ]] && "${sudo[@]}" rm -f "$policy"
    cat "$log" >&2
    echo "setup: installing ${missing[*]} failed" >&2
    exit 1
  fi
  [[ -n $made_policy ]] && "${sudo[@]}" rm -f "$policy"
  rm -f "$log"
fi
