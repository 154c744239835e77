#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: the native program, the same under
# AddressSanitizer and UndefinedBehaviorSanitizer, the fuzzer for a bounded time, the benchmark
# as a smoke check, and the Windows program under Wine. Every stage runs; the first that fails
# ends the run with its status.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh all

step() { echo; echo "==== $*"; }

step "native build and tests"
cmake --preset native
cmake --build --preset native
ctest --preset native

step "sanitizer build and tests"
cmake --preset asan
cmake --build --preset asan
ctest --preset asan

step "fuzzing the profile engine"
bash tests/fuzz/run-fuzz.sh

step "benchmark smoke run"
bash bench/smoke.sh

step "Windows build and tests under Wine"
cmake --preset win32
cmake --build --preset win32
ctest --preset win32

step "all tests passed"
