#!/usr/bin/env bash
# Static checks of the Windows program, needing no Wine: a 32-bit (PE32, i386) console program
# that imports only KERNEL32, USER32, ADVAPI32 (the access rules of notes.ini) and msvcrt (the
# MinGW runtime is linked in), that carries its manifest and version information, and, given
# MAX_BYTES, is no larger than that.
# Usage: check-pe.sh PROGRAM.exe VERSION [MAX_BYTES]
set -euo pipefail
. "$(dirname "$0")/lib.sh"

exe=$1
version=$2
max_bytes=${3:-}
[ -f "$exe" ] || fail "no $exe"
size=$(stat -c %s "$exe")
if [ -n "$max_bytes" ] && [ "$size" -gt "$max_bytes" ]; then
    fail "$exe is $size bytes, more than $max_bytes"
fi
echo "size: $size bytes"

headers=$(objdump -p "$exe") || fail "objdump cannot read $exe"
grep -q 'file format pei-i386' <<<"$headers" || fail "not an i386 PE image"
grep -Eq '^Magic[[:space:]]+010b' <<<"$headers" || fail "not PE32 (optional header magic 010b)"
grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || fail "not a console program"

# DllCharacteristics: ASLR (DYNAMIC_BASE, 0x0040) and DEP (NX_COMPAT, 0x0100) on, and by decision
# not terminal-server aware (TERMINAL_SERVER_AWARE, 0x8000, clear): on a Remote Desktop server
# Windows then gives the program each user's own Windows directory, where SearchPathA also looks
# for notes.ini, instead of sharing one INI file among all users.
flags=$(sed -n 's/^DllCharacteristics[[:space:]]\+\([0-9a-fA-F]\+\)$/\1/p' <<<"$headers")
[ -n "$flags" ] || fail "no DllCharacteristics in the PE header"
(( 0x$flags & 0x0040 )) || fail "DllCharacteristics $flags: DYNAMIC_BASE (ASLR) is not set"
(( 0x$flags & 0x0100 )) || fail "DllCharacteristics $flags: NX_COMPAT (DEP) is not set"
(( !(0x$flags & 0x8000) )) || fail "DllCharacteristics $flags: TERMINAL_SERVER_AWARE is set"
echo "DllCharacteristics: $flags"

# The DLLs of Windows itself that the program imports; anything else would have to be shipped
# with it, or might be missing on some Windows.
allowed=' kernel32.dll user32.dll msvcrt.dll advapi32.dll '
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z')
[ -n "$imports" ] || fail "no import table found"
echo "imports:" $imports
for dll in $imports; do
    case "$allowed" in
        *" $dll "*) ;;
        *) fail "imports $dll, which is not part of Windows" ;;
    esac
done
grep -qx 'kernel32.dll' <<<"$imports" || fail "does not import KERNEL32.dll"
grep -qx 'user32.dll' <<<"$imports" || fail "does not import USER32.dll (MessageBoxA, WinHelpA)"

# The manifest: one only, run as the invoking user, the supported systems listed.
narrow=$(strings -n 6 "$exe")
[ "$(grep -c '<assembly xmlns' <<<"$narrow")" = 1 ] || fail "not exactly one manifest"
grep -q '<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' <<<"$narrow" ||
    fail "manifest lacks requestedExecutionLevel asInvoker"
for id in e2011457-1546-43c5-a5fe-008deee3d3f0 35138b9a-5d96-4fbd-8e2d-a2440225f93a \
          4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 1f676c76-80e1-4239-95bb-83d0f6d0da78 \
          8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "<supportedOS Id=\"{$id}\"/>" <<<"$narrow" || fail "manifest lacks supportedOS $id"
done

# The version resource: each name followed by its value (UTF-16 strings, in resource order).
wide=$(strings -e l -n 3 "$exe")
grep -qx 'VS_VERSION_INFO' <<<"$wide" || fail "no version resource"
expect_after() {
    grep -A1 -x "$1" <<<"$wide" | sed -n 2p | grep -qx "$2" ||
        fail "version resource: $1 is not '$2'"
}
expect_after ProductName Talvenor
expect_after FileVersion "$version"
expect_after ProductVersion "$version"
expect_after OriginalFilename vorkap-setup.exe
grep -A1 -x FileDescription <<<"$wide" | sed -n 2p | grep -q . || fail "no FileDescription"

echo "PASS: PE32 i386 console program, ASLR and DEP on, not terminal-server aware, system imports only, manifest and version resource"
