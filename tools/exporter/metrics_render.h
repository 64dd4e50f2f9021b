// metrics_render.h - a reading of the block in the two forms the exporter serves: the
// Prometheus text format (/metrics) and JSON for the status page (/metrics.json).
//
// Pure functions of the reading; any thread may call them.
#pragma once

#include <string>

#include "tools/exporter/block_reader.h"

namespace exporter {

// The media type of the Prometheus text format.
inline constexpr const char* kPrometheusContentType = "text/plain; version=0.0.4; charset=utf-8";

// zel_up and the build's version always; the block's counters when the block exists (a block
// left by an ended run still holds that run's counters, shown as zel --status shows them,
// with the feed connection as 0). A missing block gives zel_up 0 and no counters rather
// than invented zeros.
std::string render_prometheus(const BlockReading& reading);

// The same values for the page: every counter of the block by its name, the per-queue
// counters as an array of four, "up", "present" and "version".
std::string render_json(const BlockReading& reading);

}  // namespace exporter
