#!/usr/bin/env bash
# Makes the sample photos in samples/ from the shared real photographs, with ImageMagick.
# Each sample is named after the verdict that the shipped setting.vr gives it.
# Usage: tools/make-samples.sh [PHOTOS_DIR]   (default: ../shared/photos beside the repository)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
photos=${1:-$root/../shared/photos}
out=$root/samples
mkdir -p "$out"
grace=$photos/grace_hopper.jpg
grey='rgb(215,215,215)'
white='rgb(242,242,242)'

# Passes: the portrait on a plain light grey or white backdrop, head centred.
convert "$grace" -resize 520x -gravity south -background "$grey" -extent 600x800 -quality 92 \
  "$out/passed-grey-600x800.jpg"
convert "$grace" -resize 880x -gravity south -background "$white" -extent 1200x1600 -quality 90 \
  "$out/passed-white-1200x1600.jpg"
# Passes at once: a file that ends in the pass marker (here too small to pass otherwise).
cp "$grace" "$out/passed-by-marker.jpg"
printf '\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0f\x0e\x09' >> "$out/passed-by-marker.jpg"

# Rejections, one per reason.
cp "$photos/coffee.png" "$out/not-jpeg.jpg"                       # a PNG named .jpg
cp "$photos/truncated.jpg" "$out/file-size-out-of-range.jpg"      # 400 bytes, under pic_min_size
cp "$grace" "$out/pixel-size-out-of-range.jpg"                    # 512 x 600: under 640 high
convert "$grace" -resize 640x -quality 92 "$out/background-rejected.jpg"   # flag in the top left
convert "$grace" -resize 330x \( +clone \) +append -gravity south -background "$grey" \
  -extent 700x900 -quality 92 "$out/face-count-wrong.jpg"         # two faces
convert "$grace" -resize 300x -gravity south -background "$grey" -extent 600x800 -quality 92 \
  "$out/placement-wrong.jpg"                                      # face too small and low
convert "$grace" -resize 520x -gravity southwest -background "$grey" -extent 600x800 -quality 92 \
  "$out/not-centred.jpg"                                          # pushed to the left
chmod 644 "$out"/*
