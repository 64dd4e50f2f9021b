#!/usr/bin/env bash
# zel.exe's answers that need no run, under Wine, against the POSIX build's golden files:
# --help and --status with no instance, byte for byte once the carriage returns of the
# Windows line ends are removed (the one difference, and checked as such), an argument
# error, and the key wait after a failed start (standard input is a pipe here: the keys are
# read as they come).
#   wine_cli_test.sh ZEL_EXE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$1 SOURCE=$2 WORK=$3 FEEDSIM= NULLMOD=
source "$SOURCE/tests/windows/wine_common.sh"
GOLDEN=$SOURCE/tests/integration/cli/golden

"$WINE" "$ZEL" --help >"$WORK/help.raw"
check_code "--help" 0 $?
tr -d '\r' <"$WORK/help.raw" >"$WORK/help.txt"
check "--help is the POSIX text" cmp "$GOLDEN/help.txt" "$WORK/help.txt"
check "--help lines end in CR LF" test "$(grep -c $'\r$' "$WORK/help.raw")" -eq "$(wc -l <"$WORK/help.txt")"

"$WINE" "$ZEL" --status "--map-name=$MAP_NAME" >"$WORK/status.raw"
check_code "--status with no instance" 0 $?
tr -d '\r' <"$WORK/status.raw" >"$WORK/status.txt"
check "--status with no instance is the POSIX text" cmp "$GOLDEN/status-zeros.txt" "$WORK/status.txt"

"$WINE" "$ZEL" --no-such-option >"$WORK/bad.raw"
check_code "an unknown argument" 1 $?
check_eq "its message" "unknown argument: '--no-such-option'" "$(tr -d '\r' <"$WORK/bad.raw")"

mkfifo "$WORK/keys"
"$WINE" "$ZEL" "--config=$(winpath "$WORK/missing.config")" <"$WORK/keys" >"$WORK/missing.raw" 2>&1 &
zel_pid=$!
cleanup_extra+=("kill -9 $zel_pid")
exec 3>"$WORK/keys"
check "a start without its configuration asks for a key" wait_for 60 grep -q 'Press any key to continue' "$WORK/missing.raw"
check "it says why" grep -q "Could not open config file '$(winpath "$WORK/missing.config" | sed 's/\\/\\\\/g')'" "$WORK/missing.raw"
sleep 1
check "it waits for the key" kill -0 "$zel_pid"
printf 'x' >&3
exec 3>&-
wait_for 20 bash -c "! kill -0 $zel_pid 2>/dev/null"
wait "$zel_pid"
check_code "after the key, the failed start" 1 $?
finish
