// queue_test_util.h - helpers shared by the queue and feed unit tests: field lists from
// literals, a hand-moved clock, a log recorder, and fresh queues per test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"
#include "zel/queues/update_queue.h"

namespace qtest {

using Field = std::pair<uint32_t, std::optional<std::string>>;

inline FieldValue* make_fields(std::initializer_list<Field> list) {
    FieldValue* head = nullptr;
    FieldValue* tail = nullptr;
    for (const Field& f : list) {
        fieldListAppend(&head, &tail,
                        fieldValueCreate(f.first, f.second ? f.second->c_str() : nullptr));
    }
    return head;
}

// The field list as (tag, value) pairs in list order; a null value shows as "<null>".
inline std::vector<std::pair<uint32_t, std::string>> field_list(const FieldValue* f) {
    std::vector<std::pair<uint32_t, std::string>> out;
    for (; f; f = f->next)
        out.emplace_back(f->tag, f->value ? f->value : "<null>");
    return out;
}

inline std::string field_text(const FieldValue* f, uint32_t tag) {
    for (; f; f = f->next) {
        if (f->tag == tag) return f->value ? f->value : "<null>";
    }
    return "<absent>";
}

inline std::vector<QueueItem*> items_of(const UpdateQueue& q) {
    std::vector<QueueItem*> out;
    for (QueueItem* i = q.head; i; i = i->next)
        out.push_back(i);
    return out;
}

inline std::vector<QueueItem*> sub_items(QueueItem* list) {
    std::vector<QueueItem*> out;
    for (; list; list = list->next)
        out.push_back(list);
    return out;
}

// A clock the test moves by hand.
struct ManualClock {
    static inline int64_t now = 1700000000;
    static int64_t read() { return now; }
    ManualClock() { set_clock_source(&ManualClock::read); }
    ~ManualClock() { set_clock_source(nullptr); }
};

// Records every logged line while alive.
struct LogRecorder {
    std::mutex lock;
    std::vector<std::pair<int, std::string>> lines;
    LogRecorder() { log_set_observer(&LogRecorder::observe, this); }
    ~LogRecorder() { log_set_observer(nullptr, nullptr); }
    static void observe(int level, const char* text, void* self) {
        auto* r = static_cast<LogRecorder*>(self);
        std::lock_guard<std::mutex> g(r->lock);
        r->lines.emplace_back(level, text);
    }
    bool contains(const std::string& part) {
        std::lock_guard<std::mutex> g(lock);
        for (auto& l : lines) {
            if (l.second.find(part) != std::string::npos) return true;
        }
        return false;
    }
    size_t count(const std::string& part) {
        std::lock_guard<std::mutex> g(lock);
        size_t n = 0;
        for (auto& l : lines)
            n += l.second.find(part) != std::string::npos;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> g(lock);
        lines.clear();
    }
};

// Resets the settings the queues and the dispatcher read, and makes fresh queues and
// instrument tables for each test.
class QueueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_config.silent = 1;
        g_config.debug = 0;
        g_config.queuehashsize = 64;
        g_config.instrumenthashsize = 64;
        g_config.updateinterval = 0;
        g_config.requestorderbooks = 1;
        g_config.requestmbo = 0;
        g_config.requestquotesbbo = 0;
        g_config.localtime = 0;
        g_config.time_text_length = 15;
        g_config.aggtrades = 0;
        g_config.quoteexspecial = 0;
        ASSERT_EQ(createUpdateQueues(), 1);
        setQueue4Delay();
        ASSERT_EQ(createInstrumentTables(64), 1);
    }
    void TearDown() override {
        destroyUpdateQueues();
        destroyInstrumentTables();
    }
    static UpdateQueue& queue(int n) { return g_queues[n - 1]; }

    // Queues an update the way the dispatcher does.
    static void add(uint8_t kind, uint64_t insref, uint32_t flags,
                    std::initializer_list<Field> fields, const std::string& key = "",
                    const char* price = nullptr, uint64_t order_id = 0) {
        UpdateTemplate t;
        t.kind = kind;
        t.insref = insref;
        t.flags = flags;
        t.key = key.empty() ? std::to_string(insref) + ":" + std::to_string(kind) : key;
        t.price = price;
        t.order_id = order_id;
        addQueueItem(make_fields(fields), t);
    }
    // Number of pending releases of a queue's signal (consumes them).
    static int drain_signal(UpdateQueue& q) {
        int n = 0;
        while (q.signal.try_acquire())
            ++n;
        return n;
    }
};

}  // namespace qtest
