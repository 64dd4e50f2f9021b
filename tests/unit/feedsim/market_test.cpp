// market_test.cpp - the generated market: its level messages replay onto ladders without a
// single rejected change, its values have the forms of the field dictionary, it follows
// the request's classes and instruments, and the same seed gives the same stream.
#include "tools/feedsim/market.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "libqdf/qdf.h"
#include "libqdf/wire.h"
#include "tools/feedsim/fields.h"

namespace {

using feedsim::Market;
using feedsim::MarketOptions;

struct Msg {
    int type;
    uint64_t insref;
    std::map<uint32_t, std::string> fields;
    std::vector<uint32_t> order;
    std::set<uint32_t> nulls;
};

std::vector<Msg> decode_all(const std::vector<uint8_t>& bytes) {
    std::vector<Msg> out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        qdf_wire::FrameView f;
        size_t n = 0;
        EXPECT_EQ(qdf_wire::decode_frame(bytes.data() + pos, bytes.size() - pos, &f, &n),
                  qdf_wire::kComplete);
        if (n == 0) break;
        Msg m{f.type, f.insref, {}, {}, {}};
        qdf_wire::FieldCursor c;
        c.start(f);
        uint32_t tag, length;
        uint8_t kind;
        const char* value;
        while (c.step(&tag, &kind, &value, &length)) {
            m.order.push_back(tag);
            if (value == nullptr)
                m.nulls.insert(tag);
            else
                m.fields[tag] = std::string(value, length);
        }
        out.push_back(std::move(m));
        pos += n;
    }
    return out;
}

std::vector<int> all_classes() {
    std::vector<int> c;
    for (int i = 0; i <= 27; ++i)
        c.push_back(i);
    return c;
}

// The rules a client's ladder keeps: insert at 1..count+1 with a price, update and delete
// at 1..count without one, prices strictly ordered from the best level down.
struct Ladder {
    std::vector<double> prices;
    bool bid;
    std::string apply(int op, int level, const std::string* price) {
        int count = static_cast<int>(prices.size());
        if (level < 1) return "level below 1";
        if (op == 0) {
            if (price == nullptr) return "insert without a price";
            if (level > count + 1) return "insert below count+1";
            prices.insert(prices.begin() + (level - 1), std::stod(*price));
        } else {
            if (price != nullptr) return "update or delete carries a price";
            if (level > count) return "level beyond the ladder";
            if (op == 1) prices.erase(prices.begin() + (level - 1));
        }
        for (size_t i = 1; i < prices.size(); ++i)
            if (bid ? !(prices[i - 1] > prices[i]) : !(prices[i - 1] < prices[i]))
                return "ladder out of order";
        return "";
    }
};

MarketOptions book_heavy(uint64_t seed) {
    MarketOptions o;
    o.seed = seed;
    o.instruments = 20;
    o.start_time_us = 1700000000LL * 1000000;
    o.mix = {{FEED_QUOTE, 30},           {FEED_BID_INSERT, 40}, {FEED_ASK_INSERT, 40},
             {FEED_BID_DELETE, 25},      {FEED_ASK_DELETE, 25}, {FEED_BID_UPDATE, 30},
             {FEED_ASK_UPDATE, 30},      {FEED_BOOK_CLEAR, 1},  {FEED_INSTRUMENT_RESET, 1},
             {FEED_INSTRUMENT_DELETE, 1}};
    return o;
}

TEST(GeneratedBook, ReplayingTheLevelMessagesNeverFails) {
    for (uint64_t seed : {1u, 2u, 99u}) {
        Market market(book_heavy(seed));
        market.select({1, 3}, {});
        std::vector<uint8_t> bytes;
        qdf_wire::FrameWriter w(&bytes);
        market.snapshot(w);
        for (int i = 0; i < 60000; ++i)
            market.next(w);
        w.end();
        std::map<uint64_t, Ladder> bids, asks;
        size_t inserts = 0, deletes = 0, updates = 0, clears = 0;
        for (const Msg& m : decode_all(bytes)) {
            if (m.type == FEED_BOOK_CLEAR || m.type == FEED_INSTRUMENT_RESET) {
                bool clear = m.type == FEED_INSTRUMENT_RESET || (std::stoi(m.fields.at(399)) & 1);
                if (clear) {
                    bids[m.insref].prices.clear();
                    asks[m.insref].prices.clear();
                    ++clears;
                }
                continue;
            }
            if (m.type < FEED_BID_INSERT || m.type > FEED_ASK_UPDATE) continue;
            bool bid =
                m.type == FEED_BID_INSERT || m.type == FEED_BID_DELETE || m.type == FEED_BID_UPDATE;
            int op = m.type <= FEED_ASK_INSERT ? 0 : m.type <= FEED_ASK_DELETE ? 1 : 2;
            Ladder& l = bid ? bids[m.insref] : asks[m.insref];
            l.bid = bid;
            auto p = m.fields.find(bid ? 5u : 6u);
            ASSERT_EQ(m.fields.count(bid ? 6u : 5u), 0u) << "price of the other side";
            std::string why =
                l.apply(op, std::stoi(m.fields.at(16)), p == m.fields.end() ? nullptr : &p->second);
            ASSERT_EQ(why, "") << "seed " << seed << " insref " << m.insref << " type " << m.type;
            (op == 0 ? inserts : op == 1 ? deletes : updates)++;
        }
        EXPECT_GT(inserts, 1000u);
        EXPECT_GT(deletes, 1000u);
        EXPECT_GT(updates, 1000u);
        EXPECT_GT(clears, 20u);  // the snapshot's clears and the live ones
        // The client's ladders end where the generator's own are.
        for (auto& [insref, ladder] : bids) {
            const auto* own = market.ladder(insref, true);
            if (own == nullptr) continue;  // the instrument was deleted and replaced
            ASSERT_EQ(own->size(), ladder.prices.size());
            for (size_t i = 0; i < own->size(); ++i)
                EXPECT_DOUBLE_EQ((*own)[i].price / 100.0, ladder.prices[i]);
        }
    }
}

bool digits(const std::string& s, size_t from, size_t n) {
    if (s.size() < from + n) return false;
    for (size_t i = from; i < from + n; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

bool has_form(feedsim::ValueForm form, const std::string& v) {
    using F = feedsim::ValueForm;
    switch (form) {
        case F::Date:
            return v.size() == 10 && digits(v, 0, 4) && v[4] == '-' && digits(v, 5, 2) &&
                   v[7] == '-' && digits(v, 8, 2);
        case F::Time:
            return (v.size() == 8 || (v.size() == 15 && v[8] == '.' && digits(v, 9, 6))) &&
                   digits(v, 0, 2) && v[2] == ':' && digits(v, 3, 2) && v[5] == ':' &&
                   digits(v, 6, 2);
        case F::Price: {
            size_t i = v[0] == '-' ? 1 : 0, dot = v.find('.');
            if (dot == std::string::npos) return digits(v, i, v.size() - i) && v.size() > i;
            return dot > i && digits(v, i, dot - i) && v.size() - dot - 1 <= 6 &&
                   v.size() - dot - 1 >= 1 && digits(v, dot + 1, v.size() - dot - 1);
        }
        case F::Integer: {
            size_t i = v[0] == '-' ? 1 : 0;
            return v.size() > i && v.size() - i <= 19 && digits(v, i, v.size() - i);
        }
        case F::Text: {
            for (char c : v)
                if (static_cast<unsigned char>(c) < 0x20) return false;
            return !v.empty();
        }
        case F::List: {
            size_t i = (v[0] == '+' || v[0] == '-' || v[0] == '=') ? 1 : 0;
            return v.size() > i && v.find("  ") == std::string::npos && v.back() != ' ';
        }
        case F::Packed:
        case F::Tags:
            return !v.empty() && v.find('\n') == std::string::npos;
        case F::Empty:
            return v.empty();
        case F::Side:
            return v == "B" || v == "A";
    }
    return false;
}

TEST(GeneratedMarket, EveryValueHasItsDictionaryForm) {
    MarketOptions o;
    o.seed = 5;
    o.instruments = 50;
    Market market(o);
    market.select(all_classes(), {});
    std::vector<uint8_t> bytes;
    qdf_wire::FrameWriter w(&bytes);
    market.snapshot(w);
    for (int i = 0; i < 100000; ++i)
        market.next(w);
    w.end();
    std::set<int> types;
    for (const Msg& m : decode_all(bytes)) {
        types.insert(m.type);
        EXPECT_TRUE(m.nulls.empty());
        for (const auto& [tag, value] : m.fields) {
            const feedsim::FieldInfo* info = feedsim::find_field(tag);
            ASSERT_NE(info, nullptr)
                << "tag " << tag << " of type " << m.type << " is not in the dictionary";
            EXPECT_TRUE(has_form(info->form, value))
                << "tag " << tag << " type " << m.type << " value '" << value << "'";
        }
        // The dispatcher's date and time rules: data types carry both, trades their own time.
        if (m.type == FEED_TRADE) {
            EXPECT_TRUE(m.fields.count(3) && m.fields.count(36));
        }
        if (m.type == FEED_CORPORATE_ACTION) {
            EXPECT_TRUE(m.fields.count(3) && m.fields.count(4) && m.fields.count(97));
            if (!m.fields.count(364)) {
                EXPECT_TRUE(m.fields.count(99) && m.fields.count(103));
            }
        }
    }
    // Every data type of the feed shows up in the live mix when everything is requested.
    for (int t : {4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 22, 23, 24, 25,
                  26, 27, 28, 29, 30, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44})
        EXPECT_TRUE(types.count(t)) << "type " << t << " never sent";
}

TEST(GeneratedMarket, FollowsTheRequestedClassesAndInstruments) {
    MarketOptions o;
    o.instruments = 100;
    Market market(o);
    market.select({1, 2}, {1005, 1007, 424242});
    EXPECT_EQ(market.selected_count(), 2u);
    std::vector<uint8_t> bytes;
    qdf_wire::FrameWriter w(&bytes);
    market.snapshot(w);
    for (int i = 0; i < 5000; ++i)
        market.next(w);
    w.end();
    std::set<int> types;
    for (const Msg& m : decode_all(bytes)) {
        types.insert(m.type);
        if (m.type != FEED_INSTRUMENT_DELETE) {
            EXPECT_TRUE(m.insref == 1005 || m.insref == 1007 || m.insref > 1100);
        }
    }
    for (int t : types)
        EXPECT_TRUE(t == FEED_QUOTE || t == FEED_TRADE || t == FEED_INSTRUMENT_RESET ||
                    t == FEED_INSTRUMENT_DELETE)
            << t;
    EXPECT_TRUE(types.count(FEED_QUOTE) && types.count(FEED_TRADE));

    Market none(o);
    none.select({}, {});
    EXPECT_FALSE(none.live_possible());
    std::vector<uint8_t> empty;
    qdf_wire::FrameWriter we(&empty);
    EXPECT_EQ(none.snapshot(we), 0u);
    EXPECT_EQ(none.next(we), 0);
}

TEST(GeneratedMarket, SameSeedSameStream) {
    auto run = [](uint64_t seed) {
        MarketOptions o = book_heavy(seed);
        o.mix.clear();  // the default mix, every type
        Market market(o);
        market.select(all_classes(), {});
        std::vector<uint8_t> bytes;
        qdf_wire::FrameWriter w(&bytes);
        market.snapshot(w);
        for (int i = 0; i < 20000; ++i)
            market.next(w);
        w.end();
        return bytes;
    };
    EXPECT_EQ(run(7), run(7));
    EXPECT_NE(run(7), run(8));
}

TEST(GeneratedMarket, TradeFlagsUseTheMinuteBarBits) {
    MarketOptions o;
    o.instruments = 10;
    o.mix = {{FEED_TRADE, 1}};
    Market market(o);
    market.select({2}, {});
    std::vector<uint8_t> bytes;
    qdf_wire::FrameWriter w(&bytes);
    for (int i = 0; i < 5000; ++i)
        market.next(w);
    w.end();
    std::map<int, int> seen;
    std::map<std::pair<uint64_t, std::string>, std::string> trades;  // (insref, id) -> price
    for (const Msg& m : decode_all(bytes)) {
        int flags = std::stoi(m.fields.at(15));
        seen[flags]++;
        auto key = std::make_pair(m.insref, m.fields.at(14));
        if (flags & 8) {
            // A correction: cancels a trade sent before, with its id and price.
            ASSERT_TRUE(trades.count(key));
            EXPECT_EQ(trades[key], m.fields.at(12));
            EXPECT_TRUE(flags & 0x10);
            EXPECT_TRUE(m.fields.count(72));
        } else {
            EXPECT_FALSE(trades.count(key)) << "trade id reused";
            trades[key] = m.fields.at(12);
        }
    }
    EXPECT_GT(seen[0xC0], 0);
    EXPECT_GT(seen[0x80], 0);
    EXPECT_GT(seen[0x40], 0);
    EXPECT_GT(seen[0xD8], 0);
}

TEST(MixOption, ParsesNamesAndNumbersAndRefusesNonsense) {
    std::vector<feedsim::MixEntry> mix;
    std::string error;
    ASSERT_TRUE(feedsim::parse_mix("FEED_QUOTE=300,6=150", &mix, &error));
    ASSERT_EQ(mix.size(), 2u);
    EXPECT_EQ(mix[0].type, FEED_QUOTE);
    EXPECT_EQ(mix[1].weight, 150);
    EXPECT_FALSE(feedsim::parse_mix("FEED_NOPE=1", &mix, &error));
    EXPECT_FALSE(feedsim::parse_mix("FEED_QUOTE", &mix, &error));
    EXPECT_FALSE(feedsim::parse_mix("5=-1", &mix, &error));
    EXPECT_FALSE(feedsim::parse_mix("5=x", &mix, &error));
}

}  // namespace

namespace {

bool valid_utf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t more = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
        if (more == 9 || (more > 0 && i + more >= s.size())) return false;
        for (size_t k = 1; k <= more; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += more + 1;
    }
    return true;
}

}  // namespace

// --bad-text spoils free-text fields only, at about the rate asked, in both ways (bytes that
// are not UTF-8, values longer than any column), and leaves the market's own draws alone:
// the same seed gives the same messages with every other value unchanged.
TEST(GeneratedMarket, BadTextSpoilsFreeTextFieldsOnlyAndKeepsTheStream) {
    auto run = [](double rate) {
        MarketOptions o;
        o.seed = 9;
        o.instruments = 40;
        o.start_time_us = 1700000000000000;
        o.bad_text_rate = rate;
        Market market(o);
        market.select(all_classes(), {});
        std::vector<uint8_t> bytes;
        qdf_wire::FrameWriter w(&bytes);
        market.snapshot(w);
        for (int i = 0; i < 30000; ++i)
            market.next(w);
        w.end();
        return decode_all(bytes);
    };
    const std::set<uint32_t> free_text{60, 127, 2, 110, 104, 801, 811, 821};
    std::vector<Msg> clean = run(0), spoilt = run(0.2);
    ASSERT_EQ(clean.size(), spoilt.size());
    size_t texts = 0, invalid = 0, long_ones = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
        ASSERT_EQ(clean[i].type, spoilt[i].type) << "message " << i;
        ASSERT_EQ(clean[i].insref, spoilt[i].insref) << "message " << i;
        ASSERT_EQ(clean[i].order, spoilt[i].order) << "message " << i;
        for (const auto& [tag, value] : clean[i].fields) {
            const std::string& sent = spoilt[i].fields[tag];
            bool text = free_text.count(tag) && !(tag == 2 && clean[i].type != FEED_NEWS &&
                                                  clean[i].type != FEED_NEWS_22);
            texts += text;
            if (sent == value) continue;
            EXPECT_TRUE(text) << "type " << clean[i].type << " tag " << tag << " changed";
            if (!valid_utf8(sent)) {
                ++invalid;
            } else {
                EXPECT_GE(sent.size(), 2000u) << "spoilt but neither invalid nor long: " << sent;
                ++long_ones;
            }
        }
    }
    double share = static_cast<double>(invalid + long_ones) / static_cast<double>(texts);
    EXPECT_GT(share, 0.15) << invalid << " invalid, " << long_ones << " long of " << texts;
    EXPECT_LT(share, 0.25) << invalid << " invalid, " << long_ones << " long of " << texts;
    EXPECT_GT(invalid, 20u);
    EXPECT_GT(long_ones, 20u);
}
