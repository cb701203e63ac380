#!/bin/bash
# Installs what is missing, builds both architectures and runs every test under wine64.
# Extra arguments go to ctest, for example: scripts/test.sh -R InstallTest
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
# The compilers' output goes to a log; the console shows the tests.
mkdir -p "$root/build-x86_64"
log=$root/build-x86_64/build.log
started=$(date +%s)
printf 'build.sh: building both architectures (log: %s) ... ' "$log"
if ! "$root/scripts/build.sh" >"$log" 2>&1; then
    echo "failed"
    tail -n 40 "$log"
    exit 1
fi
echo "done in $(($(date +%s) - started)) s"
ctest --test-dir "$root/build-x86_64" -j 2 --output-on-failure "$@"
