#!/usr/bin/env bash
# Runs the differential test of the profile engine: the native oracle against the Windows one
# under the chosen Wine vehicle.
# Usage: run.sh STATE HOST_TOOLS_DIR [DRIVER OPTIONS...]
set -euo pipefail
. "$(dirname "$0")/../wine/lib.sh"

load_state "$1"
host=$2
shift 2
# The cases' files live in memory where the machine has /dev/shm: the native engine flushes
# every write to disk, and thousands of flushes would be most of the run's time.
work=$(mktemp -d /dev/shm/vorkap-differential.XXXXXX 2>/dev/null || mktemp -d) ||
    fail "cannot make a scratch directory"
trap 'rm -rf "$work"' EXIT
unset DISPLAY
status=0
"$host/vorkap_diff_driver" --native="$host/vorkap_diff_oracle" \
    --windows="$BIN_DIR/vorkap_diff_oracle.exe" --loader="$WINE_LOADER" --work="$work" "$@" ||
    status=$?
end_prefix_processes
exit "$status"
