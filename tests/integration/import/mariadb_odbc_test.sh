#!/usr/bin/env bash
# A MariaDB dump into MariaDB through the ODBC module. A source database made from the example
# schema holds generated rows in three of its tables, texts with quotes, backslashes (one at
# the end of a value too), line breaks, tabs, braces, question marks and accented letters
# among them; mariadb-dump writes them with the options of docs/import.md, and zel --import
# loads the dump through dbdrv_odbc and MariaDB Connector/ODBC into a fresh database made
# from the same schema, with zel's transactions on as users configure it. Then:
#   - every table equals the source (digests computed by the server on both sides);
#   - a dump with a duplicate row and a broken statement in its middle: both are printed
#     with the server's error, exit code 1, and every other row arrives;
#   - the connection killed by the server during the import: the import stops there with
#     exit code 1, and every statement before it is in the database (committed one by one,
#     not lost with an open transaction).
#
#   mariadb_odbc_test.sh ZEL MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_MDB_ENV (the mariadb_server fixture's env file).
set -uo pipefail

ZEL=$1 MODULE=$2 SRC=$3 WORK=$4
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=../checks.sh
source "$SRC/tests/integration/checks.sh"
# shellcheck disable=SC1090
source "$ZEL_MDB_ENV" || exit 1
MARIADB=(mariadb --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER" "-p$ZEL_MDB_PASSWORD"
         --default-character-set=utf8mb4)
MARIADB_DUMP=(mariadb-dump --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER"
              "-p$ZEL_MDB_PASSWORD")
SOURCE=zel_import_src_$$
databases=("$SOURCE")
zel_pid=
cleanup() {
    [[ -n $zel_pid ]] && kill -9 "$zel_pid" 2>/dev/null
    local db
    for db in "${databases[@]}"; do "${MARIADB[@]}" -e "DROP DATABASE IF EXISTS $db" 2>/dev/null; done
}
trap cleanup EXIT

fresh_database() {  # fresh_database NAME: a new database from the example schema
    if ! "${MARIADB[@]}" -e "DROP DATABASE IF EXISTS $1; CREATE DATABASE $1 CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" ||
        ! "${MARIADB[@]}" "$1" <"$SRC/examples/schema/mariadb.sql"; then
        echo "FAIL database $1"
        exit 1
    fi
    databases+=("$1")
}

fresh_database "$SOURCE"
"${MARIADB[@]}" "$SOURCE" >/dev/null <<'SQL' || { echo "FAIL the source rows"; exit 1; }
SET SESSION max_recursive_iterations = 100000;
INSERT INTO trades (insref, trade_date, trade_time, trade_id, price, quantity)
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
    SELECT 1000 + i % 50, DATE '2026-12-01' + INTERVAL i % 5 DAY, SEC_TO_TIME(32400 + i * 7), i,
           10 + (i % 900) / 7, 100 * (1 + i % 13)
    FROM n;
INSERT INTO news (insref, news_id, news_date, news_time, headline, source, language, body)
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400)
    SELECT 1000 + i % 50, CONCAT('N', LPAD(i, 8, '0')), DATE '2026-12-08', SEC_TO_TIME(36000 + i),
           CONCAT('O''Brien & "partners" #', i, ' 50% up_now? {fn now()}'),
           IF(i % 3 = 0, NULL, 'SIMWIRE'), IF(i % 2 = 0, 'en', 'sv'),
           CASE i % 5
               WHEN 0 THEN CONCAT('line one\nline two\r\nline three ', i)
               WHEN 1 THEN CONCAT('a backslash \\ and two \\\\ in C:\\new\\table ', i, ' \\')
               WHEN 2 THEN CONCAT('tab\there, été, Ærø, 東京, ', i)
               WHEN 3 THEN CONCAT('\\''quoted\\'' \\n literally ', i, ' \\%\\_')
               ELSE NULL END
    FROM n;
INSERT INTO alt_identifiers (insref, scheme, identifier)
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)
    SELECT 1000 + i, IF(i % 2 = 0, 'TICKER', 'FIGI'), CONCAT('SIM\\', i, ' X''O') FROM n;
SQL

TABLES=(trades news alt_identifiers)
# digests DB: "table rows digest" of the three tables, every column of every row in key
# order, computed by the server.
digests() {
    local table columns
    for table in "${TABLES[@]}"; do
        columns=$("${MARIADB[@]}" -N -B "$1" -e "SELECT group_concat(CONCAT('COALESCE(HEX(', column_name, '), ''-'')')
                      ORDER BY ordinal_position) FROM information_schema.columns
                      WHERE table_schema = '$1' AND table_name = '$table'")
        "${MARIADB[@]}" -N -B "$1" -e "SET SESSION group_concat_max_len = 1073741824;
            SELECT '$table', count(*), coalesce(md5(group_concat(concat_ws('|', $columns)
                ORDER BY concat_ws('|', $columns) SEPARATOR '\n')), '') FROM $table"
    done
}
digests "$SOURCE" >source.digests
check "the source has its rows" grep -q "^news	400	" source.digests

OPTIONS=(--no-create-info --skip-extended-insert --complete-insert)
"${MARIADB_DUMP[@]}" "${OPTIONS[@]}" "$SOURCE" "${TABLES[@]}" >dump.sql || exit 1

write_config() {  # write_config DB
    cat >zel.config <<CONFIG
Corvalinder
server 127.0.0.1:1
Database
instance $MODULE
connectionstring DRIVER={MariaDB Unicode};SERVER=127.0.0.1;PORT=$ZEL_MDB_PORT;DATABASE=$1;UID=$ZEL_MDB_USER;PWD=$ZEL_MDB_PASSWORD;
transactions 100
checkdatabase 1
Application
tabledefinitions $SRC/examples/zel.mariadb.tabledef
Log
CONFIG
}

# last_progress FILE: the last of the progress lines, which a carriage return separates.
last_progress() { tr '\r' '\n' <"$1" | grep -v '^$' | tail -n 1; }

# import_into NAME EXPECTED_EXIT FILE: a fresh database, the import, its exit code.
import_into() {
    local name=$1 expected=$2 file=$3 code
    TARGET=zel_import_${name}_$$
    fresh_database "$TARGET"
    write_config "$TARGET"
    "$ZEL" --config="$WORK/zel.config" --import="$file" </dev/null >"$name.out" 2>"$name.err"
    code=$?
    check_code "$name: zel --import" "$expected" "$code"
}

same_as_source() {  # same_as_source NAME EXPECTED_DIGESTS
    digests "$TARGET" >"$1.digests"
    if cmp -s "$2" "$1.digests"; then
        echo "ok   $1: every table equals the source"
    else
        echo "FAIL $1: tables differ from the source (table rows digest)"
        diff "$2" "$1.digests"
        failures=$((failures + 1))
    fi
}

# The documented dump, as written.
import_into plain 0 dump.sql
check "plain: no failure lines" bash -c "! grep -q \"' DB:\" plain.out"
check "plain: the statements go as written" grep -q "reads backslash escapes" plain.out
check "plain: the dump locks its tables" grep -q '^LOCK TABLES `news` WRITE;' dump.sql
check_eq "plain: totals (rows and the LOCK and UNLOCK lines)" "Success:3606 Failed:0" "$(last_progress plain.err)"
same_as_source plain source.digests

# The options that make a dump for PostgreSQL too (no names in backticks, no locks),
# gzip-compressed.
"${MARIADB_DUMP[@]}" --no-create-info --skip-extended-insert --skip-add-locks --skip-quote-names \
    --complete-insert "$SOURCE" "${TABLES[@]}" | gzip >portable.sql.gz || exit 1
import_into portable 0 portable.sql.gz
check_eq "portable: totals" "Success:3600 Failed:0" "$(last_progress portable.err)"
same_as_source portable source.digests

# A duplicate row and a broken statement in the middle of the news rows.
awk '/^INSERT INTO `news`/ && ++n == 200 {
         print; print; print "INSERT INTO news (insref, news_id) VALUES (1, '\''broken'\''"; next }
     { print }' dump.sql >failing.sql
import_into failing 1 failing.sql
check_eq "failing: two failure lines" 2 "$(grep -c "' DB:" failing.out)"
check "failing: the duplicate is printed with the server's error" \
    grep -q "^'INSERT INTO \`news\` .*' DB:.*Duplicate entry.*(23000)$" failing.out
check "failing: the broken statement is printed with the server's error" \
    grep -q "^'INSERT INTO news (insref, news_id) VALUES (1, 'broken'' DB:.*SQL syntax.*(42000)$" failing.out
check_eq "failing: totals" "Success:3606 Failed:2" "$(last_progress failing.err)"
same_as_source failing source.digests

# The server ends the session while a statement runs: the rows before it stay.
awk '/^INSERT INTO `news`/ && ++n == 100 { print "SELECT SLEEP(120);" } { print }' dump.sql >killed.sql
TARGET=zel_import_killed_$$
fresh_database "$TARGET"
write_config "$TARGET"
"$ZEL" --config="$WORK/zel.config" --import=killed.sql </dev/null >killed.out 2>killed.err &
zel_pid=$!
sleeping() {
    "${MARIADB[@]}" -N -B -e "SELECT id FROM information_schema.processlist
                               WHERE db = '$TARGET' AND info LIKE 'SELECT SLEEP%'"
}
for _ in $(seq 900); do
    [[ -n $(sleeping) ]] && break
    sleep 0.1
done
session=$(sleeping)
check "killed: the import reached the long statement" test -n "$session"
[[ -n $session ]] && "${MARIADB[@]}" -e "KILL $session"
wait "$zel_pid"
code=$?
zel_pid=
check_code "killed: zel --import" 1 "$code"
check "killed: the lost connection is reported" grep -q "The connection to the database was lost at line" killed.out
# What arrived: everything before the long statement, nothing after it.
before=$(grep -c '^INSERT' <(sed '/^SELECT SLEEP/q' killed.sql))
statements=$(grep -c '^INSERT\|^LOCK\|^UNLOCK' <(sed '/^SELECT SLEEP/q' killed.sql))
check_eq "killed: totals" "Success:$statements Failed:1" "$(last_progress killed.err)"
arrived=$("${MARIADB[@]}" -N -B "$TARGET" -e "SELECT (SELECT count(*) FROM trades) + (SELECT count(*) FROM news) + (SELECT count(*) FROM alt_identifiers)")
check_eq "killed: every statement before the lost connection is in the database" "$before" "$arrived"

echo "$failures failed"
((failures == 0))
