#!/usr/bin/env bash
# Installs, from Debian 12's packages and as root, what the builds and tests need and the machine
# lacks; nothing is done when all of it is installed already.
#   install-deps.sh native   the native program and its tests
#   install-deps.sh all      also the sanitizer and fuzzing builds, the Windows program, its
#                            release and its tests under Wine (what tools/test.sh runs)
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

what=${1:-all}
case $what in
    native | all) ;;
    *) echo "usage: tools/install-deps.sh [native|all]" >&2; exit 2 ;;
esac

# locales builds the Shift_JIS locale below; e2fsprogs and mount make and mount the file systems
# of the file-system tests, and acl's setfacl gives their notes.ini an access list.
# strace's fault injection kills a run between the steps of a rewrite in place.
packages=(cmake make g++ libgtest-dev locales e2fsprogs mount acl strace)
if [ "$what" = all ]; then
    # clang and its runtime libraries build the fuzzer.
    packages+=(clang libclang-rt-dev)
fi
install_packages "the native build and its tests" "${packages[@]}"

# A Shift_JIS locale, under which the native program reads with code page 932's lead bytes.
ensure_sjis_locale

[ "$what" = all ] || exit 0

# The Windows program. g++-mingw-w64-i686 builds the 32-bit program; wine32:i386 runs it (from
# the main suite alone where the mirror's i386 index of the security suite is broken: see
# install_packages). g++-mingw-w64-x86-64 and wine64 build and run the 64-bit build of the same
# sources, which the tests use where 32-bit Wine cannot run (a kernel that cannot run 32-bit
# code: "Exec format error"; wine32:i386 not installable). googletest provides the sources that
# are built for MinGW. Xvfb, xdotool, x11-apps (xwd) and imagemagick (convert) drive and capture
# the message boxes; fonts-ipafont-gothic lets them show Japanese; util-linux gives setpriv, which
# runs the permission cases as an unprivileged user; inotify-tools (inotifywait) sees the
# program's first open of notes.ini. zip packs the release archive; unzip and git serve its
# reproducibility test. osslsigncode signs the release when asked to; openssl checks the signing
# certificate and makes the test's own.
install_packages "the Windows program and its tests" \
    cmake make binutils googletest \
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
    wine wine32:i386 wine64 \
    xvfb xdotool x11-apps imagemagick fonts-ipafont-gothic \
    perl libc-bin coreutils util-linux locales \
    zip unzip git inotify-tools osslsigncode openssl

# Wine maps Unix file names through the locale, ja_JP.UTF-8 for the programs it runs: without it
# installed, a program in a folder with a Japanese name cannot even start.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    [ "$(id -u)" = 0 ] || { echo "must run as root to build the locale ja_JP.UTF-8" >&2; exit 1; }
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
