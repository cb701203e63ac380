#!/bin/bash
# The main job, shown under Wine: the life of a virtual machine run as a
# service, by the programs of the win32 release package, the shipped 32-bit
# ones, against the 64-bit VirtualBox stand-in (as a 32-bit service meets
# VirtualBox's 64-bit server on 64-bit Windows). A copy of pelorin.exe with
# its INI file in a demo folder is installed as a service under an account
# (Wine has one: the prefix's user, named like the Unix user) and started; it starts its machine in the VirtualBox
# stand-in, answers the tray's questions over its control pipe, is watched by
# the tray helper (its menu saved as demo/tray-menu.png), is stopped with a
# one-off "save state", and is removed again; then its log is printed. First
# it makes the two release packages (packages/) and lists what they hold.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null
printf '\n\033[1m== %s\033[0m\n' "The release packages, made in $root/packages"
"$root/scripts/package.sh"

build=$root/build-x86_64
demo=$root/demo
state=$demo/wine
# The stand-in registers its 32-bit client from the shipped build too.
export PELORIN_WINE_STATE=$state PELORIN_SHIPPED_BIN=$root/build-i686/bin
run() { "$build/wine-run" "$@" 2>&1 | tr -d '\r'; }
ctl() { run "$build/bin/standinctl.exe" "$@"; }
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Waits until `sc query` shows the state, at most 30 s.
wait_state() {
    for _ in $(seq 150); do
        run sc query "$1" | grep -q "STATE *: *[0-9]* *$2" && return 0
        sleep 0.2
    done
    echo "$1 did not reach $2"
    return 1
}

stop_all() {
    "$root/tests/standin/fixture.sh" stop "$build" >/dev/null 2>&1 || true
    "$root/tests/wine/prefix.sh" stop "$build" "$state"
}
"$root/tests/wine/prefix.sh" stop "$build" "$state" 2>/dev/null || true
rm -rf "$demo/vm" "$demo/win32"
mkdir -p "$demo/vm" "$demo/win32"
# The programs the demo runs: those of the win32 package, as a user unpacks it.
zip=$(ls "$root"/packages/pelorin-*-win32.zip)
(cd "$demo/win32" && cmake -E tar xf "$zip")
shipped=$(ls -d "$demo"/win32/pelorin-*-win32)
trap stop_all EXIT
"$root/tests/wine/prefix.sh" start "$build" "$state"
# The stand-in plays VirtualBox 7.1 (its API generation 7.1).
"$root/tests/standin/fixture.sh" start "$build" 7.1

# VirtualBox cannot run here: its stand-in plays it, with VBoxHeadless.exe
# where VirtualBox installs it and one registered machine.
vbox="$state/prefix/drive_c/Program Files/Oracle/VirtualBox"
mkdir -p "$vbox"
cp "$build/bin/VBoxHeadless.exe" "$vbox/"
say "VirtualBox 7.1 (the stand-in) knows one machine, powered off (state 1), remote display on port 3389"
ctl server-info 7.1.4 'C:\Users\vbox\.VirtualBox' >/dev/null
ctl put-machine "Web Server" 8c0bb7ae-52b1-4b5c-9b27-0a8c5e3b2f11 state=1 vrde=1 port=3389 width=1024 height=768 bpp=32 >/dev/null
ctl get-machine "Web Server"

say "The programs of $(basename "$zip"): 32-bit (bits=32), the release's version"
windows_path() { echo "Z:$(echo "$1" | tr / '\\')"; }
run "$build/bin/fileinfo.exe" "$(windows_path "$shipped/pelorin.exe")" "$(windows_path "$shipped/pelorintray.exe")" \
    | sed "s|Z:.*\\\\||"

# One copy of the program serves one machine: Web Server.exe reads Web Server.ini.
# The service runs under the account that owns the machine: Wine's one user.
account=".\\$(id -un)"
password='demo pass word'
cp "$shipped/pelorin.exe" "$demo/vm/Web Server.exe"
cat >"$demo/vm/Web Server.ini" <<INI
[Pelorin]
VboxInstallPath=C:/Program Files/Oracle/VirtualBox/
VboxUserHome=C:\Users\vbox\.VirtualBox
VmName=Web Server
ServiceName=Web Server VM
Priority=below normal
ShutdownCommand=acpipowerbutton
ServiceAccount=$account
Loglevel=3
INI
sed -i 's/$/\r/' "$demo/vm/Web Server.ini"
exe='Z:'$(echo "$demo/vm/Web Server.exe" | tr / '\\')

say "Demo folder $demo/vm"
ls -l "$demo/vm"
say "Web Server.ini"
tr -d '\r' <"$demo/vm/Web Server.ini"

say '"Web Server.exe" --help   (usage text; exit code follows)'
run "$exe" --help; echo "exit code ${PIPESTATUS[0]}"

say "\"Web Server.exe\" -i   (install the service under $account; a script gives the password on standard input)"
set +e
run "$exe" -i <<<"$password"; echo "exit code ${PIPESTATUS[0]}"
echo "(-i also sets the recovery actions, restart a minute after a failure; Wine 8 keeps none of them and"
echo " refuses the part that counts a stop with an error: the log says so. Windows takes them.)"
say '"Web Server.exe" -i   (a second time: refused)'
run "$exe" -i <<<"$password"; echo "exit code ${PIPESTATUS[0]}"
echo "(Wine's LSA keeps no rights, so the account is granted its right again; Windows would find it held.)"
set -e
say "The password '$password' is kept by the Service Control Manager only: files of the demo folder that hold it"
grep -rl "$password" "$demo/vm" || echo "none"

say 'sc qc Web_Server   (Wine'"'"'s sc has no qc; scqc.exe prints the same fields)'
run "$build/bin/scqc.exe" Web_Server
say "The service's registry key: ObjectName, the account; Type 0x10, own process (not interactive)"
run reg query 'HKLM\System\CurrentControlSet\Services\Web_Server' | grep -E 'ObjectName|Type'
say 'sc query Web_Server'
run sc query Web_Server

say 'sc start Web_Server   (the service starts VBoxHeadless for its machine)'
run sc start Web_Server || true
wait_state Web_Server RUNNING
run sc query Web_Server
say "The machine runs (state 6, Running in the 7.1 generation), its session held by the service's VBoxHeadless"
for _ in $(seq 50); do ctl get-machine "Web Server" | grep -q "state=6" && break; sleep 0.2; done
ctl get-machine "Web Server"

say "The control pipe \\\\.\\pipe\\pelorin.Web Server answers the tray's three questions (pipequery.exe, a small client of ours)"
run "$build/bin/pipequery.exe" "Web Server" enabled
run "$build/bin/pipequery.exe" "Web Server" port
run "$build/bin/pipequery.exe" "Web Server" resolution
echo "Its access list: INTERACTIVE may ask; SYSTEM and the account the service runs under (the last entry;"
echo "under Wine every process runs as the prefix's user) may also create its instances:"
run "$build/bin/pipequery.exe" "Web Server" dacl

# The tray helper, beside the service's files, lists the service in its own INI file.
say "pelorintray.exe watching Web_Server in the Wine desktop's taskbar"
cp "$shipped/pelorintray.exe" "$demo/vm/pelorintray.exe"
printf '[Web Server]\r\nConfigFile=%s\r\n' "$(echo "$exe" | sed 's/\.exe$/.ini/')" >"$demo/vm/pelorintray.ini"
echo "pelorintray.ini:"
tr -d '\r' <"$demo/vm/pelorintray.ini"
# Stand-ins that keep the demo on this machine: the Remote Desktop client
# (found beside the tray helper; it records its command line in opened.txt)
# and the update-check server, which the tray helper asks at start-up through
# http_proxy and which answers with this very version.
cp "$build/bin/opencapture.exe" "$demo/vm/mstsc.exe"
rm -f "$demo/vm/opened.txt" "$demo/vm/update-server.proxy"
vmfolder='Z:'$(echo "$demo/vm" | tr / '\\')
setsid "$build/wine-run" "$build/bin/updateserver.exe" "1025,http://pelorin.example/download" "$vmfolder" \
    </dev/null >/dev/null 2>&1 &
updates=$!
for _ in $(seq 100); do [ -s "$demo/vm/update-server.proxy" ] && break; sleep 0.1; done
export DISPLAY=$(cat "$state/display")
PELORIN_HTTP_PROXY=$(cat "$demo/vm/update-server.proxy") \
    setsid "$build/wine-run" "$demo/vm/pelorintray.exe" </dev/null >/dev/null 2>&1 &
tray=$!
sleep 3
# The icon sits at the right end of the 1024 x 768 desktop's taskbar. A left
# click polls the service and opens the menu, bottom-aligned at the click:
# with one service its item lies at y 650 and "Close" at y 736. Hovering the
# service's item opens its submenu.
xdotool mousemove 1014 758 click 1
sleep 1
xdotool mousemove 930 650
sleep 1.5
import -window root -crop 1024x768+0+0 +repage "$demo/tray-menu.png"
echo "The tray menu, opened by a click on the icon: $demo/tray-menu.png"
# "VRDP console" in the service's submenu: the tray asks the service's pipe
# for the port and the screen size and starts the Remote Desktop client.
xdotool mousemove 800 572 click 1
for _ in $(seq 100); do [ -s "$demo/vm/opened.txt" ] && break; sleep 0.1; done
echo "VRDP console chosen: the Remote Desktop client (its stand-in, mstsc.exe) was started as"
tr -d '\r' <"$demo/vm/opened.txt" | sed 's/^/    /'
# A second click on the icon, then Close.
xdotool mousemove 1014 758 click 1
sleep 1
xdotool mousemove 930 736 click 1
for _ in $(seq 50); do kill -0 "$tray" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$tray" 2>/dev/null; then
    echo "pelorintray.exe did not close; ending it"
    kill "$tray"
else
    set +e
    wait "$tray"
    echo "Close chosen: pelorintray.exe ended with exit code $?"
    set -e
fi
kill "$updates" 2>/dev/null || true
echo "Its update check at start-up, as the local update server saw it (the answer 1025 is version"
echo "0.4.1, no newer, so the check said nothing):"
tr -d '\r' <"$demo/vm/update-server.requests" | sed -n 's/^\(GET .*\|User-Agent: .*\)$/    \1/p'

say "A one-off stop method, as the tray's \"Stop with\" > \"Save state\" writes it"
printf 'ShutdownOnceCommand=savestate\r\n' >>"$demo/vm/Web Server.ini"
tr -d '\r' <"$demo/vm/Web Server.ini" | grep Shutdown
say 'sc stop Web_Server'
run sc stop Web_Server || true
wait_state Web_Server STOPPED
run sc query Web_Server
say "The machine is saved (state 2); the one-off key is gone, ShutdownCommand stays"
ctl get-machine "Web Server"
tr -d '\r' <"$demo/vm/Web Server.ini" | grep Shutdown
echo "The stop as the stand-in's journal saw it (from 5.2 on the session's machine saves the state):"
ctl journal | grep -E '^(IMachine::LockMachine|ISession::(get_Console|get_Machine|UnlockMachine)|IMachine::SaveState|IProgress::WaitForCompletion)' \
    | tail -6 | sed 's/^/    /'

say '"Web Server.exe" -u   (remove the service)'
set +e
run "$exe" -u; echo "exit code ${PIPESTATUS[0]}"
say '"Web Server.exe" -u   (a second time: nothing to remove)'
run "$exe" -u; echo "exit code ${PIPESTATUS[0]}"
set -e
say 'sc query Web_Server'
run sc query Web_Server || true

say "Web Server.log (Loglevel=3: the whole life of the machine, on VirtualBox's API generation 7.1)"
tr -d '\r' <"$demo/vm/Web Server.log"
