#!/bin/bash
# Prepares or ends the wine64 prefix that the tests run in.
#   prefix.sh start BUILD_DIR [STATE_DIR]
#       make (or reuse) the prefix, start a private Xvfb, a persistent
#       wineserver and a keep-alive process
#   prefix.sh stop BUILD_DIR [STATE_DIR]
#       end what start started, by pid, then the prefix's wineserver
# STATE_DIR (default BUILD_DIR/wine) holds the prefix, the pids and the display.
# Wine ends its services when the last ordinary Wine process exits, so the
# keep-alive process holds the prefix up for as long as the tests run.
set -u
action=$1
build=$(cd "$2" && pwd)
state=${3:-$build/wine}
mkdir -p "$state"
state=$(cd "$state" && pwd)
export PELORIN_WINE_STATE=$state
# As wine-run: no Mono or Gecko offers, no winedbg window for a program that crashes.
export WINEPREFIX=$state/prefix WINELOADER=/usr/lib/wine/wine64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver

alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

start_display() {
    # GUI tests need an X display; a private Xvfb keeps them off any real one.
    command -v Xvfb >/dev/null || return 0
    alive "$state/xvfb.pid" && return 0
    # Xvfb chooses a free display itself and writes its number to fd 3: two
    # prefixes started at once (the two builds' suites) each get their own,
    # where choosing a number here let both take the same one.
    # -noreset: by default Xvfb resets whenever its last client goes, and
    # a client that connects meanwhile (the Wine desktop among them) loses
    # its connection: "X connection to :N broken", and no taskbar after.
    rm -f "$state/display.number"
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset \
        </dev/null >/dev/null 2>&1 3>"$state/display.number" &
    local pid=$!
    local n=""
    for _ in $(seq 100); do
        n=$(tr -dc 0-9 <"$state/display.number" 2>/dev/null)
        [ -n "$n" ] && [ -e "/tmp/.X11-unix/X$n" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$n" ] || ! kill -0 "$pid" 2>/dev/null; then
        echo "prefix.sh: Xvfb did not start"
        kill "$pid" 2>/dev/null
        return 0
    fi
    echo "$pid" >"$state/xvfb.pid"
    echo ":$n" >"$state/display"
}

start() {
    # Nothing started here may hold CTest's output pipe open: the daemons outlive this script.
    exec </dev/null >>"$state/prefix.log" 2>&1
    if alive "$state/keepalive.pid"; then
        return 0
    fi
    start_display
    [ -f "$state/display" ] && export DISPLAY=$(cat "$state/display")
    # A prefix made before Wine's 32-bit half was installed has no 32-bit
    # system folder, and 32-bit programs cannot start in it: make it anew.
    if [ -f "$WINEPREFIX/system.reg" ] && [ ! -e "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
        "$wineserver" -k 2>/dev/null
        "$wineserver" -w 2>/dev/null
        rm -rf "$WINEPREFIX"
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        "$wine" wineboot -i >/dev/null 2>&1
        # Starting anything before the first boot has settled has left two
        # services.exe running and COM activation hanging.
        "$wineserver" -w
        # The shell opens logs and INI files by the ".txt" class, which a new prefix lacks.
        "$wine" reg add 'HKCR\.txt' /ve /d txtfile /f >/dev/null 2>&1
        "$wineserver" -w
    fi
    if [ ! -f "$WINEPREFIX/.desktop-shell" ]; then
        # A Wine desktop with a taskbar, where the tray helper's icon lives.
        "$wine" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >/dev/null 2>&1
        "$wine" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f >/dev/null 2>&1
        "$wineserver" -w
        touch "$WINEPREFIX/.desktop-shell"
    fi
    local attempt
    for attempt in 1 2 3; do
        "$wineserver" -p
        setsid "$build/wine-run" "$build/bin/keepalive.exe" </dev/null >/dev/null 2>&1 &
        echo $! >"$state/keepalive.pid"
        # Wait until the prefix's services are up, so the first test does not pay for it.
        "$wine" cmd /c exit 0 >/dev/null 2>&1
        # Now and then a Wine process dies while it starts. When the desktop's
        # explorer does, Wine gives the desktop a bare window of its own, with
        # no taskbar, for as long as the prefix runs: start everything again.
        "$build/wine-run" "$build/bin/keepalive.exe" taskbar 20000 && return 0
        echo "prefix.sh: attempt $attempt: the desktop has no taskbar"
        stop_wine
    done
    return 1
}

stop_wine() {
    if alive "$state/keepalive.pid"; then
        kill "$(cat "$state/keepalive.pid")" 2>/dev/null
    fi
    rm -f "$state/keepalive.pid"
    "$wineserver" -k 2>/dev/null
    "$wineserver" -w 2>/dev/null
}

stop() {
    stop_wine
    if alive "$state/xvfb.pid"; then
        kill "$(cat "$state/xvfb.pid")" 2>/dev/null
    fi
    rm -f "$state/xvfb.pid" "$state/display"
}

case "$action" in
# start runs in a subshell: it sends its own output to prefix.log.
start) (start) || { tail -n 3 "$state/prefix.log" >&2; exit 1; } ;;
stop) stop ;;
*) echo "usage: prefix.sh start|stop BUILD_DIR" >&2; exit 2 ;;
esac
