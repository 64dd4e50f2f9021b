#!/usr/bin/env bash
# zel --import's reading rules against PostgreSQL, one small file each: an empty file, CR LF
# line ends, a MySQL-style escaped quote, comment lines, a statement over two lines, 2500
# statements with their three progress lines, statements that change no row or several
# rows, a gzip file cut off in the middle, a file that is not there. What each import
# prints, its exit code and the rows it left are checked.
#
#   edge_cases_test.sh ZEL MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_PG_ENV (the pg_server fixture's env file).
set -uo pipefail

ZEL=$1 MODULE=$2 SRC=$3 WORK=$4
FEEDSIM=
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
use_pg_env "$ZEL_PG_ENV"
DB=zel_import_edge_$$
fresh_database "$DB"
sql "$DB" "CREATE TABLE import_edge (id int PRIMARY KEY, name text)" >/dev/null || exit 1
write_import_config "$DB"

# import NAME EXPECTED_EXIT FILE: NAME.out (standard output), NAME.err (standard error).
import() {
    local name=$1 expected=$2 file=$3 code
    "$ZEL" --config="$WORK/zel.config" --import="$file" </dev/null >"$name.out" 2>"$name.err"
    code=$?
    check_code "$name: exit code" "$expected" "$code"
}
# progress_is NAME TEXT: standard error is exactly TEXT (printf escapes allowed).
progress_is() {
    check_eq "$1: progress lines" "$(printf "$2" | od -c)" "$(od -c <"$1.err")"
}
name_of() { sql "$DB" "SELECT name FROM import_edge WHERE id = $1"; }
failure_lines() { grep -c "' DB:" "$1.out"; }

: >empty.sql
import empty 0 empty.sql
progress_is empty '\rSuccess:0 Failed:0\n'

printf "INSERT INTO import_edge VALUES (1,'crlf one');\r\nINSERT INTO import_edge VALUES (2,'crlf two');\r\n" >crlf.sql
import crlf 0 crlf.sql
progress_is crlf '\rSuccess:2 Failed:0\n'
check_eq "crlf: no carriage return stored" "crlf two" "$(name_of 2)"

printf "INSERT INTO import_edge VALUES (3,'O\\\\'Brien \\\\\\\\ \\\\\"q\\\\\"');\n" >obrien.sql
check_eq "obrien: the file" "INSERT INTO import_edge VALUES (3,'O\\'Brien \\\\ \\\"q\\\"');" "$(cat obrien.sql)"
import obrien 0 obrien.sql
check_eq "obrien: stored" "O'Brien \\ \"q\"" "$(name_of 3)"

cat >comments.sql <<'EOF'
-- MySQL dump 10.19
/*!40101 SET NAMES utf8mb4 */;
/* a block comment line */
INSERT INTO import_edge VALUES (4,'after the comments'); -- a comment after it is sent with it
EOF
import comments 0 comments.sql
progress_is comments '\rSuccess:1 Failed:0\n'
check_eq "comments: the statement ran" "after the comments" "$(name_of 4)"

printf "INSERT INTO import_edge VALUES (5,\n'split over two lines');\nINSERT INTO import_edge VALUES (6,'after it');\n" >two_lines.sql
import two_lines 1 two_lines.sql
progress_is two_lines '\rSuccess:1 Failed:2\n'
check_eq "two_lines: two failure lines" 2 "$(failure_lines two_lines)"
check "two_lines: the first half is named" grep -q "^'INSERT INTO import_edge VALUES (5,' DB:" two_lines.out
check "two_lines: the second half is named" grep -q "^''split over two lines');' DB:" two_lines.out
check_eq "two_lines: nothing of it stored" "" "$(name_of 5)"
check_eq "two_lines: the next line still ran" "after it" "$(name_of 6)"

for i in $(seq 1000 3499); do echo "INSERT INTO import_edge VALUES ($i,'row $i');"; done | gzip -c >thousands.sql.gz
import thousands 0 thousands.sql.gz
progress_is thousands '\rSuccess:1000 Failed:0\rSuccess:2000 Failed:0\rSuccess:2500 Failed:0\n'
check_eq "thousands: rows" 2500 "$(sql "$DB" "SELECT count(*) FROM import_edge WHERE id BETWEEN 1000 AND 3499")"

# Statements that change no row, or several, have succeeded all the same.
cat >row_counts.sql <<'EOF'
CREATE TABLE import_more (a int);
INSERT INTO import_more VALUES (1),(2),(3);
UPDATE import_more SET a = a + 1 WHERE a > 100;
DELETE FROM import_more WHERE a < 3;
SELECT pg_catalog.set_config('search_path', 'public', false);
EOF
import row_counts 0 row_counts.sql
progress_is row_counts '\rSuccess:5 Failed:0\n'
check_eq "row_counts: the table" 3 "$(sql "$DB" "SELECT string_agg(a::text, ',') FROM import_more")"

# A compressed dump cut off in the middle: what came before is imported, the damage is
# reported, the exit code says so.
for i in $(seq 10000 59999); do echo "INSERT INTO import_edge VALUES ($i,'row $i of a dump that is cut off');"; done |
    gzip -c >whole.sql.gz
head -c $(($(stat -c %s whole.sql.gz) / 2)) whole.sql.gz >cut.sql.gz
import cut 1 cut.sql.gz
check "cut: the damage is reported" grep -q "Error reading cut.sql.gz at line [0-9]*: unexpected end of file" cut.out
imported=$(tr '\r' '\n' <cut.err | tail -1 | sed -n 's/^Success:\([0-9]*\) Failed:0$/\1/p')
stored=$(sql "$DB" "SELECT count(*) FROM import_edge WHERE id >= 10000")
check_eq "cut: every statement read before the damage is stored" "$imported" "$stored"
check "cut: a good part was read" test "${stored:-0}" -gt 10000 -a "${stored:-0}" -lt 50000
check_eq "cut: stored in order, without gaps" "$stored" "$(sql "$DB" "SELECT max(id) - 9999 FROM import_edge WHERE id >= 10000")"

import missing 1 missing.sql
check "missing: named" grep -q "Error opening file: missing.sql" missing.out
check "missing: no totals, nothing was read" test ! -s missing.err
finish
