#!/usr/bin/env bash
# scripts/pg-server on a cluster of its own: start writes a usable env file, restart keeps the
# data and the port, stop is idempotent, start makes a fresh cluster, a busy port is refused.
# Usage: pg_server_test.sh PG_SERVER DIR
set -euo pipefail
PG_SERVER=$1
DIR=$2
fail() { echo "FAIL: $*" >&2; "$PG_SERVER" stop --clean "$DIR" >/dev/null 2>&1 || true; exit 1; }

"$PG_SERVER" stop --clean "$DIR" >/dev/null 2>&1 || true
out=$("$PG_SERVER" start "$DIR") || fail "start failed"
[[ $out == *ZEL_PG_CONNSTR=* ]] || fail "start did not print the env: $out"
# shellcheck disable=SC1091
source "$DIR/env"
for key in ZEL_PG_HOST ZEL_PG_PORT ZEL_PG_SOCKET_DIR ZEL_PG_USER ZEL_PG_PASSWORD ZEL_PG_DBNAME \
    ZEL_PG_CONNSTR ZEL_PG_SUPERUSER ZEL_PG_BINDIR ZEL_PG_DATA ZEL_PG_LOG; do
    [[ -n ${!key:-} ]] || fail "$key missing from the env file"
done
psql() { "$ZEL_PG_BINDIR/psql" -X -q -At -v ON_ERROR_STOP=1 "$@"; }

# The test role reaches its database over TCP with its password.
[[ $(psql "$ZEL_PG_CONNSTR" -c "SELECT current_user || '@' || current_database()") == "zeltest@zeltest" ]] ||
    fail "cannot use the connection string"
PGPASSWORD=wrong psql "host=127.0.0.1 port=$ZEL_PG_PORT dbname=zeltest user=zeltest" -c "SELECT 1" 2>/dev/null &&
    fail "a wrong password was accepted"
psql "$ZEL_PG_CONNSTR" -c "CREATE TABLE kept (v integer); INSERT INTO kept VALUES (42)" ||
    fail "cannot create a table"
[[ $(psql -h "$ZEL_PG_SOCKET_DIR" -p "$ZEL_PG_PORT" -U "$ZEL_PG_SUPERUSER" -d postgres -c "SHOW fsync") == off ]] ||
    fail "the superuser cannot connect through the socket, or fsync is on"

"$PG_SERVER" restart "$DIR" || fail "restart failed"
[[ $(psql "$ZEL_PG_CONNSTR" -c "SELECT v FROM kept") == 42 ]] || fail "restart lost the data or the port"

"$PG_SERVER" stop "$DIR" || fail "stop failed"
"$PG_SERVER" status "$DIR" && fail "status says running after stop"
"$PG_SERVER" stop "$DIR" || fail "a second stop failed"
psql "$ZEL_PG_CONNSTR" -c "SELECT 1" 2>/dev/null && fail "the server still answers after stop"

"$PG_SERVER" start "$DIR" >/dev/null || fail "start after stop failed"
source "$DIR/env"
"$PG_SERVER" status "$DIR" || fail "status says stopped after start"
[[ $(psql "$ZEL_PG_CONNSTR" -c "SELECT count(*) FROM pg_tables WHERE tablename = 'kept'") == 0 ]] ||
    fail "start did not make a fresh cluster"

if msg=$("$PG_SERVER" start "$DIR-busy" "$ZEL_PG_PORT" 2>&1); then
    "$PG_SERVER" stop --clean "$DIR-busy" >/dev/null 2>&1 || true
    fail "start on a busy port succeeded"
fi
[[ $msg == *"already in use"* ]] || fail "no clear message for a busy port: $msg"

"$PG_SERVER" stop --clean "$DIR" || fail "stop --clean failed"
[[ ! -e $DIR/env && ! -e $DIR/data ]] || fail "stop --clean left the cluster behind"
echo "pg-server: all checks passed"
