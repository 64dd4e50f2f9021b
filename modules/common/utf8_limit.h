/*
 * utf8_limit.h - the character limit that every module's mod_add_value applies.
 *
 * Callers pass the declared length of char and varchar columns as a number of characters;
 * the value is cut to that many UTF-8 characters before it is quoted. All modules share
 * this one walk so that a value is cut the same way whichever database it goes to.
 * Pure function: no state, callable from any thread.
 */
#ifndef ZEL_UTF8_LIMIT_H
#define ZEL_UTF8_LIMIT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Returns how many leading bytes of text (length bytes, NUL not needed) to keep so that
 * at most max_chars characters remain. A character's size is read from its lead byte
 * alone (below 0xC0: 1 byte, 0xC0-0xDF: 2, 0xE0-0xEF: 3, 0xF0-0xF7: 4, 0xF8-0xFB: 5,
 * 0xFC-0xFF: 6). A max_chars of 0, or one not smaller than length, keeps the whole text
 * without walking it. When a character inside the limit would run past the end of the
 * text the result is 0 and *overrun (if given) is set to 1: the caller then writes the
 * empty literal rather than a cut-off byte sequence. Otherwise *overrun is set to 0.
 */
size_t zel_utf8_limit(const char* text, size_t length, uint64_t max_chars, int* overrun);

#ifdef __cplusplus
}
#endif

#endif /* ZEL_UTF8_LIMIT_H */
