// dispatch.h - turns one data message of the feed into queued updates.
//
// The feed thread (feed_session.cpp) hands every data message to Dispatcher::dispatch; the
// dispatcher decides the message kind, copies the fields into a field list, adjusts dates,
// times and prefixes, queues the derived updates the data model needs and calls
// addQueueItem. It runs on the feed thread only and keeps its buffers between messages, so
// that a steady stream allocates nothing but the field nodes and new items.
#pragma once

#include <cstdint>
#include <string>

#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"

// Where the fields of the current message come from: the feed connection in the program,
// a prepared list in tests.
class FieldReader {
  public:
    virtual ~FieldReader() = default;
    // 1: *tag and *value (null for a null value) hold the next field, valid until the next
    // call; anything else: no more fields.
    virtual int next_field(uint32_t* tag, const char** value) = 0;
};

// The message kind and initial flags of a feed message type; kind 0 for the types that
// are not data messages (they are the session's).
struct FeedTypeInfo {
    uint8_t kind;
    uint32_t flags;
};
FeedTypeInfo feedTypeInfo(int type);

class Dispatcher {
  public:
    Dispatcher() = default;
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;

    // Handles one data message. `snapshot_complete` tells whether the full snapshot of this
    // connection has arrived (the derived extended quotes wait for it). Returns 1 when the
    // type is a data type, 0 when it is left to the session (nothing read, nothing counted).
    int dispatch(int type, uint64_t insref, FieldReader& reader, bool snapshot_complete);

  private:
    void reset(int type, uint64_t insref, const FeedTypeInfo& info);
    void before_fields(int type);
    void read_fields(FieldReader& reader, bool snapshot_complete);
    void field_by_kind(FieldValue* field, bool snapshot_complete);
    void separate_update(uint8_t kind, const FieldValue* field);
    void convert_seconds(FieldValue* field);
    void cut_times();
    void default_date_time();
    void local_time();
    void news_extras();
    void corporate_action();
    void level_step();
    void derived_quote();
    void trade_minute(const std::string& date, const std::string& time, bool have_date,
                      bool have_time);
    void append(FieldValue* field);
    FieldValue* make_field(uint32_t tag, const char* value);

    UpdateTemplate tmpl_;
    UpdateTemplate extra_;  // template of the separate and derived updates
    int type_ = 0;
    uint8_t table_kind_ = 0;  // the kind the type table gives; the kind-specific rules use it
    FieldValue* head_ = nullptr;
    FieldValue* tail_ = nullptr;
    FieldValue* quotes_head_ = nullptr;  // kind 40: fields of the derived quote
    FieldValue* quotes_tail_ = nullptr;
    FieldValue* date_ = nullptr;
    FieldValue* time_ = nullptr;
    FieldValue* tag72_ = nullptr;
    FieldValue* tag435_ = nullptr;
    FieldValue* tag436_ = nullptr;
    Instrument* instrument_ = nullptr;
    std::string price_;
    std::string level_;
    std::string news_id_;
    bool has_price_ = false;
    bool has_level_ = false;
    bool has_news_id_ = false;
    bool corporate_action_ = false;
    // The default date and time texts of the second last made, so that a stream of
    // messages without them does not break the clock down for each one.
    int64_t default_second_ = -1;
    char default_date_[48] = {};
    char default_time_[48] = {};
    // The local hour the last trade minute fell in and the clock's seconds at its start, so
    // that a stream of trades converts its local time once per hour rather than once per
    // trade (each conversion has the system look at its time-zone file).
    int minute_hour_key_ = -1;
    int64_t minute_hour_start_ = 0;
    // Values repaired for invalid UTF-8: the text buffer, and the rate limit of the log
    // line (one a minute, with the count of the repairs it stands for).
    std::string utf8_repaired_;
    int64_t utf8_last_report_ = 0;
    uint64_t utf8_unreported_ = 0;
};
