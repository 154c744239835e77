#!/usr/bin/env bash
# Signs the Windows program with Authenticode (SHA-256) through osslsigncode, with the key and
# certificate chain of a PKCS#12 file. The signing time is SOURCE_DATE_EPOCH, so that signing one
# program twice with one certificate gives the same bytes (an RSA signature depends only on what
# it signs); a timestamp from a server, when asked for, makes the result differ on every run.
#   VORKAP_SIGN_PKCS12           the PKCS#12 file (key, code-signing certificate and its chain)
#   VORKAP_SIGN_PASSWORD_FILE    a file holding its password (trailing line ends are ignored)
#   VORKAP_SIGN_TIMESTAMP_URL    optional: an RFC 3161 timestamp server
#   SOURCE_DATE_EPOCH            the signing time, in seconds since 1970
# The password is read from its file by openssl and osslsigncode themselves: it never appears on
# a command line or in the output. A problem ends the script with one line on standard error that
# names it, and OUT.exe is then not written.
# Usage: sign-exe.sh IN.exe OUT.exe
set -euo pipefail

in=$1 out=$2
error() { echo "error: signing: $*" >&2; exit 1; }

p12=${VORKAP_SIGN_PKCS12:-}
password_file=${VORKAP_SIGN_PASSWORD_FILE:-}
[ -n "$p12" ] || error "VORKAP_SIGN_PKCS12 is not set"
[ -n "$password_file" ] || error "VORKAP_SIGN_PKCS12 is set but VORKAP_SIGN_PASSWORD_FILE is not"
[[ ${SOURCE_DATE_EPOCH:-} =~ ^[0-9]+$ ]] || error "SOURCE_DATE_EPOCH is not a time in seconds"
for tool in osslsigncode openssl perl; do
    command -v "$tool" >/dev/null || error "$tool is missing: run tools/install-deps.sh all as root"
done

# check_file VARIABLE PATH: PATH must be a readable file. The build runs in its build folder, so
# a relative path is shown as the file it named there.
check_file() {
    local where=$1 path=$2
    local shown="$path"
    [[ $path = /* ]] || shown="$path (relative to $PWD; give an absolute path)"
    [ -e "$path" ] || error "$where names no such file: $shown"
    [ -f "$path" ] || error "$where is not a file: $shown"
    [ -r "$path" ] || error "$where cannot be read: $shown"
}
check_file VORKAP_SIGN_PKCS12 "$p12"
check_file VORKAP_SIGN_PASSWORD_FILE "$password_file"
[ -s "$password_file" ] || error "VORKAP_SIGN_PASSWORD_FILE is empty: $password_file"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The password as osslsigncode's -readpass takes it (without a UTF-8 byte-order mark and trailing
# CR and LF), handed to openssl through a pipe.
password() { perl -0777 -pe 's/\A\xEF\xBB\xBF//; s/[\r\n]+\z//' "$password_file"; }

# The certificate that belongs to the key. A wrong password fails the MAC check first; a file
# protected with older ciphers (RC2, as some Windows exports are) needs openssl's legacy provider.
read_certificate() {
    password | openssl pkcs12 -in "$p12" -passin stdin -nokeys -clcerts "$@" \
        -out "$work/certificate.pem" 2>"$work/openssl.err"
}
if ! read_certificate; then
    grep -qi 'mac verify' "$work/openssl.err" &&
        error "wrong password in VORKAP_SIGN_PASSWORD_FILE ($password_file) for $p12"
    read_certificate -legacy ||
        error "$p12 is not a PKCS#12 file that openssl can read"
fi
[ -s "$work/certificate.pem" ] || error "$p12 holds no certificate for its key"

# A code-signing certificate names that purpose in its extended key usage; one made for another
# purpose (a web server's, say) is refused here rather than turned into a signature that Windows
# does not accept for programs.
subject=$(openssl x509 -in "$work/certificate.pem" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
usage=$(openssl x509 -in "$work/certificate.pem" -noout -ext extendedKeyUsage 2>/dev/null || true)
[[ $usage = *"Code Signing"* ]] ||
    error "the certificate \"$subject\" in $p12 is not for code signing (its extendedKeyUsage lacks codeSigning)"

arguments=(sign -pkcs12 "$p12" -readpass "$password_file" -h sha256 -time "$SOURCE_DATE_EPOCH")
[ -z "${VORKAP_SIGN_TIMESTAMP_URL:-}" ] || arguments+=(-ts "$VORKAP_SIGN_TIMESTAMP_URL")
if ! osslsigncode "${arguments[@]}" -in "$in" -out "$work/signed.exe" >"$work/osslsigncode.log" 2>&1; then
    reason=$(grep -v -e '^Failed$' -e '^Connecting to' "$work/osslsigncode.log" | grep -m1 . || echo 'no reason given')
    error "osslsigncode could not sign $(basename "$in"): $reason"
fi
mv -f "$work/signed.exe" "$out"
echo "signed $(basename "$out"): \"$subject\", SHA-256, signing time $(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S') UTC${VORKAP_SIGN_TIMESTAMP_URL:+, timestamp from $VORKAP_SIGN_TIMESTAMP_URL}"
