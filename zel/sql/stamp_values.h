// stamp_values.h - dates, times and identifiers that the builders place between quotes
// themselves (source unit "sqlbuilds").
//
// The reset, difference, calculated-column, news and minute-bar statements stamp rows with
// a date and a time that come either from the item or from the clock. A text from the item
// that reads as a plain date or time is written between quotes as it stands (it cannot hold
// a quote); anything else is handed to the module as a literal, so the database judges it
// and a stray quote can never end the literal early. Called on a database thread with its
// own worker; nothing is kept, no lock is taken.
#pragma once

#include "zel/sql/db_worker.h"
#include "zel/sql/sql_text.h"
#include "zel/sql/sql_values.h"

// Appends 'text' for a date "YYYY-MM-DD", else the module's literal of the text (NULL
// when absent).
inline void append_date_value(DbWorker& worker, SqlText& out, const char* text) {
    if (is_sql_date(text)) {
        out.push_back('\'');
        out.append(text);
        out.push_back('\'');
    } else {
        append_literal(worker, out, text, 0);
    }
}

// The same for a time "HH:MM[:SS[.f...]]".
inline void append_time_value(DbWorker& worker, SqlText& out, const char* text) {
    if (is_sql_time(text)) {
        out.push_back('\'');
        out.append(text);
        out.push_back('\'');
    } else {
        append_literal(worker, out, text, 0);
    }
}
