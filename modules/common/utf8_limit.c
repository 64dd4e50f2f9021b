/*
 * utf8_limit.c - the UTF-8 character limit of mod_add_value, shared by every module.
 *
 * Linked statically into each module; nothing here is exported from a module. The walk
 * trusts lead bytes and does not validate continuation bytes: the database server is the
 * judge of well-formed text, this only has to avoid cutting inside a character.
 */
#include "utf8_limit.h"

static size_t sequence_size(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    if (lead < 0xFC) return 5;
    return 6;
}

size_t zel_utf8_limit(const char* text, size_t length, uint64_t max_chars, int* overrun) {
    if (overrun) *overrun = 0;
    if (text == NULL) return 0;
    /* A limit that is not below the byte length cannot cut anything: every character
     * takes at least one byte. */
    if (max_chars == 0 || max_chars >= (uint64_t)length) return length;

    size_t pos = 0;
    uint64_t chars = 0;
    while (chars < max_chars && pos < length) {
        size_t size = sequence_size((unsigned char)text[pos]);
        if (size > length - pos) {
            if (overrun) *overrun = 1;
            return 0;
        }
        pos += size;
        ++chars;
    }
    return pos;
}
