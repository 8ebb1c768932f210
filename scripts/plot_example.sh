#!/usr/bin/env bash
# Draws varbloc's error against block size for every column of the shipped
# example examples/ar1.dat with varbloc-plot, adding the analytic error of
# each AR(1) series, into docs/example_errors.png.
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

# The AR(1) coefficients come from the data file's comment
# ("# columns: phi=0 phi=0.5 ..."), the sample count from its data lines.
samples=$(grep -cv '^#' "$data")
read -r -a phis <<<"$(grep -m1 '^# *columns:.*phi=' "$data" | grep -o 'phi=[^ ]*' |
  sed 's/phi=//' | tr '\n' ' ' || true)"

# The analytic standard error of an AR(1) mean, sigma_x sqrt((1+phi)/(1-phi)/n)
# with sigma_x = 1/sqrt(1-phi^2), as a dashed line in the column's colour.
theory=()
for ((c = 0; c < ${#phis[@]}; c++)); do
  phi=${phis[c]}
  theory+=(-e "(1/sqrt(1-$phi**2))*sqrt((1+$phi)/(1-$phi)/$samples.0) with lines lt $((c + 1)) dt 2 lw 1.5 title 'AR(1) theory, phi = $phi'")
done

# varbloc writes its analysis file into the scratch directory, not the
# caller's; the -o name must not contain '-', so it is given relative.
data_path=$(realpath "$data")
mkdir -p "$(dirname "$png")"
(cd "$work" && "$repo/$varbloc" -o ana.dat "$data_path") 2>&1 |
  scripts/varbloc-plot -o "$png" "${theory[@]}" \
    -t "varbloc on $data ($samples samples): error of the mean against block size"
echo "wrote $png" >&2
