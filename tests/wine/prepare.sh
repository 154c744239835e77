#!/usr/bin/env bash
# Chooses how the Windows programs run under Wine on this machine, and makes the Wine prefix that
# the other tests share.
#
# First choice: the 32-bit programs themselves, under 32-bit Wine. Where the kernel cannot run
# 32-bit code (x86-64 kernels with ia32 emulation off fail with "Exec format error"), the same
# sources built as 64-bit programs run under 64-bit Wine instead. The choice is written to
# STATE/vehicle.env and printed.
# Usage: prepare.sh STATE I686_PROGRAM_DIR [X86_64_PROGRAM_DIR]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

state=$1
i686_dir=$2
x86_64_dir=${3:-}
install="run tools/install-deps.sh all as root"

for tool in wineserver timeout iconv perl awk inotifywait; do
    command -v "$tool" >/dev/null || fail "$tool is missing ($install)"
done

rm -rf "$state"
mkdir -p "$state"
export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY

# try_vehicle NAME LOADER PROGRAM_DIR TIMEOUT: runs the probe program in a new prefix.
try_vehicle() {
    local name=$1 loader=$2 dir=$3 limit=$4
    echo "trying $name: $loader $dir/wine_probe.exe"
    if [ ! -x "$loader" ]; then
        echo "  $loader is not installed"
        return 1
    fi
    if [ ! -f "$dir/wine_probe.exe" ]; then
        echo "  $dir/wine_probe.exe was not built"
        return 1
    fi
    export WINEPREFIX="$state/prefix" WINELOADER="$loader"
    rm -rf "$WINEPREFIX"
    local status=0
    env LC_ALL=$WINE_LOCALE timeout -k 5 "$limit" "$loader" "$dir/wine_probe.exe" >"$state/probe-$name.out" \
        2>"$state/probe-$name.err" </dev/null || status=$?
    end_prefix_processes
    if [ "$status" = 0 ] && grep -q 'probe ran' "$state/probe-$name.out"; then
        return 0
    fi
    echo "  did not run (status $status): $(grep -v '^$' "$state/probe-$name.err" | head -3)"
    rm -rf "$WINEPREFIX"
    return 1
}

if try_vehicle i686 /usr/lib/wine/wine "$i686_dir" 120; then
    vehicle=i686
    loader=/usr/lib/wine/wine
    bin_dir=$i686_dir
elif [ -n "$x86_64_dir" ] && try_vehicle x86_64 /usr/lib/wine/wine64 "$x86_64_dir" 120; then
    vehicle=x86_64
    loader=/usr/lib/wine/wine64
    bin_dir=$x86_64_dir
    echo "NOTE: 32-bit Wine cannot run here; the run-time tests use the 64-bit build of the same"
    echo "      sources under 64-bit Wine. The 32-bit program is checked statically only."
else
    fail "neither 32-bit nor 64-bit Wine can run a program here ($install)"
fi

# Message boxes draw their text with the prefix's UI fonts; map them to a Japanese font.
for font in "MS UI Gothic" "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "MS Gothic" "MS PGothic"; do
    timeout -k 5 60 "$loader" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$font" \
        /t REG_SZ /d IPAGothic /f >/dev/null 2>>"$state/prepare.err" ||
        fail "cannot set the font replacement for $font"
done
end_prefix_processes

cat >"$state/vehicle.env" <<ENV
VEHICLE=$vehicle
WINE_LOADER=$loader
BIN_DIR=$bin_dir
WINEPREFIX=$state/prefix
ENV
echo "PASS: Wine vehicle $vehicle ($loader), programs from $bin_dir"
