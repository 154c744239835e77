#!/bin/bash
# vorkap-setup.exe end to end under Wine: the program is copied into a scratch Notes directory
# (with or without a notes.ini), run, and judged by its exit status, the exact bytes it writes to
# standard output and what the keys of notes.ini read back as afterwards. Wine rewrites the whole
# file on every write, so bytes are compared only where nothing may have been written.
# Usage: setup-cases.sh STATE CASE
set -u
. "$(dirname "$0")/lib.sh"

load_state "$1"
Case=$2
Dir="$STATE/runs/setup-$Case"
rm -rf "$Dir" && mkdir -p "$Dir/notes" "$Dir/out"
cp "$BIN_DIR/vorkap-setup.exe" "$Dir/notes/"
Ini="$Dir/notes/notes.ini"
Exe="$Dir/notes/vorkap-setup.exe"
# No display: message boxes return at once and the help viewer shows nothing.
unset DISPLAY

# write_ini LINE...: notes.ini with CR LF lines, as the host writes it.
write_ini() {
    printf '%s\r\n' "$@" >"$Ini"
}

# run_setup STATUS TEXT ARGS...: one run, which must end with STATUS and write TEXT (UTF-8;
# empty: nothing) to standard output.
run_setup() {
    local Expected=$1 Text=$2
    shift 2
    echo "run: vorkap-setup.exe $*"
    run_windows_program "$Dir/out" "$Exe" "$@"
    [ "$STATUS" = "$Expected" ] || fail "vorkap-setup.exe $* ended with $STATUS, expected $Expected"
    expect_stdout "$Dir/out" "$Text"
}

expect_unchanged() {
    cmp -s "$Dir/before.ini" "$Ini" || fail "notes.ini was changed"
}

# Every slot from 5 to 31 taken by another export format.
full_slots() {
    local Slot
    for Slot in $(seq 5 31); do
        echo "VIEWEXP$Slot=Format $Slot,1,_Other$Slot,,.F$Slot,,1,"
    done
}

case $Case in
register)
    # The entry goes into the lowest empty slot; other formats and settings stay as they were.
    write_ini '[Notes]' 'Language=ja' 'VIEWEXP5=Spreadsheet Table,0,_SheetExp,,.XLS,,1,' \
              'VIEWEXP7=Tabular Text,0,_TabText,,.TXT,,1,' '[Vorkap]' 'OutputDocument=1'
    run_setup 0 "$TEXT_REGISTERED" /I
    expect_key "$Ini" Notes VIEWEXP6 "$ENTRY"
    expect_key "$Ini" Notes VIEWEXP5 'Spreadsheet Table,0,_SheetExp,,.XLS,,1,'
    expect_key "$Ini" Notes VIEWEXP7 'Tabular Text,0,_TabText,,.TXT,,1,'
    expect_key "$Ini" Notes VIEWEXP8 '<missing>'
    expect_key "$Ini" Notes Language ja
    expect_key "$Ini" Vorkap OutputDocument 1
    ;;
reregister)
    # An existing registration, in any case, is rewritten in its own slot; running twice still
    # leaves one entry. An empty VIEWEXP6 before it stays empty.
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' 'VIEWEXP6=' \
              'VIEWEXP12=EXPORT HTML FILES,1,_VORKAP,,.HTM,,1,'
    run_setup 0 "$TEXT_REGISTERED" /i
    run_setup 0 "$TEXT_REGISTERED" /i /X -U
    expect_key "$Ini" Notes VIEWEXP12 "$ENTRY"
    expect_key "$Ini" Notes VIEWEXP6 ''
    [ "$(grep -ci '_vorkap,,' "$Ini")" = 1 ] || fail "not exactly one registration in notes.ini"
    ;;
remove)
    # Removal deletes the registered slot and the two settings keys, nothing else.
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' "VIEWEXP9=$ENTRY" \
              '[Vorkap]' 'OutputDocument=C:\out\doc' 'OutputXML=1' 'Language=ja'
    run_setup 0 "$TEXT_REMOVED" /U /I
    expect_key "$Ini" Notes VIEWEXP9 '<missing>'
    expect_key "$Ini" Notes VIEWEXP5 'Tabular Text,0,_TabText,,.TXT,,1,'
    expect_key "$Ini" Vorkap OutputDocument '<missing>'
    expect_key "$Ini" Vorkap OutputXML '<missing>'
    expect_key "$Ini" Vorkap Language ja
    # Registration afterwards takes the lowest empty slot, not the one just freed.
    run_setup 0 "$TEXT_REGISTERED" /I
    expect_key "$Ini" Notes VIEWEXP6 "$ENTRY"
    ;;
remove-absent)
    # Removal with nothing registered and no settings: the removal message all the same.
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,'
    run_setup 0 "$TEXT_REMOVED" /i /u
    expect_key "$Ini" Notes VIEWEXP5 'Tabular Text,0,_TabText,,.TXT,,1,'
    expect_key "$Ini" Notes VIEWEXP6 '<missing>'
    ;;
not-found)
    # No notes.ini: message 1 and status 1, with or without /U. The help call starts a help
    # viewer that outlives the program; the run must still end.
    run_setup 1 "$TEXT_NOT_FOUND" /I
    run_setup 1 "$TEXT_NOT_FOUND" /U /I
    [ ! -e "$Ini" ] || fail "a notes.ini was created"
    [ -z "$(find "$WINEPREFIX/drive_c" -iname notes.ini -print -quit)" ] ||
        fail "a notes.ini was created in the prefix"
    ;;
no-slot)
    # All 27 slots taken by other formats: status 3, message 5, nothing written at all.
    mapfile -t Slots < <(full_slots)
    write_ini '[Notes]' "${Slots[@]}" '[Vorkap]' 'OutputDocument=1'
    cp "$Ini" "$Dir/before.ini"
    run_setup 3 "$TEXT_NO_SLOT" /I
    expect_unchanged
    # Removal still deletes the settings and leaves every slot.
    run_setup 0 "$TEXT_REMOVED" /U /I
    expect_key "$Ini" Vorkap OutputDocument '<missing>'
    for Slot in 5 18 31; do
        expect_key "$Ini" Notes VIEWEXP$Slot "Format $Slot,1,_Other$Slot,,.F$Slot,,1,"
    done
    ;;
unwritable)
    # A read-only notes.ini: status 2, message 4, the file unchanged, for registration and for
    # removal. The superuser may write to read-only files, so the program runs as an
    # unprivileged user then, in a prefix of its own.
    run_as_unprivileged
    [ -z "$USER_NAME" ] || chown "$USER_NAME:" "$Dir" "$Dir/notes" "$Dir/out"
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' '[Vorkap]' 'OutputXML=1'
    [ -z "$USER_NAME" ] || chown "$USER_NAME:" "$Ini"
    chmod 444 "$Ini"
    cp -p "$Ini" "$Dir/before.ini"
    RUN_TIMEOUT=180 run_setup 2 "$TEXT_WRITE_FAILED" /I
    expect_unchanged
    run_setup 2 "$TEXT_WRITE_FAILED" /U /I
    expect_unchanged
    ;;
long-path)
    # A notes.ini whose full path does not fit the program's 260-byte path buffer: the search's
    # answer is the size it would need, never a path to edit, so it counts as not found.
    Deep="$Dir/notes"
    for Part in 1 2 3 4 5; do
        Deep="$Deep/a-directory-name-long-enough-to-pass-the-path-limit-$Part"
    done
    mkdir -p "$Deep"
    mv "$Exe" "$Deep/"
    Exe="$Deep/vorkap-setup.exe"
    Ini="$Deep/notes.ini"
    write_ini '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,'
    cp "$Ini" "$Dir/before.ini"
    run_setup 1 "$TEXT_NOT_FOUND" /I
    expect_unchanged
    ;;
boxes-no-display)
    # Message-box mode with no display: the boxes return at once, nothing is written to
    # standard output, and status and file are as in /I mode.
    write_ini '[Notes]'
    run_setup 0 ''
    expect_key "$Ini" Notes VIEWEXP5 "$ENTRY"
    run_setup 0 '' /u
    expect_key "$Ini" Notes VIEWEXP5 '<missing>'
    rm "$Ini"
    run_setup 1 ''
    ;;
*)
    fail "unknown case $Case"
    ;;
esac
echo "PASS: $Case"
