#!/bin/bash
# Builds, then prints the benchmark figures (medians over repeated runs) under
# Wine in prefixes of their own (build-x86_64/bench, and bench32 for the
# shipped i686 build), so the tests may run meanwhile. Not tests: the figures
# depend on the machine.
#   scripts/benchmark.sh [vbox|service|tray]   (all by default; service shows
#                                               both builds side by side, tray
#                                               one after the other)
#   scripts/benchmark.sh pipe-load              10,000 pipe requests from 8
#                                               clients against the running
#                                               service (some 6 minutes)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
which=${1:-all}
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
build=$root/build-x86_64
shipped=$root/build-i686/bin
state=$build/bench
export PELORIN_WINE_STATE=$state
stop() {
    "$root/tests/standin/fixture.sh" stop "$build" >/dev/null 2>&1 || true
    "$root/tests/wine/prefix.sh" stop "$build" "$state"
    PELORIN_WINE_STATE=$build/bench32 "$root/tests/standin/fixture.sh" stop "$build" >/dev/null 2>&1 || true
    "$root/tests/wine/prefix.sh" stop "$build" "$build/bench32"
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
    # The service itself: start and stop, a pipe request, idle cost; the
    # x86_64 build here, then the shipped i686 build (its service and its
    # 32-bit clients against the same 64-bit stand-in server) in a prefix of
    # its own, printed side by side.
    "$build/wine-run" "$build/bin/service_bench.exe" 15 2>&1 | tr -d '\r' >"$state/service-x86_64.txt"
    (
        export PELORIN_WINE_STATE=$build/bench32 PELORIN_SHIPPED_BIN=$shipped
        "$root/tests/wine/prefix.sh" start "$build" "$PELORIN_WINE_STATE"
        "$root/tests/standin/fixture.sh" start "$build"
        "$build/wine-run32" "$shipped/service_bench.exe" 15 2>&1 | tr -d '\r' >"$state/service-i686.txt"
    )
    # Lines are "  <label, 52 columns> <figure> <unit> [(median of N)]".
    awk 'NR == FNR { if (FNR > 1) shipped[FNR] = $0; next }
         FNR == 1 { print; printf "  %-52s %11s    %14s\n", "", "x86_64", "i686 (shipped)"; next }
         { label = substr($0, 3, 52); split(substr($0, 55), a, " "); split(substr(shipped[FNR], 55), b, " ")
           printf "  %-52s %11s %-2s %11s %-2s\n", label, a[1], a[2], b[1], b[2] }' \
        "$state/service-i686.txt" "$state/service-x86_64.txt"
    echo
fi
if [ "$which" = pipe-load ]; then
    # The reliability suite's load case at full size; it prints rate, handles and memory.
    PELORIN_PIPE_LOAD_REQUESTS=10000 "$build/wine-run" "$build/bin/reliability_tests.exe" \
        --gtest_filter='PipeLoadTest.EightClients*' 2>&1 | tr -d '\r'
fi
if [ "$which" = all ] || [ "$which" = tray ]; then
    # One click on the tray icon: destroy the menu, poll, build; the x86_64
    # build, then the shipped i686 build in a prefix of its own.
    echo "x86_64:"
    "$build/wine-run" "$build/bin/tray_click_benchmark.exe" 2>&1 | tr -d '\r'
    echo
    echo "i686 (shipped):"
    (
        export PELORIN_WINE_STATE=$build/bench32 PELORIN_SHIPPED_BIN=$shipped
        "$root/tests/wine/prefix.sh" start "$build" "$PELORIN_WINE_STATE"
        "$build/wine-run32" "$shipped/tray_click_benchmark.exe" 2>&1 | tr -d '\r'
    )
fi
