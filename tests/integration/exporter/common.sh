# shellcheck shell=bash
# common.sh - what the exporter tests share: the run tests' helpers (checks, a feed
# simulator, a null-module configuration, --status reading), an exporter on a free port and
# a clean-up that stops everything the test started. Sourced after ZEL, FEEDSIM, NULLMOD,
# TABLEDEF, EXPORTER and WORK are set.

# shellcheck source=../run/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../run/common.sh"
exporter_pid=
extra_pids=()

cleanup() {
    local pid
    for pid in "${extra_pids[@]}"; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    [[ -n $exporter_pid ]] && kill "$exporter_pid" 2>/dev/null && wait "$exporter_pid" 2>/dev/null
    if [[ -n $zel_pid ]]; then
        kill -CONT "$zel_pid" 2>/dev/null
        kill -9 "$zel_pid" 2>/dev/null
    fi
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null && wait "$feedsim_pid" 2>/dev/null
    rm -f "/dev/shm/${MAP_NAME#Global\\}"
}
trap cleanup EXIT

# start_exporter [ARGS...]: the exporter for this test's block on a free loopback port;
# sets EXPORTER_URL.
start_exporter() {
    rm -f "$WORK/exporter.port"
    "$EXPORTER" --map-name "$MAP_NAME" --listen 127.0.0.1:0 --port-file "$WORK/exporter.port" "$@" \
        >"$WORK/exporter.out" 2>&1 &
    exporter_pid=$!
    wait_for 10 test -s "$WORK/exporter.port" || { echo "FAIL the exporter did not start"; cat "$WORK/exporter.out"; exit 1; }
    EXPORTER_PORT=$(cat "$WORK/exporter.port")
    # shellcheck disable=SC2034  # read by the scripts that source this file
    EXPORTER_URL=http://127.0.0.1:$EXPORTER_PORT
}

# start_zel: zel with the null module against the simulator; waits until it writes.
start_zel() {
    "$ZEL" --config "$WORK/zel.config" --map-name "$MAP_NAME" --console </dev/null >"$WORK/zel.out" 2>&1 &
    zel_pid=$!
    flowing() { [[ $(status_value database-updates-ok) -gt 0 && $(status_value received-messages) -gt 0 ]]; }
    wait_for 30 flowing || { echo "FAIL zel did not start writing"; tail "$WORK/zel.out"; exit 1; }
}

# freeze_zel / thaw_zel: stops every thread of zel at once, so that its counters stand still
# while the block, and the lock that shows zel alive, stay as they are.
freeze_zel() {
    kill -STOP "$zel_pid"
    stopped() { [[ $(awk '{print $3}' "/proc/$zel_pid/stat") == T ]]; }
    wait_for 5 stopped || { echo "FAIL zel did not stop"; exit 1; }
}
thaw_zel() { kill -CONT "$zel_pid"; }

# status_snapshot FILE: zel --status of this test's block.
status_snapshot() { "$ZEL" --status "--map-name=$MAP_NAME" >"$1"; }
