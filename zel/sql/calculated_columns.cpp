// calculated_columns.cpp - the key-ratio recompute (see calculated_columns.h). Source unit
// "sqlbuilds".
//
// The formulas, with B the price and S the stored raw value (the field's second column):
// calc 1 is S/B (a yield, in percent with a factor of 100), calc 2 is B/S (a multiple such
// as price to earnings), calc 3 is B*S (a value such as market capitalisation); a factor,
// when the definition gives one, multiplies the result. These are the row writer's
// formulas with the raw value read from its column, so the recompute and the row writer
// never disagree about which way a ratio runs. NULLIF turns a zero divisor into NULL.
#include "zel/sql/calculated_columns.h"

#include "zel/base/config.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/sql_values.h"
#include "zel/sql/stamp_values.h"
#include "zel/tabledef/table_definitions.h"

namespace {

// The expression of a calculated column from the price text (a checked number) and the
// raw-value column; false for a calc code without a formula.
bool append_formula(SqlText& sql, const FieldDef& def, const char* price) {
    const char* raw = def.column2;
    switch (def.calc) {
        case 1:
        case 2: {
            const char* dividend = def.calc == 1 ? raw : price;
            const char* divisor = def.calc == 1 ? price : raw;
            if (def.factor) {
                sql.appendf("(%s/NULLIF(%s,0))*%s", dividend, divisor, def.factor);
            } else {
                sql.appendf("%s/NULLIF(%s,0)", dividend, divisor);
            }
            return true;
        }
        case 3:
            if (def.factor) {
                sql.appendf("%s*%s*%s", price, raw, def.factor);
            } else {
                sql.appendf("%s*%s", price, raw);
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

int keyratio_update(DbWorker& worker, const QueueItem& item) {
    const std::vector<const FieldDef*>& fields = g_config.calc_keyratio_fields;
    if (fields.empty() || !item.price_present || !item.price) return 0;
    const MessageDef* def = find_messagedef(KIND_KEY_RATIOS);
    if (!def) return -1;

    // The price goes into arithmetic: a text that is not a number sets each column to
    // NULL rather than reaching the statement.
    const char* price = is_sql_number(item.price) ? item.price : nullptr;
    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("UPDATE %s SET", fields.front()->table);
    int assignments = 0;
    for (const FieldDef* field : fields) {
        if (field->calc < 1 || field->calc > 3) continue;
        sql.push_back(assignments == 0 ? ' ' : ',');
        sql.appendf("%s=", field->column);
        if (price) {
            append_formula(sql, *field, price);
        } else {
            sql.append("NULL");
        }
        ++assignments;
    }
    if (assignments == 0) return 0;

    const char* time = nullptr;
    const char* date = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        if (f->tag == 4) time = f->value;
        if (f->tag == 3) date = f->value;
    }
    if (time) {
        if (const FieldDef* column = find_fielddef(KIND_KEY_RATIOS, 4u)) {
            sql.appendf(",%s=", column->column);
            append_time_value(worker, sql, time);
        }
    }
    if (date) {
        if (const FieldDef* column = find_fielddef(KIND_KEY_RATIOS, 3u)) {
            sql.appendf(",%s=", column->column);
            append_date_value(worker, sql, date);
        }
    }
    sql.appendf(" WHERE %s=", def->column);
    sql.append_u64(item.insref);
    return assignments;
}
