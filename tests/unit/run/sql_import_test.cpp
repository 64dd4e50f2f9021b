// The dump reader on files written here (plain, gzip, gzip damaged in two ways) and the
// import loop against a module table whose mod_executesql answers from a script.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "zel/modload/module_loader.h"
#include "zel/run/sql_import.h"

namespace {

std::string temp_path(const std::string& name) {
    return ::testing::TempDir() + "zel_import_" + name;
}

std::string write_plain(const std::string& name, const std::string& bytes) {
    std::string path = temp_path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string write_gzip(const std::string& name, const std::string& bytes) {
    std::string path = temp_path(name);
    gzFile file = gzopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    EXPECT_EQ(gzwrite(file, bytes.data(), static_cast<unsigned>(bytes.size())),
              static_cast<int>(bytes.size()));
    gzclose(file);
    return path;
}

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

struct ReadAll {
    std::vector<std::string> statements;
    std::vector<uint64_t> lines;
    DumpReadResult last = DUMP_END;
    std::string damage;
};

ReadAll read_all(const std::string& path) {
    ReadAll all;
    DumpReader reader;
    EXPECT_TRUE(reader.open(path.c_str()));
    // A bound, so that a reader that never ends fails the test instead of hanging it.
    for (int i = 0; i < 100000; ++i) {
        all.last = reader.next();
        if (all.last != DUMP_STATEMENT) break;
        all.statements.emplace_back(reader.text(), reader.length());
        all.lines.push_back(reader.line());
    }
    all.damage = reader.damage();
    return all;
}

// Numbered INSERTs, one per line, with enough text that the compressed form is long.
std::string numbered_inserts(int n) {
    std::string text;
    for (int i = 1; i <= n; ++i)
        text += "INSERT INTO t VALUES (" + std::to_string(i) + ",'row " + std::to_string(i * 7919) +
                " of a dump that goes on')\n";
    return text;
}

TEST(DumpReader, OneLineIsOneStatementWithTheEscapesTranslated) {
    std::string dump =
        "-- a comment line\n"
        "/*!40101 SET NAMES utf8 */;\n"
        "INSERT INTO t VALUES ('O\\'Brien','say \\\"hi\\\"','a\\\\b','50\\%','x\\_y');\r\n"
        "INSERT INTO t VALUES ('tab\\there','nl\\nthere','cr\\rthere','bs\\bthere');\n"
        "INSERT INTO t VALUES ('dropped:\\Z\\0\\q');\n"
        "\n"
        "ab\n"
        "INSERT INTO t VALUES (1); -- a comment after the statement is sent with it\n"
        "INSERT INTO t VALUES ('two',\n"
        "'lines');\n"
        "INSERT INTO t VALUES ('joined \\\n"
        "by a backslash');\n"
        "INSERT INTO t VALUES (2); no semicolon splits; a line\n"
        "INSERT INTO t VALUES ('last line has no line end')";
    ReadAll all = read_all(write_plain("escapes.sql", dump));
    std::vector<std::string> expected = {
        "INSERT INTO t VALUES ('O''Brien','say \"hi\"','a\\b','50%','x_y');",
        "INSERT INTO t VALUES ('tab\there','nl\nthere','cr\rthere','bs\bthere');",
        "INSERT INTO t VALUES ('dropped:');",
        "INSERT INTO t VALUES (1); -- a comment after the statement is sent with it",
        "INSERT INTO t VALUES ('two',",
        "'lines');",
        "INSERT INTO t VALUES ('joined by a backslash');",
        "INSERT INTO t VALUES (2); no semicolon splits; a line",
        "INSERT INTO t VALUES ('last line has no line end')",
    };
    EXPECT_EQ(all.statements, expected);
    EXPECT_EQ(all.last, DUMP_END);
    // Line numbers are those an editor shows: a CR LF ends one line, and a backslash before
    // a line feed joins two lines into a statement that begins on the first.
    EXPECT_EQ(all.lines[0], 3u);
    EXPECT_EQ(all.lines[1], 4u);
    EXPECT_EQ(all.lines[6], 11u);
    EXPECT_EQ(all.lines[7], 13u);
}

TEST(DumpReader, EmptyAndCommentOnlyInputsHaveNoStatements) {
    EXPECT_TRUE(read_all(write_plain("empty.sql", "")).statements.empty());
    EXPECT_TRUE(read_all(write_gzip("empty.sql.gz", "")).statements.empty());
    ReadAll comments = read_all(write_plain(
        "comments.sql", "--\n-- x\n/* y */\r\n\r\n;\n\\restrict K3y\n\\unrestrict K3y\n"));
    EXPECT_TRUE(comments.statements.empty());
    EXPECT_EQ(comments.last, DUMP_END);
}

TEST(DumpReader, AStringSyntaxDeclarationStopsTheTranslation) {
    std::string dump =
        "INSERT INTO t VALUES ('before: O\\'Brien');\n"
        "SET standard_conforming_strings = on;\n"
        "INSERT INTO t VALUES ('TICKER ABC\\ XSTO','a\\\\b','it''s');\n";
    ReadAll all = read_all(write_plain("conforming.sql", dump));
    ASSERT_EQ(all.statements.size(), 3u);
    EXPECT_EQ(all.statements[0], "INSERT INTO t VALUES ('before: O''Brien');");
    EXPECT_EQ(all.statements[2], "INSERT INTO t VALUES ('TICKER ABC\\ XSTO','a\\\\b','it''s');");

    // Only the declaration itself counts, in either spelling; other settings do not.
    ReadAll other = read_all(write_plain(
        "other_set.sql", "SET standard_conforming_strings_x = on;\nSELECT 'a\\\\b';\n"));
    EXPECT_EQ(other.statements[1], "SELECT 'a\\b';");
    ReadAll to = read_all(
        write_plain("set_to.sql", "set Standard_Conforming_Strings TO off;\nSELECT 'a\\\\b';\n"));
    EXPECT_EQ(to.statements[1], "SELECT 'a\\\\b';");
}

TEST(DumpReader, OtherClientCommandsAreSentAsWritten) {
    ReadAll all = read_all(write_plain("client.sql", "\\connect other\\n\nSELECT 1\\n\n"));
    ASSERT_EQ(all.statements.size(), 2u);
    EXPECT_EQ(all.statements[0], "\\connect other\\n");
    EXPECT_EQ(all.statements[1], "SELECT 1\n");
}

TEST(DumpReader, GzipAndPlainGiveTheSameStatements) {
    std::string dump = numbered_inserts(3000);
    ReadAll plain = read_all(write_plain("same.sql", dump));
    ReadAll packed = read_all(write_gzip("same.sql.gz", dump));
    EXPECT_EQ(plain.statements.size(), 3000u);
    EXPECT_EQ(plain.statements, packed.statements);
    EXPECT_EQ(packed.last, DUMP_END);
}

TEST(DumpReader, CutOffGzipGivesTheStatementsBeforeTheCutThenTheDamage) {
    std::string whole = read_bytes(write_gzip("whole.sql.gz", numbered_inserts(20000)));
    ASSERT_GT(whole.size(), 10000u);
    std::string path = write_plain("cut.sql.gz", whole.substr(0, whole.size() / 2));
    ReadAll all = read_all(path);
    EXPECT_EQ(all.last, DUMP_DAMAGED);
    EXPECT_EQ(all.damage, "unexpected end of file");
    ASSERT_GT(all.statements.size(), 1000u);
    ASSERT_LT(all.statements.size(), 20000u);
    // Every statement handed out is whole and in order; the one that was cut is not among
    // them.
    for (size_t i = 0; i < all.statements.size(); ++i) {
        std::string n = std::to_string(i + 1);
        ASSERT_EQ(all.statements[i], "INSERT INTO t VALUES (" + n + ",'row " +
                                         std::to_string((i + 1) * 7919) +
                                         " of a dump that goes on')");
    }
}

TEST(DumpReader, DamagedChecksumOrDataIsReported) {
    // zlib checks the trailer before it hands out the last decompressed piece, so a bad
    // checksum costs that piece: what comes before it arrives whole and in order.
    std::string whole = read_bytes(write_gzip("crc.sql.gz", numbered_inserts(20000)));
    whole[whole.size() - 6] ^= 0x55;  // inside the CRC-32 of the trailer
    ReadAll all = read_all(write_plain("crc_bad.sql.gz", whole));
    EXPECT_EQ(all.last, DUMP_DAMAGED);
    EXPECT_EQ(all.damage, "incorrect data check");
    ASSERT_GT(all.statements.size(), 10000u);
    EXPECT_EQ(all.statements.back().rfind(
                  "INSERT INTO t VALUES (" + std::to_string(all.statements.size()) + ",", 0),
              0u);

    std::string garbled = read_bytes(write_gzip("garbled.sql.gz", numbered_inserts(20000)));
    for (size_t i = garbled.size() / 2; i < garbled.size() / 2 + 64; ++i)
        garbled[i] = static_cast<char>(0xff);
    ReadAll broken = read_all(write_plain("garbled_bad.sql.gz", garbled));
    EXPECT_EQ(broken.last, DUMP_DAMAGED);
    EXPECT_LT(broken.statements.size(), 20000u);
}

TEST(DumpReader, MissingFileCannotBeOpened) {
    DumpReader reader;
    EXPECT_FALSE(reader.open(temp_path("does_not_exist.sql").c_str()));
    EXPECT_EQ(reader.next(), DUMP_END);
}

// The import loop, with mod_executesql answering by the statement's text.
class SqlImport : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = g_module;
        g_module.mod_executesql = &SqlImport::execute;
        g_module.mod_geterrorstring = &SqlImport::error_string;
        answers().clear();
        executed().clear();
    }
    void TearDown() override { g_module = saved_; }

    static std::map<std::string, int32_t>& answers() {
        static std::map<std::string, int32_t> map;
        return map;
    }
    static std::vector<std::string>& executed() {
        static std::vector<std::string> list;
        return list;
    }
    static int32_t execute(DbConnection*, const char* statement) {
        executed().emplace_back(statement);
        auto answer = answers().find(statement);
        return answer == answers().end() ? 1 : answer->second;
    }
    static const char* error_string(DbConnection*) { return "scripted error"; }

    // Runs the import of `path`; the two outputs land in out_ and progress_.
    int run(const std::string& path, const ImportMode& mode = {}) {
        FILE* out = std::tmpfile();
        FILE* progress = std::tmpfile();
        int result = sql_import(path.c_str(), nullptr, out, progress, &totals_, mode);
        out_ = contents(out);
        progress_ = contents(progress);
        return result;
    }
    static std::string contents(FILE* file) {
        std::rewind(file);
        std::string text;
        int c;
        while ((c = std::fgetc(file)) != EOF)
            text.push_back(static_cast<char>(c));
        std::fclose(file);
        return text;
    }

    DbModule saved_{};
    ImportTotals totals_;
    std::string out_;
    std::string progress_;
};

TEST_F(SqlImport, AnyRowCountSucceedsAndOnlyErrorsFail) {
    answers()["CREATE TABLE t (a int)"] = 0;
    answers()["INSERT INTO t VALUES (1),(2),(3)"] = 3;
    answers()["INSERT INTO t VALUES ('x')"] = ZEL_RESULT_REJECTED;
    answers()["INSERT INTO t VALUES (1)"] = ZEL_RESULT_FAILED;
    std::string path = write_plain(
        "counts.sql",
        "CREATE TABLE t (a int)\nINSERT INTO t VALUES (1),(2),(3)\nINSERT INTO t VALUES ('x')\n"
        "INSERT INTO t VALUES (1)\nINSERT INTO t VALUES (4)\n");
    EXPECT_EQ(run(path), 0);
    EXPECT_EQ(totals_.executed, 5u);
    EXPECT_EQ(totals_.succeeded, 3u);
    EXPECT_EQ(totals_.failed, 2u);
    EXPECT_EQ(out_,
              "'INSERT INTO t VALUES ('x')' DB:scripted error\n"
              "'INSERT INTO t VALUES (1)' DB:scripted error\n");
    EXPECT_EQ(progress_, "\rSuccess:3 Failed:2\n");
}

TEST_F(SqlImport, EveryStatementSucceedingIsTheOnlySuccess) {
    EXPECT_EQ(run(write_plain("fine.sql", numbered_inserts(10))), 1);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(run(write_plain("nothing.sql", "")), 1);
    EXPECT_EQ(progress_, "\rSuccess:0 Failed:0\n");
    EXPECT_EQ(run(temp_path("not_there.sql")), 0);
    EXPECT_EQ(totals_.executed, 0u);
}

TEST_F(SqlImport, ProgressAfterEveryThousandAndAtTheEnd) {
    answers()["INSERT INTO t VALUES (1500,'row 11878500 of a dump that goes on')"] =
        ZEL_RESULT_FAILED;
    EXPECT_EQ(run(write_gzip("progress.sql.gz", numbered_inserts(2500))), 0);
    EXPECT_EQ(progress_, "\rSuccess:1000 Failed:0\rSuccess:1999 Failed:1\rSuccess:2499 Failed:1\n");
}

TEST_F(SqlImport, DamagedInputEndsTheImportAsAFailureAfterWhatCameBefore) {
    std::string whole = read_bytes(write_gzip("import_whole.sql.gz", numbered_inserts(20000)));
    std::string path = write_plain("import_cut.sql.gz", whole.substr(0, whole.size() * 3 / 4));
    EXPECT_EQ(run(path), 0);
    EXPECT_EQ(totals_.failed, 0u);
    EXPECT_GT(totals_.succeeded, 10000u);
    EXPECT_EQ(executed().size(), totals_.executed);
}

TEST_F(SqlImport, LostConnectionStopsTheImport) {
    answers()["INSERT INTO t VALUES (3,'row 23757 of a dump that goes on')"] = ZEL_RESULT_LOST;
    EXPECT_EQ(run(write_plain("lost.sql", numbered_inserts(10))), 0);
    EXPECT_EQ(totals_.executed, 3u);
    EXPECT_EQ(totals_.failed, 1u);
    EXPECT_EQ(executed().size(), 3u);
}

// A connection that keeps statements in a transaction: each statement is committed on its
// own, a failed one rolled back, and a commit that fails is the statement's failure.
TEST_F(SqlImport, EachStatementIsCommittedOnAConnectionThatHoldsATransaction) {
    answers()["INSERT INTO t VALUES (2,'row 15838 of a dump that goes on')"] = ZEL_RESULT_FAILED;
    ImportMode mode;
    mode.commit_each = true;
    EXPECT_EQ(run(write_plain("commit.sql", numbered_inserts(3)), mode), 0);
    std::vector<std::string> expected{"INSERT INTO t VALUES (1,'row 7919 of a dump that goes on')",
                                      "COMMIT",
                                      "INSERT INTO t VALUES (2,'row 15838 of a dump that goes on')",
                                      "ROLLBACK",
                                      "INSERT INTO t VALUES (3,'row 23757 of a dump that goes on')",
                                      "COMMIT"};
    EXPECT_EQ(executed(), expected);
    EXPECT_EQ(totals_.succeeded, 2u);
    EXPECT_EQ(totals_.failed, 1u);

    executed().clear();
    answers().clear();
    answers()["COMMIT"] = ZEL_RESULT_REJECTED;
    EXPECT_EQ(run(write_plain("commit_refused.sql", numbered_inserts(2)), mode), 0);
    EXPECT_EQ(totals_.succeeded, 0u);
    EXPECT_EQ(totals_.failed, 2u);
    EXPECT_EQ(out_,
              "'INSERT INTO t VALUES (1,'row 7919 of a dump that goes on')' DB:scripted error\n"
              "'INSERT INTO t VALUES (2,'row 15838 of a dump that goes on')' DB:scripted error\n");
    EXPECT_EQ(executed().size(), 6u);  // statement, COMMIT, ROLLBACK, twice

    // A connection that commits by itself is never told to.
    executed().clear();
    answers().clear();
    EXPECT_EQ(run(write_plain("autocommit.sql", numbered_inserts(2))), 1);
    EXPECT_EQ(executed().size(), 2u);
}

// The server's answer to SELECT '\\' decides whether the dump's escapes are translated.
class SqlImportEscapes : public SqlImport {
  protected:
    static ResultValue* query(DbConnection*, const char* text, int32_t* status) {
        queried() = text;
        *status = 0;
        static char value[3];
        std::snprintf(value, sizeof value, "%s", answer());
        static ResultValue node;
        node.value = value;
        node.next = nullptr;
        return &node;
    }
    static void free_result(DbConnection*) {}
    static const char*& answer() {
        static const char* text = "";
        return text;
    }
    static std::string& queried() {
        static std::string text;
        return text;
    }
    void SetUp() override {
        SqlImport::SetUp();
        g_module.mod_querysql = &SqlImportEscapes::query;
        g_module.mod_freeresult = &SqlImportEscapes::free_result;
    }
};

TEST_F(SqlImportEscapes, AServerThatReadsEscapesGetsTheDumpAsWritten) {
    const std::string dump = "INSERT INTO t VALUES ('C:\\\\new','O\\'Brien','a\\0b')\n";
    std::string path = write_plain("escapes.sql", dump);
    answer() = "\\";
    EXPECT_EQ(run(path), 1);
    EXPECT_EQ(queried(), "SELECT '\\\\'");
    ASSERT_EQ(executed().size(), 1u);
    EXPECT_EQ(executed()[0] + "\n", dump);

    executed().clear();
    answer() = "\\\\";
    EXPECT_EQ(run(path), 1);
    ASSERT_EQ(executed().size(), 1u);
    EXPECT_EQ(executed()[0], "INSERT INTO t VALUES ('C:\\new','O''Brien','ab')");
}

}  // namespace
