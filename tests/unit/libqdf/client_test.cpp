// client_test.cpp - the feed client library against real servers on loopback: the feed
// simulator in scripted mode for round trips, and a raw socket server for bytes that no
// well-behaved server sends.
#include "libqdf/qdf.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "libqdf/wire.h"
#include "platform/socket.h"
#include "tools/feedsim/server.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string temp_path(const std::string& name) {
    static int counter = 0;
    return (std::filesystem::temp_directory_path() /
            ("qdf_client_test_" +
             std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
             std::to_string(counter++) + "_" + name))
        .string();
}

// The simulator in-process, replaying a script.
class ScriptServer {
  public:
    explicit ScriptServer(const std::string& script, int64_t time_offset = 0) {
        script_path_ = temp_path("script.txt");
        std::ofstream(script_path_) << script;
        feedsim::Options o;
        o.listen_port = 0;
        o.script_path = script_path_;
        o.time_offset = time_offset;
        server_ = std::make_unique<feedsim::Server>(o);
        std::string error;
        ok_ = server_->start(&error);
        EXPECT_TRUE(ok_) << error;
        if (ok_) thread_ = std::thread([this] { server_->run(); });
    }
    ~ScriptServer() {
        server_->stop();
        if (thread_.joinable()) thread_.join();
        std::filesystem::remove(script_path_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(server_->port()); }

  private:
    std::string script_path_;
    std::unique_ptr<feedsim::Server> server_;
    std::thread thread_;
    bool ok_ = false;
};

// Accepts one connection and hands its socket to a function: for bytes no simulator sends.
class RawServer {
  public:
    explicit RawServer(std::function<void(intptr_t)> body) {
        int error = 0;
        listener_ = platform_tcp_listen("127.0.0.1", 0, &port_, &error);
        EXPECT_GE(listener_, 0);
        thread_ = std::thread([this, body] {
            intptr_t s = platform_tcp_accept(listener_, 10000);
            if (s < 0) return;
            body(s);
            platform_socket_close(s);
        });
    }
    ~RawServer() {
        thread_.join();
        platform_socket_close(listener_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    intptr_t listener_ = -1;
    int port_ = 0;
    std::thread thread_;
};

struct Message {
    int type;
    uint64_t insref;
    std::vector<std::pair<uint32_t, std::string>> fields;  // "<null>" marks a null value
};

// Consumes until `want` data messages arrived (or the wait runs out).
std::vector<Message> collect(qdf_handle* h, size_t want, int max_seconds = 10) {
    std::vector<Message> got;
    auto end = Clock::now() + std::chrono::seconds(max_seconds);
    while (got.size() < want && Clock::now() < end) {
        int rc = qdf_consume(h, 1);
        if (rc == -1) break;
        if (rc != 1) continue;
        int type;
        int32_t seq;
        uint64_t insref;
        while (qdf_get_next_message(h, &type, &seq, &insref) == 1) {
            Message m{type, insref, {}};
            uint32_t tag;
            const char* value;
            while (qdf_get_next_field(h, &tag, &value) == 1)
                m.fields.emplace_back(tag, value ? value : "<null>");
            got.push_back(std::move(m));
        }
    }
    return got;
}

void logon(qdf_handle* h) {
    qdf_message* m = qdf_message_create();
    qdf_message_add(m, 0, FEED_LOGON);
    qdf_message_add_string(m, TAG_USERNAME, "u");
    qdf_message_add_string(m, TAG_PASSWORD, "p");
    ASSERT_EQ(qdf_message_send(h, m), 1);
    qdf_message_destroy(m);
}

int32_t error_of(qdf_handle* h) {
    int32_t e = -1;
    EXPECT_EQ(qdf_get_property(h, PROP_ERROR, &e), 1);
    return e;
}

TEST(QdfRoundTrip, NullEmptyLargeAndEscapedValuesArriveIntact) {
    std::string large(300000, 'L');
    ScriptServer server(
        "FEED_QUOTE 1001 3=2024-05-06 7= 5 6=12.5\n"
        "# a comment line\n"
        "6 1002 2=two\\swords\\tand\\ntab\\\\ 12=" +
            large +
            "\n"
            "FEED_REQUEST_FINISHED 0 50=100\n",
        3600);
    qdf_handle* h = qdf_create();
    ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
    logon(h);
    auto got = collect(h, 5);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].type, FEED_LOGON_REPLY);
    EXPECT_EQ(got[1].type, FEED_TEMPLATES_VERSION);
    ASSERT_EQ(got[2].fields.size(), 4u);
    EXPECT_EQ(got[2].insref, 1001u);
    EXPECT_EQ(got[2].fields[1], std::make_pair(7u, std::string()));
    EXPECT_EQ(got[2].fields[2], std::make_pair(5u, std::string("<null>")));
    EXPECT_EQ(got[2].fields[3], std::make_pair(6u, std::string("12.5")));
    EXPECT_EQ(got[3].type, FEED_TRADE);
    EXPECT_EQ(got[3].fields[0].second, "two words\tand\ntab\\");
    EXPECT_EQ(got[3].fields[1].second, large);
    EXPECT_EQ(got[4].type, FEED_REQUEST_FINISHED);
    // The server's clock runs an hour ahead; the greeting tells the client.
    int32_t offset = 0;
    ASSERT_EQ(qdf_get_property(h, PROP_TIME_OFFSET, &offset), 1);
    EXPECT_NEAR(offset, 3600, 2);
    qdf_destroy(h);
}

TEST(QdfRoundTrip, LargeBatchesKeepOrderAndNumbering) {
    std::string script;
    for (int i = 0; i < 20000; ++i)
        script += "5 " + std::to_string(i) + " 7=" + std::to_string(i) + "\n";
    ScriptServer server(script);
    qdf_handle* h = qdf_create();
    ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
    logon(h);
    size_t data = 0, batches = 0;
    int32_t last_seq = 0;
    auto end = Clock::now() + std::chrono::seconds(20);
    while (data < 20000 && Clock::now() < end) {
        int rc = qdf_consume(h, 1);
        ASSERT_NE(rc, -1);
        if (rc != 1) continue;
        ++batches;
        int type;
        int32_t seq;
        uint64_t insref;
        while (qdf_get_next_message(h, &type, &seq, &insref) == 1) {
            EXPECT_EQ(seq, last_seq + 1);
            last_seq = seq;
            if (type != FEED_QUOTE) continue;
            EXPECT_EQ(insref, data);
            uint32_t tag;
            const char* value;
            ASSERT_EQ(qdf_get_next_field(h, &tag, &value), 1);
            EXPECT_EQ(std::to_string(data), value);
            ++data;
        }
    }
    EXPECT_EQ(data, 20000u);
    EXPECT_GT(batches, 0u);
    qdf_destroy(h);
}

TEST(QdfRoundTrip, MessagesNotTakenStayForTheNextBatch) {
    ScriptServer server("5 1 7=1\n5 2 7=2\n5 3 7=3\n");
    qdf_handle* h = qdf_create();
    ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
    logon(h);
    std::vector<uint64_t> seen;
    auto end = Clock::now() + std::chrono::seconds(5);
    while (seen.size() < 3 && Clock::now() < end) {
        if (qdf_consume(h, 1) != 1) continue;
        int type;
        uint64_t insref;
        // Take one data message per batch only.
        while (qdf_get_next_message(h, &type, nullptr, &insref) == 1) {
            if (type == FEED_QUOTE) {
                seen.push_back(insref);
                break;
            }
        }
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3}));
    qdf_destroy(h);
}

TEST(QdfConsume, WaitsTheGivenTimeWhenNothingArrives) {
    ScriptServer server("@idle\n");
    qdf_handle* h = qdf_create();
    ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
    logon(h);
    collect(h, 2);  // logon reply and template version
    auto start = Clock::now();
    EXPECT_EQ(qdf_consume(h, 1), 0);
    auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(waited, 900);
    EXPECT_LT(waited, 2500);
    start = Clock::now();
    EXPECT_EQ(qdf_consume(h, 0), 0);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
              500);
    qdf_destroy(h);
}

TEST(QdfDisconnect, FromAnotherThreadEndsAWaitingConsumePromptly) {
    ScriptServer server("@idle\n");
    qdf_handle* h = qdf_create();
    ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
    logon(h);
    collect(h, 2);
    for (int round = 0; round < 3; ++round) {
        std::thread cutter([h] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            qdf_disconnect(h);
        });
        auto start = Clock::now();
        EXPECT_EQ(qdf_consume(h, 30), -1);
        auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        cutter.join();
        EXPECT_LT(waited, 3000);
        EXPECT_EQ(error_of(h), QDF_ERR_DISCONNECTED);
        EXPECT_EQ(qdf_consume(h, 0), -1);  // stays disconnected
        EXPECT_EQ(qdf_disconnect(h), 1);   // harmless when not connected
        // The handle connects again afterwards.
        ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
        logon(h);
        ASSERT_EQ(collect(h, 2).size(), 2u);
    }
    qdf_destroy(h);
}

TEST(QdfConnect, ServerListIsTriedInOrder) {
    // A port nobody listens on: take a free port and close it again.
    int error = 0, dead_port = 0;
    intptr_t probe = platform_tcp_listen("127.0.0.1", 0, &dead_port, &error);
    platform_socket_close(probe);
    std::string dead = "127.0.0.1:" + std::to_string(dead_port);

    ScriptServer server("5 7 7=1\n");
    qdf_handle* h = qdf_create();
    std::string list = dead + ", " + server.address();
    ASSERT_EQ(qdf_connect(h, list.c_str()), 1);
    logon(h);
    auto got = collect(h, 3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].insref, 7u);

    EXPECT_EQ(qdf_connect(h, dead.c_str()), 0);
    EXPECT_EQ(error_of(h), QDF_ERR_REFUSED);
    EXPECT_EQ(qdf_consume(h, 0), -1);
    EXPECT_EQ(error_of(h), QDF_ERR_NOT_CONNECTED);
    EXPECT_EQ(qdf_connect(h, "127.0.0.1:notaport"), 0);
    EXPECT_EQ(error_of(h), QDF_ERR_BAD_ADDRESS);
    EXPECT_EQ(qdf_connect(h, nullptr), 0);
    EXPECT_EQ(error_of(h), QDF_ERR_BAD_ADDRESS);
    EXPECT_EQ(qdf_connect(h, " , "), 0);
    EXPECT_EQ(error_of(h), QDF_ERR_BAD_ADDRESS);
    qdf_destroy(h);
}

std::vector<uint8_t> frame(int type, uint64_t insref,
                           const std::vector<std::pair<uint32_t, std::string>>& fields) {
    std::vector<uint8_t> bytes;
    qdf_wire::FrameWriter w(&bytes);
    w.begin(static_cast<uint16_t>(type), insref);
    for (auto& f : fields)
        w.field(f.first, qdf_wire::kString, f.second.data(), f.second.size());
    w.end();
    return bytes;
}

// What a client sees of a server that sends `bytes` and then closes.
struct Outcome {
    std::vector<int> results;  // qdf_consume results until the first -1
    int32_t error = 0;
    size_t messages = 0;
};

Outcome feed_bytes(const std::vector<uint8_t>& bytes, bool close_after = true) {
    RawServer server([bytes, close_after](intptr_t s) {
        platform_socket_write_all(s, bytes.data(), bytes.size(), 5000);
        if (!close_after) std::this_thread::sleep_for(std::chrono::seconds(1));
    });
    qdf_handle* h = qdf_create();
    Outcome o;
    EXPECT_EQ(qdf_connect(h, server.address().c_str()), 1);
    for (int i = 0; i < 10; ++i) {
        int rc = qdf_consume(h, 3);
        o.results.push_back(rc);
        while (qdf_get_next_message(h, nullptr, nullptr, nullptr) == 1)
            ++o.messages;
        if (rc == -1) break;
    }
    qdf_get_property(h, PROP_ERROR, &o.error);
    qdf_destroy(h);
    return o;
}

// The server time of the greeting is range-checked before any arithmetic: a time far
// outside any clock (or beyond 64 bits) is ignored, as a missing one is, instead of
// overflowing the difference into a garbage offset.
TEST(QdfBadInput, AbsurdServerTimeInTheGreetingIsIgnored) {
    for (const char* server_time : {"-9223372036854775807", "99999999999999999999",
                                    "9223372036854775807", "253402300800000000"}) {
        std::vector<uint8_t> bytes = frame(qdf_wire::kTypeHello, 0, {{qdf_wire::kHelloServerTime,
                                                                      server_time}});
        std::vector<uint8_t> data = frame(FEED_QUOTE, 7, {{5, "1"}});
        bytes.insert(bytes.end(), data.begin(), data.end());
        RawServer server([bytes](intptr_t s) {
            platform_socket_write_all(s, bytes.data(), bytes.size(), 5000);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        });
        qdf_handle* h = qdf_create();
        ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
        size_t got = 0;
        for (int i = 0; i < 10 && got == 0; ++i) {
            if (qdf_consume(h, 1) == -1) break;
            while (qdf_get_next_message(h, nullptr, nullptr, nullptr) == 1)
                ++got;
        }
        EXPECT_EQ(got, 1u) << server_time;
        int32_t offset = 12345;
        EXPECT_EQ(qdf_get_property(h, PROP_TIME_OFFSET, &offset), 0) << server_time << " " << offset;
        qdf_destroy(h);
    }
}

TEST(QdfBadInput, GarbageDropsTheConnection) {
    std::vector<uint8_t> garbage(64, 0x5A);  // a length word far above the limit
    Outcome o = feed_bytes(garbage, false);
    EXPECT_EQ(o.results, std::vector<int>{-1});
    EXPECT_EQ(o.error, QDF_ERR_FRAME_TOO_LARGE);

    std::vector<uint8_t> malformed = frame(5, 1, {{7, "1"}});
    malformed[4 + 10] = 3;  // claims three fields, holds one
    o = feed_bytes(malformed, false);
    EXPECT_EQ(o.results, std::vector<int>{-1});
    EXPECT_EQ(o.error, QDF_ERR_PROTOCOL);
}

TEST(QdfBadInput, FramesBeforeABadOneAreDeliveredFirst) {
    std::vector<uint8_t> bytes = frame(5, 1, {{7, "1"}});
    std::vector<uint8_t> second = frame(5, 2, {{7, "2"}});
    bytes.insert(bytes.end(), second.begin(), second.end());
    bytes.insert(bytes.end(), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});  // bad length word
    Outcome o = feed_bytes(bytes, false);
    EXPECT_EQ(o.results, (std::vector<int>{1, -1}));
    EXPECT_EQ(o.messages, 2u);
    EXPECT_EQ(o.error, QDF_ERR_FRAME_TOO_LARGE);
}

TEST(QdfBadInput, PeerClosingMidFrameOrCleanly) {
    std::vector<uint8_t> bytes = frame(6, 9, {{12, "10.5"}});
    std::vector<uint8_t> cut = frame(6, 10, {{12, "11.5"}});
    bytes.insert(bytes.end(), cut.begin(), cut.begin() + 9);
    Outcome o = feed_bytes(bytes);
    EXPECT_EQ(o.results, (std::vector<int>{1, -1}));
    EXPECT_EQ(o.messages, 1u);
    EXPECT_EQ(o.error, QDF_ERR_TRUNCATED);

    o = feed_bytes(frame(6, 9, {{12, "10.5"}}));
    EXPECT_EQ(o.results, (std::vector<int>{1, -1}));
    EXPECT_EQ(o.error, QDF_ERR_CLOSED);
}

TEST(QdfMessage, FieldsAreWrittenAsTheCallsDescribe) {
    std::vector<uint8_t> received;
    std::atomic<bool> done{false};
    RawServer server([&](intptr_t s) {
        std::vector<uint8_t> buf(65536);
        auto end = Clock::now() + std::chrono::seconds(5);
        while (Clock::now() < end) {
            if (platform_socket_wait_readable(s, 100) != 1) continue;
            long n = platform_socket_read(s, buf.data(), buf.size());
            if (n <= 0) break;
            received.insert(received.end(), buf.begin(), buf.begin() + n);
        }
        done = true;
    });
    qdf_handle* h = qdf_create();
    ASSERT_EQ(qdf_connect(h, server.address().c_str()), 1);
    qdf_message* m = qdf_message_create();
    EXPECT_EQ(qdf_message_add_string(m, 1, "x"), 0);  // no message started yet
    ASSERT_EQ(qdf_message_send(h, m), 0);
    EXPECT_EQ(error_of(h), QDF_ERR_MESSAGE);
    qdf_message_reset(m);
    qdf_message_add(m, 0, FEED_REQUEST);
    qdf_message_add_uint(m, 1, 12345, 2);
    qdf_message_add_uint(m, 2, 5, 3);
    qdf_message_add_uint(m, 3, 7, 0);
    qdf_message_add_date2(m, 4, 2024, 3, 9);
    qdf_message_add_time2(m, 5, 7, 5, 3, 0);
    qdf_message_add_time2(m, 6, 23, 59, 59, 250);
    qdf_message_add_list(m, 7, "1 2 3");
    qdf_message_add_numeric(m, 8, "3");
    qdf_message_add_string(m, 9, nullptr);
    qdf_message_add(m, 77, FEED_LOGON);
    ASSERT_EQ(qdf_message_send(h, m), 1);
    qdf_disconnect(h);
    while (!done)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));

    qdf_wire::FrameView f;
    size_t n = 0;
    ASSERT_EQ(qdf_wire::decode_frame(received.data(), received.size(), &f, &n),
              qdf_wire::kComplete);
    EXPECT_EQ(f.type, FEED_REQUEST);
    std::vector<std::string> values;
    std::vector<uint8_t> kinds;
    qdf_wire::FieldCursor c;
    c.start(f);
    uint32_t tag, length;
    uint8_t kind;
    const char* value;
    while (c.step(&tag, &kind, &value, &length)) {
        values.push_back(value ? std::string(value, length) : "<null>");
        kinds.push_back(kind);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"123.45", "0.005", "7", "2024-03-09", "07:05:03",
                                                "23:59:59.000250", "1 2 3", "3", "<null>"}));
    EXPECT_EQ(kinds[6], qdf_wire::kList);
    EXPECT_EQ(kinds[7], qdf_wire::kNumeric);
    EXPECT_EQ(kinds[8], qdf_wire::kNull);
    qdf_wire::FrameView g;
    size_t m2 = 0;
    ASSERT_EQ(qdf_wire::decode_frame(received.data() + n, received.size() - n, &g, &m2),
              qdf_wire::kComplete);
    EXPECT_EQ(g.type, FEED_LOGON);
    EXPECT_EQ(g.insref, 77u);
    qdf_message_destroy(m);
    qdf_destroy(h);
}

}  // namespace
