#!/bin/bash
# The tray click benchmark: prints what one click on the tray icon costs
# (destroy the menu, poll the services, build the menu) for 1, 10 and 100
# watched services, beside the floor of bare service queries. It runs in a
# Wine prefix of its own (build-x86_64/bench), so the tests may run meanwhile.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
build=$root/build-x86_64
state=$build/bench
export PELORIN_WINE_STATE=$state
trap '"$root/tests/wine/prefix.sh" stop "$build" "$state"' EXIT
"$root/tests/wine/prefix.sh" start "$build" "$state"
"$build/wine-run" "$build/bin/tray_click_benchmark.exe" 2>&1 | tr -d '\r'
