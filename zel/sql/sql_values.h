// sql_values.h - how a value from the feed enters SQL text. Every builder writes values
// only through these helpers.
//
// The rule: table and column names come from the table definitions alone; a value from
// the feed is either
//   - a literal: quoted and escaped by the module (mod_add_value on the worker's
//     connection, cut to a number of characters), or NULL when the value is absent or the
//     module returns nothing; or
//   - a number written as it stands, but only when it reads as one (optional sign, digits
//     with an optional fraction, an optional exponent; nothing else: no blanks, no NaN or
//     infinity, no hexadecimal), and NULL otherwise.
// So a value with a quote, a semicolon or a backslash can never change what a statement
// means. The date and time checks serve builders that put a date or a time between quotes
// themselves.
//
// Called by the builders on their database thread; the module's literal lives in the
// connection's scratch buffer, which only that thread uses, and is copied at once.
#pragma once

#include <cstdint>

#include "zel/queues/queue_item.h"
#include "zel/sql/db_worker.h"
#include "zel/sql/sql_text.h"
#include "zel/tabledef/table_definitions.h"

// Whether `text` is a plain decimal number (see above). Null and "" are not.
bool is_sql_number(const char* text);
// Whether `text` is a date "YYYY-MM-DD" (four-digit year, month 01-12, day 01-31).
bool is_sql_date(const char* text);
// Whether `text` is a time "HH:MM", "HH:MM:SS" or "HH:MM:SS.f..." (hour 00-23, minute and
// second 00-59, any number of fraction digits after the point).
bool is_sql_time(const char* text);

// Appends `value` as the module's literal, cut to `max_chars` characters (0: no limit), or
// NULL when the value is null or the module returns nothing.
void append_literal(DbWorker& worker, SqlText& out, const char* value, uint64_t max_chars);
// Appends `value` unchanged when it is a number, else NULL.
void append_number(SqlText& out, const char* value);
// Appends a field's value the way its column takes it: numeric columns by the number
// rule, every other column as a literal cut to the column's length.
void append_field_value(DbWorker& worker, SqlText& out, const FieldDef& def, const char* value);

// Writes a current-value slot of a QueueItem (the price, yield, bid or bid-yield text with
// its present marker): the old text is released, the slot gets a copy of `value` (null
// stays null) and is marked present.
void set_current_value(char*& slot, uint8_t& present, const char* value);

// The item's first field with `tag`, or null (also when the item has none).
inline const FieldValue* find_field(const QueueItem& item, uint32_t tag) {
    return fieldListFind(item.fields, tag);
}
