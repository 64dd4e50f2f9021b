// list_rows.cpp - news tags and identifier lists (see list_rows.h). Source unit
// "sqlbuilds".
//
// Values from the feed reach the text only as module literals (news identifier, tag words,
// a textual second key) or as checked numbers (list elements are read digit by digit here;
// a numeric second key must read as a number). Dates go between quotes only when they are
// dates.
#include "zel/sql/list_rows.h"

#include <cinttypes>
#include <cstring>
#include <string>
#include <string_view>

#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/execute.h"
#include "zel/sql/sql_values.h"
#include "zel/sql/stamp_values.h"

namespace {

int run(DbWorker& worker) {
    return execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN ? ZEL_RESULT_RERUN : 1;
}

// The end of the tag entry that starts at `from`: the first "|" not escaped by a
// backslash, or the end of the text.
size_t entry_end(std::string_view text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '|') {
            return i;
        }
    }
    return text.size();
}

// The first word of a tag entry: up to the first blank that is not escaped, with the
// escaping backslashes removed.
void first_word(std::string_view entry, std::string& word) {
    word.clear();
    for (size_t i = 0; i < entry.size(); ++i) {
        char c = entry[i];
        if (c == '\\') {
            if (++i == entry.size()) break;
            c = entry[i];
        } else if (c == ' ') {
            break;
        }
        word.push_back(c);
    }
}

// What an identifier list asks for.
enum class ListOp { Replace, Add, Remove };

// The statements of one identifier list; kind 248 adds the second key to the whole-list
// delete and to every insert.
struct ListTarget {
    DbWorker& worker;
    const MessageDef& def;
    const FieldDef& list;
    const FieldDef* key;    // kind 248's second key column, else null
    const char* key_value;  // its value as the statement takes it (a literal or a number)
    uint64_t insref;

    int delete_all() {
        SqlText& sql = worker.statement;
        sql.clear();
        sql.appendf("DELETE FROM %s WHERE %s=", def.table, def.column);
        sql.append_u64(insref);
        if (key) sql.appendf(" AND %s=%s", key->column, key_value);
        return run(worker);
    }
    int insert(uint64_t number) {
        SqlText& sql = worker.statement;
        sql.clear();
        if (key) {
            sql.appendf("INSERT INTO %s (%s,%s,%s) VALUES (", def.table, def.column, list.column,
                        key->column);
        } else {
            sql.appendf("INSERT INTO %s (%s,%s) VALUES (", def.table, def.column, list.column);
        }
        sql.append_u64(insref);
        sql.push_back(',');
        sql.append_u64(number);
        if (key) sql.appendf(",%s", key_value);
        sql.push_back(')');
        // Adding an element the list already holds changes nothing: the row exists, and
        // the server's refusal of the duplicate is not a failed update.
        return execute(worker, EXEC_TRY_INSERT, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN
                   ? ZEL_RESULT_RERUN
                   : 1;
    }
    // The stored element goes whatever second key it was stored under.
    int remove(uint64_t number) {
        SqlText& sql = worker.statement;
        sql.clear();
        sql.appendf("DELETE FROM %s WHERE %s=", def.table, def.column);
        sql.append_u64(insref);
        sql.appendf(" AND %s=", list.column);
        sql.append_u64(number);
        return run(worker);
    }
};

}  // namespace

int news_tags(DbWorker& worker, const QueueItem& item) {
    const FieldDef* date_def = nullptr;
    const FieldDef* tags_def = nullptr;
    const FieldDef* id_def = nullptr;
    const char* date = nullptr;
    const char* tags = nullptr;
    const char* id = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        const FieldDef* fd = find_fielddef(item.kind, f->tag);
        if (!fd) continue;
        if (f->tag == 3) {
            date_def = fd;
            date = f->value;
        } else if (f->tag == 620) {
            tags_def = fd;
            tags = f->value;
        } else if (f->tag == 48) {
            id_def = fd;
            id = f->value;
        }
    }
    // Without an identifier the old tags cannot be found, nor the new ones keyed.
    if (!date_def || !tags_def || !id_def || !id) return 1;
    const MessageDef* def = find_messagedef(item.kind);
    if (!def) {
        log_message(LOG_LEVEL_PROBLEM, "Error looking up newstags table %u:insref", item.kind);
        return -1;
    }

    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("DELETE FROM %s WHERE %s=", def->table, id_def->column);
    append_literal(worker, sql, id, 0);
    sql.appendf(" AND %s=", def->column);
    sql.append_u64(item.insref);
    if (run(worker) == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    if (!tags) return 1;

    // Everything before the tag word is the same for every row.
    SqlText& prefix = worker.tail;
    prefix.clear();
    prefix.appendf("INSERT INTO %s (%s,%s,%s,%s) VALUES (", def->table, id_def->column, def->column,
                   date_def->column, tags_def->column);
    append_literal(worker, prefix, id, 0);
    prefix.push_back(',');
    prefix.append_u64(item.insref);
    prefix.push_back(',');
    append_date_value(worker, prefix, date);

    std::string_view text = tags;
    std::string word;
    for (size_t from = 0; from < text.size();) {
        size_t end = entry_end(text, from);
        std::string_view entry = text.substr(from, end - from);
        from = end + 1;
        first_word(entry, word);
        if (word.empty()) continue;  // an empty entry (or one that starts blank) tags nothing
        sql.assign(prefix.view());
        sql.push_back(',');
        append_literal(worker, sql, word.c_str(), tags_def->length);
        sql.push_back(')');
        if (execute(worker, EXEC_TRY_INSERT, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
    }
    prefix.clear();
    return 1;
}

int identifier_list(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    const bool second_key = item.kind == KIND_IDENTIFIER_LIST_KEYED;
    const FieldDef* list_def = find_fielddef(item.kind, second_key ? 527u : 55u);
    if (!list_def) return 1;
    const FieldDef* key_def = nullptr;
    std::string key_text;
    if (second_key) {
        key_def = find_fielddef(item.kind, 54u);
        const FieldValue* key = fieldListFind(item.fields, 54);
        if (!key_def || !key || !key->value) return 1;
        // The second key selects whose list this is: one that cannot be written as what
        // its column holds would touch the wrong rows or none.
        if (key_def->numeric && !is_sql_number(key->value)) {
            log_message(LOG_LEVEL_PROBLEM,
                        "Identifier list of %" PRIu64
                        " not stored: second key '%s' is not a number",
                        item.insref, key->value);
            return 1;
        }
        SqlText& scratch = worker.tail;
        scratch.clear();
        append_field_value(worker, scratch, *key_def, key->value);
        key_text.assign(scratch.view());
        scratch.clear();
    }
    ListTarget target{worker, def, *list_def, key_def, key_text.c_str(), item.insref};

    const FieldValue* field = fieldListFind(item.fields, second_key ? 527 : 55);
    const char* text = field ? field->value : nullptr;
    if (!text || !*text) return target.delete_all();

    ListOp op = ListOp::Replace;
    if (*text == '=') {
        ++text;
    } else if (*text == '+') {
        op = ListOp::Add;
        ++text;
    } else if (*text == '-') {
        op = ListOp::Remove;
        ++text;
    }
    if (op == ListOp::Replace && target.delete_all() == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;

    for (const char* p = text; *p;) {
        if (*p < '0' || *p > '9') {
            ++p;  // not the start of a number: skipped on its own
            continue;
        }
        uint64_t number = 0;
        bool overflow = false;
        for (; *p >= '0' && *p <= '9'; ++p) {
            unsigned digit = static_cast<unsigned>(*p - '0');
            if (number > (UINT64_MAX - digit) / 10) overflow = true;
            number = number * 10 + digit;
        }
        if (overflow) {
            log_message(LOG_LEVEL_PROBLEM,
                        "Identifier list of %" PRIu64 ": element beyond 64 bits skipped",
                        item.insref);
            continue;
        }
        int r = op == ListOp::Remove ? target.remove(number) : target.insert(number);
        if (r == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;
    }
    return 1;
}
