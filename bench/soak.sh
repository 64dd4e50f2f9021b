#!/usr/bin/env bash
# soak.sh - a long run at a rate the database keeps up with, to show that zel's memory stays
# flat: the generated market (default mix, 1,000 instruments) into zel into a PostgreSQL
# server of its own, with zel's resident memory and counters sampled every few seconds to
# a CSV file. Not run by CI; docs/reliability.md shows its curve.
#
#   bench/soak.sh [--minutes N] [--rate N] [--interval S] [--build DIR] [--work DIR]
#
#   --minutes N   length of the run (default 30)
#   --rate N      messages per second the simulator sends (default 1000)
#   --interval S  seconds between samples (default 5)
#   --build DIR   where zel, dbdrv_pgsql and feedsim are built (default build)
#   --work DIR    work files, the server and the CSV (default DIR/soak under the build)
#
# CSV columns: elapsed seconds, resident memory (KiB, VmRSS), and zel's counters at that
# moment: messages received, statements written, failed, items queued. At the end it prints
# the first, smallest, largest and last resident size, the growth over the second half of
# the run (a leak shows as a steady climb there; the first half includes the warm-up, when
# the queues, tables and caches fill), the largest queue, and whether anything failed.
set -euo pipefail

MINUTES=30 RATE=1000 INTERVAL=5 BUILD=build WORK=
while (($#)); do
    case $1 in
    --minutes) MINUTES=$2; shift 2 ;;
    --rate) RATE=$2; shift 2 ;;
    --interval) INTERVAL=$2; shift 2 ;;
    --build) BUILD=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    *) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
    esac
done
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "$BUILD" && pwd)
WORK=${WORK:-$BUILD/soak}
ZEL=$BUILD/zel/zel FEEDSIM=$BUILD/tools/feedsim/feedsim MODULE=$BUILD/modules/pgsql/dbdrv_pgsql.so
for f in "$ZEL" "$FEEDSIM" "$MODULE"; do
    [[ -x $f || -f $f ]] || { echo "soak.sh: $f is missing (build zel, feedsim and dbdrv_pgsql)" >&2; exit 1; }
done
rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK"
set +e  # the shared helpers count failures themselves
# shellcheck source=../tests/integration/pg_run/common.sh
source "$SRC/tests/integration/pg_run/common.sh"

"$SRC/scripts/pg-server" start "$WORK/pg" >/dev/null || { echo "soak.sh: no server" >&2; exit 1; }
cleanup_hooks+=("\"$SRC/scripts/pg-server\" stop --clean \"$WORK/pg\" >/dev/null 2>&1")
use_pg_env "$WORK/pg/env"
"${PSQL[@]}" -d "$ZEL_PG_DBNAME" -f "$SRC/examples/schema/postgresql.sql" >/dev/null || exit 1

SECONDS_TOTAL=$((MINUTES * 60))
start_feedsim --instruments 1000 --rate "$RATE" --seed 21 --duration $((SECONDS_TOTAL + 30))
write_config "$ZEL_PG_DBNAME" updateinterval 1
sed -i '/^logsqlpath /d' zel.config  # a half-hour SQL log would only fill the disk
start_zel zel.out
echo "soak: $MINUTES min at $RATE messages/s, sampling every $INTERVAL s into $WORK/soak-rss.csv"

csv=$WORK/soak-rss.csv
echo "elapsed_s,rss_kib,received,updated,failed,queued" >"$csv"
began=$SECONDS
while ((SECONDS - began < SECONDS_TOTAL)); do
    sleep "$INTERVAL"
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$zel_pid/status" 2>/dev/null) || break
    [[ -n $rss ]] || { echo "soak: zel has ended early" >&2; tail -20 zel.out >&2; exit 1; }
    status=$("$ZEL" --status "--map-name=$MAP_NAME")
    value() { sed -n "s/^$1: //p" <<<"$status"; }
    echo "$((SECONDS - began)),$rss,$(value received-messages),$(value database-updates-ok),$(value database-updated-failed),$(value database-updates-queued)" >>"$csv"
done
stop_zel
echo "zel stopped (exit $ZEL_EXIT)"

awk -F, 'BEGIN { n = 0 }
    NR == 1 { next }
    { t[n] = $1; r[n] = $2; q[n] = $6; f = $5; n++ }
    END {
        if (n < 2) { print "soak: too few samples"; exit 1 }
        min = max = r[0]; qmax = 0
        for (i = 0; i < n; i++) { if (r[i] < min) min = r[i]; if (r[i] > max) max = r[i]; if (q[i] > qmax) qmax = q[i] }
        # least-squares slope of the second half, KiB per hour
        h = int(n / 2); sx = sy = sxx = sxy = 0; m = n - h
        for (i = h; i < n; i++) { sx += t[i]; sy += r[i]; sxx += t[i] * t[i]; sxy += t[i] * r[i] }
        d = m * sxx - sx * sx; slope = d ? (m * sxy - sx * sy) / d * 3600 : 0
        printf "samples %d; resident KiB: first %d, smallest %d, largest %d, last %d\n", n, r[0], min, max, r[n - 1]
        printf "growth over the second half: %.0f KiB per hour; largest queue %d; failed statements %d\n", slope, qmax, f
    }' "$csv" | tee "$WORK/soak-summary.txt"
