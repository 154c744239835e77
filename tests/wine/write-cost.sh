#!/usr/bin/env bash
# What the program's checked write costs against the platform's own write, under Wine, on a
# notes.ini of 10 KB to 2 MB with one section or a thousand: the helper times writes of one key
# through either, and whole runs of the program are timed against the same program built over the
# platform's own write (vorkap-setup-direct.exe). Prints milliseconds and the ratio checked /
# platform.
# The writes are made in a row in one process, as the platform's write in a run follows the
# lookups: it finds the file parsed in its memory, the checked write parses its copy anew.
# Run by hand after win32.wine-prepare: bash tests/wine/write-cost.sh build/win32/wine-state
# The files are written in DIR when given (another file system: the flush's cost differs).
# Usage: write-cost.sh STATE [DIR]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

load_state "$1"
unset DISPLAY
dir="$(realpath "${2:-$STATE/runs}")/write-cost"
rm -rf "$dir" && mkdir -p "$dir"

# make_ini FILE SIZE SECTIONS: a notes.ini of about SIZE bytes, [Notes] and SECTIONS - 1 others,
# its lines of 43 bytes spread evenly over them.
make_ini() {
    awk -v size="$2" -v sections="$3" 'BEGIN {
        lines = int((size - 9 - 10 * (sections - 1)) / 43)
        for (s = 0; s < sections; s++) {
            if (s) printf "[S%05d]\r\n", s; else printf "[Notes]\r\n"
            for (n = int(lines * s / sections); n < int(lines * (s + 1) / sections); n++)
                printf "Setting%05d=value of setting %011d\r\n", n, n
        }
    }' >"$1"
}

# write_cost FILE COUNT raw|checked: milliseconds a write takes, on a fresh copy of FILE.
write_cost() {
    cp "$1" "$dir/notes.ini"
    ( cd "$dir" && env LC_ALL="$WINE_LOCALE" timeout -k 5 600 "$WINE_LOADER" \
        "$BIN_DIR/wine_helper.exe" time 'Z:'"${dir//\//\\}"'\notes.ini' "$2" "$3" </dev/null \
        2>/dev/null | tr -d '\r' ) ||
        fail "the helper could not time $3 writes of $1"
    end_prefix_processes
}

# run_cost PROGRAM FILE COUNT: milliseconds a whole run of PROGRAM takes on a fresh copy of FILE,
# registrations and removals in turn, Wine's server kept running between them.
run_cost() {
    cp "$2" "$dir/notes.ini"
    cp "$1" "$dir/setup.exe"
    local start round options
    start=$(date +%s%N)
    for ((round = 0; round < $3; round++)); do
        options=/I
        ((round % 2)) && options="/U /I"
        # shellcheck disable=SC2086
        ( cd "$dir" && env LC_ALL="$WINE_LOCALE" timeout -k 5 600 "$WINE_LOADER" setup.exe \
            $options </dev/null >/dev/null 2>&1 ) || fail "$1: a run ended with status $?"
    done
    awk -v ns=$(($(date +%s%N) - start)) -v n="$3" 'BEGIN { printf "%.1f", ns / 1e6 / n }'
}

# table TITLE COUNT_SMALL COUNT_LARGE COMMAND: prints what COMMAND FILE COUNT raw|checked gives
# at each size and number of sections, and the ratio checked / platform.
table() {
    local title=$1 small=$2 large=$3 measure=$4 size sections count raw checked
    echo "$title"
    printf '%10s %9s %6s %10s %10s %6s\n' bytes sections count platform checked ratio
    for size in 10000 100000 1000000 2000000; do
        count=$(( size >= 1000000 ? large : small ))
        for sections in 1 1000; do
            make_ini "$dir/template.ini" "$size" "$sections"
            raw=$($measure "$dir/template.ini" "$count" raw)
            checked=$($measure "$dir/template.ini" "$count" checked)
            printf '%10s %9s %6s %10s %10s %6s\n' "$(stat -c %s "$dir/template.ini")" \
                "$sections" "$count" "$raw" "$checked" \
                "$(awk -v c="$checked" -v r="$raw" 'BEGIN { printf "%.2f", c / r }')"
        done
    done
}

# whole_run FILE COUNT raw|checked: run_cost of the program over the platform's own write, or of
# the program itself.
whole_run() {
    local program=$BIN_DIR/vorkap-setup.exe
    [ "$3" = raw ] && program=$BIN_DIR/vorkap-setup-direct.exe
    run_cost "$program" "$1" "$2"
}

table "milliseconds a write takes, one key written COUNT times in a row in one process" \
    50 10 write_cost
wineserver -p || fail "cannot start the Wine server"
table "milliseconds a whole run takes (registration and removal in turn), COUNT runs" \
    20 10 whole_run
end_prefix_processes
