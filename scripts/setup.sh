#!/bin/bash
# Installs the Debian packages that the build, the tests and the demo need,
# when they are missing. The shipped programs are 32-bit, so Wine's 32-bit
# half (wine32:i386) is installed beside wine64: the tests run both builds.
# That needs a kernel that runs 32-bit programs; on one that cannot, this
# script says so in one line and fails, since the shipped build could not be tested.
set -euo pipefail

# A static i386 ELF program of 84 bytes that exits with 0 (one program
# header, then mov eax,1 / xor ebx,ebx / int 0x80): whether this kernel runs
# 32-bit programs at all, asked before any i386 package is installed.
probe_32bit() {
    local elf
    elf=$(mktemp /tmp/pelorin-i386-probe.XXXXXX)
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$elf"
    printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$elf"
    printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$elf"
    printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$elf"
    printf '\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000' >>"$elf"
    printf '\000\020\000\000\270\001\000\000\000\061\333\315\200\000\000\000' >>"$elf"
    chmod +x "$elf"
    local status=0
    "$elf" 2>/dev/null || status=$?
    rm -f "$elf"
    return $status
}

if ! probe_32bit; then
    echo "setup.sh: this kernel cannot run 32-bit programs (no IA32 emulation), so the shipped 32-bit build cannot be tested here" >&2
    exit 1
fi

packages=(
    cmake make googletest python3
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 wine32:i386 libwine-dev
    xvfb xauth xdotool x11-utils imagemagick
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# Installed is not enough: the 32-bit loader must start.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "setup.sh: Wine's 32-bit loader /usr/lib/wine/wine does not start, so the shipped 32-bit build cannot be tested here" >&2
    exit 1
fi
