#!/usr/bin/env bash
# Installs what building and testing Perchman needs on a Debian 12 machine
# (and Chromium, for tools/html-check.sh; the test run needs no browser).
# Idempotent and quiet: packages already present are not touched.
set -euo pipefail

packages=(cmake ninja-build mingw-w64 g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-posix
          googletest wine wine64 binutils-mingw-w64-i686 iproute2 python3
          clang libclang-rt-dev ccache wine32:i386)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup: these packages are missing and installing them needs root" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    # 32-bit Wine runs the shipped programs where the machine runs 32-bit
    # code; it is installed everywhere (tools/runs-pe32.sh decides per run).
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    echo "setup: packages installed"
fi
