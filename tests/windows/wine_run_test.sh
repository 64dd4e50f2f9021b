#!/usr/bin/env bash
# A console run of zel.exe under Wine against feedsim.exe with the null module: it starts,
# receives and writes, a second process reads its statistics section read-only while it
# runs, and a console control event (Ctrl+C: Wine turns SIGINT into CTRL_C_EVENT for the
# console control handler) ends it cleanly with exit code 0.
#   wine_run_test.sh ZEL_EXE FEEDSIM_EXE NULL_MODULE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$1 FEEDSIM=$2 NULLMOD=$3 SOURCE=$4 WORK=$5
source "$SOURCE/tests/windows/wine_common.sh"

start_feedsim
write_config
"$WINE" "$ZEL" "--config=$CONFIG_WIN" "--map-name=$MAP_NAME" </dev/null >"$WORK/zel.out" 2>&1 &
zel_pid=$!
cleanup_extra+=("kill -9 $zel_pid")

# The dispatcher first waits for a service manager that never calls (Wine takes about ten
# seconds to refuse), then the console run starts.
check "zel.exe runs, as a second process reading the section sees" wait_for 60 zel_running
check "messages arrive and are counted in the shared section" wait_for 30 zel_received
check "the section says a feed connection is up" test "$(status_value connected-to-feed)" = 1

stop_by_ctrl_c "$zel_pid" 30
check_code "the run stopped by Ctrl+C" 0 $?
tr -d '\r' <"$WORK/zel.out" >"$WORK/zel.log"
check "the console run logged its start" grep -q 'Starting zel v0.9.55' "$WORK/zel.log"
check "the shutdown completed" grep -q 'Shutdown complete' "$WORK/zel.log"
check "no event log failure was printed" bash -c "! grep -q 'failed: [0-9]' '$WORK/zel.log'"
check "the statements went to the daily SQL log" bash -c "ls '$WORK'/sql/SQ*.log >/dev/null 2>&1"
check_eq "after the run no writer is judged running" 0 "$(status_value running)"
finish
