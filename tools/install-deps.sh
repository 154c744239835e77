#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds and tests need and the machine lacks.
#   install-deps.sh native   the native program and its tests
#   install-deps.sh all      also the sanitizer and fuzzing builds, and the Windows build and Wine
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

what=${1:-all}
# locales builds the Shift_JIS locale below; e2fsprogs and mount make and mount the file systems
# of the file-system tests, and acl's setfacl gives their notes.ini an access list.
packages=(cmake make g++ libgtest-dev locales e2fsprogs mount acl)
if [ "$what" = all ]; then
    # clang and its runtime libraries build the fuzzer.
    packages+=(clang libclang-rt-dev)
fi
install_packages "the native build and its tests" "${packages[@]}"

# A Shift_JIS locale, under which the native program reads with code page 932's lead bytes.
ensure_sjis_locale

if [ "$what" = all ]; then
    bash tests/wine/install-deps.sh
fi
