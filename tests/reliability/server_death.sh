#!/bin/bash
# Runs one case of server_death_tests.exe in a Wine prefix of its own
# (BUILD_DIR/wine-death), brought up for it and ended after it: a COM server
# that was killed stays registered in the prefix's rpcss until the prefix's
# wineserver ends, and later activations there fail.
#   server_death.sh BUILD_DIR Suite.Case
set -u
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")/.." && pwd)
export PELORIN_WINE_STATE=$build/wine-death
bash "$here/wine/prefix.sh" start "$build" "$PELORIN_WINE_STATE" || exit 1
status=1
if bash "$here/standin/fixture.sh" start "$build"; then
    "$build/wine-run" "$build/bin/server_death_tests.exe" --gtest_filter="$2" 2>&1 | tr -d '\r'
    status=${PIPESTATUS[0]}
fi
bash "$here/wine/prefix.sh" stop "$build" "$PELORIN_WINE_STATE"
exit "$status"
