#!/bin/bash
# Ends what is left running in the shared Wine prefixes and removes them.
# Usage: cleanup.sh STATE
set -u
. "$(dirname "$0")/lib.sh"

State=$1
[ -f "$State/vehicle.env" ] || exit 0
load_state "$State"
for Prefix in "$State"/prefix*; do
    [ -d "$Prefix" ] || continue
    WINEPREFIX=$Prefix end_prefix_processes
    rm -rf "$Prefix"
done
exit 0
