// options.h - the exporter's command line.
//
// Parsed once on the main thread before anything else starts; read-only afterwards.
#pragma once

#include <string>

namespace exporter {

// The port the exporter listens on unless told otherwise.
inline constexpr int kDefaultPort = 9655;

struct Options {
    std::string map_name;                  // the block to read; empty: zel's default name
    std::string listen_host = "127.0.0.1";  // loopback only unless told otherwise
    int listen_port = kDefaultPort;
    std::string port_file;  // written with the port in use once listening
    int threads = 8;        // requests answered at once
};

// Parses argv. Returns 0 to go on, 1 when --help or --version was printed (exit 0), 2 on
// an error (message in *error, exit 2).
int parse_options(int argc, char** argv, Options* options, std::string* error);
const char* help_text();

}  // namespace exporter
