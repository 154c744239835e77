#!/usr/bin/env bash
# Packs the release archive from the built program, the guide and the deployment kit:
# vorkap-setup.exe, README.ja.md, install.cmd, uninstall.cmd, detect.ps1 (the kit of deploy/, with
# CR LF line ends, see stage_kit in tools/lib.sh) and SHA256SUMS (in `sha256sum` format, so
# `sha256sum -c SHA256SUMS` passes in the unpacked folder), always in that order. The bytes
# depend only on the inputs and on SOURCE_DATE_EPOCH: every file gets mode 0644 and the time
# SOURCE_DATE_EPOCH (taken from the last commit when not given; 1980-01-01, the earliest time a
# zip can hold, outside a git checkout), zip runs in UTC and stores no extra attributes (-X: no
# owner, no extended times) and no directory entries (-D).
# When VORKAP_SIGN_PKCS12 or VORKAP_SIGN_PASSWORD_FILE is set, the archive holds the program
# signed by tools/sign-exe.sh, with SOURCE_DATE_EPOCH as its signing time; without them, the
# program as built. Beside the archive, OUT.zip.sha256 holds the archive's own SHA-256 in
# `sha256sum` format (hash, two blanks, the archive's file name), printed too, for publishing apart
# from the archive: SHA256SUMS travels inside it and shows only corruption. A failed run leaves
# neither OUT.zip nor OUT.zip.sha256, not even ones from an earlier run.
# Usage: release-zip.sh PROGRAM.exe README.ja.md OUT.zip SOURCE_DIR (the kit is SOURCE_DIR/deploy)
set -euo pipefail
. "$(dirname "$0")/lib.sh"

exe=$1 guide=$2 out=$3 source=$4
command -v zip >/dev/null || { echo "zip is missing: run tools/install-deps.sh all as root" >&2; exit 1; }
rm -f "$out" "$out.part" "$out.sha256" "$out.sha256.part"

zip_floor=315532800
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    # Only a checkout whose top is the source folder itself counts; a copy of the sources that
    # lies inside another repository must not take that repository's time.
    top=$(git -C "$source" rev-parse --show-toplevel 2>/dev/null || true)
    if [ -n "$top" ] && [ "$(realpath "$top")" = "$(realpath "$source")" ]; then
        SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
    else
        echo "note: $source is not a git checkout of its own; files dated 1980-01-01" >&2
        SOURCE_DATE_EPOCH=$zip_floor
    fi
fi
[ "$SOURCE_DATE_EPOCH" -ge "$zip_floor" ] || SOURCE_DATE_EPOCH=$zip_floor

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
files=(vorkap-setup.exe README.ja.md "${KIT_FILES[@]}" SHA256SUMS)
if [ -n "${VORKAP_SIGN_PKCS12:-}${VORKAP_SIGN_PASSWORD_FILE:-}" ]; then
    SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH bash "$(dirname "$0")/sign-exe.sh" "$exe" "$stage/vorkap-setup.exe"
elif [ -n "${VORKAP_SIGN_TIMESTAMP_URL:-}" ]; then
    echo "error: signing: VORKAP_SIGN_TIMESTAMP_URL is set but VORKAP_SIGN_PKCS12 is not" >&2
    exit 1
else
    cp "$exe" "$stage/vorkap-setup.exe"
fi
cp "$guide" "$stage/README.ja.md"
stage_kit "$source" "$stage"
(cd "$stage" && sha256sum "${files[@]:0:${#files[@]}-1}" >SHA256SUMS)
chmod 0644 "${files[@]/#/$stage/}"
touch -d "@$SOURCE_DATE_EPOCH" "${files[@]/#/$stage/}"

mkdir -p "$(dirname "$out")"
rm -f "$stage/out.zip"
(cd "$stage" && TZ=UTC zip -X -D -q out.zip "${files[@]}")
# Moved in two steps so that OUT.zip, when it appears, is whole; its hash follows it the same way,
# so a hash file is never beside any other archive.
hash=$(sha256sum <"$stage/out.zip")
printf '%s  %s\n' "${hash%% *}" "$(basename "$out")" >"$stage/out.sha256"
mv -f "$stage/out.zip" "$out.part"
mv -f "$stage/out.sha256" "$out.sha256.part"
mv -f "$out.part" "$out"
mv -f "$out.sha256.part" "$out.sha256"
echo "$out ($(stat -c %s "$out") bytes, files dated $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S') UTC)"
echo "$out.sha256, to publish apart from the archive:"
cat "$out.sha256"
