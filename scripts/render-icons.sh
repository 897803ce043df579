#!/usr/bin/env bash
# Renders every res/icons/<id>.svg into the PNG sizes the program uses
# (window and tray: 16, 24, 32; larger views: 48, 64). The PNGs are committed,
# so a build needs no renderer; run this after changing an SVG.
set -euo pipefail
cd "$(dirname "$0")/../res/icons"
for svg in *.svg; do
  id=${svg%.svg}
  for size in 16 24 32 48 64; do
    convert -background none -density 384 "$svg" -resize "${size}x${size}" \
      -strip "PNG32:${id}-${size}.png"
  done
done
