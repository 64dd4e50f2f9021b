#!/usr/bin/env bash
# A generated run through the ODBC module: the simulator streams a generated market and
# records every message it sent; once the stream has ended and zel's queues are empty, the
# rows are copied into PostgreSQL and compared with what was sent by the PostgreSQL run's
# comparison (tests/integration/pg_run/compare_sent.sql): the last value of every keyed
# row, every trade. Every table that a feed message can reach must have rows, and no
# statement may have failed.
#
#   generated_odbc_test.sh SERVER ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [SECONDS]
# SERVER is postgresql, mariadb or sqlite. Needs ZEL_PG_ENV, and ZEL_MDB_ENV for MariaDB.
set -uo pipefail

SERVER=$1 ZEL=$2 FEEDSIM=$3 MODULE=$4 SRC=$5 WORK=$6 SECONDS_TOTAL=${7:-20}
rm -rf "$WORK" && mkdir -p "$WORK/sql" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$SRC/tests/integration/odbc_run/common.sh"
# shellcheck source=../checks.sh
source "$SRC/tests/integration/checks.sh"
# shellcheck source=../pg_run/compare_sent.sh
source "$SRC/tests/integration/pg_run/compare_sent.sh"
feedsim_pid= zel_pid=
cleanup() {
    [[ -n $zel_pid ]] && kill -9 "$zel_pid" 2>/dev/null
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null
    odbc_cleanup
}
trap cleanup EXIT

wait_for() {  # wait_for SECONDS COMMAND...
    local tenths=$(($1 * 10))
    shift
    for _ in $(seq 1 "$tenths"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

target_database "zel_odbc_generated_$$"

"$FEEDSIM" --listen 127.0.0.1:0 --port-file port.txt --user demo --password demo \
    --instruments 300 --rate 1500 --seed 7 --duration "$SECONDS_TOTAL" --record sent.txt \
    >feedsim.out 2>&1 &
feedsim_pid=$!
wait_for 10 test -s port.txt || { echo "FAIL feedsim did not start"; cat feedsim.out; exit 1; }

cat >zel.config <<CONFIG
Corvalinder
server 127.0.0.1:$(cat port.txt)
username demo
password demo
reconnectinterval 1
insrefs *

Database
instance $MODULE
connectionstring $CONNSTR
transactions 100
updateinterval 1
checkdatabase 1
keepdeleted 1
aggtrades 1
localtime 0

Application
tabledefinitions $TABLEDEF

Log
logsqlpath $WORK/sql/
CONFIG

MAP_NAME="Global\\zel odbc generated $SERVER $$"
"$ZEL" --config="$WORK/zel.config" --map-name="$MAP_NAME" >zel.out 2>&1 </dev/null &
zel_pid=$!
status_value() { "$ZEL" --status "--map-name=$MAP_NAME" | sed -n "s/^$1: //p"; }
writing() { [[ $(status_value database-updates-ok) -gt 1000 ]]; }
check "zel starts and writes" wait_for 30 writing

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
kill -INT "$zel_pid"
wait_for 30 bash -c "! kill -0 $zel_pid 2>/dev/null" || kill -9 "$zel_pid"
wait "$zel_pid"
check_eq "zel stops with exit code 0" 0 "$?"
zel_pid=
check_eq "Failed databaseupdates 0" 0 "$failed"

copy_to_postgresql "zel_odbc_generated_cmp_$$" || failures=$((failures + 1))

compare_with_sent "$COMPARE_DB" sent.txt "$TABLEDEF"

# Every table that a feed message can reach has rows.
for table in $(target_tables); do
    [[ $table == quotes_bbo ]] && continue
    check "table $table has rows" test "$(target_sql "SELECT count(*) FROM $table")" -gt 0
done

if ((failures)); then
    echo "--- zel output (end)"
    tail -30 zel.out
    grep -h 'SQL Error' zel.out | head -20
    echo "$failures check(s) failed (work directory: $WORK)"
    exit 1
fi
echo "all checks passed"
