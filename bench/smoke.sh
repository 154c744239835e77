#!/usr/bin/env bash
# Smoke check for CI: builds the benchmark preset and runs the benchmarks once on the smallest
# size. It asserts no timing; it fails when the build fails, a benchmark cannot run, or a run
# leaves other bytes than expected.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench
cmake --build --preset bench
build/bench/vorkap_bench_engine --sizes=10K
build/bench/vorkap_bench_check --sizes=10K
build/bench/vorkap_bench_runs --sizes=10K --reps=1
