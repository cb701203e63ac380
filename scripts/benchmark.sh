#!/bin/bash
# Builds, then prints the benchmark figures (medians over repeated runs) under
# wine64 in a prefix of its own (build-x86_64/bench), so the tests may run
# meanwhile. Not tests: the figures depend on the machine.
#   scripts/benchmark.sh [vbox|service|tray]   (all by default)
#   scripts/benchmark.sh pipe-load              10,000 pipe requests from 8
#                                               clients against the running
#                                               service (some 17 minutes)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
build=$root/build-x86_64
state=$build/bench
export PELORIN_WINE_STATE=$state
stop() {
    "$root/tests/standin/fixture.sh" stop "$build" >/dev/null 2>&1 || true
    "$root/tests/wine/prefix.sh" stop "$build" "$state"
}
trap stop EXIT
"$root/tests/wine/prefix.sh" start "$build" "$state"
if [ "$which" != tray ]; then
    "$root/tests/standin/fixture.sh" start "$build"
fi
if [ "$which" = all ] || [ "$which" = vbox ]; then
    # The service's VirtualBox calls, through the stand-in.
    "$build/wine-run" "$build/bin/vbox_bench.exe" 30 2>&1 | tr -d '\r'
    echo
fi
if [ "$which" = all ] || [ "$which" = service ]; then
    # The service itself: start and stop, a pipe request, idle cost.
    "$build/wine-run" "$build/bin/service_bench.exe" 15 2>&1 | tr -d '\r'
    echo
fi
if [ "$which" = pipe-load ]; then
    # The reliability suite's load case at full size; it prints rate, handles and memory.
    PELORIN_PIPE_LOAD_REQUESTS=10000 "$build/wine-run" "$build/bin/reliability_tests.exe" \
        --gtest_filter='PipeLoadTest.EightClients*' 2>&1 | tr -d '\r'
fi
if [ "$which" = all ] || [ "$which" = tray ]; then
    # One click on the tray icon: destroy the menu, poll, build.
    "$build/wine-run" "$build/bin/tray_click_benchmark.exe" 2>&1 | tr -d '\r'
fi
