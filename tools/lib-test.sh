#!/usr/bin/env bash
# shellcheck disable=SC2016  # the stand-ins' bodies expand when they run, not here
# The install step of lib.sh against a mirror in the middle of a sync. Stand-ins for apt-get,
# dpkg, dpkg-query, id and sleep on PATH fail every `apt-get update` and every install of an i386
# package or of one named missing-*. The step must try the update three times and go on, name
# the i386 packages in one NOTE line and go on without them, and still fail, naming them, when a
# native package cannot be installed. Prints one line a case; fails when any case fails.
set -euo pipefail
lib="$(cd "$(dirname "$0")" && pwd)/lib.sh"
STATE=$(mktemp -d)
export STATE
trap 'rm -rf "$STATE"' EXIT
mkdir "$STATE/bin"

stand_in() {
    printf '#!/usr/bin/env bash\n%s\n' "$2" >"$STATE/bin/$1"
    chmod +x "$STATE/bin/$1"
}
stand_in apt-get 'echo "apt-get $*" >>"$STATE/log"
for word in "$@"; do case $word in update | *:i386 | missing-*) exit 100 ;; esac; done
for word in "$@"; do
    case $word in -* | *=* | install) ;; *) echo "$word" >>"$STATE/installed" ;; esac
done'
stand_in dpkg-query 'grep -qx -- "${!#}" "$STATE/installed" && printf "install ok installed"
true'
stand_in dpkg 'echo "dpkg $*" >>"$STATE/log"'
stand_in sleep 'echo "sleep $*" >>"$STATE/log"'
stand_in id 'echo 0'
export PATH="$STATE/bin:$PATH"

failures=0
# check CASE PACKAGES STATUS STDOUT STDERR LOG: install_packages PACKAGES on a machine that has
# pkg-old installed gives that exit status, standard output, standard error and calls.
check() {
    printf 'pkg-old\n' >"$STATE/installed"
    : >"$STATE/log"
    local status=0 packages
    read -ra packages <<<"$2"
    bash -c 'set -euo pipefail; . "$1"; shift; install_packages "the test" "$@"' _ "$lib" \
        "${packages[@]}" >"$STATE/out" 2>"$STATE/err" || status=$?
    if [ "$status" = "$3" ] && [ "$(cat "$STATE/out")" = "$4" ] &&
        [ "$(cat "$STATE/err")" = "$5" ] && [ "$(cat "$STATE/log")" = "$6" ]; then
        echo "ok   $1"
    else
        echo "FAIL $1: status $status"
        sed 's/^/  stdout: /' "$STATE/out"
        sed 's/^/  stderr: /' "$STATE/err"
        sed 's/^/  calls:  /' "$STATE/log"
        failures=$((failures + 1))
    fi
}

apt='apt-get -o DPkg::Lock::Timeout=600'
updates="$apt update -qq
sleep 10
$apt update -qq
sleep 20
$apt update -qq"
update_note='NOTE: apt-get update failed three times; going on with the package indexes it fetched'
i386_note='NOTE: cannot install pkg-wine:i386; going on without them (the Wine tests then use the'
i386_note+=' 64-bit build)'

check "nothing missing: no apt-get at all" "pkg-old" 0 "" "" ""
check "update and i386 fail: goes on, one NOTE" "pkg-old pkg-new pkg-wine:i386" 0 \
    "Installing for the test: pkg-new pkg-wine:i386
$i386_note" \
    "$update_note" \
    "dpkg --add-architecture i386
$updates
$apt install -y -qq pkg-new
$apt install -y -qq pkg-wine:i386"
check "native package missing: fails, naming it" "pkg-new missing-gtest pkg-wine:i386" 1 \
    "Installing for the test: pkg-new missing-gtest pkg-wine:i386" \
    "$update_note
cannot install pkg-new missing-gtest (the test)" \
    "dpkg --add-architecture i386
$updates
$apt install -y -qq pkg-new missing-gtest"

[ "$failures" = 0 ]
