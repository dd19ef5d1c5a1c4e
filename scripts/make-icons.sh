#!/usr/bin/env bash
# Draws the program's icon (a rail track seen from above on a green disc) at
# every size the desktops ask for, and packs the Windows icon from the same
# images: 32 x 32 in 16 colours for the classic shell, 48 and 256 in full
# colour for modern ones. The results are committed; run this again only to
# change the artwork. Needs ImageMagick.
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
    -resize "${s}x${s}" -depth 8 "PNG32:$out/quelmar-$s.png"
done
# The 16-colour image has no alpha channel; the classic dialog grey stands
# behind the disc.
convert "$out/quelmar-32.png" -background '#c0c0c0' -alpha remove -colors 16 -type palette "BMP3:$out/quelmar-32-16.bmp"
convert "$out/quelmar-32-16.bmp" "$out/quelmar-48.png" "$out/quelmar-256.png" "$out/../quelmar.ico"
rm "$out/quelmar-32-16.bmp"
