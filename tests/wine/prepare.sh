#!/bin/bash
# Chooses how the Windows programs run under Wine on this machine, and makes the Wine prefix that
# the other tests share.
#
# First choice: the 32-bit programs themselves, under 32-bit Wine. Where the kernel cannot run
# 32-bit code (x86-64 kernels with ia32 emulation off fail with "Exec format error"), the same
# sources built as 64-bit programs run under 64-bit Wine instead. The choice is written to
# STATE/vehicle.env and printed.
# Usage: prepare.sh STATE I686_PROGRAM_DIR [X86_64_PROGRAM_DIR]
set -u
. "$(dirname "$0")/lib.sh"

State=$1
I686Dir=$2
X8664Dir=${3:-}
Install="run tests/wine/install-deps.sh as root"

for Tool in wineserver timeout iconv perl awk; do
    command -v "$Tool" >/dev/null || fail "$Tool is missing ($Install)"
done

rm -rf "$State"
mkdir -p "$State"
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

# try_vehicle NAME LOADER PROGRAM_DIR TIMEOUT: runs the probe program in a new prefix.
try_vehicle() {
    local Name=$1 Loader=$2 Dir=$3 Limit=$4
    echo "trying $Name: $Loader $Dir/wine_probe.exe"
    if [ ! -x "$Loader" ]; then
        echo "  $Loader is not installed"
        return 1
    fi
    if [ ! -f "$Dir/wine_probe.exe" ]; then
        echo "  $Dir/wine_probe.exe was not built"
        return 1
    fi
    export WINEPREFIX="$State/prefix" WINELOADER="$Loader"
    rm -rf "$WINEPREFIX"
    env LC_ALL=$WINE_LOCALE timeout -k 5 "$Limit" "$Loader" "$Dir/wine_probe.exe" >"$State/probe-$Name.out" \
        2>"$State/probe-$Name.err" </dev/null
    local Status=$?
    end_prefix_processes
    if [ "$Status" = 0 ] && grep -q 'probe ran' "$State/probe-$Name.out"; then
        return 0
    fi
    echo "  did not run (status $Status): $(grep -v '^$' "$State/probe-$Name.err" | head -3)"
    rm -rf "$WINEPREFIX"
    return 1
}

if try_vehicle i686 /usr/lib/wine/wine "$I686Dir" 120; then
    Vehicle=i686
    Loader=/usr/lib/wine/wine
    BinDir=$I686Dir
elif [ -n "$X8664Dir" ] && try_vehicle x86_64 /usr/lib/wine/wine64 "$X8664Dir" 120; then
    Vehicle=x86_64
    Loader=/usr/lib/wine/wine64
    BinDir=$X8664Dir
    echo "NOTE: 32-bit Wine cannot run here; the run-time tests use the 64-bit build of the same"
    echo "      sources under 64-bit Wine. The 32-bit program is checked statically only."
else
    fail "neither 32-bit nor 64-bit Wine can run a program here ($Install)"
fi

# Message boxes draw their text with the prefix's UI fonts; map them to a Japanese font.
for Font in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "MS Gothic" "MS PGothic"; do
    timeout -k 5 60 "$Loader" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$Font" \
        /t REG_SZ /d IPAGothic /f >/dev/null 2>>"$State/prepare.err" ||
        fail "cannot set the font replacement for $Font"
done
end_prefix_processes

cat >"$State/vehicle.env" <<ENV
VEHICLE=$Vehicle
WINE_LOADER=$Loader
BIN_DIR=$BinDir
WINEPREFIX=$State/prefix
ENV
echo "PASS: Wine vehicle $Vehicle ($Loader), programs from $BinDir"
