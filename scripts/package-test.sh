#!/usr/bin/env bash
# Builds the Debian package and checks it.
#
#   scripts/package-test.sh
#
# Configures and builds in BUILD_DIR (default: build-pkg) with Debian's hardening flags
# (dpkg-buildflags), makes the package with `cpack -G DEB`, runs lintian on it (any error fails,
# warnings are printed), and checks the package itself: its file list and permissions, its control
# fields, and an unpacked copy: the installed vrel-check reviews the samples with the settings,
# labels and face detector of its own installed folder, the three programs answer --version and
# --help (the desktop tool without a display), and the manual pages format without warnings and
# describe every option that --help lists.
#
# With VREL_PACKAGE_INSTALL_TEST=1 it also installs the package with apt-get, runs the installed
# /usr/bin/vrel-check and removes the package again: only for a throwaway machine.
#
# Every build step holds the shared build lock (VREL_BUILD_LOCK, default /tmp/vrel-build.lock);
# JOBS (default 2) is the number of compile jobs.
set -euo pipefail
umask 022

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-pkg}
lock=${VREL_BUILD_LOCK:-/tmp/vrel-build.lock}
jobs=${JOBS:-2}
package=vrelpicturecheck

fail() {
  echo "package-test: FAIL: $*" >&2
  exit 1
}
step() { echo "package-test: $*"; }

for tool in cmake cpack dpkg-deb dpkg-buildflags dpkg-shlibdeps flock python3 readelf gzip; do
  command -v "$tool" >/dev/null || fail "'$tool' is missing"
done
command -v lintian >/dev/null || fail "lintian is missing (apt-get install lintian)"

version=$(sed -n 's/^project(VrelPictureCheck VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no version in the project() line of CMakeLists.txt"
arch=$(dpkg --print-architecture)
deb=$build/${package}_${version}_${arch}.deb

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vrel-package-test.XXXXXX")
cleanup() { rm -rf "$scratch"; }
trap cleanup EXIT

# --- Build ----------------------------------------------------------------------------------
# The flags Debian builds its own packages with: fortified functions, stack protector,
# read-only relocations and immediate binding. dpkg-buildflags maps the source folder to "."
# in debug paths, so it runs from there.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags=$(cd "$root" && echo "$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)")
ldflags=$(cd "$root" && dpkg-buildflags --get LDFLAGS)
step "configuring $build"
flock "$lock" cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVREL_BUILD_APP=ON -DVREL_BUILD_TESTS=OFF -DVREL_BUILD_BENCH=OFF -DVREL_BUILD_FUZZERS=OFF \
  -DVREL_SANITIZE=OFF -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  >/dev/null
step "building"
flock "$lock" cmake --build "$build" -j"$jobs"
rm -f "$build"/${package}_*.deb
step "making the package"
(cd "$build" && flock "$lock" cpack -G DEB >/dev/null) || fail "cpack -G DEB failed"
[ -f "$deb" ] || fail "cpack made no $(basename "$deb"): $(ls "$build"/*.deb 2>/dev/null || echo nothing)"
step "made $deb"

# --- lintian --------------------------------------------------------------------------------
step "lintian"
lintian_out=$scratch/lintian.txt
if ! lintian --fail-on error "$deb" >"$lintian_out" 2>&1; then
  cat "$lintian_out" >&2
  fail "lintian reports errors"
fi
# (lintian's own note about running as root is no finding on the package.)
sed -i '/^running with root privileges is not recommended!$/d' "$lintian_out"
if [ -s "$lintian_out" ]; then
  sed 's/^/  /' "$lintian_out"
else
  echo "  no errors, no warnings"
fi

# --- The package's files --------------------------------------------------------------------
step "file list and permissions"
dpkg-deb -c "$deb" >"$scratch/contents.txt"
python3 - "$scratch/contents.txt" "$version" <<'EOF' || fail "the package's file list is wrong (see above)"
import sys

listing, version = sys.argv[1], sys.argv[2]
entries = {}
problems = []
for line in open(listing, encoding="utf-8"):
    fields = line.split(None, 5)
    mode, owner, path = fields[0], fields[1], fields[5].rstrip("\n")
    target = None
    if " -> " in path:
        path, target = path.split(" -> ", 1)
    path = path[1:] if path.startswith(".") else path
    entries[path.rstrip("/") or "/"] = mode
    if owner != "root/root":
        problems.append(f"{path}: owner {owner}, not root/root")
    if target is not None and target.startswith("/"):
        problems.append(f"{path}: absolute symbolic link to {target}")
    if mode.startswith("d"):
        expected = "drwxr-xr-x"
    elif mode.startswith("l"):
        continue
    elif path.startswith("/usr/bin/"):
        expected = "-rwxr-xr-x"
    else:
        expected = "-rw-r--r--"
    if mode != expected:
        problems.append(f"{path}: mode {mode}, not {expected}")

# What the package must hold: the programs as real files, their data in their own folder.
required = {
    "/usr/bin/VrelPictureCheck": "-",
    "/usr/bin/vrel-check": "-",
    "/usr/bin/vrel-serve": "-",
    "/usr/lib/vrelpicturecheck/setting.vr": "-",
    "/usr/lib/vrelpicturecheck/haarcascade_frontalface_alt2.xml": "-",
    "/usr/lib/vrelpicturecheck/tips": "d",
    "/usr/lib/vrelpicturecheck/labels": "d",
    "/usr/lib/vrelpicturecheck/labels/Passed.png": "-",
    "/usr/lib/vrelpicturecheck/tips/state6.jpg": "-",
    "/usr/share/applications/VrelPictureCheck.desktop": "-",
    "/usr/share/icons/hicolor/16x16/apps/vrelpicturecheck.png": "-",
    "/usr/share/icons/hicolor/32x32/apps/vrelpicturecheck.png": "-",
    "/usr/share/icons/hicolor/48x48/apps/vrelpicturecheck.png": "-",
    "/usr/share/icons/hicolor/16x16@2/apps/vrelpicturecheck.png": "-",
    "/usr/share/icons/hicolor/32x32@2/apps/vrelpicturecheck.png": "-",
    "/usr/share/icons/hicolor/48x48@2/apps/vrelpicturecheck.png": "-",
    "/usr/share/man/man1/VrelPictureCheck.1.gz": "-",
    "/usr/share/man/man1/vrel-check.1.gz": "-",
    "/usr/share/man/man1/vrel-serve.1.gz": "-",
    "/usr/share/doc/vrelpicturecheck/copyright": "-",
    "/usr/share/doc/vrelpicturecheck/changelog.gz": "-",
}
for path, kind in required.items():
    mode = entries.get(path)
    if mode is None:
        problems.append(f"{path}: missing")
    elif mode[0] != kind:
        problems.append(f"{path}: {mode}, not a {'folder' if kind == 'd' else 'regular file'}")
# Nothing else: no tests, benchmarks, static libraries or headers, no stray folders.
allowed = ("/usr/lib/vrelpicturecheck/", "/usr/share/applications/", "/usr/share/icons/hicolor/",
           "/usr/share/man/man1/", "/usr/share/doc/vrelpicturecheck/")
for path, mode in entries.items():
    if mode.startswith("d"):
        continue
    if path.startswith("/usr/bin/"):
        if path not in required:
            problems.append(f"{path}: not one of the three programs")
    elif not path.startswith(allowed):
        problems.append(f"{path}: does not belong in the package")
for problem in problems:
    print("  " + problem, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

step "control fields"
control=$scratch/control.txt
dpkg-deb -f "$deb" >"$control"
field() { sed -n "s/^$1: //p" "$control"; }
check_field() { # name, expected value
  [ "$(field "$1")" = "$2" ] || fail "control field $1 is '$(field "$1")', not '$2'"
}
check_field Package "$package"
check_field Version "$version"
check_field Architecture "$arch"
check_field Section graphics
check_field Priority optional
depends=$(field Depends)
# Added by hand (the desktop tool's Chinese font and Qt's Chinese texts), then a sample of what
# dpkg-shlibdeps derives from the programs' libraries.
for dep in fonts-wqy-microhei qt6-translations-l10n 'libc6 (>=' libstdc++6 libqt6widgets6 \
  libopencv-core libopencv-objdetect libinih libjpeg libpng; do
  [[ ", $depends" == *", $dep"* ]] || fail "Depends lacks $dep: $depends"
done
grep -q '^ [^ ]' "$control" || fail "the description has no long paragraph"

# --- The unpacked programs ------------------------------------------------------------------
unpacked=$scratch/root
dpkg-deb -x "$deb" "$unpacked"
bin=$unpacked/usr/bin
appdir=$unpacked/usr/lib/vrelpicturecheck

step "the unpacked programs are stripped and hardened"
for exe in VrelPictureCheck vrel-check vrel-serve; do
  if readelf -S "$bin/$exe" | grep -qE '\.symtab|\.debug_'; then
    fail "$exe is not stripped"
  fi
  readelf -d "$bin/$exe" | grep -q 'BIND_NOW' || fail "$exe is not linked with -z now"
  readelf -l "$bin/$exe" | grep -q 'GNU_RELRO' || fail "$exe is not linked with -z relro"
done

step "the unpacked vrel-check reviews the samples with its installed data"
# sample, expected verdict: a pass needs the settings and exactly one face from the cascade;
# the rejection's explanation picture needs the verdict labels.
samples=(
  "passed-grey-600x800.jpg Passed"
  "background-rejected.jpg BackgroundRejected"
  "face-count-wrong.jpg FaceCountWrong"
)
for row in "${samples[@]}"; do
  read -r sample expected <<<"$row"
  status=0
  out=$(cd "$scratch" && "$bin/vrel-check" --quiet --json --annotate "$scratch/annotated" \
    "$root/samples/$sample" 2>"$scratch/stderr") || status=$?
  verdict=$(printf '%s\n' "$out" | python3 -c 'import json,sys; print(json.loads(sys.stdin.readline())["verdict"])' 2>/dev/null) ||
    fail "vrel-check --json $sample printed no record (status $status): $out $(cat "$scratch/stderr")"
  [ "$verdict" = "$expected" ] || fail "vrel-check $sample: verdict $verdict, not $expected"
  [[ $out != *annotate_error* ]] || fail "vrel-check --annotate $sample: $out"
  want_status=1
  [ "$expected" = Passed ] && want_status=0
  [ "$status" -eq "$want_status" ] || fail "vrel-check $sample: exit status $status, not $want_status"
  stem=${sample%.jpg}
  [ "$expected" = Passed ] || [ -s "$scratch/annotated/$stem.png" ] ||
    fail "vrel-check --annotate wrote no $stem.png"
  echo "  $sample: $verdict"
done

# The data must come from the unpacked tree, not from anywhere else on the machine: without
# its settings file there, the unpacked vrel-check has to stop with its set-up error.
mv "$appdir/setting.vr" "$scratch/setting.vr.away"
status=0
"$bin/vrel-check" --quiet "$root/samples/passed-grey-600x800.jpg" >/dev/null 2>"$scratch/stderr" || status=$?
mv "$scratch/setting.vr.away" "$appdir/setting.vr"
[ "$status" -eq 2 ] ||
  fail "vrel-check without its installed setting.vr: status $status, not 2 (does it read another one?)"

step "--version and --help"
for exe in VrelPictureCheck vrel-check vrel-serve; do
  # No display: the desktop tool must answer before it needs one.
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/$exe" --version 2>&1) ||
    fail "$exe --version: status $?: $out"
  [ "$out" = "$exe $version" ] || fail "$exe --version prints '$out', not '$exe $version'"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/$exe" --help >"$scratch/$exe.help" 2>&1 ||
    fail "$exe --help: status $?: $(cat "$scratch/$exe.help")"
  grep -q 'Usage:' "$scratch/$exe.help" || fail "$exe --help shows no usage"
  echo "  $out"
done
grep -q '用法' "$scratch/VrelPictureCheck.help" || fail "VrelPictureCheck --help has no Chinese usage"
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/VrelPictureCheck" -h >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "VrelPictureCheck -h: status $status"

step "manual pages"
man_dir=$unpacked/usr/share/man/man1
for exe in VrelPictureCheck vrel-check vrel-serve; do
  page=$man_dir/$exe.1.gz
  [ -s "$page" ] || fail "no manual page $exe.1.gz"
  gzip -t "$page" || fail "$exe.1.gz is not a valid gzip file"
  # Formatted as lintian does it; any warning fails. Then once more without hyphenation or
  # justification, as plain text: every option that the program's --help lists is described.
  if command -v man >/dev/null; then
    LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null \
      2>"$scratch/$exe.warnings" || fail "man -l $exe.1.gz failed: $(cat "$scratch/$exe.warnings")"
    LC_ALL=C.UTF-8 MANWIDTH=80 man --nh --nj -E UTF-8 -l "$page" >"$scratch/$exe.txt" 2>/dev/null
  elif command -v groff >/dev/null; then
    zcat "$page" | preconv -e UTF-8 | groff -man -Tutf8 -ww -z 2>"$scratch/$exe.warnings" ||
      fail "groff $exe.1.gz failed: $(cat "$scratch/$exe.warnings")"
    zcat "$page" | preconv -e UTF-8 | groff -man -Tutf8 -rHY=0 -P-cbou >"$scratch/$exe.txt"
  else
    echo "  neither man nor groff: $exe.1.gz not formatted"
    continue
  fi
  [ ! -s "$scratch/$exe.warnings" ] || fail "$exe.1.gz: $(cat "$scratch/$exe.warnings")"
  text=$(tr -s ' \n' ' ' <"$scratch/$exe.txt")
  for option in $(grep -oE '(^|[ ,])--?[a-z][a-z-]*' "$scratch/$exe.help" | tr -d ' ,' | sort -u); do
    [[ $text =~ (^|[^a-z-])$option([^a-z-]|$) ]] ||
      fail "the manual page $exe.1 does not describe $option"
  done
  echo "  $exe.1.gz"
done

# --- Installed with apt-get (opt-in) --------------------------------------------------------
if [ "${VREL_PACKAGE_INSTALL_TEST:-0}" = 1 ]; then
  step "installing with apt-get"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    fail "$package is installed already; remove it first (the test removes what it installs)"
  fi
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "$deb" >/dev/null
  status=0
  out=$(/usr/bin/vrel-check --quiet --json "$root/samples/passed-grey-600x800.jpg") || status=$?
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y -qq "$package" >/dev/null
  if [ "$status" -ne 0 ] || [[ $out != *'"verdict":"Passed"'* ]]; then
    fail "the installed /usr/bin/vrel-check: status $status: $out"
  fi
  echo "  /usr/bin/vrel-check: Passed; removed again"
fi

step "PASS: $(basename "$deb")"
