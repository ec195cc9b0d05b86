#!/usr/bin/env bash
# Takes screenshots of the desktop tool under Xvfb after a pass and after a failure, into docs/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${BUILD_DIR:-$root/build}/bin
shoot() {
  xvfb-run -a -s "-screen 0 800x560x24" env QT_QPA_PLATFORM=xcb "$bin/vrel_screenshot" "$1" "$2"
}
shoot "$root/samples/passed-grey-600x800.jpg" "$root/docs/screenshot-passed.png"
shoot "$root/samples/background-rejected.jpg" "$root/docs/screenshot-rejected.png"
shoot "$root/samples/correctable/half-length.jpg" "$root/docs/screenshot-corrected.png"
