// order_book_rows.cpp - the statement of one order book level change (see
// order_book_rows.h). Source unit "sqlbuilds".
//
// The operation is read from the change's flags in the order insert, delete, update, the
// first that has a bit set winning; a change with a bid bit is a bid change whatever else
// it carries. Level rows are found by instrument, side and the key columns (the price),
// so a delete names its price or deletes nothing.
#include "zel/sql/order_book_rows.h"

#include <atomic>

#include "zel/base/log.h"
#include "zel/sql/sql_values.h"

namespace {

std::atomic<bool> g_warned_side{false};

constexpr uint32_t kBidBits = ITEM_BID_INSERT | ITEM_BID_UPDATE | ITEM_BID_DELETE;

}  // namespace

int order_book_change(DbWorker& worker, const QueueItem& change, const MessageDef& def) {
    const FieldDef* side_def = find_fielddef(change.kind, "side");
    if (!side_def) {
        if (!g_warned_side.exchange(true)) {
            log_message(LOG_LEVEL_PROBLEM,
                        "No side column for message %u in the tabledefinitions, order book "
                        "levels are not written",
                        static_cast<unsigned>(change.kind));
        }
        return -1;
    }
    const char side = (change.flags & kBidBits) ? 'B' : 'A';
    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    int count = 0;

    if (change.flags & ITEM_INSERT_BITS) {
        sql.appendf("INSERT INTO %s (%s", def.table, def.column);
        tail.append(") VALUES (");
        tail.append_u64(change.insref);
        for (const FieldValue* f = change.fields; f; f = f->next) {
            const FieldDef* fd = find_fielddef(change.kind, f->tag);
            if (!fd) continue;
            sql.appendf(",%s", fd->column);
            tail.push_back(',');
            append_field_value(worker, tail, *fd, f->value);
            ++count;
        }
        sql.appendf(",%s", side_def->column);
        tail.appendf(",'%c')", side);
        append_tail(worker);
        return count;
    }

    if (change.flags & ITEM_DELETE_BITS) {
        sql.appendf("DELETE FROM %s WHERE %s=", def.table, def.column);
        sql.append_u64(change.insref);
        for (const FieldValue* f = change.fields; f; f = f->next) {
            if (f->tag != 5 && f->tag != 6) continue;
            const FieldDef* fd = find_fielddef(change.kind, f->tag);
            if (!fd) continue;
            sql.appendf(" AND %s=", fd->column);
            append_field_value(worker, sql, *fd, f->value);
            ++count;
        }
        sql.appendf(" AND %s='%c'", side_def->column, side);
        return count;
    }

    if (change.flags & ITEM_UPDATE_BITS) {
        sql.appendf("UPDATE %s SET ", def.table);
        tail.appendf(" WHERE %s=", def.column);
        tail.append_u64(change.insref);
        int assignments = 0;
        for (const FieldValue* f = change.fields; f; f = f->next) {
            const FieldDef* fd = find_fielddef(change.kind, f->tag);
            if (!fd) continue;
            if (fd->is_key) {
                tail.appendf(" AND %s=", fd->column);
                append_field_value(worker, tail, *fd, f->value);
            } else {
                sql.appendf("%s=", fd->column);
                append_field_value(worker, sql, *fd, f->value);
                sql.push_back(',');
                ++assignments;
            }
            ++count;
        }
        // A change of nothing but its keys (the price alone) has nothing to set; built, it
        // would read "SET  WHERE" and the server would refuse it.
        if (assignments == 0) return 0;
        sql.truncate(sql.size() - 1);
        tail.appendf(" AND %s='%c'", side_def->column, side);
        append_tail(worker);
        return count;
    }
    return 0;
}
