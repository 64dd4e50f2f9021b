// options.cpp - command-line parsing and the help text of the simulator.
#include "tools/feedsim/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/time_conv.h"

namespace feedsim {

namespace {

const char kHelp[] =
    "Usage: feedsim [options]\n"
    "A feed server for demos, tests and benchmarks: logon, request handling, a snapshot of a\n"
    "generated market and a live stream, or the exact replay of a script.\n"
    "\n"
    "  --listen HOST:PORT      address to listen on (default 127.0.0.1:9100; port 0 picks one)\n"
    "  --port-file FILE        write the port in use to FILE once listening\n"
    "  --user U --password P   accept only these credentials (others get log-off 401);\n"
    "                          without them every logon is accepted\n"
    "  --server-name NAME      server name in the logon reply (default feedsim)\n"
    "  --no-server-name        logon reply without a server name (clients may then catch up)\n"
    "  --template-version N    template version announced after logon (default 1)\n"
    "  --script FILE           replay FILE instead of generating a market (see docs/feedsim.md)\n"
    "  --rate N                live messages per second per client (default 1000; 0 = flat out)\n"
    "  --duration SECONDS      stop after this long, logging clients off with 503 (default: run "
    "on)\n"
    "  --seed N                seed of the generated market (default 1; same seed, same stream)\n"
    "  --instruments N         size of the generated universe (default 1000)\n"
    "  --depth N               order book levels per side at most (default 10)\n"
    "  --mix TYPE=W,...        weights of the live message types (names like FEED_QUOTE or\n"
    "                          numbers); types not listed are not sent. Default: every type\n"
    "  --start-time 'YYYY-MM-DD HH:MM:SS'  simulated clock (UTC) instead of the wall clock;\n"
    "                          time stamps then repeat exactly from run to run\n"
    "  --time-offset SECONDS   run the server's clock this far ahead of (or behind) the host's\n"
    "  --drop-every N          drop each connection after N live messages (fault test)\n"
    "  --bad-text RATE         spoil this share (0 to 1) of free-text fields: half get invalid\n"
    "                          UTF-8, half are made far longer than their columns (fault test)\n"
    "  --slow-consumer MODE    wait (default) or drop a client that does not read\n"
    "  --send-timeout MS       how long a write may wait before a slow client is dropped (5000)\n"
    "  --log FILE              one line per message received from a client\n"
    "  --record FILE           every message sent to clients after the logon reply, in the\n"
    "                          script format (a run can be replayed with --script)\n"
    "  --help                  this text\n";

bool to_long(const char* text, long min, long max, long* out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* stop = nullptr;
    long v = std::strtol(text, &stop, 10);
    if (errno != 0 || *stop != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

}  // namespace

const char* help_text() {
    return kHelp;
}

int parse_options(int argc, char** argv, Options* o, std::string* error) {
    bool have_user = false, have_password = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") return 1;
        if (arg == "--no-server-name") {
            o->send_server_name = false;
            continue;
        }
        if (i + 1 >= argc) {
            *error = arg + (arg.rfind("--", 0) == 0 ? " needs a value" : ": unknown argument");
            return 2;
        }
        const char* v = argv[++i];
        long n = 0;
        auto bad = [&](const char* what) {
            *error = arg + " " + v + ": " + what;
            return 2;
        };
        if (arg == "--listen") {
            std::string s = v;
            size_t colon = s.rfind(':');
            if (colon == std::string::npos || colon == 0) return bad("expected HOST:PORT");
            if (!to_long(s.c_str() + colon + 1, 0, 65535, &n))
                return bad("port must be 0 to 65535");
            o->listen_host = s.substr(0, colon);
            o->listen_port = static_cast<int>(n);
        } else if (arg == "--port-file") {
            o->port_file = v;
        } else if (arg == "--user") {
            o->user = v;
            have_user = true;
        } else if (arg == "--password") {
            o->password = v;
            have_password = true;
        } else if (arg == "--server-name") {
            o->server_name = v;
        } else if (arg == "--template-version") {
            errno = 0;
            char* stop = nullptr;
            unsigned long long t = std::strtoull(v, &stop, 10);
            if (errno != 0 || *stop != '\0' || *v == '\0' || *v == '-')
                return bad("expected an unsigned number");
            o->template_version = t;
        } else if (arg == "--script") {
            o->script_path = v;
        } else if (arg == "--rate") {
            if (!to_long(v, 0, 100000000, &n)) return bad("expected 0 to 100000000");
            o->rate = n;
        } else if (arg == "--duration") {
            char* stop = nullptr;
            double d = std::strtod(v, &stop);
            if (*stop != '\0' || *v == '\0' || !(d >= 0) || d > 1e9)
                return bad("expected seconds (0 or more)");
            o->duration = d;
        } else if (arg == "--seed") {
            errno = 0;
            char* stop = nullptr;
            unsigned long long s = std::strtoull(v, &stop, 10);
            if (errno != 0 || *stop != '\0' || *v == '\0' || *v == '-')
                return bad("expected an unsigned number");
            o->seed = s;
        } else if (arg == "--instruments") {
            if (!to_long(v, 1, 10000000, &n)) return bad("expected 1 to 10000000");
            o->instruments = static_cast<int>(n);
        } else if (arg == "--depth") {
            if (!to_long(v, 1, 100, &n)) return bad("expected 1 to 100");
            o->depth = static_cast<int>(n);
        } else if (arg == "--mix") {
            std::string why;
            if (!parse_mix(v, &o->mix, &why)) return bad(why.c_str());
            bool any = false;
            for (const MixEntry& m : o->mix)
                any = any || m.weight > 0;
            if (!any) return bad("no message type has a weight above 0");
        } else if (arg == "--start-time") {
            struct tm tm;
            std::memset(&tm, 0, sizeof tm);
            int y, mo, d, h, mi, s;
            char tail;
            if (std::sscanf(v, "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6 ||
                y < 1970 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60 ||
                h < 0 || mi < 0 || s < 0)
                return bad("expected 'YYYY-MM-DD HH:MM:SS'");
            tm.tm_year = y - 1900;
            tm.tm_mon = mo - 1;
            tm.tm_mday = d;
            tm.tm_hour = h;
            tm.tm_min = mi;
            tm.tm_sec = s;
            o->start_time_us = platform_utc_mktime(&tm) * 1000000;
        } else if (arg == "--time-offset") {
            if (!to_long(v, -86400 * 366, 86400 * 366, &n))
                return bad("expected seconds within a year");
            o->time_offset = n;
        } else if (arg == "--drop-every") {
            if (!to_long(v, 0, 2000000000, &n)) return bad("expected a count (0 = never)");
            o->drop_every = n;
        } else if (arg == "--bad-text") {
            char* stop = nullptr;
            double r = std::strtod(v, &stop);
            if (*stop != '\0' || *v == '\0' || !(r >= 0) || r > 1)
                return bad("expected a share from 0 to 1");
            o->bad_text_rate = r;
        } else if (arg == "--slow-consumer") {
            if (std::strcmp(v, "wait") == 0)
                o->drop_slow = false;
            else if (std::strcmp(v, "drop") == 0)
                o->drop_slow = true;
            else
                return bad("expected wait or drop");
        } else if (arg == "--send-timeout") {
            if (!to_long(v, 1, 3600000, &n)) return bad("expected 1 to 3600000 milliseconds");
            o->send_timeout_ms = static_cast<int>(n);
        } else if (arg == "--log") {
            o->log_path = v;
        } else if (arg == "--record") {
            o->record_path = v;
        } else {
            --i;
            *error = arg + ": unknown option (see --help)";
            return 2;
        }
    }
    if (have_user != have_password) {
        *error = "--user and --password go together";
        return 2;
    }
    o->check_credentials = have_user;
    return 0;
}

}  // namespace feedsim
