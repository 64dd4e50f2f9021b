// feed_throughput.cpp - the feed simulator at full rate against a client that reads every
// field of every message over loopback.
//
// The server runs in-process on its own thread (rate 0, quotes only), the client is the
// benchmark thread using libqdf exactly as the feed thread does: qdf_consume, then every
// message and every field. Reported: messages per second (items_per_second) and bytes.
// Also a codec-only case that encodes and decodes in memory, to show what the network
// and the generator cost on top of it.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "libqdf/qdf.h"
#include "libqdf/wire.h"
#include "tools/feedsim/market.h"
#include "tools/feedsim/server.h"

namespace {

class Simulator {
  public:
    Simulator() {
        feedsim::Options o;
        o.listen_port = 0;
        o.rate = 0;
        o.instruments = 1000;
        o.mix = {{FEED_QUOTE, 1}};
        server_ = std::make_unique<feedsim::Server>(o);
        std::string error;
        if (!server_->start(&error)) std::abort();
        thread_ = std::thread([this] { server_->run(); });
    }
    ~Simulator() {
        server_->stop();
        thread_.join();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(server_->port()); }

  private:
    std::unique_ptr<feedsim::Server> server_;
    std::thread thread_;
};

void BM_FeedQuotesOverLoopback(benchmark::State& state) {
    static Simulator simulator;
    const int64_t per_iteration = state.range(0);
    int64_t messages = 0, fields = 0, bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        qdf_handle* h = qdf_create();
        qdf_message* m = qdf_message_create();
        if (!qdf_connect(h, simulator.address().c_str())) {
            state.SkipWithError("connect failed");
            break;
        }
        qdf_message_add(m, 0, FEED_LOGON);
        qdf_message_add_string(m, TAG_USERNAME, "bench");
        qdf_message_add_string(m, TAG_PASSWORD, "bench");
        qdf_message_add(m, 0, FEED_REQUEST);
        qdf_message_add_list(m, TAG_REQUEST_CLASSES, "1");
        qdf_message_add_string(m, TAG_INSREFS, "*");
        qdf_message_send(h, m);
        state.ResumeTiming();
        int64_t got = 0;
        while (got < per_iteration) {
            int rc = qdf_consume(h, 2);
            if (rc == -1) {
                state.SkipWithError("connection lost");
                break;
            }
            int type;
            int32_t seq;
            uint64_t insref;
            while (qdf_get_next_message(h, &type, &seq, &insref) == 1) {
                ++got;
                uint32_t tag;
                const char* value;
                while (qdf_get_next_field(h, &tag, &value) == 1) {
                    ++fields;
                    if (value) bytes += static_cast<int64_t>(std::strlen(value));
                }
            }
        }
        messages += got;
        state.PauseTiming();
        qdf_disconnect(h);
        qdf_message_destroy(m);
        qdf_destroy(h);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(messages);
    state.counters["fields_per_msg"] =
        messages ? static_cast<double>(fields) / static_cast<double>(messages) : 0;
    state.counters["value_bytes_per_msg"] =
        messages ? static_cast<double>(bytes) / static_cast<double>(messages) : 0;
}
BENCHMARK(BM_FeedQuotesOverLoopback)
    ->Arg(2000000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

// The generator and the codec alone, in one thread, without sockets.
void BM_GenerateAndDecodeQuotes(benchmark::State& state) {
    feedsim::MarketOptions o;
    o.instruments = 1000;
    o.mix = {{FEED_QUOTE, 1}};
    feedsim::Market market(o);
    market.select({1}, {});
    std::vector<uint8_t> buffer;
    int64_t messages = 0;
    for (auto _ : state) {
        buffer.clear();
        qdf_wire::FrameWriter w(&buffer);
        for (int i = 0; i < 1000; ++i)
            market.next(w);
        w.end();
        size_t pos = 0;
        while (pos < buffer.size()) {
            qdf_wire::FrameView f;
            size_t n = 0;
            qdf_wire::decode_frame(buffer.data() + pos, buffer.size() - pos, &f, &n);
            qdf_wire::FieldCursor c;
            c.start(f);
            uint32_t tag, length;
            uint8_t kind;
            const char* value;
            while (c.step(&tag, &kind, &value, &length))
                benchmark::DoNotOptimize(value);
            pos += n;
        }
        messages += 1000;
    }
    state.SetItemsProcessed(messages);
}
BENCHMARK(BM_GenerateAndDecodeQuotes);

}  // namespace

BENCHMARK_MAIN();
