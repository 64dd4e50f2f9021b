// dispatch.cpp - message decoding and dispatch (see dispatch.h).
//
// Runs on the feed thread only. Per message: the type table gives kind and flags, the
// "before" step runs (order book records, resets, stale set, instrument deletions), the
// fields are copied into a list while the kind-specific rules note what they need, and the
// after-field steps adjust the list and queue the derived updates before the message itself
// is queued. Ladders and instrument records are the feed thread's; the instrument type
// table is changed under queue 1's lock. Nothing here stops the thread: a value that does
// not parse is left as it came, and order book problems are only reported (with `debug`).
#include "zel/feed/dispatch.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/thread_exit.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/mutex.h"
#include "zel/feed/stale_set.h"
#include "zel/feed/utf8_text.h"
#include "zel/queues/order_book.h"
#include "zel/queues/source_name.h"
#include "zel/queues/update_queue.h"
#include "zel/stats/stats_block.h"

namespace {

constexpr int kLastDataType = 44;

constexpr FeedTypeInfo kTypes[kLastDataType + 1] = {
    /* 0 templates version */ {0, 0},
    /* 1 logon */ {0, 0},
    /* 2 logoff */ {0, 0},
    /* 3 logon reply */ {0, 0},
    /* 4 news */ {KIND_NEWS, ITEM_KEYED},
    /* 5 quote */ {KIND_QUOTE, ITEM_KEYED},
    /* 6 trade */ {KIND_TRADE, 0},
    /* 7 bid insert */ {KIND_BID_LEVEL, ITEM_KEYED | ITEM_BID_INSERT},
    /* 8 ask insert */ {KIND_ASK_LEVEL, ITEM_KEYED | ITEM_ASK_INSERT},
    /* 9 bid delete */ {KIND_BID_LEVEL, ITEM_KEYED | ITEM_BID_DELETE},
    /* 10 ask delete */ {KIND_ASK_LEVEL, ITEM_KEYED | ITEM_ASK_DELETE},
    /* 11 bid update */ {KIND_BID_LEVEL, ITEM_KEYED | ITEM_BID_UPDATE},
    /* 12 ask update */ {KIND_ASK_LEVEL, ITEM_KEYED | ITEM_ASK_UPDATE},
    /* 13 instrument reset */ {KIND_INSTRUMENT_RESET, 0},
    /* 14 book clear */ {KIND_BOOK_CLEAR, ITEM_CLEAR_BOOK},
    /* 15 basic data */ {KIND_BASIC_DATA, ITEM_KEYED},
    /* 16 price history */ {KIND_PRICE_HISTORY, 0},
    /* 17 instrument delete */ {KIND_INSTRUMENT_DELETE, 0},
    /* 18 */ {0, 0},
    /* 19 request */ {0, 0},
    /* 20 request finished */ {0, 0},
    /* 21 */ {0, 0},
    /* 22 news */ {KIND_NEWS, ITEM_KEYED},
    /* 23 corporate action */ {KIND_CORPORATE_ACTION, 0},
    /* 24 trade state */ {KIND_BASIC_DATA, ITEM_KEYED | ITEM_NULL_STATUS},
    /* 25 fundamentals */ {KIND_FUNDAMENTALS, 0},
    /* 26 performance */ {KIND_PERFORMANCE, ITEM_KEYED},
    /* 27 key ratios */ {KIND_KEY_RATIOS, ITEM_KEYED},
    /* 28 estimates */ {KIND_ESTIMATES_20, 0},
    /* 29 estimates */ {KIND_ESTIMATES_21, 0},
    /* 30 noii */ {KIND_NOII, ITEM_KEYED},
    /* 31 */ {0, 0},
    /* 32 l10n */ {KIND_L10N, 0},
    /* 33 ci */ {KIND_CI_26, 0},
    /* 34 ci */ {KIND_CI_27, 0},
    /* 35 priip */ {KIND_PRIIP, ITEM_KEYED},
    /* 36 mifid */ {KIND_MIFID_34, ITEM_KEYED},
    /* 37 mifid */ {KIND_MIFID_35, 0},
    /* 38 mappings */ {KIND_MAPPINGS, 0},
    /* 39 mbo add */ {KIND_MBO, ITEM_KEYED},
    /* 40 mbo change */ {KIND_MBO, ITEM_KEYED | ITEM_UPDATE_FIRST},
    /* 41 mbo delete */ {KIND_MBO, ITEM_KEYED | ITEM_DELETE},
    /* 42 greeks */ {KIND_GREEKS, ITEM_KEYED},
    /* 43 quote */ {KIND_QUOTE, ITEM_KEYED},
    /* 44 quote ex */ {KIND_QUOTE_EX, ITEM_KEYED},
};

bool debug_on() {
    return g_config.debug == 1;
}

// Unsigned decimal: optional blanks, then at least one digit; reading stops at the first
// other character. Too large a number is clamped rather than wrapped.
bool parse_u64(const char* text, uint64_t* out) {
    if (!text) return false;
    while (*text == ' ' || *text == '\t')
        ++text;
    if (*text < '0' || *text > '9') return false;
    uint64_t v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        unsigned digit = static_cast<unsigned>(*text - '0');
        v = (v > (UINT64_MAX - digit) / 10) ? UINT64_MAX : v * 10 + digit;
    }
    *out = v;
    return true;
}

// One number of a date or a time: digits that fit an unsigned short.
bool read_short(const char*& p, unsigned* out) {
    if (*p < '0' || *p > '9') return false;
    unsigned v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > 65535) return false;
    }
    *out = v;
    return true;
}

struct ClockTime {
    unsigned hour, minute, second;
    uint64_t fraction;          // value of the digits after the point; 0 when none
    const char* fraction_text;  // those digits as they came (not terminated)
    size_t fraction_len;
};

// "H:M:S" with an optional ".fraction"; at least the three numbers.
bool parse_clock(const char* text, ClockTime* t) {
    if (!text) return false;
    const char* p = text;
    if (!read_short(p, &t->hour) || *p++ != ':') return false;
    if (!read_short(p, &t->minute) || *p++ != ':') return false;
    if (!read_short(p, &t->second)) return false;
    t->fraction = 0;
    t->fraction_text = nullptr;
    t->fraction_len = 0;
    if (*p == '.' && p[1] >= '0' && p[1] <= '9') {
        ++p;
        t->fraction_text = p;
        uint64_t v = 0;
        for (; *p >= '0' && *p <= '9'; ++p)
            v = (v > UINT64_MAX / 10 - 9) ? UINT64_MAX : v * 10 + static_cast<uint64_t>(*p - '0');
        t->fraction_len = static_cast<size_t>(p - t->fraction_text);
        t->fraction = v;
    }
    return true;
}

struct CalendarDate {
    unsigned year, month, day;
};

// "Y-M-D": exactly the three numbers (what follows them does not matter).
bool parse_date(const char* text, CalendarDate* d) {
    if (!text) return false;
    const char* p = text;
    if (!read_short(p, &d->year) || *p++ != '-') return false;
    if (!read_short(p, &d->month) || *p++ != '-') return false;
    return read_short(p, &d->day);
}

// Takes a date and a time as UTC and gives them back as local time.
void utc_to_local(CalendarDate* d, ClockTime* t) {
    struct tm utc {};
    utc.tm_year = static_cast<int>(d->year) - 1900;
    utc.tm_mon = static_cast<int>(d->month) - 1;
    utc.tm_mday = static_cast<int>(d->day);
    utc.tm_hour = static_cast<int>(t->hour);
    utc.tm_min = static_cast<int>(t->minute);
    utc.tm_sec = static_cast<int>(t->second);
    struct tm local = local_tm(utc_mktime(&utc));
    d->year = static_cast<unsigned>(local.tm_year + 1900);
    d->month = static_cast<unsigned>(local.tm_mon + 1);
    d->day = static_cast<unsigned>(local.tm_mday);
    t->hour = static_cast<unsigned>(local.tm_hour);
    t->minute = static_cast<unsigned>(local.tm_min);
    t->second = static_cast<unsigned>(local.tm_sec);
}

// The converted time keeps its fraction exactly as it came: the digits are a count of
// the sub-second unit the feed used, so ".000123" must not become ".123". A zero fraction
// is left out.
void write_clock(FieldValue* field, const ClockTime& t) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%02u:%02u:%02u", t.hour, t.minute, t.second);
    std::string out(text, static_cast<size_t>(n));
    if (t.fraction != 0) {
        out += '.';
        out.append(t.fraction_text, t.fraction_len);
    }
    fieldValueSetValue(field, out.c_str(), out.size());
}

void write_date(FieldValue* field, const CalendarDate& d) {
    char text[32];
    int n = std::snprintf(text, sizeof text, "%04u-%02u-%02u", d.year, d.month, d.day);
    fieldValueSetValue(field, text, static_cast<size_t>(n));
}

void append_number(std::string& key, uint64_t value) {
    char text[24];
    char* end = std::to_chars(text, text + sizeof text, value).ptr;
    key.append(text, end);
}

void set_kind_key(std::string& key, uint64_t insref, uint32_t kind) {
    key.clear();
    append_number(key, insref);
    key += ':';
    append_number(key, kind);
}

bool has_sign_prefix(const char* value) {
    return value && (*value == '+' || *value == '-' || *value == '=');
}

// Drops the first character of a value in place (the node keeps its text).
void drop_first_char(FieldValue* field) {
    size_t len = std::strlen(field->value);
    std::memmove(field->value, field->value + 1, len);
}

bool in(uint32_t tag, uint32_t low, uint32_t high) {
    return tag >= low && tag <= high;
}

}  // namespace

FeedTypeInfo feedTypeInfo(int type) {
    if (type < 0 || type > kLastDataType) return {0, 0};
    return kTypes[type];
}

void Dispatcher::append(FieldValue* field) {
    fieldListAppend(&head_, &tail_, field);
}

void Dispatcher::reset(int type, uint64_t insref, const FeedTypeInfo& info) {
    tmpl_.reset();
    tmpl_.insref = insref;
    tmpl_.kind = info.kind;
    tmpl_.flags = info.flags;
    type_ = type;
    table_kind_ = info.kind;
    head_ = tail_ = nullptr;
    quotes_head_ = quotes_tail_ = nullptr;
    date_ = time_ = tag72_ = tag435_ = tag436_ = nullptr;
    instrument_ = nullptr;
    has_price_ = has_level_ = has_news_id_ = false;
    corporate_action_ = false;
}

void Dispatcher::separate_update(uint8_t kind, const FieldValue* field) {
    extra_.reset();
    extra_.kind = kind;
    extra_.insref = tmpl_.insref;
    addQueueItem(field ? fieldValueCopy(field) : nullptr, extra_);
}

void Dispatcher::before_fields(int type) {
    uint64_t insref = tmpl_.insref;
    switch (type) {
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 12:
            instrument_ = instrumentLookupOrCreate(insref);
            break;
        case 13: {
            if (Instrument* record = instrumentLookup(insref)) clearLadders(record);
            for (uint32_t kind : {KIND_QUOTE, KIND_PERFORMANCE, KIND_NOII, KIND_GREEKS})
                dropQueuedUpdate(&g_queues[0], insref, kind, 0);
            dropQueuedUpdate(&g_queues[3], insref, KIND_ORDER_BOOK, 1);
            dropQueuedUpdate(&g_queues[3], insref, KIND_MBO, 1);
            extra_.reset();
            extra_.kind = KIND_BOOK_CLEAR;
            extra_.flags = ITEM_CLEAR_BOOK | ITEM_CLEAR_MBO;
            extra_.insref = insref;
            addQueueItem(nullptr, extra_);
            break;
        }
        case 15:
            staleSetStrike(insref);
            break;
        case 17: {
            MutexLock guard(instrumentTypeLock());
            instrumentTypeRemove(insref);
            break;
        }
        default:
            break;
    }
}

void Dispatcher::convert_seconds(FieldValue* field) {
    uint64_t seconds;
    if (!parse_u64(field->value, &seconds) || seconds > static_cast<uint64_t>(INT64_MAX)) return;
    struct tm t = g_config.localtime ? local_tm(static_cast<int64_t>(seconds))
                                     : utc_tm(static_cast<int64_t>(seconds));
    char text[64];
    int n = std::snprintf(text, sizeof text, "%d-%02d-%02d %02d:%02d:%02d", t.tm_year + 1900,
                          t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    fieldValueSetValue(field, text, static_cast<size_t>(n));
}

void Dispatcher::field_by_kind(FieldValue* field, bool snapshot_complete) {
    const uint32_t tag = field->tag;
    const char* value = field->value;
    switch (table_kind_) {
        case KIND_TRADE:
            if (tag == 14) {
                tmpl_.key += ':';
                if (value) tmpl_.key += value;
            } else if (tag == 15 && value) {
                uint64_t v;
                if (!parse_u64(value, &v)) break;
                if (v & 0x10) tmpl_.flags |= ITEM_TRADE_TAG72;
                if (v & 8) {
                    tmpl_.flags |= ITEM_UPDATE_FIRST;
                    char text[24];
                    char* end = std::to_chars(text, text + sizeof text, v & ~uint64_t{8}).ptr;
                    fieldValueSetValue(field, text, static_cast<size_t>(end - text));
                }
            } else if (tag == 72 && value) {
                tmpl_.flags |= ITEM_TRADE_TAG72;
            }
            break;
        case KIND_BASIC_DATA:
            switch (tag) {
                case 55:
                    separate_update(KIND_IDENTIFIER_LIST, field);
                    if (has_sign_prefix(value)) drop_first_char(field);
                    break;
                case 188:
                    if (has_sign_prefix(value)) drop_first_char(field);
                    break;
                case 297:
                    separate_update(KIND_LIST_297, field);
                    break;
                case 347:
                    separate_update(KIND_LIST_347, field);
                    break;
                case 375:
                    separate_update(KIND_LIST_375, field);
                    break;
                case 66:
                    separate_update(KIND_LIST_66, field);
                    break;
                case 732:
                    separate_update(KIND_LIST_732, field);
                    break;
                case 348: {
                    uint64_t v = 0;
                    if (value && !parse_u64(value, &v)) v = 0;
                    int32_t type = v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
                    MutexLock guard(instrumentTypeLock());
                    const InstrumentType* entry = instrumentTypeLookup(tmpl_.insref);
                    if (!entry && type == 3) {
                        instrumentTypeSet(tmpl_.insref, 3);
                    } else if (entry && entry->type != type) {
                        instrumentTypeRemove(tmpl_.insref);
                    }
                    break;
                }
                default:
                    break;
            }
            break;
        case KIND_BOOK_CLEAR:
            if (tag == 399 && value) {
                uint64_t v;
                if (!parse_u64(value, &v)) break;
                tmpl_.flags &= ~ITEM_CLEAR_BOOK;
                if (v & 1) tmpl_.flags |= ITEM_CLEAR_BOOK;
                if (v & 2) tmpl_.flags |= ITEM_CLEAR_MBO;
                if ((v & 4) && g_config.requestquotesbbo == 1)
                    separate_update(KIND_BBO_RESET, nullptr);
            }
            break;
        case KIND_CORPORATE_ACTION:
            if (tag == 103) corporate_action_ = true;
            break;
        case KIND_NEWS:
            switch (tag) {
                case 1:
                    if (value) tmpl_.flags |= ITEM_NEWS_MULTIPART;
                    break;
                case 48:
                    tmpl_.key += ':';
                    if (value) {
                        tmpl_.key += value;
                        news_id_.assign(value);
                        has_news_id_ = true;
                    }
                    break;
                case 115:
                    tmpl_.flags |= ITEM_NEWS_LASTBLOCK;
                    break;
                case 85:
                case 167:
                    tmpl_.flags |= ITEM_NEWS_TAGS;
                    break;
                case 620:
                    tmpl_.flags |= ITEM_NEWS_IDLIST;
                    break;
                default:
                    break;
            }
            break;
        case KIND_BID_LEVEL:
        case KIND_ASK_LEVEL:
            if ((tag == 5 || tag == 6) && value) {
                price_.assign(value);
                has_price_ = true;
            } else if (tag == 16 && value) {
                level_.assign(value);
                has_level_ = true;
            }
            break;
        case KIND_PERFORMANCE:
            if (in(tag, 148, 162) || tag == 249 || tag == 250 || tag == 334 || in(tag, 777, 781)) {
                tmpl_.flags |= ITEM_PERF_PRICE;
            } else if (in(tag, 261, 277) || tag == 335 || in(tag, 782, 786)) {
                tmpl_.flags |= ITEM_PERF_YIELD;
            } else if (tag == 354 || tag == 356) {
                tmpl_.flags |= ITEM_PERF_BID;
            } else if (tag == 355 || tag == 357) {
                tmpl_.flags |= ITEM_PERF_BIDYIELD;
            }
            break;
        case KIND_MAPPINGS:
            if (tag == 527) {
                tmpl_.kind = KIND_IDENTIFIER_LIST_KEYED;
            } else if (tag == 55) {
                tmpl_.kind = KIND_IDENTIFIER_LIST;
            }
            break;
        case KIND_MBO:
            if (tag == 695 && value) {
                uint64_t v;
                if (parse_u64(value, &v)) tmpl_.order_id = v;
            }
            break;
        case KIND_QUOTE_EX:
            if ((tag == 5 || tag == 6 || tag == 19 || tag == 20) && g_config.quoteexspecial != 0 &&
                snapshot_complete) {
                fieldListAppend(&quotes_head_, &quotes_tail_, fieldValueCopy(field));
            }
            break;
        default:
            break;
    }
}

// The field node for a value from the feed. Texts that are not valid UTF-8 are stored
// with each invalid sequence replaced by U+FFFD (utf8_text.h): the database takes only
// UTF-8, and a rejected statement would lose the whole row for one bad byte.
FieldValue* Dispatcher::make_field(uint32_t tag, const char* value) {
    if (!value) return fieldValueCreate(tag, nullptr, 0);
    size_t len = std::strlen(value);
    if (utf8_is_valid(value, len)) return fieldValueCreate(tag, value, len);
    utf8_replace_invalid(value, len, utf8_repaired_);
    ++utf8_unreported_;
    int64_t now = now_seconds();
    if (utf8_last_report_ == 0 || now - utf8_last_report_ >= 60) {
        log_message(LOG_LEVEL_PROBLEM,
                    "Invalid UTF-8 in field %u of instrument %" PRIu64
                    " (message kind %u): invalid bytes replaced by U+FFFD (%" PRIu64
                    " such value(s) since the last report)",
                    tag, tmpl_.insref, static_cast<unsigned>(tmpl_.kind), utf8_unreported_);
        utf8_last_report_ = now;
        utf8_unreported_ = 0;
    }
    return fieldValueCreate(tag, utf8_repaired_.data(), utf8_repaired_.size());
}

void Dispatcher::read_fields(FieldReader& reader, bool snapshot_complete) {
    uint32_t tag;
    const char* value;
    while (reader.next_field(&tag, &value) == 1) {
        if (tag == 364) {
            tmpl_.flags = (tmpl_.flags & ~ITEM_KEYED) | ITEM_DELETE;
            continue;
        }
        FieldValue* field = make_field(tag, value);
        append(field);
        switch (tag) {
            case 3:
                date_ = field;
                break;
            case 4:
            case 36:
                time_ = field;
                break;
            case 72:
                tag72_ = field;
                break;
            case 435:
                tag435_ = field;
                break;
            case 436:
                tag436_ = field;
                break;
            case 789:
                if (value) convert_seconds(field);
                break;
            default:
                break;
        }
        field_by_kind(field, snapshot_complete);
    }
}

void Dispatcher::cut_times() {
    size_t length =
        g_config.time_text_length > 0 ? static_cast<size_t>(g_config.time_text_length) : 15;
    for (FieldValue* field : {time_, tag72_, tag435_}) {
        if (field && field->value && std::strlen(field->value) > length)
            field->value[length] = '\0';
    }
}

void Dispatcher::default_date_time() {
    if ((tmpl_.flags & ITEM_DELETE) || type_ == 22 || (type_ >= 33 && type_ <= 37)) return;
    bool date_missing = !date_ || !date_->value;
    bool time_missing = !time_ || !time_->value;
    if (!date_missing && !time_missing) return;
    int64_t now = now_seconds();
    if (now != default_second_) {
        struct tm t = utc_tm(now);
        std::snprintf(default_date_, sizeof default_date_, "%04d-%02d-%02d", t.tm_year + 1900,
                      t.tm_mon + 1, t.tm_mday);
        std::snprintf(default_time_, sizeof default_time_, "%02d:%02d:%02d", t.tm_hour, t.tm_min,
                      t.tm_sec);
        default_second_ = now;
    }
    if (!date_) {
        date_ = fieldValueCreate(3, default_date_);
        append(date_);
    } else if (!date_->value) {
        fieldValueSetValue(date_, default_date_);
    }
    if (!time_) {
        time_ = fieldValueCreate(4, default_time_);
        append(time_);
    } else if (!time_->value) {
        fieldValueSetValue(time_, default_time_);
    }
}

void Dispatcher::local_time() {
    if (!g_config.localtime || (tmpl_.flags & ITEM_DELETE)) return;
    if (type_ == 16 || type_ == 22 || type_ == 23 || (type_ >= 33 && type_ <= 38)) return;
    if (!time_ || !date_) return;
    ClockTime time;
    CalendarDate date;
    if (!parse_clock(time_->value, &time) || !parse_date(date_->value, &date)) return;
    const CalendarDate utc_date = date;
    utc_to_local(&date, &time);

    ClockTime other;
    if (tag72_ && parse_clock(tag72_->value, &other)) {
        CalendarDate d = utc_date;
        utc_to_local(&d, &other);
        write_clock(tag72_, other);
    }
    if (tag435_ && parse_clock(tag435_->value, &other)) {
        CalendarDate d = utc_date;
        if (tag436_ && !parse_date(tag436_->value, &d)) return;
        utc_to_local(&d, &other);
        write_clock(tag435_, other);
        if (tag436_) write_date(tag436_, d);
    }
    write_clock(time_, time);
    write_date(date_, date);
}

void Dispatcher::news_extras() {
    if (!has_news_id_) return;
    if (tmpl_.flags & ITEM_NEWS_TAGS) {
        FieldValue* head = nullptr;
        FieldValue* tail = nullptr;
        fieldListAppend(&head, &tail, fieldValueCreate(48, news_id_.c_str(), news_id_.size()));
        for (FieldValue* f = head_; f; f = f->next) {
            if (f->tag == 3 || f->tag == 85 || f->tag == 167)
                fieldListAppend(&head, &tail, fieldValueCopy(f));
        }
        extra_.reset();
        extra_.kind = KIND_NEWS_CODING;
        extra_.insref = tmpl_.insref;
        addQueueItem(head, extra_);
    }
    if (tmpl_.flags & ITEM_NEWS_IDLIST) {
        FieldValue* head = nullptr;
        FieldValue* tail = nullptr;
        fieldListAppend(&head, &tail, fieldValueCreate(48, news_id_.c_str(), news_id_.size()));
        for (FieldValue* f = head_; f; f = f->next) {
            if (f->tag == 3 || f->tag == 620) fieldListAppend(&head, &tail, fieldValueCopy(f));
        }
        extra_.reset();
        extra_.kind = KIND_NEWS_TAGS;
        extra_.insref = tmpl_.insref;
        addQueueItem(head, extra_);
    }
}

void Dispatcher::corporate_action() {
    if (!corporate_action_) return;
    static constexpr uint32_t kTags[] = {103, 3, 4, 99, 97};
    const FieldValue* found[5] = {};
    for (int i = 0; i < 5; ++i) {
        found[i] = fieldListFind(head_, kTags[i]);
        if (!found[i] || !found[i]->value) return;
    }
    FieldValue* head = nullptr;
    FieldValue* tail = nullptr;
    for (const FieldValue* f : found)
        fieldListAppend(&head, &tail, fieldValueCopy(f));
    const FieldValue* seconds = fieldListFind(head_, 789);
    if (seconds && seconds->value) fieldListAppend(&head, &tail, fieldValueCopy(seconds));
    extra_.reset();
    extra_.kind = KIND_HISTORY_ADJUSTMENT;
    extra_.insref = tmpl_.insref;
    addQueueItem(head, extra_);
}

void Dispatcher::level_step() {
    const bool bid = tmpl_.kind == KIND_BID_LEVEL;
    const char* level_text = level_.c_str();
    int level = level_value(level_text);
    if (level <= 0) {
        if (debug_on()) {
            log_message(LOG_LEVEL_PROBLEM,
                        "Invalid orderlevel :%d (insref:%" PRIu64 " File: %s Line:%d", level,
                        tmpl_.insref, ZEL_SOURCE_NAME, __LINE__);
        }
    } else if (!(tmpl_.flags & ITEM_INSERT_BITS)) {
        PriceLevel* at = ladderLevel(bid ? instrument_->bids : instrument_->asks, level);
        if (!at) {
            if (debug_on()) {
                const char* what = (tmpl_.flags & ITEM_DELETE_BITS) ? "delete" : "update";
                log_message(LOG_LEVEL_PROBLEM, "Invalid %s %s level received: %s (%" PRIu64 ")",
                            bid ? "BID" : "ASK", what, level_text, tmpl_.insref);
            }
        } else {
            price_.assign(at->price);
            has_price_ = true;
            // The level's price is the row's price. A price field the message carried itself
            // is overwritten rather than joined by a second field of the same tag, which
            // would write the column twice.
            uint32_t tag = bid ? 5 : 6;
            if (FieldValue* own = fieldListFind(head_, tag)) {
                fieldValueSetValue(own, price_.c_str(), price_.size());
            } else {
                append(fieldValueCreate(tag, price_.c_str(), price_.size()));
            }
            applyLevelChange(instrument_, price_.c_str(), level_text, tmpl_.flags);
        }
    } else {
        applyLevelChange(instrument_, has_price_ ? price_.c_str() : nullptr, level_text,
                         tmpl_.flags);
    }
    has_level_ = false;
}

void Dispatcher::derived_quote() {
    FieldValue* head = quotes_head_;
    FieldValue* tail = quotes_tail_;
    quotes_head_ = quotes_tail_ = nullptr;
    if (date_) fieldListAppend(&head, &tail, fieldValueCreate(3, date_->value));
    if (time_) fieldListAppend(&head, &tail, fieldValueCreate(4, time_->value));
    extra_.reset();
    extra_.kind = KIND_QUOTE;
    extra_.insref = tmpl_.insref;
    extra_.flags = ITEM_KEYED;
    set_kind_key(extra_.key, tmpl_.insref, KIND_QUOTE);
    addQueueItem(head, extra_);
}

void Dispatcher::trade_minute(const std::string& date, const std::string& time, bool have_date,
                              bool have_time) {
    if (!have_date || !have_time) return;
    int year, month, day, hour, minute, second;
    // A date or time that does not read gives no minute: a bar for a made-up minute would
    // be worse than none.
    if (std::sscanf(date.c_str(), "%d-%d-%d", &year, &month, &day) != 3) return;
    if (std::sscanf(time.c_str(), "%d:%d:%d", &hour, &minute, &second) != 3) return;
    // Zones change their offset on whole local hours, so within one hour the clock moves
    // with the wall time and one conversion per hour suffices. A field out of range is left
    // to the full conversion and never cached (checked first, so the key cannot overflow).
    const bool cacheable = year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 &&
                           day <= 31 && hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 &&
                           second >= 0 && second <= 60;
    const int hour_key = cacheable ? ((year * 13 + month) * 32 + day) * 24 + hour : -1;
    int64_t seconds;
    if (cacheable && hour_key == minute_hour_key_) {
        seconds = minute_hour_start_ + minute * 60 + second;
    } else {
        struct tm local {};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = cacheable ? 0 : minute;
        local.tm_sec = cacheable ? 0 : second;
        local.tm_isdst = -1;
        seconds = local_mktime(&local);
        if (cacheable) {
            minute_hour_key_ = hour_key;
            minute_hour_start_ = seconds;
            seconds += minute * 60 + second;
        }
    }
    uint64_t minute_number = static_cast<uint64_t>(seconds / 60);
    FieldValue* head = nullptr;
    FieldValue* tail = nullptr;
    fieldListAppend(&head, &tail, fieldValueCreate(3, date.c_str(), date.size()));
    fieldListAppend(&head, &tail, fieldValueCreate(36, time.c_str(), time.size()));
    extra_.reset();
    extra_.kind = KIND_TRADE_MINUTE;
    extra_.insref = tmpl_.insref;
    extra_.flags = ITEM_KEYED;
    set_kind_key(extra_.key, tmpl_.insref, KIND_TRADE_MINUTE);
    extra_.key += ':';
    append_number(extra_.key, minute_number);
    addQueueItem(head, extra_);
}

int Dispatcher::dispatch(int type, uint64_t insref, FieldReader& reader, bool snapshot_complete) {
    FeedTypeInfo info = feedTypeInfo(type);
    if (info.kind == 0) return 0;
    reset(type, insref, info);
    before_fields(type);
    stat_add(g_stats->received_messages, 1);
    set_kind_key(tmpl_.key, insref, info.kind);
    read_fields(reader, snapshot_complete);

    if (tmpl_.kind == KIND_BOOK_CLEAR) {
        if (tmpl_.flags & ITEM_CLEAR_BOOK) {
            if (Instrument* record = instrumentLookup(insref)) clearLadders(record);
            dropQueuedUpdate(&g_queues[3], insref, KIND_ORDER_BOOK, 1);
        }
        if (tmpl_.flags & ITEM_CLEAR_MBO) dropQueuedUpdate(&g_queues[3], insref, KIND_MBO, 1);
    }
    cut_times();
    default_date_time();
    local_time();
    news_extras();
    corporate_action();
    if ((tmpl_.kind == KIND_BID_LEVEL || tmpl_.kind == KIND_ASK_LEVEL) && instrument_ && has_level_)
        level_step();
    if (tmpl_.kind == KIND_QUOTE_EX && quotes_head_) derived_quote();

    // The trade minute is built from the trade's own date and time, which belong to the
    // queue once the trade is queued: keep copies first.
    bool minute = tmpl_.kind == KIND_TRADE && g_config.aggtrades == 1;
    struct MinuteDate;
    struct MinuteTime;
    std::string& minute_date = thread_owned<std::string, MinuteDate>();
    std::string& minute_time = thread_owned<std::string, MinuteTime>();
    bool have_date = false, have_time = false;
    if (minute) {
        if ((have_date = date_ && date_->value)) minute_date.assign(date_->value);
        if ((have_time = time_ && time_->value)) minute_time.assign(time_->value);
    }
    tmpl_.price = has_price_ ? price_.c_str() : nullptr;
    addQueueItem(head_, tmpl_);
    head_ = tail_ = nullptr;
    date_ = time_ = tag72_ = tag435_ = tag436_ = nullptr;
    tmpl_.price = nullptr;
    has_price_ = false;
    if (minute) trade_minute(minute_date, minute_time, have_date, have_time);
    return 1;
}
