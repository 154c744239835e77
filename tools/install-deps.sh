#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds and tests need and the machine lacks.
#   install-deps.sh native   the native program and its tests
#   install-deps.sh all      also the sanitizer and fuzzing builds, and the Windows build and Wine
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib.sh

what=${1:-all}
# locales builds the Shift_JIS locale below.
packages=(cmake make g++ libgtest-dev locales)
if [ "$what" = all ]; then
    # clang and its runtime libraries build the fuzzer.
    packages+=(clang libclang-rt-dev)
fi
install_packages "the native build and its tests" "${packages[@]}"

# A Shift_JIS locale, under which the native program reads with code page 932's lead bytes. The
# character map is not ASCII compatible, so localedef warns and may exit non-zero; the locale
# works all the same.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.sjis'; then
    localedef -f SHIFT_JIS -i ja_JP ja_JP.SJIS 2>/dev/null || true
    if ! locale -a | grep -qix 'ja_JP.sjis'; then
        echo "install-deps: could not build the ja_JP.SJIS locale" >&2
        exit 1
    fi
fi

if [ "$what" = all ]; then
    bash tests/wine/install-deps.sh
fi
