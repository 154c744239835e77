#!/usr/bin/env bash
# vorkap-setup.exe in message-box mode, on a virtual X display under Wine: the box captioned
# "Talvenor" must appear and hold the run until OK is pressed; then the help file is asked for
# (or not), and the run ends with the right status and notes.ini. A screenshot of each box is
# kept in STATE/runs/message-box/ for a person to look at (the Japanese text must be legible).
#
# One registration runs under code page 1252 (an English system): the box's caption and text are
# read back from the window (helper.cpp box) and must be the Japanese text, not its code page 932
# bytes read as code page 1252.
#
# The help file is not installed here, so the help viewer asks whether to look for it; that
# question is answered "No" (key N). Every wait is bounded.
# Usage: message-box.sh STATE
set -euo pipefail
. "$(dirname "$0")/lib.sh"

load_state "$1"
for tool in Xvfb xdotool xwd convert; do
    command -v "$tool" >/dev/null || fail "$tool is missing (run tools/install-deps.sh all as root)"
done

dir="$STATE/runs/message-box"
rm -rf "$dir" && mkdir -p "$dir/notes" "$dir/out"
cp "$BIN_DIR/vorkap-setup.exe" "$dir/notes/"
ini="$dir/notes/notes.ini"

# A display of our own.
xvfb_pid=
for number in $(seq 91 150); do
    [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] && continue
    Xvfb ":$number" -nolisten tcp -screen 0 1024x768x24 >"$dir/xvfb.log" 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$number"
    break
done
[ -n "$xvfb_pid" ] || fail "no free display number"
program_pid=
finish() {
    if [ -n "$program_pid" ]; then kill "$program_pid" 2>/dev/null || true; fi
    end_prefix_processes
    kill "$xvfb_pid" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap finish EXIT
for _ in $(seq 50); do
    xdotool getdisplaygeometry >/dev/null 2>&1 && break
    kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$dir/xvfb.log")"
    sleep 0.2
done
xdotool getdisplaygeometry >/dev/null 2>&1 || fail "display $DISPLAY not ready"
echo "display $DISPLAY"

# visible_windows: ids of the mapped windows that have a name.
visible_windows() {
    xdotool search --onlyvisible --name . 2>/dev/null
}

running() {
    kill -0 "$program_pid" 2>/dev/null
}

# run_with_box NAME EXPECTED_STATUS HELP_ASKED ARGS...: starts the program, waits for its box,
# takes the screenshot, presses OK, answers the help viewer's question, and checks the end.
# HELP_ASKED is 1 when the help file must be asked for after the box, 0 when it must not. With
# BOX_LOCALE set, the program runs under that locale instead of the Japanese one; with BOX_TEXT
# set, the box's text read back from its window must be that text.
run_with_box() {
    local name=$1 expected=$2 help_expected=$3 locale=${BOX_LOCALE:-$WINE_LOCALE}
    shift 3
    echo "run: LC_ALL=$locale vorkap-setup.exe $*"
    ( cd "$dir/notes" &&
      exec env LC_ALL="$locale" WINEDEBUG=err+all timeout -k 5 150 "$WINE_LOADER" vorkap-setup.exe "$@" \
        >"$dir/out/stdout" 2>"$dir/out/stderr" </dev/null ) &
    program_pid=$!

    local box= deadline=$((SECONDS + 90))
    while [ -z "$box" ] && [ $SECONDS -lt $deadline ] && running; do
        sleep 0.5
        box=$(xdotool search --onlyvisible --name '^Talvenor$' 2>/dev/null | head -1) || true
    done
    if [ -z "$box" ]; then
        if ! running; then
            local ended=0
            wait "$program_pid" || ended=$?
            echo "$name: the program ended with status $ended"
        fi
        tail -n 20 "$dir/out/stderr" >&2
        fail "$name: no message box captioned Talvenor appeared"
    fi

    # The box is modal: the program waits for it.
    sleep 1
    running || fail "$name: the program ended while its box was still shown"
    xwd -root -silent | convert xwd:- "$dir/$name.png" || fail "$name: screenshot failed"
    [ "$(convert "$dir/$name.png" -format '%k' info:)" -gt 4 ] ||
        fail "$name: the screenshot shows no box"
    echo "screenshot: $dir/$name.png"
    if [ -n "${BOX_TEXT:-}" ]; then
        env LC_ALL="$locale" timeout -k 5 60 "$WINE_LOADER" "$BIN_DIR/wine_helper.exe" box Talvenor \
            </dev/null 2>/dev/null | tr -d '\r' >"$dir/$name.text" || fail "$name: the box was not read"
        sed 's/^/  read back: /' "$dir/$name.text"
        [ "$(cat "$dir/$name.text")" = "$BOX_TEXT" ] || fail "$name: the box does not read as expected"
    fi

    xdotool key --window "$box" Return 2>/dev/null || true

    # Anything else that shows up now is the help viewer's question about the missing file.
    local help_asked=0
    deadline=$((SECONDS + 60))
    while running && [ $SECONDS -lt $deadline ]; do
        for window in $(visible_windows); do
            [ "$window" = "$box" ] && continue
            if [ "$help_asked" = 0 ]; then
                xwd -root -silent | convert xwd:- "$dir/$name-help.png" || true
            fi
            help_asked=1
            xdotool key --window "$window" n 2>/dev/null || true
        done
        sleep 0.5
    done
    running && fail "$name: the program did not end after its box was answered"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=
    end_prefix_processes

    [ "$status" = "$expected" ] || fail "$name: ended with status $status, expected $expected"
    [ "$help_asked" = "$help_expected" ] ||
        fail "$name: help file asked for: $help_asked, expected $help_expected"
    [ ! -s "$dir/out/stdout" ] || fail "$name: wrote to standard output in message-box mode"
}

printf '[Notes]\r\nVIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,\r\n[Vorkap]\r\nOutputXML=1\r\n' >"$ini"
run_with_box registered 0 1
expect_key "$ini" Notes VIEWEXP6 "$ENTRY"

run_with_box removed 0 0 /U
expect_key "$ini" Notes VIEWEXP6 '<missing>'
expect_key "$ini" Vorkap OutputXML '<missing>'

# Code page 1252 (Wine takes it from the locale name): the box converts from code page 932.
BOX_LOCALE=en_US.UTF-8 BOX_TEXT="code page 1252
caption: Talvenor
text: $TEXT_REGISTERED" run_with_box registered-cp1252 0 1
expect_key "$ini" Notes VIEWEXP6 "$ENTRY"

rm "$ini"
run_with_box not-found 1 1 /u
[ ! -e "$ini" ] || fail "not-found: a notes.ini was created"

echo "PASS: message boxes shown, answered, and each run ended as expected"
