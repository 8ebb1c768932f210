#!/usr/bin/env bash
# Times whole varbloc runs against the straightforward baseline build and a
# pandas read of the same files, alternating the three, and checks that
# varbloc and the baseline write identical output on every file.
#
# usage: bench/run_benchmarks.sh [RUNS]      (default 5; the median is reported)
# Data files go to bench/data (about 3.5 GB), results to bench/results.
# Also times compressed input (gzip -dc, and igzip or pigz piped into STDIN)
# and the number scan alone from memory (bench/scan_speed).
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}

scripts/setup.sh python3-pandas time isal pigz
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
  [d]="60000 500 %.10f space 14"
  [e]="12000 2048 %.10f space 15"
)
plain="a b c d e"
for name in $plain; do
  [[ -s $data/$name.dat ]] || "$bin/bench/generate_ar1" ${files[$name]} >"$data/$name.dat"
done
[[ -s $data/u.dat ]] || "$bin/bench/generate_unusual" 2000000 4 1 >"$data/u.dat"
# g: file a compressed with gzip's default level.
[[ -s $data/g.dat.gz ]] || gzip -c "$data/a.dat" >"$data/g.dat.gz"

# Output must be identical, standard error and analysis file, on every file.
for name in $plain u; do
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
# The compressed file gives file a's output.
rm -rf "$results/out" && mkdir -p "$results/out"
(cd "$results/out" && "../../../$bin/varbloc" -o a.ana ../../data/a.dat 2>a.err) || true
(cd "$results/out" && "../../../$bin/varbloc" -o g.ana ../../data/g.dat.gz 2>g.err) || true
if cmp -s "$results/out/g.err" "$results/out/a.err" && cmp -s "$results/out/g.ana" "$results/out/a.ana"; then
  echo "g.dat.gz: output identical to a.dat"
else
  echo "g.dat.gz: OUTPUT DIFFERS from a.dat (see $results/out)" >&2
  exit 1
fi

pandas_read='import sys, pandas; pandas.read_csv(sys.argv[1], sep=r"\s+", comment="#", header=None)'
timing=$results/timing.txt
: >"$timing"
gz=$data/g.dat.gz
for ((run = 1; run <= runs; run++)); do
  for name in $plain; do
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
  for program in varbloc igzip-pipe pigz-pipe gzip-alone; do
    case $program in
      varbloc) command=("$bin/varbloc" -o "$results/ana.dat" "$gz") ;;
      igzip-pipe) command=(bash -c "igzip -dc '$gz' | '$bin/varbloc' -o '$results/ana.dat' STDIN") ;;
      pigz-pipe) command=(bash -c "pigz -dc '$gz' | '$bin/varbloc' -o '$results/ana.dat' STDIN") ;;
      gzip-alone) command=(bash -c "gzip -dc '$gz' >/dev/null") ;;
    esac
    /usr/bin/time -f "g $program %e %M" -a -o "$timing" "${command[@]}" 2>/dev/null
  done
done

# The number scan alone: the fields of file a from memory, nothing stored.
"$bin/bench/scan_speed" "$data/a.dat" 3 | tee "$results/scan.txt"

# Median seconds and peak RSS per file and program; throughput and ratios;
# time per byte against file a; peak RSS against the stored samples.
/usr/bin/python3 - "$timing" "$data" "${files[a]}" "${files[b]}" "${files[c]}" "${files[d]}" \
  "${files[e]}" <<'PY' | tee "$results/latest.md"
import os, statistics, sys
timing, data = sys.argv[1], sys.argv[2]
shapes = dict(zip("abcde", (a.split()[:2] for a in sys.argv[3:8])))
shapes["g"] = shapes["a"]
runs = {}
for line in open(timing):
    name, program, seconds, rss_kb = line.split()
    runs.setdefault((name, program), []).append((float(seconds), int(rss_kb)))
def size_of(name):
    path = os.path.join(data, "a.dat" if name == "g" else name + ".dat")
    return os.path.getsize(path) / 1e6
def median(name, program):
    return statistics.median(s for s, _ in runs[(name, program)])
print("| file | MB | program | median s | MB/s | baseline / program | peak RSS MiB | RSS / target |")
print("|---|---|---|---|---|---|---|---|")
for name in "abcdeg":
    size = size_of(name)
    samples, columns = (int(x) for x in shapes[name])
    store = samples * columns * 8
    rss_target = (1.05 * store + 20e6) / 2**20
    programs = ("varbloc", "baseline", "pandas") if name != "g" else (
        "varbloc", "igzip-pipe", "pigz-pipe", "gzip-alone")
    for program in programs:
        seconds = median(name, program)
        rss = max(r for _, r in runs[(name, program)]) / 1024
        ratio = f"{median(name, 'baseline') / seconds:.1f}" if name != "g" else "-"
        against = f"{rss / rss_target:.2f}" if program in ("varbloc", "igzip-pipe", "pigz-pipe") else "-"
        print(f"| {name} | {size:.0f} | {program} | {seconds:.2f} | {size / seconds:.0f} "
              f"| {ratio} | {rss:.0f} | {against} |")
per_byte_a = median("a", "varbloc") / size_of("a")
print()
for name in "de":
    print(f"time per byte of {name} against a: {median(name, 'varbloc') / size_of(name) / per_byte_a:.2f}")
print(f"pandas / varbloc on a: {median('a', 'pandas') / median('a', 'varbloc'):.1f}")
PY
