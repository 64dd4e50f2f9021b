#!/usr/bin/env bash
# Fault case: the simulator drops the feed connection in the middle of the stream, twice.
# zel must log on again each time and ask for a catch-up from no later than the moment the
# connection was lost, and write everything it received (compared with the record).
#
#   feed_dropped.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$(realpath "$1") FEEDSIM=$(realpath "$2") MODULE=$(realpath "$3") SRC=$(realpath "$4")
WORK=$(realpath -m "$5")
CASE=feed_dropped
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"

shared_server faults_feed_drop
# 1,500 messages a second, dropped after 15,000 live messages: about every ten seconds.
start_feedsim --instruments 300 --rate 1500 --seed 14 --duration 32 --drop-every 15000 \
    --record sent.txt --log requests.log --no-server-name
write_config "$DB" updateinterval 1
start_zel zel.out
check "zel starts and writes" wait_for 30 writing
wait_stream_end
at "stream ended"
wait_drained 60
failed=$(status_value database-updated-failed)
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
compare_record

drops=$(grep -c '^@disconnect' sent.txt)
requests=$(grep -c 'FEED_REQUEST ' requests.log)
catchups=$(grep -c 'FEED_REQUEST .*start_time=' requests.log)
check "the simulator dropped the connection at least twice ($drops)" test "$drops" -ge 2
check_eq "every logon after a drop asked for a catch-up" "$((requests - 1))" "$catchups"
# Each catch-up must start no later than the last message that reached zel before the drop
# (date field 3, time field 4 of the record; the request names UTC date and time).
late=0
while read -r last start; do
    if [[ $start > $last ]]; then
        echo "     catch-up from $start, after the last message before the drop ($last)"
        late=$((late + 1))
    fi
done < <(paste -d' ' \
    <(awk '/^@disconnect/ { print d "T" substr(t, 1, 8) }
           $1 == "FEED_TRADE" || $1 == "FEED_QUOTE" { for (i = 3; i <= NF; i++) {
               if ($i ~ /^3=[0-9]/) d = substr($i, 3); if ($i ~ /^4=[0-9]/) t = substr($i, 3) } }' sent.txt) \
    <(sed -n 's/.*start_date=\([0-9-]*\).*start_time=\([0-9:]*\).*/\1T\2/p' requests.log))
check_eq "catch-ups that start after the connection was lost" 0 "$late"
figures "drops=$drops catchup_requests=$catchups late_catchups=$late" \
    "reruns=$(grep -a -c 'so will rerun' zel.out) failed_statements=$failed drain_s=$DRAIN_SECONDS"
show_zel_end
finish
