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
# and are optional: when they cannot be installed (a mirror that serves a broken i386 index of
# the security suite), they are installed from the release's main suite alone
# (install_from_main_suite); when even that fails, one NOTE line says so and the run goes on
# without them. Any other package that is still missing after the install fails the run, naming
# it.
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
    [ ${#foreign[@]} -gt 0 ] || return 0
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${foreign[@]}" >/dev/null && return 0
    # The native packages named with them, installed by now, must stay installed.
    local kept=()
    for package in "$@"; do
        case $package in *:i386) ;; *) kept+=("$package") ;; esac
    done
    echo "Installing ${foreign[*]} from the main suite alone"
    install_from_main_suite "${foreign[@]}" ${kept[@]+"${kept[@]}"} && return 0
    echo "NOTE: cannot install ${foreign[*]}, not even from the main suite alone; going on" \
        "without them (the Wine tests then use the 64-bit build)"
}

# release_codename: prints the codename of the Debian release (bookworm for Debian 12).
release_codename() {
    # shellcheck source=/dev/null
    (. /etc/os-release && [ -n "${VERSION_CODENAME:-}" ] && echo "$VERSION_CODENAME")
}

# main_suite_pins PACKAGE...: prints, one a line, the versions to name beside the packages (i386
# ones among them) so that apt can install them from the release's main suite alone; fails when
# it finds none that do. Changes nothing: apt only simulates.
#
# Where the mirror's i386 index of the security suite is broken, an i386 library exists only at
# the main suite's version, while its native twin, installed already, may be the security
# suite's newer one; the two must be of one version (Multi-Arch: same). So apt is asked to prefer
# the main suite (-t CODENAME, no recommends, downgrades allowed), and each such pair X is named
# at the main suite's version V for both architectures: X:i386=V X=V. The simulated install
# shows which: a package X that it would remove (a line `Remv X`), V being the version of the
# line that installs it for i386 (`Inst X:i386 (V ...)`); or, when apt finds no answer at all,
# the i386 package X of a line `Depends: X:i386 ... but it is not installable`, V being its i386
# candidate. The simulation runs again with the pairs found until it succeeds and
# removes nothing, five rounds at most.
main_suite_pins() {
    local codename output status pins=() removed unsolved package version added
    codename=$(release_codename) || return 1
    for _ in 1 2 3 4 5; do
        status=0
        output=$(apt-get install -s -t "$codename" --no-install-recommends --allow-downgrades \
            "$@" ${pins[@]+"${pins[@]}"} 2>&1) || status=$?
        mapfile -t removed < <(sed -n 's/^Remv \([^ :]*\).*/\1/p' <<<"$output" | sort -u)
        if [ "$status" = 0 ] && [ ${#removed[@]} -eq 0 ]; then
            printf '%s\n' ${pins[@]+"${pins[@]}"}
            return 0
        fi
        mapfile -t unsolved < <(sed -n 's/.* Depends: \([^ ]*\):i386 .*not installable$/\1/p' \
            <<<"$output" | sort -u)
        added=0
        for package in ${removed[@]+"${removed[@]}"} ${unsolved[@]+"${unsolved[@]}"}; do
            version=$(sed -n "s/^Inst $package:i386 \(\[[^]]*\] \)\?(\([^ ]*\) .*/\2/p" \
                <<<"$output" | head -1)
            if [ -z "$version" ] && [ "$status" != 0 ]; then
                version=$(apt-cache -t "$codename" policy "$package:i386" 2>/dev/null |
                    sed -n 's/^ *Candidate: //p' | grep -vx '(none)' || true)
            fi
            [ -n "$version" ] || continue
            case " ${pins[*]-} " in *" $package:i386=$version "*) continue ;; esac
            pins+=("$package:i386=$version" "$package=$version")
            added=1
        done
        [ "$added" = 1 ] || return 1
    done
    return 1
}

# install_from_main_suite PACKAGE...: installs the packages as root from the release's main suite
# alone, naming the versions that main_suite_pins finds; fails when it finds none, or when a
# package is still missing after the install.
install_from_main_suite() {
    local codename found pins
    codename=$(release_codename) || return 1
    found=$(main_suite_pins "$@") || return 1
    mapfile -t pins < <(grep . <<<"$found" || true)
    [ ${#pins[@]} -eq 0 ] || echo "Naming the main suite's versions: ${pins[*]}"
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq -t "$codename" --no-install-recommends \
        --allow-downgrades "$@" ${pins[@]+"${pins[@]}"} >/dev/null || return 1
    [ -z "$(missing_packages "$@")" ]
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
