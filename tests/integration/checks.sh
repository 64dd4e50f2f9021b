# checks.sh - the pass and fail lines and the failure count that the integration scripts
# share. Sourced; each script ends by looking at $failures.

failures=0

check() {  # check NAME COMMAND...: counts a failure when the command fails
    local name=$1
    shift
    if "$@"; then
        echo "ok   $name"
    else
        echo "FAIL $name"
        failures=$((failures + 1))
    fi
}

check_eq() {  # check_eq NAME EXPECTED ACTUAL
    if [[ $2 == "$3" ]]; then
        echo "ok   $1"
    else
        echo "FAIL $1: got '$3', expected '$2'"
        failures=$((failures + 1))
    fi
}

check_code() {  # check_code NAME EXPECTED ACTUAL: an exit code
    if [[ $2 == "$3" ]]; then
        echo "ok   $1 (exit $3)"
    else
        echo "FAIL $1: exit code $3, expected $2"
        failures=$((failures + 1))
    fi
}
