// wire.cpp - frame encoding and the checks on every frame that arrives (see wire.h).
#include "libqdf/wire.h"

#include <cstring>

#include "libqdf/qdf.h"

namespace qdf_wire {

namespace {

inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p) {
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}
inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
inline void put64(uint8_t* p, uint64_t v) {
    put32(p, static_cast<uint32_t>(v));
    put32(p + 4, static_cast<uint32_t>(v >> 32));
}

struct TypeName {
    int type;
    const char* name;
};

constexpr TypeName kTypeNames[] = {
    {FEED_TEMPLATES_VERSION, "FEED_TEMPLATES_VERSION"},
    {FEED_LOGON, "FEED_LOGON"},
    {FEED_LOGOFF, "FEED_LOGOFF"},
    {FEED_LOGON_REPLY, "FEED_LOGON_REPLY"},
    {FEED_NEWS, "FEED_NEWS"},
    {FEED_QUOTE, "FEED_QUOTE"},
    {FEED_TRADE, "FEED_TRADE"},
    {FEED_BID_INSERT, "FEED_BID_INSERT"},
    {FEED_ASK_INSERT, "FEED_ASK_INSERT"},
    {FEED_BID_DELETE, "FEED_BID_DELETE"},
    {FEED_ASK_DELETE, "FEED_ASK_DELETE"},
    {FEED_BID_UPDATE, "FEED_BID_UPDATE"},
    {FEED_ASK_UPDATE, "FEED_ASK_UPDATE"},
    {FEED_INSTRUMENT_RESET, "FEED_INSTRUMENT_RESET"},
    {FEED_BOOK_CLEAR, "FEED_BOOK_CLEAR"},
    {FEED_BASICDATA, "FEED_BASICDATA"},
    {FEED_PRICEHISTORY, "FEED_PRICEHISTORY"},
    {FEED_INSTRUMENT_DELETE, "FEED_INSTRUMENT_DELETE"},
    {FEED_REQUEST, "FEED_REQUEST"},
    {FEED_REQUEST_FINISHED, "FEED_REQUEST_FINISHED"},
    {FEED_NEWS_22, "FEED_NEWS_22"},
    {FEED_CORPORATE_ACTION, "FEED_CORPORATE_ACTION"},
    {FEED_TRADESTATE, "FEED_TRADESTATE"},
    {FEED_FUNDAMENTALS, "FEED_FUNDAMENTALS"},
    {FEED_PERFORMANCE, "FEED_PERFORMANCE"},
    {FEED_KEYRATIOS, "FEED_KEYRATIOS"},
    {FEED_ESTIMATES_28, "FEED_ESTIMATES_28"},
    {FEED_ESTIMATES_29, "FEED_ESTIMATES_29"},
    {FEED_NOII, "FEED_NOII"},
    {FEED_L10N, "FEED_L10N"},
    {FEED_CI_33, "FEED_CI_33"},
    {FEED_CI_34, "FEED_CI_34"},
    {FEED_PRIIP, "FEED_PRIIP"},
    {FEED_MIFID_36, "FEED_MIFID_36"},
    {FEED_MIFID_37, "FEED_MIFID_37"},
    {FEED_MAPPINGS, "FEED_MAPPINGS"},
    {FEED_MBO_ADD, "FEED_MBO_ADD"},
    {FEED_MBO_CHANGE, "FEED_MBO_CHANGE"},
    {FEED_MBO_DELETE, "FEED_MBO_DELETE"},
    {FEED_GREEKS, "FEED_GREEKS"},
    {FEED_QUOTE_43, "FEED_QUOTE_43"},
    {FEED_QUOTEEX, "FEED_QUOTEEX"},
};

}  // namespace

int decode_frame(const uint8_t* data, size_t available, FrameView* frame, size_t* frame_bytes) {
    if (available < kLengthBytes) return kNeedMore;
    uint32_t payload = get32(data);
    if (payload > kMaxPayload) return kTooLarge;
    if (payload < kPayloadHeader) return kMalformed;
    // The field count is known before the whole payload is: judge it early so that a
    // hostile count is refused without waiting for a megabyte.
    if (available >= kLengthBytes + kPayloadHeader && get16(data + kLengthBytes + 10) > kMaxFields)
        return kMalformed;
    if (available - kLengthBytes < payload) return kNeedMore;

    const uint8_t* p = data + kLengthBytes;
    const uint8_t* end = p + payload;
    FrameView view;
    view.type = get16(p);
    view.insref = get64(p + 2);
    view.field_count = get16(p + 10);
    view.fields = p + kPayloadHeader;
    view.fields_length = payload - kPayloadHeader;
    const uint8_t* q = view.fields;
    for (uint32_t i = 0; i < view.field_count; ++i) {
        if (end - q < 5) return kMalformed;
        uint8_t kind = q[4];
        if (kind > kMaxKind) return kMalformed;
        q += 5;
        if (kind == kNull) continue;
        if (end - q < 4) return kMalformed;
        uint32_t length = get32(q);
        q += 4;
        if (static_cast<size_t>(end - q) < length) return kMalformed;
        q += length;
    }
    if (q != end) return kMalformed;  // bytes after the last field: a sender out of step
    *frame = view;
    *frame_bytes = kLengthBytes + payload;
    return kComplete;
}

bool FieldCursor::step(uint32_t* tag, uint8_t* kind, const char** value, uint32_t* length) {
    if (left == 0) return false;
    --left;
    *tag = get32(next);
    *kind = next[4];
    next += 5;
    if (*kind == kNull) {
        *value = nullptr;
        *length = 0;
        return true;
    }
    *length = get32(next);
    *value = reinterpret_cast<const char*>(next + 4);
    next += 4 + *length;
    return true;
}

void FrameWriter::begin(uint16_t type, uint64_t insref) {
    if (open_) end();
    start_ = out_->size();
    out_->resize(start_ + kLengthBytes + kPayloadHeader);
    uint8_t* p = out_->data() + start_ + kLengthBytes;
    put16(p, type);
    put64(p + 2, insref);
    put16(p + 10, 0);
    fields_ = 0;
    open_ = true;
}

bool FrameWriter::field(uint32_t tag, uint8_t kind, const char* value, size_t length) {
    if (!open_ || fields_ >= kMaxFields) return false;
    if (value == nullptr) kind = kNull;
    size_t add = kind == kNull ? 5 : 9 + length;
    size_t payload = out_->size() - start_ - kLengthBytes;
    if (length > kMaxPayload || payload + add > kMaxPayload) return false;
    size_t at = out_->size();
    out_->resize(at + add);
    uint8_t* p = out_->data() + at;
    put32(p, tag);
    p[4] = kind;
    if (kind != kNull) {
        put32(p + 5, static_cast<uint32_t>(length));
        if (length > 0) std::memcpy(p + 9, value, length);
    }
    ++fields_;
    return true;
}

void FrameWriter::end() {
    if (!open_) return;
    uint8_t* p = out_->data() + start_;
    put32(p, static_cast<uint32_t>(out_->size() - start_ - kLengthBytes));
    put16(p + kLengthBytes + 10, static_cast<uint16_t>(fields_));
    open_ = false;
}

const char* type_name(int type) {
    for (const TypeName& t : kTypeNames)
        if (t.type == type) return t.name;
    return nullptr;
}

int type_from_name(const char* name, size_t length) {
    for (const TypeName& t : kTypeNames)
        if (std::strlen(t.name) == length && std::memcmp(t.name, name, length) == 0) return t.type;
    return -1;
}

}  // namespace qdf_wire
