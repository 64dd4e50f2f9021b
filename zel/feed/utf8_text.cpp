// utf8_text.cpp - UTF-8 validation and repair of feed texts (see utf8_text.h).
//
// The check runs for every field of every message on the feed thread, so the common case
// (ASCII: prices, dates, codes) is a scan for a byte with its high bit set, eight bytes at
// a time; only texts with such a byte are decoded.
#include "zel/feed/utf8_text.h"

#include <cstdint>
#include <cstring>

namespace {

// Length of the valid sequence starting at p (at most `left` bytes), or 0 when the bytes
// there do not start one. With `prefix` it instead returns the length of the longest
// prefix that could still begin a valid sequence (at least 1): the part one U+FFFD
// replaces.
size_t sequence_length(const unsigned char* p, size_t left, bool prefix) {
    unsigned char c = p[0];
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;  // no overlong forms
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;  // no overlong forms
        if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return prefix ? 1 : 0;
    }
    size_t i = 1;
    for (; i < need && i < left; ++i) {
        unsigned char b = p[i];
        bool ok = i == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
        if (!ok) break;
    }
    if (i == need) return need;
    return prefix ? i : 0;
}

}  // namespace

bool utf8_is_valid(const char* text, size_t len) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < len) {
        if (len - i >= 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t n = sequence_length(p + i, len - i, false);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

void utf8_replace_invalid(const char* text, size_t len, std::string& out) {
    out.clear();
    out.reserve(len + 8);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < len) {
        size_t n = sequence_length(p + i, len - i, false);
        if (n > 0) {
            out.append(text + i, n);
            i += n;
            continue;
        }
        out.append("\xEF\xBF\xBD");
        i += sequence_length(p + i, len - i, true);
    }
}
