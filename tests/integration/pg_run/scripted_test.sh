#!/usr/bin/env bash
# End to end against PostgreSQL with a scripted feed (scenario.txt), run twice: with
# keepdeleted 0 and with keepdeleted 1. Each run's rows are compared with
# expected_keepdeleted<N>.txt: a second quote updates the stored row, trades are inserted,
# basic data and its links are stored, and the deleted instrument leaves (or, kept, is
# marked 9). A trigger makes the COMMIT of one trade lose its connection once; the trade
# must still be stored. The status table: "Startup time" and "Running" 1 while zel runs,
# the counters, and "Running" 0 after it stopped.
#
#   scripted_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [PIPELINE]
# PIPELINE (default 1) is the configuration key pipeline: the same rows are expected with
# statements sent in batches and one at a time. Needs ZEL_PG_ENV (the pg_server fixture's
# env file).
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5 PIPELINE=${6:-1}
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
use_pg_env "$ZEL_PG_ENV"
DB=zel_scripted_$$
fresh_database "$DB"

# Ends the session of whoever commits trade 7 of 2001, the first time only: a sequence
# counts outside the transaction, which the lost connection rolls back.
"${PSQL[@]}" -d "$DB" >/dev/null <<'SQL' || exit 1
CREATE SEQUENCE commit_losses;
CREATE FUNCTION lose_connection_at_commit() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF nextval('commit_losses') = 1 THEN
        PERFORM pg_terminate_backend(pg_backend_pid());
    END IF;
    RETURN NULL;
END $$;
CREATE CONSTRAINT TRIGGER trade_7_loses_its_commit AFTER INSERT ON trades
    DEFERRABLE INITIALLY DEFERRED FOR EACH ROW
    WHEN (NEW.insref = 2001 AND NEW.trade_id = 7) EXECUTE FUNCTION lose_connection_at_commit();
SQL

# Data messages in the scenario: what zel counts as received.
MESSAGES=$(grep -cE '^FEED_' "$HERE/scenario.txt")
MESSAGES=$((MESSAGES - 1))  # the request's end is not data

status_row() { sql "$DB" "SELECT value FROM zel_status WHERE name = '$1'"; }
status_is() { [[ $(status_row "$1") == "$2" ]]; }
count() { sql "$DB" "SELECT count(*) FROM $1"; }

landed() {  # landed KEEPDELETED: the scenario's last message has been written
    [[ $(count "trades WHERE insref = 2001 AND trade_id = 7") == 1 ]] || return 1
    if [[ $1 == 0 ]]; then
        [[ $(count "basicdata WHERE insref = 2002") == 0 && $(count "basicdata WHERE insref = 2001") == 1 ]]
    else
        [[ $(count "basicdata WHERE insref = 2002 AND status = 9") == 1 ]]
    fi
}

# A stamp written by zel, "YYYY-MM-DD HH:MM:SS", within two minutes of this machine's clock.
recent_stamp() {
    [[ $1 =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}\ [0-9]{2}:[0-9]{2}:[0-9]{2}$ ]] || return 1
    local then now
    then=$(date -d "$1" +%s) || return 1
    now=$(date +%s)
    ((now - then < 120 && then - now < 120))
}

run_scenario() {
    local keep=$1 out=zel-keepdeleted$1.out
    echo "--- keepdeleted $keep"
    sql "$DB" "ALTER SEQUENCE commit_losses RESTART" >/dev/null
    start_feedsim --script "$HERE/scenario.txt"
    write_config "$DB" keepdeleted "$keep" transactions 100 updateinterval 0 pipeline "$PIPELINE"
    start_zel "$out"

    check "the scenario landed" wait_for 30 landed "$keep"
    # The supervisor queues the counters every five seconds.
    check "status row Transactions counts the $MESSAGES messages" \
        wait_for 15 status_is Transactions "$MESSAGES"
    check_eq "status row Running while zel runs" 1 "$(status_row Running)"
    local started
    started=$(status_row 'Startup time')
    check "status row Startup time is this run's ($started)" recent_stamp "$started"
    check_eq "status row Connected" 1 "$(status_row Connected)"
    check "status row Databaseupdates counts" test "$(status_row Databaseupdates)" -gt 10
    check_eq "status row Failed databaseupdates" 0 "$(status_row 'Failed databaseupdates')"
    sleep 1  # the other queues' last items

    stop_zel
    check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
    kill "$feedsim_pid" && wait "$feedsim_pid" 2>/dev/null
    feedsim_pid=
    check_eq "status row Running after the stop" 0 "$(status_row Running)"
    # The stop mark is written after the stop request and must be answered, not given up.
    check_eq "no statement given up at the stop" 0 "$(grep -c 'had not answered\|after the stop request' "$out")"
    check_eq "status row Startup time unchanged by the stop" "$started" "$(status_row 'Startup time')"

    # The trigger's doing: the COMMIT was reported as a lost connection, and the batch ran again.
    check "the COMMIT of trade 7 lost its connection" \
        grep -q "SQL Error:'COMMIT' DB:FATAL:  terminating connection due to administrator command" "$out"

    "${PSQL[@]}" -d "$DB" -At -F '|' -f "$HERE/check_rows.sql" >rows-keepdeleted$keep.txt 2>&1
    if cmp -s "$HERE/expected_keepdeleted$keep.txt" rows-keepdeleted$keep.txt; then
        echo "ok   rows with keepdeleted $keep"
    else
        echo "FAIL rows with keepdeleted $keep"
        diff -u "$HERE/expected_keepdeleted$keep.txt" rows-keepdeleted$keep.txt
        failures=$((failures + 1))
        tail -30 "$out"
    fi
}

run_scenario 0

# The second run finds the status rows of the first and must update them all.
"${PSQL[@]}" -d "$DB" -c "DO \$\$ DECLARE t text; BEGIN
    FOR t IN SELECT table_name FROM information_schema.tables
              WHERE table_schema = 'public' AND table_name <> 'zel_status' LOOP
        EXECUTE format('TRUNCATE %I', t);
    END LOOP; END \$\$" \
    -c "UPDATE zel_status SET value = CASE name WHEN 'Startup time' THEN '2000-01-01 00:00:00' ELSE '0' END
         WHERE name <> 'Failed databaseupdates'" || exit 1
run_scenario 1
check_eq "one row per status name" 0 \
    "$(sql "$DB" "SELECT count(*) FROM (SELECT name FROM zel_status GROUP BY name HAVING count(*) > 1) d")"

finish
