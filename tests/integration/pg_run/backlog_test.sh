#!/usr/bin/env bash
# The feed outruns the database, then zel is stopped with a backlog: nothing may be lost
# and memory must stay bounded. PostgreSQL (a server of its own) is slowed down by a
# trigger that sleeps for every trade; the simulator sends quotes and trades faster than
# it can store them. With a small queuememorylimit zel must stop reading the feed (feed-paused in
# --status, a log line) instead of growing; the resident memory is sampled all along. Once
# the stream has ended and zel has read all of it, Ctrl+C: the stop must write the whole
# backlog before zel ends (stopdraintime), and the database is compared with what the
# simulator sent (compare_sent.sql: keyed kinds last value wins, every trade stored).
#
#   backlog_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5
STREAM_SECONDS=8
LIMIT_MIB=2
HERE=$(cd "$(dirname "$0")" && pwd)
PGDIR=$WORK/pg
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"
# shellcheck source=compare_sent.sh
source "$HERE/compare_sent.sh"

"$SRC/scripts/pg-server" start "$PGDIR" >/dev/null || { echo "FAIL no server"; exit 1; }
cleanup_hooks+=("\"$SRC/scripts/pg-server\" stop --clean \"$PGDIR\" >/dev/null 2>&1")
use_pg_env "$PGDIR/env"
DB=$ZEL_PG_DBNAME
"${PSQL[@]}" -d "$DB" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
"${PSQL[@]}" -d "$DB" >/dev/null <<'SQL' || exit 1
CREATE FUNCTION slow_trade() RETURNS trigger LANGUAGE plpgsql AS
  $$ BEGIN PERFORM pg_sleep(0.001); RETURN NEW; END $$;
CREATE TRIGGER slow_trade BEFORE INSERT ON trades FOR EACH ROW EXECUTE FUNCTION slow_trade();
SQL

start_feedsim --instruments 300 --rate 4000 --seed 11 --duration "$STREAM_SECONDS" \
    --mix FEED_QUOTE=50,FEED_TRADE=50 --record sent.txt
write_config "$DB" aggtrades 0 queuememorylimit "$LIMIT_MIB" stopdraintime 120
start_zel zel.out

# Sample the resident memory and the pause flag until the stream has ended and zel has read
# all of it (the end of the connection reaches zel after the last message).
max_rss_kb=0 paused_seen=0
read_to_end() { grep -q "Corvalinder went off-line\|Disconnected from Corvalinder" zel.out; }
deadline=$(($(date +%s) + STREAM_SECONDS + 150))
while (($(date +%s) < deadline)); do
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$zel_pid/status" 2>/dev/null)
    [[ -n $rss ]] && ((rss > max_rss_kb)) && max_rss_kb=$rss
    [[ $(status_value feed-paused) == 1 ]] && paused_seen=1
    ! kill -0 "$feedsim_pid" 2>/dev/null && read_to_end && break
    sleep 0.1
done
wait "$feedsim_pid"
feedsim_pid=
queued_at_stop=$(status_value database-updates-queued)
echo "     stream read; largest resident size $((max_rss_kb / 1024)) MiB; $queued_at_stop items queued at the stop"
check "zel read the whole stream" read_to_end
check "the feed was paused for the queued memory" grep -q "more than queuememorylimit ($LIMIT_MIB MiB)" zel.out
check "--status showed feed-paused: 1" test "$paused_seen" = 1
check "resident memory stayed bounded (under 256 MiB)" test "$max_rss_kb" -lt $((256 * 1024))
check "the stop came with a backlog" test "${queued_at_stop:-0}" -gt 1000

kill -INT "$zel_pid"
if wait_for 150 bash -c "! kill -0 $zel_pid 2>/dev/null"; then
    wait "$zel_pid"
    check_eq "zel stops with exit code 0" 0 "$?"
else
    echo "FAIL zel did not stop"; failures=$((failures + 1)); kill -9 "$zel_pid"
fi
zel_pid=
check "the stop drained every queue" bash -c "! grep -q 'were not written' zel.out"
check "the shutdown completed" grep -q "Shutdown complete" zel.out

compare_with_sent "$DB" sent.txt

if ((failures)); then
    echo "--- zel output (end)"
    tail -30 zel.out
fi
finish
