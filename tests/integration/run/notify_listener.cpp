// notify_listener.cpp - plays the service manager's end of the notify socket for the
// service tests: binds PATH, says "bound" on standard output, then writes every report it
// receives to OUTPUT as one line (its line breaks shown as '|'), until a report says the
// service has stopped or could not start, or nothing arrives for two minutes.
//
//   notify_listener PATH OUTPUT
#include <cstdio>
#include <string>

#include "platform/service_notify.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: notify_listener PATH OUTPUT\n");
        return 2;
    }
    long socket = platform_notify_listen(argv[1]);
    if (socket < 0) {
        std::fprintf(stderr, "notify_listener: cannot bind %s\n", argv[1]);
        return 1;
    }
    FILE* out = std::fopen(argv[2], "w");
    if (!out) {
        std::fprintf(stderr, "notify_listener: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("bound\n");
    std::fflush(stdout);
    char buffer[4096];
    int result = 1;
    while (platform_notify_receive(socket, buffer, sizeof buffer, 120000) >= 0) {
        std::string report(buffer);
        for (char& c : report) {
            if (c == '\n') c = '|';
        }
        std::fprintf(out, "%s\n", report.c_str());
        std::fflush(out);
        if (report.find("has stopped") != std::string::npos ||
            report.find("could not start") != std::string::npos) {
            result = 0;
            break;
        }
    }
    std::fclose(out);
    platform_notify_close(socket, argv[1]);
    return result;
}
