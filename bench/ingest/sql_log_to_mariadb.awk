# sql_log_to_mariadb.awk - splits zel's SQL log into the statements of each database
# connection, in their order and with their COMMITs as logged, for the mariadb client to
# replay (ingest_odbc.sh).
#
#   awk -v out=DIR -f sql_log_to_mariadb.awk SQLLOG...
# writes DIR/q<N>.sql, one file per connection, each statement ended by ";". Prints
# "replayed TOTAL", "left out N".
#
# Log lines are "HH:MM:SS [queue] statement"; a statement that failed is logged as
# "** statement : error". Those whose error is "No rows matched the WHERE statement" ran (an
# UPDATE that matched nothing) and are replayed; the others failed and are left out. Lines
# without the prefix continue the statement before them.

function flush(    q) {
    q = pending_queue
    if (q == "") return
    pending_queue = ""
    if (pending ~ /^\*\* /) {
        if (pending !~ / : No rows matched the WHERE statement$/) {
            left_out++
            return
        }
        pending = substr(pending, 4)
        sub(/ : No rows matched the WHERE statement$/, "", pending)
    }
    print pending ";" > (out "/q" q ".sql")
    replayed++
}

/^[0-9][0-9]:[0-9][0-9]:[0-9][0-9] \[[0-9]+\] / {
    flush()
    close_bracket = index($0, "]")
    pending_queue = substr($0, 11, close_bracket - 11)
    pending = substr($0, close_bracket + 2)
    next
}
{ if (pending_queue != "") pending = pending "\n" $0 }

END {
    flush()
    printf "replayed %d\nleft out %d\n", replayed, left_out
}
