#!/usr/bin/env bash
# A/B comparison of two revisions' release programs on whole runs.
#
# usage: bench/compare_revisions.sh OLD NEW [RUNS] [FILES...]
#   OLD, NEW  git revisions; each is built once (release, program only) from a
#             temporary work tree and kept in build/compare/<commit>
#   RUNS      timed runs of each program per file (default 7)
#   FILES     data files (default bench/data/{a,b,c,d,e}.dat, made by
#             bench/run_benchmarks.sh)
# OLD_OPTIONS and NEW_OPTIONS in the environment go before each side's data
# file: `NEW_OPTIONS=--stream bench/compare_revisions.sh HEAD HEAD 7 a.dat`
# compares the streamed run with the run in memory of the same program.
#
# Per file: one warm-up run of each program, which must write the same
# standard error and analysis file as the other; then RUNS pairs in the order
# OLD NEW NEW OLD OLD NEW ..., timed with GNU time. Prints the medians of
# user, system and wall time and of peak RSS for each program, and the median,
# minimum and maximum of the pairwise NEW/OLD ratios, with the processor and
# the load average before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
[[ $# -ge 2 ]] || { sed -n '4,9p' "$0" >&2; exit 2; }
old=$1 new=$2
shift 2
runs=7
if [[ $# -gt 0 && $1 =~ ^[0-9]+$ ]]; then
  runs=$1
  shift
fi
files=("$@")
[[ ${#files[@]} -gt 0 ]] || files=(bench/data/{a,b,c,d,e}.dat)
[[ -x /usr/bin/time ]] || scripts/setup.sh time

# Builds a revision's program once; prints its path.
build_revision() {  # revision
  local commit dir
  commit=$(git rev-parse --verify "$1^{commit}")
  dir=build/compare/$commit
  if [[ ! -x $dir/varbloc ]]; then
    local tree
    tree=$(mktemp -d /tmp/varbloc-compare.XXXXXX)
    git worktree add --detach "$tree/src" "$commit" >/dev/null 2>&1
    cmake -S "$tree/src" -B "$tree/build" -DCMAKE_BUILD_TYPE=Release -DVARBLOC_TESTS=OFF \
      >/dev/null
    cmake --build "$tree/build" --parallel "$(nproc)" --target varbloc >/dev/null
    mkdir -p "$dir"
    cp "$tree/build/varbloc" "$dir/varbloc"
    git worktree remove --force "$tree/src"
    rm -rf "$tree"
  fi
  echo "$dir/varbloc"
}

old_program=$(build_revision "$old")
new_program=$(build_revision "$new")
# The program refuses an analysis file path with a '-' in it.
scratch=$(mktemp -d /tmp/varbloc_runs.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
timing=$scratch/timing.txt
: >"$timing"

# Both programs write the same analysis file path (the messages name it).
out=$scratch/out
mkdir -p "$out"
old_options=(${OLD_OPTIONS:-})
new_options=(${NEW_OPTIONS:-})
run_program() {  # side program file [timing]
  local side=$1 program=$2 file=$3
  local -n options=${side}_options
  rm -f "$out/ana.dat"
  if [[ $# -gt 3 ]]; then
    /usr/bin/time -f "$(basename "$file") $side %U %S %e %M" -a -o "$4" \
      "$program" -o "$out/ana.dat" "${options[@]}" "$file" 2>"$out/stderr" || true
  else
    "$program" -o "$out/ana.dat" "${options[@]}" "$file" 2>"$out/stderr" || true
    mv "$out/stderr" "$out/$side.stderr"
    mv "$out/ana.dat" "$out/$side.ana" 2>/dev/null || : >"$out/$side.ana"
  fi
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
for file in "${files[@]}"; do
  run_program old "$old_program" "$file"
  run_program new "$new_program" "$file"
  if ! cmp -s "$out/old.stderr" "$out/new.stderr" || ! cmp -s "$out/old.ana" "$out/new.ana"; then
    echo "$file: OUTPUT DIFFERS between $old and $new" >&2
    exit 1
  fi
  for ((pair = 0; pair < runs; pair++)); do
    if ((pair % 2 == 0)); then order="old new"; else order="new old"; fi
    for side in $order; do
      if [[ $side == old ]]; then program=$old_program; else program=$new_program; fi
      run_program "$side" "$program" "$file" "$timing"
    done
  done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

cpu_field() {  # name
  grep -m1 "^$1[[:space:]]*:" /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'
}
vector_flags=$(cpu_field flags | tr ' ' '\n' | grep -E '^(sse2|sse4_2|avx|avx2|avx512[a-z]*)$' |
  tr '\n' ' ')
echo "Processor: $(cpu_field 'model name'), family $(cpu_field 'cpu family'), model" \
  "$(cpu_field model); $(nproc) cores; ${vector_flags% }"
echo "OLD $old ${old_options[*]} = $(git rev-parse --short "$old"), NEW $new ${new_options[*]} =" \
  "$(git rev-parse --short "$new");" \
  "$runs pairs per file, OLD NEW NEW OLD ...; load average before $load_before, after $load_after"
echo
python3 - "$timing" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    name, side, user, system, wall, rss = line.split()
    runs.setdefault(name, {}).setdefault(side, []).append(
        (float(user), float(system), float(wall), int(rss) / 1024))
print("| file | user s old / new | sys s old / new | wall s old / new | peak RSS MiB old / new "
      "| NEW/OLD user: median (min-max) | sys | wall |")
print("|---|---|---|---|---|---|---|---|")
for name, sides in runs.items():
    old, new = sides["old"], sides["new"]
    cells = [name]
    for k, digits in ((0, 2), (1, 2), (2, 2), (3, 0)):
        cells.append(f"{statistics.median(r[k] for r in old):.{digits}f} / "
                     f"{statistics.median(r[k] for r in new):.{digits}f}")
    for k in range(3):
        ratios = [n[k] / o[k] for o, n in zip(old, new) if o[k] > 0]
        cells.append(f"{statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f})"
                     if ratios else "-")
    print("| " + " | ".join(cells) + " |")
PY
