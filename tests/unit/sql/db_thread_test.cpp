// The database thread, driven for real: items go in through addQueueItem, a thread drains
// the queue into the recording module, and the exact statement sequence is checked. Both
// write orders with their fallbacks, transaction grouping (the limit and the 2-second
// rule), reruns after -3 from a statement and from the COMMIT, lost connections,
// throttling placeholders under a queue delay, the news timeout, the thread's end, and the
// dispatch of the kinds written here.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sql_test_util.h"
#include "zel/sql/db_thread.h"
#include "zel/sql/execute.h"
#include "zel/sql/status_rows.h"
#include "zel/stats/stats_block.h"

namespace {

using sqltest::Field;
using sqltest::LogRecorder;
using sqltest::make_fields;
using sqltest::make_item;
using sqltest::ManualClock;
using sqltest::set_pipeline;
using sqltest::set_transactions;
using sqltest::SqlTest;

const char* kDefinitions = R"(<definitions version="4">
  <message mref="1" table="trades" insertfirst="y">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="7" column="price" type="decimal"/>
    <field tag="120" column="tradeid" type="int" key="1"/>
  </message>
  <message mref="2" table="quotes" insertfirst="n">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="5" column="bid" type="decimal"/>
    <field tag="6" column="ask" type="decimal"/>
  </message>
  <message mref="30" table="status">
    <field tag="insref" column="insref" type="bigint"/>
  </message>
  <message mref="36,245,9,7,253" table="unused">
    <field tag="insref" column="insref" type="bigint"/>
  </message>
  <message mref="38" table="orders" insertfirst="y">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="695" column="orderid" type="bigint" key="1"/>
    <field tag="5" column="price" type="decimal"/>
  </message>
  <message mref="4" table="history" insertfirst="y">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="hdate" type="date" key="1"/>
    <field tag="41" column="close" type="decimal"/>
  </message>
  <message mref="252" table="adj" insertfirst="y">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="hdate" type="date" key="1"/>
    <field tag="4" column="htime" type="time"/>
    <field tag="41" column="close" type="decimal"/>
  </message>
  <message mref="11" table="ca">
    <field tag="insref" column="insref" type="bigint" key="1"/>
    <field tag="3" column="exdate" type="date" key="1"/>
    <field tag="97" column="seq" type="int" key="1"/>
    <field tag="99" column="catype" type="int"/>
    <field tag="103" column="factor" type="decimal"/>
  </message>
  <message mref="251" table="book">
    <field tag="insref" column="insref" type="bigint"/>
  </message>
</definitions>)";

class DbThreadTest : public SqlTest, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        SqlTest::SetUp();
        set_pipeline(GetParam());
        define(kDefinitions);
        for (int i = 0; i < kDbWorkerCount; ++i)
            worker(i + 1).begin_transaction = "BEGIN";
        reset_status_row_caches();
    }
    void TearDown() override {
        if (thread_.joinable()) stop();
        for (QueueItem* i : items_)
            freeQueueItem(i);
        set_clock_source(nullptr);
        SqlTest::TearDown();
    }

    void start(int n) {
        number_ = n;
        running.store(1);
        thread_ = std::thread([n] { database_thread_main(g_workers[n - 1]); });
    }
    void stop() {
        running.store(0);
        g_queues[number_ - 1].signal.release();
        thread_.join();
    }
    static bool wait_until(const std::function<bool()>& condition) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < until) {
            if (condition()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }
    // Every queued item written and counted off.
    static bool drained(int n) {
        UpdateQueue& q = g_queues[n - 1];
        MutexLock hold(q.lock);
        return q.head == nullptr && stat_read(q.stats->queued) == 0;
    }
    void run_until_drained(int n) {
        start(n);
        ASSERT_TRUE(wait_until([n] { return drained(n); }));
        stop();
    }

    static void add(uint8_t kind, uint64_t insref, uint32_t flags,
                    std::initializer_list<Field> fields, const std::string& key = "") {
        UpdateTemplate t;
        t.kind = kind;
        t.insref = insref;
        t.flags = flags;
        t.key = key.empty() ? std::to_string(insref) + ":" + std::to_string(kind) : key;
        addQueueItem(make_fields(fields), t);
    }
    // Trades 1..n (tradeid i, price i).
    static void add_trades(int n) {
        for (int i = 1; i <= n; ++i)
            add(1, 7, 0, {{7, std::to_string(i)}, {120, std::to_string(i)}});
    }
    static std::string trade(int i) {
        return "INSERT INTO trades (insref,price,tradeid) VALUES (7," + std::to_string(i) + "," +
               std::to_string(i) + ")";
    }
    static void append_trades(std::vector<std::string>& out, int from, int to) {
        for (int i = from; i <= to; ++i)
            out.push_back(trade(i));
    }
    QueueItem* item(uint8_t kind, uint64_t insref, std::initializer_list<Field> fields,
                    uint32_t flags = 0) {
        items_.push_back(make_item(kind, insref, fields, flags));
        return items_.back();
    }

    static FakeResult code(int32_t value) {
        FakeResult r;
        r.code = value;
        return r;
    }

    std::thread thread_;
    int number_ = 0;
    std::vector<QueueItem*> items_;
    LogRecorder log_;
};

// ---- Write orders ------------------------------------------------------------------------

TEST_P(DbThreadTest, UpdateFirstFallsBackToInsertWhenNoRowMatched) {
    fake_on_statement("UPDATE quotes", code(0), 1);
    add(2, 1, ITEM_KEYED, {{5, "10"}});
    add(2, 2, ITEM_KEYED, {{5, "11"}, {6, "12"}});
    run_until_drained(1);
    // Batched, the INSERT is built once the UPDATE's answer is known, and goes out in the
    // batch after it: behind the other instrument's UPDATE.
    if (GetParam()) {
        EXPECT_EQ((std::vector<std::string>{
                      "UPDATE quotes SET bid=10 WHERE insref=1 ",
                      "UPDATE quotes SET bid=11,ask=12 WHERE insref=2 ",
                      "INSERT INTO quotes (insref,bid) VALUES (1,10)",
                  }),
                  fake_statements(1));
        EXPECT_EQ(3u, fake_count("mod_executebatch", 1));
        EXPECT_EQ(0u, fake_count("mod_executesql", 1));
    } else {
        EXPECT_EQ((std::vector<std::string>{
                      "UPDATE quotes SET bid=10 WHERE insref=1 ",
                      "INSERT INTO quotes (insref,bid) VALUES (1,10)",
                      "UPDATE quotes SET bid=11,ask=12 WHERE insref=2 ",
                  }),
                  fake_statements(1));
        EXPECT_EQ(0u, fake_count("mod_executebatch", 1));
    }
    EXPECT_EQ(2u, stats(1).updated);  // the try-update that found nothing is not counted
    EXPECT_EQ(0u, stats(1).failed);
}

TEST_P(DbThreadTest, InsertFirstFallsBackToUpdateWhenTheRowExists) {
    fake_on_statement("INSERT INTO trades", code(ZEL_RESULT_FAILED), 2);
    fake_on_statement("UPDATE trades SET price=2", code(0), 1);
    add_trades(3);
    add(1, 7, ITEM_UPDATE_FIRST, {{7, "4"}, {120, "4"}});
    run_until_drained(2);
    if (GetParam()) {
        // The fallbacks are built from the answers of the first batch and go in the next;
        // trade 4's row is another than those of trades 1 to 3, so it shares their batch.
        EXPECT_EQ((std::vector<std::string>{
                      trade(1),
                      trade(2),
                      trade(3),
                      "UPDATE trades SET price=4 WHERE insref=7 AND tradeid=4 ",
                      "UPDATE trades SET price=1 WHERE insref=7 AND tradeid=1 ",
                      "UPDATE trades SET price=2 WHERE insref=7 AND tradeid=2 ",
                  }),
                  fake_statements(2));
    } else {
        EXPECT_EQ((std::vector<std::string>{
                      trade(1),
                      "UPDATE trades SET price=1 WHERE insref=7 AND tradeid=1 ",
                      trade(2),
                      "UPDATE trades SET price=2 WHERE insref=7 AND tradeid=2 ",
                      trade(3),
                      "UPDATE trades SET price=4 WHERE insref=7 AND tradeid=4 ",
                  }),
                  fake_statements(2));
    }
    // try-insert failures are quiet; the fallback that matched nothing is a failure.
    EXPECT_EQ(3u, stats(2).updated);
    EXPECT_EQ(1u, stats(2).failed);
    EXPECT_EQ(1u, log_.count("SQL Error:'UPDATE trades SET price=2"));
}

// ---- Transactions --------------------------------------------------------------------------

TEST_P(DbThreadTest, WithoutTransactionsNothingOpensOrCommits) {
    for (int t : {0, 1}) {
        set_transactions(t);
        fake_clear_calls();
        add_trades(3);
        run_until_drained(2);
        std::vector<std::string> expected;
        append_trades(expected, 1, 3);
        EXPECT_EQ(expected, fake_statements(2)) << "transactions " << t;
    }
}

TEST_P(DbThreadTest, TransactionHoldsAtMostTheLimit) {
    set_transactions(3);
    add_trades(7);
    run_until_drained(2);
    std::vector<std::string> expected{"BEGIN"};
    append_trades(expected, 1, 3);
    expected.insert(expected.end(), {"COMMIT", "BEGIN"});
    append_trades(expected, 4, 6);
    expected.insert(expected.end(), {"COMMIT", "BEGIN"});
    append_trades(expected, 7, 7);
    expected.push_back("COMMIT");
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(0u, worker(2).transaction.items());
}

// A clock that moves one second per statement the module has run.
int64_t statement_clock() {
    return 1700000000 +
           static_cast<int64_t>(fake_count("mod_executesql") + fake_count("mod_executebatch"));
}

TEST_P(DbThreadTest, ItemTakenMoreThanTwoSecondsLaterStartsANewTransaction) {
    set_clock_source(&statement_clock);
    set_transactions(100);
    add_trades(4);
    run_until_drained(2);
    // Taken at +0 and +2 (joins), +3 and +6 (each more than 2 s after the transaction began).
    std::vector<std::string> expected{"BEGIN",  trade(1), trade(2), "COMMIT", "BEGIN",
                                      trade(3), "COMMIT", "BEGIN",  trade(4), "COMMIT"};
    // Batched, no statement is answered while the items are taken: all four are taken at +1,
    // right after the BEGIN.
    if (GetParam()) expected = {"BEGIN", trade(1), trade(2), trade(3), trade(4), "COMMIT"};
    EXPECT_EQ(expected, fake_statements(2));
}

TEST_P(DbThreadTest, DeadlockInTheMiddleRerunsTheWholeBatchInOrder) {
    set_transactions(100);
    fake_on_statement(trade(40), code(ZEL_RESULT_RERUN), 1, FakeMatch::Exact);
    add_trades(40);
    run_until_drained(2);
    std::vector<std::string> expected{"BEGIN"};
    append_trades(expected, 1, 40);
    expected.insert(expected.end(), {"ROLLBACK", "BEGIN"});
    append_trades(expected, 1, 40);
    expected.push_back("COMMIT");
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 40 queue items", LOG_LEVEL_PROBLEM));
    EXPECT_EQ(1u, stats(2).failed);
    EXPECT_EQ(0u, stats(2).queued);
}

TEST_P(DbThreadTest, DeadlockPartWayRerunsTheItemsTakenSoFarThenGoesOn) {
    set_transactions(100);
    fake_on_statement(trade(20), code(ZEL_RESULT_RERUN), 1, FakeMatch::Exact);
    add_trades(40);
    run_until_drained(2);
    std::vector<std::string> expected{"BEGIN"};
    append_trades(expected, 1, 20);
    expected.insert(expected.end(), {"ROLLBACK", "BEGIN"});
    append_trades(expected, 1, 40);
    expected.push_back("COMMIT");
    EXPECT_EQ(expected, fake_statements(2));
    // Batched, all 40 items were taken before the batch went out, and all 40 go back.
    EXPECT_EQ(1u, log_.count(GetParam() ? "Deadlocked so will rerun 40 queue items"
                                        : "Deadlocked so will rerun 20 queue items"));
}

TEST_P(DbThreadTest, CommitRolledBackByTheServerRerunsItsItems) {
    set_transactions(100);
    fake_on_statement("COMMIT", code(ZEL_RESULT_RERUN), 1, FakeMatch::Exact);
    add_trades(5);
    run_until_drained(2);
    std::vector<std::string> expected{"BEGIN"};
    append_trades(expected, 1, 5);
    expected.insert(expected.end(), {"COMMIT", "BEGIN"});
    append_trades(expected, 1, 5);
    expected.push_back("COMMIT");
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 5 queue items"));
    EXPECT_EQ(0u, stats(2).queued);
}

TEST_P(DbThreadTest, FullTransactionWhoseCommitIsRolledBackIsRerunWithTheNextItem) {
    set_transactions(2);
    fake_on_statement("COMMIT", code(ZEL_RESULT_RERUN), 1, FakeMatch::Exact);
    add_trades(3);
    run_until_drained(2);
    std::vector<std::string> expected{"BEGIN",  trade(1), trade(2), "COMMIT", "BEGIN", trade(1),
                                      trade(2), "COMMIT", "BEGIN",  trade(3), "COMMIT"};
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 3 queue items"));
}

// ---- Reruns that do not end -----------------------------------------------------------------

// Positions of the statements that contain `part`.
std::vector<size_t> positions(const std::vector<std::string>& statements, const std::string& part) {
    std::vector<size_t> at;
    for (size_t i = 0; i < statements.size(); ++i)
        if (statements[i].find(part) != std::string::npos) at.push_back(i);
    return at;
}

// A statement that always asks for a rerun: after three reruns the batch is written item
// by item without a transaction, the failing item is given up and named, the rest lands,
// and transactions resume.
TEST_P(DbThreadTest, BatchThatKeepsFailingIsWrittenItemByItem) {
    set_transactions(100);
    fake_on_statement(trade(3), code(ZEL_RESULT_RERUN), -1, FakeMatch::Exact);
    add_trades(3);
    start(2);
    ASSERT_TRUE(wait_until([] { return drained(2); }));
    add_trades(2);  // trades 1 and 2 again, as new items behind the isolated batch
    ASSERT_TRUE(wait_until([] { return drained(2); }));
    stop();

    std::vector<std::string> expected;
    for (int run = 0; run < 4; ++run) {
        expected.push_back("BEGIN");
        append_trades(expected, 1, 3);
        expected.push_back("ROLLBACK");
    }
    append_trades(expected, 1, 3);  // on their own, no BEGIN, no COMMIT
    expected.push_back("BEGIN");
    append_trades(expected, 1, 2);
    expected.push_back("COMMIT");
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(3u, log_.count("Deadlocked so will rerun 3 queue items"));
    EXPECT_EQ(1u, log_.count("Queue 2: 3 queue items failed 4 times in a row"));
    EXPECT_EQ(1u, log_.count("Queue 2: item of kind 1 for instrument 7 failed again when written "
                             "on its own and is dropped; failing statement: " +
                             trade(3)));
    EXPECT_EQ(5u, stats(2).failed);  // four times in the transaction, once on its own
    EXPECT_EQ(0u, stats(2).queued);
    EXPECT_EQ(0u, worker(2).reruns);
}

// The same without transactions: the pass is the batch, and an item that fails for good
// no longer holds up the queue.
TEST_P(DbThreadTest, WithoutTransactionsAFailingItemIsGivenUpAfterThreeReruns) {
    fake_on_statement(trade(2), code(ZEL_RESULT_RERUN), -1, FakeMatch::Exact);
    add_trades(3);
    run_until_drained(2);
    std::vector<std::string> statements = fake_statements(2);
    EXPECT_EQ(5u, positions(statements, trade(2)).size());
    EXPECT_EQ(trade(3), statements.back());
    EXPECT_EQ(1u, log_.count("failed again when written on its own and is dropped"));
    EXPECT_EQ(0u, stats(2).queued);
}

// A lost connection on a per-queue status row inside a transaction: the trades taken
// before it in the same transaction are written again, and so are the status rows.
TEST_P(DbThreadTest, LostConnectionOnAStatusRowRerunsTheTradesBeforeIt) {
    set_transactions(100);
    // The loaded template version's cache lives in the statistics block: kept for the
    // tests after this one.
    const uint64_t loaded_version = g_stats->templates_version_loaded;
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement("WHERE name = 'Queue 1'", lost, 1);
    add_trades(2);
    add(30, 0, 0, {});
    run_until_drained(2);
    std::vector<std::string> statements = fake_statements(2);
    EXPECT_EQ(2u, positions(statements, trade(1)).size());
    EXPECT_EQ(2u, positions(statements, trade(2)).size());
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 3 queue items"));
    // Rows written in the lost transaction are written again in the new one.
    EXPECT_EQ(2u, positions(statements, "WHERE name = 'Transactions'").size());
    ASSERT_FALSE(statements.empty());
    EXPECT_EQ("COMMIT", statements.back());
    // Nothing ran outside a transaction after the loss.
    std::vector<size_t> begins = positions(statements, "BEGIN");
    ASSERT_EQ(2u, begins.size());
    EXPECT_EQ(trade(1), statements.at(begins[1] + 1));
    g_stats->templates_version_loaded = loaded_version;
}

// ---- Corporate actions and their rows --------------------------------------------------------

// The action's rescaling and its kind-11 row are committed together or not at all.
TEST_P(DbThreadTest, CorporateActionSharesItsTransactionWithItsRow) {
    auto add_action_pair = [](uint64_t insref, const char* factor) {
        // The feed queues the action, then its row.
        add(253, insref, 0, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, factor}});
        add(11, insref, 0, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, factor}});
    };
    set_transactions(3);
    add(11, 1, 0, {{3, "2024-01-01"}, {97, "1"}, {99, "1"}, {103, "2"}});
    add(11, 2, 0, {{3, "2024-01-01"}, {97, "1"}, {99, "1"}, {103, "2"}});
    add_action_pair(3, "4");
    add(11, 4, 0, {{3, "2024-01-01"}, {97, "1"}, {99, "1"}, {103, "2"}});
    run_until_drained(3);
    std::vector<std::string> s = fake_statements(3);
    std::vector<size_t> query = positions(s, "SELECT factor,catype FROM ca WHERE insref=3");
    std::vector<size_t> rescale = positions(s, "UPDATE adj SET");
    ASSERT_EQ(1u, query.size());
    ASSERT_EQ(1u, rescale.size());
    // A transaction of its own starts with the action ...
    ASSERT_GE(query[0], 2u);
    EXPECT_EQ("BEGIN", s[query[0] - 1]);
    EXPECT_EQ("COMMIT", s[query[0] - 2]);
    // ... and its row follows before any COMMIT.
    size_t row = rescale[0] + 1;
    ASSERT_LT(row, s.size());
    EXPECT_NE(std::string::npos, s[row].find("ca")) << s[row];
    EXPECT_NE(std::string::npos, s[row].find("3")) << s[row];
    for (size_t i = query[0]; i <= row; ++i)
        EXPECT_NE("COMMIT", s[i]);
}

// A full transaction does not end between an action and its row either.
TEST_P(DbThreadTest, FullTransactionDoesNotSplitAnActionFromItsRow) {
    auto add_action_pair = [](uint64_t insref, const char* factor) {
        // The feed queues the action, then its row.
        add(253, insref, 0, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, factor}});
        add(11, insref, 0, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, factor}});
    };
    set_transactions(2);
    add(11, 1, 0, {{3, "2024-01-01"}, {97, "1"}, {99, "1"}, {103, "2"}});
    add_action_pair(3, "4");  // the action would be the second of two, its row a third
    add(11, 4, 0, {{3, "2024-01-01"}, {97, "1"}, {99, "1"}, {103, "2"}});
    run_until_drained(3);
    std::vector<std::string> s = fake_statements(3);
    std::vector<size_t> rescale = positions(s, "UPDATE adj SET");
    ASSERT_EQ(1u, rescale.size());
    size_t commit = rescale[0];
    while (commit < s.size() && s[commit] != "COMMIT")
        ++commit;
    EXPECT_GT(commit, rescale[0] + 1) << "the action was committed without its row";
    EXPECT_EQ(3u, positions(s, "COMMIT").size());
}

// Without a transaction a written action is never rerun: a rerun caused by its row must
// not rescale the history a second time.
TEST_P(DbThreadTest, WithoutTransactionsAWrittenActionIsNotRerun) {
    auto add_action_pair = [](uint64_t insref, const char* factor) {
        // The feed queues the action, then its row.
        add(253, insref, 0, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, factor}});
        add(11, insref, 0, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, factor}});
    };
    fake_on_statement("INSERT INTO ca", code(ZEL_RESULT_RERUN), 1);
    fake_on_statement("UPDATE ca", code(ZEL_RESULT_RERUN), 1);
    add_action_pair(3, "4");
    run_until_drained(3);
    std::vector<std::string> s = fake_statements(3);
    EXPECT_EQ(1u, positions(s, "UPDATE adj SET").size());
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 1 queue items"));
    EXPECT_EQ(0u, stats(3).queued);
}

// ---- Lost connections ----------------------------------------------------------------------

TEST_P(DbThreadTest, LostConnectionOnAPlainStatementRepeatsIt) {
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement(trade(1), lost, 1, FakeMatch::Exact);
    fake_fail_reconnects(2);
    add_trades(2);
    run_until_drained(2);
    EXPECT_EQ((std::vector<std::string>{trade(1), trade(1), trade(2)}), fake_statements(2));
    EXPECT_EQ(3, fake_reconnect_attempts(2));
    EXPECT_EQ(2u, stats(2).updated);
    EXPECT_EQ(0u, stats(2).failed);
}

// The server that ends a session before the COMMIT arrives has rolled the transaction back:
// the COMMIT itself is not repeated on the new connection, the batch is.
TEST_P(DbThreadTest, LostConnectionOnCommitRerunsTheBatch) {
    set_transactions(10);
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement("COMMIT", lost, 1, FakeMatch::Exact);
    add_trades(2);
    run_until_drained(2);
    EXPECT_EQ((std::vector<std::string>{"BEGIN", trade(1), trade(2), "COMMIT", "BEGIN", trade(1),
                                        trade(2), "COMMIT"}),
              fake_statements(2));
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 2 queue items"));
    EXPECT_EQ(0u, stats(2).failed);
    EXPECT_FALSE(worker(2).transaction.commit_unknown())
        << "the rerun's COMMIT settled the question";
}

// The statement that opens the transaction heads the items' batch; a connection lost there
// took the statements behind it unrun, and only writing the items again in a new
// transaction stores them (not one of them on its own outside a transaction).
TEST_P(DbThreadTest, LostConnectionOnTheOpeningStatementRerunsTheItems) {
    set_transactions(10);
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement("BEGIN", lost, 1, FakeMatch::Exact);
    add_trades(2);
    run_until_drained(2);
    EXPECT_EQ((std::vector<std::string>{"BEGIN", "BEGIN", trade(1), trade(2), "COMMIT"}),
              fake_statements(2));
    EXPECT_EQ(0u, stats(2).failed);
    EXPECT_EQ(0u, stats(2).queued);
}

TEST_P(DbThreadTest, LostConnectionInsideATransactionRerunsTheBatch) {
    set_transactions(10);
    FakeResult lost;
    lost.lose_connection = true;
    fake_on_statement(trade(2), lost, 1, FakeMatch::Exact);
    add_trades(2);
    run_until_drained(2);
    EXPECT_EQ((std::vector<std::string>{"BEGIN", trade(1), trade(2), "BEGIN", trade(1), trade(2),
                                        "COMMIT"}),
              fake_statements(2));
    EXPECT_EQ(1u, log_.count("Deadlocked so will rerun 2 queue items"));
}

// ---- Throttling and news ---------------------------------------------------------------------

TEST_P(DbThreadTest, QueueDelayWritesAKeyAtMostOncePerDelay) {
    ManualClock clock;
    const int64_t t0 = 1700000000;
    ManualClock::now = t0;
    g_queues[0].delay = 5;
    add(2, 1, ITEM_KEYED, {{5, "1"}});
    start(1);
    ASSERT_TRUE(wait_until([] {
        return fake_statements(1).size() == 1 && stat_read(g_queues[0].stats->queued) == 0;
    }));
    EXPECT_EQ(1u, stats(1).empty_items);  // the placeholder waits for the key

    // Two updates within the delay merge into the placeholder and are not written yet.
    add(2, 1, ITEM_KEYED, {{5, "2"}});
    add(2, 1, ITEM_KEYED, {{6, "3"}});
    EXPECT_EQ(0u, stats(1).empty_items);
    EXPECT_EQ(1u, stats(1).queued);
    EXPECT_EQ(1u, stats(1).deduplicated);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1u, fake_statements(1).size());

    ManualClock::now = t0 + 5;
    g_queues[0].signal.release();
    ASSERT_TRUE(wait_until([] {
        return fake_statements(1).size() == 2 && stat_read(g_queues[0].stats->queued) == 0;
    }));
    EXPECT_EQ("UPDATE quotes SET ask=3,bid=2 WHERE insref=1 ", fake_statements(1)[1]);

    // A placeholder nothing merged into is dropped unwritten when it falls due.
    ManualClock::now = t0 + 10;
    g_queues[0].signal.release();
    ASSERT_TRUE(wait_until([] {
        MutexLock hold(g_queues[0].lock);
        return g_queues[0].head == nullptr;
    }));
    stop();
    EXPECT_EQ(2u, fake_statements(1).size());
    EXPECT_EQ(0u, stats(1).empty_items);
}

TEST_P(DbThreadTest, UnfinishedNewsWaitsWithoutBlockingAndTimesOutAfterAnHour) {
    ManualClock clock;
    const int64_t t0 = 1700000000;
    ManualClock::now = t0;
    g_config.debug = 1;
    g_config.requestorderbooks = 1;  // news travels in queue 2
    add(13, 0, ITEM_KEYED | ITEM_NEWS_MULTIPART, {{48, "N1"}, {3, "2024-05-06"}}, "N1");
    add_trades(1);
    start(2);
    ASSERT_TRUE(wait_until([] {
        return fake_statements(2).size() == 1 && stat_read(g_queues[1].stats->queued) == 1;
    }));
    EXPECT_EQ(trade(1), fake_statements(2)[0]);

    ManualClock::now = t0 + 3600;  // not yet
    g_queues[1].signal.release();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(1u, stats(2).queued);

    ManualClock::now = t0 + 3601;
    g_queues[1].signal.release();
    ASSERT_TRUE(wait_until([] { return drained(2); }));
    stop();
    EXPECT_EQ(1u, fake_statements(2).size());
    EXPECT_EQ(1u, log_.count(
                      "News: no lastblock for 'N1','2024-05-06' in time, kicking it from the queue",
                      LOG_LEVEL_PROBLEM));
}

// ---- Thread end and dispatch -----------------------------------------------------------------

TEST_P(DbThreadTest, ThreadEndsWhenRunningIsClearedAndSaysSo) {
    int before = active_threads.load();
    start(3);
    ASSERT_TRUE(wait_until([before] { return active_threads.load() == before + 1; }));
    stop();
    EXPECT_EQ(before, active_threads.load());
    EXPECT_EQ(1u, log_.count("Database thread 3 ended", LOG_LEVEL_INFO));
}

TEST_P(DbThreadTest, KindsWithoutStatementsAreConsumed) {
    add(36, 1, 0, {{1, "x"}});   // nothing to store
    add(245, 1, 0, {{7, "1"}});  // minute bars: builder not written yet
    add(1, 1, 0, {{7, "1"}}, "");
    add(60, 1, 0, {{7, "1"}});  // no table for this kind (queue 3)
    run_until_drained(2);
    EXPECT_EQ((std::vector<std::string>{"INSERT INTO trades (insref,price) VALUES (1,1)"}),
              fake_statements(2));
    start(3);
    ASSERT_TRUE(wait_until([] { return drained(3); }));
    stop();
    EXPECT_TRUE(fake_statements(3).empty());
}

TEST_P(DbThreadTest, StatusItemWritesTheStatusRows) {
    // The statistics word that shows the loaded version outlives the test before.
    if (g_stats) g_stats->templates_version_loaded = 0;
    add(30, 0, 0, {});
    run_until_drained(2);
    std::vector<std::string> statements = fake_statements(2);
    // Every row but the feed's template version, which is still 0 like its cache.
    ASSERT_EQ(16u, statements.size());
    EXPECT_EQ("UPDATE status SET value = '0' WHERE name = 'Transactions'", statements[0]);
    EXPECT_EQ("UPDATE status SET value = '4' WHERE name = 'Templates Version (Loaded)'",
              statements[2]);
    EXPECT_NE(std::string::npos, statements[15].find("WHERE name = 'Last write'"));
}

TEST_P(DbThreadTest, OrderEntriesAreWrittenInTurn) {
    fake_on_statement("UPDATE orders SET price=3", code(0), 1);
    fake_on_statement("INSERT INTO orders (insref,orderid,price) VALUES (4,4,",
                      code(ZEL_RESULT_FAILED), 1);
    QueueItem* book = item(38, 4, {});
    struct Entry {
        uint64_t id;
        uint32_t flags;
        const char* price;
    };
    QueueItem* last = nullptr;
    for (Entry e : {Entry{1, ITEM_DELETE, "1"}, Entry{2, ITEM_REPLACE, "2"},
                    Entry{3, ITEM_UPDATE_FIRST, "3"}, Entry{4, 0, "4"}}) {
        QueueItem* entry = make_item(38, 4, {{695, std::to_string(e.id)}, {5, e.price}}, e.flags);
        entry->order_id = e.id;
        if (last) {
            last->next = entry;
            entry->prev = last;
        } else {
            book->bid_changes = entry;
        }
        last = entry;
    }
    EXPECT_EQ(0, dispatch_item(worker(4), *book, *find_messagedef(38)));
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM orders WHERE insref=4 AND orderid=1",
                  "DELETE FROM orders WHERE insref=4 AND orderid=2",
                  "INSERT INTO orders (insref,orderid,price) VALUES (4,2,2)",
                  "UPDATE orders SET price=3 WHERE insref=4 AND orderid=3 ",
                  "INSERT INTO orders (insref,orderid,price) VALUES (4,3,3)",
                  "INSERT INTO orders (insref,orderid,price) VALUES (4,4,4)",
                  "UPDATE orders SET price=4 WHERE insref=4 AND orderid=4 ",
              }),
              fake_statements(4));

    // A rerun from any entry ends the item.
    fake_clear_calls();
    fake_on_statement("DELETE FROM orders WHERE insref=4 AND orderid=2", code(ZEL_RESULT_RERUN), 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, dispatch_item(worker(4), *book, *find_messagedef(38)));
    EXPECT_EQ(2u, fake_statements(4).size());
}

TEST_P(DbThreadTest, PriceHistoryGoesThroughTheAdjustedTableFirst) {
    g_config.requestcorporateactions = 1;
    QueueItem* row = item(4, 8, {{3, "2024-01-02"}, {4, "10:00:00"}, {41, "10"}});
    // No later corporate action: the adjusted table gets the row unadjusted.
    EXPECT_EQ(0, dispatch_item(worker(3), *row, *find_messagedef(4)));
    EXPECT_EQ(
        (std::vector<std::string>{
            "SELECT factor,catype FROM ca WHERE insref = 8 AND factor IS NOT NULL AND "
            "exdate>'2024-01-02'",
            "INSERT INTO adj (insref,hdate,htime,close) VALUES (8,'2024-01-02','10:00:00',10)",
            "INSERT INTO history (insref,hdate,close) VALUES (8,'2024-01-02',10)",
        }),
        fake_statements(3));
    EXPECT_EQ(4, row->kind);

    // Unadjusted and already there: anything but one inserted row is followed by the UPDATE.
    fake_clear_calls();
    fake_on_statement("INSERT INTO adj", code(ZEL_RESULT_FAILED), 1);
    EXPECT_EQ(0, dispatch_item(worker(3), *row, *find_messagedef(4)));
    EXPECT_EQ("UPDATE adj SET htime='10:00:00',close=10 WHERE insref=8 AND hdate='2024-01-02' ",
              fake_statements(3).at(2));

    // A later action: the adjusted row is written by its own builder.
    fake_clear_calls();
    FakeResult actions;
    actions.rows = {{"2", "1"}};
    fake_on_statement("SELECT", actions, 1);
    EXPECT_EQ(0, dispatch_item(worker(3), *row, *find_messagedef(4)));
    EXPECT_EQ(
        "INSERT INTO adj (insref,hdate,htime,close) VALUES "
        "(8,'2024-01-02','10:00:00',(10*2.000000))",
        fake_statements(3).at(1));
    EXPECT_EQ(3u, fake_statements(3).size());

    // Deleted: from both tables.
    fake_clear_calls();
    row->flags |= ITEM_DELETE;
    EXPECT_EQ(0, dispatch_item(worker(3), *row, *find_messagedef(4)));
    EXPECT_EQ(
        (std::vector<std::string>{"DELETE FROM adj WHERE insref=8  AND hdate='2024-01-02'",
                                  "DELETE FROM history WHERE insref=8  AND hdate='2024-01-02'"}),
        fake_statements(3));

    // A rerun while writing the adjusted table restores the item's kind.
    fake_clear_calls();
    fake_on_statement("DELETE FROM adj", code(ZEL_RESULT_RERUN), 1);
    EXPECT_EQ(ZEL_RESULT_RERUN, dispatch_item(worker(3), *row, *find_messagedef(4)));
    EXPECT_EQ(4, row->kind);
}

TEST_P(DbThreadTest, RemovalsAndCorporateActionsAreDispatched) {
    g_config.requestorderbooks = 1;
    g_config.requestquotes = 1;
    QueueItem* removal = item(9, 5, {});
    EXPECT_EQ(1, dispatch_item(worker(3), *removal, *find_messagedef(9)));
    // The definitions request quotes, corporate actions, price history, order books and orders.
    EXPECT_EQ((std::vector<std::string>{
                  "DELETE FROM quotes WHERE insref=5", "DELETE FROM ca WHERE insref=5",
                  "DELETE FROM history WHERE insref=5", "DELETE FROM adj WHERE insref=5",
                  "DELETE FROM book WHERE insref=5", "DELETE FROM orders WHERE insref=5"}),
              fake_statements(3));

    fake_clear_calls();
    QueueItem* clear = item(7, 5, {}, ITEM_CLEAR_BOOK);
    EXPECT_EQ(1, dispatch_item(worker(4), *clear, *find_messagedef(7)));
    EXPECT_EQ(std::vector<std::string>{"DELETE FROM book WHERE insref=5"}, fake_statements(4));

    fake_clear_calls();
    g_tabledefs.clear();
    g_tabledefs.create(100);
    define(
        R"(<definitions><message mref="253" table="unused"><field tag="insref" column="insref" type="bigint"/>
        </message><message mref="11" table="ca"><field tag="insref" column="insref" type="bigint"/>
        <field tag="3" column="exdate" type="date"/><field tag="97" column="seq" type="int"/>
        <field tag="99" column="catype" type="int"/><field tag="103" column="factor" type="decimal"/></message>
        <message mref="252" table="adj"><field tag="insref" column="insref" type="bigint"/>
        <field tag="3" column="hdate" type="date"/><field tag="41" column="close" type="decimal"/>
        </message></definitions>)");
    QueueItem* action = item(253, 5, {{3, "2024-02-01"}, {97, "1"}, {99, "1"}, {103, "3"}});
    EXPECT_EQ(1, dispatch_item(worker(3), *action, *find_messagedef(253)));
    EXPECT_EQ((std::vector<std::string>{
                  "SELECT factor,catype FROM ca WHERE insref=5 AND exdate='2024-02-01' AND seq='1'",
                  "UPDATE adj SET close=(close*3.000000) WHERE insref=5 AND hdate<'2024-02-01'",
              }),
              fake_statements(3));
}

// ---- Batches ---------------------------------------------------------------------------------

// Two items of the same row in one pass: the second must not overtake the first item's
// INSERT, which is built only once its UPDATE has matched nothing. With batches the first
// batch is sent before the second item is built, so the order is the one-by-one order.
TEST_P(DbThreadTest, ASecondItemOfTheSameRowWaitsForTheFirstItemsFollowUp) {
    fake_on_statement("UPDATE quotes SET bid=10", code(0), 1);
    add(2, 1, 0, {{5, "10"}}, "a");
    add(2, 3, 0, {{5, "30"}}, "b");
    add(2, 1, 0, {{5, "11"}}, "c");
    run_until_drained(1);
    std::vector<std::string> expected{
        "UPDATE quotes SET bid=10 WHERE insref=1 ",
        "INSERT INTO quotes (insref,bid) VALUES (1,10)",
        "UPDATE quotes SET bid=30 WHERE insref=3 ",
        "UPDATE quotes SET bid=11 WHERE insref=1 ",
    };
    // Batched, instrument 3's UPDATE went out with the first UPDATE, before the INSERT.
    if (GetParam()) std::swap(expected[1], expected[2]);
    EXPECT_EQ(expected, fake_statements(1));
    EXPECT_EQ(3u, stats(1).updated);
}

// Failures inside a batch: each failed statement is reported with its own error text, the
// statements around it are written, and nothing is rerun.
TEST_P(DbThreadTest, FailuresInsideATransactionAreReportedEachWithItsOwnError) {
    set_transactions(100);
    FakeResult rejected = code(ZEL_RESULT_REJECTED);
    rejected.error_text = "invalid byte sequence";
    rejected.error_code = 22021;
    FakeResult unparsable = code(ZEL_RESULT_REJECTED);
    unparsable.error_text = "syntax error";
    unparsable.error_code = 42601;
    fake_on_statement(trade(2), rejected, 1, FakeMatch::Exact);
    fake_on_statement(trade(4), unparsable, 1, FakeMatch::Exact);
    add_trades(5);
    run_until_drained(2);
    std::vector<std::string> expected{"BEGIN"};
    append_trades(expected, 1, 5);
    expected.push_back("COMMIT");
    EXPECT_EQ(expected, fake_statements(2));
    EXPECT_EQ(1u, log_.count("SQL Error:'" + trade(2) + "' DB:invalid byte sequence"));
    EXPECT_EQ(1u, log_.count("Code:22021"));
    EXPECT_EQ(1u, log_.count("SQL Error:'" + trade(4) + "' DB:syntax error"));
    EXPECT_EQ(1u, log_.count("Code:42601"));
    EXPECT_EQ(0u, log_.count("Deadlocked"));
    EXPECT_EQ(2u, stats(2).failed);
    EXPECT_EQ(5u, stats(2).updated);  // three trades, BEGIN and COMMIT
}

// The switch: with pipeline 0, nothing goes through the batch entry point.
TEST_P(DbThreadTest, ThePipelineKeyDecidesWhetherBatchesAreUsed) {
    add_trades(3);
    run_until_drained(2);
    EXPECT_EQ(GetParam() ? 3u : 0u, fake_count("mod_executebatch", 2));
    EXPECT_EQ(GetParam() ? 0u : 3u, fake_count("mod_executesql", 2));
}

// Every case with statements sent in batches and one at a time: apart from the three
// cases above, whose differences are the point of batches, the statements are the same.
INSTANTIATE_TEST_SUITE_P(Pipeline, DbThreadTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param) {
                             return std::string(param.param ? "batched" : "one_by_one");
                         });

}  // namespace
