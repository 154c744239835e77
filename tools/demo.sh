#!/usr/bin/env bash
# Builds the native program alone (no tests, so none of their packages) in build/demo and runs it
# on a copy of the sample Notes directory: a registration, then a removal, each with its message,
# exit status and the lines of notes.ini that changed; then a run in a folder without notes.ini,
# which fails with status 1. Every command that runs the program is printed as it is run, and
# then what it wrote, each line labelled stdout: or stderr:.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

install_packages "the demo (the program alone)" cmake make g++

# shown COMMAND...: prints the command as it runs it, from the top of the source tree, with its
# output left out.
shown() {
    echo "\$ $* >/dev/null"
    "$@" >/dev/null
}
shown cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORKAP_BUILD_TESTS=OFF
shown cmake --build build/demo --target vorkap-setup -j2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r sample/Notes "$scratch/Notes"
cp build/demo/vorkap-setup "$scratch/Notes/"
mkdir "$scratch/Empty"
cp build/demo/vorkap-setup "$scratch/Empty/"
echo
echo "A line \"help: nVorkap.hlp: ...\" stands for the Windows help window (WinHelp) that the"
echo "Windows program opens at that point."
echo

# labelled LABEL FILE: prints each line of FILE after LABEL, the last one ended even when the
# program wrote no line end (a message on standard output that is not a terminal has none).
labelled() {
    local line
    while IFS= read -r line || [ -n "$line" ]; do
        echo "$1 $line"
    done <"$2"
}

# run FOLDER ARGS...: runs the program of FOLDER from inside it, as printed, then shows what it
# wrote to standard output and to standard error, its exit status and the lines of that folder's
# notes.ini that changed.
run() {
    local folder=$1 before="$scratch/before.ini" ini="$1/notes.ini" status=0 changed
    shift
    : >"$before"
    [ ! -f "$ini" ] || cp "$ini" "$before"
    echo "\$ cd $folder"
    echo "\$ ./vorkap-setup $*"
    (cd "$folder" && ./vorkap-setup "$@" >"$scratch/stdout" 2>"$scratch/stderr") || status=$?
    labelled stdout: "$scratch/stdout"
    labelled stderr: "$scratch/stderr"
    echo "exit status: $status"
    if [ -f "$ini" ]; then
        echo "lines of notes.ini that changed:"
        changed=$(diff -u "$before" "$ini" | tail -n +4 | grep '^[-+]' | tr -d '\r' || true)
        echo "${changed:-(none)}"
    else
        echo "no notes.ini in $folder: nothing was written"
    fi
    echo
}

run "$scratch/Notes" /I
run "$scratch/Notes" /U /I
run "$scratch/Empty" /I
