#!/usr/bin/env bash
# Builds the native program and runs it on a copy of the sample Notes directory: a registration,
# then a removal, each with its message, exit status and the lines of notes.ini that changed.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh native
cmake --preset native >/dev/null
cmake --build --preset native --target vorkap-setup >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp -r sample/Notes "$scratch/Notes"
cp build/native/vorkap-setup "$scratch/Notes/"
before="$scratch/before.ini"

run() {
    cp "$scratch/Notes/notes.ini" "$before"
    echo "\$ Notes/vorkap-setup $*"
    status=0
    (cd / && "$scratch/Notes/vorkap-setup" "$@" 2>&1) || status=$?
    echo
    echo "exit status: $status"
    echo "lines of notes.ini that changed:"
    changed=$(diff -u "$before" "$scratch/Notes/notes.ini" | tail -n +4 | grep '^[-+]' | tr -d '\r' || true)
    echo "${changed:-(none)}"
    echo
}

run /I
run /U /I
