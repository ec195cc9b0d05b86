#!/usr/bin/env bash
# Peak resident memory and time of vrel-check over a folder of many photos made from one real
# portrait (hard links, so the folder costs no disk space).
# Usage: bench/batch_memory.sh [COUNT] [JOBS]   (defaults: 10000 photos, 2 workers)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
count=${1:-10000}
jobs=${2:-2}
exe=${BUILD_DIR:-$root/build}/bin/vrel-check
folder=$(mktemp -d "${TMPDIR:-/tmp}/vrel-batch-XXXXXX")
trap 'rm -rf "$folder"' EXIT
cp "$root/samples/passed-grey-600x800.jpg" "$folder/source.jpg"
for ((i = 0; i < count; i++)); do
  ln "$folder/source.jpg" "$folder/photo-$(printf '%06d' "$i").jpg"
done
rm "$folder/source.jpg"
python3 - "$exe" "$jobs" "$folder" <<'PY'
import resource, subprocess, sys, time
exe, jobs, folder = sys.argv[1:4]
start = time.monotonic()
out = subprocess.run([exe, "--jobs", jobs, "--quiet", "--json", folder],
                     stdout=subprocess.PIPE, check=False)
seconds = time.monotonic() - start
lines = out.stdout.count(b"\n")
peak_mb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024
print(f"{lines} photos, --jobs {jobs}: {seconds:.1f} s ({lines / seconds:.1f} photos/s), "
      f"peak resident memory {peak_mb:.0f} MB, exit status {out.returncode}")
PY
