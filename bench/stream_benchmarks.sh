#!/usr/bin/env bash
# A streamed run on a stream that never touches the disk: bench/generate_stream
# writes ROWS rows of COLUMNS columns as text (default 10^9 x 2, about 19 GB)
# into a pipe read by `varbloc --stream STDIN`. Prints the processor, the
# load average, GNU time's wall, user and system seconds and peak RSS of the
# program, and its throughput in samples and megabytes per second.
#
# usage: bench/stream_benchmarks.sh [ROWS [COLUMNS]]
set -euo pipefail
cd "$(dirname "$0")/.."
rows=${1:-1000000000}
columns=${2:-2}
[[ -x /usr/bin/time ]] || scripts/setup.sh time
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARBLOC_TESTS=OFF -DVARBLOC_BENCH=ON \
  >/dev/null
cmake --build build/bench --parallel "$(nproc)" --target varbloc generate_stream >/dev/null
scratch=$(mktemp -d /tmp/varbloc_stream.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

echo "Processor: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //');" \
  "$(nproc) cores; load average before $(cut -d' ' -f1-3 /proc/loadavg)"
# The text's size, from a first pass of the generator into wc (untimed).
bytes=$(build/bench/bench/generate_stream "$rows" "$columns" | wc -c)
build/bench/bench/generate_stream "$rows" "$columns" |
  /usr/bin/time -f "%e %U %S %M" -o "$scratch/time" \
    build/bench/varbloc --stream -o "$scratch/ana.dat" STDIN 2>"$scratch/stderr"
echo "load average after $(cut -d' ' -f1-3 /proc/loadavg)"
sed -n '/^Read /p; /^Summary/,$p' "$scratch/stderr"
read -r wall user system rss <"$scratch/time"
python3 - "$rows" "$columns" "$bytes" "$wall" "$user" "$system" "$rss" <<'PY'
import sys
rows, columns, size = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
wall, user, system = map(float, sys.argv[4:7])
rss = int(sys.argv[7]) / 1024
print("| rows x columns | text GB | wall s | user s | sys s | values/s | MB/s | peak RSS MiB |")
print("|---|---|---|---|---|---|---|---|")
print(f"| {rows:.3g} x {columns} | {size / 1e9:.1f} | {wall:.1f} | {user:.1f} | {system:.1f} "
      f"| {rows * columns / wall / 1e6:.1f} M | {size / wall / 1e6:.0f} | {rss:.1f} |")
PY
