#!/usr/bin/env bash
# End to end against PostgreSQL: the feed simulator replays scenario.txt (one of every data
# message), zel writes it into a fresh database made from the example schema, and the rows
# of every table are compared with expected_rows.txt; the status table must show no failed
# statement.
#
#   builders_pg_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_PG_ENV (the pg_server fixture's env file).
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5
HERE=$(cd "$(dirname "$0")" && pwd)
DB=zel_builders_e2e_$$
feedsim_pid= zel_pid=

# shellcheck disable=SC1090
source "$ZEL_PG_ENV" || exit 1
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT"
      -U "$ZEL_PG_USER")
export PGPASSWORD=$ZEL_PG_PASSWORD

cleanup() {
    [[ -n $zel_pid ]] && kill -9 "$zel_pid" 2>/dev/null
    [[ -n $feedsim_pid ]] && kill "$feedsim_pid" 2>/dev/null
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE IF EXISTS $DB" 2>/dev/null
}
trap cleanup EXIT

rm -rf "$WORK" && mkdir -p "$WORK/sql" && cd "$WORK" || exit 1

"${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE $DB" || exit 1
"${PSQL[@]}" -d "$DB" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
# No feed message writes best-bid-and-offer quotes; a stored one shows what their reset does.
"${PSQL[@]}" -d "$DB" -c "INSERT INTO quotes_bbo (insref,quote_date,quote_time,bid,ask,bid_volume,ask_volume)
                          VALUES (1003,'2024-05-06','09:00:00',48,52,10,20)" || exit 1

"$FEEDSIM" --listen 127.0.0.1:0 --port-file port.txt --user demo --password demo \
    --script "$HERE/scenario.txt" --log requests.log >feedsim.out 2>&1 &
feedsim_pid=$!
for _ in $(seq 1 250); do
    [[ -s port.txt ]] && break
    sleep 0.02
done
[[ -s port.txt ]] || { echo "FAIL feedsim did not start"; cat feedsim.out; exit 1; }

cat >zel.config <<CONFIG
Corvalinder
server 127.0.0.1:$(cat port.txt)
username demo
password demo
reconnectinterval 1
insrefs *

Database
instance $MODULE
server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname $DB
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
transactions 100
updateinterval 0
checkdatabase 1
keepdeleted 1
aggtrades 1
localtime 0

Application
tabledefinitions $SRC/examples/zel.tabledef

Log
logsqlpath $WORK/sql/
debug 1
CONFIG

# A statistics block of its own, so that tests running at the same time do not share one.
"$ZEL" --config="$WORK/zel.config" --map-name="Global\\zel builders test $$" >zel.out 2>&1 </dev/null &
zel_pid=$!

# The scenario ends with the deleted share; once its basic data row says so (and the last
# messages of the other queues had time to land) everything has been written.
query() { "${PSQL[@]}" -d "$DB" -At -F '|' -c "$1"; }
done_rows=
for _ in $(seq 1 300); do
    done_rows=$(query "SELECT count(*) FROM basicdata WHERE insref=1005 AND status=9" 2>/dev/null)
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
    failures=1
fi
wait "$zel_pid" 2>/dev/null
zel_pid=

failures=${failures:-0}
if [[ $done_rows != 1 ]]; then
    echo "FAIL the scenario's last message never reached the database"
    failures=$((failures + 1))
fi

"${PSQL[@]}" -d "$DB" -At -F '|' -f "$HERE/check_rows.sql" >rows.txt 2>&1
if cmp -s "$HERE/expected_rows.txt" rows.txt; then
    echo "ok   rows of every table"
else
    echo "FAIL rows of every table"
    diff -u "$HERE/expected_rows.txt" rows.txt
    failures=$((failures + 1))
fi

failed=$(query "SELECT value FROM zel_status WHERE name='Failed databaseupdates'")
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
