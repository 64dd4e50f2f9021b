#!/usr/bin/env bash
# Fault case: the database down for more than 61 seconds in the middle of a generated
# stream. The supervisor must cut the feed connection once, zel must not connect to the
# feed again while the database is down, and once it is back zel must log on again with a
# catch-up request and write everything it received (compared with the simulator's record).
#
#   database_down.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [DOWN_SECONDS]
set -uo pipefail
ZEL=$(realpath "$1") FEEDSIM=$(realpath "$2") MODULE=$(realpath "$3") SRC=$(realpath "$4")
WORK=$(realpath -m "$5") DOWN=${6:-75}
CASE=database_down_long
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"

own_server
# Without a server name in the logon reply zel may ask for a catch-up when it comes back.
start_feedsim --instruments 300 --rate 1000 --seed 13 --duration $((DOWN + 28)) \
    --record sent.txt --log requests.log --no-server-name
write_config "$DB" updateinterval 1
start_zel zel.out
check "zel starts and writes" wait_for 30 writing

sleep 5
"$SRC/scripts/pg-server" stop "$PGDIR" >/dev/null
down_at=$SECONDS
at "server stopped for $DOWN s"
cut() { grep -a -q "Database connection down for too long" zel.out; }
CUT_S=$(until_or_after "$down_at" "$DOWN" cut)
sleep $((DOWN - (SECONDS - down_at) > 0 ? DOWN - (SECONDS - down_at) : 0))
clients_while_down=$(grep -c '^# client=' sent.txt)
"$SRC/scripts/pg-server" restart "$PGDIR" >/dev/null || { echo "FAIL the server did not come back"; exit 1; }
at "server started again"
check "the feed was cut after more than 61 s down (after $CUT_S s)" \
    bash -c "[[ $CUT_S != never ]] && ((${CUT_S/never/0} >= 61))"
check_eq "no new feed connection while the database was down" 1 "$clients_while_down"

wait_stream_end
at "stream ended"
wait_drained 90
failed=$(status_value database-updated-failed)
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
# The trades the first connection may have carried unread when zel cut it: those stamped at
# or after the start time of zel's catch-up request, which a feed server sends again for it
# (the simulator answers with its snapshot). Every trade before that time must be stored.
start=$(sed -n 's/.* start_date=\([0-9-]*\) start_time=\([0-9:]*\) .*/\1 \2/p' requests.log | head -1)
if [[ -n $start ]]; then
    awk -v start="$start" -v OFS='\t' '
        /^# client=/ { client = substr($0, 10) + 0; next }
        client == 1 && $1 == "FEED_TRADE" {
            date = ""; time = ""; id = ""
            for (i = 3; i <= NF; i++) {
                if ($i ~ /^3=/) date = substr($i, 3)
                else if ($i ~ /^36=/) time = substr($i, 4)
                else if ($i ~ /^14=/) id = substr($i, 4)
            }
            if (date " " time >= start) print $2, id
        }' sent.txt >catchup.tsv
fi
compare_record
cuts=$(grep -a -c "Database connection down for too long" zel.out)
check_eq "the feed was cut once" 1 "$cuts"
feed_connections=$(grep -c '^# client=' sent.txt)
check_eq "feed connections (the first, and one after the database came back)" 2 "$feed_connections"
catchups=$(grep -c 'FEED_REQUEST .*start_time=' requests.log)
check_eq "the second logon asked for a catch-up" 1 "$catchups"
figures "down_s=$DOWN feed_cut_after_s=$CUT_S feed_cuts=$cuts feed_connections=$feed_connections" \
    "catchup_requests=$catchups catchup_trades=$(wc -l <catchup.tsv) reruns=$(grep -a -c 'so will rerun' zel.out) failed_statements=$failed drain_s=$DRAIN_SECONDS"
show_zel_end
finish
