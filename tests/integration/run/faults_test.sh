#!/usr/bin/env bash
# zel under operator faults, from the outside: its console piped into a reader that goes
# away (`zel | tee log`, then Ctrl+C), a feed server that is down, Ctrl+C at the password
# prompt, and a run in a background process group of its terminal.
#
#   faults_test.sh ZEL FEEDSIM DBDRV_NULL TABLEDEF WORK_DIR
set -uo pipefail
ZEL=$1 FEEDSIM=$2 NULLMOD=$3 TABLEDEF=$4 WORK=$5
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/common.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
listener_pid=

stop_listener() { [[ -n $listener_pid ]] && kill "$listener_pid" 2>/dev/null; listener_pid=; }

# A syslog receiver on a free loopback port: every datagram becomes one line of $1.
start_listener() {
    python3 -u - "$1" "$WORK/syslog.port" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
open(sys.argv[2], "w").write(str(s.getsockname()[1]))
with open(sys.argv[1], "a") as out:
    while True:
        out.write(s.recv(65536).decode("utf-8", "replace"))
        out.flush()
PY
    listener_pid=$!
    wait_for 10 test -s "$WORK/syslog.port" || { echo "FAIL no syslog listener"; exit 1; }
}

# --- 1. The console's reader goes away; then Ctrl+C. SIGPIPE must not end zel.
start_feedsim
write_config
start_listener "$WORK/syslog.txt"
cat >>"$WORK/zel.config" <<CONFIG
facility LOG_USER
host 127.0.0.1:$(cat "$WORK/syslog.port")
CONFIG
mkfifo console.fifo
head -n 1 console.fifo >first-line.txt &
reader_pid=$!
"$ZEL" --config "$WORK/zel.config" --map-name "$MAP_NAME" --console </dev/null >console.fifo 2>&1 &
zel_pid=$!
check "zel runs with its console piped" wait_for 20 zel_running
wait "$reader_pid"
# The statistics lines come every five seconds: at least one write meets the closed pipe.
sleep 6
check "zel outlives its console reader" kill -0 "$zel_pid"
kill -INT "$zel_pid"
wait "$zel_pid"; code=$?; zel_pid=
check_code "Ctrl+C after the reader went away" 0 "$code"
check "the shutdown completed" wait_for 5 grep -q "Shutdown complete" "$WORK/syslog.txt"
check "--status: no longer running" test "$(status_value running)" = 0
stop_listener
kill "$feedsim_pid" 2>/dev/null; wait "$feedsim_pid" 2>/dev/null; feedsim_pid=

# --- 2. The feed server is down and reconnectinterval is 0: no spinning, few log lines.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
FEED_PORT=$port
write_config
sed -i 's/^reconnectinterval 1$/reconnectinterval 0/' "$WORK/zel.config"
"$ZEL" --config "$WORK/zel.config" --map-name "$MAP_NAME" --console </dev/null >down.out 2>&1 &
zel_pid=$!
sleep 6
started=$(date +%s%N)
kill -TERM "$zel_pid"
wait "$zel_pid"; code=$?; zel_pid=
stopped_ms=$((($(date +%s%N) - started) / 1000000))
check_code "stopped while the feed is down" 0 "$code"
lines=$(grep -c "Connecting to Corvalinder failed" down.out)
echo "     feed down for 6 s: $lines 'Connecting to Corvalinder failed' lines, stop took $stopped_ms ms"
check "the first failure is logged" test "$lines" -ge 1
check "the failure line is rate-limited (at most 2 in 6 s)" test "$lines" -le 2
check "the backoff does not delay the stop" test "$stopped_ms" -lt 4000

# --- 3. Ctrl+C at the password prompt; a run in the background of its terminal.
check "terminal echo after Ctrl+C at the prompt" python3 "$HERE/terminal_cases.py" echo "$ZEL" "$WORK/zel.config"
check "no key prompt in the background" python3 "$HERE/terminal_cases.py" background "$ZEL"

finish
