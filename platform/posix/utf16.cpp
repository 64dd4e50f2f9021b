// utf16.cpp - UTF-8 and UTF-16 conversion where the system offers no converter of its own
// (see utf16.h). Pure functions, no state.
#include "platform/utf16.h"

namespace {

// The number of bytes of the sequence led by lead, 0 for a byte that cannot lead one.
size_t sequence_length(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

void append_code_point(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

bool platform_utf8_to_utf16(const char* text, size_t length, std::vector<uint16_t>* out) {
    out->clear();
    out->reserve(length + 1);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t pos = 0;
    while (pos < length) {
        const unsigned char lead = bytes[pos];
        const size_t size = sequence_length(lead);
        if (size == 0 || size > length - pos) return false;
        uint32_t cp = size == 1 ? lead : lead & (0x7F >> size);
        for (size_t i = 1; i < size; ++i) {
            const unsigned char next = bytes[pos + i];
            if ((next & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (next & 0x3F);
        }
        // Overlong three- and four-byte forms, surrogates and values past Unicode's end.
        if ((size == 3 && cp < 0x800) || (size == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out->push_back(static_cast<uint16_t>(0xD800 | (cp >> 10)));
            out->push_back(static_cast<uint16_t>(0xDC00 | (cp & 0x3FF)));
        } else {
            out->push_back(static_cast<uint16_t>(cp));
        }
        pos += size;
    }
    out->push_back(0);
    return true;
}

void platform_utf16_to_utf8(const uint16_t* units, size_t count, std::string* out) {
    out->reserve(out->size() + count);
    for (size_t i = 0; i < count; ++i) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        append_code_point(cp, out);
    }
}
