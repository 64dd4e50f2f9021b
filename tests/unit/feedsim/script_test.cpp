// script_test.cpp - the simulator as a client sees it: the script format and its
// directives, logon checks, the generated session, fault options, the request log, and the
// record of what was sent.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "libqdf/qdf.h"
#include "libqdf/wire.h"
#include "tools/feedsim/script.h"
#include "tools/feedsim/server.h"
#include "tools/feedsim/text_escape.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string temp_path(const std::string& name) {
    static int counter = 0;
    return (std::filesystem::temp_directory_path() /
            ("feedsim_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + std::to_string(counter++) + "_" + name))
        .string();
}

class RunningServer {
  public:
    explicit RunningServer(feedsim::Options o, const std::string& script = "") {
        o.listen_port = 0;
        if (!script.empty()) {
            script_path_ = temp_path("script.txt");
            std::ofstream(script_path_) << script;
            o.script_path = script_path_;
        }
        log_path_ = temp_path("requests.log");
        o.log_path = log_path_;
        server_ = std::make_unique<feedsim::Server>(o);
        std::string error;
        started_ = server_->start(&error);
        EXPECT_TRUE(started_) << error;
        if (started_) thread_ = std::thread([this] { server_->run(); });
    }
    ~RunningServer() {
        stop();
        if (!script_path_.empty()) std::filesystem::remove(script_path_);
        std::filesystem::remove(log_path_);
    }
    void stop() {
        server_->stop();
        if (thread_.joinable()) thread_.join();
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(server_->port()); }
    std::vector<std::string> log_lines() const {
        std::ifstream in(log_path_);
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }

  private:
    std::string script_path_, log_path_;
    std::unique_ptr<feedsim::Server> server_;
    std::thread thread_;
    bool started_ = false;
};

struct Msg {
    int type;
    uint64_t insref;
    std::vector<std::pair<uint32_t, std::string>> fields;
};

class Client {
  public:
    Client() : h_(qdf_create()), m_(qdf_message_create()) {}
    ~Client() {
        qdf_message_destroy(m_);
        qdf_destroy(h_);
    }
    bool connect(const std::string& address) { return qdf_connect(h_, address.c_str()) == 1; }
    void logon(const char* user = "u", const char* password = "p") {
        qdf_message_add(m_, 0, FEED_LOGON);
        qdf_message_add_string(m_, TAG_USERNAME, user);
        qdf_message_add_string(m_, TAG_PASSWORD, password);
        qdf_message_add_string(m_, TAG_CLIENT_ID, "test client");
        EXPECT_EQ(qdf_message_send(h_, m_), 1);
        qdf_message_reset(m_);
    }
    void request(const char* classes, const char* insrefs) {
        qdf_message_add(m_, 0, FEED_REQUEST);
        qdf_message_add_numeric(m_, REQUEST_PARAM_51, "3");
        qdf_message_add_uint(m_, REQUEST_PARAM_49, 0, 0);
        qdf_message_add_date2(m_, TAG_START_DATE, 2024, 5, 6);
        qdf_message_add_time2(m_, TAG_START_TIME, 7, 8, 9, 0);
        qdf_message_add_list(m_, TAG_REQUEST_CLASSES, classes);
        if (std::string(insrefs) == "*")
            qdf_message_add_string(m_, TAG_INSREFS, insrefs);
        else
            qdf_message_add_list(m_, TAG_INSREFS, insrefs);
        EXPECT_EQ(qdf_message_send(h_, m_), 1);
        qdf_message_reset(m_);
    }
    // Reads until `want` messages, the end of the connection, or `seconds`.
    std::vector<Msg> read(size_t want, double seconds, int* last_result = nullptr) {
        std::vector<Msg> got;
        auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
        int rc = 0;
        while (got.size() < want && Clock::now() < end) {
            rc = qdf_consume(h_, 1);
            if (rc == -1) break;
            int type;
            uint64_t insref;
            while (rc == 1 && qdf_get_next_message(h_, &type, nullptr, &insref) == 1) {
                Msg m{type, insref, {}};
                uint32_t tag;
                const char* value;
                while (qdf_get_next_field(h_, &tag, &value) == 1)
                    m.fields.emplace_back(tag, value ? value : "<null>");
                got.push_back(std::move(m));
            }
        }
        if (last_result) *last_result = rc;
        return got;
    }
    int32_t error() {
        int32_t e = 0;
        qdf_get_property(h_, PROP_ERROR, &e);
        return e;
    }
    void disconnect() { qdf_disconnect(h_); }

  private:
    qdf_handle* h_;
    qdf_message* m_;
};

TEST(ScriptFormat, BadLinesAreReportedWithTheirNumber) {
    std::vector<feedsim::ScriptStep> steps;
    std::string error;
    EXPECT_FALSE(feedsim::parse_script("5 1 7=1\n\n@nope\n", &steps, &error));
    EXPECT_EQ(error, "line 3: unknown directive @nope");
    EXPECT_FALSE(feedsim::parse_script("FEED_QUOT 1\n", &steps, &error));
    EXPECT_NE(error.find("line 1: unknown message type"), std::string::npos);
    EXPECT_FALSE(feedsim::parse_script("5\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("5 x\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("5 1 x=1\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("5 1 7=a\\qb\n", &steps, &error));
    EXPECT_NE(error.find("unknown escape"), std::string::npos);
    EXPECT_FALSE(feedsim::parse_script("5 1 7=a\\\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("@sleep\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("@sleep -1\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("@idle now\n", &steps, &error));
    EXPECT_FALSE(feedsim::parse_script("@logoff\n", &steps, &error));

    ASSERT_TRUE(feedsim::parse_script(
        "# only a comment\r\n  FEED_TRADE 18446744073709551615 12= 13\r\n@sleep 5\n", &steps,
        &error))
        << error;
    ASSERT_EQ(steps.size(), 2u);
    EXPECT_EQ(steps[0].line, 2);
    qdf_wire::FrameView f;
    size_t n = 0;
    ASSERT_EQ(qdf_wire::decode_frame(steps[0].frame.data(), steps[0].frame.size(), &f, &n),
              qdf_wire::kComplete);
    EXPECT_EQ(f.type, FEED_TRADE);
    EXPECT_EQ(f.insref, UINT64_MAX);
    EXPECT_EQ(f.field_count, 2);
    EXPECT_EQ(steps[1].kind, feedsim::ScriptStep::Sleep);
    EXPECT_EQ(steps[1].argument, 5);
}

TEST(ScriptFormat, EscapesGoBothWays) {
    std::string raw = std::string("a b\tc\nd\\e\r") + '\x01';
    std::string escaped;
    feedsim::escape_append(&escaped, raw.data(), raw.size());
    EXPECT_EQ(escaped, "a\\sb\\tc\\nd\\\\e\\r\\x01");
    std::string back, error;
    ASSERT_TRUE(feedsim::unescape(escaped.data(), escaped.size(), &back, &error));
    EXPECT_EQ(back, raw);
    EXPECT_FALSE(feedsim::unescape("\\x4", 3, &back, &error));
}

TEST(ScriptDirectives, RunAcrossConnectionsInOrder) {
    RunningServer server(feedsim::Options(),
                         "5 1 7=1\n"
                         "@expect-request\n"
                         "5 2 7=2\n"
                         "@disconnect\n"
                         "5 3 7=3\n"
                         "@logoff 503\n"
                         "@no-logon-reply\n"
                         "5 4 7=4\n"
                         "@sleep 600\n"
                         "5 5 7=5\n"
                         "@idle\n"
                         "5 6 7=6\n");
    // Connection 1: message 1, then nothing until the request; message 2, then the cut.
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon();
        auto got = c.read(3, 5);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0].type, FEED_LOGON_REPLY);
        EXPECT_EQ(got[1].type, FEED_TEMPLATES_VERSION);
        EXPECT_EQ(got[2].insref, 1u);
        EXPECT_TRUE(c.read(1, 1.2).empty());  // waits for the request
        c.request("1 2", "*");
        int rc = 0;
        got = c.read(10, 5, &rc);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].insref, 2u);
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(c.error(), QDF_ERR_CLOSED);
    }
    // Connection 2: message 3 and a log-off with the script's code.
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon();
        int rc = 0;
        auto got = c.read(10, 5, &rc);
        ASSERT_EQ(got.size(), 4u);
        EXPECT_EQ(got[2].insref, 3u);
        EXPECT_EQ(got[3].type, FEED_LOGOFF);
        EXPECT_EQ(got[3].fields.at(0), std::make_pair(70u, std::string("503")));
        EXPECT_EQ(rc, -1);
    }
    // Connection 3: the logon is not answered at all.
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon();
        EXPECT_TRUE(c.read(1, 1.5).empty());
        c.disconnect();
    }
    // Connection 4: answered again; message 4, a pause, message 5, then silence.
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon();
        auto got = c.read(3, 5);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[2].insref, 4u);
        auto start = Clock::now();
        got = c.read(1, 5);
        auto waited =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].insref, 5u);
        EXPECT_GE(waited, 400);
        EXPECT_TRUE(c.read(1, 1.2).empty());  // @idle
    }
    // Connection 5: after @idle the script goes on with the next logon; then it has ended
    // and the connection stays open and quiet.
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon();
        auto got = c.read(3, 5);
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[2].insref, 6u);
        int rc = 0;
        EXPECT_TRUE(c.read(1, 1.2, &rc).empty());
        EXPECT_EQ(rc, 0);
    }
    server.stop();
    auto lines = server.log_lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0],
              "client=1 FEED_LOGON insref=0 user=u client_id=test\\sclient result=accepted");
    EXPECT_EQ(lines[1],
              "client=1 FEED_REQUEST insref=0 param51=3 param49=0 start_date=2024-05-06 "
              "start_time=07:08:09 "
              "classes=1\\s2 classes_form=list insrefs=* insrefs_form=string");
    EXPECT_NE(lines[3].find("result=withheld"), std::string::npos);
    EXPECT_NE(lines[5].find("client=5 FEED_LOGON"), std::string::npos);
}

TEST(SimulatorLogon, WrongCredentialsGetLogoff401) {
    feedsim::Options o;
    o.check_credentials = true;
    o.user = "alice";
    o.password = "secret";
    RunningServer server(o);
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon("alice", "wrong");
        int rc = 0;
        auto got = c.read(5, 5, &rc);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].type, FEED_LOGOFF);
        EXPECT_EQ(got[0].fields.at(0).second, "401");
        EXPECT_EQ(rc, -1);
    }
    {
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon("alice", "secret");
        auto got = c.read(2, 5);
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0].type, FEED_LOGON_REPLY);
        EXPECT_EQ(got[0].fields.at(0), std::make_pair(116u, std::string("feedsim")));
        EXPECT_EQ(got[1].insref, 1u);  // template version
    }
    server.stop();
    auto lines = server.log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("user=alice"), std::string::npos);
    EXPECT_NE(lines[0].find("result=rejected"), std::string::npos);
    EXPECT_EQ(lines[0].find("secret"), std::string::npos);  // passwords never reach the log
    EXPECT_EQ(lines[0].find("wrong"), std::string::npos);
    EXPECT_NE(lines[1].find("result=accepted"), std::string::npos);
}

TEST(SimulatorSession, SnapshotThenRequestFinishedThenLiveAtTheRate) {
    feedsim::Options o;
    o.instruments = 50;
    o.rate = 500;
    o.send_server_name = false;
    o.template_version = 42;
    RunningServer server(o);
    Client c;
    ASSERT_TRUE(c.connect(server.address()));
    c.logon();
    auto got = c.read(2, 5);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(got[0].fields.empty());  // no server name: the client may catch up
    EXPECT_EQ(got[1].insref, 42u);
    c.request("1 3", "1001 1002");
    auto start = Clock::now();
    got = c.read(100000, 2.0);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t finished = got.size();
    for (size_t i = 0; i < got.size(); ++i)
        if (got[i].type == FEED_REQUEST_FINISHED) finished = i;
    ASSERT_LT(finished, got.size());
    EXPECT_EQ(got[finished].fields.at(0), std::make_pair(50u, std::string("100")));
    // The snapshot: per instrument a quote, a book clear and the book's levels.
    size_t quotes = 0, clears = 0;
    for (size_t i = 0; i < finished; ++i) {
        EXPECT_TRUE(got[i].insref == 1001 || got[i].insref == 1002);
        quotes += got[i].type == FEED_QUOTE;
        clears += got[i].type == FEED_BOOK_CLEAR;
    }
    EXPECT_EQ(quotes, 2u);
    EXPECT_EQ(clears, 2u);
    size_t live = got.size() - finished - 1;
    EXPECT_GT(live, 500 * seconds * 0.6);
    EXPECT_LT(live, 500 * seconds * 1.4 + 50);
}

TEST(SimulatorFaults, DropEveryAndDurationEnd) {
    feedsim::Options o;
    o.instruments = 10;
    o.rate = 0;
    o.drop_every = 300;
    {
        RunningServer server(o);
        Client c;
        ASSERT_TRUE(c.connect(server.address()));
        c.logon();
        c.request("1", "*");
        int rc = 0;
        auto got = c.read(100000, 5, &rc);
        EXPECT_EQ(rc, -1);
        size_t finished = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (got[i].type == FEED_REQUEST_FINISHED) finished = i;
        EXPECT_EQ(got.size() - finished - 1, 300u);
    }
    o.drop_every = 0;
    o.rate = 100;
    o.duration = 1;
    RunningServer server(o);
    Client c;
    ASSERT_TRUE(c.connect(server.address()));
    c.logon();
    c.request("1", "*");
    int rc = 0;
    auto got = c.read(100000, 6, &rc);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().type, FEED_LOGOFF);
    EXPECT_EQ(got.back().fields.at(0).second, "503");
    EXPECT_EQ(rc, -1);
}

// The record is what the client received after the logon reply, message for message,
// in a form that the script parser reads back; the server's log-off ends it.
TEST(SimulatorRecord, HoldsWhatTheClientReceivedAndParsesAsAScript) {
    feedsim::Options o;
    o.instruments = 20;
    o.rate = 2000;
    std::string record_path = temp_path("record.txt");
    o.record_path = record_path;
    RunningServer server(o);
    Client c;
    ASSERT_TRUE(c.connect(server.address()));
    c.logon();
    ASSERT_EQ(c.read(2, 5).size(), 2u);  // logon reply and template version: not recorded
    c.request("1 2 3 4 0", "*");
    std::vector<Msg> got = c.read(600, 5);
    ASSERT_GE(got.size(), 600u);
    server.stop();
    int rc = 0;
    for (Msg& m : c.read(1000000, 5, &rc))
        got.push_back(std::move(m));
    EXPECT_EQ(rc, -1);
    ASSERT_EQ(got.back().type, FEED_LOGOFF);
    got.pop_back();

    std::ifstream in(record_path);
    std::stringstream text;
    text << in.rdbuf();
    std::filesystem::remove(record_path);
    EXPECT_EQ(text.str().rfind("# client=1\n", 0), 0u);
    std::vector<feedsim::ScriptStep> steps;
    std::string error;
    ASSERT_TRUE(feedsim::parse_script(text.str(), &steps, &error)) << error;
    ASSERT_EQ(steps.size(), got.size() + 1);
    EXPECT_EQ(steps.back().kind, feedsim::ScriptStep::Logoff);
    EXPECT_EQ(steps.back().argument, 503);
    bool blank_seen = false;
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(steps[i].kind, feedsim::ScriptStep::Message) << "step " << i;
        qdf_wire::FrameView frame;
        size_t bytes = 0;
        ASSERT_EQ(
            qdf_wire::decode_frame(steps[i].frame.data(), steps[i].frame.size(), &frame, &bytes),
            qdf_wire::kComplete);
        Msg recorded{frame.type, frame.insref, {}};
        qdf_wire::FieldCursor cursor;
        cursor.start(frame);
        uint32_t tag, length;
        uint8_t kind;
        const char* value;
        while (cursor.step(&tag, &kind, &value, &length))
            recorded.fields.emplace_back(tag, value ? std::string(value, length) : "<null>");
        ASSERT_EQ(recorded.type, got[i].type) << "message " << i;
        EXPECT_EQ(recorded.insref, got[i].insref) << "message " << i;
        EXPECT_EQ(recorded.fields, got[i].fields) << "message " << i;
        for (const auto& field : got[i].fields)
            blank_seen = blank_seen || field.second.find(' ') != std::string::npos;
    }
    // Names in basic data carry blanks, which the script format escapes.
    EXPECT_TRUE(blank_seen);
}

}  // namespace
