#!/usr/bin/env bash
# Builds the picture generator in build-pictures/ and regenerates:
#   data/tips/state{1,3,4,6,7,8,9}.jpg, state6-blue.jpg
#   app/resources/background.png, open.png, save.png, exit.png
#   app/resources/icon16.png, icon32.png, icon48.png
#   app/resources/background@2x.png, open@2x.png, save@2x.png, exit@2x.png,
#     icon16@2x.png, icon32@2x.png, icon48@2x.png (the same drawings at twice the resolution)
#   data/labels/*.png (verdict labels for vrel-check --annotate)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="$root/build-pictures"

cmake -S "$root/tools/pictures" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j1

QT_QPA_PLATFORM=offscreen "$build/make_pictures" "$root"
