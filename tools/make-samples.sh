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

# Photos that the correction mends (vrel-check --correct-dir, the desktop tool's offer): the
# portrait with the flag and backdrop around its head painted over, as if taken before a plain
# wall, then framed wrongly.
mkdir -p "$out/correctable"
clean=$(mktemp --suffix=.png)
trap 'rm -f "$clean"' EXIT
convert "$grace" \( -size 512x600 xc:black -fill white -draw "ellipse 264,170 120,168 0,360" \
  -draw "rectangle 0,330 511,599" \) -alpha off -compose CopyOpacity -composite \
  -background 'rgb(232,232,232)' -alpha remove "$clean"
convert -size 1600x2000 'xc:rgb(232,232,232)' "$clean" -geometry +544+1400 -composite \
  -quality 92 "$out/correctable/half-length.jpg"      # face too small to find once normalised
convert -size 600x800 'xc:rgb(232,232,232)' \( "$clean" -resize 538x \) -geometry +62+170 \
  -composite -strip "PNG24:$out/correctable/off-centre.png" # a PNG, the face off centre
chmod 644 "$out"/correctable/*
