#!/bin/bash
# vorkap-setup.exe in message-box mode, on a virtual X display under Wine: the box captioned
# "Talvenor" must appear and hold the run until OK is pressed; then the help file is asked for
# (or not), and the run ends with the right status and notes.ini. A screenshot of each box is
# kept in STATE/runs/message-box/ for a person to look at (the Japanese text must be legible).
#
# The help file is not installed here, so the help viewer asks whether to look for it; that
# question is answered "No" (key N). Every wait is bounded.
# Usage: message-box.sh STATE
set -u
. "$(dirname "$0")/lib.sh"

load_state "$1"
for Tool in Xvfb xdotool xwd convert; do
    command -v "$Tool" >/dev/null || fail "$Tool is missing (run tests/wine/install-deps.sh as root)"
done

Dir="$STATE/runs/message-box"
rm -rf "$Dir" && mkdir -p "$Dir/notes" "$Dir/out"
cp "$BIN_DIR/vorkap-setup.exe" "$Dir/notes/"
Ini="$Dir/notes/notes.ini"

# A display of our own.
XvfbPid=
for Number in $(seq 91 150); do
    [ -e "/tmp/.X$Number-lock" ] || [ -e "/tmp/.X11-unix/X$Number" ] && continue
    Xvfb ":$Number" -nolisten tcp -screen 0 1024x768x24 >"$Dir/xvfb.log" 2>&1 &
    XvfbPid=$!
    export DISPLAY=":$Number"
    break
done
[ -n "$XvfbPid" ] || fail "no free display number"
ProgramPid=
finish() {
    [ -n "$ProgramPid" ] && kill "$ProgramPid" 2>/dev/null
    end_prefix_processes
    kill "$XvfbPid" 2>/dev/null
    wait 2>/dev/null
}
trap finish EXIT
for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill -0 "$XvfbPid" 2>/dev/null || fail "Xvfb did not start: $(cat "$Dir/xvfb.log")"
    sleep 0.2
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "display $DISPLAY not ready"
echo "display $DISPLAY"

# visible_windows: ids of the mapped windows that have a name.
visible_windows() {
    xdotool search --onlyvisible --name . 2>/dev/null
}

running() {
    kill -0 "$ProgramPid" 2>/dev/null
}

# run_with_box NAME EXPECTED_STATUS HELP_ASKED ARGS...: starts the program, waits for its box,
# takes the screenshot, presses OK, answers the help viewer's question, and checks the end.
# HELP_ASKED is 1 when the help file must be asked for after the box, 0 when it must not.
run_with_box() {
    local Name=$1 Expected=$2 HelpExpected=$3
    shift 3
    echo "run: vorkap-setup.exe $*"
    ( cd "$Dir/notes" &&
      exec env LC_ALL=$WINE_LOCALE WINEDEBUG=err+all timeout -k 5 150 "$WINE_LOADER" vorkap-setup.exe "$@" \
        >"$Dir/out/stdout" 2>"$Dir/out/stderr" </dev/null ) &
    ProgramPid=$!

    local Box= Deadline=$((SECONDS + 90))
    while [ -z "$Box" ] && [ $SECONDS -lt $Deadline ] && running; do
        sleep 0.5
        Box=$(xdotool search --onlyvisible --name '^Talvenor$' 2>/dev/null | head -1)
    done
    if [ -z "$Box" ]; then
        running || { wait "$ProgramPid"; echo "$Name: the program ended with status $?"; }
        tail -n 20 "$Dir/out/stderr" >&2
        fail "$Name: no message box captioned Talvenor appeared"
    fi

    # The box is modal: the program waits for it.
    sleep 1
    running || fail "$Name: the program ended while its box was still shown"
    xwd -root -silent | convert xwd:- "$Dir/$Name.png" || fail "$Name: screenshot failed"
    [ "$(convert "$Dir/$Name.png" -format '%k' info:)" -gt 4 ] ||
        fail "$Name: the screenshot shows no box"
    echo "screenshot: $Dir/$Name.png"

    xdotool key --window "$Box" Return 2>/dev/null

    # Anything else that shows up now is the help viewer's question about the missing file.
    local HelpAsked=0
    Deadline=$((SECONDS + 60))
    while running && [ $SECONDS -lt $Deadline ]; do
        for Window in $(visible_windows); do
            [ "$Window" = "$Box" ] && continue
            if [ "$HelpAsked" = 0 ]; then
                xwd -root -silent | convert xwd:- "$Dir/$Name-help.png"
            fi
            HelpAsked=1
            xdotool key --window "$Window" n 2>/dev/null
        done
        sleep 0.5
    done
    running && fail "$Name: the program did not end after its box was answered"
    wait "$ProgramPid"
    local Status=$?
    ProgramPid=
    end_prefix_processes

    [ "$Status" = "$Expected" ] || fail "$Name: ended with status $Status, expected $Expected"
    [ "$HelpAsked" = "$HelpExpected" ] ||
        fail "$Name: help file asked for: $HelpAsked, expected $HelpExpected"
    [ ! -s "$Dir/out/stdout" ] || fail "$Name: wrote to standard output in message-box mode"
}

printf '[Notes]\r\nVIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,\r\n[Vorkap]\r\nOutputXML=1\r\n' >"$Ini"
run_with_box registered 0 1
expect_key "$Ini" Notes VIEWEXP6 "$ENTRY"

run_with_box removed 0 0 /U
expect_key "$Ini" Notes VIEWEXP6 '<missing>'
expect_key "$Ini" Vorkap OutputXML '<missing>'

rm "$Ini"
run_with_box not-found 1 1 /u
[ ! -e "$Ini" ] || fail "not-found: a notes.ini was created"

echo "PASS: message boxes shown, answered, and each run ended as expected"
