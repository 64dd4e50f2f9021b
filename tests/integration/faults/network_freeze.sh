#!/usr/bin/env bash
# Fault case: the network between zel and its database frozen (no byte moves, nothing is
# closed) for longer than the connection's keepalive and timeout settings, then healed.
# zel must notice the outage while it lasts (the supervisor logs "Disconnected from
# database"), come back after it, lose nothing (compared with the simulator's record), and
# a stop request must end zel even while a statement hangs on the frozen link.
#
#   network_freeze.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR PROXY [FREEZE_SECONDS]
set -uo pipefail
ZEL=$(realpath "$1") FEEDSIM=$(realpath "$2") MODULE=$(realpath "$3") SRC=$(realpath "$4")
WORK=$(realpath -m "$5")
PROXY=$(realpath "$6") FREEZE=${7:-40}
CASE=network_freeze
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"

shared_server faults_freeze
"$PROXY" "$WORK/proxy.port" "$ZEL_PG_HOST" "$ZEL_PG_PORT" "$WORK/proxy.control" 2>proxy.log &
proxy_pid=$!
cleanup_hooks+=("kill $proxy_pid 2>/dev/null")
wait_for 10 test -s proxy.port || { echo "FAIL the proxy did not start"; cat proxy.log; exit 1; }

start_feedsim --instruments 300 --rate 1000 --seed 12 --duration $((FREEZE + 35)) --record sent.txt
# zel reaches the server through the proxy; psql goes straight to it.
# The module gives up on an answer after answertimeout seconds: the outage must be noticed
# well inside the freeze.
ZEL_PG_PORT=$(cat proxy.port) write_config "$DB" updateinterval 1 answertimeout 15
start_zel zel.out
check "zel starts and writes" wait_for 30 writing

sleep 5
echo freeze >proxy.control
frozen_at=$SECONDS
at "network frozen for $FREEZE s"
noticed() { grep -a -q "Disconnected from database" zel.out; }
NOTICED_S=$(until_or_after "$frozen_at" "$FREEZE" noticed)
sleep $((FREEZE - (SECONDS - frozen_at) > 0 ? FREEZE - (SECONDS - frozen_at) : 0))
echo run >proxy.control
at "network healed"
check "outage noticed while the network was frozen (after $NOTICED_S s of $FREEZE)" \
    test "$NOTICED_S" != never
reconnected() { grep -a -q "Reconnected to database" zel.out; }
if [[ $NOTICED_S != never ]]; then
    check "zel says it reconnected after the network healed" wait_for 60 reconnected
fi

wait_stream_end
at "stream ended"
wait_drained 90
failed=$(status_value database-updated-failed)
compare_record

# A stop while a statement hangs on a frozen link: the status item is written every five
# seconds, so after six one of zel's connections is waiting for an answer.
echo freeze >proxy.control
sleep 6
stop_began=$SECONDS
stop_zel
STOP_S=$((SECONDS - stop_began))
echo run >proxy.control
check_eq "zel stops with exit code 0 while the network is frozen" 0 "$ZEL_EXIT"
figures "freeze_s=$FREEZE noticed_after_s=$NOTICED_S stop_during_freeze_s=$STOP_S" \
    "stop_exit=$ZEL_EXIT reruns=$(grep -a -c 'so will rerun' zel.out) failed_statements=$failed drain_s=$DRAIN_SECONDS"
show_zel_end
finish
