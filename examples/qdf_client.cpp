// qdf_client.cpp - a small feed client: logs on, sends one request, prints every message.
//
//   qdf_client [--server HOST:PORT[,HOST:PORT...]] [--user U --password P]
//              [--classes "1 2 3"] [--insrefs "*" | "1001 1002"] [--count N] [--seconds S]
//
// Each message is printed as one line "TYPE INSREF TAG=VALUE ...", in the format of the
// simulator's scripts (docs/feedsim.md), so its output can be replayed.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "libqdf/qdf.h"

namespace {

const char* type_name(int type) {
    switch (type) {
        case FEED_TEMPLATES_VERSION:
            return "FEED_TEMPLATES_VERSION";
        case FEED_LOGOFF:
            return "FEED_LOGOFF";
        case FEED_LOGON_REPLY:
            return "FEED_LOGON_REPLY";
        case FEED_REQUEST_FINISHED:
            return "FEED_REQUEST_FINISHED";
        default:
            return nullptr;
    }
}

void print_value(const char* v) {
    for (; *v; ++v) {
        switch (*v) {
            case ' ':
                std::fputs("\\s", stdout);
                break;
            case '\t':
                std::fputs("\\t", stdout);
                break;
            case '\n':
                std::fputs("\\n", stdout);
                break;
            case '\\':
                std::fputs("\\\\", stdout);
                break;
            default:
                std::fputc(*v, stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* server = "127.0.0.1:9100";
    const char* user = "demo";
    const char* password = "demo";
    const char* classes = "1 2 3 4";
    const char* insrefs = "*";
    long count = 0;  // 0: no limit
    long seconds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || i + 1 >= argc) {
            std::fprintf(
                a == "--help" ? stdout : stderr,
                "usage: qdf_client [--server LIST] [--user U] [--password P] [--classes \"1 2\"]\n"
                "                  [--insrefs \"*\"] [--count N] [--seconds S]\n");
            return a == "--help" ? 0 : 2;
        }
        const char* v = argv[++i];
        if (a == "--server")
            server = v;
        else if (a == "--user")
            user = v;
        else if (a == "--password")
            password = v;
        else if (a == "--classes")
            classes = v;
        else if (a == "--insrefs")
            insrefs = v;
        else if (a == "--count")
            count = std::atol(v);
        else if (a == "--seconds")
            seconds = std::atol(v);
        else {
            std::fprintf(stderr, "qdf_client: unknown option %s\n", a.c_str());
            return 2;
        }
    }

    qdf_handle* h = qdf_create();
    qdf_message* m = qdf_message_create();
    if (h == nullptr || m == nullptr) return 1;
    int32_t code = 0;
    if (!qdf_connect(h, server)) {
        qdf_get_property(h, PROP_ERROR, &code);
        std::fprintf(stderr, "qdf_client: cannot connect to %s (error %d)\n", server, code);
        return 1;
    }
    qdf_message_add(m, 0, FEED_LOGON);
    qdf_message_add_string(m, TAG_USERNAME, user);
    qdf_message_add_string(m, TAG_PASSWORD, password);
    qdf_message_add_string(m, TAG_CLIENT_ID, "qdf_client example");
    qdf_message_send(h, m);
    qdf_message_reset(m);

    time_t end = seconds > 0 ? std::time(nullptr) + seconds : 0;
    long printed = 0;
    bool requested = false;
    int status = 0;
    while (status == 0 && (end == 0 || std::time(nullptr) < end)) {
        int rc = qdf_consume(h, 1);
        if (rc == -1) {
            qdf_get_property(h, PROP_ERROR, &code);
            std::fprintf(stderr, "qdf_client: connection lost (error %d)\n", code);
            status = 1;
            break;
        }
        if (rc != 1) continue;
        int type;
        int32_t sequence;
        uint64_t insref;
        while (qdf_get_next_message(h, &type, &sequence, &insref) == 1) {
            const char* name = type_name(type);
            if (name)
                std::printf("%s %llu", name, static_cast<unsigned long long>(insref));
            else
                std::printf("%d %llu", type, static_cast<unsigned long long>(insref));
            uint32_t tag;
            const char* value;
            while (qdf_get_next_field(h, &tag, &value) == 1) {
                std::printf(" %u", tag);
                if (value) {
                    std::fputc('=', stdout);
                    print_value(value);
                }
            }
            std::fputc('\n', stdout);
            if (type == FEED_LOGON_REPLY && !requested) {
                qdf_message_add(m, 0, FEED_REQUEST);
                qdf_message_add_numeric(m, REQUEST_PARAM_51, "3");
                qdf_message_add_uint(m, REQUEST_PARAM_49, 0, 0);
                qdf_message_add_list(m, TAG_REQUEST_CLASSES, classes);
                if (std::strcmp(insrefs, "*") == 0)
                    qdf_message_add_string(m, TAG_INSREFS, insrefs);
                else
                    qdf_message_add_list(m, TAG_INSREFS, insrefs);
                qdf_message_send(h, m);
                qdf_message_reset(m);
                requested = true;
            }
            if (type == FEED_LOGOFF) status = 1;
            if (count > 0 && ++printed >= count) {
                status = -1;
                break;
            }
        }
    }
    std::fflush(stdout);
    qdf_disconnect(h);
    qdf_message_destroy(m);
    qdf_destroy(h);
    return status > 0 ? 1 : 0;
}
