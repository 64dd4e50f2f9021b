#!/usr/bin/env bash
# import_pg.sh - the import benchmark: a generated dump of one-row INSERTs, executed into a
# PostgreSQL table by zel --import and by psql -f, one after the other, on the same server and
# the same statements. Each statement is its own transaction in both.
#
#   bench/import_pg.sh [--size MB] [--build DIR] [--durable] [--gzip] [--repeat N] [--work DIR]
#
#   --size MB    size of the dump (default 1024); a second dump of a tenth of it is imported
#                by zel too, to show that its memory does not grow with the file
#   --build DIR  where zel and dbdrv_pgsql are built (default build)
#   --durable    the server's default durability settings (default: no fsync, as in tests)
#   --gzip       zel reads the dump gzip-compressed (psql reads it through zcat)
#   --repeat N   runs of each, alternating psql and zel (default 2); the best of each counts,
#                since on a shared machine the slower runs measure the neighbours
#   --work DIR   work directory (default DIR/import-bench under the build directory)
#
# Reported: rows per second of each, their ratio (zel / psql), and zel's peak resident
# memory for both dump sizes.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
SIZE_MB=1024
DURABLE=
GZIP=0
REPEAT=2
WORK=
while (($#)); do
    case $1 in
    --size) SIZE_MB=$2; shift 2 ;;
    --build) BUILD=$(cd "$2" && pwd); shift 2 ;;
    --durable) DURABLE=--durable; shift ;;
    --gzip) GZIP=1; shift ;;
    --repeat) REPEAT=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    *) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
WORK=${WORK:-$BUILD/import-bench}
ZEL=$BUILD/zel/zel
MODULE=$BUILD/modules/pgsql/dbdrv_pgsql.so
[[ -x $ZEL && -f $MODULE ]] || { echo "build zel and dbdrv_pgsql in $BUILD first" >&2; exit 1; }
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)
cd "$WORK"

"$ROOT/scripts/pg-server" start $DURABLE "$WORK/pg" >/dev/null
trap '"$ROOT/scripts/pg-server" stop --clean "$WORK/pg" >/dev/null 2>&1' EXIT
# shellcheck disable=SC1091
source "$WORK/pg/env"
export PGPASSWORD=$ZEL_PG_PASSWORD
PSQL=("$ZEL_PG_BINDIR/psql" -X -q -h "$ZEL_PG_HOST" -p "$ZEL_PG_PORT" -U "$ZEL_PG_USER" -d "$ZEL_PG_DBNAME")

# The dump: rows shaped like trades, about 110 bytes a line.
make_dump() {  # make_dump FILE MB
    local rows=$(($2 * 1024 * 1024 / 110))
    awk -v n="$rows" 'BEGIN {
        for (i = 1; i <= n; i++)
            printf "INSERT INTO bench_rows VALUES (%d, %d, 2026-12-08, %d.%04d, %d, '\''trade %d of the benchmark'\'');\n",
                   i, 1000 + i % 5000, 10 + i % 900, i % 10000, 100 * (1 + i % 97), i
    }' | sed "s/, 2026-12-08,/, '2026-12-08',/" >"$1"
    echo "$rows"
}
ROWS=$(make_dump dump.sql "$SIZE_MB")
SMALL_ROWS=$(make_dump small.sql $(((SIZE_MB + 9) / 10)))
if ((GZIP)); then
    gzip -1 -c dump.sql >dump.sql.gz
    gzip -1 -c small.sql >small.sql.gz
fi
echo "dump: $ROWS rows, $(du -m dump.sql | cut -f1) MB; small dump: $SMALL_ROWS rows"

fresh_table() {
    "${PSQL[@]}" -c "SET client_min_messages = warning" -c "DROP TABLE IF EXISTS bench_rows" \
        -c "CREATE TABLE bench_rows (id bigint PRIMARY KEY, insref bigint, trade_date date,
                                     price numeric(18,4), volume bigint, note varchar(64))" >/dev/null
}
count_rows() { "${PSQL[@]}" -At -c "SELECT count(*) FROM bench_rows"; }

cat >zel.config <<EOF
Corvalinder
server 127.0.0.1:1
Database
instance $MODULE
server $ZEL_PG_HOST
port $ZEL_PG_PORT
dbname $ZEL_PG_DBNAME
username $ZEL_PG_USER
password $ZEL_PG_PASSWORD
checkdatabase 0
Application
tabledefinitions $ROOT/examples/zel.tabledef
Log
EOF

now() { date +%s.%N; }

# run_zel FILE: seconds, then zel's peak resident memory in kB, on one line.
run_zel() {
    fresh_table
    local start end
    start=$(now)
    /usr/bin/time -f '%M' -o zel.rss "$ZEL" --config="$WORK/zel.config" --import="$1" \
        </dev/null >zel.out 2>zel.err || { echo "zel --import failed:" >&2; tail -5 zel.out zel.err >&2; exit 1; }
    end=$(now)
    echo "$(echo "$end - $start" | bc) $(cat zel.rss)"
}

run_psql() {  # run_psql FILE: seconds
    fresh_table
    local start end
    start=$(now)
    if ((GZIP)); then
        zcat "$1" | "${PSQL[@]}" -v ON_ERROR_STOP=1 -f - >/dev/null
    else
        "${PSQL[@]}" -v ON_ERROR_STOP=1 -f "$1" >/dev/null
    fi
    end=$(now)
    echo "$end - $start" | bc
}

suffix=
((GZIP)) && suffix=.gz
read -r small_seconds small_rss < <(run_zel "small.sql$suffix")
[[ $(count_rows) == "$SMALL_ROWS" ]] || { echo "zel imported $(count_rows) of $SMALL_ROWS rows" >&2; exit 1; }
psql_seconds='' zel_seconds='' zel_rss=0
for ((run = 1; run <= REPEAT; run++)); do
    seconds=$(run_psql "dump.sql$suffix")
    [[ $(count_rows) == "$ROWS" ]] || { echo "psql imported $(count_rows) of $ROWS rows" >&2; exit 1; }
    echo "run $run: psql -f $seconds s"
    [[ -z $psql_seconds || $(echo "$seconds < $psql_seconds" | bc) == 1 ]] && psql_seconds=$seconds
    read -r seconds rss < <(run_zel "dump.sql$suffix")
    [[ $(count_rows) == "$ROWS" ]] || { echo "zel imported $(count_rows) of $ROWS rows" >&2; exit 1; }
    echo "run $run: zel --import $seconds s"
    [[ -z $zel_seconds || $(echo "$seconds < $zel_seconds" | bc) == 1 ]] && zel_seconds=$seconds
    ((rss > zel_rss)) && zel_rss=$rss
done

zel_rate=$(echo "$ROWS / $zel_seconds" | bc)
psql_rate=$(echo "$ROWS / $psql_seconds" | bc)
echo "server: ${DURABLE:---fast}; input: dump.sql$suffix; best of $REPEAT runs each"
printf 'psql -f:      %8d rows/s (%s s)\n' "$psql_rate" "$psql_seconds"
printf 'zel --import: %8d rows/s (%s s)\n' "$zel_rate" "$zel_seconds"
echo "ratio zel/psql: $(echo "scale=3; $zel_rate / $psql_rate" | bc)"
echo "zel peak memory: ${zel_rss} kB for $ROWS rows, ${small_rss} kB for $SMALL_ROWS rows"
