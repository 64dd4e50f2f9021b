// reset_statements.cpp - the quote, BBO quote, NOII and greeks resets (see
// reset_statements.h). Source unit "sqlbuilds".
//
// The four differ only in the kind whose table they reset, the wording of their error and
// the spacing of their WHERE clause, which operators' statement logs have always shown;
// one builder serves all four from a description of each.
#include "zel/sql/reset_statements.h"

#include <atomic>
#include <cinttypes>
#include <string>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/stamp_values.h"
#include "zel/sql/status_time.h"

namespace {

struct ResetKind {
    unsigned kind;                    // the kind whose table is reset
    const std::string Config::*list;  // its reset list
    bool spaced;                      // "WHERE insref = 42" rather than "WHERE insref=42"
    const char* name;                 // as in "Error in quotereset line:%d"
    std::atomic<bool>* warned_empty;
};

std::atomic<bool> g_quote_empty{false};
std::atomic<bool> g_bbo_empty{false};
std::atomic<bool> g_noii_empty{false};
std::atomic<bool> g_greeks_empty{false};

const ResetKind kQuote{KIND_QUOTE, &Config::reset_list_quotes, true, "quotereset", &g_quote_empty};
const ResetKind kQuoteBbo{KIND_QUOTE_BBO, &Config::reset_list_quotes_bbo, true, "quotebboreset",
                          &g_bbo_empty};
const ResetKind kNoii{KIND_NOII, &Config::reset_list_noii, false, "noiireset", &g_noii_empty};
const ResetKind kGreeks{KIND_GREEKS, &Config::reset_list_greeks, false, "greeksreset",
                        &g_greeks_empty};

int build_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def,
                const ResetKind& reset) {
    SqlText& sql = worker.statement;
    SqlText& tail = worker.tail;
    sql.clear();
    tail.clear();
    tail.appendf(reset.spaced ? "WHERE %s = " : "WHERE %s=", def.column);
    tail.append_u64(item.insref);

    const char* date = nullptr;
    const char* time = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        if (f->tag == 3) date = f->value;
        if (f->tag == 4) time = f->value;
    }

    const FieldDef* date_def = find_fielddef(reset.kind, 3u);
    if (!date_def) {
        log_message(LOG_LEVEL_PROBLEM, "Error in %s line:%d", reset.name, __LINE__);
        return -1;
    }
    // A table with nothing but the instrument, date and time has nothing to clear: the
    // statement would start "SET ," and the server would refuse it on every day reset.
    const std::string& list = g_config.*(reset.list);
    if (list.empty()) {
        if (!reset.warned_empty->exchange(true)) {
            log_message(LOG_LEVEL_PROBLEM,
                        "Error in %s: the tabledefinitions give message %u no column to reset, "
                        "its rows are not reset",
                        reset.name, reset.kind);
        }
        return 0;
    }
    sql.appendf("UPDATE %s SET ", date_def->table);
    sql.append(list);
    sql.appendf(",%s=", date_def->column);
    if (date) {
        append_date_value(worker, sql, date);
    } else {
        sql.push_back('\'');
        sql.append(date_text(item.kind).c_str());
        sql.push_back('\'');
    }
    sql.push_back(',');

    const FieldDef* time_def = find_fielddef(reset.kind, 4u);
    if (!time_def) {
        log_message(LOG_LEVEL_PROBLEM, "Error in %s line:%d", reset.name, __LINE__);
        return -1;
    }
    sql.appendf("%s=", time_def->column);
    if (time) {
        append_time_value(worker, sql, time);
    } else {
        sql.push_back('\'');
        sql.append(time_text(item.kind).c_str());
        sql.push_back('\'');
    }
    sql.push_back(' ');
    append_tail(worker);
    return 1;
}

}  // namespace

int quote_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    return build_reset(worker, item, def, kQuote);
}

int quote_bbo_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    return build_reset(worker, item, def, kQuoteBbo);
}

int noii_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    return build_reset(worker, item, def, kNoii);
}

int greeks_reset(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    return build_reset(worker, item, def, kGreeks);
}
