// row_statements.cpp - UPDATE, INSERT and DELETE of the row a QueueItem maps to (see
// row_statements.h). Source unit "sqlbuilds".
//
// These run for nearly every item the program writes, so they format straight into the
// worker's statement and tail and look every FieldDef up by number; a statement costs no
// allocation once the buffers have grown. Values enter the text only through the helpers
// of sql_values.h.
#include "zel/sql/row_statements.h"

#include <atomic>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/corporate_actions.h"
#include "zel/sql/execute.h"
#include "zel/sql/query_result.h"
#include "zel/sql/removal.h"
#include "zel/sql/sql_values.h"

namespace {

constexpr uint32_t kTagDate = 3;
constexpr uint32_t kTagTime = 4;

// Fields written but not counted: a statement of nothing but keys, date and time has no
// data worth a write.
bool counts(const FieldDef& def, uint32_t tag) {
    return !def.is_key && tag != kTagDate && tag != kTagTime;
}

// Copies a quote-like field into the current-value slot it feeds, if any.
void fill_slot(QueueItem& item, const FieldValue& field, const InstrumentType* instrument) {
    switch (item.kind) {
        case KIND_QUOTE:
            switch (field.tag) {
                case 7:
                    set_current_value(item.price, item.price_present, field.value);
                    return;
                case 93:
                    if (instrument && instrument->type == 3)
                        set_current_value(item.price, item.price_present, field.value);
                    return;
                case 5:
                    set_current_value(item.bid, item.bid_present, field.value);
                    return;
                case 76:
                    set_current_value(item.yield, item.yield_present, field.value);
                    return;
                case 74:
                    set_current_value(item.bid_yield, item.bid_yield_present, field.value);
                    return;
                default:
                    return;
            }
        case KIND_QUOTE_EX:
            if (field.tag == 7) set_current_value(item.price, item.price_present, field.value);
            return;
        default:
            return;
    }
}

// The computed value of a calculated field from its value V and the price P: calc 1 is
// V over P, 2 is P over V, 3 their product, each times the factor when one is defined;
// NULLIF turns a zero divisor into NULL rather than a database error. Other calc codes
// have no formula. V and P come from the feed, so each passes the number rule.
void append_calc_expression(SqlText& out, const FieldDef& def, const char* v, const char* p) {
    const char* first = def.calc == 2 ? p : v;
    const char* second = def.calc == 2 ? v : p;
    switch (def.calc) {
        case 1:
        case 2:
            if (def.factor) out.push_back('(');
            append_number(out, first);
            out.append("/NULLIF(");
            append_number(out, second);
            out.append(",0)");
            if (def.factor) {
                out.append(")*");
                out.append(def.factor);
            }
            return;
        case 3:
            append_number(out, v);
            out.push_back('*');
            append_number(out, p);
            if (def.factor) {
                out.push_back('*');
                out.append(def.factor);
            }
            return;
        default:
            out.append("NULL");
            return;
    }
}

// A delete that cannot be built for want of a column is a fault of the table definitions;
// it is reported once per process rather than once per message.
std::atomic<bool> g_warned_status{false};
std::atomic<bool> g_warned_order{false};

void missing_definition(std::atomic<bool>& warned, unsigned kind, unsigned tag) {
    if (warned.exchange(true)) return;
    log_message(
        LOG_LEVEL_PROBLEM,
        "No column for field %u of message %u in the tabledefinitions, rows are not deleted", tag,
        kind);
}

const char* price_slot(const QueueItem& item) {
    return item.price_present ? item.price : nullptr;
}

// Kind 11: before a stored corporate action goes, its effect on the adjusted history is
// undone with the factor and type stored in its row. Returns 0 to go on with the delete,
// or the negative status or result that ends it.
int undo_corporate_action(DbWorker& worker, QueueItem& item, const MessageDef& def) {
    const FieldDef* factor = find_fielddef(KIND_CORPORATE_ACTION, 103u);
    const FieldDef* type = find_fielddef(KIND_CORPORATE_ACTION, 99u);
    if (!factor || !type) return 0;

    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    tail.appendf("WHERE %s=", def.column);
    tail.append_u64(item.insref);
    tail.push_back(' ');
    sql.appendf("SELECT %s", factor->column);
    sql.appendf(",%s FROM %s ", type->column, type->table);

    const char* date = nullptr;
    const FieldValue* field789 = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        if (f->tag == 789) field789 = f;
        const FieldDef* fd = find_fielddef(KIND_CORPORATE_ACTION, f->tag);
        if (!fd || !fd->is_key) continue;
        if (f->tag == kTagDate) date = f->value;
        tail.appendf("AND %s=", fd->column);
        append_field_value(worker, tail, *fd, f->value);
        tail.push_back(' ');
    }
    append_tail(worker);

    QueryResult stored_action(worker, SQLBUILDS_LABEL);
    if (stored_action.failed()) return stored_action.status();
    const ResultValue* row = stored_action.rows();
    if (!row || !row->value || !row->next || !row->next->value) return 0;
    const char* stored_factor = row->value;
    double ratio = std::strtod(stored_factor, nullptr);
    auto stored_type = static_cast<uint8_t>(std::atoi(row->next->value));
    // The factor is named in the report while the rows are still held.
    if (!is_sql_number(stored_factor) || !(ratio > 0.0)) {
        log_message(LOG_LEVEL_PROBLEM,
                    "Corporateaction with unusable stored factor not reversed %d - %" PRIu64
                    " : '%s'",
                    __LINE__, item.insref, stored_factor);
        return 0;
    }
    // Everything the adjustment needs is copied: the rows go back before its statement.
    stored_action.release();
    // date points into the item, which outlives the statement.
    if (history_adjustment(worker, item.insref, date, ratio, stored_type, ADJUST_REVERSE,
                           field789) == 1) {
        int r = execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL);
        if (r < 0) return r;
        // Outside a transaction the reversal is in the table for good, whatever becomes of
        // the DELETE after it: a rerun of this item must not reverse the history again.
        if (r == 1 && !worker.transaction.open()) item.flags |= ITEM_ACTION_REVERSED;
    }
    return 0;
}

}  // namespace

int row_update(DbWorker& worker, QueueItem& item, const MessageDef& def,
               const InstrumentType* instrument) {
    if (item.flags & ITEM_DELETE) return 0;
    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    sql.appendf("UPDATE %s SET", def.table);
    tail.appendf(" WHERE %s=", def.column);
    tail.append_u64(item.insref);
    tail.push_back(' ');

    int count = 0;
    bool assigned = false;
    bool has_tag72 = false;
    for (FieldValue* f = item.fields; f; f = f->next) {
        const FieldDef* fd = find_fielddef(item.kind, f->tag);
        if (!fd) continue;
        if (f->tag == 72) has_tag72 = true;
        if (fd->calc) {
            ++count;
            const char* p = price_slot(item);
            if (!f->value) {
                sql.push_back(assigned ? ',' : ' ');
                sql.appendf("%s=NULL,%s=NULL", fd->column, fd->column2);
                assigned = true;
            } else if (p) {
                sql.push_back(assigned ? ',' : ' ');
                sql.appendf("%s=", fd->column);
                append_calc_expression(sql, *fd, f->value, p);
                sql.appendf(",%s=", fd->column2);
                append_number(sql, f->value);
                assigned = true;
            }
            continue;
        }
        if (fd->is_key) {
            tail.appendf("AND %s=", fd->column);
            append_field_value(worker, tail, *fd, f->value);
            tail.push_back(' ');
            continue;
        }
        fill_slot(item, *f, instrument);
        sql.push_back(assigned ? ',' : ' ');
        sql.appendf("%s=", fd->column);
        append_field_value(worker, sql, *fd, f->value);
        assigned = true;
        if (counts(*fd, f->tag)) ++count;
    }

    // A trade without a field-72 value must not keep the previous trade's one. When the
    // item carries field 72 itself (without a value), its own assignment already clears
    // the column, and a second assignment of one column would make the UPDATE fail.
    if (item.kind == KIND_TRADE && !(item.flags & ITEM_TRADE_TAG72) && !has_tag72) {
        if (const FieldDef* tag72 = find_fielddef(KIND_TRADE, 72u)) {
            sql.push_back(assigned ? ',' : ' ');
            sql.appendf("%s=NULL", tag72->column);
        }
    }
    append_tail(worker);
    return count;
}

int row_insert(DbWorker& worker, QueueItem& item, const MessageDef& def,
               const InstrumentType* instrument) {
    if (item.flags & ITEM_DELETE) return 0;
    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    sql.appendf("INSERT INTO %s (%s", def.table, def.column);
    tail.append("VALUES (");
    tail.append_u64(item.insref);

    int count = 0;
    for (FieldValue* f = item.fields; f; f = f->next) {
        const FieldDef* fd = find_fielddef(item.kind, f->tag);
        if (!fd) continue;
        if (fd->calc) {
            ++count;
            const char* p = price_slot(item);
            if (!f->value) {
                sql.appendf(",%s,%s", fd->column, fd->column2);
                tail.append(",NULL,NULL");
            } else if (p) {
                sql.appendf(",%s,%s", fd->column, fd->column2);
                tail.push_back(',');
                append_calc_expression(tail, *fd, f->value, p);
                tail.push_back(',');
                append_number(tail, f->value);
            }
            continue;
        }
        sql.appendf(",%s", fd->column);
        fill_slot(item, *f, instrument);
        tail.push_back(',');
        append_field_value(worker, tail, *fd, f->value);
        if (counts(*fd, f->tag)) ++count;
    }
    sql.append(") ");
    tail.push_back(')');
    append_tail(worker);
    return count;
}

int row_delete(DbWorker& worker, QueueItem& item, const MessageDef& def) {
    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;

    if (item.kind == KIND_CORPORATE_ACTION && !(item.flags & ITEM_ACTION_REVERSED)) {
        int r = undo_corporate_action(worker, item, def);
        if (r < 0) return r;
    }

    if (item.flags & ITEM_NULL_STATUS) {
        const FieldDef* status = find_fielddef(item.kind, 126u);
        if (!status) {
            missing_definition(g_warned_status, item.kind, 126);
            return -1;
        }
        sql.clear();
        sql.appendf("UPDATE %s SET %s=NULL WHERE %s=", def.table, status->column, def.column);
        sql.append_u64(item.insref);
        return 1;
    }

    if (item.kind == KIND_BASIC_DATA) {
        int status = 1;
        basic_data_cascade(worker, item, &status);
        if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    }

    if (item.kind == KIND_MBO) {
        const FieldDef* order = find_fielddef(KIND_MBO, 695u);
        if (!order) {
            missing_definition(g_warned_order, 38, 695);
            return -1;
        }
        sql.clear();
        sql.appendf("DELETE FROM %s WHERE %s=", def.table, def.column);
        sql.append_u64(item.insref);
        sql.appendf(" AND %s=", order->column);
        sql.append_u64(item.order_id);
        return execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL);
    }

    sql.clear();
    tail.clear();
    sql.appendf("DELETE FROM %s ", def.table);
    tail.appendf("WHERE %s=", def.column);
    tail.append_u64(item.insref);
    tail.push_back(' ');
    for (const FieldValue* f = item.fields; f; f = f->next) {
        const FieldDef* fd = find_fielddef(item.kind, f->tag);
        if (!fd || !fd->is_key) continue;
        tail.appendf(" AND %s=", fd->column);
        append_field_value(worker, tail, *fd, f->value);
    }
    append_tail(worker);
    return 1;
}
