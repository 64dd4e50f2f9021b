#!/usr/bin/env bash
# zel-schema against PostgreSQL: the printed schema of examples/zel.tabledef makes a
# database on which zel --check-types is clean; --apply makes the same database (columns,
# types, nullability, keys) and skips every table when run again; --apply leaves an
# existing table as it is, reports a table the server refuses and still creates the rest;
# a server that cannot be reached is an error.
#
#   pg_test.sh ZEL_SCHEMA ZEL MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_PG_ENV (the pg_server fixture's env file).
set -uo pipefail

TOOL=$1 ZEL=$2 MODULE=$3 SRC=$4 WORK=$5
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../checks.sh
source "$HERE/../checks.sh"
# shellcheck disable=SC1090
source "$ZEL_PG_ENV" || exit 1
export PGPASSWORD=$ZEL_PG_PASSWORD
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT"
      -U "$ZEL_PG_USER")
PRINTED=zel_schema_printed_$$ APPLIED=zel_schema_applied_$$ PARTIAL=zel_schema_partial_$$
cleanup() {
    local db
    for db in "$PRINTED" "$APPLIED" "$PARTIAL"; do
        "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE IF EXISTS $db" 2>/dev/null
    done
}
trap cleanup EXIT
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1

sql() { "${PSQL[@]}" -d "$1" -At -F '|' -c "$2"; }
for db in "$PRINTED" "$APPLIED" "$PARTIAL"; do
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE $db" || exit 1
done

# write_config DB [PORT]: a zel configuration for the example definitions and database DB.
write_config() {
    cat >"$1.config" <<CONFIG
Corvalinder
server 127.0.0.1:1
Database
instance $MODULE
server $ZEL_PG_HOST
port ${2:-$ZEL_PG_PORT}
dbname $1
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
Application
tabledefinitions $SRC/examples/zel.tabledef
CONFIG
}

# Every column and key of the public tables, for comparing two databases.
describe() {
    sql "$1" "SELECT table_name, ordinal_position, column_name, data_type,
                     coalesce(character_maximum_length::text, numeric_precision || ',' || numeric_scale, ''),
                     is_nullable
                FROM information_schema.columns WHERE table_schema = 'public'
               ORDER BY table_name, ordinal_position"
    sql "$1" "SELECT k.table_name, k.ordinal_position, k.column_name
                FROM information_schema.key_column_usage k
                JOIN information_schema.table_constraints c USING (constraint_name, table_name)
               WHERE c.constraint_type = 'PRIMARY KEY' AND k.table_schema = 'public'
               ORDER BY k.table_name, k.ordinal_position"
}

TABLES=$(grep -o 'table="[^"]*"' "$SRC/examples/zel.tabledef" | sort -u | wc -l)

# 1. The printed schema, loaded with psql, satisfies zel's own type check.
"$TOOL" --module "$MODULE" "$SRC/examples/zel.tabledef" >printed.sql 2>printed.err
check_code "printed schema" 0 $?
check_eq "printed schema: one statement per table" "$TABLES" "$(grep -c '^CREATE TABLE ' printed.sql)"
"${PSQL[@]}" -d "$PRINTED" -f printed.sql >psql.out 2>&1
check_code "psql loads the printed schema" 0 $?
write_config "$PRINTED"
"$ZEL" --config="$PRINTED.config" --check-types </dev/null >check_types.log 2>&1
check_code "zel --check-types on the printed schema" 0 $?
check "zel --check-types: successful" grep -q 'The SQL database check was successful' check_types.log
check "zel --check-types: no column to change" bash -c "! grep -q 'should have their definitions changed' check_types.log"

# Rendering while connected gives the same statements as rendering without a server.
"$TOOL" --config "$PRINTED.config" >connected.sql 2>connected.err
check_code "printed with --config" 0 $?
check "printed with --config: names the server" grep -q '^-- .* for the server [0-9]' connected.sql
check "printed with --config: same statements" cmp -s <(grep -v '^--' printed.sql) <(grep -v '^--' connected.sql)

# 2. --apply twice: everything created, then everything skipped; the same database.
write_config "$APPLIED"
"$TOOL" --config "$APPLIED.config" --apply >apply1.out 2>apply1.err
check_code "--apply on an empty database" 0 $?
check_eq "--apply: tables created" "$TABLES" "$(grep -c '^Created table ' apply1.out)"
check "--apply: summary" grep -qx "$TABLES created, 0 skipped, 0 failed" apply1.out
"$TOOL" --config "$APPLIED.config" --apply >apply2.out 2>apply2.err
check_code "--apply again" 0 $?
check_eq "--apply again: tables skipped" "$TABLES" "$(grep -c '^Skipped table .*: it exists already$' apply2.out)"
check "--apply again: summary" grep -q "^0 created, $TABLES skipped, 0 failed" apply2.out
describe "$PRINTED" >printed.columns
describe "$APPLIED" >applied.columns
check "--apply makes the printed schema" cmp -s printed.columns applied.columns
check "the schemas hold keys" grep -q '^orderbook|3|price$' applied.columns

# 3. An existing table is left alone; a table the server refuses is reported, the others
# are still created. A composite type takes the name "trades", which a table then cannot.
sql "$PARTIAL" "CREATE TABLE quotes (insref numeric(20,0) NOT NULL); CREATE TYPE trades AS (x integer)" || exit 1
write_config "$PARTIAL"
"$TOOL" --config "$PARTIAL.config" --apply >partial.out 2>partial.err
check_code "--apply with a refused table" 1 $?
check "--apply: the refusal" grep -q '^Failed to create table trades: .*trades.* already exists' partial.out
check "--apply: the existing table skipped" grep -qx 'Skipped table quotes: it exists already' partial.out
check "--apply: the rest" grep -q "^$((TABLES - 2)) created, 1 skipped, 1 failed" partial.out
check_eq "--apply never alters: quotes keeps its one column" "insref" \
    "$(sql "$PARTIAL" "SELECT string_agg(column_name, ',') FROM information_schema.columns WHERE table_name = 'quotes'")"

# 4. No server on the configured port.
write_config "$PARTIAL" 1
"$TOOL" --config "$PARTIAL.config" --apply >noserver.out 2>noserver.err
check_code "--apply without a server" 1 $?
check "--apply without a server: says so" grep -q 'could not connect to the database' noserver.err
check "--apply without a server: reports no table" test ! -s noserver.out

if ((failures)); then
    echo "$failures check(s) failed (work directory: $WORK)"
    exit 1
fi
echo "all checks passed"
