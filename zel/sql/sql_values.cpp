// sql_values.cpp - the value helpers of the statement builders (see sql_values.h).
//
// These run for every field of every statement, so they allocate nothing: the number,
// date and time checks walk the text once, and a literal is copied straight from the
// module's scratch buffer into the statement.
#include "zel/sql/sql_values.h"

#include <cstdlib>
#include <cstring>

#include "zel/queues/queue_item.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Two digits at `p` forming a number from `low` to `high`.
bool two_digits(const char* p, int low, int high) {
    if (!is_digit(p[0]) || !is_digit(p[1])) return false;
    int value = (p[0] - '0') * 10 + (p[1] - '0');
    return value >= low && value <= high;
}

}  // namespace

bool is_sql_number(const char* text) {
    if (!text) return false;
    const char* p = text;
    if (*p == '+' || *p == '-') ++p;
    int digits = 0;
    while (is_digit(*p)) {
        ++p;
        ++digits;
    }
    if (*p == '.') {
        ++p;
        while (is_digit(*p)) {
            ++p;
            ++digits;
        }
    }
    if (digits == 0) return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!is_digit(*p)) return false;
        while (is_digit(*p))
            ++p;
    }
    return *p == '\0';
}

bool is_sql_date(const char* text) {
    if (!text) return false;
    for (int i = 0; i < 4; ++i) {
        if (!is_digit(text[i])) return false;
    }
    return text[4] == '-' && two_digits(text + 5, 1, 12) && text[7] == '-' &&
           two_digits(text + 8, 1, 31) && text[10] == '\0';
}

bool is_sql_time(const char* text) {
    if (!text) return false;
    if (!two_digits(text, 0, 23) || text[2] != ':' || !two_digits(text + 3, 0, 59)) return false;
    const char* p = text + 5;
    if (*p == '\0') return true;
    if (*p != ':' || !two_digits(p + 1, 0, 59)) return false;
    p += 3;
    if (*p == '\0') return true;
    if (*p != '.' || !is_digit(p[1])) return false;
    ++p;
    while (is_digit(*p))
        ++p;
    return *p == '\0';
}

void append_literal(DbWorker& worker, SqlText& out, const char* value, uint64_t max_chars) {
    const char* literal =
        value ? worker.module->mod_add_value(worker.connection, value, max_chars) : nullptr;
    out.append(literal ? literal : "NULL");
}

void append_number(SqlText& out, const char* value) {
    out.append(is_sql_number(value) ? value : "NULL");
}

void append_field_value(DbWorker& worker, SqlText& out, const FieldDef& def, const char* value) {
    if (def.numeric) {
        append_number(out, value);
    } else {
        append_literal(worker, out, value, def.length);
    }
}

void set_current_value(char*& slot, uint8_t& present, const char* value) {
    std::free(slot);
    slot = queueStrdup(value);
    present = 1;
}
