#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks that the program and
# its manual page arrive, that the page renders without a groff warning, and
# that the installed program runs and gives the page's version; the same for
# varbloc-plot, which must draw the installed program's report of the shipped
# example in the terminal. The Python package is installed with pip
# (tests/python/pip_install_check.sh).
# usage: install_check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/varbloc" || { echo "bin/varbloc not installed" >&2; exit 1; }
page="$prefix/share/man/man1/varbloc.1"
test -f "$page" || { echo "man1/varbloc.1 not installed" >&2; exit 1; }
cmp -s "$page" "$build/doc/varbloc.1" || { echo "installed page differs" >&2; exit 1; }
warnings=$(groff -ww -z -man "$page" 2>&1)
[[ -z $warnings ]] || { echo "groff warnings: $warnings" >&2; exit 1; }
if "$prefix/bin/varbloc" 2>"$prefix/usage.txt"; then
  echo "varbloc without arguments succeeded" >&2
  exit 1
fi
grep -q "^Usage: varbloc" "$prefix/usage.txt" || { echo "no usage text" >&2; exit 1; }
# The version comes from CMake's project(VERSION); the program, both pages'
# .TH lines and the module carry it.
version=$("$prefix/bin/varbloc" --version)
program_version=$version
project=$(sed -n 's/^project(varbloc VERSION \([^ ]*\) .*/\1/p' "$source/CMakeLists.txt")
[[ $version == "varbloc $project" ]] ||
  { echo "varbloc --version says '$version', CMakeLists.txt '$project'" >&2; exit 1; }
for name in varbloc varbloc-plot; do
  grep -q "^\.TH ${name^^} 1 \"[^\"]*\" \"$version\" " "$prefix/share/man/man1/$name.1" ||
    { echo "varbloc --version says '$version'; $name.1's .TH line does not" >&2; exit 1; }
done

test -x "$prefix/bin/varbloc-plot" || { echo "bin/varbloc-plot not installed" >&2; exit 1; }
page="$prefix/share/man/man1/varbloc-plot.1"
cmp -s "$page" "$build/doc/varbloc-plot.1" || { echo "man1/varbloc-plot.1 not installed" >&2; exit 1; }
warnings=$(groff -ww -z -man "$page" 2>&1)
[[ -z $warnings ]] || { echo "groff warnings: $warnings" >&2; exit 1; }
example=$(realpath "$source/examples/ar1.dat")
(cd "$prefix" && bin/varbloc -o ana.dat "$example" 2>&1 | bin/varbloc-plot >plot.txt) ||
  { echo "installed varbloc-plot failed on the example" >&2; exit 1; }
grep -q 'col 3 ' "$prefix/plot.txt" || { echo "installed varbloc-plot drew no key" >&2; exit 1; }

echo "installed and rendered cleanly"
