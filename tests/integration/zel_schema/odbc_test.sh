#!/usr/bin/env bash
# zel-schema through the ODBC module, which must be connected to know its server's dialect:
# for MariaDB and for SQLite, --apply on an empty database creates every table of the
# server's example definitions, a second --apply skips them all, and zel --check-types is
# clean on what the tool made.
#
#   odbc_test.sh ZEL_SCHEMA ZEL ODBC_MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_MDB_ENV (the mariadb_server fixture's env file).
set -uo pipefail

TOOL=$1 ZEL=$2 MODULE=$3 SRC=$4 WORK=$5
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../checks.sh
source "$HERE/../checks.sh"
# shellcheck disable=SC1090
source "$ZEL_MDB_ENV" || exit 1
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
DB=zel_schema_$$
MARIADB=(mariadb --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER" "-p$ZEL_MDB_PASSWORD")
trap '"${MARIADB[@]}" -e "DROP DATABASE IF EXISTS $DB" 2>/dev/null' EXIT
"${MARIADB[@]}" -e "CREATE DATABASE $DB CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" || exit 1

# schema_round NAME TABLEDEF CONNECTIONSTRING [TOOL_OPTION...]
schema_round() {
    local name=$1 tabledef=$2 connection=$3 tables
    shift 3
    cat >"$name.config" <<CONFIG
Corvalinder
server 127.0.0.1:1
Database
instance $MODULE
connectionstring $connection
Application
tabledefinitions $tabledef
CONFIG
    tables=$(grep -o 'table="[^"]*"' "$tabledef" | sort -u | wc -l)
    "$TOOL" "$@" --config "$name.config" --apply >"$name.apply1" 2>"$name.err1"
    check_code "$name: --apply on an empty database" 0 $?
    check "$name: --apply created every table" grep -qx "$tables created, 0 skipped, 0 failed" "$name.apply1"
    "$TOOL" "$@" --config "$name.config" --apply >"$name.apply2" 2>"$name.err2"
    check_code "$name: --apply again" 0 $?
    check "$name: --apply again skipped every table" grep -q "^0 created, $tables skipped, 0 failed" "$name.apply2"
    "$ZEL" --config="$name.config" --check-types </dev/null >"$name.check" 2>&1
    check_code "$name: zel --check-types on the tool's schema" 0 $?
    check "$name: zel --check-types: successful" grep -q 'The SQL database check was successful' "$name.check"
    check "$name: zel --check-types: no column to change" \
        bash -c "! grep -q 'should have their definitions changed' '$name.check'"
    if ((failures)); then cat "$name.err1" "$name.check" | tail -20; fi
}

schema_round mariadb "$SRC/examples/zel.mariadb.tabledef" \
    "DRIVER={MariaDB Unicode};SERVER=127.0.0.1;PORT=$ZEL_MDB_PORT;DATABASE=$DB;UID=$ZEL_MDB_USER;PWD=$ZEL_MDB_PASSWORD;"
# SQLite's definitions keep the long spelling of a date with a time of day, which only some
# servers know: the tool is told to accept it.
schema_round sqlite "$SRC/examples/zel.sqlite.tabledef" "DRIVER={SQLite3};Database=$WORK/schema.sqlite;Timeout=10000;" \
    --allow-type "timestamp without time zone"

if ((failures)); then
    echo "$failures check(s) failed (work directory: $WORK)"
    exit 1
fi
echo "all checks passed"
