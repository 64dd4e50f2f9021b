#!/usr/bin/env bash
# A block that another account owns: a writer running as an unprivileged user cannot
# write it, logs the level-3 message with the system error and keeps private counters;
# the reader may still read the owner's block. Needs root to switch users (exit 77 =
# skipped otherwise).
#
#   shared_fallback_test.sh ZEL STATS_WRITER WORK_DIR
set -uo pipefail

ZEL=$1 WRITER=$2 WORK=$3
NAME="Global\\zel fallback test $$"
SHM_FILE="/dev/shm/zel fallback test $$"
USER_NAME=nobody
owner_pid=

cleanup() {
    [[ -n $owner_pid ]] && kill -9 "$owner_pid" 2>/dev/null
    rm -f "$SHM_FILE"
}
trap cleanup EXIT

as_user() { runuser -u "$USER_NAME" -- "$@"; }

if [[ $(id -u) != 0 ]] || ! command -v runuser >/dev/null || ! id "$USER_NAME" >/dev/null 2>&1; then
    echo "skipped: needs root, runuser and the user $USER_NAME"
    exit 77
fi
rm -rf "$WORK" && mkdir -p "$WORK" && chmod 755 "$WORK" && cd "$WORK" || exit 1
if ! as_user test -x "$WRITER" || ! as_user test -x "$ZEL"; then
    echo "skipped: $USER_NAME cannot reach the build directory"
    exit 77
fi

touch owner.stop
"$WRITER" "$NAME" owner.stop >owner.out 2>&1 &
owner_pid=$!
for _ in $(seq 1 250); do grep -q . owner.out && break; sleep 0.02; done
[[ $(cat owner.out) == shared ]] || { echo "FAIL owner could not create the block"; exit 1; }

touch user.stop
chmod 644 user.stop
as_user "$WRITER" "$NAME" "$WORK/user.stop" >user.out 2>&1 &
user_pid=$!
for _ in $(seq 1 250); do grep -q private user.out && break; sleep 0.02; done
rm -f user.stop
wait "$user_pid"
failures=0
expected="Cannot create shared memory for the performance monitor counters 13"  # EACCES
if ! grep -qx "[0-9:]\{8\}  $expected" user.out || ! grep -qx private user.out; then
    echo "FAIL unprivileged writer:"; cat user.out; failures=1
else
    echo "ok   unprivileged writer fell back to private memory"
fi
as_user "$ZEL" --status --map-name "$NAME" >status.out
if grep -qx 'received-messages: 1000' status.out && grep -qx 'running: 1' status.out; then
    echo "ok   unprivileged reader sees the owner's block"
else
    echo "FAIL unprivileged reader:"; cat status.out; failures=1
fi
rm -f owner.stop
wait "$owner_pid"; owner_pid=
exit $failures
