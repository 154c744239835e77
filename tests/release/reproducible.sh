#!/usr/bin/env bash
# The release command run twice on copies of the sources in two scratch folders (different
# paths, one with spaces; different file times, time zones and umasks; one after the other)
# must give a byte-identical vorkap-setup.exe, a byte-identical zip and a byte-identical
# <zip>.sha256 beside it, which must name the zip and hold its SHA-256. The zip must then hold
# exactly vorkap-setup.exe, README.ja.md, the deployment kit (install.cmd, uninstall.cmd,
# detect.ps1) and SHA256SUMS, in that order, SHA256SUMS must verify inside the unpacked archive,
# the kit's files must be those of deploy/ in ASCII with CR LF line ends (no bare LF), and the
# exe must be the stripped program that passes the PE checks; the release build must build no
# test program.
# Then the same two trees are built and released again with signing (a throwaway root and code-signing
# certificate made here): the signed exe and zip must again be byte-identical, the signature must
# verify against the throwaway root with SHA-256 and the commit's time as its signing time, and
# the signed exe must pass the PE checks and, with the Wine state of the win32 build, register.
# A wrong password, a missing file or a certificate not for code signing must stop the release
# with its one-line message and leave no zip and no hash file; the password must appear in no
# output.
# Usage: reproducible.sh SOURCE_DIR VERSION [WINE_STATE]
set -euo pipefail

source_dir=$(realpath "$1")
version=$2
wine_state=${3:+$(realpath "$3")}
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
unset SOURCE_DATE_EPOCH VORKAP_SIGN_PKCS12 VORKAP_SIGN_PASSWORD_FILE VORKAP_SIGN_TIMESTAMP_URL
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

for built in build/release/vorkap-setup.exe "dist/$zip_name" "dist/$zip_name.sha256"; do
    [ -f "$first/$built" ] || fail "build 1 made no $built"
    if ! cmp "$first/$built" "$second/$built"; then
        cmp -l "$first/$built" "$second/$built" | head -20 >&2 || true
        fail "$built differs between the two builds"
    fi
    echo "identical: $built ($(stat -c %s "$first/$built") bytes, sha256 $(sha256sum <"$first/$built" | cut -c1-16)...)"
done

exe="$first/build/release/vorkap-setup.exe"
zip="$first/dist/$zip_name"

# check_hash_file ZIP: ZIP.sha256 is one line, the zip's SHA-256, two blanks and its file name.
check_hash_file() {
    local expected
    expected="$(sha256sum <"$1" | cut -d' ' -f1)  $(basename "$1")"
    [ "$(cat "$1.sha256")" = "$expected" ] && [ "$(wc -l <"$1.sha256")" = 1 ] ||
        fail "$1.sha256 holds '$(cat "$1.sha256")', expected '$expected'"
}
check_hash_file "$first/dist/$zip_name"
grep -qxF "$(cat "$first/dist/$zip_name.sha256")" "$scratch/build-1.log" ||
    fail "the release command does not print the zip's hash line"

# check_zip ZIP DIR: the zip holds the six files in order; unpacked into DIR, SHA256SUMS verifies.
check_zip() {
    local listing
    listing=$(unzip -Z1 "$1" | tr '\n' ' ')
    [ "$listing" = "vorkap-setup.exe README.ja.md install.cmd uninstall.cmd detect.ps1 SHA256SUMS " ] ||
        fail "$(basename "$1") holds: $listing"
    mkdir "$2"
    (cd "$2" && unzip -q "$1" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not verify"
}
check_zip "$zip" "$scratch/unpacked"
cmp "$scratch/unpacked/vorkap-setup.exe" "$exe" || fail "the zip's exe is not the built one"
cmp "$scratch/unpacked/README.ja.md" "$source_dir/README.ja.md" || fail "the zip's guide is not README.ja.md"
grep -qF "$zip_name" "$scratch/unpacked/README.ja.md" || fail "the guide does not name $zip_name"
for kit_file in install.cmd uninstall.cmd detect.ps1; do
    shipped="$scratch/unpacked/$kit_file"
    LC_ALL=C awk '!/\r$/ { bare++ } END { exit bare > 0 }' "$shipped" &&
        [ "$(tail -c 2 "$shipped" | od -An -c | tr -d ' ')" = '\r\n' ] ||
        fail "$kit_file in the zip has a line that does not end with CR LF"
    ! LC_ALL=C grep -q '[^[:print:][:space:]]' "$shipped" || fail "$kit_file in the zip is not ASCII"
    tr -d '\r' <"$shipped" | cmp -s - "$source_dir/deploy/$kit_file" ||
        fail "$kit_file in the zip differs from deploy/$kit_file in more than its line ends"
done

objdump -t "$exe" | grep -qx 'no symbols' || fail "the exe has a symbol table (not stripped)"
! objdump -h "$exe" | grep -q '\.debug' || fail "the exe has debugging sections"
bash "$source_dir/tests/wine/check-pe.sh" "$exe" "$version" 368640
dates=$(unzip -Z -T "$zip" | awk '/^-/ { print substr($7, 1, 8) }' | sort -u)
expected_date=$(TZ=UTC date -d "@$commit_time" +%Y%m%d)
[ "$dates" = "$expected_date" ] || fail "the zip's files are dated $dates, not $expected_date (the commit's date)"

tests=$(find "$first/build/release" -path '*/CMakeFiles' -prune -o -name '*.exe' ! -path "$exe" -print | head -5)
[ -z "$tests" ] || fail "the release build built other programs: $tests"

echo "PASS: two release builds are byte-identical; $zip_name holds the stripped program, the guide,"
echo "      the kit with CR LF line ends and SHA256SUMS, and $zip_name.sha256 beside it holds its SHA-256"

# A throwaway root, a code-signing certificate it issued and one for a web server, each in a
# PKCS#12 file with the root, under a password that no output may show.
pki="$scratch/pki"
mkdir "$pki"
password='throwaway pass 7Qx!'
printf '%s\n' "$password" >"$pki/password"
printf 'not the password\n' >"$pki/wrong-password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$pki/root.key" -out "$pki/root.pem" -days 36500 \
    -subj '/CN=Throwaway Root' -addext 'basicConstraints=critical,CA:TRUE' \
    -addext 'keyUsage=critical,keyCertSign' 2>/dev/null
serial=1
for purpose in codeSigning serverAuth; do
    serial=$((serial + 1))
    openssl req -new -newkey rsa:2048 -nodes -keyout "$pki/$purpose.key" -out "$pki/$purpose.csr" \
        -subj "/CN=Throwaway $purpose" 2>/dev/null
    printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$purpose" >"$pki/$purpose.ext"
    openssl x509 -req -in "$pki/$purpose.csr" -CA "$pki/root.pem" -CAkey "$pki/root.key" \
        -set_serial "$serial" -days 36500 \
        -extfile "$pki/$purpose.ext" -out "$pki/$purpose.pem" 2>/dev/null
    openssl pkcs12 -export -inkey "$pki/$purpose.key" -in "$pki/$purpose.pem" \
        -certfile "$pki/root.pem" -passout "file:$pki/password" -out "$pki/$purpose.p12"
done
export VORKAP_SIGN_PKCS12="$pki/codeSigning.p12" VORKAP_SIGN_PASSWORD_FILE="$pki/password"

# The first signed release runs openssl and osslsigncode through wrappers that log their
# command lines, where the password must not appear.
mkdir "$scratch/bin"
for tool in openssl osslsigncode; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\nexec %s "$@"\n' "$tool" "$scratch/command-lines.log" \
        "$(command -v "$tool")" >"$scratch/bin/$tool"
    chmod +x "$scratch/bin/$tool"
done

cp "$zip" "$scratch/unsigned.zip"
cp "$zip.sha256" "$scratch/unsigned.zip.sha256"
mkdir "$scratch/unsigned"
cp "$exe" "$scratch/unsigned/vorkap-setup.exe"
exe="$scratch/unsigned/vorkap-setup.exe"
# Whole builds again, from nothing.
rm -rf "$first/build" "$first/dist" "$second/build" "$second/dist"
echo "signed release 1 in $first"
(cd "$first" && umask 022 && PATH="$scratch/bin:$PATH" TZ=UTC cmake --workflow --preset release) \
    >"$scratch/signed-1.log" 2>&1 ||
    { cat "$scratch/signed-1.log"; fail "signed release 1 failed"; }
sleep 1
echo "signed release 2 in $second"
(cd "$second" && umask 077 && TZ=Asia/Tokyo cmake --workflow --preset release) >"$scratch/signed-2.log" 2>&1 ||
    { cat "$scratch/signed-2.log"; fail "signed release 2 failed"; }
cmp "$first/dist/$zip_name" "$second/dist/$zip_name" || fail "the signed zip differs between the two builds"
cmp "$first/dist/$zip_name.sha256" "$second/dist/$zip_name.sha256" ||
    fail "the signed zip's hash file differs between the two builds"
check_hash_file "$first/dist/$zip_name"
check_zip "$first/dist/$zip_name" "$scratch/signed-1"
check_zip "$second/dist/$zip_name" "$scratch/signed-2"
signed="$scratch/signed-1/vorkap-setup.exe"
cmp "$signed" "$scratch/signed-2/vorkap-setup.exe" || fail "the signed exe differs between the two builds"
echo "identical: signed $zip_name ($(stat -c %s "$first/dist/$zip_name") bytes), signed exe ($(stat -c %s "$signed") bytes)"
! cmp -s "$signed" "$exe" || fail "the signed release holds the unsigned exe"

osslsigncode verify -CAfile "$pki/root.pem" -in "$signed" >"$scratch/verify.log" 2>&1 ||
    { cat "$scratch/verify.log"; fail "the signature does not verify against the throwaway root"; }
grep -Eq '^Message digest algorithm *: SHA256' "$scratch/verify.log" || fail "the signature is not SHA-256"
signing_time=$(sed -n 's/^[[:space:]]*Signing time: //p' "$scratch/verify.log")
[ "$signing_time" = "$(TZ=UTC date -d "@$commit_time" '+%b %e %H:%M:%S %Y GMT')" ] ||
    fail "signing time $signing_time is not the commit's time"
bash "$source_dir/tests/wine/check-pe.sh" "$signed" "$version" 368640

# The failures, through the packing step as the build runs it, each over a zip and its hash file
# left by an earlier release: one line on standard error that matches the pattern, and neither
# file left.
pack_failing() {
    local expected=$1
    shift
    cp "$scratch/unsigned.zip" "$scratch/old.zip"
    cp "$scratch/unsigned.zip.sha256" "$scratch/old.zip.sha256"
    if env "$@" bash "$first/tools/release-zip.sh" "$exe" "$first/README.ja.md" "$scratch/old.zip" "$first" \
        >"$scratch/case.out" 2>"$scratch/case.err"; then
        fail "the release was made with $*"
    fi
    # shellcheck disable=SC2053 # the expected message is a pattern
    [[ $(cat "$scratch/case.err") == $expected ]] ||
        fail "with $*: the message is '$(cat "$scratch/case.err")', expected '$expected'"
    local left
    for left in old.zip old.zip.part old.zip.sha256 old.zip.sha256.part; do
        [ ! -e "$scratch/$left" ] || fail "with $*: $left was left"
    done
}
pack_failing "error: signing: VORKAP_SIGN_PKCS12 names no such file: $pki/missing.p12" \
    VORKAP_SIGN_PKCS12="$pki/missing.p12"
pack_failing "error: signing: VORKAP_SIGN_PASSWORD_FILE names no such file: $pki/missing" \
    VORKAP_SIGN_PASSWORD_FILE="$pki/missing"
pack_failing "error: signing: VORKAP_SIGN_PKCS12 is set but VORKAP_SIGN_PASSWORD_FILE is not" \
    -u VORKAP_SIGN_PASSWORD_FILE
pack_failing "error: signing: VORKAP_SIGN_TIMESTAMP_URL is set but VORKAP_SIGN_PKCS12 is not" \
    -u VORKAP_SIGN_PKCS12 -u VORKAP_SIGN_PASSWORD_FILE VORKAP_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/
pack_failing "error: signing: $pki/password is not a PKCS#12 file that openssl can read" \
    VORKAP_SIGN_PKCS12="$pki/password"
pack_failing "error: signing: the certificate \"CN=Throwaway serverAuth\" in $pki/serverAuth.p12 is not for code signing (its extendedKeyUsage lacks codeSigning)" \
    VORKAP_SIGN_PKCS12="$pki/serverAuth.p12"
# osslsigncode's reason for an unreachable timestamp server differs between its versions.
pack_failing "error: signing: osslsigncode could not sign vorkap-setup.exe: *127.0.0.1:9*" \
    VORKAP_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/

# A wrong password, through the release command.
(cd "$first" && VORKAP_SIGN_PASSWORD_FILE="$pki/wrong-password" cmake --workflow --preset release) \
    >"$scratch/wrong-password.log" 2>&1 && fail "the release was made with a wrong password"
grep -qFx "error: signing: wrong password in VORKAP_SIGN_PASSWORD_FILE ($pki/wrong-password) for $pki/codeSigning.p12" \
    "$scratch/wrong-password.log" || { cat "$scratch/wrong-password.log"; fail "no message for the wrong password"; }
[ -z "$(ls -A "$first/dist")" ] || fail "a wrong password left in dist/: $(ls -A "$first/dist")"
grep -q ' -readpass ' "$scratch/command-lines.log" || fail "osslsigncode was not run through its wrapper"
! grep -qF "$password" "$scratch"/*.log || fail "the password appears in the output or on a command line"

# The signed program registers under Wine. Where only 64-bit Wine runs, the 64-bit build of the
# same sources is signed by the same script and run instead.
if [ -n "$wine_state" ]; then
    # shellcheck source=tests/wine/lib.sh
    . "$source_dir/tests/wine/lib.sh"
    load_state "$wine_state"
    unset DISPLAY
    dir="$STATE/runs/release-signed"
    rm -rf "$dir" && mkdir -p "$dir/notes" "$dir/out"
    if [ "$VEHICLE" = i686 ]; then
        cp "$signed" "$dir/notes/vorkap-setup.exe"
    else
        echo "NOTE: 32-bit Wine cannot run here; the signed 64-bit build runs instead"
        SOURCE_DATE_EPOCH=$commit_time bash "$source_dir/tools/sign-exe.sh" "$BIN_DIR/vorkap-setup.exe" \
            "$dir/notes/vorkap-setup.exe"
    fi
    printf '[Notes]\r\nVIEWEXP5=Tabular Text,0,_TabText,,.TXT,,1,\r\n' >"$dir/notes/notes.ini"
    run_windows_program "$dir/out" "$dir/notes/vorkap-setup.exe" /I
    [ "$STATUS" = 0 ] || fail "the signed vorkap-setup.exe /I ended with $STATUS"
    expect_stdout "$dir/out" "$TEXT_REGISTERED"
    expect_key "$dir/notes/notes.ini" Notes VIEWEXP6 "$ENTRY"
    echo "the signed program registered under Wine ($VEHICLE)"
else
    echo "NOTE: no Wine state given: the signed program is not run"
fi
echo "PASS: signed releases are byte-identical and verify; failures stop the release with one line and no zip"
