# wine_common.sh - what the end-to-end tests under Wine share: the prefix and its warm
# server, Windows paths for Unix files, the feed simulator (Windows build) on a free port, a
# configuration for the null module and the reading of --status.
#
# Sourced after the script has set ZEL, FEEDSIM, NULLMOD, SOURCE and WORK (Unix paths of
# zel.exe, feedsim.exe, dbdrv_null.dll, the repository and a work directory). WINEPREFIX
# comes from the environment (ctest sets the build tree's prefix).

# shellcheck source=../integration/checks.sh
source "$SOURCE/tests/integration/checks.sh"

export WINEDEBUG=-all
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX
WINE=${WINE:-wine}

feedsim_pid=
cleanup_extra=()
cleanup() {
    local step
    for step in "${cleanup_extra[@]}"; do eval "$step" >/dev/null 2>&1 || true; done
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null && wait "$feedsim_pid" 2>/dev/null
    return 0
}
trap cleanup EXIT

# A prefix of its own under the build tree, made on first use; the server is kept running
# (-p) so that each program starts in a fraction of a second and a service is not ended
# with the session.
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "making the Wine prefix $WINEPREFIX"
    "$WINE" wineboot --init >/dev/null 2>&1
    wineserver -w
fi
wineserver -p

rm -rf "$WORK"
mkdir -p "$WORK"

# winpath PATH: the Windows name of a Unix path (Wine maps / to drive Z:).
winpath() {
    local path
    path=$(realpath -m "$1")
    printf 'Z:%s' "${path//\//\\}"
}

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

# The simulator (Windows build, under Wine) on a free port. It is also the ordinary Wine
# process that keeps the session alive while a service runs.
start_feedsim() {
    "$WINE" "$FEEDSIM" --listen 127.0.0.1:0 --port-file "$(winpath "$WORK/feedsim.port")" \
        --user demo --password demo --instruments 40 --rate 1000 >"$WORK/feedsim.out" 2>&1 &
    feedsim_pid=$!
    wait_for 30 test -s "$WORK/feedsim.port" || { echo "FAIL feedsim.exe did not start"; cat "$WORK/feedsim.out"; exit 1; }
    FEED_PORT=$(tr -d '\r\n' <"$WORK/feedsim.port")
}

# The configuration: the simulator, the null module named by its Windows path, no database
# check (the null module cannot describe a database), the example table definitions.
write_config() {
    cat >"$WORK/zel.config" <<CONFIG
Corvalinder
server 127.0.0.1:$FEED_PORT
username demo
password demo
reconnectinterval 1
Database
instance $(winpath "$NULLMOD")
checkdatabase 0
transactions 100
updateinterval 1
Application
tabledefinitions $(winpath "$SOURCE/examples/zel.tabledef")
Log
logsqlpath $(winpath "$WORK/sql")
CONFIG
    CONFIG_WIN=$(winpath "$WORK/zel.config")
}

MAP_NAME="Global\\zel wine test $$"

# status_value NAME: one --status line of this test's instance, read by a second process.
status_value() {
    "$WINE" "$ZEL" --status "--map-name=$MAP_NAME" | tr -d '\r' | sed -n "s/^$1: //p"
}
zel_running() { [[ $(status_value running) == 1 ]]; }
zel_received() { local n; n=$(status_value received-messages); [[ -n $n && $n -gt 0 ]]; }

# stop_by_ctrl_c PID SECONDS: Ctrl+C to a console run (Wine turns SIGINT into CTRL_C_EVENT),
# then its exit code, as `wait` gives it. A run that has not ended after SECONDS is killed:
# a shutdown that hangs is the fault to report, with how far it got (its output), and
# waiting on would only spend the test's whole time limit. Needs WORK/zel.out.
stop_by_ctrl_c() {
    local pid=$1 seconds=$2
    kill -INT "$pid"
    if ! wait_for "$seconds" bash -c "! kill -0 $pid 2>/dev/null"; then
        echo "zel.exe had not ended $seconds seconds after Ctrl+C; its output so far:"
        tr -d '\r' <"$WORK/zel.out"
        kill -9 "$pid"
    fi
    wait "$pid"
}
