#!/usr/bin/env bash
# Builds varbloc and runs it, its tests or its sanitizer suite.
#   ./build.sh example   build and analyse the shipped example data
#   ./build.sh test      build and run every test
#   ./build.sh sanitize  build with AddressSanitizer + UBSan and run every test
#   ./build.sh valgrind  build and run whole runs under valgrind memcheck
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc 2>/dev/null || echo 2)

# The tests are switched on explicitly every time: a cache left by an older
# command must never build a tree without them.
configure() {  # directory, extra cmake arguments...
  local dir=$1
  shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVARBLOC_TESTS=ON "$@" >/dev/null
}

configure_and_build() {  # directory, extra cmake arguments...
  configure "$@"
  cmake --build "$1" --parallel "$jobs"
}

# A run that finds no tests fails instead of passing.
run_ctest() {  # ctest arguments...
  ctest --no-tests=error --output-on-failure "$@"
}

case "${1:-}" in
  example)
    scripts/setup.sh
    # Only the program is built; the tree stays ready for ./build.sh test.
    configure build/release
    cmake --build build/release --parallel "$jobs" --target varbloc
    build/release/varbloc --auto -o build/ana.dat examples/ar1.dat
    ;;
  test)
    scripts/setup.sh
    configure_and_build build/release
    run_ctest --test-dir build/release --parallel "$jobs" --label-exclude valgrind
    ;;
  valgrind)
    scripts/setup.sh valgrind
    configure_and_build build/release
    run_ctest --test-dir build/release --label-regex valgrind
    ;;
  sanitize)
    scripts/setup.sh
    # Huge requests must fail with null, as they do without the sanitizer.
    export ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1
    export UBSAN_OPTIONS=print_stacktrace=1
    configure_and_build build/sanitize -DVARBLOC_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    run_ctest --test-dir build/sanitize --parallel "$jobs" --label-exclude valgrind
    ;;
  *)
    echo "usage: ./build.sh example|test|sanitize|valgrind" >&2
    exit 2
    ;;
esac
