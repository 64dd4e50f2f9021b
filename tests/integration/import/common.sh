# shellcheck shell=bash
# common.sh - what the import tests share beyond the PostgreSQL run tests' helpers (sourced
# from ../pg_run/common.sh): a source database filled by a generated zel run, a zel
# configuration for an import into a given database, and the comparison of every table of
# two databases. Sourced after ZEL, FEEDSIM, MODULE, SRC and WORK are set.

# shellcheck source=../pg_run/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../pg_run/common.sh"

# fill_with_generated_run DB SECONDS INSTRUMENTS RATE: the simulator's generated market for
# SECONDS, written by zel into DB; zel must end cleanly with no failed statement.
fill_with_generated_run() {
    local db=$1 seconds=$2
    start_feedsim --instruments "$3" --rate "$4" --seed 11 --duration "$seconds"
    write_config "$db" updateinterval 1
    start_zel fill.out
    wait "$feedsim_pid"
    feedsim_pid=
    drained() {
        local n
        for n in 1 2 3; do
            [[ $(status_value database-updates-queued) == 0 ]] || return 1
            sleep 0.3
        done
    }
    check "the generated run is written" wait_for 60 drained
    local failed
    failed=$(status_value database-updated-failed)
    stop_zel
    check_eq "the generated run: zel stops with exit code 0" 0 "$ZEL_EXIT"
    check_eq "the generated run: no failed statement" 0 "$failed"
}

# write_import_config DB: zel.config for an import into DB (no feed is contacted).
write_import_config() {
    FEED_PORT=${FEED_PORT:-1}
    write_config "$1"
}

# table_rows DB: "table|rows" for every table of the public schema.
table_rows() {
    sql "$1" "SELECT table_name, (xpath('/row/n/text()', query_to_xml(format('SELECT count(*) AS n FROM %I', table_name), false, true, '')))[1]::text::int
              FROM information_schema.tables WHERE table_schema = 'public' ORDER BY 1"
}

# table_digests DB: "table|rows|digest of the sorted rows" for every table of the public schema.
table_digests() {
    local query
    query=$(sql "$1" "SELECT string_agg(format('SELECT %L, count(*), coalesce(md5(string_agg(t::text, E''\\n'' ORDER BY t::text)), '''') FROM public.%I t', table_name, table_name), ' UNION ALL ' ORDER BY table_name)
                      FROM information_schema.tables WHERE table_schema = 'public'") || return 1
    sql "$1" "$query ORDER BY 1"
}

# same_tables NAME SOURCE_DB TARGET_DB: every table holds the same rows in both.
same_tables() {
    local name=$1
    table_digests "$2" >"$name.source" || { check_eq "$name: source tables read" 0 1; return; }
    table_digests "$3" >"$name.target" || { check_eq "$name: target tables read" 0 1; return; }
    if cmp -s "$name.source" "$name.target"; then
        echo "ok   $name: every table equals the source ($(wc -l <"$name.source") tables)"
    else
        echo "FAIL $name: tables differ from the source (table|rows|digest)"
        diff "$name.source" "$name.target" | head -20
        failures=$((failures + 1))
    fi
}
