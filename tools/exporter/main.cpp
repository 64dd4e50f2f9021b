// main.cpp - zel_exporter: parses the command line, serves the block until a stop signal.
//
// The stop signals are taken by the platform's signal thread, which only asks the server
// to stop; the accept loop notices within a quarter of a second, the workers finish the
// requests they have, and the process ends with exit code 0.
#include <cstdio>
#include <string>

#include "platform/signals.h"
#include "tools/exporter/block_reader.h"
#include "tools/exporter/http_server.h"
#include "tools/exporter/metrics_render.h"
#include "tools/exporter/options.h"
#include "tools/exporter/status_page.h"
#include "zel/base/config.h"
#include "zel/base/log.h"

namespace {

exporter::HttpServer* g_server = nullptr;  // set before the signal thread starts

int on_stop_signal(int /*event*/) {
    if (g_server) g_server->stop();
    return 1;
}

bool write_port_file(const std::string& path, int port) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) return false;
    bool ok = std::fprintf(file, "%d\n", port) > 0;
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    exporter::Options options;
    std::string error;
    int rc = exporter::parse_options(argc, argv, &options, &error);
    if (rc == 1) return 0;
    if (rc != 0) {
        std::fprintf(stderr, "zel_exporter: %s\n", error.c_str());
        return 2;
    }

    const std::string map_name = options.map_name;
    auto handler = [map_name](const std::string& path, exporter::HttpResponse* response) {
        if (path != "/metrics" && path != "/metrics.json" && path != "/") return false;
        if (!response) return true;
        if (path == "/metrics") {
            response->content_type = exporter::kPrometheusContentType;
            response->body = exporter::render_prometheus(exporter::read_block(map_name));
        } else if (path == "/metrics.json") {
            response->content_type = "application/json";
            response->body = exporter::render_json(exporter::read_block(map_name));
        } else {
            response->content_type = "text/html; charset=utf-8";
            // The page is self-contained: the browser is told to fetch nothing but the
            // readings from this exporter, so a stray outside reference fails visibly.
            response->headers =
                "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; "
                "style-src 'unsafe-inline'; img-src data:; connect-src 'self'\r\n";
            response->body = kStatusPage;
        }
        return true;
    };

    exporter::HttpServerSettings settings;
    settings.host = options.listen_host;
    settings.port = options.listen_port;
    settings.threads = options.threads;
    exporter::HttpServer server(settings, handler);

    // Before any thread starts, so that every thread inherits the blocked stop signals.
    platform_block_stop_signals();
    if (!server.start(&error)) {
        log_message(LOG_LEVEL_ERROR, "zel_exporter: %s", error.c_str());
        return 1;
    }
    g_server = &server;
    if (!platform_signal_thread_start(on_stop_signal)) {
        log_message(LOG_LEVEL_ERROR, "zel_exporter: cannot start the signal thread");
        return 1;
    }
    if (!options.port_file.empty() && !write_port_file(options.port_file, server.port())) {
        log_message(LOG_LEVEL_ERROR, "zel_exporter: cannot write the port file '%s'",
                    options.port_file.c_str());
        platform_signal_thread_stop();
        return 1;
    }
    log_message(LOG_LEVEL_INFO, "zel_exporter %s serving the block '%s' on http://%s:%d/",
                kZelVersion, map_name.c_str(), options.listen_host.c_str(), server.port());
    bool clean = server.run();
    platform_signal_thread_stop();
    log_message(LOG_LEVEL_INFO, "zel_exporter stopped");
    return clean ? 0 : 1;
}
