// utf16.h - conversion between UTF-8 and UTF-16, for interfaces that take wide characters.
//
// The ODBC module calls the driver manager's wide-character functions, whose texts are
// UTF-16 on every platform (SQLWCHAR is two bytes). zel's texts are UTF-8. Windows has its
// own converter for this; elsewhere the conversion is done here. Pure functions: no state,
// callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Converts length bytes of UTF-8 into UTF-16 code units, replacing the contents of out and
// ending them with a 0 unit (not counted in the text). false when the bytes are not
// well-formed UTF-8 (a stray continuation byte, a cut sequence, an overlong form, a
// surrogate or a value above U+10FFFF): such text is refused rather than altered.
bool platform_utf8_to_utf16(const char* text, size_t length, std::vector<uint16_t>* out);

// Appends the UTF-8 form of count UTF-16 units to out. An unpaired surrogate becomes
// U+FFFD, the replacement character: a driver's text is shown, never refused.
void platform_utf16_to_utf8(const uint16_t* units, size_t count, std::string* out);
