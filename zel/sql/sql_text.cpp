// sql_text.cpp - the growable statement text (see sql_text.h).
//
// Growth doubles the buffer (at least to what the append needs), so a builder that appends
// piece by piece costs a handful of reallocations over the whole run. Running out of memory
// ends the program: a statement cannot be half-built, and the update it carries would
// otherwise be lost without a trace.
#include "zel/sql/sql_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel/base/log.h"

namespace {

[[noreturn]] void out_of_memory() {
    log_message(LOG_LEVEL_ERROR, "Out of memory building an SQL statement");
    std::abort();
}

}  // namespace

SqlText::SqlText() {
    data_ = static_cast<char*>(std::malloc(kInitialCapacity));
    if (!data_) out_of_memory();
    capacity_ = kInitialCapacity;
    data_[0] = '\0';
}

SqlText::~SqlText() {
    std::free(data_);
}

void SqlText::reserve_more(size_t more) {
    size_t needed = size_ + more + 1;
    if (needed <= capacity_) return;
    size_t grown = capacity_ * 2;
    if (grown < needed) grown = needed;
    char* bigger = static_cast<char*>(std::realloc(data_, grown));
    if (!bigger) out_of_memory();
    data_ = bigger;
    capacity_ = grown;
}

void SqlText::append(const char* text) {
    if (text) append(std::string_view(text));
}

void SqlText::append(std::string_view text) {
    reserve_more(text.size());
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
    data_[size_] = '\0';
}

void SqlText::push_back(char c) {
    reserve_more(1);
    data_[size_++] = c;
    data_[size_] = '\0';
}

void SqlText::append_u64(unsigned long long value) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    reserve_more(n);
    while (n)
        data_[size_++] = digits[--n];
    data_[size_] = '\0';
}

void SqlText::appendf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vappendf(format, args);
    va_end(args);
}

void SqlText::vappendf(const char* format, va_list args) {
    // Most pieces fit in what is left; only a piece that does not is formatted twice.
    va_list again;
    va_copy(again, args);
    size_t room = capacity_ - size_;
    int n = std::vsnprintf(data_ + size_, room, format, args);
    if (n < 0) {
        // An encoding error leaves nothing of the piece; the text stays what it was.
        data_[size_] = '\0';
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) >= room) {
        reserve_more(static_cast<size_t>(n));
        std::vsnprintf(data_ + size_, capacity_ - size_, format, again);
    }
    va_end(again);
    size_ += static_cast<size_t>(n);
}
