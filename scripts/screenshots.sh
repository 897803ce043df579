#!/bin/sh
# Takes the screenshots of docs/screenshots from the real windows under a
# private X server (xvfb-run), drawn with the installed Japanese font.
set -eu
cd "$(dirname "$0")/.."
cmake --build --preset default --target ui_screenshots
xvfb-run -a -s "-screen 0 1280x1024x24 -dpi 96" \
  env -u QT_QPA_PLATFORM QT_QPA_PLATFORM=xcb build/default/tests/ui/ui_screenshots docs/screenshots
