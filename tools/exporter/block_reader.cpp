// block_reader.cpp - reading the block through the platform's shared-memory reader.
//
// A failure to read an existing block is logged when it first appears and again when it
// changes, not on every scrape: a scraper asking every few seconds would flood the log.
// g_last_problem (under g_problem_lock) remembers what was logged last.
#include "tools/exporter/block_reader.h"

#include <cstring>
#include <mutex>

#include "platform/shared_memory.h"
#include "zel/base/log.h"

namespace exporter {

namespace {
std::mutex g_problem_lock;
std::string g_last_problem;  // guarded by g_problem_lock

void note_problem(const std::string& problem) {
    std::lock_guard<std::mutex> hold(g_problem_lock);
    if (problem == g_last_problem) return;
    g_last_problem = problem;
    if (!problem.empty()) log_message(LOG_LEVEL_PROBLEM, "%s", problem.c_str());
}
}  // namespace

BlockReading read_block(const std::string& map_name) {
    BlockReading reading;
    bool alive = false;
    int error = 0;
    StatsSection section{};
    ShmReadResult result =
        platform_shm_read(map_name.c_str(), &section, sizeof section, &alive, &error);
    reading.block = section.block;
    reading.ext = section.ext;
    switch (result) {
        case SHM_READ_OK:
            reading.present = true;
            reading.writer_alive = alive;
            break;
        case SHM_READ_MISSING:
            break;
        case SHM_READ_OPEN_FAILED:
        case SHM_READ_MAP_FAILED:
            reading.problem = std::string("zel_exporter: cannot read the statistics block '") + map_name + "': " +
                              (result == SHM_READ_OPEN_FAILED ? "open" : "map") + " failed, " +
                              std::strerror(error);
            std::memset(&reading.block, 0, sizeof reading.block);
            std::memset(&reading.ext, 0, sizeof reading.ext);
            break;
    }
    note_problem(reading.problem);
    return reading;
}

}  // namespace exporter
