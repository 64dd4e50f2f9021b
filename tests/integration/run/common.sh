# common.sh - what the run tests share: checks with a failure count, a feed simulator on a
# free loopback port, a configuration for the null module, and the reading of --status.
# Sourced by run_test.sh and service_test.sh after they have set ZEL, FEEDSIM, NULLMOD,
# TABLEDEF and WORK.

# shellcheck source=../checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
feedsim_pid=
zel_pid=

cleanup() {
    [[ -n $zel_pid ]] && kill -9 "$zel_pid" 2>/dev/null
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null && wait "$feedsim_pid" 2>/dev/null
    rm -f "/dev/shm/zel run test $$"
}
trap cleanup EXIT

finish() {
    if ((failures)); then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

# wait_for SECONDS COMMAND...: polls every tenth of a second.
wait_for() {
    local tenths=$(($1 * 10))
    shift
    for _ in $(seq 1 "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# Starts the simulator on a free port: a small generated market at a modest rate.
start_feedsim() {
    "$FEEDSIM" --listen 127.0.0.1:0 --port-file "$WORK/feedsim.port" --user demo --password demo \
        --instruments 40 --rate 1000 --log "$WORK/requests.log" >"$WORK/feedsim.out" 2>&1 &
    feedsim_pid=$!
    wait_for 10 test -s "$WORK/feedsim.port" || { echo "FAIL feedsim did not start"; exit 1; }
    FEED_PORT=$(cat "$WORK/feedsim.port")
}

# The configuration: the simulator, the null module without the database check (the null
# module cannot describe a database), the example table definitions, an SQL log.
write_config() {
    mkdir -p "$WORK/sql"
    cat >"$WORK/zel.config" <<CONFIG
Corvalinder
server 127.0.0.1:$FEED_PORT
username demo
password demo
reconnectinterval 1
insrefs *
Database
instance $NULLMOD
checkdatabase 0
transactions 100
updateinterval 1
Application
tabledefinitions $TABLEDEF
Log
logsqlpath $WORK/sql/
CONFIG
}

MAP_NAME="Global\\zel run test $$"

# status_value NAME: the value of one --status line of this test's instance.
status_value() {
    "$ZEL" --status "--map-name=$MAP_NAME" | sed -n "s/^$1: //p"
}
# Whether --status judges this test's instance to be running.
zel_running() { [[ $(status_value running) == 1 ]]; }
