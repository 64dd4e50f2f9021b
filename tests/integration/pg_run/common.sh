# common.sh - what the PostgreSQL run tests share: checks with a failure count, psql on the
# test server, the feed simulator on a free loopback port, a zel configuration for the
# PostgreSQL module, and starting and stopping zel. Sourced after ZEL, FEEDSIM, MODULE, SRC
# and WORK are set; cleanup runs on exit.

# shellcheck source=../checks.sh
source "$(dirname "${BASH_SOURCE[0]}")/../checks.sh"
feedsim_pid=
zel_pid=
cleanup_hooks=()

finish() {
    if ((failures)); then
        echo "$failures check(s) failed (work directory: $WORK)"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

cleanup() {
    [[ -n $zel_pid ]] && kill -9 "$zel_pid" 2>/dev/null
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null && wait "$feedsim_pid" 2>/dev/null
    local hook
    for hook in "${cleanup_hooks[@]}"; do
        eval "$hook"
    done
}
trap cleanup EXIT

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

# use_pg_env FILE: the server that scripts/pg-server described in FILE.
use_pg_env() {
    # shellcheck disable=SC1090
    source "$1" || exit 1
    export PGPASSWORD=$ZEL_PG_PASSWORD
    PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT"
          -U "$ZEL_PG_USER")
}

# sql DB STATEMENT: one statement, rows as "a|b" lines.
sql() { "${PSQL[@]}" -d "$1" -At -F '|' -c "$2"; }

# fresh_database NAME: a new database made from the example schema, dropped on exit.
fresh_database() {
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE IF EXISTS $1" 2>/dev/null
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE $1" || exit 1
    "${PSQL[@]}" -d "$1" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
    cleanup_hooks+=("\"\${PSQL[@]}\" -d \"\$ZEL_PG_DBNAME\" -c 'DROP DATABASE IF EXISTS $1' 2>/dev/null")
}

# start_feedsim ARGS...: the simulator on a free port; FEED_PORT is set.
start_feedsim() {
    rm -f "$WORK/feedsim.port"
    "$FEEDSIM" --listen 127.0.0.1:0 --port-file "$WORK/feedsim.port" --user demo --password demo \
        "$@" >"$WORK/feedsim.out" 2>&1 &
    feedsim_pid=$!
    wait_for 10 test -s "$WORK/feedsim.port" || {
        echo "FAIL feedsim did not start"
        cat "$WORK/feedsim.out"
        exit 1
    }
    FEED_PORT=$(cat "$WORK/feedsim.port")
}

# write_config DB [KEY VALUE]...: zel.config in WORK for the simulator and database DB; the
# pairs replace the Database section's defaults.
write_config() {
    local db=$1
    shift
    declare -A database=([transactions]=100 [updateinterval]=0 [checkdatabase]=1
                         [keepdeleted]=1 [aggtrades]=1 [localtime]=0)
    while (($# >= 2)); do
        database[$1]=$2
        shift 2
    done
    mkdir -p "$WORK/sql"
    {
        echo "Corvalinder"
        echo "server 127.0.0.1:$FEED_PORT"
        echo "username demo"
        echo "password demo"
        echo "reconnectinterval 1"
        echo "insrefs *"
        echo "Database"
        echo "instance $MODULE"
        echo "server $ZEL_PG_HOST"
        echo "port $ZEL_PG_PORT"
        echo "dbname $db"
        echo "username $ZEL_PG_USER"
        echo "password $ZEL_PG_PASSWORD"
        local key
        for key in "${!database[@]}"; do
            echo "$key ${database[$key]}"
        done
        echo "Application"
        echo "tabledefinitions $SRC/examples/zel.tabledef"
        echo "Log"
        echo "logsqlpath $WORK/sql/"
    } >"$WORK/zel.config"
}

# A statistics block of the test's own, so that tests running at the same time do not share one.
MAP_NAME="Global\\zel pg run test $$"

start_zel() {  # start_zel OUTPUT_FILE
    "$ZEL" --config="$WORK/zel.config" --map-name="$MAP_NAME" >"$1" 2>&1 </dev/null &
    zel_pid=$!
}

# status_value NAME: one line of --status for this test's instance.
status_value() { "$ZEL" --status "--map-name=$MAP_NAME" | sed -n "s/^$1: //p"; }

# stop_zel: SIGINT, as Ctrl+C; ZEL_EXIT is its exit code (or "hung").
stop_zel() {
    kill -INT "$zel_pid"
    if wait_for 30 bash -c "! kill -0 $zel_pid 2>/dev/null"; then
        wait "$zel_pid"
        ZEL_EXIT=$?
    else
        ZEL_EXIT=hung
        kill -9 "$zel_pid"
    fi
    zel_pid=
}
