#!/usr/bin/env bash
# The exporter against a block with known counters (a stand-in writer gives counter i the
# value 1000 + i): /metrics byte for byte and accepted by promtool, the same values in
# /metrics.json; a missing block and a block of a killed writer; methods and paths it must
# refuse; many scrapers at once and idle connections that must not starve them; and that
# it never creates or keeps a block.
#
#   format_test.sh EXPORTER STATS_WRITER ZEL GOLDEN_DIR WORK_DIR
set -uo pipefail
EXPORTER=$1 WRITER=$2 ZEL=$3 GOLDEN=$4 WORK=$5
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
SHM_FILE="/dev/shm/${MAP_NAME#Global\\}"
command -v promtool >/dev/null || { echo "FAIL promtool is missing (Debian package prometheus)"; exit 1; }

writer_pid=
start_writer() {
    touch "$WORK/stop"
    "$WRITER" "$MAP_NAME" "$WORK/stop" >writer.out 2>&1 &
    writer_pid=$!
    extra_pids+=("$writer_pid")
    wait_for 5 grep -q shared writer.out || { echo "FAIL the writer did not start"; exit 1; }
}
get() { curl -sS --max-time 10 "$EXPORTER_URL$1"; }
same() { diff -u "$1" "$2"; }

start_exporter

# No block: zel_up 0 and the version, no counters, and still no block afterwards.
get /metrics >missing.txt
check "missing block: zel_up 0 and no counters" same "$GOLDEN/metrics-missing.txt" missing.txt
check "missing block: the exporter did not create it" test ! -e "$SHM_FILE"
check "missing block: JSON says up 0, not present" \
    test "$(get /metrics.json | jq -c '[.up, .present]')" = '[0,false]'

# A running writer: every counter under its name.
start_writer
get /metrics >running.txt
check "running writer: /metrics as expected" same "$GOLDEN/metrics-running.txt" running.txt
check "running writer: promtool check metrics" promtool check metrics <running.txt
curl -sS -D headers.txt -o /dev/null "$EXPORTER_URL/metrics"
check "content type of the text format" grep -qi '^Content-Type: text/plain; version=0.0.4; charset=utf-8' headers.txt
# /metrics.json carries the values that --status prints.
status_snapshot status.txt
get /metrics.json >running.json
json_as_status() {
    jq -r '"received-messages: \(.received_messages)",
        "connected-to-feed: \(.connected_to_feed)",
        (.queues | to_entries[] | .key as $i | .value |
            "q\($i + 1)-queue: \(.queued)", "q\($i + 1)-empty-items: \(.empty_items)",
            "q\($i + 1)-updated: \(.updated)", "q\($i + 1)-deduplicated: \(.deduplicated)",
            "q\($i + 1)-failed: \(.failed)"),
        "instrument-hash-size: \(.instrument_hash_count)/\(.instrument_hash_tablesize)",
        "templates-version: \(.templates_version_loaded)/\(.templates_version_feed)",
        "running: \(.up)", "version: \(.version)",
        "feed-paused: \(.feed_paused)", "queued-memory-bytes: \(.queued_memory_bytes)"' "$1"
}
check "running writer: /metrics.json holds what --status prints" \
    same <(grep -vE '^(deduplicated-messages|database-)' status.txt) <(json_as_status running.json)

# The writer is killed: its block stays with the old counters, zel is down and the feed
# flag no longer counts, exactly as --status shows it.
kill -9 "$writer_pid"; wait "$writer_pid" 2>/dev/null
get /metrics >ended.txt
check "killed writer: zel_up 0, feed 0, the last counters" same "$GOLDEN/metrics-ended.txt" ended.txt
check "killed writer: promtool check metrics" promtool check metrics <ended.txt
rm -f "$SHM_FILE"

# A block the exporter may not read (another account's, without read rights): zel_up 0, no
# counters, and the reason logged once, not once per scrape. Needs root to switch users.
if [[ $(id -u) == 0 ]] && command -v runuser >/dev/null && id nobody >/dev/null 2>&1 &&
    runuser -u nobody -- test -x "$EXPORTER"; then
    head -c 208 /dev/zero >"$SHM_FILE" && chmod 600 "$SHM_FILE"
    mkdir -p nobody && chmod 777 nobody
    runuser -u nobody -- "$EXPORTER" --map-name "$MAP_NAME" --listen 127.0.0.1:0 \
        --port-file "$WORK/nobody/port" >nobody/out 2>&1 &
    nobody_pid=$!
    extra_pids+=("$nobody_pid")
    if wait_for 10 test -s nobody/port; then
        for _ in 1 2 3; do curl -sS "http://127.0.0.1:$(cat nobody/port)/metrics" >unreadable.txt; done
        check "unreadable block: zel_up 0 and no counters" same "$GOLDEN/metrics-missing.txt" unreadable.txt
        check_eq "unreadable block: the reason logged once" 1 "$(grep -c 'cannot read the statistics block' nobody/out)"
    else
        check "the exporter runs as another account" false
    fi
    kill "$nobody_pid"; wait "$nobody_pid" 2>/dev/null
    rm -f "$SHM_FILE"
else
    echo "skip unreadable block: needs root, runuser and the user nobody"
fi

# Methods and paths.
code() { curl -s -o /dev/null -w '%{http_code}' --max-time 10 "$@"; }
check_eq "POST /metrics is refused" 405 "$(code -X POST --data 'x=1' "$EXPORTER_URL/metrics")"
check_eq "PUT / is refused" 405 "$(code -X PUT --data-binary @running.txt "$EXPORTER_URL/")"
check_eq "HEAD /metrics.json is refused" 405 "$(code -I "$EXPORTER_URL/metrics.json")"
check_eq "DELETE of an unknown path is 404" 404 "$(code -X DELETE "$EXPORTER_URL/admin")"
check_eq "GET of an unknown path is 404" 404 "$(code "$EXPORTER_URL/metrics/extra")"
check_eq "a query string does not change the path" 200 "$(code "$EXPORTER_URL/metrics?x=1")"
curl -s -D allow.txt -o /dev/null -X POST "$EXPORTER_URL/metrics"
check "405 names the allowed method" grep -qi '^Allow: GET' allow.txt
garbage=$(printf 'NONSENSE\r\n\r\n' | timeout 5 bash -c "exec 3<>/dev/tcp/127.0.0.1/$EXPORTER_PORT; cat >&3; cat <&3" | head -1)
check_eq "a request line that is not one gets 400" "HTTP/1.1 400 Bad Request" "${garbage%$'\r'}"

# Six idle connections take more workers than there are (--threads 4 below): a scraper must
# still be answered once the first four have used up their request deadline (3 s), not
# wait for ever.
kill "$exporter_pid"; wait "$exporter_pid" 2>/dev/null
start_exporter --threads 4
start_writer
idle_pids=()
for _ in $(seq 1 6); do
    timeout 20 bash -c "exec 3<>/dev/tcp/127.0.0.1/$EXPORTER_PORT; sleep 15" &
    idle_pids+=($!)
done
sleep 0.5
started=$(date +%s%N)
check "a scrape is answered beside idle connections" bash -c "curl -sS --max-time 12 '$EXPORTER_URL/metrics' | grep -qx 'zel_up 1'"
waited=$((($(date +%s%N) - started) / 1000000))
check "... within one request deadline and a bit (${waited} ms)" test "$waited" -lt 5000
kill "${idle_pids[@]}" 2>/dev/null; wait "${idle_pids[@]}" 2>/dev/null

# Fifty scrapers at once all get the whole answer.
for i in $(seq 1 50); do
    curl -sS --max-time 20 "$EXPORTER_URL/metrics" >"many.$i" 2>&1 &
done
wait_all() { local pid; for pid in $(jobs -p); do [[ $pid == "$exporter_pid" || $pid == "$writer_pid" ]] || wait "$pid"; done; }
wait_all
complete=0
for i in $(seq 1 50); do same "$GOLDEN/metrics-running.txt" "many.$i" >/dev/null && complete=$((complete + 1)); done
check_eq "fifty scrapers at once get the whole answer" 50 "$complete"

# The exporter keeps nothing open: when the writer ends, the block goes with it.
rm -f "$WORK/stop"; wait "$writer_pid"
check "the block is gone when its writer ends" test ! -e "$SHM_FILE"
check "... and the exporter says zel_up 0" bash -c "curl -sS '$EXPORTER_URL/metrics' | grep -qx 'zel_up 0'"

# A second exporter on the same address says why it cannot start.
"$EXPORTER" --map-name "$MAP_NAME" --listen "127.0.0.1:$EXPORTER_PORT" >taken.out 2>&1; code=$?
check_code "an address in use ends the start" 1 "$code"
check "... and says so" grep -q "cannot listen on 127.0.0.1:$EXPORTER_PORT: address in use" taken.out

# A stop signal ends the exporter cleanly.
kill -TERM "$exporter_pid"; wait "$exporter_pid"; code=$?; exporter_pid=
check_code "SIGTERM ends the exporter" 0 "$code"

# Command-line errors.
"$EXPORTER" --listen 127.0.0.1:99999 >args.out 2>&1; code=$?
check_code "a port out of range" 2 "$code"
"$EXPORTER" --frobnicate >args.out 2>&1; code=$?
check_code "an unknown option" 2 "$code"
check "... is named" grep -q -- "--frobnicate" args.out
finish
