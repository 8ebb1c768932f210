#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for the given number of
# seconds, starting from the seed corpus in fuzz/corpus. Fails on any crash,
# hang or sanitizer report; the offending input is kept in build/fuzz/artifacts.
#
# usage: fuzz/run_fuzzers.sh [SECONDS]    (default 60 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/setup.sh clang libclang-rt-14-dev
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARBLOC_TESTS=OFF -DVARBLOC_FUZZ=ON >/dev/null
cmake --build build/fuzz --parallel "$(nproc)" --target fuzz_reader fuzz_conversion >/dev/null

mkdir -p build/fuzz/artifacts
# One target per core, side by side.
run_target() {  # target
  local target=$1 work=build/fuzz/corpus-$1  # new inputs go to $work; seeds stay as they are
  mkdir -p "$work"
  # Lines up to and past the 65,535-byte limit need inputs that long; the
  # targets' own standard error is closed (libFuzzer keeps its own).
  "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=70000 -timeout=20 \
    -close_fd_mask=2 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "$work" "fuzz/corpus/$target" \
    >"build/fuzz/$target.log" 2>&1
}
status=0
run_target reader & reader_job=$!
run_target conversion & conversion_job=$!
wait $reader_job || status=1
wait $conversion_job || status=1
for target in reader conversion; do
  echo "fuzz_$target, ${seconds} s:"
  grep -E "^(stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written)" \
    "build/fuzz/$target.log" | sed 's/^/  /' || true
done
[[ $status -eq 0 ]] || { echo "a fuzz target FAILED: see build/fuzz/*.log" >&2; exit 1; }
