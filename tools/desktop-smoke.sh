#!/usr/bin/env bash
# Drives the real desktop tool under Xvfb as an operator would, taking a screenshot after each
# step into OUT_DIR, then reviews the saved files again:
#   1. Open a sample portrait, Save it, Exit;
#   2. Open a photo that the correction mends, accept the offer, Save it, Exit.
# Needs xvfb, xdotool and imagemagick. Usage: tools/desktop-smoke.sh [OUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-/tmp/vrel-desktop-smoke}" && cd "${1:-/tmp/vrel-desktop-smoke}" && pwd)
rm -rf "$out"/*.png "$out"/*.jpg "$out"/pass "$out"/corrected
mkdir -p "$out/pass" "$out/corrected"
cat >"$out/drive.sh" <<DRIVE
set -e
# One session: open PHOTO, answer any question with Enter, save, exit; screenshots with PREFIX.
session() {
  cd "\$1"
  "$root/build/bin/VrelPictureCheck" &
  pid=\$!
  sleep 2
  wid=\$(xdotool search --onlyvisible --name VrelPictureCheck | head -1)
  eval \$(xdotool getwindowgeometry --shell \$wid)
  click() { xdotool mousemove \$((X + \$1)) \$((Y + \$2)) click 1; }
  click 569 199; sleep 2; import -window root 1-open-dialog.png
  xdotool type --delay 20 "\$2"; xdotool key Return
  sleep 3; import -window root 2-after-open.png
  if [ "\$3" = answer ]; then
    xdotool key Return; sleep 2; import -window root 3-after-answer.png
  fi
  click 572 302; sleep 2; import -window root 4-save-dialog.png
  xdotool key Return; sleep 2; import -window root 5-after-save.png
  click 573 401
  wait \$pid
  echo "desktop tool ended with status \$?"
}
session "$out/pass" "$root/samples/passed-grey-600x800.jpg" none
session "$out/corrected" "$root/samples/correctable/off-centre.png" answer
DRIVE
HOME=$out timeout 120 xvfb-run -a -s "-screen 0 1024x700x24" bash "$out/drive.sh"
"$root/build/bin/vrel-check" -q "$out/pass/报名照片.jpg" "$out/corrected/报名照片.jpg"
"$root/build/bin/vrel-check" -q --ignore-marker "$out/corrected/报名照片.jpg"
