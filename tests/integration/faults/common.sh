# common.sh - what the fault-injection cases share, on top of the PostgreSQL run tests'
# helpers (../pg_run/common.sh: checks, psql, the simulator, zel.config, starting and
# stopping zel): a server of the case's own or a database on the shared one, waiting for
# zel to write and to drain, the comparison of the database with the simulator's record,
# and the one FIGURES line every case prints.
#
# Sourced after ZEL, FEEDSIM, MODULE, SRC, WORK and CASE are set.

FAULTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../pg_run/common.sh
source "$FAULTS_DIR/../pg_run/common.sh"

# own_server: a cluster in WORK/pg that the case may stop and restart; DB is its database.
own_server() {
    PGDIR=$WORK/pg
    "$SRC/scripts/pg-server" start "$PGDIR" >/dev/null || { echo "FAIL no server"; exit 1; }
    cleanup_hooks+=("\"$SRC/scripts/pg-server\" stop --clean \"$PGDIR\" >/dev/null 2>&1")
    use_pg_env "$PGDIR/env"
    DB=$ZEL_PG_DBNAME
    "${PSQL[@]}" -d "$DB" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1
}

# shared_server NAME: a fresh database NAME on the server of the pg_server fixture.
shared_server() {
    [[ -n ${ZEL_PG_ENV:-} ]] || { echo "FAIL ZEL_PG_ENV is not set (run through ctest)"; exit 1; }
    use_pg_env "$ZEL_PG_ENV"
    DB=$1
    fresh_database "$DB"
}

# Elapsed seconds since the case began, for the time line the cases print.
CASE_START=$SECONDS
at() { echo "     [t+$((SECONDS - CASE_START))s] $*"; }

# until_or_after SINCE LIMIT COMMAND...: polls COMMAND until it succeeds (prints the seconds
# since SINCE, a $SECONDS value) or LIMIT seconds have passed since SINCE (prints "never").
# Unlike wait_for it keeps to the deadline however long each poll takes.
until_or_after() {
    local since=$1 limit=$2
    shift 2
    while ((SECONDS - since < limit)); do
        if "$@"; then
            echo $((SECONDS - since))
            return 0
        fi
        sleep 0.2
    done
    echo never
    return 1
}

writing() { [[ $(status_value database-updates-ok) -gt 1000 ]]; }

# drained: nothing queued, three times in a row half a second apart.
drained() {
    for _ in 1 2 3; do
        [[ $(status_value database-updates-queued) == 0 ]] || return 1
        sleep 0.5
    done
}

# wait_stream_end: the simulator's --duration has run out (it logs zel off with 503).
wait_stream_end() {
    wait "$feedsim_pid"
    feedsim_pid=
}

# wait_drained SECONDS: records DRAIN_SECONDS, or the queued count left when it gave up.
wait_drained() {
    local began=$SECONDS
    if wait_for "$1" drained; then
        DRAIN_SECONDS=$((SECONDS - began))
        check "queues drained after the stream ended (${DRAIN_SECONDS} s)" true
    else
        DRAIN_SECONDS=never
        check_eq "queued items after waiting $1 s for the queues to drain" 0 \
            "$(status_value database-updates-queued)"
    fi
}

# statements_logged: lines of the SQL log (one per statement run, failed ones included).
statements_logged() { cat "$WORK"/sql/*.log 2>/dev/null | grep -c '' || true; }

# compare_record: the database against the simulator's record sent.txt (keyed kinds: the
# last value sent wins; trades: every row sent). Sets COMPARED_VALUES, COMPARED_ROWS,
# LOST_ROWS (rows sent and not stored), STALE_VALUES (stored values older than the last
# sent), DELETED_STORED (orders the feed deleted and still stored), GHOST_ROWS (trades or
# orders stored that were never sent) and LOST (LOST_ROWS + STALE_VALUES + DELETED_STORED).
compare_record() {
    [[ -f $WORK/catchup.tsv ]] || : >"$WORK/catchup.tsv"
    # Non-ASCII bytes become '?': spoilt texts must not stop the load, and no compared
    # column holds text of that kind. The snapshot after a reconnect clears each book
    # before it sends the orders that exist now: those clears are left out (the comparison
    # would otherwise set every instrument aside), and so are the order messages before
    # such a clear, which the snapshot supersedes.
    LC_ALL=C awk -v OFS='\t' '
        FNR == 1 { snap = 0; conn = 0; seq = 0 }
        /^# client=/ { snap = 1; conn++; next }
        /^#/ || /^@/ || NF < 2 { next }
        $1 == "FEED_REQUEST_FINISHED" { snap = 0 }
        { seq++ }
        NR == FNR { if (snap && conn > 1 && $1 == "FEED_BOOK_CLEAR") clear[$2] = seq; next }
        snap && conn > 1 && $1 == "FEED_BOOK_CLEAR" { next }
        $1 ~ /^FEED_MBO_/ && seq < clear[$2] { next }
        # Only what the comparison looks at: it loads in a fraction of the time.
        $1 !~ /^FEED_(QUOTE|QUOTE_43|QUOTEEX|TRADE|MBO_ADD|MBO_CHANGE|MBO_DELETE|KEYRATIOS|GREEKS|INSTRUMENT_RESET|INSTRUMENT_DELETE|BOOK_CLEAR|REQUEST_FINISHED)$/ { next }
        {
            if (NF == 2) print seq, $1, $2, "\\N", "\\N"
            for (i = 3; i <= NF; i++) {
                eq = index($i, "=")
                if (eq == 0) { print seq, $1, $2, $i, "\\N"; continue }
                v = substr($i, eq + 1)
                gsub(/[\200-\377]/, "?", v)
                gsub(/\\/, "\\\\", v)
                print seq, $1, $2, substr($i, 1, eq - 1), v
            }
        }' "$WORK/sent.txt" "$WORK/sent.txt" >"$WORK/sent.tsv"
    awk -v OFS='\t' '
        match($0, /<message mref="[^"]*" table="[^"]*"/) {
            split(substr($0, RSTART, RLENGTH), a, "\"")
            n = split(a[2], kinds, ",")
            table = a[4]
        }
        /<field / && !/ calc="/ && match($0, /<field tag="[^"]*" column="[^"]*"/) {
            split(substr($0, RSTART, RLENGTH), a, "\"")
            for (k = 1; k <= n; k++) print kinds[k], table, a[2], a[4]
        }' "$SRC/examples/zel.tabledef" >"$WORK/tabledef.tsv"
    "${PSQL[@]}" -d "$DB" -At -F '|' \
        -c "CREATE TEMP TABLE sent (seq bigint, type text, insref numeric, tag text, value text)" \
        -c "\\copy sent FROM '$WORK/sent.tsv'" \
        -c "CREATE TEMP TABLE catchup (insref numeric, key text)" \
        -c "\\copy catchup FROM '$WORK/catchup.tsv'" \
        -c "CREATE TEMP TABLE tabledef (kind int, tbl text, tag text, col text)" \
        -c "\\copy tabledef FROM '$WORK/tabledef.tsv'" \
        -f "$SRC/tests/integration/pg_run/compare_sent.sql" \
        -f "$FAULTS_DIR/figures.sql" >"$WORK/compare.txt" 2>&1
    COMPARED_VALUES=0 COMPARED_ROWS=0 LOST_ROWS=unknown STALE_VALUES=unknown DELETED_STORED=unknown GHOST_ROWS=unknown
    local what count detail
    while IFS='|' read -r what count detail; do
        case $what in
        compared) COMPARED_VALUES=$count ;;
        rows) COMPARED_ROWS=$count ;;
        mismatch)
            case $detail in
            "rows sent and not stored") LOST_ROWS=$count ;;
            "orders deleted by the feed and still stored") DELETED_STORED=$count ;;
            "trades and orders stored that were never sent") GHOST_ROWS=$count ;;
            "stored values that differ from the last value sent") STALE_VALUES=$count ;;
            esac ;;
        catchup) echo "     $count $detail" ;;
        sample) echo "     $detail" ;;
        lostrow) echo "     lost: $detail" ;;
        *) echo "     unexpected comparison output: $what|$count|$detail" ;;
        esac
    done <"$WORK/compare.txt"
    if [[ $LOST_ROWS$STALE_VALUES$DELETED_STORED =~ ^[0-9]+$ ]]; then
        LOST=$((LOST_ROWS + STALE_VALUES + DELETED_STORED))
    else
        LOST=unknown
    fi
    check "the comparison covers more than 1000 values ($COMPARED_VALUES)" \
        test "$COMPARED_VALUES" -gt 1000
    check_eq "rows sent and not stored" 0 "$LOST_ROWS"
    check_eq "stored values older than the last value sent" 0 "$STALE_VALUES"
    check_eq "orders deleted by the feed and still stored" 0 "$DELETED_STORED"
    check_eq "trades and orders stored that were never sent" 0 "$GHOST_ROWS"
}

# figures KEY=VALUE...: the case's one line of figures, also kept in WORK/figures.txt.
figures() {
    local line="FIGURES case=$CASE sent_rows=$COMPARED_ROWS sent_values=$COMPARED_VALUES lost=$LOST lost_rows=$LOST_ROWS stale_values=$STALE_VALUES ghost_rows=$GHOST_ROWS $*"
    echo "$line"
    echo "$line" >"$WORK/figures.txt"
}

# show_zel_end: what zel said last, when something failed.
show_zel_end() {
    if ((failures)); then
        echo "--- zel output (end)"
        tail -25 "$WORK/zel.out" | cut -c1-300
        echo "--- SQL errors (first 10)"
        grep -a -h 'SQL Error' "$WORK/zel.out" | head -10 | cut -c1-300
    fi
}
