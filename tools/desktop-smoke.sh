#!/usr/bin/env bash
# Drives the real desktop tool under Xvfb as an operator would: Open a sample portrait, Save it,
# Exit; takes a screenshot after each step into OUT_DIR and reviews the saved file again.
# Needs xvfb, xdotool and imagemagick. Usage: tools/desktop-smoke.sh [OUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-/tmp/vrel-desktop-smoke}" && cd "${1:-/tmp/vrel-desktop-smoke}" && pwd)
rm -f "$out"/*.png "$out"/*.jpg
cat >"$out/drive.sh" <<DRIVE
set -e
cd "$out"
"$root/build/bin/VrelPictureCheck" &
pid=\$!
sleep 2
wid=\$(xdotool search --onlyvisible --name VrelPictureCheck | head -1)
eval \$(xdotool getwindowgeometry --shell \$wid)
click() { xdotool mousemove \$((X + \$1)) \$((Y + \$2)) click 1; }
click 569 199; sleep 2; import -window root 1-open-dialog.png
xdotool type --delay 20 "$root/samples/passed-grey-600x800.jpg"; xdotool key Return
sleep 3; import -window root 2-after-open.png
click 572 302; sleep 2; import -window root 3-save-dialog.png
xdotool key Return; sleep 2; import -window root 4-after-save.png
click 573 401
wait \$pid
echo "desktop tool ended with status \$?"
DRIVE
HOME=$out timeout 60 xvfb-run -a -s "-screen 0 1024x700x24" bash "$out/drive.sh"
"$root/build/bin/vrel-check" -q "$out/报名照片.jpg"
