// main.cpp - the feedsim program: parses the command line and runs the server.
#include <cstdio>
#include <string>

#include "tools/feedsim/options.h"
#include "tools/feedsim/server.h"

int main(int argc, char** argv) {
    feedsim::Options options;
    std::string error;
    int rc = feedsim::parse_options(argc, argv, &options, &error);
    if (rc == 1) {
        std::fputs(feedsim::help_text(), stdout);
        return 0;
    }
    if (rc != 0) {
        std::fprintf(stderr, "feedsim: %s\n", error.c_str());
        return 2;
    }
    feedsim::Server server(options);
    if (!server.start(&error)) {
        std::fprintf(stderr, "feedsim: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "feedsim: listening on %s:%d (%s)\n", options.listen_host.c_str(),
                 server.port(),
                 options.script_path.empty() ? "generated market" : options.script_path.c_str());
    server.run();
    return 0;
}
