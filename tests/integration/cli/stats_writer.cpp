// stats_writer - a stand-in for a running zel as far as the statistics block goes: it
// creates the block by name the way start-up does, gives every counter a value of its own
// (counter i holds 1000 + i; the feed is paused with 4242 queued bytes), says "shared" or "private", and holds the block until the
// stop file disappears. The CLI test reads the block with `zel --status` meanwhile.
//
//   stats_writer NAME STOP_FILE
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "zel/base/config.h"
#include "zel/stats/stats_block.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: stats_writer NAME STOP_FILE\n");
        return 2;
    }
    bool shared = create_stats_block(argv[1]);
    uint64_t* counters = reinterpret_cast<uint64_t*>(g_stats);
    for (int i = 0; i < ZEL_STATS_COUNTERS; ++i)
        counters[i] = 1000 + static_cast<uint64_t>(i);
    g_stats_ext->feed_paused = 1;
    g_stats_ext->queued_bytes = 4242;
    std::printf("%s\n", shared ? "shared" : "private");
    std::fflush(stdout);
    while (std::filesystem::exists(argv[2]))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    release_stats_block();
    return 0;
}
