#!/usr/bin/env bash
# scripts/mariadb-server on a server of its own: start writes a usable env file (the ODBC
# connection string included) and reads no configuration of the machine, a wrong password is
# refused, restart keeps the data and the port, stop is idempotent, stop --clean removes the
# data, and a busy port is refused.
# Usage: mdb_server_test.sh MARIADB_SERVER DIR
set -euo pipefail
MDB_SERVER=$1
DIR=$2
fail() { echo "FAIL: $*" >&2; "$MDB_SERVER" stop --clean "$DIR" >/dev/null 2>&1 || true; exit 1; }

"$MDB_SERVER" stop --clean "$DIR" >/dev/null 2>&1 || true
out=$("$MDB_SERVER" start "$DIR") || fail "start failed"
[[ $out == *ZEL_MDB_ODBC=* ]] || fail "start did not print the env: $out"
# shellcheck disable=SC1091
source "$DIR/env"
for key in ZEL_MDB_HOST ZEL_MDB_PORT ZEL_MDB_SOCKET ZEL_MDB_USER ZEL_MDB_PASSWORD ZEL_MDB_DBNAME \
    ZEL_MDB_ODBC ZEL_MDB_LOG; do
    [[ -n ${!key:-} ]] || fail "$key missing from the env file"
done
((ZEL_MDB_PORT != 3306)) || fail "the server took the default port"
client() { mariadb --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER" -N -B "$@"; }

[[ $(client "-p$ZEL_MDB_PASSWORD" "$ZEL_MDB_DBNAME" -e "SELECT DATABASE()") == "$ZEL_MDB_DBNAME" ]] ||
    fail "cannot reach the database over TCP with the password"
client -pwrong -e "SELECT 1" 2>/dev/null && fail "a wrong password was accepted"
client "-p$ZEL_MDB_PASSWORD" "$ZEL_MDB_DBNAME" -e "CREATE TABLE kept (v int); INSERT INTO kept VALUES (42)" ||
    fail "cannot create a table"
# The ODBC connection string works as printed.
echo "SELECT v FROM kept" | isql -b -k "$ZEL_MDB_ODBC" 2>&1 | grep -q '| 42 ' ||
    fail "the ODBC connection string does not reach the table"

"$MDB_SERVER" restart "$DIR" || fail "restart failed"
[[ $(client "-p$ZEL_MDB_PASSWORD" "$ZEL_MDB_DBNAME" -e "SELECT v FROM kept") == 42 ]] ||
    fail "restart lost the data or the port"

"$MDB_SERVER" stop "$DIR" || fail "stop failed"
"$MDB_SERVER" status "$DIR" && fail "status says running after stop"
"$MDB_SERVER" stop "$DIR" || fail "a second stop failed"
client "-p$ZEL_MDB_PASSWORD" -e "SELECT 1" 2>/dev/null && fail "the server still answers after stop"

# A port in use is refused before anything is made.
"$MDB_SERVER" start "$DIR" >/dev/null || fail "start after stop failed"
source "$DIR/env"
busy_port=$ZEL_MDB_PORT
"$MDB_SERVER" start "$DIR-other" "$busy_port" >/dev/null 2>&1 && fail "a busy port was accepted"
"$MDB_SERVER" stop --clean "$DIR-other" >/dev/null 2>&1 || true

"$MDB_SERVER" stop --clean "$DIR" || fail "stop --clean failed"
[[ ! -e $DIR/env && ! -e $DIR/data ]] || fail "stop --clean left the server's files"
echo "ok   scripts/mariadb-server"
