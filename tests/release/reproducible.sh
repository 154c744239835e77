#!/usr/bin/env bash
# The release command run twice on copies of the sources in two scratch folders (different
# paths, one with spaces; different file times, time zones and umasks; one after the other)
# must give a byte-identical vorkap-setup.exe and a byte-identical zip. The zip must then hold
# exactly vorkap-setup.exe, README.ja.md and SHA256SUMS, in that order, SHA256SUMS must verify
# inside the unpacked archive, and the exe must be the stripped program that passes the PE
# checks; the release build must build no test program.
# Usage: reproducible.sh SOURCE_DIR VERSION
set -euo pipefail

source_dir=$(realpath "$1")
version=$2
zip_name=vorkap-setup-$version-win32.zip
fail() { echo "FAIL: $*" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
first="$scratch/a/src"
second="$scratch/second copy/vorkap src"

# copy_sources DEST: the files of the source tree as they are now (committed or not), without
# build output.
copy_sources() {
    mkdir -p "$1"
    if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
        # Files deleted but not yet committed are still listed: skip them.
        git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
            tar -C "$source_dir" --null -T - --ignore-failed-read -cf - 2>/dev/null | tar -C "$1" -xf -
    else
        tar -C "$source_dir" --exclude=./build --exclude=./dist -cf - . | tar -C "$1" -xf -
    fi
}

# Each copy becomes a checkout of its own whose one commit has the time of the sources' last
# commit, so the release command takes its time from git as it does in the real checkout. The
# builds see no SOURCE_DATE_EPOCH: the linker would take its time stamp from it and hide a
# missing flag.
commit_time=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null || echo 1000000000)
unset SOURCE_DATE_EPOCH
commit_copy() {
    git -C "$1" init -q
    git -C "$1" add -A
    GIT_COMMITTER_DATE="@$commit_time +0000" GIT_AUTHOR_DATE="@$commit_time +0000" \
        git -C "$1" -c user.name=release-test -c user.email=release-test@localhost commit -q -m copy
}

copy_sources "$first"
copy_sources "$second"
commit_copy "$first"
commit_copy "$second"
find "$second" -exec touch -h -d '2001-02-03 04:05:06' {} +

echo "release build 1 in $first"
(cd "$first" && umask 022 && TZ=UTC cmake --workflow --preset release) >"$scratch/build-1.log" 2>&1 ||
    { cat "$scratch/build-1.log"; fail "release build 1 failed"; }
sleep 1
echo "release build 2 in $second"
(cd "$second" && umask 077 && TZ=Asia/Tokyo cmake --workflow --preset release) >"$scratch/build-2.log" 2>&1 ||
    { cat "$scratch/build-2.log"; fail "release build 2 failed"; }

for built in build/release/vorkap-setup.exe "dist/$zip_name"; do
    [ -f "$first/$built" ] || fail "build 1 made no $built"
    if ! cmp "$first/$built" "$second/$built"; then
        cmp -l "$first/$built" "$second/$built" | head -20 >&2 || true
        fail "$built differs between the two builds"
    fi
    echo "identical: $built ($(stat -c %s "$first/$built") bytes, sha256 $(sha256sum <"$first/$built" | cut -c1-16)...)"
done

exe="$first/build/release/vorkap-setup.exe"
zip="$first/dist/$zip_name"

listing=$(unzip -Z1 "$zip" | tr '\n' ' ')
[ "$listing" = "vorkap-setup.exe README.ja.md SHA256SUMS " ] || fail "the zip holds: $listing"
mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && unzip -q "$zip" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not verify"
cmp "$scratch/unpacked/vorkap-setup.exe" "$exe" || fail "the zip's exe is not the built one"
cmp "$scratch/unpacked/README.ja.md" "$source_dir/README.ja.md" || fail "the zip's guide is not README.ja.md"
grep -qF "$zip_name" "$scratch/unpacked/README.ja.md" || fail "the guide does not name $zip_name"

objdump -t "$exe" | grep -qx 'no symbols' || fail "the exe has a symbol table (not stripped)"
! objdump -h "$exe" | grep -q '\.debug' || fail "the exe has debugging sections"
bash "$source_dir/tests/wine/check-pe.sh" "$exe" "$version"
dates=$(unzip -Z -T "$zip" | awk '/^-/ { print substr($7, 1, 8) }' | sort -u)
expected_date=$(TZ=UTC date -d "@$commit_time" +%Y%m%d)
[ "$dates" = "$expected_date" ] || fail "the zip's files are dated $dates, not $expected_date (the commit's date)"

tests=$(find "$first/build/release" -path '*/CMakeFiles' -prune -o -name '*.exe' ! -path "$exe" -print | head -5)
[ -z "$tests" ] || fail "the release build built other programs: $tests"

echo "PASS: two release builds are byte-identical; $zip_name holds the stripped program, the guide and SHA256SUMS"
