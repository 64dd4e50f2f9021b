#!/usr/bin/env bash
# zel.exe as the Windows service "Corvalinder ZEL" under Wine: created with sc create,
# started with net start, its statistics read by a second process while it runs, stopped
# with net stop; then a service whose configuration file is missing, whose start fails.
# The warm wineserver (-p) and feedsim.exe, an ordinary Wine process, keep the session
# alive under the service.
#   wine_service_test.sh ZEL_EXE FEEDSIM_EXE NULL_MODULE SOURCE_DIR WORK_DIR
set -uo pipefail
ZEL=$1 FEEDSIM=$2 NULLMOD=$3 SOURCE=$4 WORK=$5
source "$SOURCE/tests/windows/wine_common.sh"
SERVICE="Corvalinder ZEL"
service_record() { "$WINE" sc query "$SERVICE" | tr -d '\r'; }

start_feedsim
write_config
"$WINE" sc delete "$SERVICE" >/dev/null 2>&1
cleanup_extra+=("'$WINE' net stop '$SERVICE'" "'$WINE' sc delete '$SERVICE'")
# The section's name has blanks: quoted inside the command line, as an installer does.
"$WINE" sc create "$SERVICE" binPath= "\"$(winpath "$ZEL")\" --config=$CONFIG_WIN \"--map-name=$MAP_NAME\"" \
    >"$WORK/create.out" 2>&1
check_code "sc create" 0 $?

timeout 120 "$WINE" net start "$SERVICE" >"$WORK/start.out" 2>&1
check_code "net start" 0 $?
check "the service runs, as a second process reading the section sees" wait_for 30 zel_running
check "the service receives and counts messages" wait_for 30 zel_received
check "one zel.exe process runs" test "$(pgrep -fc 'zel\.exe --config')" -eq 1
service_record >"$WORK/query-running.txt"
check "the service reports running" grep -q 'STATE *: 4 *RUNNING' "$WORK/query-running.txt"
check "with the wait hint of 5 seconds" grep -q 'WAIT_HINT *: 0x1388' "$WORK/query-running.txt"

timeout 120 "$WINE" net stop "$SERVICE" >"$WORK/stop.out" 2>&1
check_code "net stop" 0 $?
check "the service process ends" wait_for 30 bash -c "! pgrep -f 'zel\\.exe --config' >/dev/null"
check_eq "after the stop no writer is judged running" 0 "$(status_value running)"
service_record >"$WORK/query-stopped.txt"
check "the stopped service reports exit code 0" grep -q 'WIN32_EXIT_CODE *: 0 ' "$WORK/query-stopped.txt"
"$WINE" sc delete "$SERVICE" >/dev/null 2>&1

# A start-up failure is reported to the service manager: stopped, with exit code
# 0xFFFFFFFF. (Wine's net start says "started" as soon as the process runs, so the service
# manager's record is what shows it.)
"$WINE" sc create "$SERVICE" binPath= "$(winpath "$ZEL") --config=$(winpath "$WORK/missing.config")" \
    >/dev/null 2>&1
timeout 120 "$WINE" net start "$SERVICE" >"$WORK/start-missing.out" 2>&1
check "that service process ends" wait_for 30 bash -c "! pgrep -f 'zel\\.exe --config' >/dev/null"
service_record >"$WORK/query-missing.txt"
check "the failed start is reported stopped" grep -q 'STATE *: 1 *STOPPED' "$WORK/query-missing.txt"
check "with exit code 0xFFFFFFFF" grep -q 'WIN32_EXIT_CODE *: 4294967295' "$WORK/query-missing.txt"
"$WINE" sc delete "$SERVICE" >/dev/null 2>&1
finish
