#!/usr/bin/env bash
# Times whole varbloc runs against the straightforward baseline build and a
# pandas read of the same files, alternating the three, and checks that
# varbloc and the baseline write identical output on every file.
#
# usage: bench/run_benchmarks.sh [RUNS]      (default 5; the median is reported)
# Data files go to bench/data (about 2.3 GB), results to bench/results.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

scripts/setup.sh python3-pandas time
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARBLOC_TESTS=OFF -DVARBLOC_BENCH=ON \
  >/dev/null
cmake --build build/bench --parallel "$(nproc)" >/dev/null
bin=build/bench
data=bench/data
results=bench/results
mkdir -p "$data" "$results"

# name: generator arguments (samples columns format separator seed)
declare -A files=(
  [a]="17500000 4 %.10f space 11"
  [b]="12000000 4 %.17g tab 12"
  [c]="10500000 1 %.12e space 13"
)
for name in a b c; do
  [[ -s $data/$name.dat ]] || "$bin/bench/generate_ar1" ${files[$name]} >"$data/$name.dat"
done
[[ -s $data/u.dat ]] || "$bin/bench/generate_unusual" 2000000 4 1 >"$data/u.dat"

# Output must be identical, standard error and analysis file, on every file.
for name in a b c u; do
  rm -rf "$results/out" && mkdir -p "$results/out"
  (cd "$results/out" && "../../../$bin/varbloc" -o fast.ana "../../data/$name.dat" 2>fast.err) || true
  (cd "$results/out" && "../../../$bin/bench/varbloc_baseline" -o base.ana "../../data/$name.dat" \
    2>base.err) || true
  if cmp -s "$results/out/fast.err" "$results/out/base.err" &&
    cmp -s "$results/out/fast.ana" "$results/out/base.ana"; then
    echo "$name.dat: output identical to the baseline"
  else
    echo "$name.dat: OUTPUT DIFFERS from the baseline (see $results/out)" >&2
    exit 1
  fi
done

pandas_read='import sys, pandas; pandas.read_csv(sys.argv[1], sep=r"\s+", comment="#", header=None)'
timing=$results/timing.txt
: >"$timing"
for ((run = 1; run <= runs; run++)); do
  for name in a b c; do
    file=$data/$name.dat
    for program in varbloc baseline pandas; do
      case $program in
        varbloc) command=("$bin/varbloc" -o "$results/ana.dat" "$file") ;;
        baseline) command=("$bin/bench/varbloc_baseline" -o "$results/ana.dat" "$file") ;;
        pandas) command=(/usr/bin/python3 -c "$pandas_read" "$file") ;;
      esac
      /usr/bin/time -f "$name $program %e %M" -a -o "$timing" "${command[@]}" 2>/dev/null
    done
  done
done

# Median seconds and peak RSS per file and program; throughput and ratios.
/usr/bin/python3 - "$timing" "$data" <<'PY' | tee "$results/latest.md"
import os, statistics, sys
timing, data = sys.argv[1], sys.argv[2]
runs = {}
for line in open(timing):
    name, program, seconds, rss_kb = line.split()
    runs.setdefault((name, program), []).append((float(seconds), int(rss_kb)))
print("| file | MB | program | median s | MB/s | baseline / program | peak RSS MB |")
print("|---|---|---|---|---|---|---|")
for name in "abc":
    size = os.path.getsize(os.path.join(data, name + ".dat")) / 1e6
    base = statistics.median(s for s, _ in runs[(name, "baseline")])
    for program in ("varbloc", "baseline", "pandas"):
        seconds = statistics.median(s for s, _ in runs[(name, program)])
        rss = max(r for _, r in runs[(name, program)]) / 1024
        print(f"| {name} | {size:.0f} | {program} | {seconds:.2f} | {size / seconds:.0f} "
              f"| {base / seconds:.1f} | {rss:.0f} |")
PY
