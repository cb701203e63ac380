#!/bin/bash
# Makes both release packages from the two builds, unpacks each and checks
# what it holds: exactly the two programs, the two example INI files, the
# user guide and the licence; the programs byte for byte the ones just built,
# with the release's version in their version blocks and the package's
# architecture; the text files as in the sources, with CRLF line ends.
#   check_packages.sh SOURCE_DIR TEST_BUILD SHIPPED_BIN UPDATE_HOST
set -u
source=$1
host=$4
build64=$(cd "$2" && pwd)
build32=$(cd "$3/.." 2>/dev/null && pwd) || { echo "shipped build missing: $3"; exit 1; }
out=$build64/test-artifacts/packages
rm -rf "$out"
mkdir -p "$out"
status=0
fail() { echo "FAIL: $*"; status=1; }

part() { sed -n "s/^#define PELORIN_VERSION_$1 \([0-9]*\).*/\1/p" "$source/common/version.h"; }
version="$(part MAJOR).$(part MINOR).$(part PATCH)"
full="$version.$(part BUILD)"
echo "release version $version (version blocks $full)"

expected=$(printf '%s\n' LICENSE.txt pelorin.exe pelorin.ini pelorintray.exe pelorintray.ini user-guide.md)
check_package() {
    local build=$1 system=$2 bits=$3
    local name=pelorin-$version-$system
    (cd "$build" && cpack -B "$out" >"$out/cpack-$system.log" 2>&1) || { fail "cpack in $build"; return; }
    local zip=$out/$name.zip
    [ -f "$zip" ] || { fail "no $name.zip"; return; }
    mkdir -p "$out/$system"
    (cd "$out/$system" && cmake -E tar xf "$zip") || { fail "unpacking $zip"; return; }
    local folder=$out/$system/$name
    local found
    found=$(cd "$folder" 2>/dev/null && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
    [ "$found" = "$expected" ] || fail "$name.zip holds:"$'\n'"$found"
    for exe in pelorin.exe pelorintray.exe; do
        cmp -s "$folder/$exe" "$build/bin/$exe" || fail "$name/$exe is not the one in $build/bin"
    done
    local info
    local windows="Z:$(echo "$folder" | tr / '\\')"
    info=$("$build64/wine-run" "$build64/bin/fileinfo.exe" "$windows\\pelorin.exe" "$windows\\pelorintray.exe" | tr -d '\r')
    echo "$info"
    echo "$info" | grep -q "pelorin.exe product=$full file=$full bits=$bits\$" || fail "$name/pelorin.exe version block"
    echo "$info" | grep -q "pelorintray.exe product=$full file=0\.1\.4\.[0-9]* bits=$bits\$" || fail "$name/pelorintray.exe version block"
    # The tray asks the update host the build named; the manifests carry the release too.
    # (It connects to the host and requests the path: two strings.)
    grep -q "$host" "$folder/pelorintray.exe" && grep -q "/updatecheck/pelorin" "$folder/pelorintray.exe" ||
        fail "$name/pelorintray.exe asks no http://$host"
    grep -q "name=\"Pelorin.Service\" version=\"$full\"" "$folder/pelorin.exe" || fail "$name/pelorin.exe manifest version"
    grep -q "name=\"Pelorin.TrayHelper\" version=\"0\.1\.4\.$(part BUILD)\"" "$folder/pelorintray.exe" ||
        fail "$name/pelorintray.exe manifest version"
    local text
    for text in packaging/pelorin.ini packaging/pelorintray.ini docs/user-guide.md LICENSE.txt; do
        sed 's/$/\r/' "$source/$text" | cmp -s - "$folder/$(basename "$text")" || fail "$name/$(basename "$text") is not $text with CRLF line ends"
    done
    echo "checked $name.zip"
}
check_package "$build32" win32 32
check_package "$build64" win64 64
exit $status
