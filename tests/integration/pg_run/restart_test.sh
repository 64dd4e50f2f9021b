#!/usr/bin/env bash
# A generated run against a PostgreSQL server of its own that is restarted in the middle:
# nothing that zel received may be lost. The simulator records every message it sent; once
# the stream has ended and zel's queues are empty, the rows of the keyed kinds are compared
# with the last value sent for each key (quotes, extended quotes, orders, key ratios,
# greeks) and every trade sent must be stored (compare_sent.sql). The run must also write
# every table of the example schema that a feed message can reach, with no failed statement.
#
#   restart_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [SECONDS]
# SECONDS (default 60) is the length of the stream; the server goes down halfway through.
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5 SECONDS_TOTAL=${6:-60}
if ! [[ $SECONDS_TOTAL =~ ^[0-9]+$ ]] || ((SECONDS_TOTAL < 20)); then
    echo "restart_test.sh: the stream must last 20 seconds or more, not '$SECONDS_TOTAL'" >&2
    exit 2
fi
HERE=$(cd "$(dirname "$0")" && pwd)
PGDIR=$WORK/pg
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
# shellcheck source=compare_sent.sh
source "$HERE/compare_sent.sh"

"$SRC/scripts/pg-server" start "$PGDIR" >/dev/null || { echo "FAIL no server"; exit 1; }
cleanup_hooks+=("\"$SRC/scripts/pg-server\" stop --clean \"$PGDIR\" >/dev/null 2>&1")
use_pg_env "$PGDIR/env"
DB=$ZEL_PG_DBNAME
"${PSQL[@]}" -d "$DB" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1

# A universe small enough that every key is written many times over.
start_feedsim --instruments 300 --rate 1500 --seed 7 --duration "$SECONDS_TOTAL" --record sent.txt
write_config "$DB" updateinterval 1
start_zel zel.out
writing() { [[ $(status_value database-updates-ok) -gt 1000 ]]; }
check "zel starts and writes" wait_for 30 writing

sleep $((SECONDS_TOTAL / 2 - 5))
# Down for a few seconds: the database threads find their connections gone and reconnect.
"$SRC/scripts/pg-server" stop "$PGDIR" >/dev/null
sleep 3
"$SRC/scripts/pg-server" restart "$PGDIR" >/dev/null || { echo "FAIL the server did not come back"; exit 1; }
echo "     the server was restarted"

# The stream ends with the simulator (log-off 503); then zel drains its queues.
wait "$feedsim_pid"
feedsim_pid=
drained() {
    local n
    for n in 1 2 3; do
        [[ $(status_value database-updates-queued) == 0 ]] || return 1
        sleep 0.5
    done
}
check "queues drained after the stream ended" wait_for 60 drained
failed=$(status_value database-updated-failed)
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"

# The report of a lost connection ends with the connection's status; the server's own text
# before it spans lines.
check "connections were lost and came back" grep -q "Code:-\?[0-9]* Status:[0-9]" zel.out
check_eq "one feed connection for the whole run" 1 "$(grep -c '^# client=' sent.txt)"
check_eq "Failed databaseupdates 0" 0 "$failed"

compare_with_sent "$DB" sent.txt

# Every table that a feed message can reach has rows.
while IFS='|' read -r table rows; do
    if [[ $table == quotes_bbo ]]; then
        continue  # no feed message writes it: best-bid-and-offer quotes are only reset
    fi
    check "table $table has rows" test "$rows" -gt 0
done < <(sql "$DB" "SELECT table_name, (xpath('/row/n/text()', query_to_xml(format('SELECT count(*) AS n FROM %I', table_name), false, true, '')))[1]::text::int
                    FROM information_schema.tables WHERE table_schema = 'public' ORDER BY 1")

if ((failures)); then
    echo "--- zel output (end)"
    tail -30 zel.out
    grep -h 'SQL Error' zel.out | head -20
fi
finish
