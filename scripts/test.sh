#!/usr/bin/env bash
# The one test command: installs what the build needs, builds, runs the whole
# suite, then builds and runs it again under AddressSanitizer and
# UndefinedBehaviorSanitizer. Any failure gives a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
install_deps

jobs=2
# Compiler results are cached: a second run of the suite from the same
# checkout rebuilds only what changed. (No CCACHE_BASEDIR: its rewriting of
# paths would defeat the -fmacro-prefix-map that assertion texts rely on.)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
# run_suite DIR CTEST_EXCLUDE CMAKE_OPTIONS...
run_suite() {
  local dir=$1 exclude=$2; shift 2
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 300 ${exclude:+-E "$exclude"})
}

echo "== build and test =="
run_suite build "" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}"
echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer =="
# The end-to-end worlds and the packages run once, above: their daemons log
# to files nobody reads for sanitizer reports, and packages are made from
# plain builds.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan '^(E2E|Packaging)\.' -DCMAKE_BUILD_TYPE=Debug -DQUILMAR_SANITIZE=ON "${launcher[@]}"
