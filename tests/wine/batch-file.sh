#!/usr/bin/env bash
# The deployment kit of deploy/, staged with CR LF line ends as the release archive ships it, run
# by cmd.exe under Wine from a package folder that holds the program, as a deployment tool runs
# it, against a Notes folder whose name holds blanks and parentheses, as "C:\Program Files
# (x86)\..." does. Each run must end with its exit code, write the program's message and its own
# lines, and append exactly one line to the log (VORKAP_LOG, in a folder it creates): time,
# action, folder, exit code (in full: Wine hands Linux only its low 8 bits), outcome and the
# program's message.
# - no folder, or a folder without notes.ini while a decoy notes.ini lies in the Windows folder,
#   on the program's search path: 1, nothing copied or run, the decoy untouched;
# - the host program running (a stand-in process named notes.exe): 1618, nothing written;
# - registration: the entry confirmed, notes.ini backed up once (a second run keeps the first
#   backup); removal confirmed; a program that ends with 0 and changes nothing: 2, not confirmed;
# - no free slot 3, a read-only notes.ini 2 (as an unprivileged user), no program 9009.
# Wine's tasklist is a stub that lists nothing, so the test puts the helper program in its place:
# run as tasklist.exe, it lists the processes Wine runs as tasklist does (tests/wine/helper.cpp).
# PowerShell does not run under Wine: detect.ps1 is checked for the variable and the entry text.
# Usage: batch-file.sh STATE SOURCE_DIR
set -euo pipefail
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../../tools/lib.sh"

load_state "$1"
source_dir=$2
dir="$STATE/runs/batch-file"
rm -rf "$dir" && mkdir -p "$dir/package" "$dir/host"
unset DISPLAY

# detect.ps1: the one path to edit on its first line of code, used by the one search, for exactly
# the entry's text, case-sensitive, "registered" written, exit 0 in every case.
ps1="$source_dir/deploy/detect.ps1"
[ "$(grep -v '^#' "$ps1" | grep -m1 .)" = "\$NotesIni = 'C:\\Notes\\notes.ini'" ] ||
    fail "detect.ps1 does not set \$NotesIni on its first line of code"
[ "$(grep -c 'NotesIni' "$ps1")" = 2 ] && [ "$(grep -c 'Select-String' "$ps1")" = 1 ] ||
    fail "detect.ps1 does not search \$NotesIni, once"
for fragment in "-LiteralPath \$NotesIni " " -SimpleMatch " " -CaseSensitive " \
    "-Pattern '$ENTRY')" "    'registered'" "exit 0"; do
    grep -qF -- "$fragment" "$ps1" || fail "detect.ps1 lacks: $fragment"
done

stage_kit "$source_dir" "$dir/package"
cp "$BIN_DIR/vorkap-setup.exe" "$dir/package/"
notes_dir="$dir/Notes (x86) dir"
notes_win="Z:${notes_dir//\//\\}"
ini="$notes_dir/notes.ini"
backup="$ini.talvenor-backup"
log="$dir/log dir/vorkap-setup.log"
export VORKAP_LOG="Z:${log//\//\\}"

# The helper as tasklist.exe in the system folder that the programs see, and the decoy, both
# taken away at the end.
system="$WINEPREFIX/drive_c/windows/system32"
[ "$VEHICLE" != i686 ] || [ ! -d "$WINEPREFIX/drive_c/windows/syswow64" ] ||
    system="$WINEPREFIX/drive_c/windows/syswow64"
decoy="$WINEPREFIX/drive_c/windows/notes.ini"
cp "$system/tasklist.exe" "$dir/tasklist.exe.wine"
trap 'cp "$dir/tasklist.exe.wine" "$system/tasklist.exe"; rm -f "$decoy"' EXIT
cp "$BIN_DIR/wine_helper.exe" "$system/tasklist.exe"

# run_kit SCRIPT ARGUMENT STATUS OUTCOME TEXT LINE...: runs SCRIPT "ARGUMENT" (none when
# ARGUMENT is empty). It must end with STATUS, write its first line (for a folder given), the
# backup's line when it made the backup, the program's message TEXT and a line end when TEXT is
# given, then its LINEs; and append to the log one line that ends with "exit STATUS | OUTCOME",
# then " | " and TEXT's lines joined by blanks when TEXT is given.
run_kit() {
    local script=$1 folder=$2 expected=$3 outcome=$4 text=$5 backed_up=yes
    shift 5
    local out="$dir/out-$script-$expected" lines_before=0 arguments=()
    mkdir -p "$out"
    [ -z "$folder" ] || arguments=("$folder")
    [ -e "$backup" ] || backed_up=no
    [ ! -f "$log" ] || lines_before=$(wc -l <"$log")
    echo "run: cmd /c $script ${folder:+\"$folder\"} ($outcome)"
    run_windows_program "$out" "$dir/package/cmd" /c "$script" ${arguments[@]+"${arguments[@]}"} || true
    { [ -z "$folder" ] || printf 'Talvenor %s in "%s"\r\n' "${script%.cmd}" "$folder"
      [ "$backed_up" = yes ] || [ ! -e "$backup" ] ||
          printf 'Saved notes.ini as notes.ini.talvenor-backup.\r\n'
      [ -z "$text" ] || { expected_output "$text"; printf '\r\n'; }
      printf '%s\r\n' "$@"; } >"$out/expected-stdout"
    if ! cmp -s "$out/expected-stdout" "$out/stdout"; then
        echo "expected:" >&2; od -An -c "$out/expected-stdout" >&2
        echo "written:" >&2; od -An -c "$out/stdout" >&2
        fail "$script $folder: the output differs"
    fi
    [ "$STATUS" = $((expected % 256)) ] || fail "$script ended with $STATUS, expected $expected"
    [ "$(wc -l <"$log")" = $((lines_before + 1)) ] || fail "$script did not append one line to the log"
    local entry
    entry=$(tail -n 1 "$log")
    [ "${entry: -1}" = $'\r' ] || fail "the log's line does not end with CR LF"
    entry=${entry%$'\r'}
    local head="${script%.cmd} | $folder | exit $expected | $outcome"
    [[ $entry == [0-9]*" | $head"* ]] || fail "the log's line is '$entry', expected '<time> | $head...'"
    local message=${entry#*" | $head"}
    # Wine's cmd reads a file in FOR /F in another code page than it writes in (Windows' cmd uses
    # the console's code page both ways), so of the message only its ASCII start is compared.
    local ascii
    ascii=$(printf '%s' "${text//$'\n'/ }" | LC_ALL=C sed 's/[^ -~].*//; s/ *$//')
    if [ -z "$text" ]; then
        [ -z "$message" ] || fail "the log's line holds a message: '$message'"
    elif [[ $message != " | $ascii"* ]]; then
        fail "the log's line ends with '$message', expected ' | $ascii...'"
    fi
}

mkdir -p "$notes_dir"
original="$dir/original.ini"
printf '%s\r\n' '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' >"$original"
usage_lines=('FAILED 1: no notes.ini in the folder given. Nothing was run.'
             '          Give the folder that holds notes.ini: install.cmd "C:\Notes"')

# No folder given; the log's folder is made.
run_kit install.cmd "" 1 'refused: no notes.ini' '' "${usage_lines[@]}"

# A folder without notes.ini while the program itself would find the decoy and edit it.
cp "$original" "$decoy"
cp "$BIN_DIR/vorkap-setup.exe" "$notes_dir/"
mkdir -p "$dir/out-decoy"
run_windows_program "$dir/out-decoy" "$notes_dir/vorkap-setup.exe" /I
expect_key "$decoy" Notes VIEWEXP6 "$ENTRY"
cp "$original" "$decoy"
rm "$notes_dir/vorkap-setup.exe"
run_kit install.cmd "$notes_win" 1 'refused: no notes.ini' '' "${usage_lines[@]}"
cmp -s "$original" "$decoy" || fail "the decoy notes.ini was changed"
[ -z "$(ls -A "$notes_dir")" ] || fail "files were put in the folder without notes.ini: $(ls -A "$notes_dir")"
rm "$decoy"

# The host program running: nothing written, not even the backup or the program.
cp "$original" "$ini"
cp "$BIN_DIR/wine_helper.exe" "$dir/host/notes.exe"
: >"$dir/host/lock"
( cd "$dir/host" && exec env LC_ALL="$WINE_LOCALE" timeout -k 5 120 "$WINE_LOADER" notes.exe hold lock 100 \
    >"$dir/host/stdout" 2>"$dir/host/stderr" </dev/null ) &
for _ in $(seq 300); do grep -q held "$dir/host/stdout" 2>/dev/null && break; sleep 0.1; done
grep -q held "$dir/host/stdout" || fail "the stand-in notes.exe did not start"
OTHERS_KEPT=1 run_kit install.cmd "$notes_win" 1618 'refused: notes.exe is running' '' \
    'FAILED 1618: notes.exe is running. Nothing was written.' \
    '             Close it; deployment tools retry this code.'
touch "$dir/host/lock.release"
wait
end_prefix_processes
cmp -s "$original" "$ini" && [ "$(ls -A "$notes_dir")" = notes.ini ] ||
    fail "files were written while notes.exe ran: $(ls -A "$notes_dir")"

# A registration, the backup made; again, the first backup kept; the removal.
run_kit install.cmd "$notes_win" 0 "registered: VIEWEXP6=$ENTRY" "$TEXT_REGISTERED" \
    'OK: Talvenor is registered in notes.ini.'
expect_key "$ini" Notes VIEWEXP6 "$ENTRY"
cmp -s "$original" "$backup" || fail "the backup is not notes.ini as it was"
cmp -s "$dir/package/vorkap-setup.exe" "$notes_dir/vorkap-setup.exe" ||
    fail "install.cmd did not copy vorkap-setup.exe into the Notes folder"
run_kit install.cmd "$notes_win" 0 "registered: VIEWEXP6=$ENTRY" "$TEXT_REGISTERED" \
    'OK: Talvenor is registered in notes.ini.'
cmp -s "$original" "$backup" || fail "a second run replaced the first backup"
run_kit uninstall.cmd "$notes_win" 0 removed "$TEXT_REMOVED" \
    "OK: Talvenor's entry is removed from notes.ini."
expect_key "$ini" Notes VIEWEXP6 '<missing>'
cmp -s "$original" "$backup" || fail "the removal replaced the first backup"

# A program that ends with 0 and changes nothing: neither change is confirmed.
cp "$BIN_DIR/wine_probe.exe" "$dir/package/vorkap-setup.exe"
run_kit install.cmd "$notes_win" 2 'not confirmed' 'probe ran
' 'FAILED 2: the program ended with 0, but notes.ini does not hold the entry.'
printf '[Notes]\r\nVIEWEXP6=%s\r\n' "$ENTRY" >"$ini"
run_kit uninstall.cmd "$notes_win" 2 'not confirmed' 'probe ran
' 'FAILED 2: the program ended with 0, but notes.ini still holds the entry.'
cp "$BIN_DIR/vorkap-setup.exe" "$dir/package/"

# All slots taken: 3, nothing written.
{ echo '[Notes]'; full_slots; } | sed 's/$/\r/' >"$ini"
cp "$ini" "$dir/before.ini"
run_kit install.cmd "$notes_win" 3 'no free slot' "$TEXT_NO_SLOT" \
    'FAILED 3: VIEWEXP5 to VIEWEXP31 are all in use. Nothing was written.' \
    '          Remove an export format that is not needed and run again.'
cmp -s "$dir/before.ini" "$ini" || fail "no free slot: notes.ini was changed"

# A read-only notes.ini: 2, nothing written. The superuser may write to read-only files, so this
# run is made as an unprivileged user, in a prefix of its own.
run_as_unprivileged
chmod 755 "$dir"
# The folders are the user's own, so only the file's mode can refuse the write.
[ -z "$USER_NAME" ] || chown -R "$USER_NAME:" "$notes_dir" "$dir/package" "$(dirname "$log")"
cp "$original" "$ini"
chmod 444 "$ini"
cp "$ini" "$dir/before.ini"
RUN_TIMEOUT=180 run_kit install.cmd "$notes_win" 2 'not updated' "$TEXT_WRITE_FAILED" \
    'FAILED 2: notes.ini could not be updated.' \
    '          Check write permission on notes.ini, close Notes, run again.'
cmp -s "$dir/before.ini" "$ini" || fail "not updated: notes.ini was changed"

# No program beside the script: 9009, nothing run.
rm "$dir/package/vorkap-setup.exe"
run_kit uninstall.cmd "$notes_win" 9009 'program missing' '' \
    'FAILED 9009: vorkap-setup.exe was not found beside uninstall.cmd.'

echo "PASS: install.cmd and uninstall.cmd, with CR LF line ends, refuse a folder without notes.ini"
echo "      (the decoy untouched) and a running notes.exe (1618), back up notes.ini once, confirm"
echo "      each change, pass on the program's codes and log one line a run; detect.ps1 looks for"
echo "      the entry in \$NotesIni"
