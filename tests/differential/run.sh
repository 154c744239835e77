#!/bin/bash
# Runs the differential test of the profile engine: the native oracle against the Windows one
# under the chosen Wine vehicle.
# Usage: run.sh STATE HOST_TOOLS_DIR [DRIVER OPTIONS...]
set -u
. "$(dirname "$0")/../wine/lib.sh"

load_state "$1"
Host=$2
shift 2
# The cases' files live in memory where the machine has /dev/shm: the native engine flushes
# every write to disk, and thousands of flushes would be most of the run's time.
Work=$(mktemp -d "${TMPDIR_DIFFERENTIAL:-/dev/shm}/vorkap-differential.XXXXXX" 2>/dev/null ||
       mktemp -d) || fail "cannot make a scratch directory"
trap 'rm -rf "$Work"' EXIT
unset DISPLAY
"$Host/vorkap_diff_driver" --native="$Host/vorkap_diff_oracle" \
    --windows="$BIN_DIR/vorkap_diff_oracle.exe" --loader="$WINE_LOADER" --work="$Work" "$@"
Status=$?
end_prefix_processes
exit $Status
