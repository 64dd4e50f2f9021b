#!/usr/bin/env bash
# zel-schema without a server: the statements for a file whose tables several kinds share
# (golden/), the raw-value column types given on the command line, and every way a file,
# a module or the command line can be refused: exit code, the message on standard error,
# and nothing on standard output, so that no half schema is ever piped into a database.
#
#   offline_test.sh ZEL_SCHEMA PG_MODULE NULL_MODULE WORK_DIR
set -uo pipefail

TOOL=$1 PG=$2 NULLMOD=$3 WORK=$4
HERE=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../checks.sh
source "$HERE/../checks.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cp "$HERE"/files/*.tabledef "$WORK"/ && cd "$WORK" || exit 1

# run NAME ARGS...: stdout to NAME.out, stderr to NAME.err, exit code in $code.
run() {
    local name=$1
    shift
    "$TOOL" "$@" >"$name.out" 2>"$name.err"
    code=$?
}

same_as_golden() {  # same_as_golden FILE
    if cmp -s "$HERE/golden/$1" "$1"; then
        echo "ok   $1 as golden/$1"
    else
        echo "FAIL $1 differs from golden/$1"
        diff -u "$HERE/golden/$1" "$1"
        failures=$((failures + 1))
    fi
}

# refused NAME EXIT TEXT ARGS...: exits with EXIT, says TEXT on stderr, writes no statement.
refused() {
    local name=$1 expected=$2 text=$3
    shift 3
    run "$name" "$@"
    check_code "$name" "$expected" "$code"
    check "$name: says '$text'" grep -qF -- "$text" "$name.err"
    check "$name: no statement on standard output" test ! -s "$name.out"
}

run help --help
check_code "--help" 0 "$code"
check "--help names --apply" grep -q -- '--apply' help.out

# Merged kinds, keys, raw-value columns, the status table and a table without instrument.
run merged --module "$PG" merged.tabledef
check_code "merged" 0 "$code"
same_as_golden merged.out
same_as_golden merged.err

# A raw-value column's type from the command line; a type for a defined or unknown column
# is refused rather than dropped.
run base_types --module "$PG" --if-not-exists --column-type=ratios.eps='decimal(18,4)' \
    --column-type ratios.pb_base=bigint merged.tabledef
check_code "--column-type" 0 "$code"
check "--column-type: eps" grep -qx '    eps numeric(18,4) NULL,' base_types.out
check "--column-type: pb_base" grep -qx '    pb_base numeric(20,0) NULL,' base_types.out
check "--if-not-exists" grep -qx 'CREATE TABLE IF NOT EXISTS book (' base_types.out
refused defined_column 1 "ratios.pe: the file defines this column" \
    --module "$PG" --column-type=ratios.pe=int merged.tabledef
refused no_such_column 1 "ratios.nothing: no such raw-value column" \
    --module "$PG" --column-type=ratios.nothing=int merged.tabledef
refused unknown_base_type 1 'Column ratios.eps (column2 of 19:700) has the unknown type "money"' \
    --module "$PG" --column-type=ratios.eps=money merged.tabledef

# The file's faults: each named, all of them at once, exit 1.
refused unknown_type 1 'Column quotes.bid (2:5) has the unknown type "blob"' \
    --module "$PG" unknown_type.tabledef
check "unknown_type: capitals explained" \
    grep -qF 'quotes.ask (2:6) has the unknown type "DECIMAL" (type names are written in lower case)' unknown_type.err
check "unknown_type: a column without type" grep -qF 'Column quotes.last (2:7) has no type' unknown_type.err
refused no_columns 1 "Table actions has no columns" --module "$PG" no_columns.tabledef
check "no_columns: a message without mref names no table" \
    bash -c "! grep -q 'ignored_without_mref has no columns' no_columns.err"
refused bad_names 1 'Table name "my quotes" cannot be written unquoted into SQL' \
    --module "$PG" bad_names.tabledef
check "bad_names: the column too" grep -qF 'Column name "bid;drop" of table my quotes' bad_names.err
check "bad_names: schema.table is fine" bash -c "! grep -q 'history.daily' bad_names.err"
refused broken 1 "mismatched tag" --module "$PG" broken.tabledef
refused missing_file 1 "Cannot open table definition file 'nothing.tabledef'" --module "$PG" nothing.tabledef

# An allowed native type passes to the module unchanged; the others still fail.
run allowed --module "$PG" --allow-type blob unknown_type.tabledef
check_code "--allow-type blob: the other faults remain" 1 "$code"
check "--allow-type blob: blob no longer named" bash -c "! grep -q blob allowed.err"

# Modules that cannot render.
refused null_module 1 "the module writes no column types" --module "$NULLMOD" merged.tabledef
refused missing_module 1 "could not load the database module ./no_module.so" \
    --module ./no_module.so merged.tabledef

# The command line.
refused no_module 2 "no database module" merged.tabledef
refused apply_without_config 2 "--apply needs --config" --apply --module "$PG" merged.tabledef
refused unknown_option 2 "unknown option --drop" --drop merged.tabledef
refused missing_value 2 "option --module needs a value" merged.tabledef --module
refused bad_column_type 2 "--column-type wants TABLE.COLUMN=TYPE" --module "$PG" --column-type=eps merged.tabledef
refused missing_config 1 "could not read the configuration file nothing.config" --config nothing.config

if ((failures)); then
    echo "$failures check(s) failed (work directory: $WORK)"
    exit 1
fi
echo "all checks passed"
