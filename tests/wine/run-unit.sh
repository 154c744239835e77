#!/usr/bin/env bash
# Runs a GoogleTest program of the Windows build under the chosen Wine vehicle.
# Usage: run-unit.sh STATE PROGRAM.exe
set -euo pipefail
. "$(dirname "$0")/lib.sh"

load_state "$1"
out="$STATE/runs/unit-${2%.exe}"
rm -rf "$out" && mkdir -p "$out"
unset DISPLAY
RUN_TIMEOUT=180 run_windows_program "$out" "$BIN_DIR/$2"
cat "$out/stdout"
grep -v '^$' "$out/stderr" >&2 || true
[ "$STATUS" = 0 ] || fail "$2 ended with status $STATUS"
grep -q '^\[  PASSED  \]' "$out/stdout" || fail "$2 reported no passed tests"
