#!/usr/bin/env bash
# sqlserver_wine_test.sh PROBE DLL SOURCE WORK - the SQL Server module's COM layer under
# Wine, as far as Wine's ADO goes.
#
# Starts a throwaway PostgreSQL (scripts/pg-server), describes it as a unixODBC data source
# in an odbc.ini of its own (ODBCINI; user and password inside the data source, since
# Wine's MSDASQL drops those of the ADO string), and lets sqlserver_wine_probe.exe drive
# dbdrv_sqlserver.dll through "Provider=MSDASQL;Data Source=...;": objects created
# through their vtables, connect, statements from the main thread and from a second
# thread, a failing statement, server information. What landed is then read back with
# psql. The provider choice is checked against registry keys added with wine reg.
#
# WINEPREFIX comes from the environment (ctest gives this test a prefix of its own); the
# prefix is made on first use and its server is kept warm while the test runs, then ended.
set -uo pipefail

PROBE=$1 DLL=$2 SOURCE=$3 WORK=$4
# shellcheck source=../integration/checks.sh
source "$SOURCE/tests/integration/checks.sh"

export WINEDEBUG=-all
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX
WINE=${WINE:-wine}
PROVIDER_ROOT='HKLM\SOFTWARE\Microsoft\Microsoft SQL Server'

rm -rf "$WORK"
mkdir -p "$WORK"
chmod 755 "$WORK"  # the server runs as postgres and must reach its directory

cleanup() {
    "$WINE" reg delete "$PROVIDER_ROOT\\SQLNCLI10" /f >/dev/null 2>&1
    "$WINE" reg delete "$PROVIDER_ROOT\\SQLNCLI11" /f >/dev/null 2>&1
    "$SOURCE/scripts/pg-server" stop --clean "$WORK/pg" >/dev/null 2>&1
    wineserver -k >/dev/null 2>&1
    return 0
}
trap cleanup EXIT

if [[ ! -f $WINEPREFIX/system.reg ]]; then
    echo "making the Wine prefix $WINEPREFIX"
    "$WINE" wineboot --init >/dev/null 2>&1
    wineserver -w
fi
wineserver -p

winpath() {
    local path
    path=$(realpath -m "$1")
    printf 'Z:%s' "${path//\//\\}"
}

# --- The provider chosen from the registry of this prefix -------------------------------
provider() { "$WINE" "$PROBE" provider | tr -d '\r' | sed -n 's/^provider: //p'; }
check_eq "no provider key: SQLOLEDB" SQLOLEDB "$(provider)"
"$WINE" reg add "$PROVIDER_ROOT\\SQLNCLI10\\CurrentVersion" /f >/dev/null 2>&1
check_eq "SQLNCLI10 key: SQLNCLI10" SQLNCLI10 "$(provider)"
"$WINE" reg add "$PROVIDER_ROOT\\SQLNCLI11\\CurrentVersion" /f >/dev/null 2>&1
check_eq "SQLNCLI11 beside SQLNCLI10: the newer" SQLNCLI11 "$(provider)"
"$WINE" reg delete "$PROVIDER_ROOT\\SQLNCLI10" /f >/dev/null 2>&1
"$WINE" reg delete "$PROVIDER_ROOT\\SQLNCLI11" /f >/dev/null 2>&1

# --- The module against PostgreSQL through MSDASQL and unixODBC -------------------------
"$SOURCE/scripts/pg-server" start "$WORK/pg" >"$WORK/pg-start.out" 2>&1 || {
    echo "FAIL PostgreSQL did not start"
    cat "$WORK/pg-start.out"
    exit 1
}
# shellcheck disable=SC1091
source "$WORK/pg/env"
cat >"$WORK/odbc.ini" <<INI
[zel_wine_test]
Driver = PostgreSQL Unicode
Servername = $ZEL_PG_HOST
Port = $ZEL_PG_PORT
Database = $ZEL_PG_DBNAME
Username = $ZEL_PG_USER
Password = $ZEL_PG_PASSWORD
INI
export ODBCINI=$WORK/odbc.ini

"$WINE" "$PROBE" ado "$(winpath "$DLL")" "Provider=MSDASQL;Data Source=zel_wine_test;" 2>&1 |
    tr -d '\r' >"$WORK/probe.out"
cat "$WORK/probe.out"
line() { sed -n "s/^$1: //p" "$WORK/probe.out"; }

check_eq "mod_init" 1 "$(line init)"
check_eq "mod_connect through MSDASQL" 1 "$(line connect)"
# SQL Server's session settings are refused by this server: the connect still succeeds
# and keeps both failures as its error text.
check "refused session settings kept as the error text" \
    grep -q '^connect error: SET NOCOUNT OFF failed: .*; SET XACT_ABORT OFF failed: ' "$WORK/probe.out"
# Wine's ADO reports 0 records affected for everything: 0 with "Affected rows:0".
check_eq "CREATE TABLE" 0 "$(line create)"
check_eq "INSERT on the main thread" "0 Affected rows:0" "$(line 'insert main')"
check_eq "INSERT on a second thread" 0 "$(line 'insert thread')"
# Wine's record sets never hold a row: the query succeeds empty.
check_eq "query on a second thread" "status 0, no rows 0x00000000 (none)" "$(line 'query thread')"
# A failing statement gives E_FAIL without an error object, which the table calls lost.
check_eq "failing statement" "-2 0x80004005 Unknown error in execute" "$(line 'failing statement')"
check_eq "server information" "1 version (none), transaction BEGIN TRANSACTION" "$(line info)"
check_eq "disconnect, destroy, exit" "1 1 1" "$(line disconnect) $(line destroy) $(line exit)"

rows=$(psql -X -At "$ZEL_PG_CONNSTR" -c "SELECT id || '|' || note FROM zel_ado_probe ORDER BY id" 2>&1 | tr '\n' ' ')
check_eq "both rows landed in PostgreSQL, quoted and in UTF-8" "1|O'Brien 2|café thread " "$rows"

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
