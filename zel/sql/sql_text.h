// sql_text.h - SqlText, the growable text every statement builder writes into.
//
// Each database worker owns two of them (statement and tail, db_worker.h) for the life of
// the program; they are cleared, never freed, between statements, so once they have grown
// to the longest statement of the run, building a statement allocates nothing. Every
// append makes the room it needs, so no caller sizes anything in advance and no text can
// run past the buffer. Growing may move the text, so nothing appended to an SqlText may
// point into that same SqlText. An SqlText belongs to one thread at a time; it takes no
// lock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string_view>

class SqlText {
  public:
    static constexpr size_t kInitialCapacity = 1024;

    SqlText();
    ~SqlText();
    SqlText(const SqlText&) = delete;
    SqlText& operator=(const SqlText&) = delete;

    void append(const char* text);  // null appends nothing
    void append(std::string_view text);
    void append(const char* text, size_t length) { append(std::string_view(text, length)); }
    void appendf(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vappendf(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    // Appends the decimal digits of a number (what "%" PRIu64 prints, without a format parse).
    void append_u64(unsigned long long value);
    void push_back(char c);
    // Replaces the whole text.
    void assign(std::string_view text) {
        clear();
        append(text);
    }

    void clear() {
        size_ = 0;
        data_[0] = '\0';
    }
    // Cuts the text to its first n characters (n beyond the length does nothing).
    void truncate(size_t n) {
        if (n < size_) {
            size_ = n;
            data_[n] = '\0';
        }
    }

    const char* c_str() const { return data_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    size_t capacity() const { return capacity_; }
    char back() const { return size_ ? data_[size_ - 1] : '\0'; }
    std::string_view view() const { return std::string_view(data_, size_); }
    bool operator==(std::string_view text) const { return view() == text; }

  private:
    // Makes room for `more` characters beyond the current text plus the terminator.
    void reserve_more(size_t more);

    char* data_;
    size_t size_ = 0;
    size_t capacity_ = 0;  // bytes allocated, terminator included
};
