#!/usr/bin/env bash
# zel as a service, the test playing the service manager: with NOTIFY_SOCKET set, zel
# reports its start, READY=1 and, after SIGTERM, STOPPING=1 and its stop, and exits with 0;
# a start-up that fails is reported as such and exits with 1; a notify socket that cannot
# be reached ends the program with 1 and says why.
#
#   service_test.sh ZEL FEEDSIM DBDRV_NULL NOTIFY_LISTENER TABLEDEF WORK_DIR
set -uo pipefail
ZEL=$1 FEEDSIM=$2 NULLMOD=$3 LISTENER=$4 TABLEDEF=$5 WORK=$6
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
listener_pid=

# start_listener OUTPUT: the service manager's socket, ready when this returns.
start_listener() {
    rm -f "$WORK/$1"
    "$LISTENER" "$WORK/notify.sock" "$WORK/$1" >"$WORK/listener.out" 2>&1 &
    listener_pid=$!
    wait_for 10 grep -q bound "$WORK/listener.out" || { echo "FAIL listener did not start"; exit 1; }
}

start_feedsim
write_config

# A service run from start to stop.
start_listener notify.log
NOTIFY_SOCKET="$WORK/notify.sock" "$ZEL" --config "$WORK/zel.config" --map-name "$MAP_NAME" \
    </dev/null >zel.out 2>&1 &
zel_pid=$!
check "the service reports READY=1" wait_for 20 grep -q 'READY=1' notify.log
check "--status: running" wait_for 10 zel_running
kill -TERM "$zel_pid"
wait "$zel_pid"; code=$?; zel_pid=
check_code "SIGTERM stops the service" 0 "$code"
wait "$listener_pid"; listener_pid=

line_of() { grep -n -- "$1" notify.log | head -1 | cut -d: -f1; }
check "start reported before READY=1" test "$(line_of 'STATUS=Starting Corvalinder ZEL')" -lt "$(line_of 'READY=1')"
check "READY=1 before STOPPING=1" test "$(line_of 'READY=1')" -lt "$(line_of 'STOPPING=1')"
check "the last report says it has stopped" \
    test "$(tail -1 notify.log)" = "STOPPING=1|STATUS=Corvalinder ZEL has stopped"
check "the start asks for more time" grep -q 'EXTEND_TIMEOUT_USEC=5000000' notify.log
check "a service prints nothing" test ! -s zel.out

# A service whose configuration file is missing reports that it could not start.
start_listener failed.log
NOTIFY_SOCKET="$WORK/notify.sock" "$ZEL" --config "$WORK/missing.config" </dev/null >failed.out 2>&1
code=$?
check_code "a service that cannot start" 1 "$code"
wait "$listener_pid"; listener_pid=
check "its stop is reported with the failure code" \
    grep -q 'STOPPING=1|STATUS=Corvalinder ZEL could not start (exit code 0xFFFFFFFF)' failed.log
check "no READY=1 for a failed start" bash -c "! grep -q READY=1 failed.log"

# A notify socket that nobody listens on: the program says so and ends with 1.
NOTIFY_SOCKET="$WORK/nobody.sock" "$ZEL" --config "$WORK/zel.config" </dev/null >unreachable.out 2>&1
code=$?
check_code "an unreachable service manager" 1 "$code"
check "the reason is given" grep -q "Corvalinder ZEL could not be started as a service: cannot reach NOTIFY_SOCKET '$WORK/nobody.sock'" unreachable.out

finish
