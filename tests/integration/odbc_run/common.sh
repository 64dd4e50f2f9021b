# common.sh - what the ODBC run tests share: a fresh database made from the example schema
# on the server named by SERVER (postgresql, mariadb or sqlite), its ODBC connection
# string, a client to read it, and the copy of its tables into PostgreSQL, where the rows
# are compared with the same expected files as the PostgreSQL module's runs.
# Sourced after SERVER, SRC and WORK are set; needs ZEL_PG_ENV, and ZEL_MDB_ENV for MariaDB.

# shellcheck disable=SC1090
source "$ZEL_PG_ENV" || exit 1
export PGPASSWORD=$ZEL_PG_PASSWORD
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -v ON_ERROR_STOP=1 -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER")
if [[ $SERVER == mariadb ]]; then
    source "$ZEL_MDB_ENV" || exit 1
    MARIADB=(mariadb --no-defaults -h 127.0.0.1 -P "$ZEL_MDB_PORT" -u "$ZEL_MDB_USER" "-p$ZEL_MDB_PASSWORD")
fi
TABLEDEF=$SRC/examples/zel.tabledef
[[ $SERVER == mariadb || $SERVER == sqlite ]] && TABLEDEF=$SRC/examples/zel.$SERVER.tabledef
odbc_cleanup_hooks=()

odbc_cleanup() {
    local hook
    for hook in "${odbc_cleanup_hooks[@]}"; do eval "$hook"; done
}

# target_database NAME: a fresh database for zel from the server's example schema; sets
# CONNSTR (the ODBC connection string zel uses).
target_database() {
    local db=$1
    case $SERVER in
    postgresql)
        "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE IF EXISTS $db" 2>/dev/null
        "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE $db" || exit 1
        "${PSQL[@]}" -d "$db" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
        odbc_cleanup_hooks+=("\"\${PSQL[@]}\" -d \"\$ZEL_PG_DBNAME\" -c 'DROP DATABASE IF EXISTS $db' 2>/dev/null")
        CONNSTR="DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;PORT=$ZEL_PG_PORT;DATABASE=$db;UID=$ZEL_PG_USER;PWD=$ZEL_PG_PASSWORD;"
        ;;
    mariadb)
        "${MARIADB[@]}" -e "DROP DATABASE IF EXISTS $db; CREATE DATABASE $db CHARACTER SET utf8mb4 COLLATE utf8mb4_bin" || exit 1
        "${MARIADB[@]}" "$db" <"$SRC/examples/schema/mariadb.sql" || exit 1
        odbc_cleanup_hooks+=("\"\${MARIADB[@]}\" -e 'DROP DATABASE IF EXISTS $db' 2>/dev/null")
        CONNSTR="DRIVER={MariaDB Unicode};SERVER=127.0.0.1;PORT=$ZEL_MDB_PORT;DATABASE=$db;UID=$ZEL_MDB_USER;PWD=$ZEL_MDB_PASSWORD;"
        ;;
    sqlite)
        SQLITE_FILE=$WORK/$db.sqlite
        rm -f "$SQLITE_FILE"
        sqlite3 "$SQLITE_FILE" <"$SRC/examples/schema/sqlite.sql" >/dev/null || exit 1
        # Four connections share one file: a writer waits for another's lock, up to 10 s.
        CONNSTR="DRIVER={SQLite3};Database=$SQLITE_FILE;Timeout=10000;"
        ;;
    esac
    TARGET_DB=$db
}

# target_sql STATEMENT: one statement on the target database, rows as tab-separated lines.
target_sql() {
    case $SERVER in
    postgresql) "${PSQL[@]}" -d "$TARGET_DB" -At -F $'\t' -c "$1" ;;
    mariadb) "${MARIADB[@]}" -B -N "$TARGET_DB" -e "$1" ;;
    sqlite) sqlite3 -separator $'\t' "$SQLITE_FILE" "$1" ;;
    esac
}

# target_tables: the tables of the example schema, in its order.
target_tables() { sed -n 's/^CREATE TABLE IF NOT EXISTS \([a-z_0-9]*\) (.*/\1/p' "$SRC/examples/schema/postgresql.sql"; }

# sqlite_columns TABLE: the select list that writes doubles in full.
sqlite_columns() {
    sqlite3 "$SQLITE_FILE" "SELECT group_concat(printf('CASE typeof(%s) WHEN ''real'' THEN printf(''%%!.17g'', %s) ELSE %s END', name, name, name), ',')
                            FROM pragma_table_info('$1')"
}

# copy_to_postgresql DB: a PostgreSQL database DB from the example schema holding the target's
# rows, so that the PostgreSQL checks read them with PostgreSQL's own formatting.
copy_to_postgresql() {
    local db=$1 table
    if [[ $SERVER == postgresql ]]; then
        COMPARE_DB=$TARGET_DB
        return
    fi
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "DROP DATABASE IF EXISTS $db" 2>/dev/null
    "${PSQL[@]}" -d "$ZEL_PG_DBNAME" -c "CREATE DATABASE $db" || exit 1
    "${PSQL[@]}" -d "$db" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
    odbc_cleanup_hooks+=("\"\${PSQL[@]}\" -d \"\$ZEL_PG_DBNAME\" -c 'DROP DATABASE IF EXISTS $db' 2>/dev/null")
    for table in $(target_tables); do
        case $SERVER in
        # The batch output escapes tabs, line feeds and backslashes as COPY reads them;
        # NULL is the one word to translate.
        mariadb) "${MARIADB[@]}" -B -N "$TARGET_DB" -e "SELECT * FROM $table" |
            awk 'BEGIN { FS = OFS = "\t" } { for (i = 1; i <= NF; i++) if ($i == "NULL") $i = "\\N"; print }' ;;
        # The shell shows a double with 15 digits; 17 keep every bit of it.
        sqlite) sqlite3 -separator $'\t' -nullvalue '\N' "$SQLITE_FILE" "SELECT $(sqlite_columns "$table") FROM $table" ;;
        esac >"$WORK/copy-$table.tsv"
        "${PSQL[@]}" -d "$db" -c "\\copy $table FROM '$WORK/copy-$table.tsv'" || {
            echo "FAIL could not copy $table into PostgreSQL"
            return 1
        }
    done
    COMPARE_DB=$db
}
