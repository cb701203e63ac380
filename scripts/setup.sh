#!/bin/bash
# Installs the Debian packages that the build, the tests and the demo need,
# when they are missing. The shipped programs are 32-bit, so Wine's 32-bit
# half (wine32:i386) is installed beside wine64: the tests run both builds.
# Where the kernel does not run 32-bit programs (some hypervisors turn IA32
# emulation off, and with it the 32-bit code segment that WoW64 would need
# too), the i386 programs run under qemu-i386 user emulation, registered with
# binfmt_misc; only when neither works does this script say so in one line
# and fail, since the shipped build could not be tested.
# The package manager's output goes to a log file (build-x86_64/setup.log);
# the console gets one line per step: what it installs, where the log is, how
# long it took. A step that fails shows the log's last lines.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
log=$root/build-x86_64/setup.log

# A static i386 ELF program of 84 bytes that exits with 0 (one program
# header, then mov eax,1 / xor ebx,ebx / int 0x80): whether 32-bit programs
# run at all, asked before any i386 package is installed.
probe_32bit() {
    local elf
    elf=$(mktemp /tmp/pelorin-i386-probe.XXXXXX)
    printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$elf"
    printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$elf"
    printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$elf"
    printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$elf"
    printf '\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000' >>"$elf"
    printf '\000\020\000\000\270\001\000\000\000\061\333\315\200\000\000\000' >>"$elf"
    chmod +x "$elf"
    local status=0
    "$elf" 2>/dev/null || status=$?
    rm -f "$elf"
    return $status
}

export DEBIAN_FRONTEND=noninteractive
backports=/etc/apt/sources.list.d/pelorin-bookworm-backports.sources

# The log is made when a step first needs it; a set-up with nothing to do
# writes none.
open_log() {
    [ -n "${log_open:-}" ] && return 0
    mkdir -p "$(dirname "$log")"
    echo "setup.sh $(date '+%Y-%m-%d %H:%M:%S')" >"$log"
    log_open=1
}

# A step's line: begun before the step, ended with its time. Whatever the
# step's commands print goes to the log.
begin_step() {
    open_log
    step_started=$SECONDS
    printf 'setup.sh: %s (log: %s) ... ' "$1" "$log"
    echo "== $1" >>"$log"
}

end_step() {
    local took=$((SECONDS - step_started))
    if [ $took -ge 60 ]; then
        echo "$1 in $((took / 60)) min $((took % 60)) s"
    else
        echo "$1 in $took s"
    fi
}

# Ends the step's line, says why, shows the log's last lines and fails.
fail_step() {
    end_step failed
    echo "setup.sh: $1; the last lines of $log:" >&2
    tail -n 20 "$log" | sed 's/^/    /' >&2
    exit 1
}

# A mirror in the middle of a sync refuses an index now and then ("File has
# unexpected size"): try again before giving up. Noted in stale_indexes, for
# the step's line, when it gave up.
update_indexes() {
    local attempt
    for attempt in 1 2 3; do
        apt-get update -q >>"$log" 2>&1 && return 0
        sleep 15
    done
    echo "apt-get update failed three times; going on with the indexes it has" >>"$log"
    stale_indexes=1
}

# "done", or what the step went on without.
outcome() {
    if [ -n "${stale_indexes:-}" ]; then
        echo "done (apt-get update failed three times: with the indexes it had)"
    else
        echo "done"
    fi
}

# qemu-i386 before version 8 ignores MAP_FIXED_NOREPLACE, and Wine's 32-bit
# start-up then spends about a minute reserving its address space 64 KiB at
# a time; bookworm-backports has qemu 10, with which a 32-bit program starts
# in about 0.2 s.
emulator=/usr/bin/qemu-i386-static
emulator_is_recent() {
    [ -x "$emulator" ] || return 1
    local major
    major=$("$emulator" --version | sed -n 's/^qemu-i386 version \([0-9]*\).*/\1/p')
    [ -n "$major" ] && [ "$major" -ge 8 ]
}

use_emulator() {
    if [ ! -w /proc/sys/fs/binfmt_misc/register ]; then
        mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc >>"$log" 2>&1 || return 1
    fi
    if ! emulator_is_recent; then
        if [ ! -f "$backports" ]; then
            printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm-backports\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >"$backports"
        fi
        update_indexes
        apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user-static >>"$log" 2>&1 || return 1
        emulator_is_recent || return 1
    fi
    # F: the kernel opens the emulator now, so it serves every later exec.
    if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
        echo ":qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$emulator:F" \
            >/proc/sys/fs/binfmt_misc/register || return 1
    fi
    probe_32bit
}

if ! probe_32bit; then
    begin_step "this kernel runs no 32-bit programs: setting up qemu-i386 user emulation from bookworm-backports"
    if ! use_emulator; then
        fail_step "this kernel cannot run 32-bit programs and qemu-i386 user emulation could not be set up, so the shipped 32-bit build cannot be tested here"
    fi
    end_step "$(outcome)"
fi

packages=(
    cmake make googletest python3
    g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    wine64 wine32:i386 libwine-dev
    xvfb xauth xdotool x11-utils imagemagick
)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    stale_indexes=
    begin_step "installing ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 >>"$log" 2>&1
    update_indexes
    if apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
        end_step "$(outcome)"
    else
        end_step "failed"
        # The i386 and amd64 halves of a library must have one version. When
        # the mirror served one architecture's security index and not the
        # other's, take both from the release and its updates alone.
        begin_step "installing again from bookworm and bookworm-updates alone"
        # The sources and the lists need folders of their own: an update
        # deletes every file of its lists folder that is not an index.
        sources=$(mktemp -d /tmp/pelorin-apt.XXXXXX)
        mkdir -p "$sources/parts" "$sources/lists/partial"
        printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' >"$sources/parts/release.sources"
        options=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$sources/parts" -o Dir::State::Lists="$sources/lists")
        status=0
        { apt-get "${options[@]}" update -q && apt-get "${options[@]}" install -y -q --no-install-recommends "${missing[@]}"; } \
            >>"$log" 2>&1 || status=$?
        rm -rf "$sources"
        if [ $status -ne 0 ]; then
            fail_step "the packages could not be installed (apt-get exited with $status)"
        fi
        end_step "done"
    fi
else
    echo "setup.sh: the ${#packages[@]} packages it needs are installed"
fi
# Installed is not enough: the 32-bit loader must start.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    echo "setup.sh: Wine's 32-bit loader /usr/lib/wine/wine does not start, so the shipped 32-bit build cannot be tested here" >&2
    exit 1
fi
