#!/usr/bin/env bash
# Builds in release mode and runs the benchmarks; prints a Markdown table (a few minutes on 2 cores).
# OSTREL_BENCH_REPEATS sets the repetitions of each measurement (default 5).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench --target handoff_bench registry_bench
build-bench/bench/handoff_bench
echo
build-bench/bench/registry_bench
