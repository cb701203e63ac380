#!/bin/sh
# Runs a test program with its output going to a file, and prints the file
# when the program has ended. A Windows process that the test left behind
# (a console host that Wine keeps for a killed console program, a child
# still ending) then holds that file instead of CTest's output pipe, and
# cannot turn a test that has finished into a time-out.
#   capture.sh COMMAND [ARGUMENT...]
out=$(mktemp "${TMPDIR:-/tmp}/pelorin-test.XXXXXX") || exit 1
"$@" >"$out" 2>&1 </dev/null
status=$?
cat "$out"
rm -f "$out"
exit $status
