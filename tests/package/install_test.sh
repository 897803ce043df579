#!/usr/bin/env bash
# Installs the build into a scratch root as a package would (prefix /usr) and
# checks what a desktop needs to find and start Tavro there.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null
usr=$root/usr
id=jp.quillbet.tavro

desktop=$usr/share/applications/$id.desktop
[[ -f $desktop ]] || fail "no desktop entry at ${desktop#"$root"}"
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
[[ -z $out ]] || fail "desktop-file-validate: $out"

# The entry must start the installed program and name the installed icon.
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[[ -x $usr/bin/${exec_line%% *} ]] || fail "Exec=$exec_line is not an installed program"
icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 22 24 32 48 64 128 256; do
  png=$usr/share/icons/hicolor/${size}x$size/apps/$icon.png
  [[ -f $png ]] || fail "no icon at ${png#"$root"}"
  [[ $(identify -format '%wx%h' "$png") == "${size}x$size" ]] || fail "${png#"$root"} is not ${size}x$size"
done
[[ -f $usr/share/icons/hicolor/scalable/apps/$icon.svg ]] || fail "no scalable icon"

# validate-tree also checks that the metainfo names the desktop entry beside it.
metainfo=$usr/share/metainfo/$id.metainfo.xml
[[ -f $metainfo ]] || fail "no metainfo at ${metainfo#"$root"}"
appstreamcli validate --no-net "$metainfo" >/dev/null || fail "$(appstreamcli validate --no-net "$metainfo")"
appstreamcli validate-tree --no-net "$root" >/dev/null || fail "$(appstreamcli validate-tree --no-net "$root")"

# The user guide where the program looks for it (../share/tavro from its own
# folder), with every picture it links to beside it.
guide=$usr/share/tavro/userguide.html
[[ -s $guide ]] || fail "no user guide at ${guide#"$root"}"
while read -r src; do
  [[ -f $usr/share/tavro/$src ]] || fail "the user guide shows $src, which is not installed"
done < <(grep -o '<img src="[^"]*"' "$guide" | sed 's/<img src="//; s/"$//')
[[ -f $usr/share/doc/tavro/README.md ]] || fail "no README in the documentation folder"

# The TLS and SFTP modules where the installed program looks for them (a path
# relative to its own folder, compiled in), each with the one entry point it
# calls.
modules=("$usr"/lib/*/tavro/tavro_tls.so "$usr"/lib/tavro/tavro_tls.so)
module=
for candidate in "${modules[@]}"; do [[ -f $candidate ]] && module=$candidate; done
[[ -n $module ]] || fail "no TLS module under ${usr#"$root"}/lib"
grep -qaF "../${module#"$usr"/}" "$usr/bin/tavro" || fail "the program does not look for ${module#"$root"}"
nm -D --defined-only "$module" | grep -qw tavro_tls_functions || fail "${module#"$root"} has no tavro_tls_functions"
sftp=${module%/*}/tavro_sftp.so
[[ -f $sftp ]] || fail "no SFTP module beside ${module#"$root"}"
grep -qaF "../${sftp#"$usr"/}" "$usr/bin/tavro" || fail "the program does not look for ${sftp#"$root"}"
nm -D --defined-only "$sftp" | grep -qw tavro_sftp_functions || fail "${sftp#"$root"} has no tavro_sftp_functions"
echo "install layout ok"
