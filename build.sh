#!/usr/bin/env bash
# Builds varbloc and runs it, its tests or its sanitizer suite.
#   ./build.sh example   build and analyse the shipped example data
#   ./build.sh test      build and run every test
#   ./build.sh sanitize  build with AddressSanitizer + UBSan and run every test
#   ./build.sh valgrind  build and run whole runs under valgrind memcheck
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

configure_and_build() {  # directory, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$dir" --parallel "$jobs"
}

case "${1:-}" in
  example)
    scripts/setup.sh
    configure_and_build build/release -DVARBLOC_TESTS=OFF
    build/release/varbloc -o build/ana.dat examples/ar1.dat
    ;;
  test)
    scripts/setup.sh
    configure_and_build build/release
    ctest --test-dir build/release --output-on-failure --parallel "$jobs" --label-exclude valgrind
    ;;
  valgrind)
    scripts/setup.sh valgrind
    configure_and_build build/release
    ctest --test-dir build/release --output-on-failure --label-regex valgrind
    ;;
  sanitize)
    scripts/setup.sh
    # Huge requests must fail with null, as they do without the sanitizer.
    export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
    export UBSAN_OPTIONS=print_stacktrace=1
    configure_and_build build/sanitize -DVARBLOC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ctest --test-dir build/sanitize --output-on-failure --parallel "$jobs" --label-exclude valgrind
    ;;
  *)
    echo "usage: ./build.sh example|test|sanitize|valgrind" >&2
    exit 2
    ;;
esac
