// market.h - the generated market of the feed simulator.
//
// One Market per client connection: it is built from the seed, so every connection with
// the same seed, selection and mix sees the same sequence of messages (time stamps aside,
// unless a simulated clock is chosen). Prices follow a random walk per instrument; the
// order book of each instrument is kept as two ladders and every level message is
// generated from them, so replaying the level messages onto ladders never fails; orders
// (market by order), corporate actions, news numbers and trade ids are kept likewise.
// A Market is used by one session thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "libqdf/wire.h"

namespace feedsim {

struct MixEntry {
    int type;
    int weight;
};

struct MarketOptions {
    uint64_t seed = 1;
    int instruments = 1000;
    std::vector<MixEntry> mix;  // empty: the default mix
    int64_t start_time_us = 0;  // 0: wall clock; else a simulated clock starting there
    int64_t step_us = 1000;     // simulated clock: advance per live message
    int64_t time_offset_s = 0;  // added to the wall clock
    int max_depth = 10;         // order book levels per side
    // Share of free-text fields (names, headlines, news bodies, descriptions) that are sent
    // spoilt: half with bytes that are not UTF-8, half far longer than any column for them.
    // Drawn from a generator of its own, so the market itself stays what the seed makes it.
    double bad_text_rate = 0;
};

// The default mix, and the parser of --mix ("FEED_QUOTE=300,6=150,...").
std::vector<MixEntry> default_mix();
bool parse_mix(const char* text, std::vector<MixEntry>* out, std::string* error);

// Message types that the given request classes allow.
std::vector<int> types_for_classes(const std::vector<int>& classes);

struct BookLevel {
    int64_t price;  // in ticks of 0.01
    int64_t volume;
    int orders;
};

class Market {
  public:
    explicit Market(const MarketOptions& options);

    // What the client asked for: request classes and instruments (empty: all).
    void select(const std::vector<int>& classes, const std::vector<uint64_t>& insrefs);
    // Writes the snapshot of the selection; returns the number of messages written.
    size_t snapshot(qdf_wire::FrameWriter& out);
    // Writes the next live message (news may take several); returns the number written,
    // 0 when the selection allows no live message at all.
    int next(qdf_wire::FrameWriter& out);

    // Current time of the market's clock, microseconds since 1970 (UTC).
    int64_t now_us();
    bool live_possible() const { return total_weight_ > 0; }
    size_t selected_count() const { return selected_.size(); }

    // For tests: the generator's own view of an instrument's book.
    const std::vector<BookLevel>* ladder(uint64_t insref, bool bid) const;

    struct Order {
        uint64_t id;
        char side;
        int64_t price;
        int64_t quantity;
    };
    struct Action {
        uint64_t key;
        int type;
        int64_t factor_micro;  // factor x 1e6
        char date[11];
    };
    struct Trade {
        uint64_t id;
        int64_t price;
        int64_t quantity;
        char time[16];
    };
    struct Instrument {
        uint64_t insref;
        int type;
        int status;
        std::string symbol, name, isin;
        const char* currency;
        int64_t price, open, high, low, prev_close;
        int64_t day_volume;
        int64_t turnover_cents;
        uint64_t trade_seq;
        std::vector<BookLevel> bids, asks;  // bids: best (highest) first; asks: lowest first
        std::vector<Order> orders;
        std::vector<Action> actions;
        std::vector<Trade> recent;  // ring of recent trades for corrections
    };

  private:
    uint64_t rand64();
    int uniform(int n);  // 0..n-1
    void make_instrument(Instrument* ins, uint64_t insref);
    Instrument& pick();
    void stamp();  // refreshes the date and time texts from the clock

    // Writers of single messages.
    void begin(qdf_wire::FrameWriter& out, int type, uint64_t insref);
    void put_text(qdf_wire::FrameWriter& out, uint32_t tag, const char* text);
    void put_text(qdf_wire::FrameWriter& out, uint32_t tag, const std::string& text);
    // put_text for free-text fields: spoils the value at bad_text_rate.
    void put_free_text(qdf_wire::FrameWriter& out, uint32_t tag, const std::string& text);
    void put_int(qdf_wire::FrameWriter& out, uint32_t tag, int64_t value);
    void put_price(qdf_wire::FrameWriter& out, uint32_t tag, int64_t ticks);  // 2 decimals
    void put_fixed(qdf_wire::FrameWriter& out, uint32_t tag, int64_t value, int decimals);
    void put_date_time(qdf_wire::FrameWriter& out, uint32_t time_tag = 4);
    void put_date_days_ago(qdf_wire::FrameWriter& out, uint32_t tag, int days);

    int write_quote(qdf_wire::FrameWriter& out, Instrument& ins, bool snapshot);
    int write_quote43(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_quoteex(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_trade(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_book(qdf_wire::FrameWriter& out, Instrument& ins, int type);
    int write_book_clear(qdf_wire::FrameWriter& out, Instrument& ins, int bits);
    int write_book_snapshot(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_mbo(qdf_wire::FrameWriter& out, Instrument& ins, int type);
    int write_mbo_snapshot(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_basicdata(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_tradestate(qdf_wire::FrameWriter& out, Instrument& ins, bool may_delete);
    int write_news(qdf_wire::FrameWriter& out, Instrument& ins, int type);
    int write_corporate_action(qdf_wire::FrameWriter& out, Instrument& ins, bool snapshot,
                               size_t index);
    int write_pricehistory(qdf_wire::FrameWriter& out, Instrument& ins, int days_ago,
                           bool may_delete);
    int write_fundamentals(qdf_wire::FrameWriter& out, Instrument& ins, bool may_delete);
    int write_performance(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_keyratios(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_estimates(qdf_wire::FrameWriter& out, Instrument& ins, int type);
    int write_noii(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_reference(qdf_wire::FrameWriter& out, Instrument& ins, int type);
    int write_mappings(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_greeks(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_reset(qdf_wire::FrameWriter& out, Instrument& ins);
    int write_delete(qdf_wire::FrameWriter& out, size_t index);
    int write_type(qdf_wire::FrameWriter& out, int type, size_t index);

    MarketOptions options_;
    uint64_t rng_;
    uint64_t bad_rng_;  // the spoiling draws only
    std::vector<Instrument> universe_;
    std::vector<size_t> selected_;  // indexes into universe_
    bool listed_ = false;           // the client named its instruments (not "*")
    std::vector<bool> allowed_;     // by message type
    std::vector<MixEntry> live_;    // the mix restricted to allowed types
    int total_weight_ = 0;
    bool want_book_ = false, want_mbo_ = false, want_bbo_ = false, want_basic_ = false;
    uint64_t next_insref_;
    uint64_t next_order_id_ = 1;
    uint64_t next_news_id_ = 1;
    uint64_t next_action_key_ = 1;
    int64_t live_count_ = 0;

    // Time texts, refreshed once per message from the clock.
    int64_t stamp_second_ = -1;
    char date_[11] = {0};
    char time_[16] = {0};
};

}  // namespace feedsim
