#!/usr/bin/env bash
# Runs varbloc under valgrind memcheck on a handful of inputs: a clean run, a
# compressed file, comments and CR LF, a fatal data error and an early end.
# Fails on any memory error or leak valgrind reports.
# usage: valgrind_check.sh VARBLOC_BINARY
set -euo pipefail
varbloc=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

for i in $(seq 0 599); do echo "$((i % 7)) $((i * 37 % 101)) $i"; done >plain.dat
gzip -c plain.dat >packed.gz
printf '# comment\r\n1 2\r\n3 4\r\n\x1a5 6\r\n' >crlf.dat
printf '1 2\n3 x\n' >bad.dat
printf '\n1\n' >empty_first.dat

status=0
for input in plain.dat packed.gz crlf.dat bad.dat empty_first.dat; do
  if ! valgrind --quiet --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "$varbloc" -o ana.dat "$input" 2>valgrind.log; then
    code=$?
    # Exit codes of the program itself (a fatal data error) are fine; 99 is valgrind's.
    if [[ $code -eq 99 ]] || grep -q "==[0-9]*== [A-Z]" valgrind.log; then
      echo "valgrind reports on $input:" >&2
      grep "==[0-9]*==" valgrind.log >&2
      status=1
    fi
  elif grep -q "==[0-9]*== [A-Z]" valgrind.log; then
    echo "valgrind reports on $input:" >&2
    grep "==[0-9]*==" valgrind.log >&2
    status=1
  fi
  echo "$input: checked"
done
exit $status
