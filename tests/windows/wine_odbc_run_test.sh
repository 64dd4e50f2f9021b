#!/usr/bin/env bash
# zel.exe under Wine writing through dbdrv_odbc.dll into PostgreSQL: Wine's driver manager
# hands the module's wide-character calls to the host's unixODBC and its PostgreSQL driver.
# A throwaway server gets the example schema; zel.exe --check-types passes on it (through the
# module's description), also with the SQL user given on the command line and its password
# typed at the prompt, and zel.exe runs against feedsim.exe, is stopped by Ctrl+C with exit code 0, and the
# rows it wrote are read back with psql: quotes and trades landed, no statement failed.
#   wine_odbc_run_test.sh ZEL_EXE FEEDSIM_EXE ODBC_MODULE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$1 FEEDSIM=$2 ODBCMOD=$3 SOURCE=$4 WORK=$5
NULLMOD=$ODBCMOD
source "$SOURCE/tests/windows/wine_common.sh"

"$SOURCE/scripts/pg-server" start "$WORK/pg" >"$WORK/pg.out" 2>&1 || { cat "$WORK/pg.out"; exit 1; }
cleanup_extra+=("'$SOURCE/scripts/pg-server' stop --clean '$WORK/pg'")
# shellcheck disable=SC1091
source "$WORK/pg/env"
export PGPASSWORD=$ZEL_PG_PASSWORD
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT"
      -U "$ZEL_PG_USER" -d "$ZEL_PG_DBNAME")
"${PSQL[@]}" -f "$SOURCE/examples/schema/postgresql.sql" >/dev/null || exit 1

start_feedsim
write_config
# The null module's configuration, turned to the ODBC module on the throwaway server with
# the database check on.
sed -i -e "s/^checkdatabase 0\r\?$/checkdatabase 1/" \
    -e "/^instance /a connectionstring DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=$ZEL_PG_PORT;DATABASE=$ZEL_PG_DBNAME;UID=$ZEL_PG_USER;PWD=$ZEL_PG_PASSWORD;" \
    "$WORK/zel.config"
# The database check through the module's description of the server's tables.
"$WINE" "$ZEL" "--config=$CONFIG_WIN" --check-types </dev/null >"$WORK/check.out" 2>&1
check_code "zel.exe --check-types through the ODBC module" 0 $?
check "the database check passed" grep -q 'The SQL database check was successful' "$WORK/check.out"
# The same check with the SQL user given on the command line: the password is prompted for
# and read up to the end of its line, and the check waits for it.
mkfifo "$WORK/password"
"$WINE" "$ZEL" "--config=$CONFIG_WIN" --check-types --dbsuser=operator <"$WORK/password" \
    >"$WORK/prompt.raw" 2>&1 &
prompt_pid=$!
cleanup_extra+=("kill -9 $prompt_pid")
exec 3>"$WORK/password"
check "--dbsuser prompts for the SQL password" wait_for 60 grep -q 'Enter SQL password: ' "$WORK/prompt.raw"
sleep 1
check "the check waits for the password" kill -0 "$prompt_pid"
check "nothing was checked before it" bash -c "! grep -q 'database check' '$WORK/prompt.raw'"
printf 'typed secret\r\n' >&3
exec 3>&-
wait_for 60 bash -c "! kill -0 $prompt_pid 2>/dev/null"
wait "$prompt_pid"
check_code "the check after the typed password" 0 $?
check "the password is not echoed" bash -c "! grep -q 'typed secret' '$WORK/prompt.raw'"
check "the check ran after the password" grep -q 'The SQL database check was successful' "$WORK/prompt.raw"
"$WINE" "$ZEL" "--config=$CONFIG_WIN" "--map-name=$MAP_NAME" </dev/null >"$WORK/zel.out" 2>&1 &
zel_pid=$!
cleanup_extra+=("kill -9 $zel_pid")

written() { local n; n=$(status_value database-updates-ok); [[ -n $n && $n -gt 200 ]]; }
check "zel.exe runs through the ODBC module" wait_for 90 zel_running
check "zel.exe writes statements into PostgreSQL" wait_for 60 written
failed=$(status_value database-updated-failed)
stop_by_ctrl_c "$zel_pid" 60
check_code "the run stopped by Ctrl+C" 0 $?
tr -d '\r' <"$WORK/zel.out" >"$WORK/zel.log"
check_eq "no statement failed" 0 "$failed"
quotes=$("${PSQL[@]}" -At -c "SELECT count(*) FROM quotes")
trades=$("${PSQL[@]}" -At -c "SELECT count(*) FROM trades")
echo "     PostgreSQL holds $quotes quotes and $trades trades written by zel.exe"
check "quotes landed" test "$quotes" -gt 0
check "trades landed" test "$trades" -gt 0
check_eq "the status row says zel.exe has stopped" 0 \
    "$("${PSQL[@]}" -At -c "SELECT value FROM zel_status WHERE name = 'Running'")"
((failures)) && tail -30 "$WORK/zel.log"
finish
