#!/usr/bin/env bash
# ingest_pg.sh - the ingest benchmark: the feed simulator at full rate (a quote-heavy mix over
# 1,000 instruments) into zel into PostgreSQL with transactions of 1000 items, and, in the
# same run, pgbench replaying the statements zel executed (its SQL log) over four
# connections, connection by connection and transaction by transaction as zel ran them.
#
#   bench/ingest_pg.sh [--seconds N] [--rate N] [--build DIR] [--fast | --durable | --both]
#                      [--savepoints] [--pin] [--transactions N] [--pipeline 0|1]
#                      [--pgbench-pipeline] [--part-statements N]
#
#   --seconds N   how long zel runs (default 30)
#   --rate N      messages per second the simulator sends (default 0: as fast as zel reads)
#   --build DIR   where zel, dbdrv_pgsql and feedsim are built (default build-bench, a
#                 Release build made here)
#   --fast        the test servers' settings: no fsync, no synchronous commit (default)
#   --durable     the server's default durability settings
#   --both        one run of each
#   --savepoints  pgbench also replays with the savepoint that the PostgreSQL module puts
#                 around every statement inside a transaction, in the same query text (what
#                 the server really gets)
#   --transactions N  zel's key transactions (default 1000)
#   --pipeline 0|1    zel's key pipeline (default 1: statements sent in batches)
#   --pgbench-pipeline  pgbench also replays each transaction in pipeline mode
#                 (\startpipeline / \endpipeline around it): the same SQL as close to the
#                 server's limit as a client gets
#   --part-statements N  the replay's parts end with the first COMMIT at or after N
#                 statements (default 1000; 1: one transaction per part)
#   --pin         the feed side (the simulator and zel's feed thread) on processor 0, the
#                 database side (zel's database threads, the server, pgbench) on processor
#                 1, in both runs: the two clients get the same processor for the same
#                 work (needs two processors)
#
# Reported per run: messages received per second, statements executed per second, the share
# of messages merged into waiting items, pgbench's statements per second on the same
# statements, and the ratio of the two. Work files go to DIR/ingest-<mode>/.
#
# The replay: each connection's part of the log is cut into parts of whole transactions, a part
# ending with the first COMMIT at or after 1,000 statements (--part-statements): pgbench reads a
# script in time that grows with the square of its length, so one script per connection would
# take longer to read than to run. With transactions of 1000 items every transaction is a part
# of its own; with transactions of 100, a part holds several, run one after the other in one
# session as zel runs them, instead of one pgbench run and one hand-over per transaction.
# Per connection, one pgbench process after the other runs one part each (-c 1 -t 1), in the
# order zel ran them; the four connections replay side by side. Every part is connected and has read its script before the clock starts; a part
# waits for its turn on an advisory lock that the part before it holds until its last
# statement, so the statements follow each other as in one session. The clock runs from
# releasing the first parts to the end of the last.
#
# Idle processors (without --pin): on a virtual machine a processor that has gone idle between
# two messages of a round trip takes tens of microseconds to wake (60 us per statement was
# measured here), so a client that waits for each answer runs much faster on a busy machine
# than on an idle one. zel's run keeps every processor busy (its feed thread reads at full
# rate) while a bare replay would not, so both run beside one spinning process per processor
# at nice 19, which only takes time that nothing else wants.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
HERE=$ROOT/bench/ingest
BUILD=$ROOT/build-bench
SECONDS_TO_RUN=30
RATE=0
MODES=(fast)
SAVEPOINTS=0
PIN=0
TRANSACTIONS=1000
PIPELINE=1
PGBENCH_PIPELINE=0
PART_STATEMENTS=1000
while (($#)); do
    case $1 in
    --seconds) SECONDS_TO_RUN=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --fast) MODES=(fast); shift ;;
    --durable) MODES=(durable); shift ;;
    --both) MODES=(fast durable); shift ;;
    --savepoints) SAVEPOINTS=1; shift ;;
    --transactions) TRANSACTIONS=$2; shift 2 ;;
    --pipeline) PIPELINE=$2; shift 2 ;;
    --pgbench-pipeline) PGBENCH_PIPELINE=1; shift ;;
    --pin) PIN=1; shift ;;
    --part-statements) PART_STATEMENTS=$2; shift 2 ;;
    *) sed -n '7,31p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
[[ $SECONDS_TO_RUN =~ ^[0-9]+$ ]] && ((SECONDS_TO_RUN >= 10)) ||
    { echo "ingest_pg.sh: --seconds must be 10 or more" >&2; exit 2; }
[[ $RATE =~ ^[0-9]+$ ]] || { echo "ingest_pg.sh: --rate must be a whole number" >&2; exit 2; }
[[ $PART_STATEMENTS =~ ^[1-9][0-9]*$ ]] || { echo "ingest_pg.sh: --part-statements must be 1 or more" >&2; exit 2; }

if ((PIN)) && (($(nproc) < 2)); then
    echo "ingest_pg.sh: --pin needs two processors" >&2
    exit 2
fi
# Command prefixes that put a program on its processor under --pin (taskset execs the
# program, so $! of a command started in the background is still the program's).
FEED_SIDE=()
DATABASE_SIDE=()
if ((PIN)); then
    FEED_SIDE=(taskset -c 0)
    DATABASE_SIDE=(taskset -c 1)
fi

# The server's processes, those started later included (they inherit the postmaster's).
pin_server() {
    local postmaster child
    postmaster=$(head -1 "$ZEL_PG_DATA/postmaster.pid")
    taskset -p -c 1 "$postmaster" >/dev/null
    for child in $(pgrep -P "$postmaster"); do taskset -p -c 1 "$child" >/dev/null; done
}

# zel's feed thread (named "zel feed") moves to the feed side once zel has started it.
pin_feed_thread() {
    local zel_pid=$1 task
    for _ in $(seq 1 300); do
        for task in /proc/"$zel_pid"/task/*; do
            if [[ $(cat "$task/comm" 2>/dev/null) == "zel feed" ]]; then
                taskset -p -c 0 "${task##*/}" >/dev/null
                return
            fi
        done
        sleep 0.05
    done
    echo "ingest_pg.sh: zel's feed thread did not start (see $work/zel.out)" >&2
    exit 1
}

say() { printf '\n==> %s\n' "$*"; }
now() { date +%s.%N; }

if [[ $BUILD == "$ROOT/build-bench" ]]; then
    say "Building zel, dbdrv_pgsql and feedsim (Release) in build-bench/"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF \
        -DZEL_BUILD_BENCH=OFF >/dev/null
    cmake --build "$BUILD" -j "$(nproc)" --target zel dbdrv_pgsql feedsim >/dev/null
fi
ZEL=$BUILD/zel/zel
MODULE=$BUILD/modules/pgsql/dbdrv_pgsql.so
FEEDSIM=$BUILD/tools/feedsim/feedsim
source "$ROOT/bench/ingest/feed_side.sh"
for f in "$ZEL" "$MODULE" "$FEEDSIM"; do
    [[ -x $f || -f $f ]] || { echo "ingest_pg.sh: $f is not built" >&2; exit 1; }
done
PGBENCH=

pids=()
spinners=()
PGDIR=
cleanup() {
    set +e
    local pid
    # A replayed connection's pgbench runs are children of its own shell.
    for pid in "${pids[@]}" "${spinners[@]}"; do
        pkill -P "$pid" 2>/dev/null
        kill "$pid" 2>/dev/null
    done
    [[ -n $PGDIR ]] && "$ROOT/scripts/pg-server" stop --clean "$PGDIR" >/dev/null 2>&1
}
trap cleanup EXIT

status() { "$ZEL" --status --map-name="$MAP_NAME" | sed -n "s/^$1: //p"; }

# replay WORK VARIANT DATABASE: replays the split log (WORK/replay) in DATABASE (made from the
# example schema) and sets REPLAY_SECONDS. VARIANT plain replays the statements as logged; savepoints
# puts the module's savepoint around each statement inside a transaction, in one query text;
# empty replays the same parts with an empty transaction each, which times the replay's own
# hand-overs between parts.
replay() {
    local work=$1 variant=$2 db=$3
    local dir=$work/$variant
    rm -rf "$dir"
    mkdir -p "$dir/gate" "$dir/pgbench"
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE $db"
    "${PSQL[@]}" -d "$db" -f "$ROOT/examples/schema/postgresql.sql" >/dev/null
    # Each run starts on a quiet server: no dead rows of an earlier run for autovacuum to
    # clean up meanwhile, no dirty pages waiting for a checkpoint.
    "${SUPER[@]}" -c "CHECKPOINT" >/dev/null
    local q queues=()
    for q in 1 2 3 4; do
        [[ -f $work/replay/q${q}_0.sql ]] || continue
        replay_connection "$work" "$dir" "$q" "$variant" "$db" &
        pids+=($!)
        queues+=("$q")
    done
    # The clock starts when every part is connected, has read its script and waits.
    local parts ready=0
    parts=$(find "$work/replay" -name 'q*_*.sql' | wc -l)
    for _ in $(seq 1 12000); do
        ready=$(find "$dir/gate" -name '*.ready' | wc -l)
        ((ready == parts)) && break
        if compgen -G "$dir/failed-*" >/dev/null; then break; fi
        sleep 0.05
    done
    ((ready == parts)) || { echo "ingest_pg.sh: $ready of $parts parts of the $variant replay got ready" >&2; exit 1; }
    local t0
    t0=$(now)
    for q in "${queues[@]}"; do echo go >"$dir/gate/q$q"; done
    wait "${pids[@]}" || true
    pids=()
    if compgen -G "$dir/failed-*" >/dev/null; then
        echo "ingest_pg.sh: the $variant replay failed:" >&2
        head -3 "$dir"/failed-* >&2
        exit 1
    fi
    REPLAY_SECONDS=$(cat "$dir"/done-* | sort -g | tail -1 | awk -v a="$t0" '{ print $1 - a }')
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE $db"
}

# replay_connection WORK DIR QUEUE VARIANT DATABASE: one connection's transactions in order,
# one pgbench run (-c 1 -t 1) per part. Every part is started, connected and has read its
# script before the clock starts. Parts hand the turn on through the server: part I holds
# the advisory lock of part I+1 from its start and lets it go after its last statement, and
# part I+1 waits for that lock before its first, so the statements follow each other as in
# one session, with one wake-up in the server between parts. The first part waits on a named
# pipe that replay opens to start the clock. Parts start one after the other, each once the
# one before holds its successor's lock. Under --pin a part reads its script on the feed
# side's processor and moves to the database side's before it waits. Writes the clock time
# its last part ended to DIR/done-QUEUE; a failed part's error to DIR/failed-QUEUE.
replay_connection() {
    local work=$1 dir=$2 q=$3 variant=$4 db=$5
    local n=0 i started=() move= file
    if ((PIN)); then move='taskset -p -c 1 $PPID >/dev/null && '; fi
    while [[ -f $work/replay/q${q}_$n.sql ]]; do n=$((n + 1)); done
    mkfifo "$dir/gate/q$q"
    turn() { echo $((q * 1000000 + $1)); }
    for ((i = 0; i < n; i++)); do
        file=$dir/q${q}_$i.sql
        {
            if ((i + 1 < n)); then echo "SELECT pg_advisory_lock($(turn $((i + 1))));"; fi
            echo "\\shell ${move}touch $dir/gate/q${q}_$i.ready"
            if ((i == 0)); then
                echo "\\shell cat $dir/gate/q$q >/dev/null"
            else
                echo "SELECT pg_advisory_lock($(turn "$i"));"
            fi
            if [[ $variant == empty ]]; then
                echo "START TRANSACTION;"
                echo "COMMIT;"
            elif [[ $variant == savepoints ]]; then
                # Queries run without one; "\;" joins the parts into one query text.
                awk '/^START TRANSACTION;$/ { print; inside = 1; next }
                     /^(COMMIT|ROLLBACK);$/ { print; inside = 0; next }
                     inside && !/^SELECT / {
                         sub(/;$/, "")
                         print "SAVEPOINT zel_savepoint\\; " $0 "\\; RELEASE SAVEPOINT zel_savepoint;"
                         next
                     }
                     { print }' "$work/replay/q${q}_$i.sql"
            elif [[ $variant == pipelined ]]; then
                awk '/^START TRANSACTION;$/ { print "\\startpipeline" }
                     { print }
                     /^(COMMIT|ROLLBACK);$/ { print "\\endpipeline" }' "$work/replay/q${q}_$i.sql"
            else
                cat "$work/replay/q${q}_$i.sql"
            fi
            if ((i + 1 < n)); then
                echo "SELECT pg_advisory_unlock($(turn $((i + 1))));"
            else
                echo "\\shell date +%s.%N >$dir/done-$q"
            fi
        } >"$file"
        # Pipeline mode needs the extended query protocol.
        local protocol=()
        [[ $variant == pipelined ]] && protocol=(-M extended)
        "${FEED_SIDE[@]}" "$PGBENCH" -n "${protocol[@]}" -c 1 -t 1 -f "$file" -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" \
            -U "$ZEL_PG_USER" "$db" >"$dir/pgbench/q${q}_$i.log" 2>&1 &
        started[i]=$!
        # The next part may only wait for its turn once this one holds the lock it waits for.
        while [[ ! -e $dir/gate/q${q}_$i.ready ]]; do
            if ! kill -0 "${started[i]}" 2>/dev/null; then break; fi
            sleep 0.02
        done
    done
    for ((i = 0; i < n; i++)); do
        wait "${started[i]}" || true
        if ! grep -q '^number of failed transactions: 0 ' "$dir/pgbench/q${q}_$i.log"; then
            printf 'q%s_%d: %s\n' "$q" "$i" \
                "$(grep -i -m1 'error\|abort' "$dir/pgbench/q${q}_$i.log")" >"$dir/failed-$q"
            for ((i = i + 1; i < n; i++)); do kill "${started[i]}" 2>/dev/null || true; done
            return 0
        fi
    done
}

run_mode() {
    local mode=$1 work=$BUILD/ingest-$1
    rm -rf "$work"
    mkdir -p "$work/sql" "$work/replay"
    PGDIR=$work/pg
    say "$mode: PostgreSQL ($([[ $mode == durable ]] && echo "default durability" || echo "fsync off"))"
    local durable=()
    [[ $mode == durable ]] && durable=(--durable)
    "$ROOT/scripts/pg-server" start "${durable[@]}" "$PGDIR" >/dev/null
    # shellcheck disable=SC1091
    source "$PGDIR/env"
    export PGPASSWORD=$ZEL_PG_PASSWORD
    PGBENCH=$ZEL_PG_BINDIR/pgbench
    if ((PIN)); then pin_server; fi
    PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER")
    SUPER=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_SOCKET_DIR" -p "$ZEL_PG_PORT"
           -U "$ZEL_PG_SUPERUSER" -d postgres)
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE zel_ingest"
    "${PSQL[@]}" -d zel_ingest -f "$ROOT/examples/schema/postgresql.sql" >/dev/null

    say "$mode: zel for $SECONDS_TO_RUN seconds, the simulator $( ((RATE)) && echo "at $RATE messages/s" || echo "at full rate")"
    local feedsim_pid
    start_feed_side "$work" "$RATE" "${FEED_SIDE[@]}"
    cat >"$work/zel.config" <<CONFIG
Corvalinder
server 127.0.0.1:$(cat "$work/feedsim.port")
username demo
password demo
Database
instance $MODULE
server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname zel_ingest
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
transactions $TRANSACTIONS
pipeline $PIPELINE
updateinterval 0
aggtrades 1
keepdeleted 1
Application
tabledefinitions $ROOT/examples/zel.tabledef
Log
logsqlpath $work/sql/
CONFIG
    MAP_NAME="Global\\zel ingest bench $$"
    "${DATABASE_SIDE[@]}" "$ZEL" --config="$work/zel.config" --map-name="$MAP_NAME" --silent \
        </dev/null >"$work/zel.out" 2>&1 &
    local zel_pid=$!
    pids+=("$zel_pid")
    if ((PIN)); then pin_feed_thread "$zel_pid"; fi
    # The clock starts with zel's first statement; the counters are read just before the stop.
    local t_first= t_stop t_exit d
    for _ in $(seq 1 300); do
        d=$(status database-updates-ok)
        if [[ -n $d && $d != 0 ]]; then t_first=$(now); break; fi
        sleep 0.05
    done
    [[ -n $t_first ]] || { echo "ingest_pg.sh: zel wrote nothing (see $work/zel.out)" >&2; exit 1; }
    sleep "$SECONDS_TO_RUN"
    "$ZEL" --status --map-name="$MAP_NAME" >"$work/status.txt"
    t_stop=$(now)
    kill -INT "$zel_pid"
    wait "$zel_pid" || true
    # Every statement in the log ran before zel ended: the statement rate counts to here.
    t_exit=$(now)
    kill "$feedsim_pid" 2>/dev/null; wait "$feedsim_pid" 2>/dev/null || true
    pids=()
    value() { sed -n "s/^$1: //p" "$work/status.txt"; }
    local received merged failed
    received=$(value received-messages)
    merged=$(value deduplicated-messages)
    failed=$(value database-updated-failed)

    # Only the SQL log is needed from here on.
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE zel_ingest"

    say "$mode: the replay of zel's statements with pgbench"
    local split
    split=$(awk -v out="$work/replay" -v limit="$PART_STATEMENTS" -f "$HERE/sql_log_to_pgbench.awk" "$work"/sql/*.log)
    echo "$split"
    # Every part holds a connection while it waits for its turn.
    local parts
    parts=$(find "$work/replay" -name 'q*_*.sql' | wc -l)
    "${SUPER[@]}" -c "ALTER SYSTEM SET max_connections = $((parts + 20))" >/dev/null
    "$ROOT/scripts/pg-server" restart "$PGDIR" >/dev/null
    if ((PIN)); then pin_server; fi
    local statements replay_seconds savepoint_seconds= pipelined_seconds=
    statements=$(sed -n 's/^replayed //p' <<<"$split")
    # The hand-over from one pgbench run to the next costs the replay about 20 ms per part
    # on this kind of machine, time zel's one session per connection does not spend; it is
    # measured with the same parts emptied and taken off the replay times.
    local handover_seconds
    replay "$work" empty replay_empty
    handover_seconds=$REPLAY_SECONDS
    replay "$work" plain replay_ingest
    replay_seconds=$(awk -v a="$REPLAY_SECONDS" -v b="$handover_seconds" 'BEGIN { print a - b }')
    if ((PGBENCH_PIPELINE)); then
        replay "$work" pipelined replay_pipelined
        pipelined_seconds=$(awk -v a="$REPLAY_SECONDS" -v b="$handover_seconds" 'BEGIN { print a - b }')
    fi
    if ((SAVEPOINTS)); then
        replay "$work" savepoints replay_savepoints
        savepoint_seconds=$(awk -v a="$REPLAY_SECONDS" -v b="$handover_seconds" 'BEGIN { print a - b }')
    fi

    local label="$mode, transactions $TRANSACTIONS, pipeline $PIPELINE, $( ((RATE)) && echo "feed at $RATE/s" || echo "feed at full rate")$( ((PIN)) && echo ", pinned")"
    awk -v mode="$label" -v secs="$(awk -v a="$t_first" -v b="$t_stop" 'BEGIN { print b - a }')" \
        -v db_secs="$(awk -v a="$t_first" -v b="$t_exit" 'BEGIN { print b - a }')" \
        -v replay="$replay_seconds" -v with_savepoints="$savepoint_seconds" \
        -v pipelined="$pipelined_seconds" \
        -v handover="$handover_seconds" \
        -v received="$received" -v merged="$merged" -v failed="$failed" -v statements="$statements" '
        BEGIN {
            zel = statements / db_secs; pg = statements / replay
            printf "\n%s: zel ran %.1f s: %.0f messages/s received, %.1f%% merged; %d statements in %.1f s (%.0f/s), %s failed\n",
                   mode, secs, received / secs, 100 * merged / received, statements, db_secs, zel, failed
            printf "%s: pgbench replayed them in %.1f s (%.1f s of hand-overs between its runs taken off): %.0f statements/s; zel / pgbench = %.2f\n",
                   mode, replay, handover, pg, zel / pg
            if (pipelined != "")
                printf "%s: pgbench in pipeline mode: %.1f s: %.0f statements/s; zel / pgbench = %.2f\n",
                       mode, pipelined, statements / pipelined, zel / (statements / pipelined)
            if (with_savepoints != "")
                printf "%s: pgbench with the savepoints: %.1f s: %.0f statements/s; zel / pgbench = %.2f\n",
                       mode, with_savepoints, statements / with_savepoints, zel / (statements / with_savepoints)
        }' | tee -a "$BUILD/ingest-results.txt"
    "$ROOT/scripts/pg-server" stop --clean "$PGDIR" >/dev/null
    PGDIR=
}

for _ in $(seq 1 "$( ((PIN)) && echo 0 || nproc)"); do
    nice -n 19 sh -c 'while :; do :; done' &
    spinners+=($!)
done
: >"$BUILD/ingest-results.txt"
for mode in "${MODES[@]}"; do
    run_mode "$mode"
done
