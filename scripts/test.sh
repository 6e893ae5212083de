#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest: the normal build (which
# includes the tests of the Windows program under Wine), a bounded run of the handshake fuzzer, and the
# suite again built with AddressSanitizer and UndefinedBehaviorSanitizer.
# Extra arguments go to every ctest call (for example -R election) and skip the fuzzer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" "$@"

if [ $# -eq 0 ]; then
    scripts/fuzz.sh
fi

# A sanitizer report ends the reporting process with a failure status, which fails its test. The Wine
# tests run the Windows build, which the sanitizers do not reach, so they run once, above.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_SANITIZE=ON -DOSTREL_BENCH=OFF
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" -LE wine "$@"
