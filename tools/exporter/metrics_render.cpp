// metrics_render.cpp - the metric names, help texts and both text forms.
//
// Names follow Prometheus's conventions: the prefix zel_, base units, `_total` on the
// cumulative counters (which only grow while one zel runs), plain names on the gauges
// (queue depths and flags that go up and down), one metric per counter kind with a `queue`
// label for the four update queues, so that sum() and by(queue) work in queries.
#include "tools/exporter/metrics_render.h"

#include <cinttypes>
#include <cstdio>

#include "zel/base/config.h"

namespace exporter {

namespace {

void append_header(std::string* out, const char* name, const char* type, const char* help) {
    *out += "# HELP ";
    *out += name;
    *out += ' ';
    *out += help;
    *out += "\n# TYPE ";
    *out += name;
    *out += ' ';
    *out += type;
    *out += '\n';
}

void append_value(std::string* out, const char* name, const char* labels, uint64_t value) {
    char line[256];
    std::snprintf(line, sizeof line, "%s%s %" PRIu64 "\n", name, labels, value);
    *out += line;
}

void append_single(std::string* out, const char* name, const char* type, const char* help,
                   uint64_t value) {
    append_header(out, name, type, help);
    append_value(out, name, "", value);
}

// One metric with a sample per queue; `member` picks the counter from a queue's group.
void append_per_queue(std::string* out, const StatsBlock& block, const char* name,
                      const char* type, const char* help, uint64_t QueueStats::*member) {
    append_header(out, name, type, help);
    for (int n = 1; n <= 4; ++n) {
        char labels[32];
        std::snprintf(labels, sizeof labels, "{queue=\"%d\"}", n);
        append_value(out, name, labels, block.queue[n - 1].*member);
    }
}

}  // namespace

std::string render_prometheus(const BlockReading& reading) {
    std::string out;
    out.reserve(4096);
    append_single(&out, "zel_up", "gauge",
                  "Whether a running zel holds the statistics block (1) or not (0).",
                  reading.writer_alive ? 1 : 0);
    append_header(&out, "zel_build_info", "gauge",
                  "The zel version of this build, as zel --status reports it; always 1.");
    out += "zel_build_info{version=\"";
    out += kZelVersion;
    out += "\"} 1\n";
    if (!reading.present) return out;

    const StatsBlock& block = reading.block;
    append_single(&out, "zel_received_messages_total", "counter",
                  "Feed messages received since the statistics block was created.",
                  block.received_messages);
    // As zel --status does: a flag left in the block of an ended run is not a connection.
    append_single(&out, "zel_feed_connected", "gauge",
                  "Whether zel's connection to the feed is up (1) or not (0).",
                  reading.writer_alive ? block.connected_to_feed : 0);
    append_per_queue(&out, block, "zel_queue_items", "gauge",
                     "Real items waiting in the update queue, placeholders not included.",
                     &QueueStats::queued);
    append_per_queue(&out, block, "zel_queue_empty_items", "gauge",
                     "Empty placeholder items waiting in the update queue.",
                     &QueueStats::empty_items);
    append_per_queue(&out, block, "zel_statements_executed_total", "counter",
                     "Statements of the update queue that the database executed successfully.",
                     &QueueStats::updated);
    append_per_queue(&out, block, "zel_updates_deduplicated_total", "counter",
                     "Updates merged into an item already waiting in the update queue.",
                     &QueueStats::deduplicated);
    append_per_queue(&out, block, "zel_statements_failed_total", "counter",
                     "Statements of the update queue that failed.", &QueueStats::failed);
    append_single(&out, "zel_templates_version_loaded", "gauge",
                  "The table-definition version last written to the database status table.",
                  block.templates_version_loaded);
    append_single(&out, "zel_templates_version_feed", "gauge",
                  "The feed's template version last written to the database status table.",
                  block.templates_version_feed);
    append_single(&out, "zel_instrument_table_slots", "gauge",
                  "Size of the instrument hash table, set at start-up.",
                  block.instrument_hash_tablesize);
    append_single(&out, "zel_instruments", "gauge", "Instruments in the instrument table.",
                  block.instrument_hash_count);
    // Like --status: a run that has ended holds the feed back no more, nor memory.
    append_single(&out, "zel_feed_paused", "gauge",
                  "1 while the feed is not read because the queues hold more memory than the limit.",
                  reading.writer_alive && reading.ext.feed_paused ? 1 : 0);
    append_single(&out, "zel_queued_memory_bytes", "gauge",
                  "Estimated bytes held by the items waiting in the queues.",
                  reading.writer_alive ? reading.ext.queued_bytes : 0);
    return out;
}

std::string render_json(const BlockReading& reading) {
    const StatsBlock& block = reading.block;
    std::string out;
    out.reserve(1024);
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"up\":%d,\"present\":%s,\"version\":\"%s\",\"received_messages\":%" PRIu64
                  ",\"connected_to_feed\":%" PRIu64 ",\"queues\":[",
                  reading.writer_alive ? 1 : 0, reading.present ? "true" : "false", kZelVersion,
                  block.received_messages, reading.writer_alive ? block.connected_to_feed : 0);
    out += text;
    for (int n = 0; n < 4; ++n) {
        const QueueStats& queue = block.queue[n];
        std::snprintf(text, sizeof text,
                      "%s{\"queued\":%" PRIu64 ",\"empty_items\":%" PRIu64 ",\"updated\":%" PRIu64
                      ",\"deduplicated\":%" PRIu64 ",\"failed\":%" PRIu64 "}",
                      n == 0 ? "" : ",", queue.queued, queue.empty_items, queue.updated,
                      queue.deduplicated, queue.failed);
        out += text;
    }
    std::snprintf(text, sizeof text,
                  "],\"templates_version_loaded\":%" PRIu64 ",\"templates_version_feed\":%" PRIu64
                  ",\"instrument_hash_tablesize\":%" PRIu64 ",\"instrument_hash_count\":%" PRIu64
                  ",\"feed_paused\":%d,\"queued_memory_bytes\":%" PRIu64 "}\n",
                  block.templates_version_loaded, block.templates_version_feed,
                  block.instrument_hash_tablesize, block.instrument_hash_count,
                  reading.writer_alive && reading.ext.feed_paused ? 1 : 0,
                  reading.writer_alive ? reading.ext.queued_bytes : static_cast<uint64_t>(0));
    out += text;
    return out;
}

}  // namespace exporter
