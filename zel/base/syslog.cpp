// syslog.cpp - the syslog client: facility set-up, the datagram header, one UDP datagram
// per message.
//
// setup_syslog and syslog_open run on the main thread during start-up. syslog_send is
// called by log_message from any thread: the identity, facility, computer name and the
// socket are process-wide and guarded by g_syslog_lock, which is held only to install or
// copy the endpoint (the host lookup that makes it runs outside the lock); the datagram
// itself is built in a local buffer and sent outside it.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/process_info.h"
#include "platform/udp.h"
#include "zel/base/clock.h"
#include "zel/base/config.h"
#include "zel/base/log.h"

namespace {

// A datagram holds at most this many characters, its closing line feed included.
constexpr size_t kDatagramMax = 10296;
constexpr int kDefaultSyslogPort = 514;

struct FacilityName {
    const char* name;
    int value;
};

constexpr FacilityName kFacilities[] = {
    {"LOG_AUTH", 32},    {"LOG_AUTHPRIV", 80}, {"LOG_CRON", 72},    {"LOG_DAEMON", 24},
    {"LOG_FTP", 88},     {"LOG_KERN", 0},      {"LOG_LOCAL0", 128}, {"LOG_LOCAL1", 136},
    {"LOG_LOCAL2", 144}, {"LOG_LOCAL3", 152},  {"LOG_LOCAL4", 160}, {"LOG_LOCAL5", 168},
    {"LOG_LOCAL6", 176}, {"LOG_LOCAL7", 184},  {"LOG_LPR", 48},     {"LOG_MAIL", 16},
    {"LOG_NEWS", 56},    {"LOG_SYSLOG", 40},   {"LOG_USER", 8},     {"LOG_UUCP", 64},
};

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::mutex g_syslog_lock;
int g_facility = 0;             // guarded by g_syslog_lock
std::string g_identity;         // guarded by g_syslog_lock
char g_computer_name[16] = "";  // guarded by g_syslog_lock
UdpEndpoint g_endpoint;         // guarded by g_syslog_lock; opened by the first send

// Splits "host:port" in g_config.syslog_host. The port must be a decimal number from 1 to
// 65535; a host without one keeps port 514.
bool split_syslog_port(Config& config) {
    size_t colon = config.syslog_host.rfind(':');
    if (colon == std::string::npos) return true;
    std::string port = config.syslog_host.substr(colon + 1);
    bool digits = !port.empty() && port.size() <= 5 &&
                  port.find_first_not_of("0123456789") == std::string::npos;
    int number = digits ? std::atoi(port.c_str()) : 0;
    if (number < 1 || number > 65535) {
        log_message(LOG_LEVEL_ERROR, "Syslog host '%s' has an invalid port, expected host:1-65535",
                    config.syslog_host.c_str());
        return false;
    }
    config.syslog_host.resize(colon);
    config.syslog_port = number;
    return true;
}

}  // namespace

int setup_syslog() {
    Config& config = g_config;
    if (config.facility.empty()) return 1;
    int value = -2;
    for (const FacilityName& known : kFacilities) {
        if (config.facility == known.name) {
            value = known.value;
            break;
        }
    }
    if (value == -2) {
        // Decimal conversion that stops at the first non-digit; a text that is not a number
        // reads as 0. Out-of-range texts saturate and are rejected below.
        long number = std::strtol(config.facility.c_str(), nullptr, 10);
        if (number == -1) return 1;
        // Below -1 the priority would come out negative, which no receiver accepts.
        if (number > 123 || number < -1) {
            log_message(LOG_LEVEL_ERROR, "Defined logging facility, '%s', does not exist",
                        config.facility.c_str());
            return 0;
        }
        value = static_cast<int>(number) * 8;
    }
    if (!split_syslog_port(config)) return 0;
    syslog_open("zel", 1, value);
    config.syslog_enabled = 1;
    return 1;
}

void syslog_open(const char* identity, int options, int facility_value) {
    std::lock_guard<std::mutex> hold(g_syslog_lock);
    g_facility = facility_value;
    g_identity = identity;
    if (options & 1) {
        char pid[24];
        snprintf(pid, sizeof(pid), "[%u]", static_cast<unsigned>(platform_process_id()));
        g_identity += pid;
    }
    platform_computer_name(g_computer_name, sizeof g_computer_name);
    // A second set-up (tests) sends to the newly configured destination.
    platform_udp_close(&g_endpoint);
}

void syslog_send(int level, const char* format, ...) {
    char datagram[kDatagramMax + 1];
    UdpEndpoint endpoint;
    int header_length;
    bool open;
    {
        std::lock_guard<std::mutex> hold(g_syslog_lock);
        open = g_endpoint.socket >= 0;
    }
    if (!open) {
        // The host name lookup may take seconds (a slow or absent name server): it runs
        // outside the lock, so that other threads' messages are not held up behind it.
        // `syslog_host` and `syslog_port` are settings, read-only while threads run.
        const char* host =
            g_config.syslog_host.empty() ? "127.0.0.1" : g_config.syslog_host.c_str();
        int port = g_config.syslog_port > 0 ? g_config.syslog_port : kDefaultSyslogPort;
        UdpEndpoint fresh;
        // Nothing is left open on failure: the next message tries again.
        if (!platform_udp_open(host, port, &fresh)) return;
        std::lock_guard<std::mutex> hold(g_syslog_lock);
        if (g_endpoint.socket < 0) {
            g_endpoint = fresh;
        } else {
            platform_udp_close(&fresh);  // another thread was quicker
        }
    }
    {
        std::lock_guard<std::mutex> hold(g_syslog_lock);
        if (g_endpoint.socket < 0) return;  // closed by a new set-up meanwhile
        endpoint = g_endpoint;
        struct tm now = local_tm(now_seconds());
        header_length = std::snprintf(datagram, sizeof datagram,
                                      "<%d>%s %2d %02d:%02d:%02d %s %s: ", level + g_facility,
                                      kMonths[now.tm_mon % 12], now.tm_mday, now.tm_hour,
                                      now.tm_min, now.tm_sec, g_computer_name, g_identity.c_str());
    }
    if (header_length < 0 || static_cast<size_t>(header_length) >= kDatagramMax) return;
    size_t room = kDatagramMax - static_cast<size_t>(header_length);  // message + line feed
    va_list args;
    va_start(args, format);
    int message_length = std::vsnprintf(datagram + header_length, room, format, args);
    va_end(args);
    if (message_length < 0) message_length = 0;
    size_t length = static_cast<size_t>(header_length) +
                    std::min(static_cast<size_t>(message_length), room - 1);
    datagram[length++] = '\n';
    // Send errors are ignored: a syslog server that is down must not disturb the program.
    platform_udp_send(endpoint, datagram, length);
}
