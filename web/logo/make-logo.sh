#!/usr/bin/env bash
# Draws the program's logo (a prompt chevron and cursor on a dark rounded square) as
# logo.png (256 px) and logo.ico (16-256 px). Run by hand after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
convert -size 256x256 xc:none \
  -fill '#16202e' -stroke '#2b3a50' -strokewidth 6 -draw 'roundrectangle 8,8 247,247 56,56' \
  -fill none -stroke '#5fc4c9' -strokewidth 22 -draw 'stroke-linecap round stroke-linejoin round polyline 66,82 118,128 66,174' \
  -stroke '#d7dce5' -strokewidth 22 -draw 'stroke-linecap round line 138,178 192,178' \
  logo.png
convert logo.png -define icon:auto-resize=256,128,64,48,32,16 logo.ico
