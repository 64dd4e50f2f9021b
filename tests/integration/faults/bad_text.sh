#!/usr/bin/env bash
# Fault case: a generated stream in which a share of the free-text fields (names,
# headlines, news bodies, descriptions) is not valid UTF-8 or is far longer than its
# column. No batch may be rerun over and over (statements per message bounded), and every
# other row must land: the keyed kinds and the trades are compared with the simulator's
# record, and every instrument whose basic data came with clean texts has its row.
#
#   bad_text.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [RATE]
set -uo pipefail
ZEL=$(realpath "$1") FEEDSIM=$(realpath "$2") MODULE=$(realpath "$3") SRC=$(realpath "$4")
WORK=$(realpath -m "$5") RATE=${6:-0.1}
CASE=bad_text
HERE=$(cd "$(dirname "$0")" && pwd)
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1
# shellcheck source=common.sh
source "$HERE/common.sh"

shared_server faults_bad_text
start_feedsim --instruments 300 --rate 1500 --seed 15 --duration 30 --bad-text "$RATE" \
    --record sent.txt
write_config "$DB" updateinterval 1
start_zel zel.out
check "zel starts and writes" wait_for 30 writing
wait_stream_end
at "stream ended"
wait_drained 30
failed=$(status_value database-updated-failed)
received=$(status_value received-messages)
stop_zel
check_eq "zel stops with exit code 0" 0 "$ZEL_EXIT"
compare_record

# Spoilt values in the record: bytes that are not ASCII (the clean texts are ASCII), or
# longer than the longest column (255). bad_basic.tsv: instruments whose basic data carried one.
LC_ALL=C awk -v OFS='\t' '
    /^#/ || /^@/ { next }
    { for (i = 3; i <= NF; i++) if ($i ~ /[\200-\377]/ || length($i) > 260) {
          spoilt++; if ($1 == "FEED_BASICDATA") print $2 } }
    END { print spoilt + 0 >"spoilt.count" }' sent.txt | sort -u >bad_basic.tsv
spoilt=$(cat spoilt.count)
check "the stream carried spoilt texts ($spoilt)" test "$spoilt" -gt 10
awk '$1 == "FEED_BASICDATA" { print $2 }' sent.txt | sort -u >sent_basic.tsv
awk '$1 == "FEED_INSTRUMENT_DELETE" { print $2 }' sent.txt | sort -u >removed.tsv
basic=$("${PSQL[@]}" -d "$DB" -At -F '|' \
    -c "CREATE TEMP TABLE bad (insref numeric)" -c "\\copy bad FROM '$WORK/bad_basic.tsv'" \
    -c "CREATE TEMP TABLE sent_basic (insref numeric)" -c "\\copy sent_basic FROM '$WORK/sent_basic.tsv'" \
    -c "CREATE TEMP TABLE removed (insref numeric)" -c "\\copy removed FROM '$WORK/removed.tsv'" \
    -c "SELECT count(*) FILTER (WHERE s.insref NOT IN (SELECT insref FROM bad)),
               count(*) FILTER (WHERE s.insref IN (SELECT insref FROM bad))
          FROM sent_basic s
         WHERE s.insref NOT IN (SELECT insref FROM removed)
           AND NOT EXISTS (SELECT 1 FROM basicdata b WHERE b.insref = s.insref)" 2>&1)
clean_basic_lost=${basic%%|*} spoilt_basic_missing=${basic##*|}
check_eq "basic data rows with clean texts sent and not stored" 0 "$clean_basic_lost"

statements=$(statements_logged)
reruns=$(grep -a -c 'so will rerun' zel.out)
# Quotes and books are written update-first (an INSERT follows a miss), and the batches add
# their BEGIN and COMMIT: the same run without spoilt texts takes 1.4 statements per message.
# Batches rerun over and over show up here as several times that.
per_message=$(awk -v s="$statements" -v m="$received" 'BEGIN { printf "%.2f", m ? s / m : 0 }')
check "statements per message received at most 3 ($per_message: $statements for $received)" \
    awk -v r="$per_message" 'BEGIN { exit !(r <= 3) }'
# The rerun limit: three reruns of a batch, then item by item.
check "batch reruns at most 3 per spoilt value ($reruns for $spoilt)" test "$reruns" -le $((3 * spoilt))
figures "spoilt_values=$spoilt clean_basic_rows_lost=$clean_basic_lost spoilt_basic_rows_missing=$spoilt_basic_missing" \
    "statements=$statements messages=$received statements_per_message=$per_message reruns=$reruns" \
    "failed_statements=$failed drain_s=$DRAIN_SECONDS"
show_zel_end
finish
