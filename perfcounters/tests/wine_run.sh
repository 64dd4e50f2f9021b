#!/usr/bin/env bash
# wine_run.sh PROGRAM [ARGS...] - runs one cross-built test program under Wine for ctest.
#
# The prefix is WINEPREFIX (ctest sets the build tree's), made on first use. The program's
# output goes through a file: the first program of a Wine session also starts the session's
# own processes (services, device drivers), which inherit its output and outlive it, and
# would hold ctest's pipe open until the test's timeout.
set -uo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX WINEDEBUG=-all
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "making the Wine prefix $WINEPREFIX"
    wine wineboot --init </dev/null >/dev/null 2>&1
    wineserver -w
fi
log=$(mktemp "${TMPDIR:-/tmp}/wine_run.XXXXXX")
trap 'rm -f "$log"' EXIT
wine "$@" </dev/null >"$log" 2>&1
status=$?
tr -d '\r' <"$log"
exit "$status"
