#!/usr/bin/env bash
# Draws varbloc's error against block size for every column of the shipped
# example examples/ar1.dat, from varbloc's own standard error output, into
# docs/example_errors.png.
#
# usage (from anywhere; needs build/release/varbloc, so run ./build.sh example
# or ./build.sh test first): scripts/plot_example.sh [DATAFILE [PNGFILE]]
#
# gnuplot comes from the Debian package gnuplot-nox, installed through
# scripts/setup.sh when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

data=${1:-examples/ar1.dat}
png=${2:-docs/example_errors.png}
varbloc=build/release/varbloc

if [[ ! -x $varbloc ]]; then
  echo "plot_example.sh: $varbloc is missing; build it first with ./build.sh example" >&2
  exit 2
fi
command -v gnuplot >/dev/null || scripts/setup.sh gnuplot-nox

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# varbloc writes its analysis file into the scratch directory, not the
# caller's; the -o name must not contain '-', so it is given relative.
data_path=$(realpath "$data")
if ! (cd "$work" && "$repo/$varbloc" -o ana.dat "$data_path") 2>"$work/report.txt"; then
  echo "plot_example.sh: varbloc failed on $data:" >&2
  cat "$work/report.txt" >&2
  exit 1
fi

samples=$(sed -n 's/^Summary of error and correlation analysis (initial sample size \([0-9]*\)).*/\1/p' \
  "$work/report.txt")
if [[ -z $samples ]]; then
  echo "plot_example.sh: no summary in varbloc's output:" >&2
  cat "$work/report.txt" >&2
  exit 1
fi

# One file per column with "block_size error correlation marked" per level,
# and one with the columns that never decorrelated. A level with N values
# has the block size of the ladder entry b with floor(samples / b) = N; level
# 0 (the samples themselves) is block size 1.
awk -v samples="$samples" -v dir="$work" '
  BEGIN { split("1 5 10 50 100 500 1000 5000 10000 50000", ladder, " ") }
  /^Averages for [0-9]+ samples:/ {
    block = 0
    for (i = 1; i in ladder; i++) if (int(samples / ladder[i]) == $3) block = ladder[i]
    next
  }
  /^Summary of error/ { block = 0; summary = 1; next }
  # Level rows: col  c:  mean +/- error   Corr. coeff.:  r  [<]
  !summary && block && $1 == "col" && $4 == "+/-" {
    column = $2 + 0
    printf "%d %s %s %d\n", block, $5, $8, ($9 == "<") > (dir "/col" column ".dat")
    next
  }
  summary && $1 == "col" && /not decorrelated/ { print $2 + 0 > (dir "/not_decorrelated.txt") }
' "$work/report.txt"

columns=$(grep -c '^col .*(correlation' "$work/report.txt")
# The legend names each column by its AR(1) coefficient when the data file's
# comment gives them ("# columns: phi=0 phi=0.5 ..."), echoed by varbloc.
read -r -a phis <<<"$(grep -m1 '^Comment: .*phi=' "$work/report.txt" | grep -o 'phi=[^ ]*' |
  sed 's/phi=//' | tr '\n' ' ' || true)"

plots=()
for ((c = 0; c < columns; c++)); do
  file="$work/col$c.dat"
  color="lc $((c + 1))"
  if [[ -n ${phis[c]:-} ]]; then
    title="col $c: phi = ${phis[c]}"
    # The analytic standard error of an AR(1) mean, sigma_x sqrt((1+phi)/(1-phi)/n)
    # with sigma_x = 1/sqrt(1-phi^2), as a dashed line for comparison.
    phi=${phis[c]}
    plots+=("(1/sqrt(1-$phi**2))*sqrt((1+$phi)/(1-$phi)/$samples.0) with lines $color dt 2 lw 1.5 notitle")
  else
    title="col $c"
  fi
  plots+=("'$file' using 1:2 with linespoints $color pt 7 ps 0.8 lw 2 title '$title'")
  plots+=("'$file' using 1:(\$4 > 0 ? \$2 : NaN) with points $color pt 7 ps 2.6 notitle")
  if grep -qx "$c" "$work/not_decorrelated.txt" 2>/dev/null; then
    plots+=("'< tail -n 1 $file' using 1:2 with points $color pt 4 ps 3.2 lw 2 notitle")
  fi
done
# Legend entries for the markers and the dashed lines, drawn off the plot.
plots+=("NaN with points lc black pt 7 ps 2.6 title 'decorrelated here (lag-1 < 0.1)'")
plots+=("NaN with points lc black pt 4 ps 3.2 lw 2 title 'not decorrelated: last level'")
if ((${#phis[@]} > 0)); then
  plots+=("NaN with lines lc black dt 2 lw 1.5 title 'analytic AR(1) error'")
fi

mkdir -p "$(dirname "$png")"
plot_command=$(printf '%s, \\\n     ' "${plots[@]}")
gnuplot <<EOF
set terminal pngcairo size 1150,680 enhanced font "DejaVu Sans,12"
set output "$png"
set title "varbloc on $data ($samples samples): error of the mean against block size" noenhanced
set logscale xy
set xrange [0.7:$((samples / 11 + samples / 22))]
set format y "10^{%T}"
set xlabel "block size (samples per block; 1 = level 0, the samples themselves)"
set ylabel "estimated standard error of the mean"
set grid xtics ytics mytics lc rgb "#dddddd"
set key outside right top Left reverse box spacing 1.4 width 1
plot ${plot_command%, \\*}
EOF
echo "wrote $png" >&2
