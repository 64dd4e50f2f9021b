#!/usr/bin/env bash
# ingest_odbc.sh - the ingest benchmark through the ODBC module: the feed simulator at full
# rate (a quote-heavy mix over 1,000 instruments) into zel with transactions of 1000 items.
#
#   bench/ingest_odbc.sh [--seconds N] [--build DIR] [--postgresql] [--mariadb]
#
#   --seconds N    how long zel runs in each run (default 30)
#   --build DIR    where zel, both modules and feedsim are built (default build-bench, a
#                  Release build made here)
#   --postgresql   zel through dbdrv_odbc and psqlODBC against zel through dbdrv_pgsql, the
#                  same feed into the same server (a fresh database each); dbdrv_pgsql runs
#                  twice, with batches (pipeline 1, the default) and without (pipeline 0),
#                  since the ODBC module sends a batch to PostgreSQL one statement at a time
#   --mariadb      zel through dbdrv_odbc and Connector/ODBC into MariaDB with batches on
#                  (pipeline 1), against the mariadb client replaying the same statements
#                  (zel's SQL log) over as many connections, each connection's statements and
#                  COMMITs in zel's order; then zel with batches off (pipeline 0) into a
#                  database of its own; then a second replay while the feed side works
#                  beside it as in zel's run (the simulator at full rate into zel with the
#                  null module)
#   (neither: both)
#
# Reported per run: messages received per second, the share merged into waiting items, and
# the data statements executed per second (START TRANSACTION and COMMIT not counted, since
# only the PostgreSQL module sends the first), from zel's first statement to its exit.
# Work files go to DIR/ingest-odbc-<part>/; results are appended to DIR/ingest-odbc-results.txt.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build-bench
SECONDS_TO_RUN=30
PARTS=()
while (($#)); do
    case $1 in
    --seconds) SECONDS_TO_RUN=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --postgresql) PARTS+=(postgresql); shift ;;
    --mariadb) PARTS+=(mariadb); shift ;;
    *) sed -n '5,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
((${#PARTS[@]})) || PARTS=(postgresql mariadb)
[[ $SECONDS_TO_RUN =~ ^[0-9]+$ ]] && ((SECONDS_TO_RUN >= 10)) ||
    { echo "ingest_odbc.sh: --seconds must be 10 or more" >&2; exit 2; }

say() { printf '\n==> %s\n' "$*"; }
now() { date +%s.%N; }

if [[ $BUILD == "$ROOT/build-bench" ]]; then
    say "Building zel, the modules and feedsim (Release) in build-bench/"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF \
        -DZEL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$BUILD" -j "$(nproc)" --target zel dbdrv_pgsql dbdrv_odbc dbdrv_null feedsim >/dev/null
fi
ZEL=$BUILD/zel/zel
FEEDSIM=$BUILD/tools/feedsim/feedsim
source "$ROOT/bench/ingest/feed_side.sh"
for f in "$ZEL" "$FEEDSIM" "$BUILD/modules/pgsql/dbdrv_pgsql.so" "$BUILD/modules/odbc/dbdrv_odbc.so" \
    "$BUILD/modules/null/dbdrv_null.so"; do
    [[ -x $f || -f $f ]] || { echo "ingest_odbc.sh: $f is not built" >&2; exit 1; }
done

pids=()
spinners=()
PGDIR=
MDBDIR=
cleanup() {
    set +e
    local pid
    for pid in "${pids[@]}" "${spinners[@]}"; do kill "$pid" 2>/dev/null; done
    [[ -n $PGDIR ]] && "$ROOT/scripts/pg-server" stop --clean "$PGDIR" >/dev/null 2>&1
    [[ -n $MDBDIR ]] && "$ROOT/scripts/mariadb-server" stop --clean "$MDBDIR" >/dev/null 2>&1
}
trap cleanup EXIT

# run_zel WORK LABEL MODULE TABLEDEF DATABASE-LINES: zel for SECONDS_TO_RUN seconds at the
# simulator's full rate; prints the result line and sets STATEMENTS and DB_SECONDS.
run_zel() {
    local work=$1 label=$2 module=$3 tabledef=$4 database=$5
    rm -rf "$work"
    mkdir -p "$work/sql"
    local feedsim_pid
    start_feed_side "$work" 0
    cat >"$work/zel.config" <<CONFIG
Corvalinder
server 127.0.0.1:$(cat "$work/feedsim.port")
username demo
password demo
Database
instance $module
$database
transactions 1000
updateinterval 0
aggtrades 1
keepdeleted 1
Application
tabledefinitions $tabledef
Log
logsqlpath $work/sql/
CONFIG
    local map="Global\\zel ingest odbc bench $$"
    "$ZEL" --config="$work/zel.config" --map-name="$map" --silent </dev/null >"$work/zel.out" 2>&1 &
    local zel_pid=$!
    pids+=("$zel_pid")
    status() { "$ZEL" --status --map-name="$map" | sed -n "s/^$1: //p"; }
    local t_first= t_stop t_exit d
    for _ in $(seq 1 300); do
        d=$(status database-updates-ok)
        if [[ -n $d && $d != 0 ]]; then t_first=$(now); break; fi
        sleep 0.05
    done
    [[ -n $t_first ]] || { echo "ingest_odbc.sh: zel wrote nothing (see $work/zel.out)" >&2; exit 1; }
    sleep "$SECONDS_TO_RUN"
    "$ZEL" --status --map-name="$map" >"$work/status.txt"
    t_stop=$(now)
    kill -INT "$zel_pid"
    wait "$zel_pid" || true
    t_exit=$(now)
    kill "$feedsim_pid" 2>/dev/null; wait "$feedsim_pid" 2>/dev/null || true
    pids=()
    value() { sed -n "s/^$1: //p" "$work/status.txt"; }
    STATEMENTS=$(grep -hE '^[0-9:]{8} \[[0-9]+\] ' "$work"/sql/*.log | grep -cvE '\] (START TRANSACTION|COMMIT)$')
    DB_SECONDS=$(awk -v a="$t_first" -v b="$t_exit" 'BEGIN { print b - a }')
    awk -v label="$label" -v secs="$(awk -v a="$t_first" -v b="$t_stop" 'BEGIN { print b - a }')" \
        -v db_secs="$DB_SECONDS" -v received="$(value received-messages)" \
        -v merged="$(value deduplicated-messages)" -v failed="$(value database-updated-failed)" \
        -v statements="$STATEMENTS" '
        BEGIN {
            printf "%s: %.0f messages/s received, %.1f%% merged; %d data statements in %.1f s: %.0f/s; %s failed\n",
                   label, received / secs, 100 * merged / received, statements, db_secs, statements / db_secs, failed
        }' | tee -a "$BUILD/ingest-odbc-results.txt"
}

part_postgresql() {
    local work=$BUILD/ingest-odbc-postgresql
    rm -rf "$work"
    mkdir -p "$work"
    PGDIR=$work/pg
    say "PostgreSQL (fsync off): zel through dbdrv_pgsql, then through dbdrv_odbc and psqlODBC"
    "$ROOT/scripts/pg-server" start "$PGDIR" >/dev/null
    # shellcheck disable=SC1091
    source "$PGDIR/env"
    export PGPASSWORD=$ZEL_PG_PASSWORD
    local psql=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER")
    local db rate_pgsql rate_pgsql_one rate_odbc
    for db in pgsql pgsql_one_by_one odbc; do
        "${psql[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE ingest_$db"
        "${psql[@]}" -d "ingest_$db" -f "$ROOT/examples/schema/postgresql.sql" >/dev/null
    done
    run_zel "$work/pgsql" "PostgreSQL, dbdrv_pgsql, pipeline 1" "$BUILD/modules/pgsql/dbdrv_pgsql.so" \
        "$ROOT/examples/zel.tabledef" "server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname ingest_pgsql
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
pipeline 1"
    rate_pgsql=$(awk -v s="$STATEMENTS" -v t="$DB_SECONDS" 'BEGIN { print s / t }')
    run_zel "$work/pgsql-one-by-one" "PostgreSQL, dbdrv_pgsql, pipeline 0" "$BUILD/modules/pgsql/dbdrv_pgsql.so" \
        "$ROOT/examples/zel.tabledef" "server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname ingest_pgsql_one_by_one
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
pipeline 0"
    rate_pgsql_one=$(awk -v s="$STATEMENTS" -v t="$DB_SECONDS" 'BEGIN { print s / t }')
    run_zel "$work/odbc" "PostgreSQL, dbdrv_odbc (psqlODBC)" "$BUILD/modules/odbc/dbdrv_odbc.so" \
        "$ROOT/examples/zel.tabledef" "connectionstring DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=$ZEL_PG_PORT;DATABASE=ingest_odbc;UID=$ZEL_PG_USER;PWD=$ZEL_PG_PASSWORD;"
    rate_odbc=$(awk -v s="$STATEMENTS" -v t="$DB_SECONDS" 'BEGIN { print s / t }')
    awk -v a="$rate_odbc" -v b="$rate_pgsql" -v c="$rate_pgsql_one" \
        'BEGIN { printf "PostgreSQL: dbdrv_odbc / dbdrv_pgsql = %.2f (pipeline 1), %.2f (pipeline 0)\n", a / b, a / c }' |
        tee -a "$BUILD/ingest-odbc-results.txt"
    "$ROOT/scripts/pg-server" stop --clean "$PGDIR" >/dev/null
    PGDIR=
}

# replay_mariadb WORK NOTE STATEMENTS ZEL_RATE: the split log through one mariadb client per
# connection, side by side, into ingest_replay; prints the rate and zel's share of it.
replay_mariadb() {
    local work=$1 note=$2 replayed=$3 rate_zel=$4
    # The same session settings as zel's: autocommit off (the log's COMMITs end the
    # transactions) and the division precision the module asks for.
    local t0 t1 q rpids=()
    t0=$(now)
    for q in "$work"/replay/q*.sql; do
        "${client[@]}" --init-command="SET autocommit=0, div_precision_increment=30" ingest_replay <"$q" \
            >"$q.out" 2>&1 &
        rpids+=($!)
    done
    local failed=0
    for q in "${rpids[@]}"; do wait "$q" || failed=1; done
    t1=$(now)
    ((failed == 0)) || { echo "ingest_odbc.sh: the replay failed:" >&2; cat "$work"/replay/*.out >&2; exit 1; }
    CLIENT_RATE=$(awk -v n="$replayed" -v a="$t0" -v b="$t1" 'BEGIN { print n / (b - a) }')
    awk -v label="MariaDB, mariadb client$note" -v n="$replayed" -v a="$t0" -v b="$t1" -v zel="$rate_zel" \
        -v conns="${#rpids[@]}" '
        BEGIN {
            printf "%s: the same %d data statements over %d connections in %.1f s: %.0f/s; zel / client = %.2f\n",
                   label, n, conns, b - a, n / (b - a), zel / (n / (b - a))
        }' | tee -a "$BUILD/ingest-odbc-results.txt"
}

part_mariadb() {
    local work=$BUILD/ingest-odbc-mariadb
    rm -rf "$work"
    mkdir -p "$work"
    MDBDIR=$work/mdb
    say "MariaDB (log flushed once a second): zel through dbdrv_odbc, then the mariadb client replaying its statements"
    "$ROOT/scripts/mariadb-server" start "$MDBDIR" >/dev/null
    # shellcheck disable=SC1091
    source "$MDBDIR/env"
    local client=(mariadb --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER" "-p$ZEL_MDB_PASSWORD")
    local db
    for db in ingest_zel ingest_zel_one_by_one ingest_replay; do
        "${client[@]}" -e "CREATE DATABASE $db CHARACTER SET utf8mb4 COLLATE utf8mb4_bin"
        "${client[@]}" "$db" <"$ROOT/examples/schema/mariadb.sql"
    done
    run_zel "$work/zel" "MariaDB, dbdrv_odbc (Connector/ODBC), pipeline 1" "$BUILD/modules/odbc/dbdrv_odbc.so" \
        "$ROOT/examples/zel.mariadb.tabledef" "connectionstring DRIVER={MariaDB Unicode};SERVER=127.0.0.1;PORT=$ZEL_MDB_PORT;DATABASE=ingest_zel;UID=$ZEL_MDB_USER;PWD=$ZEL_MDB_PASSWORD;
pipeline 1"
    local rate_zel rate_zel_one client_alone
    rate_zel=$(awk -v s="$STATEMENTS" -v t="$DB_SECONDS" 'BEGIN { print s / t }')

    mkdir -p "$work/replay"
    awk -v out="$work/replay" -f "$ROOT/bench/ingest/sql_log_to_mariadb.awk" "$work"/zel/sql/*.log
    local replayed
    replayed=$(cat "$work"/replay/q*.sql | grep -cvE '^(COMMIT;)$' || true)
    replay_mariadb "$work" "" "$replayed" "$rate_zel"
    client_alone=$CLIENT_RATE

    # zel again with every statement on its own, as before the module had batches.
    run_zel "$work/zel-one-by-one" "MariaDB, dbdrv_odbc (Connector/ODBC), pipeline 0" "$BUILD/modules/odbc/dbdrv_odbc.so" \
        "$ROOT/examples/zel.mariadb.tabledef" "connectionstring DRIVER={MariaDB Unicode};SERVER=127.0.0.1;PORT=$ZEL_MDB_PORT;DATABASE=ingest_zel_one_by_one;UID=$ZEL_MDB_USER;PWD=$ZEL_MDB_PASSWORD;
pipeline 0"
    rate_zel_one=$(awk -v s="$STATEMENTS" -v t="$DB_SECONDS" 'BEGIN { print s / t }')

    # The same again, with the feed side busy beside it as it was beside zel's database
    # threads: the simulator at full rate into a zel that writes nothing (the null module).
    "${client[@]}" -e "DROP DATABASE ingest_replay; CREATE DATABASE ingest_replay CHARACTER SET utf8mb4 COLLATE utf8mb4_bin"
    "${client[@]}" ingest_replay <"$ROOT/examples/schema/mariadb.sql"
    local side=$work/feed-side
    mkdir -p "$side"
    local feedsim_pid side_feedsim
    start_feed_side "$side" 0
    side_feedsim=$feedsim_pid
    printf 'Corvalinder\nserver 127.0.0.1:%s\nusername demo\npassword demo\nDatabase\ninstance %s\ntransactions 1000\nupdateinterval 0\naggtrades 1\ncheckdatabase 0\nApplication\ntabledefinitions %s\n' \
        "$(cat "$side/feedsim.port")" "$BUILD/modules/null/dbdrv_null.so" "$ROOT/examples/zel.mariadb.tabledef" >"$side/zel.config"
    "$ZEL" --config="$side/zel.config" --map-name="Global\\zel ingest odbc feed side $$" --silent </dev/null >"$side/zel.out" 2>&1 &
    local side_zel=$!
    pids+=("$side_zel")
    sleep 3
    replay_mariadb "$work" " (feed side busy beside it)" "$replayed" "$rate_zel"
    awk -v p1="$rate_zel" -v p0="$rate_zel_one" -v c="$client_alone" -v cf="$CLIENT_RATE" '
        BEGIN {
            printf "MariaDB: zel pipeline 1 / client = %.2f, pipeline 0 / client = %.2f (client alone %.0f/s); against the client with the feed side: %.2f and %.2f; pipeline 1 / pipeline 0 = %.2f\n",
                   p1 / c, p0 / c, c, p1 / cf, p0 / cf, p1 / p0
        }' | tee -a "$BUILD/ingest-odbc-results.txt"
    # zel stops on Ctrl+C's signal, the simulator on a plain kill.
    kill -INT "$side_zel" 2>/dev/null || true
    kill "$side_feedsim" 2>/dev/null || true
    wait "$side_zel" "$side_feedsim" 2>/dev/null || true
    pids=()
    "$ROOT/scripts/mariadb-server" stop --clean "$MDBDIR" >/dev/null
    MDBDIR=
}

# A spinning process per processor at nice 19: neither client pays for waking an idle
# virtual processor between two round trips (see bench/ingest_pg.sh).
for _ in $(seq 1 "$(nproc)"); do
    nice -n 19 sh -c 'while :; do :; done' &
    spinners+=($!)
done
for part in "${PARTS[@]}"; do
    "part_$part"
done
