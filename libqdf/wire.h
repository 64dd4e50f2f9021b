// wire.h - the frame codec shared by the feed client library and the feed simulator.
//
// A frame is a 4-byte little-endian payload length followed by the payload:
//   u16 type | u64 insref | u16 field count | fields
// and each field is
//   u32 tag | u8 kind | (kind != null: u32 length | length bytes)
// All integers are little-endian. docs/feed-protocol.md is the full description.
//
// decode_frame is the one place where bytes from the network are judged: it checks a whole
// frame (lengths, field count, every field inside the payload, nothing left over) before
// anything reads it, so FieldCursor may then walk the fields without further checks. The
// codec keeps no state of its own; callers own the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qdf_wire {

inline constexpr size_t kLengthBytes = 4;
inline constexpr size_t kPayloadHeader = 12;  // type, insref, field count
inline constexpr uint32_t kMaxPayload = 1u << 20;
inline constexpr uint32_t kMaxFields = 4096;

// Message types at and above this value are the protocol's own and never reach the caller.
inline constexpr uint16_t kControlTypeBase = 0xFF00;
// Sent by the server as the first frame of every connection: field kHelloServerTime holds
// the server's clock as microseconds since 1970 (a numeric text).
inline constexpr uint16_t kTypeHello = 0xFFFF;
inline constexpr uint32_t kHelloServerTime = 1;

// How the sender meant a value to be read; all values are text on the wire.
enum FieldKind : uint8_t { kNull = 0, kString = 1, kNumeric = 2, kList = 3 };
inline constexpr uint8_t kMaxKind = kList;

enum DecodeResult : int {
    kComplete = 1,   // a whole, well-formed frame
    kNeedMore = 0,   // the bytes so far are the start of a frame
    kTooLarge = -1,  // the length word exceeds kMaxPayload
    kMalformed = -2  // the length is too small, or the fields do not fit the payload
};

struct FrameView {
    uint16_t type = 0;
    uint64_t insref = 0;
    uint16_t field_count = 0;
    const uint8_t* fields = nullptr;  // start of the first field
    size_t fields_length = 0;
};

// Judges the bytes at data. kComplete fills *frame and *frame_bytes (length word included).
int decode_frame(const uint8_t* data, size_t available, FrameView* frame, size_t* frame_bytes);

// Walks the fields of a frame that decode_frame accepted.
struct FieldCursor {
    const uint8_t* next = nullptr;
    uint16_t left = 0;

    void start(const FrameView& frame) {
        next = frame.fields;
        left = frame.field_count;
    }
    // false when no field is left. value points into the frame and is not NUL-terminated.
    bool step(uint32_t* tag, uint8_t* kind, const char** value, uint32_t* length);
};

// Appends frames to a byte vector that the caller keeps and reuses.
class FrameWriter {
  public:
    explicit FrameWriter(std::vector<uint8_t>* out) : out_(out) {}
    void begin(uint16_t type, uint64_t insref);
    // false when the frame would pass kMaxFields or kMaxPayload (nothing is appended).
    bool field(uint32_t tag, uint8_t kind, const char* value, size_t length);
    bool null_field(uint32_t tag) { return field(tag, kNull, nullptr, 0); }
    bool text(uint32_t tag, const std::string& value) {
        return field(tag, kString, value.data(), value.size());
    }
    // Closes the frame begun last (writes its length and field count).
    void end();
    bool open() const { return open_; }

  private:
    std::vector<uint8_t>* out_;
    size_t start_ = 0;
    uint32_t fields_ = 0;
    bool open_ = false;
};

// The name of a message type ("FEED_QUOTE"), or null for a number without a name.
const char* type_name(int type);
// The number of a name ("FEED_QUOTE"), or -1.
int type_from_name(const char* name, size_t length);

}  // namespace qdf_wire
