// freshness_poll.cpp - the reader's side of the freshness benchmark (bench/freshness_pg.sh):
// polls the quotes table and writes, for every row whose time stamp changed since the poll
// before, how long ago the simulator sent the value it now holds.
//
//   freshness_poll CONNINFO SECONDS INTERVAL_MS OUTFILE
//
// The simulator stamps every quote with the wall clock (UTC, microseconds) when it builds the
// message, right before the message goes out; the example table definitions map that date and
// time to quote_date and quote_time. A value that was merged away in zel's queue never reaches
// the table: a row shows the newest quote written, so every change seen is one sent value
// becoming readable. The poller runs on the simulator's host, so the two clocks are one.
//
// Each poll reads every row (1,000 instruments) in one SELECT; the observation time is when
// the answer arrived, so a delay is an upper bound, too long by at most the poll interval plus
// the query's own time (both are reported). A poll that meets a lock waits; its answer still
// says when the value became readable to a reader that asked, which is what is measured.
//
// OUTFILE gets one line per change: "RECEIVED_US DELAY_US INSREF" (RECEIVED_US: wall-clock
// microseconds since the epoch when the poll's answer arrived). The summary on stderr gives the
// polls made and their time. Single-threaded; nothing is shared.
#include <libpq-fe.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unordered_map>

namespace {

int64_t wall_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The time stamp as microseconds since the epoch, computed by the server: the columns hold a
// UTC date and time without zone, and extract(epoch) of a timestamp without zone reads it as UTC.
constexpr const char* kPoll =
    "SELECT insref::int8, (extract(epoch FROM quote_date + quote_time) * 1000000)::int8 "
    "FROM quotes WHERE quote_date IS NOT NULL AND quote_time IS NOT NULL";

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: freshness_poll CONNINFO SECONDS INTERVAL_MS OUTFILE\n");
        return 2;
    }
    const double seconds = std::atof(argv[2]);
    const int interval_ms = std::atoi(argv[3]);
    if (seconds <= 0 || interval_ms < 0) {
        std::fprintf(stderr, "freshness_poll: SECONDS must be positive, INTERVAL_MS 0 or more\n");
        return 2;
    }
    PGconn* conn = PQconnectdb(argv[1]);
    if (PQstatus(conn) != CONNECTION_OK) {
        std::fprintf(stderr, "freshness_poll: cannot connect: %s", PQerrorMessage(conn));
        PQfinish(conn);
        return 1;
    }
    std::FILE* out = std::fopen(argv[4], "w");
    if (out == nullptr) {
        std::perror(argv[4]);
        PQfinish(conn);
        return 1;
    }

    std::unordered_map<int64_t, int64_t> seen;  // insref -> time stamp seen last
    const int64_t start = wall_us();
    const int64_t end = start + static_cast<int64_t>(seconds * 1e6);
    int64_t polls = 0, changes = 0, query_us_total = 0, query_us_max = 0;
    bool first = true;
    while (wall_us() < end) {
        const int64_t sent = wall_us();
        PGresult* res = PQexec(conn, kPoll);
        const int64_t received = wall_us();
        if (PQresultStatus(res) != PGRES_TUPLES_OK) {
            std::fprintf(stderr, "freshness_poll: %s", PQerrorMessage(conn));
            PQclear(res);
            if (PQstatus(conn) != CONNECTION_OK) break;
            continue;
        }
        ++polls;
        query_us_total += received - sent;
        if (received - sent > query_us_max) query_us_max = received - sent;
        for (int row = 0, rows = PQntuples(res); row < rows; ++row) {
            const int64_t insref = std::strtoll(PQgetvalue(res, row, 0), nullptr, 10);
            const int64_t stamp = std::strtoll(PQgetvalue(res, row, 1), nullptr, 10);
            auto [it, added] = seen.try_emplace(insref, stamp);
            if (!added && it->second == stamp) continue;
            it->second = stamp;
            // The rows present at the first poll were written before the poller looked: how
            // long ago is unknown, so they only set the baseline.
            if (first) continue;
            std::fprintf(out, "%" PRId64 " %" PRId64 " %" PRId64 "\n", received, received - stamp,
                         insref);
            ++changes;
        }
        PQclear(res);
        first = false;
        const int64_t next = sent + interval_ms * 1000;
        const int64_t now = wall_us();
        if (next > now) std::this_thread::sleep_for(std::chrono::microseconds(next - now));
    }
    std::fclose(out);
    PQfinish(conn);
    std::fprintf(stderr,
                 "freshness_poll: %" PRId64 " polls in %.1f s, %" PRId64
                 " changes seen; query time mean %.2f ms, max %.1f ms\n",
                 polls, (wall_us() - start) / 1e6, changes,
                 polls ? query_us_total / 1e3 / static_cast<double>(polls) : 0.0,
                 query_us_max / 1e3);
    return polls > 0 ? 0 : 1;
}
