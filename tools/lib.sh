# shellcheck shell=bash
# Helpers shared by the build and test scripts. Sourced, not run.
#
# The scripts share one style: bash (#!/usr/bin/env bash), `set -euo pipefail`, lower-case names
# for a script's own variables, upper case for the environment and for what a sourced helper file
# shares with its scripts, and Debian packages checked and installed through the functions below.

# missing_packages PACKAGE...: prints, one a line, those of the Debian packages that are not
# installed.
missing_packages() {
    local package
    for package in "$@"; do
        [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] ||
            echo "$package"
    done
}

# apt_update: refreshes the package indexes, three tries with growing pauses. A mirror in the
# middle of a sync can serve an index that fails its checks ("Mirror sync in progress?"); after
# the third try the run goes on with the indexes that were fetched, and whatever cannot be
# installed without the failed ones is reported by the install that needs it.
apt_update() {
    local try
    for try in 1 2 3; do
        apt-get -o DPkg::Lock::Timeout=600 update -qq && return 0
        [ "$try" = 3 ] || sleep $((try * 10))
    done
    echo "NOTE: apt-get update failed three times; going on with the package indexes it fetched" >&2
}

# install_packages PURPOSE PACKAGE...: installs, as root, those of the packages that are missing;
# does nothing when all are installed. Packages of the i386 architecture (name:i386) enable it
# and are optional: when they cannot be installed (a mirror that serves a broken i386 index),
# one NOTE line says so and the run goes on without them. Any other package that is still
# missing after the install fails the run, naming it.
install_packages() {
    local purpose=$1
    shift
    local missing native=() foreign=() package
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "must run as root to install ${missing[*]} ($purpose)" >&2
        exit 1
    fi
    echo "Installing for $purpose: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    for package in "${missing[@]}"; do
        case $package in
            *:i386) foreign+=("$package") ;;
            *) native+=("$package") ;;
        esac
    done
    [ ${#foreign[@]} -eq 0 ] || dpkg --add-architecture i386
    # Another apt run holding the lock is waited for, not taken for a failure.
    apt_update
    if [ ${#native[@]} -gt 0 ]; then
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${native[@]}" >/dev/null || true
        mapfile -t missing < <(missing_packages "${native[@]}")
        if [ ${#missing[@]} -gt 0 ]; then
            echo "cannot install ${missing[*]} ($purpose)" >&2
            exit 1
        fi
    fi
    if [ ${#foreign[@]} -gt 0 ] &&
        ! apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${foreign[@]}" >/dev/null; then
        echo "NOTE: cannot install ${foreign[*]}; going on without them (the Wine tests then" \
            "use the 64-bit build)"
    fi
}

# ensure_sjis_locale: builds the Shift_JIS locale ja_JP.SJIS (from the locales package) where it
# is missing. Its character map is not ASCII compatible, so localedef warns and may exit
# non-zero; the locale works all the same, so only its presence is checked.
ensure_sjis_locale() {
    locale -a 2>/dev/null | grep -qix 'ja_JP.sjis' && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "must run as root to build the locale ja_JP.SJIS" >&2
        exit 1
    fi
    localedef -f SHIFT_JIS -i ja_JP ja_JP.SJIS >/dev/null 2>&1 || true
    locale -a | grep -qix 'ja_JP.sjis' || { echo "cannot build the locale ja_JP.SJIS" >&2; exit 1; }
}

# The deployment kit: the files of deploy/ that the release archive ships beside the program.
KIT_FILES=(install.cmd uninstall.cmd detect.ps1)

# stage_kit SOURCE_DIR DEST_DIR: copies the kit's files from SOURCE_DIR/deploy into DEST_DIR with
# CR LF line ends, whatever the line ends of the checkout (cmd.exe mistakes goto labels in a file
# with LF line ends). The release archive and the Wine test of the kit use these copies.
stage_kit() {
    local file
    for file in "${KIT_FILES[@]}"; do
        awk '{ sub(/\r$/, ""); printf "%s\r\n", $0 }' "$1/deploy/$file" >"$2/$file"
    done
}
