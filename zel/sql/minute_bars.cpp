// minute_bars.cpp - the minute bar builder (see minute_bars.h). Source unit "sqlbuilds".
//
// Which trades count: a trade whose flags carry 0x10 (cancelled) counts for nothing; 0x80
// lets its prices into the two price series, 0x40 its quantity into volume and turnover.
// "First" and "last" follow the order in which the database returns the rows.
//
// The minute is selected up to the last representable instant of its 59th second: trade
// times carry fractions of a second (microseconds unless configured shorter), and a bound
// of ':59' alone would leave every trade after the 59th whole second out of its bar.
#include "zel/sql/minute_bars.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/execute.h"
#include "zel/sql/query_result.h"
#include "zel/sql/sql_values.h"

namespace {

constexpr uint32_t kCancelled = 0x10;
constexpr uint32_t kCountsPrice = 0x80;
constexpr uint32_t kCountsVolume = 0x40;

// first, high, low and last of one price series; NaN until a price arrives.
struct Series {
    double first = NAN;
    double high = NAN;
    double low = NAN;
    double last = NAN;

    bool has_values() const { return !std::isnan(last); }
    void add(double price) {
        last = price;
        if (std::isnan(first)) first = price;
        if (std::isnan(high) || price > high) high = price;
        if (std::isnan(low) || price < low) low = price;
    }
};

// A value read back from a numeric column; NaN for NULL (and for anything not finite,
// which "%f" would print as a word the server cannot read).
double number_of(const char* text) {
    if (!text) return NAN;
    double value = std::strtod(text, nullptr);
    return std::isfinite(value) ? value : NAN;
}

// The bar's key condition: instrument and bar timestamp "date HH:MM:00".
void append_bar_key(SqlText& sql, const MessageDef& def, const FieldDef& stamp, uint64_t insref,
                    const char* date, const char* minute) {
    sql.appendf(" WHERE %s=", def.column);
    sql.append_u64(insref);
    sql.appendf(" AND %s='%s %s00'", stamp.column, date, minute);
}

int delete_bar(DbWorker& worker, const MessageDef& def, const FieldDef& stamp, uint64_t insref,
               const char* date, const char* minute) {
    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("DELETE FROM %s", def.table);
    append_bar_key(sql, def, stamp, insref, date, minute);
    return submit(worker, EXEC_PLAIN, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN ? ZEL_RESULT_RERUN : 1;
}

}  // namespace

int minute_bar(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    const FieldDef* bar[11];
    for (unsigned i = 0; i < 11; ++i) {
        bar[i] = find_fielddef(item.kind, i + 1);
        if (!bar[i]) return 1;
    }
    const MessageDef* trades = find_messagedef(KIND_TRADE);
    const FieldDef* price_col = find_fielddef(KIND_TRADE, 12u);
    const FieldDef* second_col = find_fielddef(KIND_TRADE, 201u);
    const FieldDef* quantity_col = find_fielddef(KIND_TRADE, 13u);
    const FieldDef* flags_col = find_fielddef(KIND_TRADE, 15u);
    const FieldDef* date_col = find_fielddef(KIND_TRADE, 3u);
    const FieldDef* time_col = find_fielddef(KIND_TRADE, 36u);
    if (!trades || !price_col || !second_col || !quantity_col || !flags_col || !date_col ||
        !time_col)
        return 1;

    const FieldValue* date_field = fieldListFind(item.fields, 3);
    const FieldValue* time_field = fieldListFind(item.fields, 36);
    if (!date_field || !date_field->value || !time_field || !time_field->value) return 1;
    const char* date = date_field->value;
    // The minute prefix "HH:MM:"; both texts go between quotes, so each must be what it
    // claims to be.
    char minute[8] = {};
    std::memcpy(minute, time_field->value, std::min<size_t>(6, std::strlen(time_field->value)));
    char hour_minute[6] = {};
    std::memcpy(hour_minute, minute, 5);
    if (!is_sql_date(date) || minute[5] != ':' || !is_sql_time(hour_minute)) {
        log_message(LOG_LEVEL_PROBLEM,
                    "Minute bar for %" PRIu64 " not built: trade date '%s' or time '%s' unusable",
                    item.insref, date, time_field->value);
        return 1;
    }
    const FieldDef& stamp = *bar[10];

    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("SELECT %s,%s,%s,%s FROM %s WHERE %s=", price_col->column, second_col->column,
                quantity_col->column, flags_col->column, trades->table, trades->column);
    sql.append_u64(item.insref);
    sql.appendf(" AND %s='%s' AND %s >= '%s00' AND %s <= '%s59.999999'", date_col->column, date,
                time_col->column, minute, time_col->column, minute);
    QueryResult trades_of_minute(worker, SQLBUILDS_LABEL);
    if (trades_of_minute.failed()) return trades_of_minute.status();
    if (!trades_of_minute.rows()) {
        trades_of_minute.release();
        return delete_bar(worker, def, stamp, item.insref, date, minute);
    }

    Series prices;
    Series seconds;
    double volume = 0;
    double turnover = 0;
    for (const ResultValue* row = trades_of_minute.rows(); row;) {
        // Four values per row: price, second price, quantity, flags.
        const ResultValue* cells[4] = {};
        for (const ResultValue*& cell : cells) {
            cell = row;
            if (row) row = row->next;
        }
        if (!cells[3] || !cells[3]->value) continue;
        auto flags = static_cast<uint32_t>(std::strtol(cells[3]->value, nullptr, 10));
        if (flags & kCancelled) continue;
        double price = number_of(cells[0]->value);
        double second = number_of(cells[1]->value);
        if (flags & kCountsVolume) {
            double quantity = number_of(cells[2]->value);
            if (std::isnan(quantity)) quantity = 0;
            volume += quantity;
            if (!std::isnan(price)) turnover += quantity * price;
        }
        if (flags & kCountsPrice) {
            if (!std::isnan(price)) prices.add(price);
            if (!std::isnan(second)) seconds.add(second);
        }
    }
    trades_of_minute.release();

    if (!prices.has_values() && !seconds.has_values())
        return delete_bar(worker, def, stamp, item.insref, date, minute);

    // The INSERT, for a bar the UPDATE finds no row of, is made now: the UPDATE may wait in
    // the thread's batch of statements, and its answer comes when the trades it was built
    // from are gone.
    sql.clear();
    sql.appendf("INSERT INTO %s (%s,", def.table, def.column);
    if (prices.has_values())
        sql.appendf("%s,%s,%s,%s,", bar[0]->column, bar[1]->column, bar[2]->column, bar[3]->column);
    if (seconds.has_values())
        sql.appendf("%s,%s,%s,%s,", bar[4]->column, bar[5]->column, bar[6]->column, bar[7]->column);
    sql.appendf("%s,%s,%s) VALUES (", bar[8]->column, bar[9]->column, stamp.column);
    sql.append_u64(item.insref);
    for (const Series* series : {&prices, &seconds}) {
        if (series->has_values())
            sql.appendf(",%f,%f,%f,%f", series->first, series->high, series->low, series->last);
    }
    sql.appendf(",%f,%f,'%s %s00')", volume, turnover, date, minute);
    std::string insert(sql.view());

    sql.clear();
    sql.appendf("UPDATE %s SET", def.table);
    char separator = ' ';
    auto assign = [&](const FieldDef* column, double value) {
        sql.push_back(separator);
        sql.appendf("%s=%f", column->column, value);
        separator = ',';
    };
    if (prices.has_values()) {
        assign(bar[0], prices.first);
        assign(bar[1], prices.high);
        assign(bar[2], prices.low);
        assign(bar[3], prices.last);
    }
    if (seconds.has_values()) {
        assign(bar[4], seconds.first);
        assign(bar[5], seconds.high);
        assign(bar[6], seconds.low);
        assign(bar[7], seconds.last);
    }
    assign(bar[8], volume);
    assign(bar[9], turnover);
    append_bar_key(sql, def, stamp, item.insref, date, minute);
    int r = submit(worker, EXEC_TRY_UPDATE, SQLBUILDS_LABEL,
                   [insert = std::move(insert)](DbWorker& w, int updated) {
                       if (updated != 0) return 0;
                       w.statement.assign(insert);
                       return submit(w, EXEC_PLAIN, SQLBUILDS_LABEL);
                   });
    return r == ZEL_RESULT_RERUN ? ZEL_RESULT_RERUN : 1;
}
