#!/usr/bin/env bash
# import_mariadb.sh - the import benchmark into MariaDB: a generated dump of one-row INSERTs,
# executed into a MariaDB table by zel --import through the ODBC module (Connector/ODBC) and
# by the mariadb client, one after the other, on the same server and the same statements.
# Each statement is its own transaction in every run.
#
#   bench/import_mariadb.sh [--size MB] [--build DIR] [--durable] [--repeat N] [--work DIR]
#
#   --size MB    size of the dump (default 20)
#   --build DIR  where zel and dbdrv_odbc are built (default build)
#   --durable    the server flushes its log at every commit (default: once a second)
#   --repeat N   rounds, each running the client, zel with transactions 0 and zel with
#                transactions 1000 (default 2); the best run of each counts
#   --work DIR   work directory (default DIR/import-bench-mariadb under the build directory)
#
# zel runs twice per round: with `transactions 0` the driver commits every statement by
# itself; with `transactions 1000` the ODBC module turns autocommit off and the import
# commits every statement through the driver, one more round trip each.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
SIZE_MB=20
DURABLE=
REPEAT=2
WORK=
while (($#)); do
    case $1 in
    --size) SIZE_MB=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --durable) DURABLE=--durable; shift ;;
    --repeat) REPEAT=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    *) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
WORK=${WORK:-$BUILD/import-bench-mariadb}
ZEL=$BUILD/zel/zel
MODULE=$BUILD/modules/odbc/dbdrv_odbc.so
[[ -x $ZEL && -f $MODULE ]] || { echo "build zel and dbdrv_odbc in $BUILD first" >&2; exit 1; }
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
cd "$WORK"

"$ROOT/scripts/mariadb-server" start $DURABLE "$WORK/mdb" >/dev/null
trap '"$ROOT/scripts/mariadb-server" stop --clean "$WORK/mdb" >/dev/null 2>&1' EXIT
# shellcheck disable=SC1091
source "$WORK/mdb/env"
CLIENT=(mariadb --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER" "-p$ZEL_MDB_PASSWORD" "$ZEL_MDB_DBNAME")

# The dump: the rows of bench/import_pg.sh, about 110 bytes a line.
rows=$((SIZE_MB * 1024 * 1024 / 110))
awk -v n="$rows" 'BEGIN {
    for (i = 1; i <= n; i++)
        printf "INSERT INTO bench_rows VALUES (%d, %d, '\''2026-12-08'\'', %d.%04d, %d, '\''trade %d of the benchmark'\'');\n",
               i, 1000 + i % 5000, 10 + i % 900, i % 10000, 100 * (1 + i % 97), i
}' >dump.sql
echo "dump: $rows rows, $(du -m dump.sql | cut -f1) MB"

fresh_table() {
    "${CLIENT[@]}" -e "DROP TABLE IF EXISTS bench_rows; CREATE TABLE bench_rows (id bigint PRIMARY KEY,
        insref bigint, trade_date date, price decimal(18,4), volume bigint, note varchar(64))"
}
count_rows() { "${CLIENT[@]}" -N -B -e "SELECT count(*) FROM bench_rows"; }
now() { date +%s.%N; }

run_client() {
    fresh_table
    local start
    start=$(now)
    "${CLIENT[@]}" <dump.sql
    echo "$(now) - $start" | bc
}

run_zel() {  # run_zel TRANSACTIONS
    fresh_table
    cat >zel.config <<CONFIG
Corvalinder
server 127.0.0.1:1
Database
instance $MODULE
connectionstring $ZEL_MDB_ODBC
transactions $1
checkdatabase 0
Application
tabledefinitions $ROOT/examples/zel.mariadb.tabledef
Log
CONFIG
    local start
    start=$(now)
    "$ZEL" --config="$WORK/zel.config" --import=dump.sql </dev/null >zel.out 2>zel.err ||
        { echo "zel --import failed:" >&2; tail -5 zel.out zel.err >&2; exit 1; }
    echo "$(now) - $start" | bc
}

best() { [[ -z $1 || $(echo "$2 < $1" | bc) == 1 ]] && echo "$2" || echo "$1"; }
client_best='' auto_best='' txn_best=''
for ((round = 1; round <= REPEAT; round++)); do
    s=$(run_client); [[ $(count_rows) == "$rows" ]] || { echo "the client imported $(count_rows) of $rows rows" >&2; exit 1; }
    echo "round $round: mariadb client $s s"; client_best=$(best "$client_best" "$s")
    s=$(run_zel 0); [[ $(count_rows) == "$rows" ]] || { echo "zel imported $(count_rows) of $rows rows" >&2; exit 1; }
    echo "round $round: zel, transactions 0 $s s"; auto_best=$(best "$auto_best" "$s")
    s=$(run_zel 1000); [[ $(count_rows) == "$rows" ]] || { echo "zel imported $(count_rows) of $rows rows" >&2; exit 1; }
    echo "round $round: zel, transactions 1000 $s s"; txn_best=$(best "$txn_best" "$s")
done
rate() { echo "$rows / $1" | bc; }
echo "server: ${DURABLE:---fast}; $rows rows; best of $REPEAT runs each"
printf 'mariadb client:              %8d rows/s (%s s)\n' "$(rate "$client_best")" "$client_best"
printf 'zel, transactions 0:         %8d rows/s (%s s), ratio %s\n' "$(rate "$auto_best")" "$auto_best" \
    "$(echo "scale=3; $client_best / $auto_best" | bc)"
printf 'zel, transactions 1000:      %8d rows/s (%s s), ratio %s\n' "$(rate "$txn_best")" "$txn_best" \
    "$(echo "scale=3; $client_best / $txn_best" | bc)"
