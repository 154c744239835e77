#!/usr/bin/env bash
# Smoke check for CI: builds the benchmark preset and runs the benchmark once on the smallest
# size. It asserts no timing; it fails when the build fails, the benchmark cannot run, or a run
# leaves other bytes than expected.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset bench
cmake --build --preset bench
build/bench/vorkap_bench --sizes=10K --reps=1
