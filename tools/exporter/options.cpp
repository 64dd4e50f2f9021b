// options.cpp - the exporter's command-line parsing and help text.
//
// Options take their value either as the next argument or after '=' (`--map-name=NAME`),
// as zel's own options do, so that a --map-name copied from a zel command line works.
#include "tools/exporter/options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel/base/config.h"

namespace exporter {

namespace {

const char kHelp[] =
    "Usage: zel_exporter [options]\n"
    "Serves the statistics block of a running zel over HTTP: /metrics in the Prometheus text\n"
    "format, /metrics.json, and a status page at /. It only reads the block.\n"
    "\n"
    "  --map-name NAME     the block of the zel started with this --map-name (default: zel's\n"
    "                      default name, as zel --status reads it)\n"
    "  --listen HOST:PORT  address to serve on (default 127.0.0.1:9655, loopback only;\n"
    "                      0.0.0.0:PORT serves every interface; port 0 picks a free port)\n"
    "  --port-file FILE    write the port in use to FILE once listening\n"
    "  --threads N         requests answered at the same time (default 8, 1 to 64)\n"
    "  --version           print the version and exit\n"
    "  --help              this text\n";

bool to_int(const std::string& text, int min, int max, int* out) {
    if (text.empty()) return false;
    errno = 0;
    char* stop = nullptr;
    long value = std::strtol(text.c_str(), &stop, 10);
    if (errno != 0 || *stop != '\0' || value < min || value > max) return false;
    *out = static_cast<int>(value);
    return true;
}

// "HOST:PORT" or ":PORT" (loopback) or "PORT".
bool parse_listen(const std::string& text, Options* options) {
    size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? std::string() : text.substr(0, colon);
    std::string port = colon == std::string::npos ? text : text.substr(colon + 1);
    if (!to_int(port, 0, 65535, &options->listen_port)) return false;
    options->listen_host = host.empty() ? "127.0.0.1" : host;
    return true;
}

}  // namespace

const char* help_text() {
    return kHelp;
}

int parse_options(int argc, char** argv, Options* options, std::string* error) {
    options->map_name = kDefaultMapName;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 1;
        }
        if (arg == "--version") {
            std::printf("zel_exporter %s\n", kZelVersion);
            return 1;
        }
        std::string name = arg, value;
        bool has_value = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            has_value = true;
        }
        if (name != "--map-name" && name != "--listen" && name != "--port-file" &&
            name != "--threads") {
            *error = "unknown option " + arg + " (see --help)";
            return 2;
        }
        if (!has_value) {
            if (i + 1 >= argc) {
                *error = "missing value for " + name;
                return 2;
            }
            value = argv[++i];
        }
        if (name == "--map-name") {
            if (value.empty()) {
                *error = "--map-name needs a name";
                return 2;
            }
            options->map_name = value;
        } else if (name == "--listen") {
            if (!parse_listen(value, options)) {
                *error = "--listen needs HOST:PORT with a port from 0 to 65535, not '" + value + "'";
                return 2;
            }
        } else if (name == "--port-file") {
            options->port_file = value;
        } else if (!to_int(value, 1, 64, &options->threads)) {
            *error = "--threads needs a number from 1 to 64, not '" + value + "'";
            return 2;
        }
    }
    return 0;
}

}  // namespace exporter
