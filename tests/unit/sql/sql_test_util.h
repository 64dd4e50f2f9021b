// sql_test_util.h - what the SQL layer's tests share: the recording module loaded through
// the program's own loader, fresh queues and workers per test, table definitions parsed
// from text, field lists from literals, a hand-moved clock and a log recorder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fake_module_control.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"
#include "zel/base/run_state.h"
#include "zel/modload/module_loader.h"
#include "zel/queues/instruments.h"
#include "zel/queues/queue_item.h"
#include "zel/queues/update_queue.h"
#include "zel/sql/db_worker.h"
#include "zel/tabledef/table_definitions.h"

namespace sqltest {

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

// A standalone item (not queued), freed by the caller with freeQueueItem.
inline QueueItem* make_item(uint8_t kind, uint64_t insref, std::initializer_list<Field> fields,
                            uint32_t flags = 0) {
    QueueItem* item = allocQueueItem();
    item->kind = kind;
    item->insref = insref;
    item->flags = flags;
    item->fields = make_fields(fields);
    return item;
}

// The transaction limit (key transactions) of every worker: the program takes it from the
// configuration when it makes the workers.
inline void set_transactions(int32_t limit) {
    for (DbWorker& worker : g_workers)
        worker.transactions = limit;
}

// Whether every worker may send its statements in batches (key pipeline).
inline void set_pipeline(bool on) {
    for (DbWorker& worker : g_workers)
        worker.pipeline = on;
}

// Leaves the worker with an open transaction of `items` items (none for 0), as the database
// thread's grouping would; what is known of the last COMMIT stays.
inline void hold_transaction(DbWorker& worker, uint32_t items) {
    worker.transaction.lost();
    if (items == 0) return;
    worker.transaction.begin();
    while (worker.transaction.items() < items)
        worker.transaction.count_item();
}

// A clock the test moves by hand.
struct ManualClock {
    static inline std::atomic<int64_t> now{1700000000};
    static int64_t read() { return now.load(); }
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
    size_t count(const std::string& part, int level = -1) {
        std::lock_guard<std::mutex> g(lock);
        size_t n = 0;
        for (auto& l : lines)
            n += (level < 0 || l.first == level) && l.second.find(part) != std::string::npos;
        return n;
    }
    bool contains(const std::string& part, int level = -1) { return count(part, level) > 0; }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> g(lock);
        std::vector<std::string> out;
        for (auto& l : lines)
            out.push_back(l.second);
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> g(lock);
        lines.clear();
    }
};

// Loads the recording module once per process, resets it, and gives every test fresh
// queues, fresh workers on fresh connections (worker n on connection n; no transactions,
// batches allowed) and empty table definitions.
class SqlTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        g_config.silent = 1;
        if (!g_module.mod_executesql) {
            ASSERT_EQ(1, load_module(ZEL_FAKE_MODULE_PATH));
        }
    }

    void SetUp() override {
        g_config.silent = 1;
        g_config.debug = 0;
        g_config.queuehashsize = 64;
        g_config.updateinterval = 0;
        g_config.localtime = 0;
        g_config.keepdeleted = 0;
        g_config.logsqlpath.clear();
        clear_requests();
        fake_reset();
        ASSERT_EQ(1, createUpdateQueues());
        setQueue4Delay();
        ASSERT_EQ(1, createInstrumentTables(64));
        init_db_workers(g_module, g_module_executebatch, g_config);
        set_transactions(0);
        set_pipeline(true);
        for (int i = 0; i < kDbWorkerCount; ++i) {
            g_workers[i].connection = g_module.mod_create(g_config.module_params());
            ASSERT_NE(nullptr, g_workers[i].connection);
        }
        g_tabledefs.clear();
        g_tabledefs.create(100);
    }

    void TearDown() override {
        running.store(0);
        destroyUpdateQueues();
        destroyInstrumentTables();
        init_db_workers(g_module, g_module_executebatch, g_config);
        g_tabledefs.clear();
        clear_requests();
    }

    static void clear_requests() {
        for (const RequestSwitch& s : kRequestSwitches)
            g_config.*(s.flag) = 0;
        g_config.reset_list_quotes.clear();
        g_config.reset_list_noii.clear();
        g_config.reset_list_greeks.clear();
        g_config.reset_list_quotes_bbo.clear();
        g_config.calc_keyratio_fields.clear();
    }

    // Parses table definitions into g_tabledefs; the request switches they turn on are set
    // in g_config, as at start-up.
    static void define(const std::string& xml) {
        ASSERT_EQ(1, parse_table_definitions(xml.data(), xml.size(), g_tabledefs, g_config));
    }

    static DbWorker& worker(int n) { return g_workers[n - 1]; }
    static QueueStats& stats(int n) { return *g_queues[n - 1].stats; }
};

}  // namespace sqltest
