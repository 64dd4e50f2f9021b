// text_escape.h - the escaping of values in script files and in the simulator's log:
// "\s" blank, "\t" tab, "\n" line feed, "\r" carriage return, "\\" backslash, "\xHH" any
// other control byte. Escaped text holds no blank, so a line splits at blanks.
#pragma once

#include <cstddef>
#include <string>

namespace feedsim {

void escape_append(std::string* out, const char* data, size_t length);
// false (with *error) for a backslash at the end or an unknown escape.
bool unescape(const char* data, size_t length, std::string* out, std::string* error);

}  // namespace feedsim
