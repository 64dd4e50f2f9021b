#!/usr/bin/env bash
# freshness_pg.sh - how fresh the database is: the delay from the feed simulator sending a quote
# to that value being readable in PostgreSQL, while zel writes the feed (a quote-heavy mix over
# 1,000 instruments) at a fixed rate; and, with --stall, how long the delay takes to come back
# to normal after the quotes table was locked against writes for 5 seconds.
#
#   bench/freshness_pg.sh [--build DIR] [--rate N[,N...]] [--pipeline 0|1|both]
#                         [--seconds N] [--interval MS] [--transactions N] [--stall]
#                         [--durable]
#
#   --build DIR      where zel, dbdrv_pgsql, feedsim and freshness_poll are built (default
#                    build-bench, a Release build made here)
#   --rate N,...     the simulator's messages per second; one run per rate (default
#                    20000, the sustained rate measured in docs/performance.md)
#   --pipeline P     zel's key pipeline: 0, 1 or both (default both: a run with each, per rate)
#   --seconds N      how long the poller measures (default 30; with --stall, the time after
#                    the stall ends, default 20)
#   --interval MS    the poller's interval (default 10)
#   --transactions N zel's key transactions (default 0, zel's default: no transactions)
#   --stall          10 seconds of measurement, then the quotes table locked in EXCLUSIVE mode
#                    for 5 seconds (writes wait, reads go on), then --seconds more
#   --durable        the server's default durability settings (default: fsync off)
#
# A run: a fresh database from the example schema on a throwaway server (scripts/pg-server),
# the simulator at the rate, zel writing into the database; once zel has written the first
# snapshot of every instrument and its waiting items have stopped falling, the poller
# (bench/freshness_poll.cpp) reads the quotes table every INTERVAL ms and records, for every
# row that changed, the time since the simulator sent the value it now holds (the quote's date
# and time, which the simulator sets from the wall clock when it sends the message). zel's
# waiting items are read from its status every second meanwhile: a rate the database keeps up
# with leaves them level.
#
# Reported per run, one line in DIR/freshness-results.txt: the delay's median, 99th percentile
# and maximum over the measurement (the stall run: over the 10 seconds before the lock), the
# changes seen, zel's waiting items at the start and end of the measurement and their maximum,
# the poll's mean time, and the load average before the run. With --stall also: the time from
# the lock's release until the delay is back to normal, "normal" being the first moment from
# which no change seen for a whole second is later than twice the 99th percentile before the
# lock (the first observation at or after that moment counts; see freshness_recovery below).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build-bench
RATES=20000
PIPELINES=(0 1)
MEASURE_SECONDS=
INTERVAL_MS=10
TRANSACTIONS=0
STALL=0
DURABLE=()
while (($#)); do
    case $1 in
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --rate) RATES=$2; shift 2 ;;
    --pipeline)
        case $2 in 0 | 1) PIPELINES=("$2") ;; both) PIPELINES=(0 1) ;;
        *) echo "freshness_pg.sh: --pipeline takes 0, 1 or both" >&2; exit 2 ;; esac
        shift 2 ;;
    --seconds) MEASURE_SECONDS=$2; shift 2 ;;
    --interval) INTERVAL_MS=$2; shift 2 ;;
    --transactions) TRANSACTIONS=$2; shift 2 ;;
    --stall) STALL=1; shift ;;
    --durable) DURABLE=(--durable); shift ;;
    *) sed -n '7,23p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
[[ -n $MEASURE_SECONDS ]] || MEASURE_SECONDS=$( ((STALL)) && echo 20 || echo 30)
[[ $RATES =~ ^[0-9]+(,[0-9]+)*$ ]] || { echo "freshness_pg.sh: --rate takes whole numbers, comma-separated" >&2; exit 2; }
[[ $MEASURE_SECONDS =~ ^[0-9]+$ && $INTERVAL_MS =~ ^[0-9]+$ && $TRANSACTIONS =~ ^[0-9]+$ ]] ||
    { echo "freshness_pg.sh: --seconds, --interval and --transactions take whole numbers" >&2; exit 2; }

say() { printf '\n==> %s\n' "$*"; }
now() { date +%s.%N; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

if [[ $BUILD == "$ROOT/build-bench" ]]; then
    say "Building zel, dbdrv_pgsql, feedsim and freshness_poll (Release) in build-bench/"
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DZEL_BUILD_TESTS=OFF \
        -DZEL_BUILD_BENCH=ON >/dev/null
    cmake --build "$BUILD" -j "$(nproc)" --target zel dbdrv_pgsql feedsim freshness_poll >/dev/null
fi
ZEL=$BUILD/zel/zel
MODULE=$BUILD/modules/pgsql/dbdrv_pgsql.so
FEEDSIM=$BUILD/tools/feedsim/feedsim
source "$ROOT/bench/ingest/feed_side.sh"
POLL=$BUILD/bench/freshness_poll
for f in "$ZEL" "$MODULE" "$FEEDSIM" "$POLL"; do
    [[ -x $f || -f $f ]] || { echo "freshness_pg.sh: $f is not built" >&2; exit 1; }
done

pids=()
PGDIR=
cleanup() {
    set +e
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    [[ -n $PGDIR ]] && "$ROOT/scripts/pg-server" stop --clean "$PGDIR" >/dev/null 2>&1
}
trap cleanup EXIT

OUT=$BUILD/freshness
mkdir -p "$OUT"
PGDIR=$OUT/pg
say "PostgreSQL ($( ((${#DURABLE[@]})) && echo "default durability" || echo "fsync off"))"
"$ROOT/scripts/pg-server" start "${DURABLE[@]}" "$PGDIR" >/dev/null
# shellcheck disable=SC1091
source "$PGDIR/env"
export PGPASSWORD=$ZEL_PG_PASSWORD
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER")
SUPER=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_SOCKET_DIR" -p "$ZEL_PG_PORT"
       -U "$ZEL_PG_SUPERUSER" -d postgres)

# percentiles FILE: "median p99 max count" of the delays (second column, microseconds) in FILE.
percentiles() {
    sort -n -k2,2 "$1" | awk '{ d[NR] = $2 }
        END {
            if (NR == 0) { print "- - - 0"; exit }
            m = d[int((NR + 1) / 2)]; p = d[int(NR * 0.99 + 0.999999)]
            if (p == "") p = d[NR]
            printf "%.1f %.1f %.1f %d\n", m / 1000, p / 1000, d[NR] / 1000, NR
        }'
}

# freshness_recovery FILE RELEASE_US LIMIT_US: milliseconds from RELEASE_US until the delay is
# back to normal. Walking the changes seen after the release in time order, a change later
# than LIMIT_US is "late"; normal is reached at the first change that is not late and after
# which no late change follows within one second. Prints "-" when that never happens.
freshness_recovery() {
    sort -n -k1,1 "$1" | awk -v release="$2" -v limit="$3" '
        # Reads to the end: an early exit would leave sort writing into a closed pipe.
        found || $1 < release { next }
        {
            if ($2 > limit) { candidate = ""; next }
            if (candidate == "") candidate = $1
            if ($1 - candidate >= 1000000) { printf "%.0f\n", (candidate - release) / 1000; found = 1 }
        }
        END { if (!found) print "-" }'
}

status() { "$ZEL" --status --map-name="$MAP_NAME" | sed -n "s/^$1: //p"; }

# run_once RATE PIPELINE: one run; appends its line to the results.
run_once() {
    local rate=$1 pipeline=$2
    local work=$OUT/rate$rate-pipeline$pipeline$( ((STALL)) && echo -stall)
    rm -rf "$work"
    mkdir -p "$work"
    local load_before
    load_before=$(load)
    say "rate $rate/s, pipeline $pipeline$( ((STALL)) && echo ", stall") (load average $load_before)"
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE IF EXISTS zel_fresh" 2>/dev/null
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE zel_fresh"
    "${PSQL[@]}" -d zel_fresh -f "$ROOT/examples/schema/postgresql.sql" >/dev/null
    "${SUPER[@]}" -c "CHECKPOINT" >/dev/null

    local feedsim_pid
    start_feed_side "$work" "$rate"
    cat >"$work/zel.config" <<CONFIG
Corvalinder
server 127.0.0.1:$(cat "$work/feedsim.port")
username demo
password demo
Database
instance $MODULE
server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname zel_fresh
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
transactions $TRANSACTIONS
pipeline $pipeline
updateinterval 0
stopdraintime 0
aggtrades 1
keepdeleted 1
Application
tabledefinitions $ROOT/examples/zel.tabledef
CONFIG
    MAP_NAME="Global\\zel freshness bench $$"
    "$ZEL" --config="$work/zel.config" --map-name="$MAP_NAME" --silent </dev/null >"$work/zel.out" 2>&1 &
    local zel_pid=$!
    pids+=("$zel_pid")
    local started=
    for _ in $(seq 1 300); do
        d=$(status database-updates-ok)
        if [[ -n $d && $d != 0 ]]; then started=1; break; fi
        sleep 0.05
    done
    [[ -n $started ]] || { echo "freshness_pg.sh: zel wrote nothing (see $work/zel.out)" >&2; exit 1; }
    # The first row of every instrument costs an UPDATE that matches nothing and an INSERT,
    # and the live stream queues up behind the first snapshot meanwhile: the measurement starts
    # once zel's waiting items have stopped falling (no lower than 5 seconds before) or are
    # down to 3,000 (the quotes of 1,000 instruments merge into at most one item each per
    # table), at least 10 and at most 60 seconds after zel's first statement.
    local waited queued_now history=()
    for waited in $(seq 1 60); do
        sleep 1
        queued_now=$(status database-updates-queued)
        history+=("$queued_now")
        ((waited >= 10)) || continue
        ((queued_now <= 3000)) && break
        ((queued_now >= history[waited - 6])) && break
    done
    echo "warm-up: $waited s after zel's first statement; waiting items: ${history[*]}" >"$work/warmup.txt"

    local poll_seconds=$MEASURE_SECONDS
    ((STALL)) && poll_seconds=$((10 + 5 + MEASURE_SECONDS))
    "$POLL" "$ZEL_PG_CONNSTR dbname=zel_fresh" "$poll_seconds" "$INTERVAL_MS" "$work/changes.txt" \
        2>"$work/poll.log" &
    local poll_pid=$!
    # zel's waiting items, once a second while the poller runs.
    (
        while kill -0 "$poll_pid" 2>/dev/null; do
            echo "$(date +%s) $(status database-updates-queued)"
            sleep 1
        done
    ) >"$work/queued.txt" &
    local sampler_pid=$!
    local lock_us= release_us=
    if ((STALL)); then
        sleep 10
        lock_us=$(date +%s%6N)
        # EXCLUSIVE mode: zel's writes to quotes wait, the poller's reads go on. The release
        # time is the server's clock (the same host's) right after the COMMIT.
        release_us=$("${PSQL[@]}" -d zel_fresh -t -A \
            -c "BEGIN; LOCK TABLE quotes IN EXCLUSIVE MODE; SELECT pg_sleep(5); COMMIT;" \
            -c "SELECT (extract(epoch FROM clock_timestamp()) * 1000000)::int8" | tail -1)
    fi
    wait "$poll_pid" || { echo "freshness_pg.sh: the poller failed:" >&2; cat "$work/poll.log" >&2; exit 1; }
    wait "$sampler_pid" || true
    "$ZEL" --status --map-name="$MAP_NAME" >"$work/status.txt"
    kill -INT "$zel_pid"
    wait "$zel_pid" || true
    kill "$feedsim_pid" 2>/dev/null; wait "$feedsim_pid" 2>/dev/null || true
    pids=()

    local queued
    queued=$(awk 'NF == 2 { if (first == "") first = $2; last = $2; if ($2 > max) max = $2 }
                  END { printf "%s -> %s (max %s)", first, last, max }' "$work/queued.txt")
    local poll_summary
    poll_summary=$(sed -n 's/.*query time mean \([0-9.]*\) ms.*/\1/p' "$work/poll.log")
    local label="rate $rate/s, pipeline $pipeline, transactions $TRANSACTIONS$( ((${#DURABLE[@]})) && echo ", durable")"
    if ((STALL)); then
        awk -v t="$lock_us" '$1 < t' "$work/changes.txt" >"$work/before.txt"
        local before p99_us recovery
        before=$(percentiles "$work/before.txt")
        p99_us=$(awk '{ printf "%.0f", $2 * 1000 }' <<<"$before")
        recovery=$(freshness_recovery "$work/changes.txt" "$release_us" $((2 * p99_us)))
        local worst
        worst=$(awk -v a="$lock_us" '$1 >= a && $2 > m { m = $2 } END { printf "%.0f", m / 1000 }' "$work/changes.txt")
        read -r med p99 max n <<<"$before"
        printf '%s, stall: before the lock median %s ms, p99 %s ms (%s changes); lock held %.2f s; worst delay after %s ms; back to normal (2 x p99 = %.1f ms for 1 s) %s ms after the release; waiting items %s; poll %s ms; load %s\n' \
            "$label" "$med" "$p99" "$n" "$(awk -v a="$lock_us" -v b="$release_us" 'BEGIN { print (b - a) / 1e6 }')" \
            "$worst" "$(awk -v p="$p99" 'BEGIN { print 2 * p }')" "$recovery" "$queued" "$poll_summary" "$load_before" |
            tee -a "$OUT/freshness-results.txt"
    else
        read -r med p99 max n <<<"$(percentiles "$work/changes.txt")"
        printf '%s: delay median %s ms, p99 %s ms, max %s ms (%s changes in %s s); waiting items %s; poll %s ms; load %s\n' \
            "$label" "$med" "$p99" "$max" "$n" "$MEASURE_SECONDS" "$queued" "$poll_summary" "$load_before" |
            tee -a "$OUT/freshness-results.txt"
    fi
}

IFS=, read -r -a rate_list <<<"$RATES"
for rate in "${rate_list[@]}"; do
    for pipeline in "${PIPELINES[@]}"; do
        run_once "$rate" "$pipeline"
    done
done
