// news_coding.cpp - news coding rows and packed list rows (see news_coding.h). Source unit
// "sqlbuilds".
//
// The part of an INSERT that every row shares is built once into the worker's tail and
// copied in front of each row; words are cut out of the field's text into one reused
// buffer. Every value reaches the text as a module literal or through the number rule:
// the news identifier is quoted by the module (it is text from the feed, and it is the
// key of the rows it deletes), company numbers must read as numbers.
#include "zel/sql/news_coding.h"

#include <cstring>
#include <string>
#include <string_view>

#include "zel/base/log.h"
#include "zel/base/message_kinds.h"
#include "zel/sql/execute.h"
#include "zel/sql/sql_values.h"
#include "zel/sql/stamp_values.h"

namespace {

constexpr int kPackedColumns = 20;

// Takes the first word of `rest` (up to its first blank) and leaves in `rest` what follows
// the blanks after it. An empty `rest` gives an empty word.
std::string_view next_word(std::string_view& rest) {
    size_t blank = rest.find(' ');
    std::string_view word = rest.substr(0, blank);
    if (blank == std::string_view::npos) {
        rest = {};
    } else {
        size_t next = rest.find_first_not_of(' ', blank);
        rest = next == std::string_view::npos ? std::string_view{} : rest.substr(next);
    }
    return word;
}

// The end of the record that starts at `from`: the first "|" not escaped by a backslash,
// or the end of the text. The backslashes stay in the record.
size_t record_end(std::string_view text, size_t from) {
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '|') {
            return i;
        }
    }
    return text.size();
}

// Cuts a packed record into at most 20 words at blanks, a backslash making the next
// character literal (the backslash itself is dropped). The words are stored one after
// another in `buffer`, each ended by a NUL, and `starts` gets their offsets. Returns the
// number of words; an empty record has none.
int split_words(std::string_view record, std::string& buffer, size_t (&starts)[kPackedColumns]) {
    buffer.clear();
    if (record.empty()) return 0;
    int words = 1;
    starts[0] = 0;
    for (size_t i = 0; i < record.size(); ++i) {
        char c = record[i];
        if (c == '\\') {
            if (++i == record.size()) break;
            c = record[i];
        } else if (c == ' ') {
            if (words == kPackedColumns) break;  // columns beyond the twentieth are not stored
            buffer.push_back('\0');
            starts[words++] = buffer.size();
            continue;
        }
        buffer.push_back(c);
    }
    buffer.push_back('\0');
    return words;
}

}  // namespace

int news_coding(DbWorker& worker, const QueueItem& item) {
    const FieldDef* date_def = nullptr;
    const FieldDef* isin_def = nullptr;
    const FieldDef* company_def = nullptr;
    const FieldDef* id_def = nullptr;
    const char* date = nullptr;
    const char* isins = nullptr;
    const char* companies = nullptr;
    const char* id = nullptr;
    for (const FieldValue* f = item.fields; f; f = f->next) {
        const FieldDef* fd = find_fielddef(KIND_NEWS_CODING, f->tag);
        if (!fd) continue;
        switch (f->tag) {
            case 3:
                date_def = fd;
                date = f->value;
                break;
            case 167:
                isin_def = fd;
                isins = f->value ? f->value : "";
                break;
            case 85:
                company_def = fd;
                companies = f->value ? f->value : "";
                break;
            case 48:
                id_def = fd;
                id = f->value;
                break;
            default:
                break;
        }
    }
    if (!isin_def && (isin_def = find_fielddef(KIND_NEWS_CODING, 167u))) isins = "";
    if (!company_def && (company_def = find_fielddef(KIND_NEWS_CODING, 85u))) companies = "0";

    const MessageDef* def = find_messagedef(KIND_NEWS_CODING);
    // An identifier without a value could neither find the old rows nor key the new ones.
    if (!def || !def->column || !id_def || !id || (!isin_def && !company_def)) {
        log_message(LOG_LEVEL_PROBLEM,
                    "Error with newscoding: newsref=%p,newsid=%p,isin=%p,company=%p",
                    static_cast<const void*>(def ? def->column : nullptr),
                    static_cast<const void*>(id_def ? id_def->column : nullptr),
                    static_cast<const void*>(isin_def ? isin_def->column : nullptr),
                    static_cast<const void*>(company_def ? company_def->column : nullptr));
        return -1;
    }

    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("DELETE FROM %s WHERE %s = ", def->table, id_def->column);
    append_literal(worker, sql, id, 0);
    if (execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;

    SqlText& prefix = worker.tail;
    prefix.clear();
    prefix.appendf("INSERT INTO %s (%s,%s", def->table, def->column, id_def->column);
    if (date_def) prefix.appendf(",%s", date_def->column);
    if (isin_def) prefix.appendf(",%s", isin_def->column);
    if (company_def) prefix.appendf(",%s", company_def->column);
    prefix.append(") VALUES (");
    prefix.append_u64(item.insref);
    prefix.push_back(',');
    append_literal(worker, prefix, id, 0);
    if (date_def) {
        prefix.push_back(',');
        append_date_value(worker, prefix, date);
    }

    std::string_view isin_rest = isins ? isins : "";
    std::string_view company_rest = companies ? companies : "";
    std::string word;  // an ISIN fits the string's own room: no allocation
    do {
        bool companies_left = !company_rest.empty();
        std::string_view isin = next_word(isin_rest);
        std::string_view company = next_word(company_rest);
        sql.assign(prefix.view());
        if (isin_def) {
            word.assign(isin);
            sql.push_back(',');
            append_literal(worker, sql, word.c_str(), isin_def->length);
        }
        if (company_def) {
            word.assign(companies_left ? company : std::string_view("0"));
            sql.push_back(',');
            append_number(sql, word.c_str());
        }
        sql.push_back(')');
        if (execute(worker, EXEC_TRY_INSERT, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
    } while (!isin_rest.empty() || !company_rest.empty());
    prefix.clear();
    return 1;
}

int packed_list_rows(DbWorker& worker, const QueueItem& item, const MessageDef& def) {
    const FieldDef* columns[kPackedColumns];
    bool any = false;
    for (int i = 0; i < kPackedColumns; ++i) {
        columns[i] = find_fielddef(item.kind, static_cast<unsigned>(i + 1));
        any = any || columns[i];
    }

    SqlText& sql = worker.statement;
    sql.clear();
    sql.appendf("DELETE FROM %s WHERE %s=", def.table, def.column);
    sql.append_u64(item.insref);
    if (execute(worker, EXEC_PLAIN, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN) return ZEL_RESULT_RERUN;

    if (!any || !item.fields || !item.fields->value || !item.fields->value[0]) return 1;
    std::string_view packed = item.fields->value;

    // The column list is the same for every row.
    SqlText& prefix = worker.tail;
    prefix.clear();
    prefix.appendf("INSERT INTO %s (%s", def.table, def.column);
    for (const FieldDef* column : columns) {
        if (column) prefix.appendf(",%s", column->column);
    }
    prefix.append(") VALUES (");
    prefix.append_u64(item.insref);

    std::string words;
    size_t starts[kPackedColumns];
    for (size_t from = 0; from <= packed.size();) {
        size_t end = record_end(packed, from);
        int count = split_words(packed.substr(from, end - from), words, starts);
        from = end + 1;
        if (count == 0) continue;
        sql.assign(prefix.view());
        for (int i = 0; i < kPackedColumns; ++i) {
            if (!columns[i]) continue;
            sql.push_back(',');
            if (i < count) {
                append_field_value(worker, sql, *columns[i], words.c_str() + starts[i]);
            } else {
                sql.append("NULL");
            }
        }
        sql.push_back(')');
        if (execute(worker, EXEC_TRY_INSERT, SQLBUILDS_LABEL) == ZEL_RESULT_RERUN)
            return ZEL_RESULT_RERUN;
    }
    prefix.clear();
    return 1;
}
