#!/usr/bin/env bash
# Fault case: the database fails over under a generated stream with transactions on. A
# primary and a synchronous standby (scripts/pg-failover); zel is given both hosts as lists
# (`server h,h`, `port p1,p2`). Mid-stream: `pg_autoctl perform failover` twice (the primary
# changes node and back), then a kill -9 of the primary's postmaster (pg_autoctl restarts it
# on the same node after crash recovery). Afterwards every trade sent is stored once, every
# keyed row holds the last value sent, no statement failed, and zel exits 0. The longest
# pause in zel's writing after each event is measured and printed.
#
#   failover.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$(realpath "$1") FEEDSIM=$(realpath "$2") MODULE=$(realpath "$3") SRC=$(realpath "$4")
WORK=$(realpath -m "$5")
CASE=failover
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"

PGF=$WORK/pgf
cleanup_hooks+=("\"$SRC/scripts/pg-failover\" stop --clean \"$PGF\" >/dev/null 2>&1")
"$SRC/scripts/pg-failover" start "$PGF" >pgf-start.out 2>&1 || {
    echo "FAIL the failover cluster did not start"
    tail -20 pgf-start.out
    exit 1
}
at "$(head -1 pgf-start.out | sed 's/^# //')"
use_pg_env "$PGF/env"
# psql is given both hosts too: it must land on the primary, wherever that is now.
export PGTARGETSESSIONATTRS PGCONNECT_TIMEOUT=5
DB=$ZEL_PG_DBNAME
"${PSQL[@]}" -d "$DB" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
primary() { "$SRC/scripts/pg-failover" primary "$PGF"; }

now_ms() { date +%s%3N; }
# The statement counter every tenth of a second, for the pauses in writing.
sample_progress() {
    while :; do
        echo "$(now_ms) $(status_value database-updates-ok)"
        sleep 0.1
    done >progress.txt
}
# event KEY TEXT: the pauses are measured from one event to the next.
event() { echo "$(now_ms) $1" >>events.txt; at "$2"; }

# Long enough for both failovers (each about 20 s with the old primary rejoining as standby)
# and the kill to happen while the stream still runs.
STREAM=80
start_feedsim --instruments 300 --rate 1500 --seed 21 --duration "$STREAM" --record sent.txt
write_config "$DB" updateinterval 1 transactions 100
start_zel zel.out
check "zel starts and writes through the host list" wait_for 30 writing
sample_progress &
sampler_pid=$!
cleanup_hooks+=("kill $sampler_pid 2>/dev/null")
sleep 2

first=$(primary)
event failover1 "failover 1 (primary was ${first%% *})"
"$SRC/scripts/pg-failover" failover "$PGF" || check "first failover" false
second=$(primary)
check "the primary moved to the other node (${second%% *})" test "${first%% *}" != "${second%% *}"
sleep 2
event failover2 "failover 2 (primary was ${second%% *})"
"$SRC/scripts/pg-failover" failover "$PGF" || check "second failover" false
third=$(primary)
check "the primary moved back (${third%% *})" test "${third%% *}" == "${first%% *}"
sleep 2
read -r name _ data <<<"$third"
postmaster=$(head -1 "$data/postmaster.pid")
event kill9 "kill -9 of the postmaster of $name (pid $postmaster)"
kill -9 "$postmaster"
check "the kill came while the stream still ran" kill -0 "$feedsim_pid"
back() { [[ $(sql "$DB" "SELECT 1" 2>/dev/null) == 1 ]]; }
check "the primary is back after the kill" wait_for 60 back
at "primary answers again"

wait_stream_end
event end "stream ended"
wait_drained 90
failed=$(status_value database-updated-failed)
kill "$sampler_pid" 2>/dev/null
wait "$sampler_pid" 2>/dev/null
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
# A deadlock between two database threads counts its statement as failed once and then
# reruns the batch (the rows are compared below): only failures beyond those reruns count.
deadlocks=$(grep -a -c "DB:ERROR:  deadlock detected" zel.out)
check_eq "failed statements beyond deadlocks ($deadlocks)" 0 "$((failed - deadlocks))"
compare_record
check_eq "trades stored more than once" 0 \
    "$(sql "$DB" "SELECT count(*) - count(DISTINCT (insref, trade_id)) FROM trades")"
lost_reports=$(grep -a -c "Code:-\?[0-9]* Status:[0-9]" zel.out)
check "lost connections were reported ($lost_reports)" test "$lost_reports" -ge 1
check_eq "one feed connection for the whole run" 1 "$(grep -c '^# client=' sent.txt)"

# The longest time without a statement written, from each event to the next one: the gap
# between two samples whose counter grew, for gaps that end after the event.
pauses=$(awk '
    FNR == 1 { file++ }
    file == 1 { at[++events] = $1; what[events] = $2; next }
    { if ($2 != "" && $2 > count) { grew[++n] = $1; count = $2 } }
    END {
        for (e = 1; e < events; e++) {
            longest = 0
            for (i = 2; i <= n; i++)
                if (grew[i] > at[e] && grew[i - 1] < at[e + 1] && grew[i] - grew[i - 1] > longest)
                    longest = grew[i] - grew[i - 1]
            printf "%s_pause_ms=%d ", what[e], longest
        }
    }' events.txt progress.txt)
echo "     longest pause in writing after each event: $pauses"
for p in $pauses; do
    check "a pause was measured ($p)" test "${p#*=}" -gt 0
done
figures "$pauses" "lost_connection_reports=$lost_reports" \
    "read_only_refusals=$(grep -a -c '25006\|read-only' zel.out)" \
    "reruns=$(grep -a -c 'so will rerun' zel.out) failed_statements=$failed drain_s=$DRAIN_SECONDS"
show_zel_end
finish
