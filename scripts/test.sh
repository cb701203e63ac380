#!/bin/bash
# Installs what is missing, builds both architectures and runs every test under wine64.
# Extra arguments go to ctest, for example: scripts/test.sh -R InstallTest
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
ctest --test-dir "$root/build-x86_64" -j 2 --output-on-failure "$@"
