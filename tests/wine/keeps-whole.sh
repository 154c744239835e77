#!/usr/bin/env bash
# notes.ini stays whole under vorkap-setup.exe, whatever Wine's profile write does underneath (it
# empties the file, writes it whole and ignores the write's errors): a full disk, another program
# holding the file with or without sharing, a virus scanner opening every file of the folder, a
# kill at a random moment, attributes, folders whose Japanese names hold the byte of '\', a path
# of 250 characters, symbolic links (into a folder named outside the code page, to a long path)
# and a read-only file that already says it. Each case prints its name; every run ends with
# status 0 and every line read as before but the program's own, or with status 2, message 4 and
# notes.ini byte-identical.
# Each case whose runs are repeatable runs first with the same sources built over the platform's
# own write (vorkap-setup-direct.exe): the program is never worse than the platform, so wherever
# a run of that build ends with status 0 and the file whole, the program's run must too. What the
# platform's runs did is printed beside the program's.
# Usage: keeps-whole.sh STATE [CASE...]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

load_state "$1"
shift
unset DISPLAY
root="$(realpath "$STATE")/runs/keeps-whole"
rm -rf "$root" && mkdir -p "$root"
helper="$BIN_DIR/wine_helper.exe"
# The program that the cases copy into their folders: vorkap-setup.exe, or the build over the
# platform's own write while the platform runs a case.
program="$BIN_DIR/vorkap-setup.exe"
# Where expect_whole writes what each run did: "STATUS ok", or "STATUS damaged: WHY".
outcomes=/dev/null

# new_notes DIR KIND SIZE [ENDING]: DIR/notes.ini of SIZE bytes, CR LF lines as the host writes
# them, with another format in VIEWEXP5 and the plug-in's two settings; KIND ascii or cp932.
# ENDING, when given, is what the file ends in, past what a read of the first section of each
# name sees: "section" (a second [Notes]) or "comments" (lines without '=').
new_notes() {
    local dir=$1 kind=$2 size=$3 ending=${4:-} tail=
    case $ending in
    section) tail=$'[Notes]\r\nLastOne=1\r\nLastTwo=2\r\nLastThree=3\r\n' ;;
    comments) tail=$'; last comment one\r\n; last comment two\r\n; last comment three\r\n' ;;
    esac
    mkdir -p "$dir"
    {
        printf '[Notes]\r\nVIEWEXP5=Other Format,1,_Other,,.Txt,,1,\r\n'
        local n=0
        while [ $((n * 40)) -lt $((size - 200)) ]; do
            if [ "$kind" = cp932 ]; then
                printf '表示%05d=ソ能の値 %05d\\ソ\r\n' $n $n
            else
                printf 'Setting%05d=value of setting %05d\r\n' $n $n
            fi
            n=$((n + 1))
            [ $((n % 200)) = 0 ] && printf '[Section%d]\r\n' $n
        done
        printf '[Vorkap]\r\nOutputDocument=C:\\out\r\nOutputXML=1\r\n'
    } | if [ "$kind" = cp932 ]; then iconv -f UTF-8 -t CP932; else cat; fi >"$dir/notes.ini"
    local pad=$((size - $(stat -c %s "$dir/notes.ini") - 10 - ${#tail}))
    printf 'Padding=%*s\r\n' "$pad" x | tr ' ' . >>"$dir/notes.ini"
    printf '%s' "$tail" >>"$dir/notes.ini"
    cp "$program" "$dir/vorkap-setup.exe"
}

# temporaries DIR: how many temporary files DIR holds: the program's copies, under their names
# of today and of before, and the files that Wine's ReplaceFileA moves a file aside to.
temporaries() {
    local file count=0
    for file in "$1"/.vk*.tmp "$1"/.notes.ini.vorkap-* "$1"/rf*.tmp; do
        [ -e "$file" ] && count=$((count + 1))
    done
    echo "$count"
}

# run_case DIR OPTIONS...: runs the program in DIR, keeps notes.ini's bytes before it, its dump
# and the output in KEEP (DIR.keep unless set: the directory may be on a full disk); sets STATUS.
run_case() {
    local dir=$1
    shift
    keep=${KEEP:-$dir.keep}
    mkdir -p "$keep/out"
    cp -p "$dir/notes.ini" "$keep/before.ini"
    ini_dump "$dir/notes.ini" >"$keep/before.keys"
    run_windows_program "$keep/out" "$dir/vorkap-setup.exe" "$@"
}

# expect_whole DIR STATUS_IF_DONE CHANGED_KEYS: the run ended with STATUS_IF_DONE and the message
# of a done run, the keys differing from before only by CHANGED_KEYS (the lines of a dump that
# appear or go, as a diff of dumps shows them: "+notes<TAB>viewexp6=..."), and no temporary file
# is left (unless TEMPORARIES_LATER is set: the caller counts them); or it ended with status 2,
# message 4 and notes.ini byte-identical.
expect_whole() {
    local dir=$1 text=$2 changed=$3 damage=
    case $STATUS in
    0)
        expect_stdout "$keep/out" "$text"
        diff "$keep/before.keys" <(ini_dump "$dir/notes.ini") | sed -n 's/^\([<>]\) /\1/p' \
            >"$keep/changed" || true
        # The whole file, in order: repeated sections and lines without '=' too.
        diff <(line_dump "$keep/before.ini") <(line_dump "$dir/notes.ini") |
            grep '^[<>]' | grep -v -i -E '^[<>] (viewexp6|outputdocument|outputxml)=' \
            >"$keep/lines" || true
        if ! printf '%s\n' "$changed" | grep -v '^$' | cmp -s - "$keep/changed"; then
            damage="keys other than the program's changed" && cat "$keep/changed" >&2
        elif [ -s "$keep/lines" ]; then
            damage="lines other than the program's changed" && cat "$keep/lines" >&2
        fi ;;
    2)
        expect_stdout "$keep/out" "$TEXT_WRITE_FAILED"
        cmp -s "$keep/before.ini" "$dir/notes.ini" || damage="status 2, but notes.ini was changed" ;;
    *) damage="status $STATUS" ;;
    esac
    echo "$STATUS ${damage:+damaged: }${damage:-ok}" >>"$outcomes"
    [ -z "$damage" ] || fail "$damage"
    case $STATUS in
    0) echo "  status 0, every other line as before" ;;
    2) echo "  status 2, message 4, notes.ini byte-identical" ;;
    esac
    [ -n "${TEMPORARIES_LATER:-}" ] || [ "$(temporaries "$dir")" = 0 ] ||
        fail "a temporary file was left"
}

# line_dump FILE: the non-blank lines of FILE as a read sees them, in order: line ends and blanks
# at the ends and around the first '=' taken off (what the platform's rewrite may change).
line_dump() {
    LC_ALL=C sed -e 's/\r$//' -e 's/^[ \t]*//' -e 's/[ \t]*$//' -e 's/[ \t]*=[ \t]*/=/' \
        -e '/^$/d' "$1"
}

registered=$'>notes\tviewexp6='"$ENTRY"
settings_removed=$'<vorkap\toutputdocument=C:\\out\n<vorkap\toutputxml=1'

# register_and_remove DIR: a registration, then a removal, each ending with status 0 and only the
# program's own keys changed.
register_and_remove() {
    run_case "$1" /I
    [ "$STATUS" = 0 ] || fail "registration: status $STATUS"
    expect_whole "$1" "$TEXT_REGISTERED" "$registered"
    run_case "$1" /U /I
    [ "$STATUS" = 0 ] || fail "removal: status $STATUS"
    expect_whole "$1" "$TEXT_REMOVED" $'<notes\tviewexp6='"$ENTRY"$'\n'"$settings_removed"
}

# full_disk NAME KIND OPTIONS EXPECTED_STATUS ROOM [ENDING [TEMPORARY]]: a notes.ini of 32,760
# bytes (ending in ENDING: new_notes; "-" for none) on a full tmpfs with ROOM bytes free: 0, "old"
# (the pages notes.ini takes: the copy fits, and Wine's rewrite of it, which must grow past its
# last page, is cut; the platform's own write of notes.ini, which empties it first, has room, and
# so has the program's write in place once the copy is gone) or "new" (a page more). With TEMPORARY "on-disk", the user's temporary folder
# is on the same full disk, so that no copy can be staged anywhere. Needs root.
full_disk() {
    local name=$1 kind=$2 options=$3 expected=$4 room=$5 ending=${6:--} temporary=${7:-}
    if [ "$(id -u)" != 0 ]; then echo "  skipped: mounting a tmpfs needs root"; return; fi
    [ "$ending" != - ] || ending=
    local dir="$root/$name" disk="$root/$name-disk"
    local user_temp
    user_temp="$WINEPREFIX/drive_c/users/$(id -un)/Temp"
    mkdir -p "$disk"
    local exe_kb=$(( $(stat -c %s "$BIN_DIR/vorkap-setup.exe") / 1024 + 1 ))
    mount -t tmpfs -o size=$((exe_kb + 512))k tmpfs "$disk"
    # shellcheck disable=SC2064
    trap "umount -l '$disk' 2>/dev/null || true" EXIT
    if [ "$temporary" = on-disk ]; then
        # The prefix's temporary folder becomes a link to a folder on the disk; put back after.
        mkdir -p "$disk/temp" "$user_temp"
        mv "$user_temp" "$user_temp.kept" && ln -s "$disk/temp" "$user_temp"
        # shellcheck disable=SC2064
        trap "rm -f '$user_temp' && mv '$user_temp.kept' '$user_temp'; umount -l '$disk' 2>/dev/null || true" EXIT
    fi
    new_notes "$disk/notes" "$kind" 32760 "$ending"
    local pages=$(( $(stat -c %b "$disk/notes/notes.ini") * 512 ))
    case $room in old) room=$pages ;; new) room=$((pages + 4096)) ;; esac
    [ "$room" -gt 0 ] && head -c "$room" /dev/zero >"$disk/room"
    dd if=/dev/zero of="$disk/filler" bs=4096 2>/dev/null || true
    rm -f "$disk/room"
    echo "  notes.ini $(stat -c %s "$disk/notes/notes.ini") bytes, $(df --output=avail -B1 "$disk" | tail -1) bytes free${temporary:+, the temporary folder on the disk}"
    # shellcheck disable=SC2086
    KEEP=$dir run_case "$disk/notes" $options
    [ "$STATUS" = "$expected" ] || fail "status $STATUS, expected $expected"
    if [ "$options" = /I ]; then
        expect_whole "$disk/notes" "$TEXT_REGISTERED" "$registered"
    else
        expect_whole "$disk/notes" "$TEXT_REMOVED" "$settings_removed"
    fi
    [ -z "$temporary" ] || [ "$(temporaries "$disk/temp")" = 0 ] ||
        fail "a temporary file was left in the temporary folder"
    cp "$disk/notes/notes.ini" "$dir/after.ini"  # kept for a look afterwards
    if [ "$temporary" = on-disk ]; then rm -f "$user_temp" && mv "$user_temp.kept" "$user_temp"; fi
    umount "$disk" && trap - EXIT
}

# start_holder DIR [MODE]: the helper program holds DIR/notes.ini open in the background (its
# process id in HOLDER) until DIR/notes.ini.release appears: without sharing (MODE hold, the
# default), sharing reading and writing (share) or as the C runtime's fopen does (crt).
start_holder() {
    mkdir -p "$1.helper"
    rm -f "$1/notes.ini.release" "$1.helper/stdout"
    ( cd "$1" && exec env LC_ALL="$WINE_LOCALE" timeout -k 5 120 "$WINE_LOADER" "$helper" \
        "${2:-hold}" notes.ini 100 \
        >"$1.helper/stdout" 2>"$1.helper/stderr" </dev/null ) &
    HOLDER=$!
    for _ in $(seq 300); do grep -q held "$1.helper/stdout" 2>/dev/null && break; sleep 0.1; done
    grep -q held "$1.helper/stdout" || fail "the helper did not take notes.ini"
}

# holder_if MODE DIR: start_holder DIR MODE, unless MODE is empty.
holder_if() {
    [ -z "$1" ] || start_holder "$2" "$1"
}

# held OPTIONS: another program holds notes.ini open without sharing during the whole run.
held() {
    local dir="$root/held"
    rm -rf "$dir" && new_notes "$dir" ascii 2000
    start_holder "$dir"
    local holder=$HOLDER
    run_case "$dir" "$@"
    wait "$holder" || true
    [ "$STATUS" = 2 ] || fail "status $STATUS with notes.ini held"
    expect_whole "$dir" "" ""
}

# held_during_reads: another program holds notes.ini without sharing when the program first
# opens it and lets go at once: a read waits it out, or, where it cannot, the reads that failed
# must make the write fail, although the file is free by the time of the write, so VIEWEXP5
# (another format's) is never taken for free.
held_during_reads() {
    local dir="$root/held-during-reads" released=0 waited=0 round
    # Large enough that the reads after the file is let go take a while.
    new_notes "$root/large" ascii 5000000
    for round in 1 2 3; do
        rm -rf "$dir" && cp -r "$root/large" "$dir"
        start_holder "$dir"
        local holder=$HOLDER
        keep=$dir.keep && mkdir -p "$keep/out"
        cp "$dir/notes.ini" "$keep/before.ini"
        ini_dump "$dir/notes.ini" >"$keep/before.keys"
        # The next open of notes.ini, the program's first, lets the file go.
        ( timeout 60 inotifywait -qq -e open "$dir/notes.ini" && touch "$dir/notes.ini.release" ) &
        local watcher=$!
        sleep 0.5
        run_windows_program "$keep/out" "$dir/vorkap-setup.exe" /I
        wait "$holder" "$watcher" || true
        expect_whole "$dir" "$TEXT_REGISTERED" "$registered"
        expect_key "$dir/notes.ini" Notes VIEWEXP5 'Other Format,1,_Other,,.Txt,,1,'
        [ -e "$dir/notes.ini.release" ] && released=$((released + 1))
        [ "$STATUS" = 0 ] && waited=$((waited + 1))
    done
    echo "  let go during the run in $released of 3 rounds, waited out in $waited"
}

# attributes: a hidden notes.ini stays hidden after a registration and a removal.
attributes() {
    local dir="$root/attributes" options
    rm -rf "$dir" && new_notes "$dir" ascii 2000
    ( cd "$dir" && env LC_ALL="$WINE_LOCALE" timeout 60 "$WINE_LOADER" "$helper" attributes notes.ini 22 \
        >/dev/null 2>&1 ) || fail "cannot set the attributes"
    for options in /I "/U /I"; do
        # shellcheck disable=SC2086
        run_case "$dir" $options
        [ "$STATUS" = 0 ] || fail "status $STATUS"
        local now
        now=$(cd "$dir" && env LC_ALL="$WINE_LOCALE" timeout 60 "$WINE_LOADER" "$helper" attributes notes.ini 2>/dev/null | tr -d '\r')
        end_prefix_processes
        [ "$now" = 22 ] || fail "attributes after $options: $now, expected 22 (hidden, archive)"
    done
    echo "  hidden and archive kept"
}

# killed ROUNDS [share]: runs killed at moments spread over a run, on a 2 MB notes.ini,
# registering and removing in turn: notes.ini always reads as before or after, and the next
# whole run removes what they left. With "share", a program that shares reading and writing
# holds notes.ini during every run, so that the kills land in the wait for it and in the write
# made in place.
killed() {
    local rounds=$1 holding=${2:-} dir="$root/killed${2:+-in-place}" round left=0 options delay
    local start took
    rm -rf "$dir" && new_notes "$dir" ascii 2000000
    # The two states: without and with the registration (the settings were removed first).
    holder_if "$holding" "$dir" && run_case "$dir" /U /I
    [ "$STATUS" = 0 ] || fail "removal: status $STATUS"
    ini_dump "$dir/notes.ini" >"$dir/without.keys"
    holder_if "$holding" "$dir" && start=$(date +%s%N)
    run_case "$dir" /I
    [ "$STATUS" = 0 ] || fail "registration: status $STATUS"
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    ini_dump "$dir/notes.ini" >"$dir/with.keys"
    echo "  a whole run takes $took ms; killing $rounds runs between $((took / 4)) and $took ms"
    for round in $(seq "$rounds"); do
        options=/I
        cmp -s "$dir/with.keys" <(ini_dump "$dir/notes.ini") && options="/U /I"
        # One moment in each of ROUNDS equal parts of the last three quarters of a run.
        delay=$(( took / 4 + took * 3 * (round - 1) / (4 * rounds) +
                  RANDOM % (took * 3 / (4 * rounds) + 1) ))
        holder_if "$holding" "$dir"
        # shellcheck disable=SC2086
        ( ( cd "$dir" && exec env LC_ALL="$WINE_LOCALE" timeout -s KILL "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))" \
            "$WINE_LOADER" vorkap-setup.exe $options </dev/null ) ) >/dev/null 2>&1 || true
        end_prefix_processes
        ini_dump "$dir/notes.ini" >"$dir/now.keys"
        cmp -s "$dir/now.keys" "$dir/with.keys" || cmp -s "$dir/now.keys" "$dir/without.keys" ||
            fail "round $round ($options, killed after $delay ms): notes.ini is neither before nor after"
        left=$((left + $(temporaries "$dir")))
    done
    echo "  $rounds runs killed; temporary files found after them, counted after each: $left"
    options=/I
    cmp -s "$dir/with.keys" <(ini_dump "$dir/notes.ini") && options="/U /I"
    # shellcheck disable=SC2086
    holder_if "$holding" "$dir" && run_case "$dir" $options
    [ "$STATUS" = 0 ] || fail "the run after the kills: status $STATUS"
    [ "$(temporaries "$dir")" = 0 ] || fail "what killed runs left is still there"
}

# japanese_folders: the program in 表示\ソ能 (both names end in the byte 0x5C under code page
# 932) edits the notes.ini beside it, never the one in 表示.
japanese_folders() {
    local top="$root/表示" dir="$root/表示/ソ能"
    locale -a | grep -qix 'ja_JP.utf-\?8' ||
        fail "the locale ja_JP.UTF-8 is missing: run tools/install-deps.sh all as root"
    new_notes "$dir" cp932 2000
    printf '[Notes]\r\nVIEWEXP5=Decoy,1,_Decoy,,.Txt,,1,\r\n' >"$top/notes.ini"
    cp "$top/notes.ini" "$root/decoy.ini"
    register_and_remove "$dir"
    cmp -s "$root/decoy.ini" "$top/notes.ini" || fail "the notes.ini one folder up was changed"
}

# read_only_directory: run as an unprivileged user, in a folder that refuses new files, on a
# notes.ini that user may write: the copy is staged in the user's temporary folder, checked the
# same way, and its bytes are written into notes.ini itself.
# Runs in a subshell: the user's own prefix stays its own.
read_only_directory() (
    local dir="$root/read-only-directory"
    new_notes "$dir" ascii 2000
    run_as_unprivileged
    [ -z "$USER_NAME" ] || chown "$USER_NAME:" "$dir/notes.ini"
    chmod 555 "$dir"
    run_case "$dir" /I
    expect_whole "$dir" "$TEXT_REGISTERED" "$registered"
    [ "$STATUS" = 0 ] || fail "status $STATUS"
    run_case "$dir" /U /I
    expect_whole "$dir" "$TEXT_REMOVED" $'<notes\tviewexp6='"$ENTRY"$'\n'"$settings_removed"
    [ "$STATUS" = 0 ] || fail "removal: status $STATUS"
)

# two_writers: two programs write 40 keys each into one notes.ini at the same time, through the
# program's checked write: every write succeeds and no key is lost.
two_writers() {
    local dir="$root/two-writers" prefix
    mkdir -p "$dir" && printf '[Notes]\r\nVIEWEXP5=Other Format,1,_Other,,.Txt,,1,\r\n' >"$dir/notes.ini"
    for prefix in A B; do
        ( cd "$dir" && exec env LC_ALL="$WINE_LOCALE" timeout -s KILL 120 \
            "$WINE_LOADER" "$helper" writes 'Z:'"${dir//\//\\}"'\notes.ini' "$prefix" 40 \
            </dev/null >"$dir/$prefix.out" 2>&1 ) &
    done
    wait
    end_prefix_processes
    for prefix in A B; do
        [ "$(tr -d '\r' <"$dir/$prefix.out")" = "0 failed" ] ||
            fail "writer $prefix: $(cat "$dir/$prefix.out")"
    done
    local lost
    lost=$(for prefix in A B; do for n in $(seq 40); do
        grep -q "^$prefix$n=1"$'\r'"\?$" "$dir/notes.ini" || echo "$prefix$n"; done; done | tr '\n' ' ')
    [ -z "$lost" ] || fail "keys lost: $lost"
    grep -q '^VIEWEXP5=Other Format,1,_Other,,.Txt,,1,' "$dir/notes.ini" || fail "VIEWEXP5 lost"
    [ "$(temporaries "$dir")" = 0 ] || fail "a temporary file was left"
    echo "  80 writes from two programs at once, none failed, none lost"
}

# removed: the lines of a dump (read from standard input) that a removal takes out.
removed() {
    grep -e $'^notes\tviewexp6=' -e $'^vorkap\toutput' | sed 's/^/</' || true
}

# scanner: a virus scanner opens each file of the folder for about 1 ms, over and over, while 60
# registrations and removals run one after another: notes.ini is never lost, each run is whole
# or changes nothing, at most one fails, and no temporary file is left in the end.
scanner() {
    local dir="$root/scanner" run failed=0 lost=0 broken=0
    rm -rf "$dir" && new_notes "$dir" ascii 20000
    mkdir -p "$dir.helper"
    ( cd "$dir" && exec env LC_ALL="$WINE_LOCALE" timeout -k 5 400 "$WINE_LOADER" "$helper" scan \
        'Z:'"${dir//\//\\}" 360 >"$dir.helper/stdout" 2>"$dir.helper/stderr" </dev/null ) &
    local scanner=$!
    for _ in $(seq 300); do
        grep -q scanning "$dir.helper/stdout" 2>/dev/null && break
        sleep 0.1
    done
    grep -q scanning "$dir.helper/stdout" || fail "the scanner did not start"
    for run in $(seq 60); do
        local options=/I text=$TEXT_REGISTERED changed=$registered
        if [ "$(ini_get "$dir/notes.ini" Notes VIEWEXP6)" != '<missing>' ]; then
            options="/U /I" text=$TEXT_REMOVED
            changed=$(ini_dump "$dir/notes.ini" | removed)
        fi
        # shellcheck disable=SC2086
        OTHERS_KEPT=1 run_case "$dir" $options
        if [ ! -e "$dir/notes.ini" ]; then
            echo "  run $run ($options): status $STATUS and notes.ini gone"
            lost=$((lost + 1)) && cp -p "$keep/before.ini" "$dir/notes.ini" && continue
        fi
        [ "$STATUS" = 2 ] && failed=$((failed + 1))
        ( TEMPORARIES_LATER=1 expect_whole "$dir" "$text" "$changed" ) >/dev/null 2>"$keep/why" ||
            { broken=$((broken + 1)) && echo "  run $run ($options): $(tr '\n' ' ' <"$keep/why")"; }
    done
    touch "$dir/scan.stop"
    wait "$scanner" || true
    end_prefix_processes
    echo "  60 runs beside a scanner ($(tr -d '\r' <"$dir.helper/stdout" | tail -1)):" \
        "$lost lost notes.ini, $failed ended with status 2, $broken not whole," \
        "$(temporaries "$dir") temporary files left"
    [ "$lost" = 0 ] || fail "notes.ini lost in $lost runs"
    [ "$broken" = 0 ] || fail "$broken runs left notes.ini neither whole nor as it was"
    [ "$failed" -le 1 ] || fail "$failed runs ended with status 2"
    [ "$(temporaries "$dir")" = 0 ] || fail "temporary files left: $(ls -A "$dir")"
}

# held_shared MODE OPTIONS: another program holds notes.ini during the whole run, sharing reading
# and writing (MODE share) or as the C runtime's reader (crt): the run is done all the same.
held_shared() {
    local mode=$1 dir="$root/held-$1"
    shift
    rm -rf "$dir" && new_notes "$dir" ascii 2000
    start_holder "$dir" "$mode"
    local holder=$HOLDER
    OTHERS_KEPT=1 run_case "$dir" "$@"
    kill -0 "$holder" 2>/dev/null || fail "the holder ended during the run"
    touch "$dir/notes.ini.release"
    wait "$holder" || fail "the holder's handle failed"
    end_prefix_processes
    [ "$STATUS" = 0 ] || fail "status $STATUS with notes.ini held by a program that shares"
    if [ "$*" = /I ]; then
        expect_whole "$dir" "$TEXT_REGISTERED" "$registered"
    else
        expect_whole "$dir" "$TEXT_REMOVED" "$settings_removed"
    fi
}

# long_path: notes.ini at a Windows path of 250 characters (Z:\...\notes.ini), which the
# platform's write accepts: the program's write works there too.
long_path() {
    local dir="$root/long-path" left
    left=$((250 - 12 - ${#dir}))  # what the folders below it may add, a '/' before each name
    while [ "$left" -gt 101 ]; do dir="$dir/$(printf '%050d' 0)" && left=$((left - 51)); done
    [ "$left" -ge 2 ] || fail "the run's folder is too deep for a 250-character path"
    dir="$dir/$(printf "%0$((left - 1))d" 0)"
    local windows="Z:${dir//\//\\}\\notes.ini"
    [ ${#windows} = 250 ] || fail "the path has ${#windows} characters"
    rm -rf "$root/long-path" && new_notes "$dir" ascii 2000
    register_and_remove "$dir"
}

# symbolic_link: notes.ini is a symbolic link to a notes.ini in another folder: the target is
# written and the link stays a link to it.
symbolic_link() {
    local dir="$root/symbolic-link" target="$root/symbolic-link-target"
    rm -rf "$dir" "$target" && new_notes "$target" ascii 2000
    mkdir -p "$dir" && cp "$program" "$dir/vorkap-setup.exe"
    ln -s ../symbolic-link-target/notes.ini "$dir/notes.ini"
    linked_runs "$dir" ../symbolic-link-target/notes.ini
    [ "$(temporaries "$target")" = 0 ] || fail "a temporary file was left beside the target"
}

# link_outside_code_page: notes.ini is a symbolic link into a folder named "café", outside code
# page 932, beside a folder "cafe" with a notes.ini of its own (what "café" maps to in that code
# page): the link's target is written, the decoy is not, and the link stays a link.
link_outside_code_page() {
    local dir="$root/link-outside" target="$root/café" decoy="$root/cafe"
    rm -rf "$dir" "$target" "$decoy" && new_notes "$target" ascii 2000 && new_notes "$decoy" ascii 1500
    cp "$decoy/notes.ini" "$root/decoy-before.ini"
    mkdir -p "$dir" && cp "$program" "$dir/vorkap-setup.exe"
    ln -s ../café/notes.ini "$dir/notes.ini"
    linked_runs "$dir" ../café/notes.ini
    cmp -s "$root/decoy-before.ini" "$decoy/notes.ini" || fail "the decoy cafe/notes.ini was changed"
    [ "$(temporaries "$target")" = 0 ] || fail "a temporary file was left beside the target"
}

# long_link: notes.ini is a symbolic link to a notes.ini whose Windows path has 300 characters:
# the target is written and the link stays a link.
long_link() {
    local dir="$root/long-link" target="$root/long-link-target" left
    left=$((300 - 12 - ${#target}))
    while [ "$left" -gt 101 ]; do target="$target/$(printf '%050d' 1)" && left=$((left - 51)); done
    target="$target/$(printf "%0$((left - 1))d" 1)"
    local windows="Z:${target//\//\\}\\notes.ini"
    [ ${#windows} = 300 ] || fail "the target's path has ${#windows} characters"
    rm -rf "$dir" "$root/long-link-target" && new_notes "$target" ascii 2000
    mkdir -p "$dir" && cp "$program" "$dir/vorkap-setup.exe"
    ln -s "$target/notes.ini" "$dir/notes.ini"
    linked_runs "$dir" "$target/notes.ini"
    [ "$(temporaries "$target")" = 0 ] || fail "a temporary file was left beside the target"
}

# linked_runs DIR LINK: a registration and a removal through DIR/notes.ini, a symbolic link to
# LINK: each ends with status 0, the target changed by the program's own keys alone, the link
# still the link.
linked_runs() {
    local dir=$1 link=$2 options text changed
    for options in /I "/U /I"; do
        text=$TEXT_REGISTERED changed=$registered
        [ "$options" = /I ] ||
            text=$TEXT_REMOVED changed=$'<notes\tviewexp6='"$ENTRY"$'\n'"$settings_removed"
        # shellcheck disable=SC2086
        run_case "$dir" $options
        if [ ! -L "$dir/notes.ini" ] || [ "$(readlink "$dir/notes.ini")" != "$link" ]; then
            fail "$options: notes.ini is no longer the link (status $STATUS)"
        fi
        [ -f "$dir/notes.ini" ] || fail "$options: the link's target is gone (status $STATUS)"
        [ "$STATUS" = 0 ] || fail "$options: status $STATUS"
        expect_whole "$dir" "$text" "$changed"
    done
}

# read_only_holding: run as an unprivileged user, on a read-only notes.ini that already says what
# the run would write (a second registration; a removal with nothing left to remove): status 0,
# as the platform's own write gives, and not a byte written.
# Runs in a subshell: the user's own prefix stays its own.
read_only_holding() (
    local dir="$root/read-only-holding" options text
    new_notes "$dir" ascii 2000
    run_as_unprivileged
    [ -z "$USER_NAME" ] || chown "$USER_NAME:" "$dir" "$dir/notes.ini"
    for options in /I "/U /I"; do
        text=$TEXT_REGISTERED
        [ "$options" = /I ] || text=$TEXT_REMOVED
        chmod 644 "$dir/notes.ini"
        # shellcheck disable=SC2086
        run_case "$dir" $options
        [ "$STATUS" = 0 ] || fail "$options on a writable file: status $STATUS"
        chmod 444 "$dir/notes.ini"
        # shellcheck disable=SC2086
        run_case "$dir" $options
        [ "$STATUS" = 0 ] || fail "$options again on the read-only file: status $STATUS"
        expect_stdout "$keep/out" "$text"
        if cmp -s "$keep/before.ini" "$dir/notes.ini"; then echo "$STATUS ok"; else echo "$STATUS damaged: written"; fi >>"$outcomes"
        cmp -s "$keep/before.ini" "$dir/notes.ini" || fail "$options: the read-only file was written"
    done
    echo "  a second registration and a removal of nothing: status 0, nothing written"
)

cases=(
    "full-disk-register|full_disk full-disk-register ascii /I 2 0"
    "full-disk-register-cut-write|full_disk full-disk-register-cut-write ascii /I 0 old"
    "full-disk-register-room-for-new|full_disk full-disk-register-room-for-new ascii /I 0 new"
    "full-disk-register-code-page-932|full_disk full-disk-register-code-page-932 cp932 /I 2 0"
    "full-disk-register-code-page-932-cut-write|full_disk full-disk-register-code-page-932-cut-write cp932 /I 0 old"
    "full-disk-remove|full_disk full-disk-remove ascii '/U /I' 0 0"
    "full-disk-room-for-copy-repeated-section|full_disk full-disk-room-for-copy-repeated-section ascii /I 0 old section"
    "full-disk-room-for-copy-comments|full_disk full-disk-room-for-copy-comments ascii /I 0 old comments"
    "full-disk-no-copy-anywhere-repeated-section|full_disk full-disk-no-copy-anywhere-repeated-section ascii /I 2 0 section on-disk"
    "full-disk-no-copy-anywhere-comments|full_disk full-disk-no-copy-anywhere-comments ascii /I 2 0 comments on-disk"
    "full-disk-no-copy-anywhere-cut-write|full_disk full-disk-no-copy-anywhere-cut-write ascii /I 0 old section on-disk"
    "full-disk-no-copy-anywhere-remove|full_disk full-disk-no-copy-anywhere-remove ascii '/U /I' 0 0 comments on-disk"
    "held-open|held /I"
    "held-open-remove|held /U /I"
    "held-during-reads|held_during_reads"
    "attributes-kept|attributes"
    "killed-at-random|killed 20"
    "japanese-folders|japanese_folders"
    "read-only-directory|read_only_directory"
    "two-writers|two_writers"
    "scanner|scanner"
    "held-shared|held_shared share /I"
    "held-shared-remove|held_shared share /U /I"
    "crt-reader|held_shared crt /I"
    "crt-reader-remove|held_shared crt /U /I"
    "long-path|long_path"
    "symbolic-link|symbolic_link"
    "link-outside-code-page|link_outside_code_page"
    "long-link|long_link"
    "read-only-holding|read_only_holding"
    "killed-in-place|killed 12 share"
)
# Cases whose runs depend on timing or run no program of their own: not run with the platform.
unrepeatable=" held-during-reads attributes-kept killed-at-random two-writers scanner killed-in-place "

# never_worse NAME: what the platform's runs and the program's runs of the case did, side by side;
# fails where the platform's run was done and whole and the program's was not.
never_worse() {
    local platform_runs program_runs
    platform_runs=$(cat "$root/$1.platform")
    program_runs=$(cat "$root/$1.program")
    echo "  the platform's write: $(tr '\n' ';' <"$root/$1.platform")"
    [ "$(wc -l <"$root/$1.platform")" = "$(wc -l <"$root/$1.program")" ] ||
        fail "the platform's write and the program made different runs"
    ! paste -d '|' <(echo "$platform_runs") <(echo "$program_runs") |
        awk -F'|' '$1 == "0 ok" && $2 != "0 ok" { found = 1 } END { exit !found }' ||
        fail "the platform's write was done and whole where the program's was not"
}

for entry in "${cases[@]}"; do
    name=${entry%%|*}
    [ $# = 0 ] || [[ " $* " == *" $name "* ]] || continue
    echo "case $name"
    if [[ $unrepeatable != *" $name "* ]]; then
        # The platform's own write: what it does is kept, its failures are not the program's.
        ( program="$BIN_DIR/vorkap-setup-direct.exe" outcomes="$root/$name.platform"
          : >"$outcomes"
          fail() { :; }
          eval "${entry#*|}" ) >"$root/$name.platform.log" 2>&1 || true
        outcomes="$root/$name.program" && : >"$outcomes"
    fi
    eval "${entry#*|}"
    [[ $unrepeatable == *" $name "* ]] || never_worse "$name"
    outcomes=/dev/null
done
echo "PASS: notes.ini kept whole"
