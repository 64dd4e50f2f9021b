#!/usr/bin/env bash
# The zel program from the outside: --help and --status byte for byte (the status of a
# block that another process writes, of one whose writer was killed, of none), argument
# errors, and a plain run's configuration handling with its exit codes.
#
#   cli_test.sh ZEL STATS_WRITER GOLDEN_DIR WORK_DIR
set -uo pipefail

ZEL=$1 WRITER=$2 GOLDEN=$3 WORK=$4
NAME="Global\\zel cli test $$"
SHM_FILE="/dev/shm/zel cli test $$"
failures=0
writer_pid=

cleanup() {
    [[ -n $writer_pid ]] && kill -9 "$writer_pid" 2>/dev/null
    rm -f "$SHM_FILE"
}
trap cleanup EXIT

check() {  # check NAME EXPECTED_FILE ACTUAL_FILE
    if cmp -s "$2" "$3"; then
        echo "ok   $1"
    else
        echo "FAIL $1"
        diff -u "$2" "$3" | head -40
        failures=$((failures + 1))
    fi
}

check_code() {  # check_code NAME EXPECTED ACTUAL
    if [[ $2 == "$3" ]]; then
        echo "ok   $1 (exit $3)"
    else
        echo "FAIL $1: exit code $3, expected $2"
        failures=$((failures + 1))
    fi
}

# Console lines start with the time; compare the rest.
untimed() { sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}  //' "$1"; }

rm -rf "$WORK" && mkdir -p "$WORK" && cd "$WORK" || exit 1

start_writer() {
    touch "$WORK/stop"
    "$WRITER" "$NAME" "$WORK/stop" >"$WORK/writer.out" 2>&1 &
    writer_pid=$!
    for _ in $(seq 1 250); do
        grep -q . "$WORK/writer.out" && break
        sleep 0.02
    done
}

# --help
"$ZEL" --help >help.out; code=$?
check "--help text" "$GOLDEN/help.txt" help.out
check_code "--help" 0 "$code"
"$ZEL" --status --help --nonsense >help2.out; code=$?
check "--help answers at once" "$GOLDEN/help.txt" help2.out
check_code "--help answers at once" 0 "$code"

# --status with no block: zeros, and no block is left behind
"$ZEL" --status --map-name "$NAME" >status.out; code=$?
check "--status without a block" "$GOLDEN/status-zeros.txt" status.out
check_code "--status without a block" 0 "$code"
if [[ -e $SHM_FILE ]]; then echo "FAIL --status created the block"; failures=$((failures + 1)); fi

# --status of a block that another process writes
start_writer
check "writer has a shared block" <(echo shared) "$WORK/writer.out"
"$ZEL" --status "--map-name=$NAME" >status.out; code=$?
check "--status of a running writer" "$GOLDEN/status-running.txt" status.out
check_code "--status of a running writer" 0 "$code"

# The writer ends normally: the block goes with it
rm -f "$WORK/stop"
wait "$writer_pid"; writer_pid=
"$ZEL" --status --map-name "$NAME" >status.out
check "--status after the writer ended" "$GOLDEN/status-zeros.txt" status.out

# The writer is killed: its counters stay readable, but it is not running or connected
start_writer
kill -9 "$writer_pid"; wait "$writer_pid" 2>/dev/null; writer_pid=
"$ZEL" --status --map-name "$NAME" >status.out; code=$?
check "--status after the writer was killed" "$GOLDEN/status-ended.txt" status.out
check_code "--status after the writer was killed" 0 "$code"
# A new writer takes the block over with its counters
start_writer
"$ZEL" --status --map-name "$NAME" >status.out
check "--status of a writer that took over" "$GOLDEN/status-running.txt" status.out
rm -f "$WORK/stop"; wait "$writer_pid"; writer_pid=

# Argument errors
"$ZEL" --check --frobnicate=1 >args.out; code=$?
check "unknown argument" <(printf "unknown argument: '--frobnicate'\n") args.out
check_code "unknown argument" 1 "$code"
"$ZEL" --config >args.out; code=$?
check "missing config name" <(printf 'Missing config filename\n') args.out
check_code "missing config name" 1 "$code"
"$ZEL" --status --map-name >args.out; code=$?
check "missing map name" <(printf 'Missing name for --map-name\n') args.out
check_code "missing map name" 1 "$code"

# A missing configuration file: level-2 line, key prompt when interactive, exit 1
"$ZEL" --config=missing.config </dev/null >run.out; code=$?
check "missing configuration file" \
    <(printf "Could not open config file 'missing.config'\nPress any key to continue...\n") <(untimed run.out)
check_code "missing configuration file" 1 "$code"
echo x | "$ZEL" --config missing.config --console >run.out; code=$?
check_code "key prompt takes a piped key" 1 "$code"
"$ZEL" --daemon --config=missing.config </dev/null >run.out; code=$?
check "--daemon is silent and does not wait" /dev/null run.out
check_code "--daemon with a missing file" 1 "$code"

# Found through the registry's install directory when ./zel.config is absent
mkdir -p install/ZEL empty
printf '[HKLM\\Software\\Corvalinder\\ZEL]\nInstall Directory=%s\n' "$WORK/install" >registry
cat >install/ZEL/zel.config <<'CONFIG'
# bad lines, unknown keys and a $VAR value
[Log]
nonsense
Log
unknownkey 5
facility $ZEL_CLI_FACILITY
CONFIG
(cd empty && ZEL_REGISTRY="$WORK/registry" ZEL_CLI_FACILITY=LOG_USER "$ZEL" --console </dev/null >"$WORK/run.out"); code=$?
# The file names no database module, so the run that it starts ends at the module.
check "configuration from the registry's install directory" \
    <(printf 'Starting zel v0.9.55\nNo database module is configured (key instance)\nError loading module file \nPress any key to continue...\n') \
    <(untimed run.out)
check_code "run without a database module" 1 "$code"
# The $VAR value reaches the syslog set-up: an impossible facility stops the run, without
# a key prompt.
(cd empty && ZEL_REGISTRY="$WORK/registry" ZEL_CLI_FACILITY=124 "$ZEL" </dev/null >"$WORK/run.out"); code=$?
check "facility from the environment" \
    <(printf "Defined logging facility, '124', does not exist\n") <(untimed run.out)
check_code "facility that does not exist" 1 "$code"

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
