#!/bin/bash
# Fails when a shipped program imports a DLL that Windows does not bring:
# the programs are copied alone beside their INI files and must run there.
#   check_imports.sh TEST_BIN [SHIPPED_BIN]
set -u
allowed='^(kernel32|advapi32|user32|gdi32|shell32|ole32|oleaut32|version|wininet|comctl32|msvcrt)\.dll$'
status=0
checked=0
check() {
    local objdump=$1 exe=$2 dll
    [ -f "$exe" ] || return 0
    checked=$((checked + 1))
    while read -r dll; do
        if ! echo "$dll" | tr 'A-Z' 'a-z' | grep -Eq "$allowed"; then
            echo "$exe imports $dll"
            status=1
        fi
    done < <("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
    echo "checked $exe"
}
for exe in pelorin.exe pelorintray.exe; do
    check x86_64-w64-mingw32-objdump "$1/$exe"
    [ -n "${2:-}" ] && check i686-w64-mingw32-objdump "$2/$exe"
done
[ "$checked" -gt 0 ] || { echo "no program found"; exit 1; }
if [ -n "${2:-}" ] && [ ! -f "$2/pelorin.exe" ]; then
    echo "shipped build missing: $2/pelorin.exe"
    exit 1
fi
exit $status
