#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, and axe-core (the
# accessibility checker of the browser tests) from the npm registry into .cache/npm.
# Only what is missing is installed, so a second run is quick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
axe_version=4.14.1

packages=(
  build-essential cmake pkg-config clang-format
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-objdetect-dev
  libopencv-dnn-dev
  libopencv-dev opencv-data
  qt6-base-dev qt6-base-dev-tools qt6-translations-l10n
  libinih-dev nettle-dev nlohmann-json3-dev libcli11-dev libjpeg-dev libpng-dev libtiff-dev libwebp-dev libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-wqy-microhei
  xvfb xauth x11-apps xdotool imagemagick libimage-exiftool-perl wrk bc
  clang libclang-rt-14-dev
  chromium chromium-driver python3-selenium
  python3-onnx python3-flatbuffers python3-numpy python3-pil
  lintian dpkg-dev file mingw-w64
)
# Debian's npm, unless a Node.js that brings its own npm (and conflicts with Debian's) is there.
if ! command -v npm >/dev/null; then packages+=(npm); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

if [ ! -f "$root/.cache/npm/node_modules/axe-core/axe.min.js" ]; then
  npm install --prefix "$root/.cache/npm" --no-audit --no-fund "axe-core@$axe_version"
fi
