#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang under AddressSanitizer and UndefinedBehaviorSanitizer
# into build-fuzz, then runs each for FUZZ_SECONDS (default 60) on a scratch copy of the committed
# seeds. Exits non-zero when any harness reports a crash, leak, timeout or sanitizer error; the
# input that caused it lands in build-fuzz/artifacts/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
seconds=${FUZZ_SECONDS:-60}

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVREL_BUILD_FUZZERS=ON -DVREL_SANITIZE=ON -DVREL_BUILD_APP=OFF -DVREL_BUILD_TESTS=OFF \
  -DVREL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"${FUZZ_JOBS:-$(nproc)}" --target fuzz_review fuzz_settings fuzz_upload fuzz_http fuzz_decisions

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vrel-fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$build/artifacts" "$build/logs"

export TMPDIR=$scratch # the harnesses keep their temporary files here
export OPENCV_LOG_LEVEL=ERROR
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

passed=0
failed=0
summary=()
for name in review settings upload http decisions; do
  exe=$build/bin/fuzz_$name
  log=$build/logs/fuzz_$name.log
  cp -r "$root/fuzz/corpus/$name" "$scratch/corpus-$name"
  echo "== fuzz_$name: ${seconds}s, log in $log"
  status=0
  # The upload harness decodes only pictures whose size, as read, is at most 1 million pixels:
  # one allocation past 256 MB means a decoder allocates for a size other than the one read.
  malloc_mb=2048
  [ "$name" = upload ] && malloc_mb=256
  "$exe" "$scratch/corpus-$name" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb="$malloc_mb" -artifact_prefix="$build/artifacts/$name-" \
    -print_final_stats=1 >"$log" 2>&1 || status=$?
  # libFuzzer's last status line: "#N  DONE  cov: C ft: F corp: K/S ..."
  stats=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  runs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$stats")
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$stats")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$stats")
  corp=$(sed -nE 's/.* corp: ([^ ]+).*/\1/p' <<<"$stats")
  if [ "$status" -eq 0 ] &&
    ! grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    passed=$((passed + 1))
    verdict=clean
  else
    failed=$((failed + 1))
    verdict="FAILED (exit $status)"
    grep -E 'ERROR:|runtime error:|SUMMARY:|Test unit written|^ +#[0-9]+ ' "$log" | head -n 40 >&2 || true
  fi
  summary+=("fuzz_$name: $verdict, ${runs:-0} runs, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?}")
done

printf '%s\n' "${summary[@]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
