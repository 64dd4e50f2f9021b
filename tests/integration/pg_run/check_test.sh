#!/usr/bin/env bash
# zel --check, --check-types and --upgrade-db against a database made from the example
# schema: clean at first; with columns dropped and types changed, the reports (golden/) and
# the exit codes; the repair, column by column, as information_schema then shows it; a
# clean check after it; and a column that cannot be added because the table belongs to
# another role.
#
#   check_test.sh ZEL MODULE SOURCE_DIR WORK_DIR
# Needs ZEL_PG_ENV (the pg_server fixture's env file).
set -uo pipefail

ZEL=$1 MODULE=$2 SRC=$3 WORK=$4
FEEDSIM=
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
use_pg_env "$ZEL_PG_ENV"
DB=zel_check_$$
fresh_database "$DB"
FEED_PORT=1  # a check run never connects to the feed
write_config "$DB"

# run_check NAME EXPECTED_EXIT ARGS...: the messages go to NAME.out without their time
# stamps. The repairs come in the order of the definitions' hash table: they are sorted and
# put first.
run_check() {
    local name=$1 expected=$2 code
    shift 2
    "$ZEL" --config="$WORK/zel.config" "$@" </dev/null >"$name.log" 2>&1
    code=$?
    check_eq "$name: exit code" "$expected" "$code"
    local repair='^(Added column|Failed to add|Modified column|Failed to modify)'
    sed 's/^[0-9:]\{8\}  //' "$name.log" >"$name.lines"
    { grep -E "$repair" "$name.lines" | sort; grep -vE "$repair" "$name.lines"; } >"$name.out"
}

# same_as_golden NAME: NAME.out equals golden/NAME.txt.
same_as_golden() {
    if cmp -s "$HERE/golden/$1.txt" "$1.out"; then
        echo "ok   $1: the report"
    else
        echo "FAIL $1: the report"
        diff -u "$HERE/golden/$1.txt" "$1.out"
        failures=$((failures + 1))
    fi
}

# column_type TABLE COLUMN: type, length or precision and scale, nullable.
column_type() {
    sql "$DB" "SELECT data_type, coalesce(character_maximum_length::text, numeric_precision || ',' || numeric_scale, ''), is_nullable
                 FROM information_schema.columns WHERE table_name = '$1' AND column_name = '$2'"
}

run_check check_types_clean 0 --check-types
same_as_golden check_types_clean

# Three columns gone, four definitions changed.
sql "$DB" "ALTER TABLE quotes DROP COLUMN ask, DROP COLUMN bid_volume;
           ALTER TABLE trades DROP COLUMN price2, ALTER COLUMN flags TYPE bigint;
           ALTER TABLE basicdata ALTER COLUMN name TYPE character varying(32);
           ALTER TABLE news ALTER COLUMN body TYPE character varying(100);
           ALTER TABLE orders ALTER COLUMN price SET NOT NULL" || exit 1

run_check check_missing 1 --check
same_as_golden check_missing
run_check check_types_both 1 --check-types
same_as_golden check_types_both
run_check upgrade_missing 0 --check --upgrade-db
same_as_golden upgrade_missing
check_eq "quotes.ask added" "numeric|18,4|YES" "$(column_type quotes ask)"
check_eq "quotes.bid_volume added" "numeric|20,0|YES" "$(column_type quotes bid_volume)"
check_eq "trades.price2 added" "numeric|18,4|YES" "$(column_type trades price2)"
check_eq "trades.flags not changed by --check" "bigint|64,0|YES" "$(column_type trades flags)"

run_check check_types_warnings 0 --check-types
same_as_golden check_types_warnings

run_check upgrade_types 0 --check-types --upgrade-db
same_as_golden upgrade_types
check_eq "trades.flags changed" "integer|32,0|YES" "$(column_type trades flags)"
check_eq "basicdata.name changed" "character varying|64|YES" "$(column_type basicdata name)"
check_eq "news.body changed" "text||YES" "$(column_type news body)"
check_eq "orders.price accepts NULL again" "numeric|18,4|YES" "$(column_type orders price)"

run_check check_types_repaired 0 --check-types
same_as_golden check_types_repaired

# A table that belongs to the superuser: zel's role may write it but not alter it. The
# other missing column is still added; the one that cannot be is listed and fails the check.
SUPER=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_SOCKET_DIR" -p "$ZEL_PG_PORT"
       -U "$ZEL_PG_SUPERUSER" -d "$DB")
"${SUPER[@]}" -c "ALTER TABLE priip OWNER TO $ZEL_PG_SUPERUSER" \
    -c "ALTER TABLE priip DROP COLUMN risk_indicator" \
    -c "GRANT SELECT, INSERT, UPDATE, DELETE ON priip TO $ZEL_PG_USER" || exit 1
sql "$DB" "ALTER TABLE greeks DROP COLUMN rho" || exit 1
run_check upgrade_refused 1 --check --upgrade-db
same_as_golden upgrade_refused
check_eq "greeks.rho added" "numeric|18,6|YES" "$(column_type greeks rho)"
check_eq "priip.risk_indicator still missing" "" "$(column_type priip risk_indicator)"

finish
