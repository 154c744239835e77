#!/usr/bin/env bash
# Installs, from Debian's packages, what the builds and tests need and the machine lacks.
#   install-deps.sh native   the native program and its tests
#   install-deps.sh all      also the sanitizer, fuzzing and Windows builds and Wine
set -euo pipefail

what=${1:-all}
packages=(cmake make g++ libgtest-dev libbenchmark-dev locales)
if [ "$what" = all ]; then
  packages+=(clang libclang-rt-dev util-linux procps)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# A Shift_JIS locale, under which the native program reads with code page 932's lead bytes. The
# character map is not ASCII compatible, so localedef warns and may exit non-zero; the locale
# works all the same.
if ! locale -a 2>/dev/null | grep -qix 'ja_JP.sjis'; then
  localedef -f SHIFT_JIS -i ja_JP ja_JP.SJIS 2>/dev/null || true
  locale -a | grep -qix 'ja_JP.sjis' || { echo "could not build the ja_JP.SJIS locale" >&2; exit 1; }
fi

if [ "$what" = all ] && [ -x tests/wine/install-deps.sh ]; then
  bash tests/wine/install-deps.sh
fi
