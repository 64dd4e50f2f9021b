#!/usr/bin/env bash
# instances_pg.sh - what a second zel instance adds: the feed simulator flat out (the ingest
# benchmark's quote-heavy mix) into one PostgreSQL server, first through one zel instance that
# takes every instrument, then through two instances with disjoint halves of the instruments
# (their own `insrefs`, statistics block and status table) at the same time.
#
#   bench/instances_pg.sh [--seconds N] [--instruments N] [--rate N] [--build DIR] [--durable]
#
#   --seconds N      how long each run writes (default 20)
#   --instruments N  size of the generated market (default 1000; references 1001 upwards)
#   --rate N         messages per second in all (default 0: each client as fast as it
#                    reads); with two instances each client gets half
#   --build DIR      where zel, dbdrv_pgsql and feedsim are built (default build)
#   --durable        the server's default durability settings (default: fsync off)
#
# Per run and instance: messages received per second, statements written per second
# (zel's database-updates-ok counter over the run), the peak resident memory of the process
# and its connections to the server; then the sums. Work files go to DIR/instances-bench/.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
SECONDS_TO_RUN=20
INSTRUMENTS=1000
RATE=0
DURABLE=()
while (($#)); do
    case $1 in
    --seconds) SECONDS_TO_RUN=$2; shift 2 ;;
    --instruments) INSTRUMENTS=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --durable) DURABLE=(--durable); shift ;;
    *) sed -n '7,14p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
[[ $SECONDS_TO_RUN =~ ^[0-9]+$ ]] && ((SECONDS_TO_RUN >= 5)) ||
    { echo "instances_pg.sh: --seconds must be 5 or more" >&2; exit 2; }
[[ $INSTRUMENTS =~ ^[0-9]+$ ]] && ((INSTRUMENTS >= 2)) ||
    { echo "instances_pg.sh: --instruments must be 2 or more" >&2; exit 2; }
ZEL=$BUILD/zel/zel
MODULE=$BUILD/modules/pgsql/dbdrv_pgsql.so
FEEDSIM=$BUILD/tools/feedsim/feedsim
for f in "$ZEL" "$MODULE" "$FEEDSIM"; do
    [[ -x $f || -f $f ]] || { echo "instances_pg.sh: $f is missing (build zel dbdrv_pgsql feedsim)" >&2; exit 1; }
done

WORK=$BUILD/instances-bench
rm -rf "$WORK"
mkdir -p "$WORK"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
    "$ROOT/scripts/pg-server" stop --clean "$WORK/pg" >/dev/null 2>&1 || true
}
trap cleanup EXIT
now() { date +%s.%N; }

"$ROOT/scripts/pg-server" start "${DURABLE[@]}" "$WORK/pg" >/dev/null
# shellcheck disable=SC1091
source "$WORK/pg/env"
export PGPASSWORD=$ZEL_PG_PASSWORD
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER")

[[ $RATE =~ ^[0-9]+$ ]] || { echo "instances_pg.sh: --rate must be a whole number" >&2; exit 2; }

# start_feed RATE: a simulator of its own for a run, RATE messages per second per client.
start_feed() {
    rm -f "$WORK/feedsim.port"
    "$FEEDSIM" --listen 127.0.0.1:0 --port-file "$WORK/feedsim.port" --user demo --password demo \
        --rate "$1" --instruments "$INSTRUMENTS" --seed 1 --mix FEED_QUOTE=80,FEED_QUOTEEX=10,FEED_TRADE=10 \
        >"$WORK/feedsim.log" 2>&1 &
    feed_pid=$!
    pids+=("$feed_pid")
    for _ in $(seq 1 100); do [[ -s $WORK/feedsim.port ]] && break; sleep 0.1; done
    FEED_PORT=$(cat "$WORK/feedsim.port")
}
stop_feed() { kill "$feed_pid" 2>/dev/null; wait "$feed_pid" 2>/dev/null || true; }

# config NAME DB INSREFS: an instance's configuration and table definitions (status table
# zel_status_NAME).
config() {
    local name=$1 db=$2 refs=$3
    sed "s/table=\"zel_status\"/table=\"zel_status_$name\"/" "$ROOT/examples/zel.tabledef" \
        >"$WORK/zel-$name.tabledef"
    "${PSQL[@]}" -d "$db" -c "CREATE TABLE zel_status_$name (LIKE zel_status INCLUDING ALL)"
    cat >"$WORK/zel-$name.config" <<CONFIG
Corvalinder
server 127.0.0.1:$FEED_PORT
username demo
password demo
insrefs $refs
$([[ $name == b ]] && echo "requestnews 0")
Database
instance $MODULE
server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname $db
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
transactions 1000
updateinterval 0
aggtrades 1
keepdeleted 1
Application
tabledefinitions $WORK/zel-$name.tabledef
CONFIG
}

map() { echo "Global\\zel instances bench $1 $$"; }
status() { "$ZEL" --status --map-name="$(map "$1")" | sed -n "s/^$2: //p"; }

# run LABEL DB NAME...: the named instances side by side for SECONDS_TO_RUN seconds.
run() {
    local label=$1 db=$2
    shift 2
    local names=("$@") name zel_pids=() i
    for name in "${names[@]}"; do
        "$ZEL" --config="$WORK/zel-$name.config" --map-name="$(map "$name")" --silent \
            </dev/null >"$WORK/zel-$name.out" 2>&1 &
        zel_pids+=($!)
        pids+=($!)
    done
    # The clock starts once every instance has written its first statement.
    local started=
    for _ in $(seq 1 600); do
        started=1
        for name in "${names[@]}"; do
            [[ $(status "$name" database-updates-ok) =~ ^[1-9] ]] || started=
        done
        [[ -n $started ]] && break
        sleep 0.05
    done
    [[ -n $started ]] || { echo "instances_pg.sh: an instance wrote nothing (see $WORK/zel-*.out)" >&2; exit 1; }
    local t0 t1 r0=() s0=() r1=() s1=()
    t0=$(now)
    for name in "${names[@]}"; do
        r0+=("$(status "$name" received-messages)")
        s0+=("$(status "$name" database-updates-ok)")
    done
    sleep "$SECONDS_TO_RUN"
    t1=$(now)
    for name in "${names[@]}"; do
        r1+=("$(status "$name" received-messages)")
        s1+=("$(status "$name" database-updates-ok)")
    done
    local connections
    connections=$("${PSQL[@]}" -d "$db" -At -c "SELECT count(*) FROM pg_stat_activity
                   WHERE datname = '$db' AND pid <> pg_backend_pid()")
    local hwm=()
    for i in "${!names[@]}"; do
        hwm+=("$(awk '/^VmHWM:/ { print int($2 / 1024) }' "/proc/${zel_pids[i]}/status")")
        kill -INT "${zel_pids[i]}"
    done
    for i in "${!names[@]}"; do wait "${zel_pids[i]}" || true; done
    local queued=()
    for name in "${names[@]}"; do queued+=("$(status "$name" database-updates-queued)"); done
    local failed=0
    for name in "${names[@]}"; do
        grep -q "SQL Error" "$WORK/zel-$name.out" && failed=1
    done
    awk -v label="$label" -v t="$(echo "$t1 - $t0" | bc)" -v conns="$connections" -v failed="$failed" \
        -v names="${names[*]}" -v r0="${r0[*]}" -v r1="${r1[*]}" -v s0="${s0[*]}" -v s1="${s1[*]}" \
        -v hwm="${hwm[*]}" -v queued="${queued[*]}" 'BEGIN {
            n = split(names, nm, " "); split(r0, a, " "); split(r1, b, " ")
            split(s0, c, " "); split(s1, d, " "); split(hwm, h, " "); split(queued, q, " ")
            for (i = 1; i <= n; i++) {
                printf "%-10s instance %s: %9.0f messages/s received, %7.0f statements/s, peak memory %d MiB, %d items queued at the end\n",
                       label, nm[i], (b[i] - a[i]) / t, (d[i] - c[i]) / t, h[i], q[i]
                mr += (b[i] - a[i]) / t; st += (d[i] - c[i]) / t
            }
            printf "%-10s all:        %9.0f messages/s received, %7.0f statements/s, %d server connections%s\n",
                   label, mr, st, conns, failed ? " (SQL errors: see zel-*.out)" : ""
        }'
}

half=$((1000 + INSTRUMENTS / 2))
"${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE bench_one" -c "CREATE DATABASE bench_two"
for db in bench_one bench_two; do
    "${PSQL[@]}" -d "$db" -f "$ROOT/examples/schema/postgresql.sql" >/dev/null
done
start_feed "$RATE"
config one bench_one '*'
run "one" bench_one one
stop_feed
start_feed $((RATE / 2))
config a bench_two "$(seq -s ' ' 1001 "$half")"
config b bench_two "$(seq -s ' ' $((half + 1)) $((1000 + INSTRUMENTS)))"
run "two" bench_two a b
stop_feed
