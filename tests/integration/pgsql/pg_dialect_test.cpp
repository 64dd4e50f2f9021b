// The PostgreSQL module's text rules, without a server: connection strings, type names both
// ways, SQLSTATE classes and the version text.
#include "modules/pgsql/pg_dialect.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <string>

using namespace zel_pg;

namespace {

ZelModuleParams no_params() {
    return ZelModuleParams{};
}

std::string pg_type(const char* type, const char* size) {
    std::string out;
    append_pg_type(out, type, size);
    return out;
}

}  // namespace

TEST(PgConnInfo, OnlyTheMembersThatAreSetInFixedOrder) {
    ZelModuleParams p = no_params();
    char server[] = "db1", name[] = "quotes", empty[] = "";
    p.db_server = server;
    p.dbname = name;
    p.connectionstring = empty;
    EXPECT_EQ(build_conninfo(p), "host='db1' dbname='quotes' ");

    char user[] = "u", pw[] = "p", port[] = "5433", key[] = "k.pem", cert[] = "c.pem",
         ca[] = "ca.pem";
    char capath[] = "/certs", cipher[] = "HIGH";
    p.db_username = user;
    p.db_password = pw;
    p.db_port = port;
    p.ssl_key = key;
    p.ssl_cert = cert;
    p.ssl_ca = ca;
    p.ssl_capath = capath;  // libpq has no such keyword: left out
    p.ssl_cipher = cipher;
    EXPECT_EQ(build_conninfo(p),
              "host='db1' port='5433' dbname='quotes' user='u' password='p' sslkey='k.pem' "
              "sslcert='c.pem' sslrootcert='ca.pem' ");
}

TEST(PgConnInfo, EmptyBlockGivesEmptyStringAndEmptyMembersAreLeftOut) {
    ZelModuleParams p = no_params();
    EXPECT_EQ(build_conninfo(p), "");
    char empty[] = "";
    p.db_server = empty;
    p.db_password = empty;
    EXPECT_EQ(build_conninfo(p), "");
}

TEST(PgConnInfo, QuotesAndBackslashesInValuesCannotEndTheValue) {
    ZelModuleParams p = no_params();
    char pw[] = R"(it's\' host='evil)";
    p.db_password = pw;
    EXPECT_EQ(build_conninfo(p), R"(password='it\'s\\\' host=\'evil' )");

    // libpq itself reads back exactly the password, and no host.
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(build_conninfo(p).c_str(), &error);
    ASSERT_NE(options, nullptr) << (error ? error : "");
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
        if (std::string(o->keyword) == "password") {
            EXPECT_STREQ(o->val, pw);
        }
        if (std::string(o->keyword) == "host") {
            EXPECT_EQ(o->val, nullptr);
        }
    }
    PQconninfoFree(options);
}

// Host and port lists reach libpq as lists, without the blanks a configuration file may put
// after the commas, and a quote inside the list cannot end the value early.
TEST(PgConnInfo, HostAndPortListsAreTrimmedAndStayOneValue) {
    auto parsed = [](const std::string& text) {
        std::string out;
        char* error = nullptr;
        PQconninfoOption* options = PQconninfoParse(text.c_str(), &error);
        if (options == nullptr) {
            out = std::string("<error: ") + (error ? error : "") + ">";
            PQfreemem(error);
            return out;
        }
        for (PQconninfoOption* o = options; o->keyword != nullptr; ++o)
            if (o->val != nullptr) out += std::string(o->keyword) + "=[" + o->val + "] ";
        PQconninfoFree(options);
        return out;
    };
    ZelModuleParams p = no_params();
    char hosts[] = " db1 ,\tdb2,db3 ", ports[] = "5432, 5433 ,5434";
    p.db_server = hosts;
    p.db_port = ports;
    EXPECT_EQ(build_conninfo(p), "host='db1,db2,db3' port='5432,5433,5434' ");
    EXPECT_EQ(parsed(build_conninfo(p)), "host=[db1,db2,db3] port=[5432,5433,5434] ");

    char single[] = "db1";
    p.db_server = single;
    p.db_port = nullptr;
    EXPECT_EQ(build_conninfo(p), "host='db1' ");

    char sly[] = "db1, db2' port='1 ,x\\";
    p.db_server = sly;
    EXPECT_EQ(parsed(build_conninfo(p)), "host=[db1,db2' port='1,x\\] ");
}

// A host list becomes one connect attempt per host, so that each gets its own timeout.
TEST(PgConnInfo, HostListsBecomeOneAttemptPerHost) {
    auto show = [](const char* host, const char* addr, const char* port) {
        std::string out;
        for (const HostAttempt& a : host_attempts(host, addr, port))
            out += "[" + a.host + "|" + a.hostaddr + "|" + a.port + "|" + a.label + "]";
        return out;
    };
    EXPECT_EQ(show("db1,db2", nullptr, "5432,5433"), "[db1||5432|db1:5432][db2||5433|db2:5433]");
    EXPECT_EQ(show("db1,db2", nullptr, "6000"), "[db1||6000|db1:6000][db2||6000|db2:6000]");
    EXPECT_EQ(show("db1,db2", nullptr, nullptr), "[db1|||db1][db2|||db2]");
    EXPECT_EQ(show(nullptr, "10.0.0.1,10.0.0.2", "1,2"),
              "[|10.0.0.1|1|10.0.0.1:1][|10.0.0.2|2|10.0.0.2:2]");
    EXPECT_EQ(show("a,b", "10.0.0.1,10.0.0.2", nullptr), "[a|10.0.0.1||a][b|10.0.0.2||b]");
    EXPECT_EQ(show("db1,", nullptr, nullptr), "[db1|||db1][|||default host]");
    // One host, or lists that do not pair up: left to libpq as they are.
    EXPECT_EQ(show("db1", nullptr, "5432"), "");
    EXPECT_EQ(show(nullptr, nullptr, "5432,5433"), "");
    EXPECT_EQ(show("db1,db2,db3", nullptr, "1,2"), "");
    EXPECT_EQ(show("a,b", "10.0.0.1", nullptr), "");
}

TEST(PgTypes, RenderingTable) {
    EXPECT_EQ(pg_type("bigint", "20"), "numeric(20,0)");
    EXPECT_EQ(pg_type("bigint", nullptr), "numeric(20,0)");
    EXPECT_EQ(pg_type("bigint", ""), "numeric(20,0)");
    EXPECT_EQ(pg_type("bigint", "19,0"), "numeric(19,0)");
    EXPECT_EQ(pg_type("bigint", "0,0"), "numeric");
    EXPECT_EQ(pg_type("double", nullptr), "double precision");
    EXPECT_EQ(pg_type("double", "53"), "double precision(53)");
    EXPECT_EQ(pg_type("decimal", "12,4"), "numeric(12,4)");
    EXPECT_EQ(pg_type("decimal", nullptr), "numeric");
    EXPECT_EQ(pg_type("char", "3"), "character(3)");
    EXPECT_EQ(pg_type("varchar", "64"), "character varying(64)");
    EXPECT_EQ(pg_type("varchar", "0"), "character varying");
    EXPECT_EQ(pg_type("mediumtext", nullptr), "text");
    EXPECT_EQ(pg_type("time", "6"), "time without time zone");
    EXPECT_EQ(pg_type("datetime", nullptr), "timestamp without time zone");
    EXPECT_EQ(pg_type("int", nullptr), "integer");
    EXPECT_EQ(pg_type("date", nullptr), "date");
    EXPECT_EQ(pg_type("smallint", "5"), "smallint(5)");
}

TEST(PgTypes, DescriptionMapsServerTypesToTheVocabulary) {
    EXPECT_STREQ(vocabulary_type("time without time zone", nullptr, nullptr), "time");
    EXPECT_STREQ(vocabulary_type("timestamp without time zone", nullptr, nullptr), "datetime");
    EXPECT_STREQ(vocabulary_type("text", nullptr, nullptr), "mediumtext");
    EXPECT_STREQ(vocabulary_type("character varying", nullptr, nullptr), "varchar");
    EXPECT_STREQ(vocabulary_type("character", nullptr, nullptr), "char");
    EXPECT_STREQ(vocabulary_type("double precision", "53", nullptr), "double");
    EXPECT_STREQ(vocabulary_type("numeric", "10", "0"), "bigint");
    EXPECT_STREQ(vocabulary_type("numeric", "20", "0"), "bigint");
    EXPECT_STREQ(vocabulary_type("numeric", "9", "0"), "decimal");
    EXPECT_STREQ(vocabulary_type("numeric", "21", "0"), "decimal");
    EXPECT_STREQ(vocabulary_type("numeric", "20", "2"), "decimal");
    EXPECT_STREQ(vocabulary_type("numeric", nullptr, nullptr), "decimal");
    EXPECT_STREQ(vocabulary_type("integer", "32", "0"), "int");
    EXPECT_STREQ(vocabulary_type("date", nullptr, nullptr), "date");
    EXPECT_STREQ(vocabulary_type("smallint", "16", "0"), "smallint");
}

TEST(PgTypes, BothSidesOfTheCheckRenderAlike) {
    // The database check renders what the server reports and what the definitions say with
    // the same function: a column made from a definition must read back as equal.
    struct Case {
        const char *type, *size, *data_type, *char_len, *precision, *scale;
    } cases[] = {
        {"bigint", "20", "numeric", nullptr, "20", "0"},
        {"decimal", "12,4", "numeric", nullptr, "12", "4"},
        {"varchar", "64", "character varying", "64", nullptr, nullptr},
        {"char", "3", "character", "3", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        std::string db_size = column_size(c.char_len, c.precision, c.scale);
        EXPECT_EQ(pg_type(vocabulary_type(c.data_type, c.precision, c.scale), db_size.c_str()),
                  pg_type(c.type, c.size))
            << c.type;
    }
}

TEST(PgTypes, SizeFromTheDescription) {
    EXPECT_EQ(column_size("30", nullptr, nullptr), "30");
    EXPECT_EQ(column_size(nullptr, "12", "4"), "12,4");
    EXPECT_EQ(column_size("", "53", ""), "53");
    EXPECT_EQ(column_size(nullptr, nullptr, "0"), "");
}

TEST(PgErrors, SqlstateDigits) {
    EXPECT_EQ(sqlstate_code("23505"), 23505);
    EXPECT_EQ(sqlstate_code("40P01"), 40);
    EXPECT_EQ(sqlstate_code("42P01"), 42);
    EXPECT_EQ(sqlstate_code("0A000"), 0);
    EXPECT_EQ(sqlstate_code("HV000"), 0);
    EXPECT_EQ(sqlstate_code(nullptr), 0);
}

TEST(PgErrors, ExecuteClasses) {
    auto exec = [](const char* state, bool ok) {
        return classify_failure(Origin::execute, state, ok);
    };
    EXPECT_EQ(exec("08006", true), ZEL_RESULT_LOST);
    EXPECT_EQ(exec("22012", true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(exec("23505", true), ZEL_RESULT_FAILED);
    EXPECT_EQ(exec("25P02", true), ZEL_RESULT_RERUN);
    // A read-only server (a demoted primary) refuses every write: only another connection,
    // on the new primary, writes it.
    EXPECT_EQ(exec("25006", true), ZEL_RESULT_LOST);
    EXPECT_EQ(exec("25001", true), ZEL_RESULT_RERUN);
    EXPECT_EQ(exec("40P01", true), ZEL_RESULT_RERUN);
    EXPECT_EQ(exec("40001", true), ZEL_RESULT_RERUN);
    EXPECT_EQ(exec("42601", true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(exec("57P01", true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(exec("57P01", false), ZEL_RESULT_LOST);
    EXPECT_EQ(exec(nullptr, true), ZEL_RESULT_FAILED);
    EXPECT_EQ(exec(nullptr, false), ZEL_RESULT_LOST);
}

TEST(PgErrors, QueryClasses) {
    auto query = [](const char* state, bool ok) {
        return classify_failure(Origin::query, state, ok);
    };
    EXPECT_EQ(query("08006", true), ZEL_RESULT_LOST);
    EXPECT_EQ(query("22012", true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(query("23505", true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(query("25P02", true), ZEL_RESULT_RERUN);
    EXPECT_EQ(query("25006", true), ZEL_RESULT_LOST);
    EXPECT_EQ(query("40P01", true), ZEL_RESULT_RERUN);
    EXPECT_EQ(query("42P01", true), ZEL_RESULT_REJECTED);
    // A failed query is never reported as an empty success, and a lost connection is
    // reported as lost so that the caller reconnects.
    EXPECT_EQ(query("3B001", true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(query("57P01", false), ZEL_RESULT_LOST);
    EXPECT_EQ(query(nullptr, true), ZEL_RESULT_REJECTED);
    EXPECT_EQ(query(nullptr, false), ZEL_RESULT_LOST);
}

TEST(PgVersion, Text) {
    EXPECT_EQ(version_text(90624), "9.6.24");
    EXPECT_EQ(version_text(150018), "15.0.18");
    EXPECT_EQ(version_text(0), "0.0.0");
}

TEST(PgErrors, TransientFailuresAskForARerun) {
    for (Origin origin : {Origin::execute, Origin::query}) {
        EXPECT_EQ(classify_failure(origin, "57014", true), ZEL_RESULT_RERUN);  // cancelled
        EXPECT_EQ(classify_failure(origin, "55P03", true), ZEL_RESULT_RERUN);  // lock timeout
        EXPECT_EQ(classify_failure(origin, "53100", true), ZEL_RESULT_RERUN);  // disk full
        EXPECT_EQ(classify_failure(origin, "53200", true), ZEL_RESULT_RERUN);  // out of memory
        EXPECT_EQ(classify_failure(origin, "53300", true), ZEL_RESULT_RERUN);  // connections
        // Their neighbours are not transient.
        EXPECT_EQ(classify_failure(origin, "55000", true), ZEL_RESULT_REJECTED);
        EXPECT_EQ(classify_failure(origin, "57000", true), ZEL_RESULT_REJECTED);
    }
}

// Every connection gets bounded waits unless its connection text says otherwise.
TEST(PgConnect, DefaultsBoundTheConnectAndWatchTheLink) {
    std::string listed;
    for (size_t i = 0; i < kConnectDefaultCount; ++i)
        listed += std::string(kConnectDefaults[i].keyword) + "=" + kConnectDefaults[i].value + " ";
    EXPECT_EQ(listed,
              "connect_timeout=10 keepalives=1 keepalives_idle=30 keepalives_interval=10 "
              "keepalives_count=3 tcp_user_timeout=60000 target_session_attrs=read-write ");
    // Every keyword is one this libpq knows.
    PQconninfoOption* known = PQconndefaults();
    ASSERT_NE(known, nullptr);
    for (size_t i = 0; i < kConnectDefaultCount; ++i) {
        bool found = false;
        for (PQconninfoOption* o = known; o->keyword != nullptr; ++o)
            found = found || std::string(o->keyword) == kConnectDefaults[i].keyword;
        EXPECT_TRUE(found) << kConnectDefaults[i].keyword;
    }
    PQconninfoFree(known);

    EXPECT_EQ(connect_timeout_ms("10"), 10000);
    EXPECT_EQ(connect_timeout_ms("1"), 2000);  // libpq's own floor
    EXPECT_EQ(connect_timeout_ms("0"), 0);
    EXPECT_EQ(connect_timeout_ms("-5"), 0);
    EXPECT_EQ(connect_timeout_ms("soon"), 0);
    EXPECT_EQ(connect_timeout_ms(nullptr), 0);
}

// libpq's parse errors quote the text near the fault; what the module reports must not.
TEST(PgConnect, ParseProblemsAreNamedWithoutQuotingTheText) {
    const char* texts[] = {"host=db1 password='s3cret-pw", "host=db1 s3cret-pw",
                           "host=db1 passwrd=s3cret-pw", "postgresql://u:s3cret-pw@[::1"};
    for (const char* text : texts) {
        char* message = nullptr;
        PQconninfoOption* parsed = PQconninfoParse(text, &message);
        ASSERT_EQ(parsed, nullptr) << text;
        ASSERT_NE(message, nullptr);
        std::string said = conninfo_problem(message);
        EXPECT_EQ(said.find("s3cret"), std::string::npos) << said;
        EXPECT_NE(said, "libpq cannot read it") << "unnamed: " << message;
        PQfreemem(message);
    }
    EXPECT_EQ(conninfo_problem(nullptr), "libpq cannot read it");
}
