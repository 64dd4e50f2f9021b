// The UTF-8 character limit that every module's mod_add_value applies.
#include <gtest/gtest.h>

#include <string>

#include "modules/common/utf8_limit.h"

namespace {

size_t limit(const std::string& text, uint64_t max_chars, int* overrun = nullptr) {
    int ignored = -1;
    return zel_utf8_limit(text.data(), text.size(), max_chars, overrun ? overrun : &ignored);
}

const std::string kThreeTwoByte = "\xC3\xA9\xC3\xA8\xC3\xAA";  // three accented letters

TEST(Utf8Limit, CutsAfterTheGivenNumberOfCharacters) {
    int overrun = -1;
    EXPECT_EQ(4u, limit(kThreeTwoByte, 2, &overrun));
    EXPECT_EQ(0, overrun);
    EXPECT_EQ(2u, limit(kThreeTwoByte, 1));
    EXPECT_EQ(3u, limit("abcdef", 3));
    // Mixed widths: a, 2-byte, 3-byte (euro sign), 4-byte (an emoji), b.
    const std::string mixed =
        "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"
        "b";
    EXPECT_EQ(1u, limit(mixed, 1));
    EXPECT_EQ(3u, limit(mixed, 2));
    EXPECT_EQ(6u, limit(mixed, 3));
    EXPECT_EQ(10u, limit(mixed, 4));
    EXPECT_EQ(11u, limit(mixed, 5));
}

TEST(Utf8Limit, NoLimitOrALimitNotBelowTheByteLengthKeepsEverythingWithoutWalking) {
    EXPECT_EQ(6u, limit(kThreeTwoByte, 0));
    EXPECT_EQ(6u, limit(kThreeTwoByte, 6));
    EXPECT_EQ(6u, limit(kThreeTwoByte, 100));
    // A broken last character is not looked at when the walk does not start.
    const std::string broken = "a\xE2\x82";
    int overrun = -1;
    EXPECT_EQ(3u, limit(broken, 3, &overrun));
    EXPECT_EQ(0, overrun);
    EXPECT_EQ(3u, limit(broken, 0, &overrun));
    EXPECT_EQ(0, overrun);
    // Fewer characters than the limit, though the limit is below the byte length.
    EXPECT_EQ(6u, limit(kThreeTwoByte, 5));
}

TEST(Utf8Limit, ACharacterRunningPastTheEndEmptiesTheValue) {
    int overrun = 0;
    EXPECT_EQ(0u, limit("a\xE2\x82", 2, &overrun));
    EXPECT_EQ(1, overrun);
    // Cut before the broken character: nothing runs past the end.
    EXPECT_EQ(2u, limit("ab\xC3", 2, &overrun));
    EXPECT_EQ(0, overrun);
    EXPECT_EQ(3u, limit("ab\xC3", 3, &overrun));  // not below the byte length: no walk
    EXPECT_EQ(0, overrun);
    EXPECT_EQ(0u, limit("abc\xF0\x9F", 4, &overrun));
    EXPECT_EQ(1, overrun);
    EXPECT_EQ(0u, zel_utf8_limit("a\xE2\x82", 3, 2, nullptr));  // the overrun pointer is optional
}

TEST(Utf8Limit, LeadBytesDecideTheSizeUpToSixBytes) {
    // Five- and six-byte lead bytes are counted as such, whatever follows.
    const std::string five =
        "\xF8\x80\x80\x80\x80"
        "x";
    const std::string six =
        "\xFC\x80\x80\x80\x80\x80"
        "x";
    EXPECT_EQ(5u, limit(five, 1));
    EXPECT_EQ(6u, limit(six, 1));
    EXPECT_EQ(4u, limit("\xF7\x80\x80\x80xy", 1));
    EXPECT_EQ(3u, limit("\xEF\x80\x80xy", 1));
    EXPECT_EQ(2u, limit("\xDF\x80xy", 1));
    // A stray continuation byte counts as one character of one byte.
    EXPECT_EQ(2u, limit("\x80\xBFxyz", 2));
    EXPECT_EQ(0u, zel_utf8_limit(nullptr, 0, 3, nullptr));
}

}  // namespace
