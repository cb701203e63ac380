#!/bin/bash
# The stand-in's CTest fixture (and the demo's way to bring it up):
#   fixture.sh start BUILD_DIR [GENERATION]
#                                register the stand-in in the prefix, start
#                                one server for the whole run, and have it
#                                serve that VirtualBox API generation (default 4.0)
#   fixture.sh stop BUILD_DIR    end that server cleanly
#   fixture.sh idle-check BUILD_DIR
#                                end the server, let COM activation start one,
#                                check that it ends by itself when idle, and
#                                start the fixture's server again
# The prefix is BUILD_DIR's (or PELORIN_WINE_STATE's), prepared by
# tests/wine/prefix.sh. With PELORIN_SHIPPED_BIN naming the i686 build's bin
# folder, start also registers the stand-in's 32-bit client there (the
# Session class and the interfaces in the 32-bit registry view) for the same
# 64-bit server, as VirtualBox installs its 32-bit client on 64-bit Windows. The server is started here rather than by COM
# activation: an activated server inherits the activating process's Unix
# stderr, and CTest would wait for it to close. Its output goes to /dev/null.
set -u
action=$1
build=$(cd "$2" && pwd)
run=$build/wine-run
bin=$build/bin
windows_path() { echo "Z:$(echo "$1" | tr / '\\')"; }

start() {
    local generation=${1:-4.0}
    # A server left over from an interrupted run may be older than this build.
    "$run" "$bin/standinctl.exe" shutdown >/dev/null 2>&1
    "$run" "$bin/standin_server.exe" /regserver </dev/null >/dev/null 2>&1 || {
        echo "fixture.sh: registration failed" >&2
        return 1
    }
    if [ -n "${PELORIN_SHIPPED_BIN:-}" ]; then
        "$build/wine-run32" "$PELORIN_SHIPPED_BIN/standin_server.exe" /regserver "$(windows_path "$bin/standin_server.exe")" \
            </dev/null >/dev/null 2>&1 || {
            echo "fixture.sh: registration of the 32-bit client from $PELORIN_SHIPPED_BIN failed" >&2
            return 1
        }
    fi
    setsid "$run" "$bin/standin_server.exe" /serve </dev/null >/dev/null 2>&1 &
    "$run" "$bin/standinctl.exe" wait 30000 </dev/null >/dev/null 2>&1 || {
        echo "fixture.sh: the server did not answer" >&2
        return 1
    }
    "$run" "$bin/standinctl.exe" reset </dev/null >/dev/null 2>&1
    "$run" "$bin/standinctl.exe" generation "$generation" </dev/null >/dev/null 2>&1 || {
        echo "fixture.sh: unknown generation $generation" >&2
        stop
        return 1
    }
}

stop() {
    "$run" "$bin/standinctl.exe" shutdown </dev/null >/dev/null 2>&1 || {
        echo "fixture.sh: the server did not end cleanly" >&2
        return 1
    }
}

idle_check() {
    stop || return 1
    # From the stand-in's defaults: an earlier test may have left another generation chosen.
    "$run" "$bin/standinctl.exe" reset </dev/null >/dev/null 2>&1
    "$run" "$bin/standinctl.exe" idle-timeout 500 </dev/null >/dev/null 2>&1
    # Everything the activated server inherits goes to a file, not to CTest.
    local log=$build/wine/standin-idle-check.log
    "$run" "$bin/standinctl.exe" activate </dev/null >"$log" 2>&1
    local status=$?
    tr -d '\r' <"$log"
    "$run" "$bin/standinctl.exe" reset </dev/null >/dev/null 2>&1
    start || return 1
    return $status
}

case "$action" in
start) start "${3:-}" ;;
stop) stop ;;
idle-check) idle_check ;;
*) echo "usage: fixture.sh start BUILD_DIR [GENERATION] | stop BUILD_DIR | idle-check BUILD_DIR" >&2; exit 2 ;;
esac
