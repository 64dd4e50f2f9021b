// market.cpp - the generated market (see market.h): the universe, the random walks, the
// books, and one writer per message type. Values follow the forms of fields.h.
#include "tools/feedsim/market.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "libqdf/qdf.h"
#include "platform/time_conv.h"
#include "tools/feedsim/fields.h"

namespace feedsim {

namespace {

using qdf_wire::FrameWriter;
namespace t = tag;

constexpr const char* kCurrencies[] = {"SEK", "EUR", "USD", "NOK", "DKK"};
constexpr const char* kMarkets[] = {"XSTO", "XHEL", "XCSE", "XOSL", "XNYS"};
constexpr const char* kTags[] = {"earnings", "dividend", "merger", "guidance", "rating", "insider"};
constexpr const char* kRecommendations[] = {"buy", "hold", "sell", "strong buy"};
constexpr int kHistoryDays = 5;

// Writes v into buf (no terminator); returns the length.
int format_int(char* buf, int64_t v) {
    char tmp[24];
    int n = 0;
    bool negative = v < 0;
    uint64_t u = negative ? static_cast<uint64_t>(-(v + 1)) + 1 : static_cast<uint64_t>(v);
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    int len = 0;
    if (negative) buf[len++] = '-';
    while (n > 0)
        buf[len++] = tmp[--n];
    return len;
}

int format_fixed(char* buf, int64_t v, int decimals) {
    if (decimals == 0) return format_int(buf, v);
    bool negative = v < 0;
    uint64_t u = negative ? static_cast<uint64_t>(-(v + 1)) + 1 : static_cast<uint64_t>(v);
    uint64_t scale = 1;
    for (int i = 0; i < decimals; ++i)
        scale *= 10;
    int len = 0;
    if (negative) buf[len++] = '-';
    len += format_int(buf + len, static_cast<int64_t>(u / scale));
    buf[len++] = '.';
    uint64_t frac = u % scale;
    for (int i = decimals - 1; i >= 0; --i) {
        buf[len + i] = static_cast<char>('0' + frac % 10);
        frac /= 10;
    }
    return len + decimals;
}

// "YYYY-MM-DD" of a broken-down time into out (11 bytes with the terminator).
void format_date(char* out, const struct tm& tm) {
    int y = (tm.tm_year + 1900) % 10000, m = (tm.tm_mon + 1) % 100, d = tm.tm_mday % 100;
    out[0] = static_cast<char>('0' + y / 1000);
    out[1] = static_cast<char>('0' + y / 100 % 10);
    out[2] = static_cast<char>('0' + y / 10 % 10);
    out[3] = static_cast<char>('0' + y % 10);
    out[4] = '-';
    out[5] = static_cast<char>('0' + m / 10);
    out[6] = static_cast<char>('0' + m % 10);
    out[7] = '-';
    out[8] = static_cast<char>('0' + d / 10);
    out[9] = static_cast<char>('0' + d % 10);
    out[10] = '\0';
}

struct ClassTypes {
    int cls;
    int types[7];
};

// Request class -> message types the class brings. The instrument reset and delete come
// with any selection.
constexpr ClassTypes kClassTypes[] = {
    {0, {FEED_NEWS}},
    {1, {FEED_QUOTE}},
    {2, {FEED_TRADE}},
    {3,
     {FEED_BID_INSERT, FEED_ASK_INSERT, FEED_BID_DELETE, FEED_ASK_DELETE, FEED_BID_UPDATE,
      FEED_ASK_UPDATE, FEED_BOOK_CLEAR}},
    {4, {FEED_BASICDATA}},
    {5, {FEED_PRICEHISTORY}},
    {8, {FEED_NEWS_22}},
    {9, {FEED_CORPORATE_ACTION}},
    {10, {FEED_TRADESTATE}},
    {11, {FEED_FUNDAMENTALS}},
    {12, {FEED_PERFORMANCE}},
    {13, {FEED_KEYRATIOS}},
    {14, {FEED_ESTIMATES_28}},
    {15, {FEED_ESTIMATES_29}},
    {16, {FEED_NOII}},
    {17, {FEED_L10N}},
    {18, {FEED_CI_33}},
    {19, {FEED_CI_34}},
    {20, {FEED_PRIIP}},
    {21, {FEED_MIFID_36}},
    {22, {FEED_MIFID_37}},
    {23, {FEED_MAPPINGS}},
    {24, {FEED_MBO_ADD, FEED_MBO_CHANGE, FEED_MBO_DELETE, FEED_BOOK_CLEAR}},
    {25, {FEED_GREEKS}},
    {26, {FEED_QUOTE_43, FEED_BOOK_CLEAR}},
    {27, {FEED_QUOTEEX}},
};

constexpr int kMaxType = 64;

}  // namespace

std::vector<MixEntry> default_mix() {
    return {
        {FEED_QUOTE, 2600},
        {FEED_QUOTE_43, 200},
        {FEED_QUOTEEX, 300},
        {FEED_TRADE, 1500},
        {FEED_BID_INSERT, 400},
        {FEED_ASK_INSERT, 400},
        {FEED_BID_DELETE, 250},
        {FEED_ASK_DELETE, 250},
        {FEED_BID_UPDATE, 350},
        {FEED_ASK_UPDATE, 350},
        {FEED_BOOK_CLEAR, 3},
        {FEED_MBO_ADD, 300},
        {FEED_MBO_CHANGE, 200},
        {FEED_MBO_DELETE, 200},
        {FEED_INSTRUMENT_RESET, 2},
        {FEED_INSTRUMENT_DELETE, 1},
        {FEED_BASICDATA, 20},
        {FEED_TRADESTATE, 20},
        {FEED_NEWS, 20},
        {FEED_NEWS_22, 5},
        {FEED_CORPORATE_ACTION, 10},
        {FEED_PRICEHISTORY, 10},
        {FEED_FUNDAMENTALS, 10},
        {FEED_PERFORMANCE, 30},
        {FEED_KEYRATIOS, 30},
        {FEED_ESTIMATES_28, 10},
        {FEED_ESTIMATES_29, 10},
        {FEED_NOII, 20},
        {FEED_L10N, 3},
        {FEED_CI_33, 3},
        {FEED_CI_34, 3},
        {FEED_PRIIP, 3},
        {FEED_MIFID_36, 3},
        {FEED_MIFID_37, 3},
        {FEED_MAPPINGS, 5},
        {FEED_GREEKS, 30},
    };
}

bool parse_mix(const char* text, std::vector<MixEntry>* out, std::string* error) {
    out->clear();
    const char* p = text;
    while (*p != '\0') {
        const char* end = std::strchr(p, ',');
        if (end == nullptr) end = p + std::strlen(p);
        const char* eq =
            static_cast<const char*>(std::memchr(p, '=', static_cast<size_t>(end - p)));
        if (eq == nullptr || eq == p) {
            *error = "mix entry without TYPE=WEIGHT: " + std::string(p, end);
            return false;
        }
        int type = qdf_wire::type_from_name(p, static_cast<size_t>(eq - p));
        if (type < 0) {
            char* stop = nullptr;
            std::string number(p, eq);
            long v = std::strtol(number.c_str(), &stop, 10);
            if (*stop != '\0' || v < 0 || v >= kMaxType) {
                *error = "unknown message type in mix: " + number;
                return false;
            }
            type = static_cast<int>(v);
        }
        std::string weight(eq + 1, end);
        char* stop = nullptr;
        long w = std::strtol(weight.c_str(), &stop, 10);
        if (weight.empty() || *stop != '\0' || w < 0 || w > 1000000) {
            *error = "bad mix weight: " + weight;
            return false;
        }
        out->push_back({type, static_cast<int>(w)});
        p = *end == ',' ? end + 1 : end;
    }
    return true;
}

std::vector<int> types_for_classes(const std::vector<int>& classes) {
    std::vector<int> types;
    for (int c : classes)
        for (const ClassTypes& ct : kClassTypes)
            if (ct.cls == c)
                for (int ty : ct.types)
                    if (ty != 0 && std::find(types.begin(), types.end(), ty) == types.end())
                        types.push_back(ty);
    if (!types.empty()) {
        types.push_back(FEED_INSTRUMENT_RESET);
        types.push_back(FEED_INSTRUMENT_DELETE);
    }
    return types;
}

Market::Market(const MarketOptions& options)
    : options_(options),
      rng_(options.seed * 0x9E3779B97F4A7C15ull + 1),
      bad_rng_(options.seed * 0xD1B54A32D192ED03ull + 7) {
    if (options_.instruments < 1) options_.instruments = 1;
    if (options_.max_depth < 1) options_.max_depth = 1;
    if (options_.mix.empty()) options_.mix = default_mix();
    universe_.resize(static_cast<size_t>(options_.instruments));
    for (size_t i = 0; i < universe_.size(); ++i)
        make_instrument(&universe_[i], 1001 + i);
    next_insref_ = 1001 + universe_.size();
    allowed_.assign(kMaxType, false);
}

uint64_t Market::rand64() {
    // splitmix64: small, fast, and the same everywhere for the same seed.
    uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int Market::uniform(int n) {
    return n <= 1 ? 0 : static_cast<int>(rand64() % static_cast<uint64_t>(n));
}

void Market::make_instrument(Instrument* ins, uint64_t insref) {
    *ins = Instrument();
    ins->insref = insref;
    int r = uniform(100);
    ins->type = r < 80 ? 1 : r < 85 ? 2 : r < 95 ? 3 : 4;
    ins->status = 1;
    char buf[64];
    std::snprintf(buf, sizeof buf, "SIM%06llu", static_cast<unsigned long long>(insref));
    ins->symbol = buf;
    std::snprintf(buf, sizeof buf, "Simulated %s %llu",
                  ins->type == 3   ? "Fund"
                  : ins->type == 4 ? "Index"
                                   : "Company",
                  static_cast<unsigned long long>(insref));
    ins->name = buf;
    std::snprintf(buf, sizeof buf, "XS%010llu",
                  static_cast<unsigned long long>(insref % 10000000000ull));
    ins->isin = buf;
    ins->currency = kCurrencies[uniform(5)];
    ins->price = 1000 + uniform(49000);  // 10.00 .. 500.00
    ins->prev_close = ins->price;
    ins->open = ins->high = ins->low = ins->price;
}

void Market::select(const std::vector<int>& classes, const std::vector<uint64_t>& insrefs) {
    selected_.clear();
    listed_ = !insrefs.empty();
    for (size_t i = 0; i < universe_.size(); ++i)
        if (insrefs.empty() ||
            std::find(insrefs.begin(), insrefs.end(), universe_[i].insref) != insrefs.end())
            selected_.push_back(i);
    allowed_.assign(kMaxType, false);
    for (int ty : types_for_classes(classes))
        allowed_[static_cast<size_t>(ty)] = true;
    auto has = [&](int c) { return std::find(classes.begin(), classes.end(), c) != classes.end(); };
    want_book_ = has(3);
    want_mbo_ = has(24);
    want_bbo_ = has(26);
    want_basic_ = has(4);
    live_.clear();
    total_weight_ = 0;
    if (selected_.empty()) return;
    for (const MixEntry& m : options_.mix)
        if (m.type >= 0 && m.type < kMaxType && allowed_[static_cast<size_t>(m.type)] &&
            m.weight > 0) {
            live_.push_back(m);
            total_weight_ += m.weight;
        }
}

int64_t Market::now_us() {
    if (options_.start_time_us != 0) return options_.start_time_us + live_count_ * options_.step_us;
    int64_t s;
    int32_t us;
    platform_now(&s, &us);
    return (s + options_.time_offset_s) * 1000000 + us;
}

void Market::stamp() {
    int64_t us = now_us();
    int64_t second = us / 1000000;
    if (second != stamp_second_) {
        stamp_second_ = second;
        struct tm tm;
        platform_utc_tm(second, &tm);
        format_date(date_, tm);
        std::snprintf(time_, sizeof time_, "%02d:%02d:%02d.000000", tm.tm_hour, tm.tm_min,
                      tm.tm_sec);
    }
    int64_t frac = us % 1000000;
    for (int i = 14; i >= 9; --i) {
        time_[i] = static_cast<char>('0' + frac % 10);
        frac /= 10;
    }
}

Market::Instrument& Market::pick() {
    return universe_[selected_[static_cast<size_t>(uniform(static_cast<int>(selected_.size())))]];
}

const std::vector<BookLevel>* Market::ladder(uint64_t insref, bool bid) const {
    for (const Instrument& ins : universe_)
        if (ins.insref == insref) return bid ? &ins.bids : &ins.asks;
    return nullptr;
}

// ---- field writers ----

void Market::begin(FrameWriter& out, int type, uint64_t insref) {
    out.begin(static_cast<uint16_t>(type), insref);
}

void Market::put_text(FrameWriter& out, uint32_t tg, const char* text) {
    out.field(tg, qdf_wire::kString, text, std::strlen(text));
}

void Market::put_text(FrameWriter& out, uint32_t tg, const std::string& text) {
    out.field(tg, qdf_wire::kString, text.data(), text.size());
}

void Market::put_free_text(FrameWriter& out, uint32_t tg, const std::string& text) {
    if (options_.bad_text_rate <= 0) return put_text(out, tg, text);
    // splitmix64 again, on a state of its own: spoiling must not move the market's draws.
    uint64_t z = (bad_rng_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    double draw = static_cast<double>(z >> 11) / 9007199254740992.0;  // [0, 1)
    if (draw >= options_.bad_text_rate) return put_text(out, tg, text);
    std::string spoilt;
    if ((z & 1) == 0) {
        // Not UTF-8: a lone continuation byte, a lead byte followed by an ASCII letter, a
        // byte that never occurs in UTF-8, and a cut-off three-byte sequence at the end.
        spoilt = text.substr(0, text.size() / 2) + "\x80" + "\xC3(" + "\xFF" +
                 text.substr(text.size() / 2) + "\xE2\x82";
    } else {
        // Far longer than any column it may land in (the longest varchar is 255), in
        // characters of two bytes each so that a limit counted in bytes cuts through one.
        spoilt = text;
        while (spoilt.size() < 2000)
            spoilt += " \xC3\xA5" + text;
    }
    out.field(tg, qdf_wire::kString, spoilt.data(), spoilt.size());
}

void Market::put_int(FrameWriter& out, uint32_t tg, int64_t value) {
    char buf[24];
    int n = format_int(buf, value);
    out.field(tg, qdf_wire::kNumeric, buf, static_cast<size_t>(n));
}

void Market::put_price(FrameWriter& out, uint32_t tg, int64_t ticks) {
    put_fixed(out, tg, ticks, 2);
}

void Market::put_fixed(FrameWriter& out, uint32_t tg, int64_t value, int decimals) {
    char buf[32];
    int n = format_fixed(buf, value, decimals);
    out.field(tg, qdf_wire::kNumeric, buf, static_cast<size_t>(n));
}

void Market::put_date_time(FrameWriter& out, uint32_t time_tag) {
    out.field(t::kDate, qdf_wire::kString, date_, 10);
    out.field(time_tag, qdf_wire::kString, time_, 15);
}

void Market::put_date_days_ago(FrameWriter& out, uint32_t tg, int days) {
    struct tm tm;
    platform_utc_tm(stamp_second_ - static_cast<int64_t>(days) * 86400, &tm);
    char buf[16];
    format_date(buf, tm);
    out.field(tg, qdf_wire::kString, buf, 10);
}

// ---- message writers ----

int Market::write_quote(FrameWriter& out, Instrument& ins, bool snapshot) {
    int step = uniform(5) - 2;
    if (!snapshot && ins.price + step > 100) ins.price += step;
    ins.high = std::max(ins.high, ins.price);
    ins.low = std::min(ins.low, ins.price);
    int spread = 1 + uniform(3);
    begin(out, FEED_QUOTE, ins.insref);
    put_date_time(out);
    put_price(out, t::kBid, ins.price - spread);
    put_price(out, t::kAsk, ins.price + spread);
    put_price(out, t::kLast, ins.price);
    put_int(out, t::kBidVolume, 100 * (1 + uniform(50)));
    put_int(out, t::kAskVolume, 100 * (1 + uniform(50)));
    put_int(out, t::kDayVolume, ins.day_volume);
    if (snapshot || uniform(8) == 0) {
        put_price(out, t::kHigh, ins.high);
        put_price(out, t::kLow, ins.low);
        put_price(out, t::kOpen, ins.open);
        put_price(out, t::kTurnover, ins.turnover_cents);
    }
    if (ins.type == 2) {
        put_fixed(out, t::kYield, 30000 + ins.price % 1000, 6);
        put_fixed(out, t::kBidYield, 30100 + ins.price % 1000, 6);
    }
    if (ins.type == 3) put_price(out, t::kNavPrice, ins.price + 3);
    if (!ins.recent.empty() && (snapshot || uniform(4) == 0)) {
        out.field(435, qdf_wire::kString, ins.recent.back().time, 15);
        out.field(436, qdf_wire::kString, date_, 10);
    }
    return 1;
}

int Market::write_quote43(FrameWriter& out, Instrument& ins) {
    begin(out, FEED_QUOTE_43, ins.insref);
    put_date_time(out);
    put_price(out, t::kBid, ins.price - 1);
    put_price(out, t::kAsk, ins.price + 1);
    put_int(out, t::kBidVolume, 100 * (1 + uniform(20)));
    put_int(out, t::kAskVolume, 100 * (1 + uniform(20)));
    return 1;
}

int Market::write_quoteex(FrameWriter& out, Instrument& ins) {
    begin(out, FEED_QUOTEEX, ins.insref);
    put_date_time(out);
    put_price(out, t::kBid, ins.price - 2);
    put_price(out, t::kAsk, ins.price + 2);
    put_price(out, t::kLast, ins.price + uniform(3) - 1);
    put_int(out, t::kBidVolume, 100 * (1 + uniform(10)));
    put_int(out, t::kAskVolume, 100 * (1 + uniform(10)));
    return 1;
}

int Market::write_trade(FrameWriter& out, Instrument& ins) {
    begin(out, FEED_TRADE, ins.insref);
    out.field(t::kDate, qdf_wire::kString, date_, 10);
    out.field(t::kTradeTime, qdf_wire::kString, time_, 15);
    // Now and then a correction cancels a recent trade: same id, update-first, cancelled.
    if (!ins.recent.empty() && uniform(20) == 0) {
        const Trade& old =
            ins.recent[static_cast<size_t>(uniform(static_cast<int>(ins.recent.size())))];
        put_int(out, t::kTradeId, static_cast<int64_t>(old.id));
        put_price(out, t::kTradePrice, old.price);
        put_int(out, t::kQuantity, old.quantity);
        put_int(out, t::kTradeFlags, 0x80 | 0x40 | 0x10 | 0x08);
        out.field(t::kOriginalTime, qdf_wire::kString, old.time, 15);
        return 1;
    }
    int64_t price = ins.price + uniform(3) - 1;
    int64_t quantity = 10 * (1 + uniform(100));
    int r = uniform(20);
    int flags = r < 17 ? 0xC0 : r < 19 ? 0x80 : 0x40;  // both count; price only; volume only
    Trade tr;
    tr.id = ++ins.trade_seq;
    tr.price = price;
    tr.quantity = quantity;
    std::memcpy(tr.time, time_, sizeof tr.time);
    if (ins.recent.size() >= 8) ins.recent.erase(ins.recent.begin());
    ins.recent.push_back(tr);
    if (flags & 0x40) {
        ins.day_volume += quantity;
        ins.turnover_cents += quantity * price;
    }
    put_int(out, t::kTradeId, static_cast<int64_t>(tr.id));
    put_price(out, t::kTradePrice, price);
    put_int(out, t::kQuantity, quantity);
    put_int(out, t::kTradeFlags, flags);
    put_price(out, t::kSecondPrice, price / 10);
    return 1;
}

int Market::write_book(FrameWriter& out, Instrument& ins, int type) {
    bool bid = type == FEED_BID_INSERT || type == FEED_BID_DELETE || type == FEED_BID_UPDATE;
    std::vector<BookLevel>& ladder = bid ? ins.bids : ins.asks;
    int op = type == FEED_BID_INSERT || type == FEED_ASK_INSERT   ? 0
             : type == FEED_BID_DELETE || type == FEED_ASK_DELETE ? 1
                                                                  : 2;
    int count = static_cast<int>(ladder.size());
    // The requested operation gives way to the one the ladder allows.
    if (op != 0 && count == 0) op = 0;
    if (op == 0 && count >= options_.max_depth) op = 1;
    if (op == 1 && count <= 2 && count < options_.max_depth && uniform(2) == 0) op = 0;

    if (op == 0) {
        // Insert at level L in 1..count+1 with a price strictly between its neighbours; the
        // best level stays on its side of the last price.
        for (int attempt = 0; attempt < 4; ++attempt) {
            int level = 1 + uniform(count + 1);
            int64_t lo, hi;  // inclusive price range that keeps the ladder strictly ordered
            if (bid) {       // bids: highest first, all below the last price
                hi = level == 1 ? ins.price - 1 : ladder[static_cast<size_t>(level - 2)].price - 1;
                lo = level == count + 1 ? hi - 5 : ladder[static_cast<size_t>(level - 1)].price + 1;
                if (lo < 1) lo = 1;
            } else {  // asks: lowest first, all above the last price
                lo = level == 1 ? ins.price + 1 : ladder[static_cast<size_t>(level - 2)].price + 1;
                hi = level == count + 1 ? lo + 5 : ladder[static_cast<size_t>(level - 1)].price - 1;
            }
            if (lo > hi) continue;
            int64_t price = lo + uniform(static_cast<int>(hi - lo + 1));
            BookLevel lv{price, 100 * (1 + uniform(50)), 1 + uniform(9)};
            ladder.insert(ladder.begin() + (level - 1), lv);
            begin(out, bid ? FEED_BID_INSERT : FEED_ASK_INSERT, ins.insref);
            put_date_time(out);
            put_price(out, bid ? t::kBid : t::kAsk, price);
            put_int(out, t::kLevel, level);
            put_int(out, t::kLevelVolume, lv.volume);
            put_int(out, t::kLevelOrders, lv.orders);
            return 1;
        }
        if (count == 0) return 0;  // no room near the price: skip this turn
        // No gap left (the price has moved through the best levels): take the best away.
        ladder.erase(ladder.begin());
        begin(out, bid ? FEED_BID_DELETE : FEED_ASK_DELETE, ins.insref);
        put_date_time(out);
        put_int(out, t::kLevel, 1);
        return 1;
    }
    int level = 1 + uniform(count);
    if (op == 1) {
        ladder.erase(ladder.begin() + (level - 1));
        begin(out, bid ? FEED_BID_DELETE : FEED_ASK_DELETE, ins.insref);
        put_date_time(out);
        put_int(out, t::kLevel, level);
        return 1;
    }
    BookLevel& lv = ladder[static_cast<size_t>(level - 1)];
    lv.volume = 100 * (1 + uniform(50));
    lv.orders = 1 + uniform(9);
    begin(out, bid ? FEED_BID_UPDATE : FEED_ASK_UPDATE, ins.insref);
    put_date_time(out);
    put_int(out, t::kLevel, level);
    put_int(out, t::kLevelVolume, lv.volume);
    put_int(out, t::kLevelOrders, lv.orders);
    return 1;
}

int Market::write_book_clear(FrameWriter& out, Instrument& ins, int bits) {
    if (bits & 1) {
        ins.bids.clear();
        ins.asks.clear();
    }
    if (bits & 2) ins.orders.clear();
    begin(out, FEED_BOOK_CLEAR, ins.insref);
    put_date_time(out);
    put_int(out, t::kBookClear, bits);
    return 1;
}

int Market::write_book_snapshot(FrameWriter& out, Instrument& ins) {
    // The client's ladders may hold an earlier connection's levels: the clear comes first
    // (written by the caller), then every level as an insert at the bottom of its side.
    int n = 0;
    if (ins.bids.empty() && ins.asks.empty()) {
        for (int i = 0; i < 5; ++i) {
            ins.bids.push_back({ins.price - 1 - 2 * i, 100 * (1 + uniform(50)), 1 + uniform(9)});
            ins.asks.push_back({ins.price + 1 + 2 * i, 100 * (1 + uniform(50)), 1 + uniform(9)});
        }
    }
    for (int side = 0; side < 2; ++side) {
        const std::vector<BookLevel>& ladder = side == 0 ? ins.bids : ins.asks;
        for (size_t i = 0; i < ladder.size(); ++i) {
            begin(out, side == 0 ? FEED_BID_INSERT : FEED_ASK_INSERT, ins.insref);
            put_date_time(out);
            put_price(out, side == 0 ? t::kBid : t::kAsk, ladder[i].price);
            put_int(out, t::kLevel, static_cast<int64_t>(i + 1));
            put_int(out, t::kLevelVolume, ladder[i].volume);
            put_int(out, t::kLevelOrders, ladder[i].orders);
            ++n;
        }
    }
    return n;
}

int Market::write_mbo(FrameWriter& out, Instrument& ins, int type) {
    if (type != FEED_MBO_ADD && ins.orders.empty()) type = FEED_MBO_ADD;
    if (type == FEED_MBO_ADD && ins.orders.size() >= 20) type = FEED_MBO_DELETE;
    if (type == FEED_MBO_ADD) {
        Order o;
        o.id = next_order_id_++;
        o.side = uniform(2) == 0 ? 'B' : 'A';
        o.price = o.side == 'B' ? ins.price - 1 - uniform(10) : ins.price + 1 + uniform(10);
        o.quantity = 10 * (1 + uniform(100));
        ins.orders.push_back(o);
        begin(out, FEED_MBO_ADD, ins.insref);
        put_date_time(out);
        put_int(out, t::kOrderId, static_cast<int64_t>(o.id));
        out.field(t::kOrderSide, qdf_wire::kString, &o.side, 1);
        put_price(out, t::kOrderPrice, o.price);
        put_int(out, t::kOrderQuantity, o.quantity);
        return 1;
    }
    size_t i = static_cast<size_t>(uniform(static_cast<int>(ins.orders.size())));
    Order& o = ins.orders[i];
    if (type == FEED_MBO_CHANGE) {
        o.quantity = 10 * (1 + uniform(100));
        begin(out, FEED_MBO_CHANGE, ins.insref);
        put_date_time(out);
        put_int(out, t::kOrderId, static_cast<int64_t>(o.id));
        put_int(out, t::kOrderQuantity, o.quantity);
        if (uniform(3) == 0) {
            o.price += o.side == 'B' ? -1 : 1;
            put_price(out, t::kOrderPrice, o.price);
        }
        return 1;
    }
    begin(out, FEED_MBO_DELETE, ins.insref);
    put_date_time(out);
    put_int(out, t::kOrderId, static_cast<int64_t>(o.id));
    ins.orders.erase(ins.orders.begin() + static_cast<long>(i));
    return 1;
}

int Market::write_mbo_snapshot(FrameWriter& out, Instrument& ins) {
    if (ins.orders.empty()) {
        for (int i = 0; i < 4; ++i) {
            Order o{next_order_id_++, i % 2 == 0 ? 'B' : 'A', 0, 10 * (1 + uniform(100))};
            o.price = o.side == 'B' ? ins.price - 1 - i : ins.price + 1 + i;
            ins.orders.push_back(o);
        }
    }
    for (const Order& o : ins.orders) {
        begin(out, FEED_MBO_ADD, ins.insref);
        put_date_time(out);
        put_int(out, t::kOrderId, static_cast<int64_t>(o.id));
        out.field(t::kOrderSide, qdf_wire::kString, &o.side, 1);
        put_price(out, t::kOrderPrice, o.price);
        put_int(out, t::kOrderQuantity, o.quantity);
    }
    return static_cast<int>(ins.orders.size());
}

int Market::write_basicdata(FrameWriter& out, Instrument& ins) {
    char buf[512];
    begin(out, FEED_BASICDATA, ins.insref);
    put_date_time(out);
    put_free_text(out, t::kName, ins.name);
    put_text(out, t::kSymbol, ins.symbol);
    put_text(out, t::kIsin, ins.isin);
    put_text(out, t::kCurrency, ins.currency);
    put_text(out, t::kMarket, kMarkets[ins.insref % 5]);
    put_int(out, t::kLotSize, ins.type == 2 ? 1000 : 1);
    put_int(out, t::kStatus, ins.status);
    put_int(out, t::kInstrumentType, ins.type);
    std::snprintf(buf, sizeof buf, "=%d %d", 10 + static_cast<int>(ins.insref % 7),
                  20 + uniform(5));
    out.field(t::kSectors, qdf_wire::kList, buf, std::strlen(buf));
    // Linked instruments: the neighbours in the universe, as a replacement or an addition.
    uint64_t a = ins.insref > 1001 ? ins.insref - 1 : ins.insref + 2, b = ins.insref + 1;
    std::snprintf(buf, sizeof buf, "%s%llu %llu", uniform(4) == 0 ? "+" : "=",
                  static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    out.field(t::kInstrumentList, qdf_wire::kList, buf, std::strlen(buf));
    if (ins.type == 4) {
        std::snprintf(buf, sizeof buf, "%llu 0.25|%llu 0.35|%llu 0.40",
                      static_cast<unsigned long long>(ins.insref - 3),
                      static_cast<unsigned long long>(ins.insref - 2),
                      static_cast<unsigned long long>(ins.insref - 1));
        out.field(t::kUnderlyings, qdf_wire::kString, buf, std::strlen(buf));
    }
    // Today, and the first day of the month as a half day.
    std::snprintf(buf, sizeof buf, "%s 09:00:00 17:30:00|%.8s01 09:00:00 13:00:00", date_, date_);
    out.field(t::kCalendar, qdf_wire::kString, buf, std::strlen(buf));
    if (ins.type == 1) {
        std::snprintf(buf, sizeof buf, "%s %d.%02d %s", date_, 1 + uniform(5), uniform(100),
                      ins.currency);
        out.field(t::kDividends, qdf_wire::kString, buf, std::strlen(buf));
    }
    std::snprintf(buf, sizeof buf, "FIGI BBG%09llu|TICKER %s\\ %s",
                  static_cast<unsigned long long>(ins.insref), ins.symbol.c_str(),
                  kMarkets[ins.insref % 5]);
    out.field(t::kAltIds, qdf_wire::kString, buf, std::strlen(buf));
    put_text(out, t::kTickTable, "0 0.01|10 0.05|100 0.10");
    return 1;
}

int Market::write_tradestate(FrameWriter& out, Instrument& ins, bool may_delete) {
    begin(out, FEED_TRADESTATE, ins.insref);
    put_date_time(out);
    if (may_delete && uniform(50) == 0) {
        out.field(t::kDelete, qdf_wire::kString, "", 0);
        return 1;
    }
    ins.status = uniform(10) == 0 ? 2 : 1;
    put_int(out, t::kStatus, ins.status);
    put_free_text(out, t::kStateText, ins.status == 1 ? "TRADING" : "HALTED");
    return 1;
}

int Market::write_news(FrameWriter& out, Instrument& ins, int type) {
    char id[32];
    std::snprintf(id, sizeof id, "N%08llu", static_cast<unsigned long long>(next_news_id_++));
    int blocks = 1 + uniform(3);
    for (int b = 0; b < blocks; ++b) {
        begin(out, type, ins.insref);
        put_date_time(out);
        put_text(out, t::kNewsId, id);
        if (b + 1 < blocks) put_int(out, t::kMoreBlocks, 1);
        char text[160];
        std::snprintf(text, sizeof text,
                      "Block %d of %d about %s. Prices moved to %lld.%02lld; it's a test.", b + 1,
                      blocks, ins.name.c_str(), static_cast<long long>(ins.price / 100),
                      static_cast<long long>(ins.price % 100));
        put_free_text(out, t::kNewsText, text);
        if (b == 0) {
            std::snprintf(text, sizeof text, "%s: news number %s", ins.symbol.c_str(), id);
            put_free_text(out, t::kHeadline, text);
            put_text(out, t::kNewsSource, type == FEED_NEWS ? "SIMWIRE" : "SIMPRESS");
            put_text(out, t::kNewsLanguage, uniform(2) == 0 ? "en" : "sv");
            std::snprintf(text, sizeof text, "%s XS%010llu", ins.isin.c_str(),
                          static_cast<unsigned long long>((ins.insref + 1) % 10000000000ull));
            out.field(t::kIsinList, qdf_wire::kList, text, std::strlen(text));
            std::snprintf(text, sizeof text, "%llu",
                          static_cast<unsigned long long>(ins.insref % 500 + 1));
            out.field(t::kCompanyList, qdf_wire::kList, text, std::strlen(text));
            std::snprintf(text, sizeof text, "%s|%s", kTags[uniform(6)], kTags[uniform(6)]);
            put_text(out, t::kNewsTags, text);
        }
        if (b + 1 == blocks) out.field(t::kLastBlock, qdf_wire::kString, "", 0);
    }
    return blocks;
}

int Market::write_corporate_action(FrameWriter& out, Instrument& ins, bool snapshot, size_t index) {
    Action* a = nullptr;
    bool remove = false;
    if (snapshot) {
        a = &ins.actions[index];
    } else if (!ins.actions.empty() && uniform(3) == 0) {
        size_t i = static_cast<size_t>(uniform(static_cast<int>(ins.actions.size())));
        a = &ins.actions[i];
        int r = uniform(4);
        if (r == 0) {
            remove = true;
        } else if (r == 1) {
            a->factor_micro += 10000;  // a revised factor
        }                              // else the same action again, unchanged
        if (remove) {
            begin(out, FEED_CORPORATE_ACTION, ins.insref);
            out.field(t::kDate, qdf_wire::kString, a->date, 10);
            put_text(out, t::kTime, "00:00:00");
            put_int(out, t::kActionKey, static_cast<int64_t>(a->key));
            out.field(t::kDelete, qdf_wire::kString, "", 0);
            ins.actions.erase(ins.actions.begin() + static_cast<long>(i));
            return 1;
        }
    } else {
        Action na;
        na.key = next_action_key_++;
        int r = uniform(3);
        na.type = r == 0 ? 1 : r == 1 ? 2 : 11;
        na.factor_micro = na.type == 1 ? 2000000 : na.type == 2 ? 1100000 : 980000;
        struct tm tm;
        platform_utc_tm(stamp_second_ - static_cast<int64_t>(uniform(30)) * 86400, &tm);
        format_date(na.date, tm);
        if (ins.actions.size() >= 6) ins.actions.erase(ins.actions.begin());
        ins.actions.push_back(na);
        a = &ins.actions.back();
    }
    begin(out, FEED_CORPORATE_ACTION, ins.insref);
    out.field(t::kDate, qdf_wire::kString, a->date, 10);
    put_text(out, t::kTime, "00:00:00");
    put_int(out, t::kActionKey, static_cast<int64_t>(a->key));
    put_int(out, t::kActionType, a->type);
    put_fixed(out, t::kActionFactor, a->factor_micro, 6);
    put_int(out, t::kSeconds, stamp_second_ - 86400);
    put_free_text(out, t::kActionText,
                  a->type == 1   ? "Split 2:1"
                  : a->type == 2 ? "Bonus issue"
                                 : "Dividend");
    if (a->type == 11) put_price(out, t::kActionAmount, 150);
    return 1;
}

int Market::write_pricehistory(FrameWriter& out, Instrument& ins, int days_ago, bool may_delete) {
    begin(out, FEED_PRICEHISTORY, ins.insref);
    put_date_days_ago(out, t::kDate, days_ago);
    if (may_delete && uniform(30) == 0) {
        out.field(t::kDelete, qdf_wire::kString, "", 0);
        return 1;
    }
    int64_t close = ins.prev_close + days_ago * ((static_cast<int64_t>(ins.insref) % 7) - 3);
    if (close < 100) close = 100;
    put_price(out, t::kHistOpen, close - 3);
    put_price(out, t::kClose, close);
    put_price(out, t::kHistHigh, close + 10);
    put_price(out, t::kHistLow, close - 12);
    put_price(out, t::kHistAverage, close - 1);
    int64_t volume = 1000 * (1 + uniform(500));
    put_int(out, t::kHistVolume, volume);
    put_price(out, t::kHistTurnover, volume * close);
    put_int(out, t::kHistTrades, 1 + uniform(900));
    return 1;
}

int Market::write_fundamentals(FrameWriter& out, Instrument& ins, bool may_delete) {
    static constexpr const char* kPeriods[] = {"Q1", "Q2", "Q3", "Q4", "FY"};
    begin(out, FEED_FUNDAMENTALS, ins.insref);
    put_date_time(out);
    put_int(out, 720, 2019 + uniform(6));
    put_text(out, 721, kPeriods[uniform(5)]);
    if (may_delete && uniform(40) == 0) {
        out.field(t::kDelete, qdf_wire::kString, "", 0);
        return 1;
    }
    int64_t revenue = 1000000 * (10 + static_cast<int64_t>(ins.insref % 900));
    put_int(out, 722, revenue);
    put_int(out, 723, revenue / 10 - uniform(1000000));
    put_int(out, 724, revenue * 3);
    put_int(out, 725, revenue);
    put_int(out, 726, 10 + static_cast<int64_t>(ins.insref % 5000));
    return 1;
}

int Market::write_performance(FrameWriter& out, Instrument& ins) {
    static constexpr uint32_t kPriceRefs[] = {148, 149, 334, 150, 151, 152, 153, 154,
                                              155, 249, 777, 156, 778, 779, 780, 781,
                                              157, 158, 159, 160, 161, 162, 250};
    static constexpr uint32_t kYieldRefs[] = {261, 262, 335, 263, 264, 265, 266, 267,
                                              268, 269, 782, 270, 783, 784, 785, 786,
                                              271, 272, 273, 274, 275, 276, 277};
    begin(out, FEED_PERFORMANCE, ins.insref);
    put_date_time(out);
    int n = 0;
    for (uint32_t tg : kPriceRefs) {
        int64_t ref = ins.prev_close + (n * 7 % 23) * (n % 2 == 0 ? 1 : -1) * (1 + uniform(3));
        put_price(out, tg, ref < 1 ? 1 : ref);
        ++n;
    }
    // A zero reference now and then shows that the percentage columns cope with it.
    for (uint32_t tg : kYieldRefs)
        put_fixed(out, tg, uniform(50) == 0 ? 0 : 25000 + uniform(20000), 6);
    put_price(out, 354, ins.prev_close - 1);
    put_fixed(out, 355, 30000 + uniform(1000), 6);
    put_price(out, 356, ins.prev_close - 2);
    put_fixed(out, 357, 30000 + uniform(1000), 6);
    put_price(out, t::kClose, ins.prev_close);
    return 1;
}

int Market::write_keyratios(FrameWriter& out, Instrument& ins) {
    begin(out, FEED_KEYRATIOS, ins.insref);
    put_date_time(out);
    put_price(out, 700, 50 + uniform(2000));
    put_price(out, 701, 500 + uniform(5000));
    put_price(out, 702, uniform(500));
    put_price(out, 703, 1000 + uniform(5000));
    put_int(out, 704, 1000000 * (1 + static_cast<int64_t>(ins.insref % 300)));
    return 1;
}

int Market::write_estimates(FrameWriter& out, Instrument& ins, int type) {
    begin(out, type, ins.insref);
    put_date_time(out);
    if (type == FEED_ESTIMATES_28) {
        put_int(out, 740, 2025 + uniform(3));
        put_price(out, 741, 50 + uniform(2000));
        put_int(out, 742, 1000000 * (10 + uniform(900)));
        put_int(out, 743, 1 + uniform(20));
    } else {
        put_int(out, 750, 1 + uniform(12));
        put_text(out, 751, kRecommendations[uniform(4)]);
        put_price(out, 752, ins.price + uniform(2000) - 500);
    }
    return 1;
}

int Market::write_noii(FrameWriter& out, Instrument& ins) {
    begin(out, FEED_NOII, ins.insref);
    put_date_time(out);
    put_int(out, 630, 100 * uniform(10000));
    put_int(out, 631, 100 * uniform(5000));
    out.field(632, qdf_wire::kString, uniform(2) == 0 ? "B" : "A", 1);
    put_price(out, 633, ins.price);
    put_price(out, 634, ins.price + uniform(5) - 2);
    put_price(out, 635, ins.price + uniform(9) - 4);
    return 1;
}

int Market::write_reference(FrameWriter& out, Instrument& ins, int type) {
    char buf[128];
    begin(out, type, ins.insref);
    switch (type) {
        case FEED_L10N:
            put_date_time(out);
            put_text(out, 800, uniform(2) == 0 ? "sv" : "fi");
            std::snprintf(buf, sizeof buf, "%s (lokal)", ins.name.c_str());
            put_free_text(out, 801, buf);
            break;
        case FEED_CI_33:
            put_int(out, 810, static_cast<int64_t>(ins.insref % 500 + 1));
            std::snprintf(buf, sizeof buf, "%s Holding", ins.name.c_str());
            put_free_text(out, 811, buf);
            put_text(out, 812, ins.currency[0] == 'S' ? "SE" : "FI");
            put_text(out, 813, "Industrials");
            break;
        case FEED_CI_34:
            put_text(out, 820, uniform(2) == 0 ? "CEO" : "CFO");
            std::snprintf(buf, sizeof buf, "Person %d", uniform(1000));
            put_free_text(out, 821, buf);
            break;
        case FEED_PRIIP:
            std::snprintf(buf, sizeof buf, "https://kid.example/%s.pdf", ins.isin.c_str());
            put_text(out, 830, buf);
            put_int(out, 831, 1 + uniform(7));
            put_int(out, 832, 1 + uniform(10));
            break;
        case FEED_MIFID_36:
            put_int(out, 840, uniform(2));
            put_price(out, 841, 100000 * (1 + uniform(1000)));
            put_int(out, 842, 10000 * (1 + uniform(5)));
            break;
        default:  // FEED_MIFID_37
            put_date_days_ago(out, 850, uniform(30));
            put_int(out, 851, uniform(100000));
            break;
    }
    return 1;
}

int Market::write_mappings(FrameWriter& out, Instrument& ins) {
    char buf[96];
    begin(out, FEED_MAPPINGS, ins.insref);
    put_int(out, t::kMappingScheme, 1 + uniform(3));
    std::snprintf(buf, sizeof buf, "%s%llu %llu", uniform(3) == 0 ? "+" : "=",
                  static_cast<unsigned long long>(ins.insref + 10),
                  static_cast<unsigned long long>(ins.insref + 20));
    out.field(uniform(2) == 0 ? t::kMappedList : t::kInstrumentList, qdf_wire::kList, buf,
              std::strlen(buf));
    return 1;
}

int Market::write_greeks(FrameWriter& out, Instrument& ins) {
    begin(out, FEED_GREEKS, ins.insref);
    put_date_time(out);
    put_fixed(out, 610, uniform(2000001) - 1000000, 6);
    put_fixed(out, 611, uniform(100000), 6);
    put_fixed(out, 612, uniform(500000), 6);
    put_fixed(out, 613, -uniform(100000), 6);
    put_fixed(out, 614, uniform(100000), 6);
    put_fixed(out, 615, 100000 + uniform(600000), 6);
    return 1;
}

int Market::write_reset(FrameWriter& out, Instrument& ins) {
    // A new trading day for the instrument: the client empties its book and orders, so the
    // generator does the same.
    ins.bids.clear();
    ins.asks.clear();
    ins.orders.clear();
    ins.prev_close = ins.price;
    ins.open = ins.high = ins.low = ins.price;
    ins.day_volume = 0;
    ins.turnover_cents = 0;
    begin(out, FEED_INSTRUMENT_RESET, ins.insref);
    put_date_time(out);
    return 1;
}

int Market::write_delete(FrameWriter& out, size_t index) {
    // The instrument leaves the market and a new one takes its place in the universe. A
    // client that named its instruments did not ask for the newcomer: it leaves that
    // client's selection, so that clients with disjoint lists never share an instrument.
    Instrument& gone = universe_[index];
    begin(out, FEED_INSTRUMENT_DELETE, gone.insref);
    int n = 1;
    make_instrument(&gone, next_insref_++);
    if (listed_) {
        selected_.erase(std::find(selected_.begin(), selected_.end(), index));
        return n;
    }
    if (want_basic_) n += write_basicdata(out, gone);
    return n;
}

int Market::write_type(FrameWriter& out, int type, size_t index) {
    Instrument& ins = universe_[index];
    switch (type) {
        case FEED_QUOTE:
            return write_quote(out, ins, false);
        case FEED_QUOTE_43:
            return write_quote43(out, ins);
        case FEED_QUOTEEX:
            return write_quoteex(out, ins);
        case FEED_TRADE:
            return write_trade(out, ins);
        case FEED_BID_INSERT:
        case FEED_ASK_INSERT:
        case FEED_BID_DELETE:
        case FEED_ASK_DELETE:
        case FEED_BID_UPDATE:
        case FEED_ASK_UPDATE:
            return write_book(out, ins, type);
        case FEED_BOOK_CLEAR: {
            int bits = (want_book_ ? 1 : 0) | (want_mbo_ ? 2 : 0);
            if (want_bbo_ && (bits == 0 || uniform(2) == 0)) bits |= 4;
            return write_book_clear(out, ins, bits);
        }
        case FEED_MBO_ADD:
        case FEED_MBO_CHANGE:
        case FEED_MBO_DELETE:
            return write_mbo(out, ins, type);
        case FEED_INSTRUMENT_RESET:
            return write_reset(out, ins);
        case FEED_INSTRUMENT_DELETE:
            return write_delete(out, index);
        case FEED_BASICDATA:
            return write_basicdata(out, ins);
        case FEED_TRADESTATE:
            return write_tradestate(out, ins, true);
        case FEED_NEWS:
        case FEED_NEWS_22:
            return write_news(out, ins, type);
        case FEED_CORPORATE_ACTION:
            return write_corporate_action(out, ins, false, 0);
        case FEED_PRICEHISTORY:
            return write_pricehistory(out, ins, 1 + uniform(kHistoryDays), true);
        case FEED_FUNDAMENTALS:
            return write_fundamentals(out, ins, true);
        case FEED_PERFORMANCE:
            return write_performance(out, ins);
        case FEED_KEYRATIOS:
            return write_keyratios(out, ins);
        case FEED_ESTIMATES_28:
        case FEED_ESTIMATES_29:
            return write_estimates(out, ins, type);
        case FEED_NOII:
            return write_noii(out, ins);
        case FEED_L10N:
        case FEED_CI_33:
        case FEED_CI_34:
        case FEED_PRIIP:
        case FEED_MIFID_36:
        case FEED_MIFID_37:
            return write_reference(out, ins, type);
        case FEED_MAPPINGS:
            return write_mappings(out, ins);
        case FEED_GREEKS:
            return write_greeks(out, ins);
        default:
            return 0;
    }
}

size_t Market::snapshot(FrameWriter& out) {
    size_t n = 0;
    stamp();
    auto on = [&](int type) { return allowed_[static_cast<size_t>(type)]; };
    for (size_t index : selected_) {
        Instrument& ins = universe_[index];
        if (on(FEED_BASICDATA)) n += static_cast<size_t>(write_basicdata(out, ins));
        if (on(FEED_TRADESTATE)) n += static_cast<size_t>(write_tradestate(out, ins, false));
        if (on(FEED_QUOTE)) n += static_cast<size_t>(write_quote(out, ins, true));
        if (on(FEED_QUOTE_43)) n += static_cast<size_t>(write_quote43(out, ins));
        if (on(FEED_QUOTEEX)) n += static_cast<size_t>(write_quoteex(out, ins));
        int bits = (want_book_ ? 1 : 0) | (want_mbo_ ? 2 : 0);
        if (bits != 0) {
            // Clear the client's view first, but keep the generator's own book to resend.
            std::vector<BookLevel> bids = ins.bids, asks = ins.asks;
            std::vector<Order> orders = ins.orders;
            n += static_cast<size_t>(write_book_clear(out, ins, bits));
            ins.bids = std::move(bids);
            ins.asks = std::move(asks);
            ins.orders = std::move(orders);
            if (want_book_) n += static_cast<size_t>(write_book_snapshot(out, ins));
            if (want_mbo_) n += static_cast<size_t>(write_mbo_snapshot(out, ins));
        }
        if (on(FEED_PERFORMANCE)) n += static_cast<size_t>(write_performance(out, ins));
        if (on(FEED_KEYRATIOS)) n += static_cast<size_t>(write_keyratios(out, ins));
        if (on(FEED_FUNDAMENTALS)) n += static_cast<size_t>(write_fundamentals(out, ins, false));
        if (on(FEED_ESTIMATES_28))
            n += static_cast<size_t>(write_estimates(out, ins, FEED_ESTIMATES_28));
        if (on(FEED_ESTIMATES_29))
            n += static_cast<size_t>(write_estimates(out, ins, FEED_ESTIMATES_29));
        if (on(FEED_NOII)) n += static_cast<size_t>(write_noii(out, ins));
        if (on(FEED_GREEKS)) n += static_cast<size_t>(write_greeks(out, ins));
        for (int type :
             {FEED_L10N, FEED_CI_33, FEED_CI_34, FEED_PRIIP, FEED_MIFID_36, FEED_MIFID_37})
            if (on(type)) n += static_cast<size_t>(write_reference(out, ins, type));
        if (on(FEED_MAPPINGS)) n += static_cast<size_t>(write_mappings(out, ins));
        if (on(FEED_CORPORATE_ACTION))
            for (size_t i = 0; i < ins.actions.size(); ++i)
                n += static_cast<size_t>(write_corporate_action(out, ins, true, i));
        if (on(FEED_PRICEHISTORY))
            for (int d = kHistoryDays; d >= 1; --d)
                n += static_cast<size_t>(write_pricehistory(out, ins, d, false));
    }
    return n;
}

int Market::next(FrameWriter& out) {
    if (total_weight_ <= 0 || selected_.empty()) return 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        stamp();
        int r = uniform(total_weight_);
        int type = live_.back().type;
        for (const MixEntry& m : live_) {
            if (r < m.weight) {
                type = m.type;
                break;
            }
            r -= m.weight;
        }
        size_t index = selected_[static_cast<size_t>(uniform(static_cast<int>(selected_.size())))];
        int n = write_type(out, type, index);
        if (n > 0) {
            live_count_ += n;
            return n;
        }
    }
    return 0;
}

}  // namespace feedsim
