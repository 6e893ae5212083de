#!/usr/bin/env bash
# Builds the libFuzzer target for the primary's handshake reader with clang in build-fuzz and runs it for
# a bounded time and memory. Extra arguments go to the fuzzer (e.g. -max_total_time=600).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOSTREL_FUZZ=ON -DOSTREL_BENCH=OFF
cmake --build build-fuzz -j2 --target fuzz_handshake

corpus=build-fuzz/fuzz-corpus/handshake
mkdir -p "$corpus"
exec build-fuzz/tests/fuzz_handshake -max_total_time=60 -rss_limit_mb=512 -timeout=10 "$@" "$corpus"
