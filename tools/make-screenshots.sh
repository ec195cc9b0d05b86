#!/usr/bin/env bash
# Takes screenshots of the desktop tool under Xvfb after a pass and after a failure, into docs/,
# and one after a pass on a screen at twice the scale (docs/screenshot-2x.png), where the window
# shows its pictures drawn at 2x.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BUILD_DIR:-$root/build}/bin
# shoot PHOTO OUT [SCALE]: the window is 701 x 488 at (20, 20), so the screen is a bit larger.
shoot() {
  local scale=${3:-1}
  local screen="$((800 * scale))x$((560 * scale))x24"
  xvfb-run -a -s "-screen 0 $screen" env QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" \
    "$bin/vrel_screenshot" "$1" "$2"
}
shoot "$root/samples/passed-grey-600x800.jpg" "$root/docs/screenshot-passed.png"
shoot "$root/samples/face-count-wrong.jpg" "$root/docs/screenshot-rejected.png"
shoot "$root/samples/background-rejected.jpg" "$root/docs/screenshot-corrected.png"
shoot "$root/samples/passed-grey-600x800.jpg" "$root/docs/screenshot-2x.png" 2
