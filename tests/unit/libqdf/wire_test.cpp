// wire_test.cpp - the frame codec: what it writes reads back the same, and bytes that do
// not form a frame are refused without reading past them.
#include "libqdf/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace qdf_wire;

struct Field {
    uint32_t tag;
    uint8_t kind;
    bool null;
    std::string value;
};

std::vector<Field> read_fields(const FrameView& frame) {
    std::vector<Field> fields;
    FieldCursor c;
    c.start(frame);
    uint32_t tag, length;
    uint8_t kind;
    const char* value;
    while (c.step(&tag, &kind, &value, &length))
        fields.push_back(
            {tag, kind, value == nullptr, value ? std::string(value, length) : std::string()});
    return fields;
}

void put32(std::vector<uint8_t>* b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        (*b)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(FrameCodec, RoundTripKeepsTypeInsrefAndEveryKindOfValue) {
    std::vector<uint8_t> bytes;
    FrameWriter w(&bytes);
    w.begin(5, 0x1122334455667788ull);
    ASSERT_TRUE(w.field(3, kString, "2024-01-02", 10));
    ASSERT_TRUE(w.null_field(7));
    ASSERT_TRUE(w.field(8, kNumeric, "", 0));
    std::string big(70000, 'x');
    big[1] = '\0';  // values are bytes: an embedded NUL survives the codec
    ASSERT_TRUE(w.field(2, kList, big.data(), big.size()));
    w.end();
    w.begin(20, 0);
    w.end();

    FrameView f;
    size_t n = 0;
    ASSERT_EQ(decode_frame(bytes.data(), bytes.size(), &f, &n), kComplete);
    EXPECT_EQ(f.type, 5);
    EXPECT_EQ(f.insref, 0x1122334455667788ull);
    auto fields = read_fields(f);
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0].value, "2024-01-02");
    EXPECT_TRUE(fields[1].null);
    EXPECT_FALSE(fields[2].null);
    EXPECT_EQ(fields[2].value, "");
    EXPECT_EQ(fields[3].kind, kList);
    EXPECT_EQ(fields[3].value, big);

    FrameView g;
    size_t m = 0;
    ASSERT_EQ(decode_frame(bytes.data() + n, bytes.size() - n, &g, &m), kComplete);
    EXPECT_EQ(g.type, 20);
    EXPECT_EQ(g.field_count, 0);
    EXPECT_EQ(n + m, bytes.size());
}

TEST(FrameCodec, EveryPrefixOfAFrameAsksForMore) {
    std::vector<uint8_t> bytes;
    FrameWriter w(&bytes);
    w.begin(6, 42);
    w.field(12, kNumeric, "10.5", 4);
    w.null_field(13);
    w.end();
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        FrameView f;
        size_t n = 0;
        EXPECT_EQ(decode_frame(bytes.data(), cut, &f, &n), kNeedMore) << "cut at " << cut;
    }
}

TEST(FrameCodec, OversizedAndMalformedFramesAreRefused) {
    FrameView f;
    size_t n = 0;
    // A length word above the limit is refused from its first four bytes.
    std::vector<uint8_t> huge(4);
    put32(&huge, 0, kMaxPayload + 1);
    EXPECT_EQ(decode_frame(huge.data(), huge.size(), &f, &n), kTooLarge);
    // Shorter than the fixed header.
    std::vector<uint8_t> tiny(4 + 5, 0);
    put32(&tiny, 0, 5);
    EXPECT_EQ(decode_frame(tiny.data(), tiny.size(), &f, &n), kMalformed);

    std::vector<uint8_t> good;
    FrameWriter w(&good);
    w.begin(5, 1);
    w.field(5, kString, "1.5", 3);
    w.end();
    // A field length that runs past the payload.
    std::vector<uint8_t> bad = good;
    put32(&bad, 4 + 12 + 5, 1000);
    EXPECT_EQ(decode_frame(bad.data(), bad.size(), &f, &n), kMalformed);
    // A field count larger than the fields present.
    bad = good;
    bad[4 + 10] = 2;
    EXPECT_EQ(decode_frame(bad.data(), bad.size(), &f, &n), kMalformed);
    // Bytes left over after the last field.
    bad = good;
    bad.push_back(0);
    put32(&bad, 0, static_cast<uint32_t>(bad.size() - 4));
    EXPECT_EQ(decode_frame(bad.data(), bad.size(), &f, &n), kMalformed);
    // An unknown value kind.
    bad = good;
    bad[4 + 12 + 4] = 9;
    EXPECT_EQ(decode_frame(bad.data(), bad.size(), &f, &n), kMalformed);
    // A hostile field count is refused as soon as the header is there.
    std::vector<uint8_t> counted(4 + 12, 0);
    put32(&counted, 0, 100000);
    counted[4 + 10] = 0xFF;
    counted[4 + 11] = 0xFF;
    EXPECT_EQ(decode_frame(counted.data(), counted.size(), &f, &n), kMalformed);
}

TEST(FrameCodec, WriterRefusesWhatTheReaderWouldRefuse) {
    std::vector<uint8_t> bytes;
    FrameWriter w(&bytes);
    EXPECT_FALSE(w.field(1, kString, "a", 1));  // no frame begun
    w.begin(5, 1);
    for (uint32_t i = 0; i < kMaxFields; ++i)
        ASSERT_TRUE(w.null_field(i));
    EXPECT_FALSE(w.null_field(99999));
    w.end();
    FrameView f;
    size_t n = 0;
    EXPECT_EQ(decode_frame(bytes.data(), bytes.size(), &f, &n), kComplete);

    std::vector<uint8_t> other;
    FrameWriter big(&other);
    big.begin(5, 1);
    std::string half(kMaxPayload / 2, 'y');
    EXPECT_TRUE(big.field(2, kString, half.data(), half.size()));
    EXPECT_FALSE(big.field(2, kString, half.data(), half.size()));
    big.end();
    EXPECT_EQ(decode_frame(other.data(), other.size(), &f, &n), kComplete);
}

TEST(FrameCodec, TypeNamesBothWays) {
    EXPECT_STREQ(type_name(5), "FEED_QUOTE");
    EXPECT_STREQ(type_name(44), "FEED_QUOTEEX");
    EXPECT_EQ(type_name(18), nullptr);
    EXPECT_EQ(type_from_name("FEED_MBO_DELETE", 15), 41);
    EXPECT_EQ(type_from_name("FEED_QUOTEX", 11), -1);
}

}  // namespace
