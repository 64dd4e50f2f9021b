#!/usr/bin/env bash
# Fault case: the database server restarted in the middle of a generated stream, then each
# of zel's four connections ended with pg_terminate_backend in turn. zel must reconnect
# each time and write everything it received: the database is compared with the
# simulator's record (keyed kinds: the last value sent; trades: every row).
#
#   restart_terminate.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$(realpath "$1") FEEDSIM=$(realpath "$2") MODULE=$(realpath "$3") SRC=$(realpath "$4")
WORK=$(realpath -m "$5")
CASE=restart_and_terminate
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"

own_server
STREAM=35
start_feedsim --instruments 300 --rate 1500 --seed 11 --duration "$STREAM" --record sent.txt
write_config "$DB" updateinterval 1
start_zel zel.out
check "zel starts and writes" wait_for 30 writing

sleep 4
at "server stopped"
"$SRC/scripts/pg-server" stop "$PGDIR" >/dev/null
sleep 3
"$SRC/scripts/pg-server" restart "$PGDIR" >/dev/null || { echo "FAIL the server did not come back"; exit 1; }
at "server started again"

# Once zel is back on all four connections, end them one after the other.
backends() {
    sql "$DB" "SELECT pid FROM pg_stat_activity WHERE datname = current_database()
                AND backend_type = 'client backend' AND pid <> pg_backend_pid() ORDER BY pid"
}
four_connections() { [[ $(backends | grep -c .) -ge 4 ]]; }
check "zel has its four connections again after the restart" wait_for 30 four_connections
terminated=0
for pid in $(backends); do
    if [[ $(sql "$DB" "SELECT pg_terminate_backend($pid)") == t ]]; then
        terminated=$((terminated + 1))
        at "connection of backend $pid terminated"
    fi
    sleep 2
done
check_eq "zel connections terminated one by one" 4 "$terminated"

wait_stream_end
at "stream ended"
wait_drained 60
failed=$(status_value database-updated-failed)
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
compare_record
lost_reports=$(grep -a -c "Code:-\?[0-9]* Status:[0-9]" zel.out)
check "lost connections were reported ($lost_reports)" test "$lost_reports" -ge 1
check_eq "one feed connection for the whole run" 1 "$(grep -c '^# client=' sent.txt)"
figures "terminated=$terminated lost_connection_reports=$lost_reports" \
    "reruns=$(grep -a -c 'so will rerun' zel.out) failed_statements=$failed drain_s=$DRAIN_SECONDS"
show_zel_end
finish
