// fields.h - the field dictionary of the simulated feed: every tag the simulator sends and
// the form of its value. docs/feed-fields.md is the same list with explanations;
// examples/zel.tabledef maps these tags to columns. The generator (market.cpp) writes
// values only through the forms listed here, and the unit tests check its output against
// this table.
#pragma once

#include <cstdint>

namespace feedsim {

enum class ValueForm : uint8_t {
    Date,     // YYYY-MM-DD
    Time,     // HH:MM:SS.ffffff
    Price,    // decimal number with up to 6 decimals, may be negative for differences
    Integer,  // decimal integer, may be negative
    Text,     // free text without control characters
    List,     // items separated by single blanks, optionally led by + - or =
    Packed,   // rows separated by |, words by blanks (backslash escapes)
    Tags,     // entries separated by |
    Empty,    // the empty text (a marker)
    Side      // B or A
};

struct FieldInfo {
    uint32_t tag;
    ValueForm form;
    const char* name;
};

// The dictionary, ordered by tag.
const FieldInfo* field_dictionary(int* count);
const FieldInfo* find_field(uint32_t tag);

namespace tag {
inline constexpr uint32_t kMoreBlocks = 1, kNewsText = 2, kDate = 3, kTime = 4, kBid = 5, kAsk = 6,
                          kLast = 7, kHigh = 9, kLow = 10, kOpen = 11, kTradePrice = 12,
                          kQuantity = 13, kTradeId = 14, kTradeFlags = 15, kLevel = 16,
                          kLevelVolume = 17, kLevelOrders = 18, kBidVolume = 19, kAskVolume = 20,
                          kDayVolume = 21, kTurnover = 22, kTradeTime = 36, kHistOpen = 39,
                          kClose = 40, kHistHigh = 41, kHistLow = 42, kHistAverage = 43,
                          kHistVolume = 45, kHistTurnover = 47, kNewsId = 48, kMappingScheme = 54,
                          kInstrumentList = 55, kName = 60, kSymbol = 61, kIsin = 62,
                          kCurrency = 63, kMarket = 64, kLotSize = 65, kAltIds = 66,
                          kOriginalTime = 72, kBidYield = 74, kYield = 76, kHistTrades = 80,
                          kCompanyList = 85, kNavPrice = 93, kActionKey = 97, kActionType = 99,
                          kActionFactor = 103, kActionText = 104, kActionAmount = 105,
                          kHeadline = 110, kNewsSource = 111, kNewsLanguage = 112, kLastBlock = 115,
                          kStatus = 126, kStateText = 127, kIsinList = 167, kSectors = 188,
                          kSecondPrice = 201, kUnderlyings = 297, kCalendar = 347,
                          kInstrumentType = 348, kDelete = 364, kDividends = 375, kBookClear = 399,
                          kGreekDelta = 610, kNoiiPaired = 630, kNewsTags = 620, kOrderId = 695,
                          kOrderSide = 696, kOrderPrice = 697, kOrderQuantity = 698,
                          kMappedList = 527, kTickTable = 732, kSeconds = 789;
}  // namespace tag

}  // namespace feedsim
