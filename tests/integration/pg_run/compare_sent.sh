# compare_sent.sh - compares the rows that zel stored with what the simulator sent
# (feedsim --record): keyed kinds last value wins, every trade stored. Sourced by the
# generated-run tests after common.sh (it uses PSQL, SRC, WORK, HERE and the check helpers).
#
#   compare_with_sent DB RECORD_FILE [TABLEDEF]
# prints how many values it compared and counts a failure for every kind of mismatch.
# TABLEDEF (default: the example definitions) maps the sent fields to tables and columns.
COMPARE_SENT_SQL=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/compare_sent.sql
compare_with_sent() {
    # What was sent, as (seq, type, insref, tag, value) rows; the table definitions as
    # (kind, table, tag, column) rows, without the calculated columns (zel works them out).
    awk -v OFS='\t' '
        /^#/ || /^@/ || NF < 2 { next }
        {
            seq++
            if (NF == 2) print seq, $1, $2, "\\N", "\\N"
            for (i = 3; i <= NF; i++) {
                eq = index($i, "=")
                if (eq == 0) { print seq, $1, $2, $i, "\\N"; continue }
                v = substr($i, eq + 1)
                gsub(/\\/, "\\\\", v)
                print seq, $1, $2, substr($i, 1, eq - 1), v
            }
        }' "$2" >sent.tsv
    awk -v OFS='\t' '
        match($0, /<message mref="[^"]*" table="[^"]*"/) {
            split(substr($0, RSTART, RLENGTH), a, "\"")
            n = split(a[2], kinds, ",")
            table = a[4]
        }
        /<field / && !/ calc="/ && match($0, /<field tag="[^"]*" column="[^"]*"/) {
            split(substr($0, RSTART, RLENGTH), a, "\"")
            for (k = 1; k <= n; k++) print kinds[k], table, a[2], a[4]
        }' "${3:-$SRC/examples/zel.tabledef}" >tabledef.tsv

    "${PSQL[@]}" -d "$1" -At -F '|' \
        -c "CREATE TEMP TABLE sent (seq bigint, type text, insref numeric, tag text, value text)" \
        -c "\\copy sent FROM '$WORK/sent.tsv'" \
        -c "CREATE TEMP TABLE tabledef (kind int, tbl text, tag text, col text)" \
        -c "\\copy tabledef FROM '$WORK/tabledef.tsv'" \
        -f "$COMPARE_SENT_SQL" >compare.txt 2>&1
    while IFS='|' read -r what count detail; do
        case $what in
        compared) echo "     $count values compared ($detail)"; [[ $count -gt 1000 ]] || check_eq "values compared" "more than 1000" "$count" ;;
        mismatch) check_eq "$detail" 0 "$count" ;;
        sample) echo "     $count $detail" ;;
        *) echo "FAIL unexpected output: $what|$count|$detail"; failures=$((failures + 1)) ;;
        esac
    done <compare.txt
}
