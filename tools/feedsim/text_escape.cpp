// text_escape.cpp - see text_escape.h.
#include "tools/feedsim/text_escape.h"

namespace feedsim {

void escape_append(std::string* out, const char* data, size_t length) {
    static const char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        switch (c) {
            case ' ':
                out->append("\\s");
                break;
            case '\t':
                out->append("\\t");
                break;
            case '\n':
                out->append("\\n");
                break;
            case '\r':
                out->append("\\r");
                break;
            case '\\':
                out->append("\\\\");
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    out->append("\\x");
                    out->push_back(kHex[c >> 4]);
                    out->push_back(kHex[c & 15]);
                } else {
                    out->push_back(static_cast<char>(c));
                }
        }
    }
}

bool unescape(const char* data, size_t length, std::string* out, std::string* error) {
    out->clear();
    for (size_t i = 0; i < length; ++i) {
        char c = data[i];
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i == length) {
            *error = "backslash at the end of a value";
            return false;
        }
        switch (data[i]) {
            case 's':
                out->push_back(' ');
                break;
            case 't':
                out->push_back('\t');
                break;
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            case '\\':
                out->push_back('\\');
                break;
            case 'x': {
                auto hex = [](char h) {
                    return h >= '0' && h <= '9'   ? h - '0'
                           : h >= 'A' && h <= 'F' ? h - 'A' + 10
                           : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                                  : -1;
                };
                if (i + 2 >= length) {
                    *error = "\\x needs two hex digits";
                    return false;
                }
                int hi = hex(data[i + 1]), lo = hex(data[i + 2]);
                if (hi < 0 || lo < 0) {
                    *error = "\\x needs two hex digits";
                    return false;
                }
                out->push_back(static_cast<char>(hi * 16 + lo));
                i += 2;
                break;
            }
            default:
                *error = std::string("unknown escape \\") + data[i];
                return false;
        }
    }
    return true;
}

}  // namespace feedsim
