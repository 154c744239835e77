#!/usr/bin/env bash
# shellcheck disable=SC2016  # the stand-ins' bodies expand when they run, not here
# The install step of lib.sh against a mirror in the middle of a sync, whose i386 index of the
# security suite is broken. Stand-ins for apt-get, apt-cache, dpkg, dpkg-query, id and sleep on
# PATH fail every `apt-get update`, every plain install of an i386 package, and every install of
# one named missing-*. From the main suite (-t), pkg-wine:i386 installs once the pair pkg-lib is
# named at its i386 version (1.0), which the simulation shows by removing pkg-lib and installing
# pkg-lib:i386 (1.0); pkg-gst:i386 once pkg-dep is named at its i386 candidate (2.0), which the
# simulation shows by failing on pkg-dep:i386. The step must try the update three times and go
# on, install the i386 packages from the main suite with the pairs it finds, name the i386
# packages it cannot install even so in one NOTE line and go on without them, and still fail,
# naming them, when a native package cannot be installed. Prints one line a case; fails when any
# case fails.
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
words=" $* "
case $words in *" update "* | *" missing-"*) exit 100 ;; esac
case $words in *" -t "*) ;; *" "*:i386" "*) exit 100 ;; esac
if [[ $words == *" -s "* ]]; then
    if [[ $words == *" pkg-gst:i386 "* && $words != *" pkg-dep:i386=2.0 pkg-dep=2.0 "* ]]; then
        echo " pkg-gst:i386 : Depends: pkg-dep:i386 (>= 1.0) but it is not installable"
        exit 100
    fi
    if [[ $words == *" pkg-wine:i386 "* && $words != *" pkg-lib:i386=1.0 pkg-lib=1.0 "* ]]; then
        echo "Remv pkg-lib [1.1]"
        echo "Remv pkg-wine64 [8.0]"
    fi
    echo "Inst pkg-lib:i386 (1.0 Debian:12 [i386])"
    exit 0
fi
for word in "$@"; do
    case $word in -* | *=* | install | bookworm) ;; *) echo "$word" >>"$STATE/installed" ;; esac
done'
stand_in apt-cache 'echo "apt-cache $*" >>"$STATE/log"
[ "${!#}" = pkg-dep:i386 ] && echo "  Candidate: 2.0" || echo "  Candidate: (none)"'
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
# shellcheck source=/dev/null
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
main="-t $codename --no-install-recommends --allow-downgrades"
updates="$apt update -qq
sleep 10
$apt update -qq
sleep 20
$apt update -qq"
update_note='NOTE: apt-get update failed three times; going on with the package indexes it fetched'
i386_note='NOTE: cannot install missing-wine:i386, not even from the main suite alone; going on'
i386_note+=' without them (the Wine tests then use the 64-bit build)'

check "nothing missing: no apt-get at all" "pkg-old" 0 "" "" ""
check "update and i386 fail, even from the main suite: goes on, one NOTE" \
    "pkg-old pkg-new missing-wine:i386" 0 \
    "Installing for the test: pkg-new missing-wine:i386
Installing missing-wine:i386 from the main suite alone
$i386_note" \
    "$update_note" \
    "dpkg --add-architecture i386
$updates
$apt install -y -qq pkg-new
$apt install -y -qq missing-wine:i386
apt-get install -s $main missing-wine:i386 pkg-old pkg-new"
check "i386 from the main suite: the pairs found in two rounds are named" \
    "pkg-old pkg-wine:i386 pkg-gst:i386" 0 \
    "Installing for the test: pkg-wine:i386 pkg-gst:i386
Installing pkg-wine:i386 pkg-gst:i386 from the main suite alone
Naming the main suite's versions: pkg-dep:i386=2.0 pkg-dep=2.0 pkg-lib:i386=1.0 pkg-lib=1.0" \
    "$update_note" \
    "dpkg --add-architecture i386
$updates
$apt install -y -qq pkg-wine:i386 pkg-gst:i386
apt-get install -s $main pkg-wine:i386 pkg-gst:i386 pkg-old
apt-cache -t $codename policy pkg-dep:i386
apt-get install -s $main pkg-wine:i386 pkg-gst:i386 pkg-old pkg-dep:i386=2.0 pkg-dep=2.0
apt-get install -s $main pkg-wine:i386 pkg-gst:i386 pkg-old pkg-dep:i386=2.0 pkg-dep=2.0 \
pkg-lib:i386=1.0 pkg-lib=1.0
$apt install -y -qq $main pkg-wine:i386 pkg-gst:i386 pkg-old pkg-dep:i386=2.0 pkg-dep=2.0 \
pkg-lib:i386=1.0 pkg-lib=1.0"
check "native package missing: fails, naming it" "pkg-new missing-gtest pkg-wine:i386" 1 \
    "Installing for the test: pkg-new missing-gtest pkg-wine:i386" \
    "$update_note
cannot install pkg-new missing-gtest (the test)" \
    "dpkg --add-architecture i386
$updates
$apt install -y -qq pkg-new missing-gtest"

[ "$failures" = 0 ]
