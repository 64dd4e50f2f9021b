// differences.cpp - quote reads, difference pairs, the difference update, the extended-quote
// difference, the difference reset and the follow-ups of quote-like rows (see
// differences.h). Source unit "sqlbuilds".
//
// A quote with a price writes 23 pairs in one statement, so names are formatted into small
// buffers on the stack and every column is found by an array look-up; only the text read
// back from the database is copied, because it outlives the module's result list.
#include "zel/sql/differences.h"

#include <cstdio>
#include <cstdlib>

#include "zel/base/config.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/calculated_columns.h"
#include "zel/sql/execute.h"
#include "zel/sql/query_result.h"
#include "zel/sql/sql_values.h"
#include "zel/sql/stamp_values.h"
#include "zel/tabledef/table_definitions.h"

namespace {

// The periods in the order their pairs are written: column suffix, the performance field
// of the price reference and that of the yield reference.
struct Period {
    const char* suffix;
    unsigned price_tag;
    unsigned yield_tag;
};
constexpr Period kPeriods[] = {
    {"1d", 148, 261},  {"1w", 149, 262},   {"2w", 334, 335},  {"1m", 150, 263},  {"3m", 151, 264},
    {"6m", 152, 265},  {"9m", 153, 266},   {"1y", 154, 267},  {"2y", 155, 268},  {"3y", 249, 269},
    {"4y", 777, 782},  {"5y", 156, 270},   {"6y", 778, 783},  {"7y", 779, 784},  {"8y", 780, 785},
    {"9y", 781, 786},  {"10y", 157, 271},  {"wtd", 158, 272}, {"mtd", 159, 273}, {"qtd", 160, 274},
    {"ytd", 161, 275}, {"pytd", 162, 276}, {"ld", 250, 277},
};
static_assert(sizeof kPeriods / sizeof kPeriods[0] == 23);

// Column names are short; a name that would not fit is not a column of ours.
constexpr size_t kNameRoom = 48;

// Runs worker.statement as a one-value query and copies the value out.
char* read_one(DbWorker& worker, int32_t* status) {
    QueryResult result(worker, SQLBUILDS_LABEL);
    *status = result.status();
    const ResultValue* rows = result.rows();
    if (result.failed() || !rows || !rows->value || !rows->value[0]) return nullptr;
    return queueStrdup(rows->value);
}

char* read_quote_column(DbWorker& worker, uint64_t insref, unsigned tag, int32_t* status) {
    *status = 0;
    const FieldDef* column = find_fielddef(KIND_QUOTE, tag);
    const MessageDef* quotes = find_messagedef(KIND_QUOTE);
    if (!column || !quotes) return nullptr;
    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("SELECT %s FROM %s ", column->column, column->table);
    sql.appendf("WHERE %s=", quotes->column);
    sql.append_u64(insref);
    return read_one(worker, status);
}

// The date and time stamps of the difference row, from the item.
void append_stamps(DbWorker& worker, const char* time, const char* date) {
    SqlText& sql = worker.statement;
    if (time) {
        if (const FieldDef* column = find_fielddef(KIND_DIFFERENCES, 4u)) {
            sql.appendf(",%s=", column->column);
            append_time_value(worker, sql, time);
        }
    }
    if (date) {
        if (const FieldDef* column = find_fielddef(KIND_DIFFERENCES, 3u)) {
            sql.appendf(",%s=", column->column);
            append_date_value(worker, sql, date);
        }
    }
}

void item_stamps(const QueueItem& item, const char** date, const char** time) {
    *date = nullptr;
    *time = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        if (f->tag == 3) *date = f->value;
        if (f->tag == 4) *time = f->value;
    }
}

// Starts "UPDATE table SET " with the tail " WHERE inscol=insref". Null without kind 254.
const MessageDef* start_update(DbWorker& worker, const QueueItem& item) {
    const MessageDef* def = find_messagedef(KIND_DIFFERENCES);
    if (!def) return nullptr;
    worker.statement.clear();
    worker.tail.clear();
    worker.statement.appendf("UPDATE %s SET ", def->table);
    worker.tail.appendf(" WHERE %s=", def->column);
    worker.tail.append_u64(item.insref);
    return def;
}

// A series of one current value against every period: "diff" + suffix, "diffyield" +
// suffix, ... Without the value only the one-day pair is cleared.
void period_pairs(DbWorker& worker, int& count, const char* prefix, const char* value, bool yield) {
    char name[kNameRoom];
    if (!value) {
        std::snprintf(name, sizeof name, "%s1d", prefix);
        difference_pair(worker, count, name, yield ? 261 : 148, nullptr);
        return;
    }
    for (const Period& period : kPeriods) {
        std::snprintf(name, sizeof name, "%s%s", prefix, period.suffix);
        difference_pair(worker, count, name, yield ? period.yield_tag : period.price_tag, value);
    }
}

// Bid and bid yield have one reference for both of their periods.
void bid_pairs(DbWorker& worker, int& count, const char* prefix, unsigned tag, const char* value) {
    char name[kNameRoom];
    std::snprintf(name, sizeof name, "%s1d", prefix);
    difference_pair(worker, count, name, tag, value);
    if (value) {
        std::snprintf(name, sizeof name, "%s1w", prefix);
        difference_pair(worker, count, name, tag, value);
    }
}

// Hands a read's copy to a current-value slot, marking it present.
void take_slot(char*& slot, uint8_t& present, char* text) {
    std::free(slot);
    slot = text;
    present = 1;
}

// A plain statement whose result matters only for a rerun: it may go in the batch.
int execute_built(DbWorker& worker, int built) {
    if (built <= 0) return 0;
    return submit(worker, EXEC_PLAIN, SQLBUILDS_LABEL);
}

}  // namespace

char* read_quote_price(DbWorker& worker, uint64_t insref, const InstrumentType* instrument,
                       int32_t* status) {
    unsigned tag = instrument && instrument->type == 3 ? 93 : 7;
    return read_quote_column(worker, insref, tag, status);
}

char* read_quote_bid(DbWorker& worker, uint64_t insref, int32_t* status) {
    return read_quote_column(worker, insref, 5, status);
}

char* read_quote_yield(DbWorker& worker, uint64_t insref, int32_t* status) {
    return read_quote_column(worker, insref, 76, status);
}

char* read_quote_bid_yield(DbWorker& worker, uint64_t insref, int32_t* status) {
    return read_quote_column(worker, insref, 74, status);
}

char* read_one_day_reference(DbWorker& worker, uint64_t insref, int32_t* status) {
    *status = 0;
    if (g_config.requestperformance == 0) return nullptr;
    const FieldDef* column = find_fielddef(KIND_PERFORMANCE, 148u);
    const MessageDef* performance = find_messagedef(KIND_PERFORMANCE);
    if (!column || !performance) return nullptr;
    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("SELECT %s FROM %s WHERE %s=", column->column, column->table, performance->column);
    sql.append_u64(insref);
    return read_one(worker, status);
}

void difference_pair(DbWorker& worker, int& count, const char* name, unsigned reference_tag,
                     const char* value) {
    char percent_name[kNameRoom];
    if (std::snprintf(percent_name, sizeof percent_name, "%sprc", name) >=
        static_cast<int>(sizeof percent_name))
        return;
    const FieldDef* difference = find_fielddef(KIND_DIFFERENCES, name);
    const FieldDef* reference = find_fielddef(KIND_PERFORMANCE, reference_tag);
    const FieldDef* percent = find_fielddef(KIND_DIFFERENCES, percent_name);
    if (!difference || !reference || !percent) return;

    // The value is written into arithmetic: a text that is not a number could change the
    // statement, so it counts as no value and the pair is cleared.
    if (!is_sql_number(value)) value = nullptr;
    SqlText& sql = worker.statement;
    if (count > 0) sql.push_back(',');
    if (value) {
        sql.appendf("%s=%s-%s", difference->column, value, reference->column);
        sql.appendf(",%s=(%s-%s)/NULLIF(%s,0)*100 ", percent->column, value, reference->column,
                    reference->column);
    } else {
        sql.appendf("%s=NULL,%s=NULL", difference->column, percent->column);
    }
    ++count;
}

int difference_update(DbWorker& worker, const QueueItem& item) {
    if (!start_update(worker, item)) return -1;
    const char* date;
    const char* time;
    item_stamps(item, &date, &time);

    int count = 0;
    if (item.price_present) period_pairs(worker, count, "diff", item.price, false);
    if (item.yield_present) period_pairs(worker, count, "diffyield", item.yield, true);
    if (item.bid_present) bid_pairs(worker, count, "diffbid", 354, item.bid);
    if (item.bid_yield_present) bid_pairs(worker, count, "diffbidyield", 355, item.bid_yield);
    if (count == 0) return 0;

    append_stamps(worker, time, date);
    append_tail(worker);
    return 1;
}

int extended_quote_difference(DbWorker& worker, const QueueItem& item) {
    if (!start_update(worker, item)) return -1;
    if (!item.price_present) return 0;
    const char* date;
    const char* time;
    item_stamps(item, &date, &time);

    int count = 0;
    difference_pair(worker, count, "diffex1d", 40, item.price);
    if (count == 0) return 0;
    append_stamps(worker, time, date);
    append_tail(worker);
    return 1;
}

int difference_reset(DbWorker& worker, const QueueItem& item) {
    if (!start_update(worker, item)) return -1;
    const char* date;
    const char* time;
    item_stamps(item, &date, &time);

    static constexpr const char* kOneDay[][2] = {{"diff1dprc", "diff1d"},
                                                 {"diffbid1dprc", "diffbid1d"},
                                                 {"diffyield1dprc", "diffyield1d"},
                                                 {"diffbidyield1dprc", "diffbidyield1d"}};
    SqlText& sql = worker.statement;
    int pairs = 0;
    for (const auto& names : kOneDay) {
        const FieldDef* percent = find_fielddef(KIND_DIFFERENCES, names[0]);
        const FieldDef* difference = find_fielddef(KIND_DIFFERENCES, names[1]);
        if (!percent || !difference) continue;
        if (pairs > 0) sql.push_back(',');
        sql.appendf("%s=NULL,%s=NULL ", percent->column, difference->column);
        ++pairs;
    }
    if (pairs == 0) return 0;
    append_stamps(worker, time, date);
    append_tail(worker);
    return 1;
}

int keyratio_price(DbWorker& worker, QueueItem& item, const InstrumentType* instrument) {
    int32_t status = 0;
    char* price = read_quote_price(worker, item.insref, instrument, &status);
    if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    if (!price) {
        price = read_one_day_reference(worker, item.insref, &status);
        if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    }
    if (price) take_slot(item.price, item.price_present, price);
    return 0;
}

int quote_followups(DbWorker& worker, QueueItem& item, const InstrumentType* instrument) {
    switch (item.kind) {
        case KIND_QUOTE: {
            bool any = item.price_present || item.yield_present || item.bid_present ||
                       item.bid_yield_present;
            if (Config::in_force(g_config.requestperformance) && any &&
                execute_built(worker, difference_update(worker, item)) == ZEL_RESULT_RERUN)
                return ZEL_RESULT_RERUN;
            if (item.price_present && Config::in_force(g_config.requestkeyratios))
                return execute_built(worker, keyratio_update(worker, item));
            return 0;
        }
        case KIND_PERFORMANCE: {
            constexpr uint32_t kChanged =
                ITEM_PERF_PRICE | ITEM_PERF_YIELD | ITEM_PERF_BID | ITEM_PERF_BIDYIELD;
            if (!(item.flags & kChanged) || !Config::in_force(g_config.requestquotes)) return 0;
            int32_t status = 0;
            if (item.flags & ITEM_PERF_PRICE) {
                char* text = read_quote_price(worker, item.insref, instrument, &status);
                if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
                take_slot(item.price, item.price_present, text);
            }
            if (item.flags & ITEM_PERF_BID) {
                char* text = read_quote_bid(worker, item.insref, &status);
                if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
                take_slot(item.bid, item.bid_present, text);
            }
            if (item.flags & ITEM_PERF_YIELD) {
                char* text = read_quote_yield(worker, item.insref, &status);
                if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
                take_slot(item.yield, item.yield_present, text);
            }
            if (item.flags & ITEM_PERF_BIDYIELD) {
                char* text = read_quote_bid_yield(worker, item.insref, &status);
                if (status == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
                take_slot(item.bid_yield, item.bid_yield_present, text);
            }
            return execute_built(worker, difference_update(worker, item));
        }
        case KIND_QUOTE_EX:
            if (item.price_present && Config::in_force(g_config.requestperformance))
                return execute_built(worker, extended_quote_difference(worker, item));
            return 0;
        default:
            return 0;
    }
}
