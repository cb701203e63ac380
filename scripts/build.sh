#!/bin/bash
# Builds both architectures, each with its test programs: build-i686 (what
# ships: the programs in build-i686/bin) and build-x86_64 (the same sources
# for 64-bit Windows), whose CTest runs the tests of both under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)
cmake -S "$root" -B "$root/build-i686" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPELORIN_BUILD_TESTS=ON >/dev/null
cmake --build "$root/build-i686" -j "$jobs"
cmake -S "$root" -B "$root/build-x86_64" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPELORIN_BUILD_TESTS=ON -DPELORIN_SHIPPED_BIN="$root/build-i686/bin" >/dev/null
cmake --build "$root/build-x86_64" -j "$jobs"
