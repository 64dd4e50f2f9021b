#!/usr/bin/env bash
# A MariaDB dump into PostgreSQL: a throwaway MariaDB server holds three tables shaped like
# those of zel's example schema (trades, news, alt_identifiers) with generated rows, texts with
# quotes, backslashes, line breaks, tabs and accented letters among them; mariadb-dump writes
# them with the options of docs/import.md, plain, gzip-compressed and piped; zel --import loads
# each into an empty PostgreSQL database made from the example schema, and every table must
# then hold the source's rows. A dump with mariadb-dump's default options fails the import
# with exit code 1 (its multi-row INSERTs span lines), which is why the options are needed.
#
#   mariadb_dump_test.sh ZEL MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_PG_ENV (the pg_server fixture's env file) and the MariaDB server programs; run as
# root (the server runs as the system user mysql). Exit code 77 (skipped) without them.
set -uo pipefail

ZEL=$1 MODULE=$2 SRC=$3 WORK=$4
FEEDSIM=
HERE=$(cd "$(dirname "$0")" && pwd)
if ! command -v mariadbd >/dev/null && [[ ! -x /usr/sbin/mariadbd ]]; then
    echo "skipped: the MariaDB server is not installed"
    exit 77
fi
if [[ $(id -u) -ne 0 ]] || ! id mysql >/dev/null 2>&1; then
    echo "skipped: the throwaway MariaDB server needs root and the system user mysql"
    exit 77
fi
MARIADBD=$(command -v mariadbd || echo /usr/sbin/mariadbd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
use_pg_env "$ZEL_PG_ENV"

# The MariaDB server, on its socket only. Its files live in the work directory unless the
# server's user cannot reach it or the socket's path would be too long for a socket name.
MDB=$WORK/mdb
MDB_PRIVATE=0
if ((${#MDB} > 90)) || ! runuser -u mysql -- test -x "$WORK" 2>/dev/null; then
    MDB=$(mktemp -d /tmp/zel-mdb.XXXXXX) || exit 1
    chmod 755 "$MDB"
    MDB_PRIVATE=1
fi
SOCK=$MDB/mysqld.sock
install -d -o mysql -g mysql -m 750 "$MDB" "$MDB/tmp"
mariadb-install-db --no-defaults --user=mysql --datadir="$MDB/data" --tmpdir="$MDB/tmp" \
    --auth-root-authentication-method=socket --skip-test-db >"$MDB/install.log" 2>&1 ||
    { echo "FAIL mariadb-install-db"; tail "$MDB/install.log"; exit 1; }
"$MARIADBD" --no-defaults --user=mysql --datadir="$MDB/data" --tmpdir="$MDB/tmp" --socket="$SOCK" \
    --skip-networking --skip-name-resolve --pid-file="$MDB/mariadbd.pid" --log-error="$MDB/error.log" \
    --innodb-flush-log-at-trx-commit=0 --innodb-buffer-pool-size=64M --character-set-server=utf8mb4 \
    </dev/null >/dev/null 2>&1 &
mariadbd_pid=$!
stop_mariadb() {
    mariadb-admin --no-defaults --socket="$SOCK" -uroot shutdown >/dev/null 2>&1
    wait "$mariadbd_pid" 2>/dev/null
    ((MDB_PRIVATE)) && rm -rf "$MDB"
}
cleanup_hooks+=(stop_mariadb)
wait_for 60 mariadb-admin --no-defaults --socket="$SOCK" -uroot ping >/dev/null 2>&1 ||
    { echo "FAIL the MariaDB server did not start"; tail "$MDB/error.log"; exit 1; }
MARIADB=(mariadb --no-defaults --socket="$SOCK" -uroot --default-character-set=utf8mb4)
MARIADB_DUMP=(mariadb-dump --no-defaults --socket="$SOCK" -uroot)

"${MARIADB[@]}" >/dev/null <<'SQL' || { echo "FAIL the MariaDB source"; exit 1; }
CREATE DATABASE src CHARACTER SET utf8mb4;
USE src;
SET SESSION max_recursive_iterations = 100000;
CREATE TABLE trades (insref decimal(20,0) NOT NULL, trade_date date NOT NULL, trade_time time NULL,
    trade_id decimal(20,0) NOT NULL, price decimal(18,4) NULL, quantity decimal(20,0) NULL,
    flags int NULL, price2 decimal(18,4) NULL, original_time time NULL,
    PRIMARY KEY (insref, trade_date, trade_id));
CREATE TABLE news (insref decimal(20,0) NOT NULL, news_id varchar(32) NOT NULL, news_date date NULL,
    news_time time NULL, headline varchar(255) NULL, source varchar(16) NULL, language char(2) NULL,
    body text NULL, PRIMARY KEY (insref, news_id));
CREATE TABLE alt_identifiers (insref decimal(20,0) NOT NULL, scheme varchar(16) NOT NULL,
    identifier varchar(32) NULL, PRIMARY KEY (insref, scheme));
INSERT INTO trades
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
    SELECT 1000 + i % 50, DATE '2026-12-01' + INTERVAL i % 5 DAY, SEC_TO_TIME(32400 + i * 7), i,
           10 + (i % 900) / 7, 100 * (1 + i % 13), IF(i % 4 = 0, NULL, i % 3),
           IF(i % 2 = 0, NULL, 11.5), NULL
    FROM n;
INSERT INTO news
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400)
    SELECT 1000 + i % 50, CONCAT('N', LPAD(i, 8, '0')), DATE '2026-12-08', SEC_TO_TIME(36000 + i),
           CONCAT('O''Brien & "partners" #', i, ' 50% up_now'),
           IF(i % 3 = 0, NULL, 'SIMWIRE'), IF(i % 2 = 0, 'en', 'sv'),
           CASE i % 4
               WHEN 0 THEN CONCAT('line one\nline two\r\nline three ', i)
               WHEN 1 THEN CONCAT('a backslash \\ and two \\\\ in ', i, ' \\')
               WHEN 2 THEN CONCAT('tab\there, été, ', i)
               ELSE NULL END
    FROM n;
INSERT INTO alt_identifiers
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200)
    SELECT 1000 + i, IF(i % 2 = 0, 'TICKER', 'FIGI'), CONCAT('SIM\\', i, ' X''O') FROM n;
SQL

# digests SERVER: "table|rows|digest" of the three tables, each row's columns joined by "|"
# in the same order, rows in key order; computed by the server itself.
TABLES=(trades news alt_identifiers)
declare -A COLUMNS=(
    [trades]="insref, trade_date, trade_time, trade_id, price, quantity, flags, price2, original_time"
    [news]="insref, news_id, news_date, news_time, headline, source, language, body"
    [alt_identifiers]="insref, scheme, identifier")
declare -A KEYS=([trades]="insref, trade_date, trade_id" [news]="insref, news_id"
                 [alt_identifiers]="insref, scheme")
mariadb_digests() {
    local table
    for table in "${TABLES[@]}"; do
        "${MARIADB[@]}" -N -B src -e "SET SESSION group_concat_max_len = 1073741824;
            SELECT '$table', count(*), coalesce(md5(group_concat(concat_ws('|', ${COLUMNS[$table]})
                ORDER BY ${KEYS[$table]} SEPARATOR '\n')), '') FROM $table" | tr '\t' '|'
    done
}
pg_digests() {
    local table
    for table in "${TABLES[@]}"; do
        sql "$1" "SELECT '$table', count(*), coalesce(md5(string_agg(concat_ws('|', ${COLUMNS[$table]}), E'\\n'
                  ORDER BY ${KEYS[$table]})), '') FROM $table"
    done
}
mariadb_digests >source.digests
check "the source has its rows" grep -q "^news|400|" source.digests

OPTIONS=(--no-create-info --skip-extended-insert --skip-add-locks --skip-quote-names --complete-insert)
"${MARIADB_DUMP[@]}" "${OPTIONS[@]}" src "${TABLES[@]}" >dump.sql || exit 1
gzip -c dump.sql >dump.sql.gz
"${MARIADB_DUMP[@]}" --no-create-info src "${TABLES[@]}" >default_options.sql || exit 1

# import_into NAME EXPECTED_EXIT FILE [STDIN_COMMAND]
import_into() {
    local name=$1 expected=$2 file=$3 feed=${4:-} target=zel_mdb_${1}_$$ code
    fresh_database "$target"
    write_import_config "$target"
    if [[ -n $feed ]]; then
        bash -c "$feed" | "$ZEL" --config="$WORK/zel.config" --import=- >"$name.out" 2>"$name.err"
        code=${PIPESTATUS[1]}
    else
        "$ZEL" --config="$WORK/zel.config" --import="$file" </dev/null >"$name.out" 2>"$name.err"
        code=$?
    fi
    check_code "$name: zel --import" "$expected" "$code"
    [[ $expected == 0 ]] || return
    check "$name: no failure lines" bash -c "! grep -q \"' DB:\" '$name.out'"
    pg_digests "$target" >"$name.digests"
    if cmp -s source.digests "$name.digests"; then
        echo "ok   $name: every table equals the MariaDB source"
    else
        echo "FAIL $name: tables differ from the MariaDB source (table|rows|digest)"
        diff source.digests "$name.digests"
        failures=$((failures + 1))
    fi
}

import_into plain 0 dump.sql
import_into gzip 0 dump.sql.gz
import_into pipe 0 - "$(printf '%q ' "${MARIADB_DUMP[@]}" "${OPTIONS[@]}" src "${TABLES[@]}")"
import_into default_options 1 default_options.sql
check "default_options: the multi-row INSERT's lines are reported" grep -q "^'INSERT INTO \`trades\` VALUES' DB:" default_options.out
finish
