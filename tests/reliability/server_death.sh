#!/bin/bash
# Runs one case of server_death_tests.exe in a Wine prefix of its own
# (BUILD_DIR/wine-death, or wine-death32 for the shipped build), brought up
# for it and ended after it: a COM server that was killed stays registered in
# the prefix's rpcss until the prefix's wineserver ends, and later
# activations there fail.
#   server_death.sh BUILD_DIR Suite.Case [SHIPPED_BIN]
# With SHIPPED_BIN, the i686 build's test program runs there, under the
# 32-bit loader, against the same 64-bit stand-in server.
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${3:-}" ]; then
    export PELORIN_WINE_STATE=$build/wine-death32 PELORIN_SHIPPED_BIN=$3
    run=$build/wine-run32
    program=$3/server_death_tests.exe
else
    export PELORIN_WINE_STATE=$build/wine-death
    unset PELORIN_SHIPPED_BIN
    run=$build/wine-run
    program=$build/bin/server_death_tests.exe
fi
bash "$here/wine/prefix.sh" start "$build" "$PELORIN_WINE_STATE" || exit 1
status=1
if bash "$here/standin/fixture.sh" start "$build"; then
    "$run" "$program" --gtest_filter="$2" 2>&1 | tr -d '\r'
    status=${PIPESTATUS[0]}
fi
bash "$here/wine/prefix.sh" stop "$build" "$PELORIN_WINE_STATE"
exit "$status"
