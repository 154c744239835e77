# shellcheck shell=bash
# Helpers shared by the Wine test scripts. Sourced, not run.
#
# The state directory that prepare.sh fills holds vehicle.env: which Wine runs the programs
# (VEHICLE, WINE_LOADER), the directory of the Windows programs it runs (BIN_DIR) and the prefix
# (WINEPREFIX). Every program run is bounded by a timeout, its output goes to files (a help viewer
# that Wine starts keeps inherited pipes open for ever), and the prefix's leftover processes are
# ended after each run.

RUN_TIMEOUT=${RUN_TIMEOUT:-90}
# Programs run with code page 932 as the ANSI code page, as on a Japanese Windows (Wine takes it
# from the locale name; the locale need not be installed).
WINE_LOCALE=ja_JP.UTF-8

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

load_state() {
    STATE=$1
    [ -f "$STATE/vehicle.env" ] || fail "no $STATE/vehicle.env: win32.wine-prepare has not run"
    # shellcheck disable=SC1091
    . "$STATE/vehicle.env"
    export WINEPREFIX WINELOADER="$WINE_LOADER" WINEDEBUG=-all
    unset WAYLAND_DISPLAY
    echo "Wine vehicle: $VEHICLE ($WINE_LOADER), programs from $BIN_DIR"
}

# Ends every process still running in the prefix (a help viewer, a dialog left open).
# RUN_AS, when set, is the command prefix (an array) that runs as another user.
end_prefix_processes() {
    timeout -k 5 30 ${RUN_AS[@]+"${RUN_AS[@]}"} wineserver -k >/dev/null 2>&1 || true
    timeout -k 5 30 ${RUN_AS[@]+"${RUN_AS[@]}"} wineserver -w >/dev/null 2>&1 || true
}

# run_as_unprivileged: when run as the superuser (who may write to read-only files), makes the
# following runs those of the user nobody, in a prefix and home of that user's own under STATE;
# the caller makes the files the runs write that user's. Sets RUN_AS and USER_NAME (empty when
# nothing changed).
run_as_unprivileged() {
    USER_NAME=
    [ "$(id -u)" = 0 ] || return 0
    USER_NAME=nobody
    RUN_AS=(setpriv --reuid="$(id -u $USER_NAME)" --regid="$(id -g $USER_NAME)" --clear-groups)
    export WINEPREFIX="$STATE/prefix-$USER_NAME" HOME="$STATE/home-$USER_NAME"
    mkdir -p "$WINEPREFIX" "$HOME"
    chown "$USER_NAME:" "$WINEPREFIX" "$HOME"
    chmod 755 "$STATE" "$STATE/runs"
    echo "running as $USER_NAME in $WINEPREFIX"
}

# run_windows_program OUT_DIR PROGRAM ARGS...: runs PROGRAM in its own directory, standard output
# to OUT_DIR/stdout, standard error to OUT_DIR/stderr; sets STATUS. The prefix's other processes
# are ended after it unless OTHERS_KEPT is set (another program runs beside it on purpose).
run_windows_program() {
    local out=$1 program=$2
    shift 2
    STATUS=0
    ( cd "$(dirname "$program")" &&
      exec ${RUN_AS[@]+"${RUN_AS[@]}"} env LC_ALL=$WINE_LOCALE timeout -k 5 "$RUN_TIMEOUT" "$WINE_LOADER" "$(basename "$program")" "$@" \
        >"$out/stdout" 2>"$out/stderr" </dev/null ) || STATUS=$?
    [ -n "${OTHERS_KEPT:-}" ] || end_prefix_processes
    if [ "$STATUS" = 124 ] || [ "$STATUS" = 137 ]; then
        fail "$(basename "$program") $* did not end within $RUN_TIMEOUT s"
    fi
}

# ini_dump FILE: every key a read sees (the first section of a name, the first key of a name in
# it), one "section<TAB>key=value" a line, names in lower case, sorted.
ini_dump() {
    LC_ALL=C awk '
        function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
        { sub(/\r$/, "") }
        /^[ \t]*\[/ {
            name = $0; sub(/^[ \t]*\[/, "", name); sub(/\][^]]*$/, "", name)
            section = tolower(trim(name)); visible = !(section in sections); sections[section]; next
        }
        visible && index($0, "=") > 0 {
            key = tolower(trim(substr($0, 1, index($0, "=") - 1)))
            if (!((section, key) in seen)) print section "\t" key "=" trim(substr($0, index($0, "=") + 1))
            seen[section, key]
        }
    ' "$1" | LC_ALL=C sort
}

# ini_get FILE SECTION KEY: prints what the key reads back as, from ini_dump, or <missing>.
ini_get() {
    local section key
    section=$(printf '%s' "$2" | LC_ALL=C tr 'A-Z' 'a-z')
    key=$(printf '%s' "$3" | LC_ALL=C tr 'A-Z' 'a-z')
    ini_dump "$1" | LC_ALL=C awk -v wanted="$section"$'\t'"$key=" '
        !found && index($0, wanted) == 1 { print substr($0, length(wanted) + 1); found = 1 }
        END { if (!found) print "<missing>" }
    '
}

# expect_key FILE SECTION KEY VALUE
expect_key() {
    local actual
    actual=$(ini_get "$1" "$2" "$3")
    [ "$actual" = "$4" ] || fail "[$2] $3 reads back as '$actual', expected '$4'"
}

# expected_output TEXT: the bytes that the program writes for a message given in UTF-8: code page
# 932, each LF as CR LF, no line end added.
expected_output() {
    printf '%s' "$1" | iconv -f UTF-8 -t CP932 | perl -pe 's/\n/\r\n/'
}

# expect_stdout OUT_DIR TEXT
expect_stdout() {
    expected_output "$2" >"$1/expected-stdout"
    if ! cmp -s "$1/expected-stdout" "$1/stdout"; then
        echo "expected:" >&2; od -An -c "$1/expected-stdout" >&2
        echo "written:" >&2; od -An -c "$1/stdout" >&2
        fail "standard output differs"
    fi
}

# The message texts as the user must see them.
TEXT_NOT_FOUND='notes.iniファイルが見つかりません。
正しいNotesディレクトリでセットアップしてください。'
TEXT_REGISTERED='Talvenorをnotes.iniに登録しました。'
TEXT_REMOVED='notes.iniからTalvenorの登録を削除しました。
nVorkap(exe,dll,hlp)ファイルは別途削除してください。'
TEXT_WRITE_FAILED='notes.iniを更新できませんでした。
notes.iniへの書き込み権限を確認してください。'
TEXT_NO_SLOT='notes.iniのVIEWEXP5からVIEWEXP31までに空きがないため、Talvenorを登録できませんでした。
不要なエクスポート形式を削除してから、もう一度セットアップしてください。'

ENTRY='Export HTML Files,1,_Vorkap,,.Htm,,1,'

# Every slot from 5 to 31 taken by another export format.
full_slots() {
    local slot
    for slot in $(seq 5 31); do
        echo "VIEWEXP$slot=Format $slot,1,_Other$slot,,.F$slot,,1,"
    done
}
