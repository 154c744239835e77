#!/usr/bin/env bash
# Installs what the Windows build and its tests need on a Debian 12 machine, as root;
# nothing is done when all of it is installed already.
#
# g++-mingw-w64-i686 builds the 32-bit program; g++-mingw-w64-x86-64 and wine64 build and run
# the 64-bit build of the same sources, which the tests use where the kernel cannot run 32-bit
# code (32-bit Wine then fails with "Exec format error"). googletest provides the sources that
# are built for MinGW. Xvfb, xdotool, x11-apps (xwd) and imagemagick (convert) drive and capture
# the message boxes; fonts-ipafont-gothic lets them show Japanese; util-linux gives setpriv, which
# runs the permission cases as an unprivileged user; inotify-tools (inotifywait) sees the
# program's first open of notes.ini. zip packs the release archive; unzip and git
# serve its reproducibility test. The differential test of the profile engine runs the native
# side under the Shift_JIS locale ja_JP.SJIS, built from the locales package. osslsigncode signs
# the release when asked to; openssl checks the signing certificate and makes the test's own.
set -euo pipefail
. "$(dirname "$0")/../../tools/lib.sh"

install_packages "the Windows tests" \
    cmake make binutils googletest \
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 \
    wine wine32:i386 wine64 \
    xvfb xdotool x11-apps imagemagick fonts-ipafont-gothic \
    perl libc-bin coreutils util-linux locales \
    zip unzip git inotify-tools osslsigncode openssl

ensure_sjis_locale

# Wine maps Unix file names through the locale, ja_JP.UTF-8 for the programs it runs: without it
# installed, a program in a folder with a Japanese name cannot even start.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.utf-\?8'; then
    [ "$(id -u)" = 0 ] || { echo "must run as root to build the locale ja_JP.UTF-8" >&2; exit 1; }
    localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
