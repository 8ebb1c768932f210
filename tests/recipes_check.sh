#!/usr/bin/env bash
# Runs every recipe for files of other programs (and for number forms varbloc
# does not read: Fortran D exponents, decimal commas, blank lines, values too
# small for its printed digits), as the README and the manual page print it,
# on its small file in tests/recipes/, and checks from the
# analysis file the number of columns and the mean of one column (means
# worked out from the files independently of varbloc).
# usage: recipes_check.sh VARBLOC_BINARY SOURCE_DIR
set -euo pipefail
varbloc=$(realpath "$1")
source=$(realpath "$2")
for tool in zstd xz bzip2; do
  command -v $tool >/dev/null || { echo "$tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$source"/tests/recipes/* "$work"
cd "$work"
zstd -q -k run.dat
xz -k run.dat
bzip2 -k run.dat
mkdir bin
ln -s "$varbloc" bin/varbloc
PATH=$work/bin:$PATH

manual=$(groff -man -Tascii -P-cbou "$source/doc/varbloc.1" 2>/dev/null)
failures=0
fail() {
  echo "FAILED: $recipe: $*" >&2
  failures=$((failures + 1))
}
# columns, a column, its mean, the recipe
while read -r columns column mean recipe; do
  grep -qF -- "$recipe" "$source/README.md" || fail "not in README.md as written here"
  grep -qF -- "$recipe" <<<"$manual" || fail "not in the manual page as written here"
  rm -f ana.dat
  status=0
  bash -c "set -o pipefail; $recipe" 2>report.txt || status=$?
  if ((status != 0)) || [[ ! -f ana.dat ]]; then
    fail "exit status $status: $(grep -m1 'Fatal error' report.txt || tail -n 1 report.txt)"
    continue
  fi
  read -r -a fields <ana.dat
  ((${#fields[@]} == 2 * columns)) || fail "${#fields[@]} numbers in ana.dat, expected $((2 * columns))"
  got=${fields[2 * column]:-none}
  awk -v got="$got" -v want="$mean" 'BEGIN { d = got - want; exit !(got != "none" && d * d < 1e-18) }' ||
    fail "mean of col $column is $got, expected $mean"
done <<'EOF'
2 1 298.3271685667 grep -v '^@' energy.xvg | varbloc -c 1 STDIN
4 1 -5.7116446743 awk '/^Loop time/ {keep = 0} keep && !/^WARNING/; $1 == "Step" {keep = 1}' log.lammps | varbloc -c 1 STDIN
3 2 4100.2894000000 sed '1s/^/# /; s/,/ /g' data.csv | varbloc STDIN
2 1 100.0155555820 tr ',' ' ' <values.csv | varbloc STDIN
2 1 -3.2236501933 zstd -dc run.dat.zst | varbloc STDIN
2 1 -3.2236501933 xz -dc run.dat.xz | varbloc STDIN
2 1 -3.2236501933 bzip2 -dc run.dat.bz2 | varbloc STDIN
2 1 0.0025179239 sed '/^#/!s/\([0-9.]\)[dD]\([-+0-9]\)/\1e\2/g' fortran.dat | varbloc STDIN
3 2 1.0093748000 tr ',' '.' <decimal_commas.dat | varbloc STDIN
2 1 -3.0232547750 grep -v '^[[:space:]]*$' blank_lines.dat | varbloc STDIN
2 0 3.2346624250 awk '/^#/ { print; next } { $1 = sprintf("%.17g", $1 * 1e9) } 1' tiny.dat | varbloc STDIN
EOF
((failures == 0)) || exit 1
echo "every recipe read its file as expected"
