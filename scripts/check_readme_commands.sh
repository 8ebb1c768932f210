#!/usr/bin/env bash
# Checks a newcomer's path through the README: its first two commands must be
# `./build.sh example` and then `./build.sh test` (what .ci/run runs, in that
# order), and the test command's CTest log must count every test the sources
# define. A suite that quietly shrinks, say to nothing because an earlier
# command left the tests switched off, fails here.
#   usage: scripts/check_readme_commands.sh TEST_LOG
set -euo pipefail
cd "$(dirname "$0")/.."
log=${1:?usage: scripts/check_readme_commands.sh TEST_LOG}

fail() {
  echo "check_readme_commands: $*" >&2
  exit 1
}

# The first two lines inside ```sh blocks of the README.
mapfile -t commands < <(awk '/^```sh$/ { inside = 1; next } /^```/ { inside = 0 } inside' README.md |
  head -n 2)
[[ ${#commands[@]} -eq 2 && ${commands[0]} == "./build.sh example" &&
  ${commands[1]} == "./build.sh test" ]] ||
  fail "the README's first commands are not './build.sh example' then './build.sh test': ${commands[*]:-none}"

# Every test the sources define: one per TEST in tests/*.cpp and one per
# add_test in tests/CMakeLists.txt, less those labelled valgrind, which the
# test command leaves to ./build.sh valgrind.
if grep -qE '^(TEST_P|TYPED_TEST|TYPED_TEST_P|INSTANTIATE_TEST_SUITE_P)\(' tests/*.cpp; then
  fail "parameterised tests cannot be counted from the sources; extend this check"
fi
cases=$(cat tests/*.cpp | grep -cE '^TEST(_F)?\(')
added=$(grep -c 'add_test(' tests/CMakeLists.txt)
valgrind=$(grep -c 'LABELS valgrind' tests/CMakeLists.txt)
expected=$((cases + added - valgrind))

ran=$(sed -n 's/.*tests failed out of \([0-9][0-9]*\)$/\1/p' "$log" | tail -n 1)
[[ -n $ran ]] || fail "no CTest summary in $log"
[[ $ran -eq $expected ]] ||
  fail "the test command ran $ran tests; the sources define $expected"
# As root (CI) every test can run: the permission tests run their cases as an
# unprivileged user, and /dev is writable for the full-disk tests.
skipped=$(grep -E '\(Skipped\)$' "$log" || true)
if [[ $(id -u) -eq 0 && -n $skipped ]]; then
  fail "tests skipped although run as root:"$'\n'"$skipped"
fi
echo "check_readme_commands: README order example, test; all $ran tests ran"
