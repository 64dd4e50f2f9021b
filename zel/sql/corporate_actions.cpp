// corporate_actions.cpp - the history adjustment, the corporate-action update and the
// adjusted price-history row (see corporate_actions.h). Source unit "sqlbuilds".
//
// Ratios are written with six decimals, the precision in which factors are compared. Every
// value from the feed reaches the text as a module literal or through the number rule;
// ratios are computed here and are always finite positive numbers when written.
#include "zel/sql/corporate_actions.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/execute.h"
#include "zel/sql/query_result.h"
#include "zel/sql/sql_values.h"
#include "zel/tabledef/table_definitions.h"

namespace {

// Price columns: rescaled with the ratio for every action.
constexpr unsigned kGeneralTags[] = {41, 42, 40, 43, 44, 39, 94, 96, 124, 430, 385};
// Columns that move against the price (rescaled the opposite way) for actions other than
// type 11.
constexpr unsigned kOppositeTags[] = {45, 58, 371, 373};
// Columns that type-11 actions rescale with the ratio.
constexpr unsigned kType11Tags[] = {46, 59, 372, 374, 243};

bool one_of(unsigned tag, std::initializer_list<unsigned> tags) {
    for (unsigned t : tags) {
        if (t == tag) return true;
    }
    return false;
}

bool is_opposite_tag(unsigned tag) {
    return one_of(tag, {45, 58, 371, 373});
}
bool is_type11_tag(unsigned tag) {
    return one_of(tag, {46, 59, 243, 372, 374});
}
bool is_copied_tag(unsigned tag) {
    return one_of(tag, {47, 77, 80, 81, 82, 83, 84, 431});
}

// Appends "column=(column<op>ratio)" for each tag kind 252 defines.
void append_rescales(SqlText& sql, const unsigned* begin, const unsigned* end, char op,
                     double ratio, bool& first) {
    for (const unsigned* tag = begin; tag != end; ++tag) {
        const FieldDef* def = find_fielddef(KIND_ADJUSTED_HISTORY, *tag);
        if (!def) continue;
        if (!first) sql.push_back(',');
        sql.appendf("%s=(%s%c%.6f)", def->column, def->column, op, ratio);
        first = false;
    }
}

// A ratio that rescales stored history must be a finite positive number that survives
// being written with six decimals: zero (or what prints as 0.000000) would wipe the prices
// out for good, or divide by zero, and the history could never be restored from it.
bool usable_ratio(double ratio) {
    if (!std::isfinite(ratio) || ratio <= 0.0) return false;
    char printed[32];
    std::snprintf(printed, sizeof printed, "%.6f", ratio);
    return std::strcmp(printed, "0.000000") != 0;
}

// The rescaled value of a price field: the feed value (number rule) times or over the
// product of the later actions.
void append_scaled(SqlText& out, const char* value, char op, double product) {
    out.push_back('(');
    append_number(out, value);
    out.appendf("%c%.6f)", op, product);
}

}  // namespace

int history_adjustment(DbWorker& worker, uint64_t insref, const char* date, double ratio,
                       uint8_t type, AdjustDirection direction, const FieldValue* field789) {
    const MessageDef* adjusted = find_messagedef(KIND_ADJUSTED_HISTORY);
    if (!adjusted) return 0;
    const FieldDef* date_column = find_fielddef(KIND_ADJUSTED_HISTORY, 3u);
    if (!date_column) {
        // Without a date condition the UPDATE would rescale every row of the instrument,
        // those after the action included.
        log_message(LOG_LEVEL_PROBLEM,
                    "No date column for the adjusted pricehistory, history of %" PRIu64
                    " not adjusted",
                    insref);
        return 0;
    }
    char op = direction == ADJUST_FORWARD ? '*' : '/';
    char opposite = direction == ADJUST_FORWARD ? '/' : '*';

    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    sql.appendf("UPDATE %s SET ", adjusted->table);
    tail.appendf(" WHERE %s=", adjusted->column);
    tail.append_u64(insref);
    tail.append(" AND ");
    tail.appendf("%s<", date_column->column);
    append_literal(worker, tail, date, date_column->length);

    bool first = true;
    append_rescales(sql, std::begin(kGeneralTags), std::end(kGeneralTags), op, ratio, first);
    if (type == 11) {
        append_rescales(sql, std::begin(kType11Tags), std::end(kType11Tags), op, ratio, first);
    } else {
        append_rescales(sql, std::begin(kOppositeTags), std::end(kOppositeTags), opposite, ratio,
                        first);
    }
    if (field789) {
        if (const FieldDef* def = find_fielddef(KIND_ADJUSTED_HISTORY, 789u)) {
            if (!first) sql.push_back(',');
            sql.appendf("%s=", def->column);
            append_literal(worker, sql, field789->value, def->length);
            first = false;
        }
    }
    if (first) {
        // No column to rescale: "SET" without an assignment would only be rejected.
        tail.clear();
        sql.clear();
        return 0;
    }
    append_tail(worker);
    return 1;
}

int corporate_action(DbWorker& worker, QueueItem& item) {
    if (item.flags & ITEM_DELETE) {
        // A removed action is undone by the row delete of kind 11, which knows the stored
        // factor.
        log_message(LOG_LEVEL_PROBLEM, "Adjusthistory with DeleteRecord set %d - %" PRIu64,
                    __LINE__, item.insref);
        return 0;
    }
    const FieldDef* factor_column = find_fielddef(KIND_CORPORATE_ACTION, 103u);
    const FieldDef* type_column = find_fielddef(KIND_CORPORATE_ACTION, 99u);
    const MessageDef* actions = find_messagedef(KIND_CORPORATE_ACTION);
    if (!factor_column || !type_column || !actions) return 0;

    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("SELECT %s,", factor_column->column);
    sql.appendf("%s FROM %s WHERE ", type_column->column, actions->table);
    sql.appendf("%s=", actions->column);
    sql.append_u64(item.insref);

    if (!item.fields) {
        log_message(LOG_LEVEL_PROBLEM, "Corporateaction with empty adjustment %d - %" PRIu64,
                    __LINE__, item.insref);
        return 0;
    }

    int counted = 0;
    const char* date = nullptr;
    const char* new_factor = nullptr;
    int new_type = 0;
    const FieldValue* field789 = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        if (f->tag == 789) field789 = f;
        if (!f->value) continue;
        const FieldDef* def = find_fielddef(KIND_CORPORATE_ACTION, f->tag);
        if (!def) continue;
        switch (f->tag) {
            case 3:
            case 4:
            case 97:
                sql.appendf(" AND %s=", def->column);
                append_literal(worker, sql, f->value, def->length);
                if (f->tag == 3) date = f->value;
                ++counted;
                break;
            case 99:
                new_type = std::atoi(f->value);
                ++counted;
                break;
            case 103:
                new_factor = f->value;
                ++counted;
                break;
            default:
                break;
        }
    }
    if (counted < 4) {
        log_message(LOG_LEVEL_PROBLEM, "Corporateaction with empty adjustment %d - %" PRIu64,
                    __LINE__, item.insref);
        return 0;
    }
    // The factor multiplies stored prices: text that is not a number would read as 0.
    if (!is_sql_number(new_factor)) {
        log_message(LOG_LEVEL_PROBLEM,
                    "Corporateaction with unusable factor %d - %" PRIu64 " : '%s'", __LINE__,
                    item.insref, new_factor ? new_factor : "");
        return 0;
    }

    double factor = std::strtod(new_factor, nullptr);
    double ratio = factor;
    {
        QueryResult stored_action(worker, SQLBUILDS_LABEL);
        if (stored_action.failed()) return stored_action.status();
        if (const ResultValue* row = stored_action.rows()) {
            if (row->value) {
                double stored = std::strtod(row->value, nullptr);
                char printed[64];
                std::snprintf(printed, sizeof printed, "%.6f", stored);
                if (std::strcmp(printed, new_factor) == 0) return 0;
                ratio = factor / stored;
            }
            int stored_type = row->next && row->next->value ? std::atoi(row->next->value) : -1;
            if (stored_type != new_type && (stored_type == 11 || new_type == 11)) {
                log_message(LOG_LEVEL_PROBLEM,
                            "Corporateaction with 'wrong' type adjusted %d - %" PRIu64 " : %s",
                            __LINE__, item.insref, date ? date : "");
            }
        }
    }
    if (ratio == 1.0) return 0;
    if (!usable_ratio(ratio)) {
        log_message(LOG_LEVEL_PROBLEM, "Corporateaction with unusable ratio %d - %" PRIu64 " : %s",
                    __LINE__, item.insref, date ? date : "");
        return 0;
    }
    return history_adjustment(worker, item.insref, date, ratio, static_cast<uint8_t>(new_type),
                              ADJUST_FORWARD, field789);
}

int adjusted_row(DbWorker& worker, QueueItem& item) {
    const FieldDef* factor_column = find_fielddef(KIND_CORPORATE_ACTION, 103u);
    const FieldDef* type_column = find_fielddef(KIND_CORPORATE_ACTION, 99u);
    const MessageDef* actions = find_messagedef(KIND_CORPORATE_ACTION);
    if (!factor_column || !type_column || !actions) {
        log_message(LOG_LEVEL_PROBLEM, "No adjustmentfactor found in Corporateactions");
        return 0;
    }
    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    // The actions are looked up in their own table, by its own instrument column.
    tail.appendf("WHERE %s = ", actions->column);
    tail.append_u64(item.insref);
    tail.appendf(" AND %s IS NOT NULL", factor_column->column);
    sql.appendf("SELECT %s,", factor_column->column);
    sql.appendf("%s FROM %s ", type_column->column, actions->table);

    if (const FieldValue* date = find_field(item, 3)) {
        const FieldDef* date_column = find_fielddef(KIND_CORPORATE_ACTION, 3u);
        if (!date_column) {
            log_message(LOG_LEVEL_PROBLEM, "No date found in Corporateactions");
            return 0;
        }
        const char* literal = date->value ? worker.module->mod_add_value(
                                                worker.connection, date->value, date_column->length)
                                          : nullptr;
        if (!literal) {
            log_message(LOG_LEVEL_PROBLEM, "Date is NULL aborting adjustment of pricehistory");
            return 0;
        }
        tail.appendf(" AND %s>", date_column->column);
        tail.append(literal);
    }
    append_tail(worker);

    double all = 1.0;
    double type11 = 1.0;
    double other = 1.0;
    QueryResult actions_after(worker, SQLBUILDS_LABEL);
    if (!actions_after.rows())
        return actions_after.status() == ZEL_RESULT_RERUN ? ZEL_RESULT_RERUN : -1;
    for (const ResultValue* v = actions_after.rows(); v; v = v->next->next) {
        if (!v->next) {
            log_message(LOG_LEVEL_PROBLEM, "Received errenous records from database");
            return 0;
        }
        double factor = v->value ? std::strtod(v->value, nullptr) : 1.0;
        if (!usable_ratio(factor)) {
            // A stored factor of 0, below zero or no number at all would zero the row or
            // divide by zero; it is left out, as the forward adjustment leaves it out.
            log_message(LOG_LEVEL_WARNING,
                        "Corporateaction with unusable factor skipped for the adjusted "
                        "pricehistory of %" PRIu64 " : '%s'",
                        item.insref, v->value ? v->value : "");
            continue;
        }
        all *= factor;
        if (v->next->value && std::strcmp(v->next->value, "11") == 0) {
            type11 *= factor;
        } else {
            other *= factor;
        }
    }
    actions_after.release();
    if (!usable_ratio(all) || !usable_ratio(type11) || !usable_ratio(other)) {
        // Usable factors whose product no longer is (it prints as 0.000000, or overflows):
        // the row is written as it came rather than zeroed.
        log_message(LOG_LEVEL_PROBLEM,
                    "Corporateactions of %" PRIu64
                    " multiply to an unusable ratio, pricehistory row not adjusted",
                    item.insref);
        return -1;
    }

    const MessageDef* adjusted = find_messagedef(KIND_ADJUSTED_HISTORY);
    if (!adjusted) {
        log_message(LOG_LEVEL_PROBLEM, "No adjustedpricehistory found in tabledefinitions");
        return 0;
    }

    sql.clear();
    tail.clear();
    sql.appendf("INSERT INTO %s (%s", adjusted->table, adjusted->column);
    tail.append(" VALUES (");
    tail.append_u64(item.insref);
    int keys = 0;
    int values = 0;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        if (!f->value) continue;
        const FieldDef* def = find_fielddef(KIND_ADJUSTED_HISTORY, f->tag);
        if (!def) continue;
        sql.appendf(",%s", def->column);
        tail.push_back(',');
        if (one_of(f->tag, {3, 4, 97, 789})) {
            append_literal(worker, tail, f->value, def->length);
            ++keys;
            continue;
        }
        ++values;
        if (is_copied_tag(f->tag)) {
            append_literal(worker, tail, f->value, def->length);
        } else if (is_opposite_tag(f->tag)) {
            append_scaled(tail, f->value, '/', other);
        } else if (is_type11_tag(f->tag)) {
            append_scaled(tail, f->value, '*', type11);
        } else {
            append_scaled(tail, f->value, '*', all);
        }
    }
    if (keys < 2 || values == 0) {
        sql.clear();
        tail.clear();
        return 0;
    }
    sql.push_back(')');
    tail.push_back(')');
    append_tail(worker);
    int r = execute(worker, EXEC_TRY_INSERT, SQLBUILDS_LABEL);
    if (r == ZEL_RESULT_RERUN || r == 1) return r;

    // The row exists already: rewrite it.
    sql.clear();
    tail.clear();
    sql.appendf("UPDATE %s SET ", adjusted->table);
    tail.appendf(" WHERE %s=", adjusted->column);
    tail.append_u64(item.insref);
    bool first = true;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        const FieldDef* def = find_fielddef(KIND_ADJUSTED_HISTORY, f->tag);
        if (!def) continue;
        if (f->tag == 3 || f->tag == 97) {
            tail.appendf(" AND %s=", def->column);
            append_literal(worker, tail, f->value, def->length);
            continue;
        }
        if (!first) sql.push_back(',');
        first = false;
        sql.appendf("%s=", def->column);
        if (!f->value) {
            sql.append("NULL");
        } else if (f->tag == 4 || f->tag == 789 || is_copied_tag(f->tag)) {
            append_literal(worker, sql, f->value, def->length);
        } else if (is_opposite_tag(f->tag)) {
            append_scaled(sql, f->value, '/', other);
        } else if (is_type11_tag(f->tag)) {
            append_scaled(sql, f->value, '*', type11);
        } else {
            append_scaled(sql, f->value, '*', all);
        }
    }
    append_tail(worker);
    return execute(worker, EXEC_FALLBACK_UPDATE, SQLBUILDS_LABEL);
}
