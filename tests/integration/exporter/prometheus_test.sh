#!/usr/bin/env bash
# A real Prometheus server scrapes the exporter every second while zel runs (the null
# module against the feed simulator). The values Prometheus stores must be those that
# zel --status prints at the same moment: zel is frozen with SIGSTOP (its block and its
# liveness lock stay as they are, its counters stand still), Prometheus is given a scrape
# that began after the freeze, and every --status line is compared with the matching query.
# After thawing, the stored counters must move on.
#
# Last, every query of the example Grafana dashboard must run on this Prometheus and find
# data.
#
#   prometheus_test.sh EXPORTER ZEL FEEDSIM DBDRV_NULL TABLEDEF DASHBOARD WORK_DIR
set -uo pipefail
EXPORTER=$1 ZEL=$2 FEEDSIM=$3 NULLMOD=$4 TABLEDEF=$5 DASHBOARD=$6 WORK=$7
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
command -v prometheus >/dev/null || { echo "FAIL prometheus is missing (Debian package prometheus)"; exit 1; }

start_feedsim
write_config
start_zel
start_exporter

# Prometheus takes no port 0: try a few random high ports until one is free.
cat >prometheus.yml <<YAML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: zel
    static_configs:
      - targets: ['127.0.0.1:$EXPORTER_PORT']
YAML
prom_pid=
for _ in 1 2 3 4 5; do
    PROM_PORT=$((20000 + RANDOM % 30000))
    prometheus --config.file=prometheus.yml --storage.tsdb.path="$WORK/tsdb" \
        --web.listen-address="127.0.0.1:$PROM_PORT" --log.level=warn >prometheus.out 2>&1 &
    prom_pid=$!
    ready() { curl -sf "http://127.0.0.1:$PROM_PORT/-/ready" >/dev/null || ! kill -0 "$prom_pid" 2>/dev/null; }
    wait_for 30 ready
    if kill -0 "$prom_pid" 2>/dev/null; then break; fi
    wait "$prom_pid" 2>/dev/null; prom_pid=
done
[[ -n $prom_pid ]] || { echo "FAIL Prometheus did not start"; cat prometheus.out; exit 1; }
extra_pids+=("$prom_pid")
PROM=http://127.0.0.1:$PROM_PORT

# query EXPR: the value of a one-element instant vector, empty when there is none.
query() {
    curl -sS -G --max-time 10 "$PROM/api/v1/query" --data-urlencode "query=$1" |
        jq -r 'if .status == "success" and (.data.result | length) == 1
               then .data.result[0].value[1] else "" end'
}
scraping() { [[ $(query 'zel_up') == 1 && $(query 'zel_received_messages_total') -gt 0 ]]; }
check "Prometheus scrapes a running zel" wait_for 30 scraping
check_eq "the scrape target is healthy" 1 "$(query 'up{job="zel"}')"

# The moment: zel frozen, then a scrape that started after the freeze.
freeze_zel
frozen_at=$(date +%s.%N)
scraped_after() { [[ $(query 'timestamp(zel_up)' | awk -v t="$frozen_at" '{print ($1 > t)}') == 1 ]]; }
check "Prometheus scraped the frozen zel" wait_for 10 scraped_after
status_snapshot status.txt

# Each --status line, and the query that must give the same value.
expression_of() {
    case $1 in
        received-messages) echo 'zel_received_messages_total' ;;
        connected-to-feed) echo 'zel_feed_connected' ;;
        deduplicated-messages) echo 'sum(zel_updates_deduplicated_total)' ;;
        database-updates-ok) echo 'sum(zel_statements_executed_total)' ;;
        database-updated-failed) echo 'sum(zel_statements_failed_total)' ;;
        database-updates-queued) echo 'sum(zel_queue_items)' ;;
        q[1-4]-queue) echo "zel_queue_items{queue=\"${1:1:1}\"}" ;;
        q[1-4]-empty-items) echo "zel_queue_empty_items{queue=\"${1:1:1}\"}" ;;
        q[1-4]-updated) echo "zel_statements_executed_total{queue=\"${1:1:1}\"}" ;;
        q[1-4]-deduplicated) echo "zel_updates_deduplicated_total{queue=\"${1:1:1}\"}" ;;
        q[1-4]-failed) echo "zel_statements_failed_total{queue=\"${1:1:1}\"}" ;;
        running) echo 'zel_up' ;;
        feed-paused) echo 'zel_feed_paused' ;;
        queued-memory-bytes) echo 'zel_queued_memory_bytes' ;;
    esac
}
compared=0
while IFS=': ' read -r name value; do
    case $name in
        instrument-hash-size)
            check_eq "$name" "$value" "$(query zel_instruments)/$(query zel_instrument_table_slots)" ;;
        templates-version)
            check_eq "$name" "$value" "$(query zel_templates_version_loaded)/$(query zel_templates_version_feed)" ;;
        version)
            check_eq "$name" "$value" "$(curl -sS -G "$PROM/api/v1/query" --data-urlencode 'query=zel_build_info' |
                jq -r '.data.result[0].metric.version')" ;;
        *)
            expression=$(expression_of "$name")
            if [[ -z $expression ]]; then check_eq "a query for --status line $name" x ""; continue; fi
            check_eq "$name = $expression" "$value" "$(query "$expression")" ;;
    esac
    compared=$((compared + 1))
done <status.txt
check_eq "every --status line compared" 32 "$compared"
check "the compared values are not all zero" test "$(sed -n 's/^database-updates-ok: //p' status.txt)" -gt 0

# Thawed, the counters move on in Prometheus too.
before=$(query 'zel_received_messages_total')
thaw_zel
moved() { [[ $(query 'zel_received_messages_total') -gt $before && $(query 'sum(zel_statements_executed_total)') -gt $(sed -n 's/^database-updates-ok: //p' status.txt) ]]; }
check "the stored counters move on after the thaw" wait_for 15 moved
# The dashboard's queries, with its instance variable matching every instance.
dashboard_queries=0
while IFS= read -r expression; do
    expression=${expression//\$instance/.*}
    answer=$(curl -sS -G --max-time 10 "$PROM/api/v1/query" --data-urlencode "query=$expression" |
        jq -r 'if .status == "success" and (.data.result | length) > 0 then "data" else (.error // "no data") end')
    check_eq "dashboard query finds data: $expression" data "$answer"
    dashboard_queries=$((dashboard_queries + 1))
done < <(jq -r '.panels[].targets[].expr' "$DASHBOARD")
check "the dashboard has queries" test "$dashboard_queries" -ge 10
check "Prometheus logged no scrape errors" bash -c "! grep -qi 'scrape' prometheus.out"

kill -TERM "$zel_pid"; wait "$zel_pid"; zel_pid=
down() { [[ $(query 'zel_up') == 0 ]]; }
check "zel_up 0 once zel has stopped" wait_for 10 down
finish
