#!/usr/bin/env bash
# Real dumps round trip: a database made from the example schema is filled by a generated
# zel run, pg_dump writes its data (--inserts and --column-inserts, plain, compressed by
# pg_dump itself and by gzip, and piped into zel's standard input), and zel --import loads
# each into an empty database with the example schema. Every table must then hold exactly
# the rows of the source, and each import must end with exit code 0 and no failure line.
#
#   pg_dump_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_PG_ENV (the pg_server fixture's env file).
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
use_pg_env "$ZEL_PG_ENV"

SOURCE_DB=zel_import_src_$$
fresh_database "$SOURCE_DB"
fill_with_generated_run "$SOURCE_DB" 5 60 1000
# Texts that the feed does not send but a dump must carry unchanged: backslashes (which
# the import must not take for escapes in a dump written for standard strings), quotes,
# the characters of LIKE patterns, a tab and text beyond ASCII.
sql "$SOURCE_DB" "UPDATE news SET body = body || E' O''Brien said \"a\\\\b\" \\\\n 50% x_y\ttab \u00e9t\u00e9 \\\\'
                  WHERE news_id IN (SELECT news_id FROM news ORDER BY news_id LIMIT 5)" >/dev/null || exit 1

PG_DUMP=("$ZEL_PG_BINDIR/pg_dump" -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER"
         --data-only --no-owner)
"${PG_DUMP[@]}" --inserts "$SOURCE_DB" >inserts.sql || exit 1
"${PG_DUMP[@]}" --column-inserts "$SOURCE_DB" >column_inserts.sql || exit 1
"${PG_DUMP[@]}" --inserts --compress=6 "$SOURCE_DB" >inserts_pg_dump.sql.gz || exit 1
gzip -c column_inserts.sql >column_inserts.sql.gz || exit 1
statements=$(grep -c '^INSERT INTO' inserts.sql)
# Every table the feed reaches has rows, so that each comparison below compares something.
check_eq "tables without rows in the source" "quotes_bbo" "$(table_rows "$SOURCE_DB" | awk -F'|' '$2 == 0 {print $1}' | paste -sd ' ')"
echo "     the source holds $(table_rows "$SOURCE_DB" | awk -F'|' '{n += $2} END {print n}') rows; $statements INSERT lines per dump"
check_eq "the dump carries the texts with backslashes" 5 "$(grep -c "O''Brien said \"a\\\\b\" \\\\n 50% x_y.tab été \\\\'" inserts.sql)"

# import_into NAME FILE [STDIN_COMMAND]: a fresh target, zel --import of FILE (or "-" fed by
# the command), then the comparison with the source.
import_into() {
    local name=$1 file=$2 feed=${3:-} target=zel_import_${1}_$$ code
    fresh_database "$target"
    write_import_config "$target"
    if [[ -n $feed ]]; then
        bash -c "$feed" | "$ZEL" --config="$WORK/zel.config" --import=- >"$name.out" 2>"$name.err"
        code=${PIPESTATUS[1]}
    else
        "$ZEL" --config="$WORK/zel.config" --import="$file" </dev/null >"$name.out" 2>"$name.err"
        code=$?
    fi
    check_code "$name: zel --import" 0 "$code"
    check "$name: no failure lines" bash -c "! grep -q \"' DB:\" '$name.out'"
    check "$name: the totals" grep -qE "Success:[0-9]+ Failed:0\$" "$name.err"
    same_tables "$name" "$SOURCE_DB" "$target"
}

import_into inserts inserts.sql
import_into column_inserts column_inserts.sql
import_into inserts_pg_dump_gz inserts_pg_dump.sql.gz
import_into column_inserts_gz column_inserts.sql.gz
import_into pg_dump_pipe - "$(printf '%q ' "${PG_DUMP[@]}" --column-inserts "$SOURCE_DB")"
import_into gzip_pipe - "gzip -c inserts.sql"

# The plain dump's totals count its statements: the INSERTs and pg_dump's settings.
settings=$(grep -cE '^(SET|SELECT) ' inserts.sql)
check "inserts: every statement counted" grep -q "Success:$((statements + settings)) Failed:0" inserts.err
finish
