#!/usr/bin/env bash
# Compiles every source outside the desktop tool for Windows, syntax only, with Debian's
# MinGW-w64 cross compiler against the library headers the core uses (OpenCV, libjpeg, libpng,
# libtiff, libwebp, nettle, inih, CLI11, nlohmann-json, Boost): POSIX-only code outside platform/ fails here.
# The POSIX threading flavour of the compiler is used: its standard library has std::thread.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
compiler=x86_64-w64-mingw32-g++-posix
command -v "$compiler" >/dev/null || compiler=x86_64-w64-mingw32-g++
command -v "$compiler" >/dev/null || { echo "check-windows: MinGW-w64 is missing" >&2; exit 1; }

# Only the libraries' own headers, never the Linux system headers beside them.
include=$(mktemp -d "${TMPDIR:-/tmp}/vrel-windows-XXXXXX")
trap 'rm -rf "$include"' EXIT
ln -s /usr/include/opencv4/opencv2 "$include/opencv2"
for dir in CLI nlohmann boost webp nettle; do ln -s "/usr/include/$dir" "$include/$dir"; done
for header in jpeglib.h jerror.h jmorecfg.h png.h pngconf.h ini.h; do
  ln -s "/usr/include/$header" "$include/$header"
done
ln -s "$(dpkg -L libjpeg62-turbo-dev | grep '/jconfig.h$' | head -n 1)" "$include/jconfig.h"
ln -s "$(dpkg -L libpng-dev | grep '/pnglibconf.h$' | head -n 1)" "$include/pnglibconf.h"
for header in tiff.h tiffconf.h tiffio.h tiffvers.h; do
  ln -s "$(dpkg -L libtiff-dev | grep "/$header\$" | head -n 1)" "$include/$header"
done
# The header the build makes from the project's version.
version=$(sed -nE 's/^project\(VrelPictureCheck VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
mkdir -p "$include/base"
sed "s/@PROJECT_VERSION@/$version/" "$root/base/version.h.in" >"$include/base/version.h"

cd "$root"
failed=0
count=0
for source in platform/windows.cpp networks/*.cpp landmarks/*.cpp quality/*.cpp check/*.cpp output/*.cpp correct/*.cpp \
  correct/backdrop/*.cpp fingerprint/*.cpp decisions/*.cpp report/*.cpp setup/*.cpp \
  cli/*.cpp serve/*.cpp; do
  count=$((count + 1))
  if ! "$compiler" -std=c++17 -fsyntax-only -Wall -Wextra -D_WIN32_WINNT=0x0A00 -I"$root" \
    -I"$include" "$source"; then
    echo "check-windows: $source does not compile for Windows" >&2
    failed=$((failed + 1))
  fi
done
echo "check-windows: $count sources, $failed failed"
[ "$failed" -eq 0 ]
