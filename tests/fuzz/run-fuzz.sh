#!/usr/bin/env bash
# Builds the libFuzzer target of the profile engine (preset "fuzz") and runs it for a bounded
# time over a copy of the checked-in seed corpus, so the corpus in the tree never changes.
# Fails (non-zero exit) on any crash, sanitizer report or broken property; the input that
# caused it is kept in build/fuzz/artifacts.
#
# Environment: FUZZ_SECONDS (default 120), FUZZ_JOBS (parallel fuzzing processes, default 1).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${FUZZ_SECONDS:-120}
jobs=${FUZZ_JOBS:-1}

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target profile_fuzz

work=$(mktemp -d "${TMPDIR:-/tmp}/vorkap-fuzz-XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/corpus" build/fuzz/artifacts
cp profile/fuzz-corpus/* "$work/corpus/"

# libFuzzer stops by itself after max_total_time; timeout(1) is the backstop should it not.
# It runs in the scratch directory, where parallel jobs leave their fuzz-<n>.log files.
cd "$work"
status=0
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-jobs="$jobs" -workers="$jobs"); fi
timeout --kill-after=10 $((seconds + 60)) "$root/build/fuzz/profile_fuzz" "${parallel[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 \
    -artifact_prefix="$root/build/fuzz/artifacts/" \
    corpus >"$work/fuzz.log" 2>&1 || status=$?
# The fuzzer's progress lines are many; its last lines hold the outcome and the final stats.
tail -n 25 "$work/fuzz.log"

if [ "$status" -ne 0 ]; then
    for log in "$work"/fuzz-*.log; do
        [ -f "$log" ] && tail -n 40 "$log" >&2
    done
    echo "run-fuzz: the fuzzer failed (exit $status); inputs kept in build/fuzz/artifacts:" >&2
    ls -l "$root/build/fuzz/artifacts" >&2 || true
    exit 1
fi
echo "run-fuzz: ${seconds} s without a finding"
