// dispatch_bench.cpp - the feed side's hot path on one core: Dispatcher::dispatch and
// addQueueItem for a realistic mix of messages, and the memory a waiting item takes.
//
// The mix: 70% quotes (six fields, keyed) spread over 1,000 instruments, so most of them
// merge into a waiting item; 15% trades (five fields, never merged); 15% order book level
// changes (inserts, updates and deletes that keep a ladder of up to ten levels per side).
// The queues are drained (outside the timing) every N messages, as database threads would
// take what waits: N = 10,000 is about every 10 ms at the rate aimed for, N = 100,000 a
// writer that lags behind; the merged share printed is what waiting that long gives.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zel/base/config.h"
#include "zel/feed/dispatch.h"
#include "zel/queues/instruments.h"
#include "zel/queues/update_queue.h"

namespace {

struct Message {
    int type;
    uint64_t insref;
    std::vector<std::pair<uint32_t, std::string>> fields;
};

class VectorReader : public FieldReader {
  public:
    void start(const Message* m) {
        message_ = m;
        next_ = 0;
    }
    int next_field(uint32_t* tag, const char** value) override {
        if (next_ >= message_->fields.size()) return 0;
        const auto& f = message_->fields[next_++];
        *tag = f.first;
        *value = f.second.c_str();
        return 1;
    }

  private:
    const Message* message_ = nullptr;
    size_t next_ = 0;
};

std::string price_text(std::mt19937& rng) {
    return std::to_string(100 + rng() % 50) + "." + std::to_string(rng() % 100);
}

std::vector<Message> make_mix(size_t count, int instruments) {
    std::mt19937 rng(7);
    std::vector<Message> out;
    out.reserve(count);
    std::vector<int> bid_levels(static_cast<size_t>(instruments), 0),
        ask_levels(static_cast<size_t>(instruments), 0);
    for (size_t i = 0; i < count; ++i) {
        unsigned pick = rng() % 100;
        uint64_t ins = rng() % static_cast<unsigned>(instruments);
        Message m;
        m.insref = 1000 + ins;
        std::string time = "10:" + std::to_string(10 + rng() % 50) + ":" +
                           std::to_string(10 + rng() % 50) + ".123456";
        if (pick < 70) {
            m.type = 5;
            m.fields = {{5, price_text(rng)},
                        {6, price_text(rng)},
                        {19, std::to_string(rng() % 10000)},
                        {20, std::to_string(rng() % 10000)},
                        {3, "2024-06-15"},
                        {4, time}};
        } else if (pick < 85) {
            m.type = 6;
            m.fields = {{12, price_text(rng)},
                        {13, std::to_string(rng() % 1000)},
                        {14, std::to_string(i)},
                        {3, "2024-06-15"},
                        {36, time}};
        } else {
            bool bid = rng() % 2 == 0;
            int& levels = bid ? bid_levels[ins] : ask_levels[ins];
            unsigned op = rng() % 3;
            if (levels == 0 || (op == 0 && levels < 10))
                op = 0;
            else if (op == 0)
                op = 1;
            int level = op == 0 ? 1 + static_cast<int>(rng() % static_cast<unsigned>(levels + 1))
                                : 1 + static_cast<int>(rng() % static_cast<unsigned>(levels));
            std::string level_text = std::to_string(level);
            if (op == 0) {
                m.type = bid ? 7 : 8;
                m.fields = {{bid ? 5u : 6u, price_text(rng)},
                            {16, level_text},
                            {17, std::to_string(rng() % 5000)},
                            {18, std::to_string(1 + rng() % 9)}};
                ++levels;
            } else if (op == 1) {
                m.type = bid ? 9 : 10;
                m.fields = {{16, level_text}};
                --levels;
            } else {
                m.type = bid ? 11 : 12;
                m.fields = {{16, level_text}, {17, std::to_string(rng() % 5000)}};
            }
        }
        out.push_back(std::move(m));
    }
    return out;
}

void drain_queues() {
    for (int n = 0; n < kQueueCount; ++n) {
        UpdateQueue& q = g_queues[n];
        MutexLock guard(q.lock);
        while (QueueItem* item = q.head) {
            unlinkQueueItem(&q, item);
            freeQueueItem(item);
        }
        q.stats->queued = 0;
        while (q.signal.try_acquire()) {
        }
    }
}

void setup_program() {
    g_config.silent = 1;
    g_config.queuehashsize = 100000;
    g_config.instrumenthashsize = 100000;
    g_config.requestorderbooks = 1;
    g_config.time_text_length = 15;
    createUpdateQueues();
    setQueue4Delay();
    createInstrumentTables(100000);
}

void teardown_program() {
    destroyUpdateQueues();
    destroyInstrumentTables();
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string word;
    while (status >> word) {
        if (word == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

// Memory of waiting items: one million distinct keyed quotes (six fields each, as above)
// queued and left waiting; the growth of the resident set per item. Registered first, so
// that no memory freed by an earlier benchmark is reused and hides the growth.
void BM_WaitingItemMemory(benchmark::State& state) {
    setup_program();
    Message quote{5,
                  0,
                  {{5, "123.45"},
                   {6, "123.55"},
                   {19, "1500"},
                   {20, "2500"},
                   {3, "2024-06-15"},
                   {4, "10:00:00.123456"}}};
    Dispatcher dispatcher;
    VectorReader reader;
    const int kItems = 1000000;
    double per_item = 0;
    for (auto _ : state) {
        long before = resident_kib();
        for (int i = 0; i < kItems; ++i) {
            reader.start(&quote);
            dispatcher.dispatch(5, 1000000 + static_cast<uint64_t>(i), reader, true);
        }
        long after = resident_kib();
        per_item = static_cast<double>(after - before) * 1024.0 / kItems;
        state.PauseTiming();
        drain_queues();
        state.ResumeTiming();
    }
    state.counters["bytes_per_waiting_item"] = per_item;
    teardown_program();
}
BENCHMARK(BM_WaitingItemMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_DispatchMix(benchmark::State& state) {
    setup_program();
    const std::vector<Message> mix = make_mix(1 << 20, 1000);
    Dispatcher dispatcher;
    VectorReader reader;
    size_t next = 0, since_drain = 0;
    const size_t drain_every = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        const Message& m = mix[next];
        reader.start(&m);
        dispatcher.dispatch(m.type, m.insref, reader, true);
        next = (next + 1) & (mix.size() - 1);
        if (++since_drain == drain_every) {
            state.PauseTiming();
            drain_queues();
            since_drain = 0;
            state.ResumeTiming();
        }
    }
    uint64_t merged = 0, queued = 0;
    for (int n = 0; n < kQueueCount; ++n)
        merged += g_queues[n].stats->deduplicated;
    (void)queued;
    state.counters["merged_share"] =
        static_cast<double>(merged) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    teardown_program();
}
BENCHMARK(BM_DispatchMix)->Arg(10000)->Arg(100000)->Iterations(5000000);

// Quotes only, every one merging into its instrument's waiting item.
void BM_DispatchMergingQuote(benchmark::State& state) {
    setup_program();
    std::vector<Message> quotes;
    std::mt19937 rng(3);
    for (int i = 0; i < 4096; ++i) {
        quotes.push_back({5,
                          1000 + static_cast<uint64_t>(i % 1000),
                          {{5, price_text(rng)},
                           {6, price_text(rng)},
                           {19, "100"},
                           {20, "200"},
                           {3, "2024-06-15"},
                           {4, "10:00:00.123456"}}});
    }
    Dispatcher dispatcher;
    VectorReader reader;
    size_t next = 0;
    for (auto _ : state) {
        reader.start(&quotes[next]);
        dispatcher.dispatch(5, quotes[next].insref, reader, true);
        next = (next + 1) & 4095;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    teardown_program();
}
BENCHMARK(BM_DispatchMergingQuote);

}  // namespace

BENCHMARK_MAIN();
