#!/usr/bin/env bash
# Ends what is left running in the shared Wine prefixes and removes them.
# Usage: cleanup.sh STATE
set -euo pipefail
. "$(dirname "$0")/lib.sh"

state=$1
[ -f "$state/vehicle.env" ] || exit 0
load_state "$state"
for prefix in "$state"/prefix*; do
    [ -d "$prefix" ] || continue
    WINEPREFIX=$prefix end_prefix_processes
    rm -rf "$prefix"
done
exit 0
