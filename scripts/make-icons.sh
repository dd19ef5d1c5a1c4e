#!/usr/bin/env bash
# Draws the program's icon (a rail track seen from above on a green disc) at
# every size the desktops ask for. The PNGs are committed; run this again only
# to change the artwork. Needs ImageMagick.
set -euo pipefail
out="$(cd "$(dirname "$0")/.." && pwd)/resources/icons"
mkdir -p "$out"
for size in 16 24 32 48 64 128 256; do
  s=$size
  convert -size 256x256 xc:none \
    -fill '#1f6f3a' -stroke '#0b3318' -strokewidth 8 -draw 'circle 128,128 128,8' \
    -stroke '#8b5a2b' -strokewidth 18 \
    -draw 'line 70,60 186,60' -draw 'line 70,104 186,104' -draw 'line 70,148 186,148' -draw 'line 70,192 186,192' \
    -stroke '#d9d9d9' -strokewidth 14 -draw 'line 96,30 96,226' -draw 'line 160,30 160,226' \
    -resize "${s}x${s}" "$out/quelmar-$s.png"
done
