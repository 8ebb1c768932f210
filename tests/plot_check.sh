#!/usr/bin/env bash
# Runs varbloc-plot on a stored report (of examples/ar1.dat: one column
# decorrelated at level 0, two later, one never) into a PNG, an SVG and the
# terminal, on a report of 3000 columns, on columns it cannot draw (errors
# printed as zero), and on inputs it must refuse with a one-line error: text
# that is no report, and reports of runs that ended early.
# usage: plot_check.sh VARBLOC_PLOT VARBLOC_BINARY SOURCE_DIR
set -euo pipefail
plot=$(realpath "$1")
varbloc=$(realpath "$2")
source=$(realpath "$3")
report=$source/tests/plot/ar1_report.txt
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# Images: the file is there, of its type, with nothing on standard error.
for image in errors.png errors.svg; do
  "$plot" -o "$image" "$report" 2>notes.txt || fail "$image: exit status $?: $(cat notes.txt)"
  [[ ! -s notes.txt ]] || fail "$image: notes on standard error: $(cat notes.txt)"
done
[[ $(head -c 8 errors.png 2>/dev/null | od -An -tx1 | tr -d ' ') == 89504e470d0a1a0a ]] ||
  fail "errors.png is not a PNG image"
grep -q '<svg' errors.svg 2>/dev/null || fail "errors.svg is not an SVG image"

# The terminal: at most 80 columns, every column in the key, the block sizes
# 1 to 1000 on the axis, both marks drawn inside the frame, from standard input.
"$plot" <"$report" >text.txt 2>notes.txt || fail "terminal: exit status $?: $(cat notes.txt)"
awk 'length > 80 { exit 1 }' text.txt || fail "terminal: lines wider than 80 columns"
for want in 'col 0 ' 'col 3 ' ' 1000$' '|.*@' '|.*?'; do
  grep -q -- "$want" text.txt || fail "terminal: no '$want' in the plot"
done

# With --auto's table the estimates are drawn too, each an "x" on the terminal.
"$varbloc" --auto -o auto.ana "$source/examples/ar1.dat" 2>auto.txt
"$plot" auto.txt >text.txt 2>notes.txt || fail "--auto: exit status $?: $(cat notes.txt)"
[[ ! -s notes.txt ]] || fail "--auto: notes on standard error: $(cat notes.txt)"
[[ $(grep -o '|[^|]*x' text.txt | wc -l) -ge 3 ]] || fail "--auto: estimates not drawn"

# A report of 3000 fields a line (2048 columns used): the first columns are
# drawn, and a note says how to pick others.
awk 'BEGIN { srand(1); for (i = 0; i < 60; i++) { line = ""; for (c = 0; c < 3000; c++)
  line = line sprintf("%.3f ", rand()); print line } }' >wide.dat
"$varbloc" -o ana.dat wide.dat 2>wide_report.txt
if "$plot" wide_report.txt >text.txt 2>notes.txt; then
  grep -q 'col 3 ' text.txt || fail "wide: col 3 not drawn"
  grep -q -- '-c ' notes.txt || fail "wide: no note on picking columns: $(cat notes.txt)"
else
  fail "wide: exit status $?: $(cat notes.txt)"
fi

# Errors too small for "%16.10f" print as zero: the note says so and does not
# call the column constant; a constant column is called constant.
awk 'BEGIN { srand(2); for (i = 0; i < 3000; i++) { x = 0.5 * x + rand() - 0.5
  printf "%.17g %.17g 7\n", x, x * 1e-12 } }' >small.dat
"$varbloc" -o ana.dat small.dat 2>small_report.txt
if "$plot" -c 0-2 small_report.txt >text.txt 2>notes.txt; then
  grep -q '^varbloc-plot: col 1 has every error printed as 0\.0000000000: .*--json' notes.txt ||
    fail "small: no note on errors printed as zero: $(cat notes.txt)"
  grep -q '^varbloc-plot: col 2 .*constant' notes.txt || fail "small: constant column not named"
  [[ $(grep -c constant notes.txt) == 1 ]] || fail "small: col 1 called constant: $(cat notes.txt)"
else
  fail "small: exit status $?: $(cat notes.txt)"
fi

# Refusals: non-zero exit, no plot, one line on standard error.
printf '1 2\n3 x\n' >bad.dat
printf '# no samples\n' >empty.dat
"$varbloc" -o ana.dat bad.dat 2>fatal_report.txt || true
"$varbloc" -o ana.dat empty.dat 2>no_samples_report.txt
head -n 40 "$report" >no_summary.txt
head -n 62 "$report" >part_summary.txt
: >nothing.txt
for input in "$source/README.md" nothing.txt fatal_report.txt no_samples_report.txt \
  no_summary.txt part_summary.txt; do
  if "$plot" "$input" >text.txt 2>notes.txt; then
    fail "$(basename "$input"): accepted"
  fi
  [[ ! -s text.txt ]] || fail "$(basename "$input"): something drawn"
  [[ $(wc -l <notes.txt) == 1 && $(cat notes.txt) == varbloc-plot:* ]] ||
    fail "$(basename "$input"): not a one-line error: $(cat notes.txt)"
done

# Column lists it cannot draw, and a directory for a report: the same.
cp "$report" report.txt
for arguments in "-c 3-1 report.txt" "-c 0-300000000 report.txt" "-c 9 report.txt" ".."; do
  # shellcheck disable=SC2086 # the arguments are split on purpose
  if "$plot" $arguments >text.txt 2>notes.txt; then
    fail "$arguments: accepted"
  fi
  [[ ! -s text.txt && $(wc -l <notes.txt) == 1 && $(cat notes.txt) == varbloc-plot:* ]] ||
    fail "$arguments: not a one-line error without a plot: $(cat notes.txt)"
done

# A report saved with CR LF line ends is drawn like the original.
sed 's/$/\r/' "$report" >crlf.txt
"$plot" "$report" >lf_text.txt 2>/dev/null
"$plot" crlf.txt >crlf_text.txt 2>/dev/null || fail "crlf: refused"
cmp -s lf_text.txt crlf_text.txt || fail "crlf: drawn differently"

((failures == 0)) || exit 1
echo "varbloc-plot drew the report and refused the rest"
