// options.h - the simulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/feedsim/market.h"

namespace feedsim {

struct Options {
    std::string listen_host = "127.0.0.1";
    int listen_port = 9100;
    bool check_credentials = false;  // --user/--password given
    std::string user, password;
    std::string script_path;
    std::string log_path;
    std::string record_path;  // every message sent to clients, in the script format
    std::string port_file;
    long rate = 1000;     // live messages per second per client; 0: as fast as possible
    double duration = 0;  // seconds the server runs; 0: until stopped
    uint64_t seed = 1;
    int instruments = 1000;
    int depth = 10;
    std::vector<MixEntry> mix;  // empty: default
    std::string server_name = "feedsim";
    bool send_server_name = true;
    uint64_t template_version = 1;
    int64_t time_offset = 0;    // seconds added to the server's clock
    int64_t start_time_us = 0;  // simulated clock start; 0: wall clock
    long drop_every = 0;        // drop the connection after this many live messages; 0: never
    bool drop_slow = false;     // slow consumer: drop (true) or wait (false)
    int send_timeout_ms = 5000;
    double bad_text_rate = 0;   // share of free-text fields sent spoilt (fault test)
};

// Parses argv. Returns 0 to go on, 1 when --help was printed (exit 0), 2 on an error
// (message in *error, exit 2).
int parse_options(int argc, char** argv, Options* options, std::string* error);
const char* help_text();

}  // namespace feedsim
