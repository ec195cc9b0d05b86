#!/usr/bin/env bash
# Load on vrel-serve against the batch tool on the same photos, over loopback only.
# Starts vrel-serve --jobs JOBS on a free port (access log on, as by default), has wrk post a
# 600 x 800 photo from CONNECTIONS clients for SECONDS, samples the service's resident memory
# every second, and times vrel-check --jobs JOBS on as many copies of the photo as the service
# answered. Then the latency without queueing: as many connections as workers, its p99 against
# the time of one review (vrel-check --jobs 1 per photo).
# Usage: bench/serve_load.sh [SECONDS] [CONNECTIONS] [JOBS]   (defaults 20, 16, 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
connections=${2:-16}
jobs=${3:-2}
bin=${BUILD_DIR:-$root/build}/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/vrel-load-XXXXXX")
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT
photo=$root/samples/passed-grey-600x800.jpg

"$bin/vrel-serve" --listen 127.0.0.1:0 --jobs "$jobs" --queue 64 --drain-seconds 1 \
  >"$work/out" 2>"$work/err" &
server=$!
for _ in $(seq 50); do
  grep -q '^listening on' "$work/out" 2>/dev/null && break
  sleep 0.1
done
port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$work/out")
[ -n "$port" ] || { echo "vrel-serve did not start" >&2; cat "$work/err" >&2; exit 1; }

cat >"$work/post.lua" <<LUA
local f = assert(io.open("$photo", "rb"))
wrk.method = "POST"
wrk.body = f:read("*all")
f:close()
wrk.headers["Content-Type"] = "application/octet-stream"
LUA

rss() { awk '/^VmRSS/ {print $2}' "/proc/$server/status"; }
# A short warm-up, so that each worker has read its detector.
wrk -t1 -c"$connections" -d2s -s "$work/post.lua" "http://127.0.0.1:$port/api/v1/review" >/dev/null
echo "resident memory before: $(rss) kB"
( for _ in $(seq "$seconds"); do sleep 1; rss; done ) >"$work/rss" &
sampler=$!
wrk -t1 -c"$connections" -d"${seconds}s" --latency -s "$work/post.lua" \
  "http://127.0.0.1:$port/api/v1/review" | tee "$work/wrk"
wait "$sampler" || true
echo "resident memory each second (kB): $(tr '\n' ' ' <"$work/rss")"
served=$(awk '/requests in/ {print $1}' "$work/wrk")
rate=$(awk '/Requests\/sec/ {print $2}' "$work/wrk")
# wrk prints a line of its own for answers other than 2xx and 3xx, and for socket errors.
if grep -qE 'Non-2xx|Socket errors' "$work/wrk"; then
  echo "errors: $(grep -E 'Non-2xx|Socket errors' "$work/wrk")"
else
  echo "errors: none"
fi

# The batch tool on as many photos (hard links), with the same number of workers.
count=$(( served < 4000 ? served : 4000 ))
mkdir "$work/photos"
for i in $(seq -w 1 "$count"); do ln "$photo" "$work/photos/p$i.jpg"; done
start=$(date +%s.%N)
"$bin/vrel-check" -q --json --jobs "$jobs" "$work/photos" >/dev/null || true
end=$(date +%s.%N)
batch=$(echo "$count / ($end - $start)" | bc -l)
printf 'vrel-serve: %.1f reviews/s; vrel-check --jobs %s: %.1f photos/s; ratio %.2f\n' \
  "$rate" "$jobs" "$batch" "$(echo "$rate / $batch" | bc -l)"

# Without queueing: one connection per worker. wrk's p99 against one review.
wrk -t1 -c"$jobs" -d"${seconds}s" --latency -s "$work/post.lua" \
  "http://127.0.0.1:$port/api/v1/review" >"$work/wrk-p99"
p99=$(awk '$1 == "99%" {print $2}' "$work/wrk-p99")
p99_ms=$(echo "$p99" | awk '/ms$/ {sub("ms", ""); print; next} /us$/ {sub("us", ""); print $1 / 1000; next} /s$/ {sub("s", ""); print $1 * 1000}')
single=$(( count < 1000 ? count : 1000 ))
start=$(date +%s.%N)
"$bin/vrel-check" -q --json --jobs 1 $(ls "$work/photos"/*.jpg | head -n "$single") >/dev/null || true
end=$(date +%s.%N)
one_ms=$(echo "($end - $start) * 1000 / $single" | bc -l)
printf 'p99 with %s connections: %.1f ms; one review: %.1f ms; ratio %.2f (target <= 1.5)\n' \
  "$jobs" "$p99_ms" "$one_ms" "$(echo "$p99_ms / $one_ms" | bc -l)"
kill -TERM "$server"
wait "$server" && echo "vrel-serve stopped with status 0 after SIGTERM"
