#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in the normal build, the web page
# and the batch report page in a headless browser, the Debian package, the Windows syntax check,
# the threaded parts under ThreadSanitizer, the fuzz harnesses for a bounded time, and the tests
# once more under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

BUILD_DIR="$root/build" "$root/scripts/build.sh"
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")

# The web page in a real browser (headless Chromium), against a vrel-serve the test starts on
# the loopback address.
/usr/bin/python3 "$root/tests/browser/page_test.py" --server "$root/build/bin/vrel-serve" \
  --data-dir "$root/build/bin" --samples "$root/samples" --check "$root/build/bin/vrel-check"

# The model converters of tools/: their operators against numpy readings, run by the dnn module.
/usr/bin/python3 "$root/tools/test_convert_selfie_segmentation.py"
/usr/bin/python3 "$root/tools/test_convert_face_landmarks.py"

# The batch report page (report/web), on a report folder the test generates, opened as a file
# and from an HTTP server on the loopback address.
/usr/bin/python3 "$root/tests/browser/report_test.py"
# And on a real one: vrel-check's own report of the samples, its export against its --csv.
report_scratch=$(mktemp -d "${TMPDIR:-/tmp}/vrel-report-XXXXXX")
status=0
"$root/build/bin/vrel-check" -q --json --report "$report_scratch/report" \
  --csv "$report_scratch/records.csv" --correct-dir "$report_scratch/corrected" \
  "$root/samples" "$root/samples/correctable" >/dev/null || status=$?
[ "$status" -le 1 ] || { echo "vrel-check --report: status $status" >&2; exit 1; }
/usr/bin/python3 "$root/tests/browser/report_test.py" --report-dir "$report_scratch/report" \
  --csv "$report_scratch/records.csv"
rm -rf "$report_scratch"

# The Debian package: built, checked by lintian, unpacked, and its vrel-check run on a sample.
"$root/scripts/package-test.sh"

# The sources outside the desktop tool compile for Windows (syntax only, MinGW-w64).
"$root/scripts/check-windows.sh"

# The threaded parts (the service, the batch pipeline) under ThreadSanitizer. OpenCV's own
# worker threads run uninstrumented code; tests/tsan.supp leaves their reports out.
cmake -S "$root" -B "$root/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVREL_TSAN=ON \
  -DVREL_BUILD_BENCH=OFF -DVREL_BUILD_APP=OFF >/dev/null
cmake --build "$root/build-tsan" -j"$(nproc)" --target vrel_tests
(cd "$root/build-tsan" &&
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
    ./bin/vrel_tests --gtest_filter='Serve*:ServeHostile*:Batch*:WorkerPool*')

# Each fuzz harness for a bounded time (FUZZ_SECONDS, default 60), under the same sanitizers.
"$root/scripts/fuzz.sh"

BUILD_DIR="$root/build-asan" BUILD_TYPE=Debug "$root/scripts/build.sh" \
  -DVREL_SANITIZE=ON -DVREL_BUILD_BENCH=OFF
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1
(cd "$root/build-asan" && ctest --output-on-failure -j"$(nproc)")
