#!/bin/bash
# Runs a GoogleTest program of the Windows build under the chosen Wine vehicle.
# Usage: run-unit.sh STATE PROGRAM.exe
set -u
. "$(dirname "$0")/lib.sh"

load_state "$1"
Out="$STATE/runs/unit-${2%.exe}"
rm -rf "$Out" && mkdir -p "$Out"
unset DISPLAY
RUN_TIMEOUT=180 run_windows_program "$Out" "$BIN_DIR/$2"
cat "$Out/stdout"
grep -v '^$' "$Out/stderr" >&2
[ "$STATUS" = 0 ] || fail "$2 ended with status $STATUS"
grep -q '^\[  PASSED  \]' "$Out/stdout" || fail "$2 reported no passed tests"
