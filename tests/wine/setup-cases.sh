#!/usr/bin/env bash
# vorkap-setup.exe end to end under Wine: the program is copied into a scratch Notes directory
# (with or without a notes.ini), run, and judged by its exit status, the exact bytes it writes to
# standard output and what the keys of notes.ini read back as afterwards. Wine rewrites the whole
# file on every write, so bytes are compared only where nothing may have been written.
# Usage: setup-cases.sh STATE CASE
set -euo pipefail
. "$(dirname "$0")/lib.sh"

load_state "$1"
case_name=$2
dir="$STATE/runs/setup-$case_name"
rm -rf "$dir" && mkdir -p "$dir/notes" "$dir/out"
cp "$BIN_DIR/vorkap-setup.exe" "$dir/notes/"
ini="$dir/notes/notes.ini"
exe="$dir/notes/vorkap-setup.exe"
# No display: message boxes return at once and the help viewer shows nothing.
unset DISPLAY

# write_ini LINE...: notes.ini with CR LF lines, as the host writes it.
write_ini() {
    printf '%s\r\n' "$@" >"$ini"
}

# run_setup STATUS TEXT ARGS...: one run, which must end with STATUS and write TEXT (UTF-8;
# empty: nothing) to standard output.
run_setup() {
    local expected=$1 text=$2
    shift 2
    echo "run: vorkap-setup.exe $*"
    run_windows_program "$dir/out" "$exe" "$@"
    [ "$STATUS" = "$expected" ] || fail "vorkap-setup.exe $* ended with $STATUS, expected $expected"
    expect_stdout "$dir/out" "$text"
}

expect_unchanged() {
    cmp -s "$dir/before.ini" "$ini" || fail "notes.ini was changed"
}

case $case_name in
register)
    # The entry goes into the lowest empty slot; other formats and settings stay as they were.
    write_ini '[Notes]' 'Language=ja' 'VIEWEXP5=Spreadsheet Table,0,_SheetExp,,.XLS,,1,' \
              'VIEWEXP7=Tabular Text,0,_TabText,,.TXT,,1,' '[Vorkap]' 'OutputDocument=1'
    run_setup 0 "$TEXT_REGISTERED" /I
    expect_key "$ini" Notes VIEWEXP6 "$ENTRY"
    expect_key "$ini" Notes VIEWEXP5 'Spreadsheet Table,0,_SheetExp,,.XLS,,1,'
    expect_key "$ini" Notes VIEWEXP7 'Tabular Text,0,_TabText,,.TXT,,1,'
    expect_key "$ini" Notes VIEWEXP8 '<missing>'
    expect_key "$ini" Notes Language ja
    expect_key "$ini" Vorkap OutputDocument 1
    ;;
reregister)
    # An existing registration, in any case, is rewritten in its own slot; running twice still
    # leaves one entry. An empty VIEWEXP6 before it stays empty.
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' 'VIEWEXP6=' \
              'VIEWEXP12=EXPORT HTML FILES,1,_VORKAP,,.HTM,,1,'
    run_setup 0 "$TEXT_REGISTERED" /i
    run_setup 0 "$TEXT_REGISTERED" /i /X -U
    expect_key "$ini" Notes VIEWEXP12 "$ENTRY"
    expect_key "$ini" Notes VIEWEXP6 ''
    [ "$(grep -ci '_vorkap,,' "$ini")" = 1 ] || fail "not exactly one registration in notes.ini"
    ;;
remove)
    # Removal deletes the registered slot and the two settings keys, nothing else.
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' "VIEWEXP9=$ENTRY" \
              '[Vorkap]' 'OutputDocument=C:\out\doc' 'OutputXML=1' 'Language=ja'
    run_setup 0 "$TEXT_REMOVED" /U /I
    expect_key "$ini" Notes VIEWEXP9 '<missing>'
    expect_key "$ini" Notes VIEWEXP5 'Tabular Text,0,_TabText,,.TXT,,1,'
    expect_key "$ini" Vorkap OutputDocument '<missing>'
    expect_key "$ini" Vorkap OutputXML '<missing>'
    expect_key "$ini" Vorkap Language ja
    # Registration afterwards takes the lowest empty slot, not the one just freed.
    run_setup 0 "$TEXT_REGISTERED" /I
    expect_key "$ini" Notes VIEWEXP6 "$ENTRY"
    ;;
remove-absent)
    # Removal with nothing registered and no settings: the removal message all the same.
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,'
    run_setup 0 "$TEXT_REMOVED" /i /u
    expect_key "$ini" Notes VIEWEXP5 'Tabular Text,0,_TabText,,.TXT,,1,'
    expect_key "$ini" Notes VIEWEXP6 '<missing>'
    ;;
not-found)
    # No notes.ini: message 1 and status 1, with or without /U. The help call starts a help
    # viewer that outlives the program; the run must still end.
    run_setup 1 "$TEXT_NOT_FOUND" /I
    run_setup 1 "$TEXT_NOT_FOUND" /U /I
    [ ! -e "$ini" ] || fail "a notes.ini was created"
    [ -z "$(find "$WINEPREFIX/drive_c" -iname notes.ini -print -quit)" ] ||
        fail "a notes.ini was created in the prefix"
    ;;
no-slot)
    # All 27 slots taken by other formats: status 3, message 5, nothing written at all.
    mapfile -t slots < <(full_slots)
    write_ini '[Notes]' "${slots[@]}" '[Vorkap]' 'OutputDocument=1'
    cp "$ini" "$dir/before.ini"
    run_setup 3 "$TEXT_NO_SLOT" /I
    expect_unchanged
    # Removal still deletes the settings and leaves every slot.
    run_setup 0 "$TEXT_REMOVED" /U /I
    expect_key "$ini" Vorkap OutputDocument '<missing>'
    for slot in 5 18 31; do
        expect_key "$ini" Notes VIEWEXP$slot "Format $slot,1,_Other$slot,,.F$slot,,1,"
    done
    ;;
unwritable)
    # A read-only notes.ini: status 2, message 4, the file unchanged, for registration and for
    # removal. The superuser may write to read-only files, so the program runs as an
    # unprivileged user then, in a prefix of its own.
    run_as_unprivileged
    [ -z "$USER_NAME" ] || chown "$USER_NAME:" "$dir" "$dir/notes" "$dir/out"
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' '[Vorkap]' 'OutputXML=1'
    [ -z "$USER_NAME" ] || chown "$USER_NAME:" "$ini"
    chmod 444 "$ini"
    cp -p "$ini" "$dir/before.ini"
    RUN_TIMEOUT=180 run_setup 2 "$TEXT_WRITE_FAILED" /I
    expect_unchanged
    run_setup 2 "$TEXT_WRITE_FAILED" /U /I
    expect_unchanged
    ;;
long-path)
    # A notes.ini whose full path does not fit the program's 260-byte path buffer: the search's
    # answer is the size it would need, never a path to edit, so it counts as not found.
    deep="$dir/notes"
    for part in 1 2 3 4 5; do
        deep="$deep/a-directory-name-long-enough-to-pass-the-path-limit-$part"
    done
    mkdir -p "$deep"
    mv "$exe" "$deep/"
    exe="$deep/vorkap-setup.exe"
    ini="$deep/notes.ini"
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,'
    cp "$ini" "$dir/before.ini"
    run_setup 1 "$TEXT_NOT_FOUND" /I
    expect_unchanged
    ;;
boxes-no-display)
    # Message-box mode with no display: the boxes return at once, nothing is written to
    # standard output, and status and file are as in /I mode.
    write_ini '[Notes]'
    run_setup 0 ''
    expect_key "$ini" Notes VIEWEXP5 "$ENTRY"
    run_setup 0 '' /u
    expect_key "$ini" Notes VIEWEXP5 '<missing>'
    rm "$ini"
    run_setup 1 ''
    ;;
*)
    fail "unknown case $case_name"
    ;;
esac
echo "PASS: $case_name"
