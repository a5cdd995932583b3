#!/usr/bin/env bash
# Draws the console's icon (an orange kart number plate with a white tachometer whose needle rests on the
# limiter mark) and stores it as a Windows icon: one 256x256 32-bit RGBA image, PNG-compressed.
# Usage: tools/make-icon.sh [output.ico]   (default: qml/app_icon.ico). Needs ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-qml/app_icon.ico}
png=$(mktemp --suffix=.png)
trap 'rm -f "$png"' EXIT

# The dial: a 270-degree band between radii 73 and 95 round (128,144), open at the bottom, red over its last quarter, with
# a dark limiter mark where the red begins and the needle resting on it.
convert -size 256x256 xc:none \
    -fill '#ff5f00' -stroke '#2a2a2a' -strokewidth 8 -draw 'roundrectangle 8,8 247,247 40,40' \
    -stroke none -fill white \
    -draw 'path "M 60.8,211.2 A 95,95 0 1,1 216.1,108.4 L 195.7,116.7 A 73,73 0 1,0 76.4,195.6 Z"' \
    -fill '#c00000' \
    -draw 'path "M 216.1,108.4 A 95,95 0 0,1 195.2,211.2 L 179.6,195.6 A 73,73 0 0,0 195.7,116.7 Z"' \
    -stroke '#2a2a2a' -strokewidth 8 -draw 'line 191.0,118.5 220.7,106.5' \
    -stroke white -strokewidth 12 -draw 'line 128,144 187.3,120.0' \
    -stroke none -fill '#2a2a2a' -draw 'circle 128,144 128,164' \
    -strip -define png:exclude-chunks=date,time -define png:compression-level=9 "PNG32:$png"

# ICONDIR (reserved, type 1 = icon, one image), then the ICONDIRENTRY (width and height 0 mean 256,
# no palette, one plane, 32 bits per pixel, data size, data offset 22), then the PNG itself.
size=$(stat -c %s "$png")
le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))\\x$(printf %02x $(($1 >> 16 & 255)))\\x$(printf %02x $(($1 >> 24 & 255)))"; }
{
    printf '\x00\x00\x01\x00\x01\x00'
    printf '\x00\x00\x00\x00\x01\x00\x20\x00'
    le32 "$size"
    le32 22
    cat "$png"
} >"$out"
echo "$out: $(stat -c %s "$out") bytes"
