#!/usr/bin/env bash
# Two zel instances side by side: disjoint `insrefs` lists, a statistics block and a status
# table of their own (a table-definition file each), one simulator, one database. Instance B
# starts first and writes its instruments' basic data; then A starts, so that A's start-up
# finds B's instruments in the database. Afterwards every row sent is stored once (the
# same comparison as the restart test, over both clients' streams), neither instance failed
# a statement, A deleted none of B's instruments as stale, and each instance's --status and
# status rows are its own.
#
#   two_instances_test.sh ZEL FEEDSIM MODULE SOURCE_DIR WORK_DIR [SECONDS]
set -uo pipefail

ZEL=$1 FEEDSIM=$2 MODULE=$3 SRC=$4 WORK=$5 SECONDS_TOTAL=${6:-30}
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

# References 1001-1200: A asks for the first hundred, B for the rest.
INSTRUMENTS=200
list() { seq -s ' ' "$1" "$2"; }
start_feedsim --instruments $INSTRUMENTS --rate 1500 --seed 11 --duration "$SECONDS_TOTAL" --record sent.txt
write_config "$DB" updateinterval 1
pids=()
for name in a b; do
    # Each instance's own status table, made like the example's.
    sed "s/table=\"zel_status\"/table=\"zel_status_$name\"/" "$SRC/examples/zel.tabledef" >"zel-$name.tabledef"
    sql "$DB" "CREATE TABLE zel_status_$name (LIKE zel_status INCLUDING ALL)" >/dev/null
    if [[ $name == a ]]; then refs=$(list 1001 1100); else refs=$(list 1101 1200); fi
    mkdir -p "sql-$name"
    sed -e "s/^insrefs .*/insrefs $refs/" -e "s|^tabledefinitions .*|tabledefinitions $WORK/zel-$name.tabledef|" \
        -e "s|^logsqlpath .*|logsqlpath $WORK/sql-$name/|" zel.config >"zel-$name.config"
    # News is not an instrument's: one instance (A) takes it, or both would write each item.
    [[ $name == b ]] && sed -i 's/^Corvalinder$/Corvalinder\nrequestnews 0/' "zel-$name.config"
done
map() { echo "Global\\zel two instances $1 $$"; }
status_of() { "$ZEL" --status "--map-name=$(map "$1")" | sed -n "s/^$2: //p"; }
start_instance() {
    "$ZEL" --config="$WORK/zel-$1.config" --map-name="$(map "$1")" >"zel-$1.out" 2>&1 </dev/null &
    pids+=($!)
}
stop_instances() {
    local pid code
    for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do
        if wait_for 30 bash -c "! kill -0 $pid 2>/dev/null"; then
            wait "$pid"; code=$?
        else
            code=hung; kill -9 "$pid"
        fi
        check_eq "instance (pid $pid) stops with exit code 0" 0 "$code"
    done
    pids=()
}
cleanup_hooks+=('for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null; done')

start_instance b
basic_of_b() { [[ $(sql "$DB" "SELECT count(*) FROM basicdata WHERE insref > 1100") -ge 100 ]]; }
check "instance B writes its instruments' basic data" wait_for 30 basic_of_b
start_instance a
writing_a() { [[ $(status_of a database-updates-ok) -gt 1000 ]]; }
check "instance A starts and writes" wait_for 30 writing_a

wait "$feedsim_pid"
feedsim_pid=
drained() {
    local n name
    for n in 1 2 3; do
        for name in a b; do [[ $(status_of $name database-updates-queued) == 0 ]] || return 1; done
        sleep 0.5
    done
}
check "both instances drained after the stream ended" wait_for 60 drained
received=()
for name in a b; do
    received+=("$(status_of $name received-messages)")
    check_eq "instance ${name^^}: failed database updates" 0 "$(status_of $name database-updated-failed)"
done
stop_instances

check_eq "two feed connections, one per instance" 2 "$(grep '^# client=' sent.txt | sort -u | wc -l)"
echo "     received: A ${received[0]}, B ${received[1]} messages"
check "each instance has counters of its own" test "${received[0]}" -gt 0 -a "${received[1]}" -gt 0 -a "${received[0]}" != "${received[1]}"
check "A deleted none of B's instruments as stale" bash -c "! grep -q 'stale instruments' zel-a.out"
# The stream itself deletes a few instruments (and replaces each by a new reference).
feed_deleted=$(awk '$1 == "FEED_INSTRUMENT_DELETE" { printf "%s,", $2 }' sent.txt)
b_deleted=$(sql "$DB" "SELECT count(*) FROM basicdata WHERE insref BETWEEN 1101 AND 1200 AND status = 9
                        AND insref NOT IN (${feed_deleted}0)")
check_eq "B's instruments are not marked deleted" 0 "$b_deleted"
for name in a b; do
    check "status table of ${name^^} has its rows" test "$(sql "$DB" "SELECT count(*) FROM zel_status_$name")" -gt 0
    check_eq "${name^^}'s status table says it is not running" 0 \
        "$(sql "$DB" "SELECT value FROM zel_status_$name WHERE name = 'Running'")"
done
check_eq "the example's status table is untouched" 0 "$(sql "$DB" "SELECT count(*) FROM zel_status")"
# Neither instance wrote the other's instruments (its SQL log names none of them).
refs_between() {  # refs_between NAME LOW HIGH: statements of NAME naming insref=N in LOW..HIGH
    # The instrument column only: linked, mapped and underlying references may name any
    # instrument.
    grep -ohE "(^|[^_[:alnum:]])insref=[0-9]+" "sql-$1"/*.log | sed 's/.*=//' |
        awk -v lo="$2" -v hi="$3" '$1 >= lo && $1 <= hi' | grep -c .
}
check "A's statements name A's instruments" test "$(refs_between a 1001 1100)" -gt 0
check_eq "A's statements name none of B's instruments" 0 "$(refs_between a 1101 1200)"
check_eq "B's statements name none of A's instruments" 0 "$(refs_between b 1001 1100)"
compare_with_sent "$DB" sent.txt

if ((failures)); then
    for name in a b; do echo "--- zel $name output (end)"; tail -20 "zel-$name.out"; done
fi
finish
