#!/usr/bin/env bash
# Renders every res/icons/<id>.svg into the PNG sizes the program uses
# (window and tray: 16, 24, 32; larger views: 48, 64), and the application
# icon (128) into the sizes desktops look up in the icon theme, which are
# installed rather than compiled in. The PNGs are committed, so a build needs
# no renderer; run this after changing an SVG.
set -euo pipefail
cd "$(dirname "$0")/../res"
render() {
  convert -background none -density 384 "$1" -resize "$2x$2" -strip "PNG32:$3"
}
for svg in icons/*.svg; do
  id=$(basename "$svg" .svg)
  for size in 16 24 32 48 64; do
    render "$svg" "$size" "icons/${id}-${size}.png"
  done
done
mkdir -p desktop/icons
for size in 16 22 24 32 48 64 128 256; do
  render icons/128.svg "$size" "desktop/icons/${size}.png"
done
