#!/bin/bash
# Builds, then prints the benchmark figures (medians over repeated runs) under
# wine64 in a prefix of their own. Not tests: the figures depend on the machine.
#   scripts/bench.sh [runs]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
build=$root/build-x86_64
state=$build/bench-wine
export PELORIN_WINE_STATE=$state
stop() {
    "$root/tests/standin/fixture.sh" stop "$build" >/dev/null 2>&1 || true
    "$root/tests/wine/prefix.sh" stop "$build" "$state"
}
trap stop EXIT
"$root/tests/wine/prefix.sh" start "$build" "$state"
"$root/tests/standin/fixture.sh" start "$build"
"$build/wine-run" "$build/bin/vbox_bench.exe" "${1:-50}" | tr -d '\r'
