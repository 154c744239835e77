#!/usr/bin/env bash
# The deployment batch file of README.ja.md, taken from the guide itself so that the documented
# file is the tested one, run by cmd.exe under Wine against scratch Notes directories: a
# registration, a missing notes.ini, all slots taken, a read-only notes.ini and no program. The
# program's status must reach the batch file through %ERRORLEVEL%: it must take the branch of
# each status, write exactly the program's message and its own lines, and end with the same
# status. The program lies beside the batch file, as in a deployment tool's package, and the
# batch file copies it into the Notes directory. The Notes directory's name holds blanks and
# parentheses, as "C:\Program Files (x86)\..." does, and cmd.exe runs elsewhere.
# The guide's detection command, also taken from the guide, must report "not registered" (status
# 1) before the registration, "registered" (status 0, the entry's line) after it, and "not
# registered" again after the removal and without notes.ini; the guide's PowerShell detection
# script must look for the same text.
# Usage: batch-file.sh STATE GUIDE
set -euo pipefail
. "$(dirname "$0")/lib.sh"

load_state "$1"
guide=$2
dir="$STATE/runs/batch-file"
rm -rf "$dir" && mkdir -p "$dir"
unset DISPLAY

# The one ```bat block of the guide, with CR LF line ends as Notepad saves it.
blocks=$(grep -c '^```bat$' "$guide" || true)
[ "$blocks" = 1 ] || fail "README.ja.md has $blocks \`\`\`bat blocks, expected 1"
awk '/^```bat$/ { inside = 1; next } inside && /^```$/ { exit } inside { printf "%s\r\n", $0 }' \
    "$guide" >"$dir/deploy-talvenor.bat"
grep -q 'vorkap-setup.exe" /I' "$dir/deploy-talvenor.bat" || fail "the batch file does not run the program with /I"

notes_dir="$dir/Notes (x86) dir"
notes_win="Z:${notes_dir//\//\\}"
ini="$notes_dir/notes.ini"

# The guide's one detection command, written for C:\Notes, pointed at the scratch directory.
detection=$(grep '^C:\\> find "' "$guide" || true)
[ "$(printf '%s' "$detection" | grep -c .)" = 1 ] ||
    fail "README.ja.md has not exactly one line of the detection command: $detection"
detection=${detection#'C:\> '}
entry_text=$(printf '%s' "$detection" | sed -n 's/^find "\([^"]*\)" .*/\1/p')
[ "$entry_text" = "$ENTRY" ] || fail "the detection command looks for '$entry_text', not the entry"
pattern=$(sed -n "s/^ *-Pattern '\(.*\)') {\$/\1/p" "$guide")
[ "$pattern" = "$ENTRY" ] ||
    fail "the PowerShell detection script looks for '$pattern', not the entry"
printf '@echo off\r\n%s\r\nexit /b %%ERRORLEVEL%%\r\n' \
    "${detection//'"C:\Notes\notes.ini"'/\"$notes_win\\notes.ini\"}" >"$dir/detect.bat"
grep -qF "$notes_win" "$dir/detect.bat" ||
    fail "the detection command does not name C:\\Notes\\notes.ini"

# detect EXPECTED: runs the detection command; "registered" is status 0 with the entry's line
# written, "not registered" any other status without it.
detect() {
    local out="$dir/out-detect" found=no
    mkdir -p "$out"
    run_windows_program "$out" "$dir/cmd" /c detect.bat
    if tr -d '\r' <"$out/stdout" | grep -qxF "VIEWEXP6=$ENTRY"; then found=yes; fi
    case $1,$STATUS,$found in
        registered,0,yes | not-registered,[1-9]*,no) echo "detection: ${1/-/ } (status $STATUS)" ;;
        *) fail "detection: expected $1, got status $STATUS, entry line written: $found" ;;
    esac
}

# run_batch CASE STATUS BRANCH_LINE...: runs the batch file on the Notes directory; it must end
# with STATUS and write its first line, the program's message for the case, a line end, then the
# branch's lines.
run_batch() {
    local case_name=$1 expected=$2 text
    shift 2
    case $case_name in
        register) text=$TEXT_REGISTERED ;;
        not-found) text=$TEXT_NOT_FOUND ;;
        no-slot) text=$TEXT_NO_SLOT ;;
        not-written) text=$TEXT_WRITE_FAILED ;;
        *) text= ;;
    esac
    local out="$dir/out-$case_name"
    mkdir -p "$out"
    echo "run: cmd /c deploy-talvenor.bat \"$notes_win\" ($case_name)"
    # cmd.exe runs in the batch file's folder, found as cmd.exe of the prefix's system directory.
    run_windows_program "$out" "$dir/cmd" /c deploy-talvenor.bat "$notes_win" || true
    { printf 'Talvenor setup in "%s"\r\n' "$notes_win"
      expected_output "$text"
      printf '\r\n'
      printf '%s\r\n' "$@"; } >"$out/expected-stdout"
    if ! cmp -s "$out/expected-stdout" "$out/stdout"; then
        echo "expected:" >&2; od -An -c "$out/expected-stdout" >&2
        echo "written:" >&2; od -An -c "$out/stdout" >&2
        fail "$case_name: the batch file's output differs"
    fi
    [ "$STATUS" = "$expected" ] || fail "$case_name: the batch file ended with $STATUS, expected $expected"
}

mkdir -p "$notes_dir"
cp "$BIN_DIR/vorkap-setup.exe" "$dir/"

# A registration: status 0, the entry in the lowest free slot, the program copied beside it.
printf '%s\r\n' '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' >"$ini"
detect not-registered
run_batch register 0 'OK: Talvenor is registered in notes.ini.'
expect_key "$ini" Notes VIEWEXP6 "$ENTRY"
cmp -s "$dir/vorkap-setup.exe" "$notes_dir/vorkap-setup.exe" ||
    fail "the batch file did not copy vorkap-setup.exe into the Notes directory"
detect registered

# The guide's removal, with the program the batch file copied.
mkdir -p "$dir/out-remove"
run_windows_program "$dir/out-remove" "$notes_dir/vorkap-setup.exe" /U /I
[ "$STATUS" = 0 ] || fail "vorkap-setup.exe /U /I ended with $STATUS"
expect_stdout "$dir/out-remove" "$TEXT_REMOVED"
detect not-registered

# No notes.ini: status 1.
rm "$ini"
detect not-registered
run_batch not-found 1 'FAILED 1: notes.ini was not found. Nothing was written.' \
    '          Put vorkap-setup.exe beside notes.ini and run again.'
[ ! -e "$ini" ] || fail "a notes.ini was created"

# All slots taken: status 3, nothing written.
{ echo '[Notes]'; full_slots; } | sed 's/$/\r/' >"$ini"
cp "$ini" "$dir/before.ini"
run_batch no-slot 3 'FAILED 3: VIEWEXP5 to VIEWEXP31 are all in use. Nothing was written.' \
    '          Remove an export format that is not needed and run again.'
cmp -s "$dir/before.ini" "$ini" || fail "no-slot: notes.ini was changed"

# A read-only notes.ini: status 2, nothing written. The superuser may write to read-only files,
# so this run is made as an unprivileged user, in a prefix of its own.
run_as_unprivileged
chmod 755 "$dir"
# The folder is the user's own, so only the file's mode can refuse the write.
[ -z "$USER_NAME" ] || chown "$USER_NAME:" "$notes_dir" "$notes_dir/vorkap-setup.exe"
printf '%s\r\n' '[Notes]' 'VIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,' >"$ini"
chmod 444 "$ini"
cp "$ini" "$dir/before.ini"
RUN_TIMEOUT=180 run_batch not-written 2 'FAILED 2: notes.ini could not be updated.' \
    '          Check write permission on notes.ini, close Notes, run again.'
cmp -s "$dir/before.ini" "$ini" || fail "not-written: notes.ini was changed"

# No program in the directory: cmd.exe's status 9009 takes the catch-all branch and is passed on
# (Wine hands Linux only its low 8 bits, 49).
rm "$notes_dir/vorkap-setup.exe" "$dir/vorkap-setup.exe"
run_batch no-program $((9009 % 256)) 'FAILED: vorkap-setup.exe did not run as expected, status 9009.' \
    '        9009 means that vorkap-setup.exe is not in that directory.'

echo "PASS: the guide's batch file copies the program, sees statuses 0, 1, 2 and 3 and takes the"
echo "      branch of each, and the catch-all branch when the program is missing; the guide's"
echo "      detection command tells a registration from none"
