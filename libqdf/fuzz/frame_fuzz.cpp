// frame_fuzz.cpp - libFuzzer target for the frame decoder: arbitrary bytes must be judged
// without reading outside them, and every frame the decoder accepts must walk cleanly.
//
// Built with -DZEL_FUZZ=ON (clang). The normal build replays fuzz/corpus/ through the same
// entry point as a unit test (tests/unit/libqdf/fuzz_corpus_test.cpp).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "libqdf/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    size_t pos = 0;
    while (pos < size) {
        qdf_wire::FrameView frame;
        size_t bytes = 0;
        int rc = qdf_wire::decode_frame(data + pos, size - pos, &frame, &bytes);
        if (rc != qdf_wire::kComplete) break;
        if (bytes < qdf_wire::kLengthBytes + qdf_wire::kPayloadHeader || bytes > size - pos)
            std::abort();
        qdf_wire::FieldCursor cursor;
        cursor.start(frame);
        uint32_t tag, length;
        uint8_t kind;
        const char* value;
        unsigned seen = 0;
        const uint8_t* end = data + pos + bytes;
        while (cursor.step(&tag, &kind, &value, &length)) {
            ++seen;
            if (value != nullptr) {
                const uint8_t* v = reinterpret_cast<const uint8_t*>(value);
                if (v < frame.fields || v + length > end) std::abort();
                volatile uint8_t sink = 0;
                for (uint32_t i = 0; i < length; ++i)
                    sink = sink ^ v[i];
                (void)sink;
            }
        }
        if (seen != frame.field_count) std::abort();
        pos += bytes;
    }
    return 0;
}
