// removal.cpp - instrument, order book and basic-data removal (see removal.h). Source unit
// "sqlbuilds".
//
// The lists below name tables by message kind; which of them exist is decided by the table
// definitions and the request switches, so one list serves every installation.
#include "zel/sql/removal.h"

#include <iterator>

#include "zel/base/config.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/execute.h"
#include "zel/tabledef/table_definitions.h"

namespace {

struct Target {
    int32_t Config::*request;  // the switch that must be in force
    unsigned kind;
    const char* tag;
};

// Removed with the instrument unless deleted instruments are kept.
constexpr Target kInstrumentRows[] = {
    {&Config::requestbasicdata, 6, "insref"},
    {&Config::requestl10n, KIND_L10N, "insref"},
    {&Config::requestquotes, KIND_QUOTE, "insref"},
    // The best-bid-and-offer quotes share the quote table: a second DELETE, usually empty.
    {&Config::requestquotesbbo, KIND_QUOTE, "insref"},
    {&Config::requestquoteex, KIND_QUOTE_EX, "insref"},
    {&Config::requestfundamentals, KIND_FUNDAMENTALS, "insref"},
    {&Config::requestestimates, KIND_ESTIMATES_20, "insref"},
    {&Config::requestestimates, KIND_ESTIMATES_21, "insref"},
    {&Config::requestcorporateactions, KIND_CORPORATE_ACTION, "insref"},
    {&Config::requestpricehistory, KIND_PRICE_HISTORY, "insref"},
    {&Config::requestpricehistory, KIND_ADJUSTED_HISTORY, "insref"},
    {&Config::requestci, KIND_CI_26, "insref"},
    {&Config::requestci, KIND_CI_27, "insref"},
    {&Config::requestgreeks, KIND_GREEKS, "insref"},
};

// Removed in every case: live state that means nothing for an instrument that is gone.
constexpr Target kLiveRows[] = {
    {&Config::requestorderbooks, KIND_ORDER_BOOK, "insref"},
    {&Config::requestmbo, KIND_MBO, "insref"},
    {&Config::requestperformance, KIND_PERFORMANCE, "insref"},
    {&Config::requestkeyratios, KIND_KEY_RATIOS, "insref"},
    {&Config::requestnoii, KIND_NOII, "insref"},
};

// The list rows of the instrument, and those of other instruments' lists that refer to it
// (field 55 of kind 12, field 1 of kind 23).
constexpr struct {
    unsigned kind;
    const char* tag;
} kCascade[] = {
    {KIND_IDENTIFIER_LIST, "55"}, {KIND_IDENTIFIER_LIST, "insref"}, {KIND_LIST_297, "1"},
    {KIND_LIST_297, "insref"},    {KIND_LIST_347, "insref"},        {KIND_LIST_375, "insref"},
    {KIND_LIST_66, "insref"},     {KIND_LIST_732, "insref"},
};

void remove_targets(DbWorker& worker, const QueueItem& item, const Target* begin, const Target* end,
                    int* status) {
    for (const Target* t = begin; t != end; ++t) {
        if (Config::in_force(g_config.*(t->request)))
            remove_by_key(worker, item, t->kind, t->tag, status);
    }
}

}  // namespace

void remove_by_key(DbWorker& worker, const QueueItem& item, unsigned kind, const char* tag,
                   int* status) {
    const FieldDef* def = find_fielddef(kind, tag);
    if (!def) return;
    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("DELETE FROM %s WHERE %s=", def->table, def->column);
    sql.append_u64(item.insref);
    if (execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN)
        *status = ZEL_RESULT_RERUN;
}

void basic_data_cascade(DbWorker& worker, const QueueItem& item, int* status) {
    for (const auto& target : kCascade)
        remove_by_key(worker, item, target.kind, target.tag, status);
}

int instrument_removal(DbWorker& worker, const QueueItem& item) {
    int status = 1;
    if (g_config.keepdeleted == 1) {
        const MessageDef* basic = find_messagedef(KIND_BASIC_DATA);
        const FieldDef* state = find_fielddef(KIND_BASIC_DATA, 126u);
        if (basic && state) {
            // 9 in the status column marks the instrument deleted; the start-up skips it.
            SqlText& sql = worker.statement;
            sql.clear();
            sql.appendf("UPDATE %s SET %s=9 ", state->table, state->column);
            sql.appendf("WHERE %s=", basic->column);
            sql.append_u64(item.insref);
            if (execute(worker, EXEC_FALLBACK_UPDATE, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN)
                return ZEL_RESULT_RERUN;
        }
    } else {
        remove_targets(worker, item, std::begin(kInstrumentRows), std::end(kInstrumentRows),
                       &status);
    }
    remove_targets(worker, item, std::begin(kLiveRows), std::end(kLiveRows), &status);
    if (Config::in_force(g_config.requestbasicdata)) basic_data_cascade(worker, item, &status);
    if (Config::in_force(g_config.requestmappings)) {
        remove_by_key(worker, item, 248, "527", &status);
        remove_by_key(worker, item, 248, "insref", &status);
    }
    return status;
}

int book_removal(DbWorker& worker, const QueueItem& item) {
    int status = 1;
    if (Config::in_force(g_config.requestorderbooks) && (item.flags & ITEM_CLEAR_BOOK))
        remove_by_key(worker, item, 251, "insref", &status);
    if (Config::in_force(g_config.requestmbo) && (item.flags & ITEM_CLEAR_MBO))
        remove_by_key(worker, item, 38, "insref", &status);
    return status;
}
