#!/bin/bash
# Installs the Debian packages that the build, the tests and the demo need,
# when they are missing. Never wine32: this kernel cannot run 32-bit programs.
set -euo pipefail
packages=(
    cmake make googletest python3
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 libwine-dev
    xvfb xauth xdotool x11-utils imagemagick
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
