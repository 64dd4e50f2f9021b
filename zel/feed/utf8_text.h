// utf8_text.h - the one rule for feed texts that are not valid UTF-8.
//
// Every value the dispatcher takes from the feed passes utf8_is_valid; a value that fails
// is stored with each invalid sequence replaced by U+FFFD (the replacement character),
// so that the database, which expects UTF-8, accepts the row and the rest of the value
// survives. Pure functions, no state: called on the feed thread only.
#pragma once

#include <cstddef>
#include <string>

// Whether `len` bytes at `text` are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF, no cut sequence). Texts of ASCII alone take the fast path.
bool utf8_is_valid(const char* text, size_t len);

// `text` with every maximal invalid part of a sequence replaced by U+FFFD (EF BF BD);
// valid sequences are copied unchanged. Returns into `out` (cleared first).
void utf8_replace_invalid(const char* text, size_t len, std::string& out);
