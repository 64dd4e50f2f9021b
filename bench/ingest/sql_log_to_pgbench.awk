# sql_log_to_pgbench.awk - splits zel's SQL log into the statements of each database
# connection, in their order and with their transactions as logged (START TRANSACTION ...
# COMMIT), for pgbench to replay (ingest_pg.sh).
#
#   awk -v out=DIR [-v limit=N] -f sql_log_to_pgbench.awk SQLLOG...
# writes DIR/q<N>_<I>.sql, the I-th part (from 0) of connection N: whole transactions in a
# row, a new part beginning after the COMMIT that brings the part to `limit` statements
# (default 2000), since pgbench's time to read a script grows with the square of its size.
# Prints "replayed TOTAL", "left out N" and one "queue N STATEMENTS PARTS" line per
# connection.
#
# Log lines are "HH:MM:SS [queue] statement"; a statement that failed is logged as
# "** statement : error". Those whose error is "Affected rows:0" ran (an UPDATE that matched
# nothing) and are replayed; the others failed and are left out, since pgbench ends a client
# at its first error. Lines without the prefix continue the statement before them.

function chunk_file(q) { return out "/q" q "_" (chunk[q] + 0) ".sql" }

function flush(    q) {
    q = pending_queue
    if (q == "") return
    pending_queue = ""
    if (pending ~ /^\*\* /) {
        if (pending !~ / : Affected rows:0$/) {
            left_out++
            return
        }
        pending = substr(pending, 4)
        sub(/ : Affected rows:0$/, "", pending)
    }
    print pending ";" > chunk_file(q)
    count[q]++
    replayed++
    written[q] = 1
    if (pending == "START TRANSACTION") open_tx[q] = 1
    in_chunk[q]++
    if (pending == "COMMIT" || pending == "ROLLBACK") {
        open_tx[q] = 0
        if (in_chunk[q] >= limit) {
            close(chunk_file(q))
            chunk[q]++
            written[q] = 0
            in_chunk[q] = 0
        }
    }
}

BEGIN { if (limit == "") limit = 2000 }

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
    for (q in count) {
        if (!written[q]) continue
        # A run stopped inside a transaction: pgbench wants every transaction ended.
        if (open_tx[q]) {
            print "COMMIT;" > chunk_file(q)
            count[q]++
            replayed++
        }
        close(chunk_file(q))
        chunk[q]++
    }
    printf "replayed %d\nleft out %d\n", replayed, left_out
    for (q in count) printf "queue %s %d %d\n", q, count[q], chunk[q]
}
