#!/bin/bash
# Makes the two release packages from the builds that scripts/build.sh made,
# into packages/ at the top of the repository, and lists what each holds:
#   pelorin-<version>-win32.zip   from build-i686 (the shipped 32-bit programs)
#   pelorin-<version>-win64.zip   from build-x86_64 (the same sources, 64-bit)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/packages
rm -rf "$out"
mkdir -p "$out"
for build in build-i686 build-x86_64; do
    (cd "$root/$build" && cpack -B "$out" >/dev/null)
done
rm -rf "$out/_CPack_Packages"
for zip in "$out"/*.zip; do
    echo "$zip"
    cmake -E tar tvf "$zip" | awk '{ printf "    %9s  %s\n", $5, $9 }'
done
