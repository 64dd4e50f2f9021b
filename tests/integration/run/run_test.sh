#!/usr/bin/env bash
# zel end to end from the console: the null module, the example table definitions and the
# feed simulator in generated mode. While it runs, --status from another process shows its
# counters; SIGTERM (and, in a second run, Ctrl+C's SIGINT) stops it cleanly with exit code
# 0; the SQL log holds statements for every class the run requested.
#
#   run_test.sh ZEL FEEDSIM DBDRV_NULL TABLEDEF WORK_DIR
set -uo pipefail
ZEL=$1 FEEDSIM=$2 NULLMOD=$3 TABLEDEF=$4 WORK=$5
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1

start_feedsim
write_config

"$ZEL" --config "$WORK/zel.config" --map-name "$MAP_NAME" --console </dev/null >zel.out 2>&1 &
zel_pid=$!

flowing() { [[ $(status_value database-updates-ok) -gt 0 && $(status_value received-messages) -gt 0 ]]; }
check "counters move while it runs" wait_for 20 flowing
check "--status: connected to the feed" test "$(status_value connected-to-feed)" = 1
check "--status: running" test "$(status_value running)" = 1
check "--status: instrument table size published" \
    test "$(status_value instrument-hash-size | cut -d/ -f2)" -gt 0
check "statistics lines every five seconds" wait_for 15 grep -qE '^[0-9:]{8}  Q4: Queue: ' zel.out

kill -TERM "$zel_pid"
wait "$zel_pid"; code=$?; zel_pid=
check_code "SIGTERM ends the run" 0 "$code"

in_order() { in_order_of zel.out "$@"; }
in_order_of() {  # in_order_of FILE LINE... : the lines appear in FILE in this order
    local file=$1 last=0 line number
    shift
    for line in "$@"; do
        number=$(grep -nF -- "$line" "$file" | head -1 | cut -d: -f1)
        [[ -n $number && $number -gt $last ]] || { echo "  out of order or missing: $line"; return 1; }
        last=$number
    done
}
check "start-up and shutdown lines in order" in_order "Starting zel v0.9.55" \
    "Connecting to database" "Connected to database" "Skipping SQL database check" \
    "Successfully logged on to Corvalinder server" "  T: " "Shutting down, please wait..." \
    "Shutdown complete" "Press any key to continue..."
for n in 1 2 3 4; do
    check "database thread $n ended before the shutdown completed" in_order "Database thread $n ended" "Shutdown complete"
done
check "no SQL errors" bash -c "! grep -q 'SQL Error' zel.out"
check "--status after the run reads zeros" test "$(status_value running)" = 0

# Every class the run asked the feed for has statements in the SQL log.
classes=$(sed -n 's/.*FEED_REQUEST.* classes=\([^ ]*\) .*/\1/p' requests.log | head -1 | sed 's/\\s/ /g')
check "the run requested data" test -n "$classes"
table_of_class() {
    case $1 in
        0 | 8) echo news ;;  1 | 26) echo quotes ;;  2) echo trades ;;  3) echo orderbook ;;
        4 | 10) echo basicdata ;;  5) echo pricehistory ;;  9) echo corporate_actions ;;
        11) echo fundamentals ;;  12) echo performance ;;  13) echo keyratios ;;
        14) echo estimates ;;  15) echo recommendations ;;  16) echo noii ;;  17) echo l10n ;;
        18) echo ci_company ;;  19) echo ci_officers ;;  20) echo priip ;;  21) echo mifid ;;
        22) echo mifid_transparency ;;  23) echo mappings ;;  24) echo orders ;;
        25) echo greeks ;;  27) echo quotes_ex ;;  *) echo "unknown-class-$1" ;;
    esac
}
cat sql/SQ*.log >all.sql 2>/dev/null
for class in $classes; do
    table=$(table_of_class "$class")
    check "SQL log has statements for class $class ($table)" \
        grep -qE "(INSERT INTO|UPDATE|DELETE FROM) $table( |\\()" all.sql
done
check "SQL log has the status rows" grep -qE "UPDATE zel_status SET value = .* WHERE name = 'Last write'" all.sql

# Ctrl+C: SIGINT gives exit code 0 as well; --daemon prints nothing and waits for no key.
"$ZEL" --config "$WORK/zel.config" --map-name "$MAP_NAME" --daemon </dev/null >daemon.out 2>&1 &
zel_pid=$!
check "second run starts" wait_for 20 zel_running
kill -INT "$zel_pid"
wait "$zel_pid"; code=$?; zel_pid=
check_code "Ctrl+C ends the run" 0 "$code"
check "--daemon is silent" test ! -s daemon.out

# A check run against a module that cannot describe its database: the reason, the key
# prompt (check runs are interactive) and exit code 1, without starting anything.
"$ZEL" --config "$WORK/zel.config" --check </dev/null >check.out 2>&1; code=$?
check_code "check without a database description" 1 "$code"
check "check run lines" in_order_of check.out "Checking SQL database" \
    "Database check failed. Error: 'NULL', Code: 0" "Press any key to continue..."
check "a check run does not start" bash -c "! grep -qE 'Starting zel|Corvalinder' check.out"

# An import into the null module (which takes every statement): from standard input it
# succeeds; a file that is not there is a failure, not an empty import.
printf 'INSERT INTO t VALUES (1);\n-- comment\nINSERT INTO t VALUES (2);\n' |
    "$ZEL" --config "$WORK/zel.config" --import=- >import.out 2>import.err; code=$?
check_code "--import=- into the null module" 0 "$code"
check "--import totals" grep -q "Success:2 Failed:0" import.err
"$ZEL" --config "$WORK/zel.config" --import=dump.sql </dev/null >import.out 2>&1; code=$?
check_code "--import of a missing file fails" 1 "$code"
check "--import says which file" grep -q "Error opening file: dump.sql" import.out

finish
