#!/usr/bin/env bash
# Times the Python module on benchmark file a (17.5 M samples x 4 columns):
#  - varbloc.load against pandas.read_csv and numpy.loadtxt, in whole runs of
#    the interpreter, alternating (varbloc pandas loadtxt varbloc ...), with
#    the peak resident set of each run and of an interpreter that only
#    imports numpy and varbloc, and the program's whole run on the same file
#    for reference;
#  - varbloc.block on load()'s array against the same analysis in C++
#    (bench/analysis_speed), alternating the two, ROUNDS analyses per run.
# Reports medians and spread (min to max), user and system time apart, and
# the processor. Never part of the tests.
#
# usage: bench/python_benchmarks.sh [RUNS [DATA_DIR]]
#   RUNS: alternations (default 3); DATA_DIR: where a.dat is, or is made
#   (default bench/data, shared with bench/run_benchmarks.sh).
#   LOADTXT_RUNS (environment, default RUNS): runs of numpy.loadtxt, fewer
#   where it takes minutes; ROUNDS (default 5): analyses per block run.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
data=${2:-bench/data}
loadtxt_runs=${LOADTXT_RUNS:-$runs}
rounds=${ROUNDS:-5}
python=/usr/bin/python3  # Debian's, with NumPy and pandas

scripts/setup.sh python3-pandas time
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DVARBLOC_TESTS=OFF -DVARBLOC_BENCH=ON \
  -DVARBLOC_PYTHON=ON -DPython_EXECUTABLE=$python >/dev/null
cmake --build build/bench --parallel "$(nproc)" >/dev/null
bin=build/bench
export PYTHONPATH=$PWD/$bin/python
mkdir -p "$data"
file=$data/a.dat
[[ -s $file ]] || "$bin/bench/generate_ar1" 17500000 4 %.10f space 11 >"$file"

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
echo "processor: $(grep -m1 '^model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), \
cpu family $(grep -m1 '^cpu family' /proc/cpuinfo | cut -d: -f2 | tr -d ' '), \
model $(grep -m1 '^model[[:space:]]*:' /proc/cpuinfo | cut -d: -f2 | tr -d ' '), $(nproc) cores"
echo "python: $($python --version 2>&1), numpy $($python -c 'import numpy; print(numpy.__version__)'),\
 pandas $($python -c 'import pandas; print(pandas.__version__)')"
echo "start $(date -u '+%Y-%m-%d %H:%M UTC'), uptime:$(uptime)"

# Whole interpreter runs: the call's own times from the script, the
# process's peak RSS (KiB) from /usr/bin/time. The program's run is timed
# whole by /usr/bin/time. Lines: MODE SECONDS USER SYSTEM ROWS COLUMNS RSS.
for ((run = 1; run <= runs; run++)); do
  modes=(varbloc pandas)
  ((run <= loadtxt_runs)) && modes+=(loadtxt)
  modes+=(import program)
  for mode in "${modes[@]}"; do
    case $mode in
      import)
        /usr/bin/time -f "import 0 0 0 0 0 %M" -o "$results/line" $python -c "import numpy, varbloc"
        ;;
      program)
        /usr/bin/time -f "program %e %U %S 0 0 %M" -o "$results/line" "$bin/varbloc" \
          -o /dev/null "$file" 2>/dev/null
        ;;
      *)
        /usr/bin/time -f "%M" -o "$results/rss" $python bench/python_bench.py "$mode" "$file" \
          >"$results/out"
        echo "$(cat "$results/out") $(cat "$results/rss")" >"$results/line"
        ;;
    esac
    tee -a "$results/load.txt" <"$results/line"
  done
done
echo "after the loads, uptime:$(uptime)"

# The analysis alone: C++ and Python alternating, ROUNDS analyses each.
for ((run = 1; run <= runs; run++)); do
  "$bin/bench/analysis_speed" "$file" "$rounds" | tee "$results/cxx"
  $python bench/python_bench.py block "$file" "$rounds" | tee "$results/py"
  # The C++ rounds with the automatic estimate are what block() runs.
  sed -n 's/^round [0-9]*: .*with the automatic estimate \([0-9.]*\) s (cpu \([0-9.]*\) s)$/cxx \1 \2/p' \
    "$results/cxx" \
    >>"$results/block.txt"
  sed -n 's/^round [0-9]*: \([0-9.]*\) s (cpu \([0-9.]*\) s)$/python \1 \2/p' "$results/py" \
    >>"$results/block.txt"
  if [[ $(grep '^errors' "$results/cxx") != $(grep '^errors' "$results/py") ]]; then
    echo "block() and the C++ analysis give different errors" >&2
    exit 1
  fi
done
echo "end $(date -u '+%Y-%m-%d %H:%M UTC'), uptime:$(uptime)"

$python - "$results/load.txt" "$results/block.txt" <<'PY'
import statistics, sys
ARRAY = 17_500_000 * 4 * 8  # bytes of load()'s array
loads, blocks = {}, {}
for line in open(sys.argv[1]):
    mode, wall, user, system, _, _, rss_kib = line.split()
    loads.setdefault(mode, []).append((float(wall), float(user), float(system),
                                       int(rss_kib) * 1024 / 1e6))
for line in open(sys.argv[2]):
    side, wall, cpu = line.split()
    blocks.setdefault(side, []).append((float(wall), float(cpu)))

def spread(values):
    return f"{statistics.median(values):.2f} ({min(values):.2f}-{max(values):.2f})"

print("\n| call | runs | wall s, median (min-max) | user s | system s | peak RSS MB "
      "| wall / varbloc.load | user+system / varbloc.load |")
print("|---|---|---|---|---|---|---|---|")
def median_of(mode, pick):
    return statistics.median(pick(run) for run in loads[mode])
fast_wall = median_of("varbloc", lambda run: run[0])
fast_cpu = median_of("varbloc", lambda run: run[1] + run[2])
for mode in ("varbloc", "pandas", "loadtxt", "program", "import"):
    if mode not in loads:
        continue
    walls, users, systems, rss = zip(*loads[mode])
    if mode == "import":
        print(f"| import numpy, varbloc | {len(rss)} | - | - | - | {max(rss):.0f} | - | - |")
        continue
    wall_ratio = median_of(mode, lambda run: run[0]) / fast_wall
    cpu_ratio = median_of(mode, lambda run: run[1] + run[2]) / fast_cpu
    print(f"| {mode} | {len(walls)} | {spread(walls)} | {spread(users)} | {spread(systems)} "
          f"| {max(rss):.0f} | {wall_ratio:.2f} | {cpu_ratio:.2f} |")
base = max(r for *_, r in loads["import"])
peak = max(r for *_, r in loads["varbloc"])
limit = base + 1.1 * ARRAY / 1e6 + 30
print(f"\nvarbloc.load peak RSS {peak:.0f} MB, over the interpreter's own {peak - base:.0f} MB; "
      f"limit {limit:.0f} MB ({base:.0f} + 1.1 x {ARRAY / 1e6:.0f} + 30)")
print("\n| analysis | rounds | wall s, median (min-max) | thread CPU s | wall / C++ | CPU / C++ |")
print("|---|---|---|---|---|---|")
cxx_wall, cxx_cpu = (statistics.median(v) for v in zip(*blocks["cxx"]))
for side, name in (("cxx", "C++ analyse_series"), ("python", "varbloc.block")):
    walls, cpus = zip(*blocks[side])
    print(f"| {name} | {len(walls)} | {spread(walls)} | {spread(cpus)} "
          f"| {statistics.median(walls) / cxx_wall:.2f} | {statistics.median(cpus) / cxx_cpu:.2f} |")
PY
