#!/usr/bin/env bash
# One generated stream written twice: first live from the simulator with statements sent in
# batches (pipeline 1) while the simulator records what it sends, then the record replayed
# into a second database with statements sent one at a time (pipeline 0). Every table but
# the status table must hold the same rows in both databases, and the first must hold what
# was sent (compare_sent.sql). The simulated clock (--start-time) makes the time stamps of
# both runs the same; the columns left out are named at columns() below.
#
#   pipeline_same_rows_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [SECONDS]
# Needs ZEL_PG_ENV (the pg_server fixture's env file).
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5 SECONDS_TOTAL=${6:-15}
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
# shellcheck source=compare_sent.sh
source "$HERE/compare_sent.sh"
use_pg_env "$ZEL_PG_ENV"
BATCHED=zel_batched_$$
ONE_BY_ONE=zel_one_by_one_$$
fresh_database "$BATCHED"
fresh_database "$ONE_BY_ONE"

# Written and queued counts stay still for three seconds with nothing queued.
settled() {
    local before after n
    before=$(status_value database-updates-ok)
    for n in 1 2 3; do
        sleep 1
        [[ $(status_value database-updates-queued) == 0 ]] || return 1
    done
    after=$(status_value database-updates-ok)
    [[ -n $after && $after -gt 1000 && $before == "$after" ]]
}

echo "--- live, pipeline 1"
start_feedsim --instruments 200 --rate 1500 --seed 23 --start-time '2026-03-02 09:00:00' \
    --duration "$SECONDS_TOTAL" --record sent.txt
write_config "$BATCHED" pipeline 1
start_zel zel-batched.out
wait "$feedsim_pid"
feedsim_pid=
check "queues drained after the stream ended" wait_for 60 settled
check_eq "no failed statement (batched)" 0 "$(status_value database-updated-failed)"
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
compare_with_sent "$BATCHED" sent.txt

echo "--- replayed, pipeline 0"
# The record begins with the answer to zel's request: the replay waits for the request.
sed '1a @expect-request' sent.txt >replay.txt
start_feedsim --script replay.txt
write_config "$ONE_BY_ONE" pipeline 0
start_zel zel-one-by-one.out
check "the replay was written" wait_for 120 settled
check_eq "no failed statement (one by one)" 0 "$(status_value database-updated-failed)"
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
kill "$feedsim_pid" 2>/dev/null && wait "$feedsim_pid" 2>/dev/null
feedsim_pid=

# The columns compared: all, except the history's time of day, which zel takes from its own
# clock when the message has none, and, in the two tables whose values are worked out from
# the quote price stored at the time (performance, keyratios), everything but the instrument:
# which price another database thread had stored by then is a matter of timing between the
# threads in either run. In the minute bars the first and last prices are those of the
# trades in the order the server returns them, which is the order of the rows in the table:
# a trade updated in place moves to its end at a moment that differs between the runs, so
# only the order-free columns are compared there.
columns() {
    case $2 in
    performance | keyratios) echo insref ;;
    minute_bars) echo insref,bar_time,high_price,low_price,high_price2,low_price2,volume,turnover ;;
    *) sql "$1" "SELECT string_agg(quote_ident(column_name), ',' ORDER BY ordinal_position)
                 FROM information_schema.columns
                 WHERE table_schema = 'public' AND table_name = '$2' AND column_name <> 'hist_time'" ;;
    esac
}
# Each table as a count and a digest of its rows in a fixed order.
digest() {
    local cols
    cols=$(columns "$1" "$2")
    sql "$1" "SELECT count(*) || ' ' || coalesce(md5(string_agg(r, E'\n' ORDER BY r)), '-')
              FROM (SELECT ROW($cols)::text AS r FROM $2) x"
}
tables=$(sql "$BATCHED" "SELECT table_name FROM information_schema.tables
                         WHERE table_schema = 'public' AND table_name <> 'zel_status' ORDER BY 1")
with_rows=0
for table in $tables; do
    a=$(digest "$BATCHED" "$table")
    b=$(digest "$ONE_BY_ONE" "$table")
    check_eq "table $table the same both ways" "$b" "$a"
    if [[ $a != "$b" ]]; then
        # The rows of each, for the diff that tells what differs.
        cols=$(columns "$BATCHED" "$table")
        sql "$BATCHED" "SELECT ROW($cols)::text FROM $table ORDER BY 1" >"$table-batched.txt"
        sql "$ONE_BY_ONE" "SELECT ROW($cols)::text FROM $table ORDER BY 1" >"$table-one-by-one.txt"
        diff "$table-one-by-one.txt" "$table-batched.txt" | head -6
    fi
    [[ ${a%% *} -gt 0 ]] && with_rows=$((with_rows + 1))
done
check "tables with rows compared ($with_rows)" test "$with_rows" -gt 10
if ((failures)); then
    tail -n 20 zel-batched.out zel-one-by-one.out
fi
finish
