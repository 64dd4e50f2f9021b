#!/usr/bin/env bash
# End to end through the ODBC module: zel --check-types against the example schema of the
# server, then the feed simulator replays the one-of-every-message scenario of the builders
# test and the rows of every table must equal that test's expected rows (read through
# PostgreSQL, which the rows are copied into), with no failed statement.
#
#   builders_odbc_test.sh SERVER ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [PIPELINE]
# SERVER is postgresql, mariadb or sqlite. Needs ZEL_PG_ENV, and ZEL_MDB_ENV for MariaDB.
# PIPELINE is zel's pipeline key (default 1: statements go to the module in batches; 0: one
# at a time); both must store the same rows.
set -uo pipefail

SERVER=$1 ZEL=$2 FEEDSIM=$3 MODULE=$4 SRC=$5 WORK=$6 PIPELINE=${7:-1}
HERE=$SRC/tests/integration/builders
rm -rf "$WORK" && mkdir -p "$WORK/sql" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$SRC/tests/integration/odbc_run/common.sh"
feedsim_pid= zel_pid=
failures=0
cleanup() {
    [[ -n $zel_pid ]] && kill -9 "$zel_pid" 2>/dev/null
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null
    odbc_cleanup
}
trap cleanup EXIT

target_database "zel_odbc_builders_$$"
# No feed message writes best-bid-and-offer quotes; a stored one shows what their reset does.
target_sql "INSERT INTO quotes_bbo (insref,quote_date,quote_time,bid,ask,bid_volume,ask_volume)
            VALUES (1003,'2024-05-06','09:00:00',48,52,10,20)" || exit 1

write_config() {  # write_config FEED_PORT
    cat >zel.config <<CONFIG
Corvalinder
server 127.0.0.1:$1
username demo
password demo
reconnectinterval 1
insrefs *

Database
instance $MODULE
connectionstring $CONNSTR
transactions 100
pipeline $PIPELINE
updateinterval 0
checkdatabase 1
keepdeleted 1
aggtrades 1
localtime 0

Application
tabledefinitions $TABLEDEF

Log
logsqlpath $WORK/sql/
debug 1
CONFIG
}

write_config 1
"$ZEL" --config="$WORK/zel.config" --check-types </dev/null >check.out 2>&1
code=$?
if [[ $code == 0 ]] && grep -q 'The SQL database check was successful' check.out &&
    ! grep -q 'should have their definitions changed\|must be added' check.out; then
    echo "ok   zel --check-types is clean against examples/schema ($SERVER)"
else
    echo "FAIL zel --check-types against examples/schema ($SERVER): exit $code"
    cat check.out
    failures=$((failures + 1))
fi

"$FEEDSIM" --listen 127.0.0.1:0 --port-file port.txt --user demo --password demo \
    --script "$HERE/scenario.txt" --log requests.log >feedsim.out 2>&1 &
feedsim_pid=$!
for _ in $(seq 1 250); do
    [[ -s port.txt ]] && break
    sleep 0.02
done
[[ -s port.txt ]] || { echo "FAIL feedsim did not start"; cat feedsim.out; exit 1; }
write_config "$(cat port.txt)"

"$ZEL" --config="$WORK/zel.config" --map-name="Global\\zel odbc builders $SERVER $$" >zel.out 2>&1 </dev/null &
zel_pid=$!

# The scenario ends with the deleted share; once its basic data row says so (and the last
# messages of the other queues had time to land) everything has been written.
done_rows=
for _ in $(seq 1 300); do
    done_rows=$(target_sql "SELECT count(*) FROM basicdata WHERE insref=1005 AND status=9" 2>/dev/null)
    [[ $done_rows == 1 ]] && break
    kill -0 "$zel_pid" 2>/dev/null || break
    sleep 0.1
done
sleep 2
kill -INT "$zel_pid"
for _ in $(seq 1 100); do
    kill -0 "$zel_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$zel_pid" 2>/dev/null; then
    echo "FAIL zel did not stop after SIGINT"
    failures=$((failures + 1))
fi
wait "$zel_pid" 2>/dev/null
zel_pid=

if [[ $done_rows != 1 ]]; then
    echo "FAIL the scenario's last message never reached the database"
    failures=$((failures + 1))
fi

COMPARE_DB=
copy_to_postgresql "zel_odbc_builders_cmp_$$" || failures=$((failures + 1))
"${PSQL[@]}" -d "$COMPARE_DB" -At -F '|' -f "$HERE/check_rows.sql" >rows.txt 2>&1
if cmp -s "$HERE/expected_rows.txt" rows.txt; then
    echo "ok   rows of every table ($SERVER)"
else
    echo "FAIL rows of every table ($SERVER)"
    diff -u "$HERE/expected_rows.txt" rows.txt
    failures=$((failures + 1))
fi

failed=$(target_sql "SELECT value FROM zel_status WHERE name='Failed databaseupdates'")
if [[ $failed == 0 ]]; then
    echo "ok   Failed databaseupdates 0"
else
    echo "FAIL Failed databaseupdates is '$failed'"
    grep -h '^\*\*\|SQL Error' sql/* zel.out | head -20
    failures=$((failures + 1))
fi

if ((failures)); then
    echo "--- zel output"
    tail -40 zel.out
fi
exit $((failures > 0))
