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

# install_packages PURPOSE PACKAGE...: installs, as root, those of the packages that are missing;
# does nothing when all are installed. Packages of the i386 architecture (name:i386) enable it.
install_packages() {
    local purpose=$1
    shift
    local missing
    mapfile -t missing < <(missing_packages "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "must run as root to install ${missing[*]} ($purpose)" >&2
        exit 1
    fi
    echo "Installing for $purpose: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    case " ${missing[*]}" in
        *:i386*) dpkg --add-architecture i386 ;;
    esac
    # Another apt run holding the lock is waited for, not taken for a failure.
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}" >/dev/null
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
