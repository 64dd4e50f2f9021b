// order_book.cpp - price ladders and the combining of waiting level changes.
//
// The ladders turn the feed's level numbers into prices: an update or delete names only a
// level, and the database row is found by its price, so the feed thread keeps for every
// instrument and side the prices by level (ladderInsert, ladderDelete) and looks the price
// up before the change is queued. Ladders are the feed thread's alone.
//
// combineLevelChange runs under queue 4's lock inside addQueueItem: while a change waits,
// a later change of the same price on the same side is folded into it, so that the
// database thread writes only the net effect (an insert followed by a delete writes
// nothing). Order book diagnostics are logged only with `debug` 1, and never stop work.
#include "zel/queues/order_book.h"

#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/queues/source_name.h"
#include "zel/queues/update_queue.h"

namespace {

bool debug_on() {
    return g_config.debug == 1;
}

PriceLevel* make_level(const char* price) {
    auto* node = static_cast<PriceLevel*>(std::calloc(1, sizeof(PriceLevel)));
    if (!node) {
        log_message(LOG_LEVEL_ERROR, "Out of memory in the order books");
        std::abort();
    }
    node->price = queueStrdup(price);
    return node;
}

void free_level(PriceLevel* node) {
    std::free(node->price);
    std::free(node);
}

void free_ladder(PriceLevel* ladder) {
    while (ladder) {
        PriceLevel* next = ladder->next;
        free_level(ladder);
        ladder = next;
    }
}

enum class LevelOp { None, Insert, Update, Delete };

LevelOp op_of(uint32_t flags) {
    if (flags & ITEM_INSERT_BITS) return LevelOp::Insert;
    if (flags & ITEM_UPDATE_BITS) return LevelOp::Update;
    if (flags & ITEM_DELETE_BITS) return LevelOp::Delete;
    return LevelOp::None;
}

uint32_t op_bit(uint8_t kind, LevelOp op) {
    bool bid = kind == KIND_BID_LEVEL;
    switch (op) {
        case LevelOp::Insert:
            return bid ? ITEM_BID_INSERT : ITEM_ASK_INSERT;
        case LevelOp::Update:
            return bid ? ITEM_BID_UPDATE : ITEM_ASK_UPDATE;
        case LevelOp::Delete:
            return bid ? ITEM_BID_DELETE : ITEM_ASK_DELETE;
        case LevelOp::None:
            break;
    }
    return 0;
}

void become(QueueItem* change, LevelOp op) {
    change->flags = ITEM_KEYED | op_bit(change->kind, op);
}

void replace_fields(QueueItem* change, FieldValue* fields) {
    freeFieldList(change->fields);
    change->fields = fields;
}

void replace_price(QueueItem* change, const char* price) {
    char* copy = queueStrdup(price);
    std::free(change->price);
    change->price = copy;
}

}  // namespace

// The decimal value of a level text as the feed sends it: optional blanks and sign, then
// digits; anything else ends the number. Out-of-range values are clamped, never undefined.
int level_value(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || *text == '\t')
        ++text;
    bool negative = false;
    if (*text == '-' || *text == '+') negative = (*text++ == '-');
    long long v = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        v = v * 10 + (*text - '0');
        if (v > INT_MAX) v = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

int ladderInsert(PriceLevel** ladder, uint32_t* count, int level, const char* price) {
    uint32_t n = *count;
    // A level below 1 cannot be placed; it is refused like one beyond the end.
    if (level < 1 || static_cast<int64_t>(level) > static_cast<int64_t>(n) + 1)
        return LADDER_BAD_INSERT_LEVEL;
    if (!price) return LADDER_NO_PRICE;
    PriceLevel* node = make_level(price);
    PriceLevel* first = *ladder;
    if (!first) {
        *ladder = node;
        *count = n + 1;
        return LADDER_DONE;
    }
    if (n == 0) {
        // Nodes without a count: the ladder is inconsistent and is left alone.
        free_level(node);
        return LADDER_DONE;
    }
    if (level == 1) {
        node->next = first;
        first->prev = node;
        *ladder = node;
        *count = n + 1;
        return LADDER_DONE;
    }
    PriceLevel* at = first;
    for (uint32_t k = 1;; ++k) {
        PriceLevel* successor = at->next;
        if (!successor) {
            at->next = node;
            node->prev = at;
            break;
        }
        at = successor;
        if (k == n) {
            // More nodes than the count says: refuse rather than grow a broken ladder.
            free_level(node);
            return LADDER_DONE;
        }
        if (static_cast<int64_t>(k) == static_cast<int64_t>(level) - 1) {
            node->prev = at->prev;
            node->next = at;
            at->prev->next = node;
            at->prev = node;
            break;
        }
    }
    *count = n + 1;
    return LADDER_DONE;
}

int ladderDelete(PriceLevel** ladder, uint32_t* count, int level) {
    if (level < 1 || static_cast<int64_t>(level) > static_cast<int64_t>(*count) || !*ladder) {
        return LADDER_BAD_DELETE_LEVEL;
    }
    PriceLevel* node = *ladder;
    for (int step = 1; step < level; ++step) {
        node = node->next;
        if (!node) return LADDER_SHORT;
    }
    if (node->prev) {
        node->prev->next = node->next;
    } else {
        *ladder = node->next;
    }
    if (node->next) node->next->prev = node->prev;
    free_level(node);
    *count -= 1;
    return LADDER_DONE;
}

PriceLevel* ladderLevel(PriceLevel* ladder, int level) {
    if (level < 1) return nullptr;
    for (int step = 1; ladder && step < level; ++step)
        ladder = ladder->next;
    return ladder;
}

int applyLevelChange(Instrument* instrument, const char* price, const char* level_text,
                     uint32_t flags) {
    int level = level_value(level_text);
    const char* prefix;
    int result;
    if (flags & ITEM_BID_INSERT) {
        prefix = "bid";
        result = ladderInsert(&instrument->bids, &instrument->bid_count, level, price);
    } else if (flags & ITEM_ASK_INSERT) {
        prefix = "ask";
        result = ladderInsert(&instrument->asks, &instrument->ask_count, level, price);
    } else if (flags & ITEM_BID_DELETE) {
        prefix = "bid";
        result = ladderDelete(&instrument->bids, &instrument->bid_count, level);
    } else if (flags & ITEM_ASK_DELETE) {
        prefix = "ask";
        result = ladderDelete(&instrument->asks, &instrument->ask_count, level);
    } else {
        return LADDER_DONE;  // an update leaves the ladder as it is
    }
    if (result != LADDER_DONE && debug_on()) {
        const char* shown = level_text ? level_text : "";
        switch (result) {
            case LADDER_NO_PRICE:
                log_message(LOG_LEVEL_PROBLEM,
                            "Orderbook %sprice is NULL %" PRIu64 " level:%s line:%d", prefix,
                            instrument->insref, shown, __LINE__);
                break;
            case LADDER_BAD_INSERT_LEVEL:
                log_message(
                    LOG_LEVEL_PROBLEM,
                    "Invalid %sorder level insert received internal orderbook error(%" PRIu64
                    ") level %s line:%d",
                    prefix, instrument->insref, shown, __LINE__);
                break;
            case LADDER_BAD_DELETE_LEVEL:
                log_message(
                    LOG_LEVEL_PROBLEM,
                    "Invalid %sorder level DELETE received internal orderbook error(%" PRIu64
                    ") level %s line:%d",
                    prefix, instrument->insref, shown, __LINE__);
                break;
            case LADDER_SHORT:
                log_message(LOG_LEVEL_PROBLEM, "Orderbook %s delete error line:%d", prefix,
                            __LINE__);
                break;
        }
    }
    return result;
}

void clearLadders(Instrument* instrument) {
    free_ladder(instrument->bids);
    free_ladder(instrument->asks);
    instrument->bids = nullptr;
    instrument->asks = nullptr;
    instrument->bid_count = 0;
    instrument->ask_count = 0;
}

QueueItem* makeLevelChange(uint64_t insref, uint8_t kind, uint32_t flags, const char* price,
                           FieldValue* fields) {
    QueueItem* change = allocQueueItem();
    change->price = queueStrdup(price);
    change->insref = insref;
    change->kind = kind;
    change->flags = flags;
    change->fields = fields;
    return change;
}

void combineLevelChange(QueueItem* container, uint8_t kind, uint32_t flags, const char* price,
                        FieldValue* fields) {
    const char* prefix = kind == KIND_BID_LEVEL ? "bid" : "ask";
    if (!price) {
        if ((flags & ITEM_INSERT_BITS) && debug_on()) {
            log_message(LOG_LEVEL_PROBLEM,
                        "Orderbook strangle error no price. Insref:%" PRIu64
                        " Option: %u File:%s Line:%d",
                        container->insref, flags, ZEL_SOURCE_NAME, __LINE__);
        }
        freeFieldList(fields);
        return;
    }
    QueueItem** side = kind == KIND_BID_LEVEL ? &container->bid_changes : &container->ask_changes;
    QueueItem* last = nullptr;
    QueueItem* same = nullptr;
    for (QueueItem* change = *side; change; change = change->next) {
        last = change;
        if (change->price && std::strcmp(change->price, price) == 0) {
            same = change;
            break;
        }
    }
    if (!same) {
        QueueItem* change = makeLevelChange(container->insref, kind, flags, price, fields);
        if (last) {
            last->next = change;
            change->prev = last;
        } else {
            *side = change;
        }
        return;
    }

    LevelOp waiting = op_of(same->flags);
    LevelOp incoming = op_of(flags);
    if (waiting == LevelOp::None || incoming == LevelOp::None) {
        if (debug_on()) {
            log_message(LOG_LEVEL_PROBLEM, "Unknown orderbook update File:%s Line:%d",
                        ZEL_SOURCE_NAME, __LINE__);
        }
        freeFieldList(fields);
        return;
    }
    const char* shown_price = same->price ? same->price : "NULL";
    switch (waiting) {
        case LevelOp::Insert:
            if (incoming == LevelOp::Insert) {
                if (debug_on()) {
                    log_message(LOG_LEVEL_PROBLEM, "%sorder insert on insert %" PRIu64 " %s",
                                prefix, same->insref, shown_price);
                }
                freeFieldList(fields);
            } else if (incoming == LevelOp::Update) {
                mergeFields(same, fields);
            } else {
                // Inserted and deleted within one wait: the level never reaches the database.
                if (same->prev) {
                    same->prev->next = same->next;
                } else {
                    *side = same->next;
                }
                if (same->next) same->next->prev = same->prev;
                same->next = same->prev = nullptr;
                freeQueueItem(same);
                freeFieldList(fields);
            }
            break;
        case LevelOp::Update:
            if (incoming == LevelOp::Insert) {
                become(same, LevelOp::Insert);
                replace_fields(same, fields);
                replace_price(same, price);
            } else if (incoming == LevelOp::Update) {
                mergeFields(same, fields);
            } else {
                become(same, LevelOp::Delete);
                replace_fields(same, fields);
            }
            break;
        case LevelOp::Delete:
            if (incoming == LevelOp::Insert) {
                become(same, LevelOp::Update);
                replace_fields(same, fields);
                replace_price(same, price);
            } else if (incoming == LevelOp::Update) {
                become(same, LevelOp::Update);
                replace_fields(same, fields);
            } else {
                if (debug_on()) {
                    log_message(LOG_LEVEL_PROBLEM, "%sorder delete on delete %" PRIu64 " %s",
                                prefix, same->insref, shown_price);
                }
                freeFieldList(fields);
            }
            break;
        case LevelOp::None:
            break;
    }
}
