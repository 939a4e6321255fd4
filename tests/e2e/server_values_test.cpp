// kvcd through the library: stored values arrive as SQLite holds them, and
// what cannot be sent or run is refused with an error.
#include <sys/stat.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "e2e_support.h"

using namespace kvcd_e2e;
using kvcd_test::Server;

namespace {

struct Session {
    Server server;
    Connection c{conn_string(server.port())};
};

// Stores `literal` in a one-column table of type `decl` and reads the row back.
void store(Connection& c, const std::string& decl, const std::string& literal) {
    c.run("DROP TABLE IF EXISTS v");
    c.run("CREATE TABLE v(x " + decl + ")");
    c.run("INSERT INTO v VALUES (" + literal + ")");
}

// Status of reading the table, the result left in rows at its first row.
int read_back(Connection& c, Rows& rows) {
    int columns = 0, affected = 0;
    int64_t count = 0;
    int st = KVC_ExecwithDataReader(c.handle(), "SELECT x FROM v", rows.handle(), &columns, &count, &affected);
    if (st >= 0 && rows.result) {
        EXPECT_EQ(KVC_ReadNext(rows.handle()), 0);
    }
    return st;
}

// Each case's literal, stored in a column of its declared type, reads back as
// its value in the given C type.
template <class Case, size_t N>
void expect_read_back(Connection& c, const Case (&cases)[N], int c_type) {
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.decl) + " " + k.literal);
        store(c, k.decl, k.literal);
        Rows rows;
        ASSERT_GE(read_back(c, rows), 0) << error_of(c.handle());
        decltype(k.value) got{};
        EXPECT_EQ(rows.get(1, c_type, got), 0);
        EXPECT_EQ(got, k.value);
    }
}

}  // namespace

TEST(ServerValues, IntegersAndRealsArriveWhole) {
    Session s;
    const struct { const char* decl; const char* literal; int64_t value; } integers[] = {
        {"TINYINT", "-128", -128},           {"INT1", "127", 127},
        {"SMALLINT", "-32768", -32768},      {"INT2", "32767", 32767},
        {"INT4", "-2147483648", INT32_MIN},  {"MEDIUMINT", "2147483647", INT32_MAX},
        {"INTEGER", "3000000000", 3000000000LL},
        {"INT", "1714571100123", 1714571100123LL},
        {"INTEGER", "-9223372036854775808", INT64_MIN},
        {"BIGINT", "9223372036854775807", INT64_MAX},
    };
    expect_read_back(s.c, integers, KVC_C_BIGINT);
    const struct { const char* decl; const char* literal; double value; } reals[] = {
        {"REAL", "16777217", 16777217.0},   {"FLOAT", "-73.779317", -73.779317},
        {"DOUBLE", "1e308", 1e308},          {"DOUBLE PRECISION", "0.1", 0.1},
        {"FLOAT4", "1.5", 1.5},
    };
    expect_read_back(s.c, reals, KVC_C_DOUBLE);
}

TEST(ServerValues, DatesAndTimesReadAsSQLiteReadsThem) {
    Session s;
    const struct { const char* decl; const char* literal; const char* text; } cases[] = {
        {"DATE", "'2024-05-01'", "2024-05-01"},
        {"DATE", "'2024-5-1'", "2024-05-01"},
        {"DATE", "1714571100", "2024-05-01"},              // Unix seconds
        {"DATE", "2460432.5", "2024-05-02"},               // Julian day number
        {"DATE", "'2024-05-01 23:30-01:00'", "2024-05-02"},  // in UTC, as date() gives it
        {"TIME", "'13:45'", "13:45:00"},
        {"TIME", "'2024-05-01T13:45:30.5Z'", "13:45:30"},
        {"TIME", "1714571100", "13:45:00"},
        {"DATETIME", "'2024-05-01T13:45'", "2024-05-01 13:45:00"},
        {"TIMESTAMP", "'2024-05-01  13:45:00.123456'", "2024-05-01 13:45:00"},
        {"DATETIME", "1714571100", "2024-05-01 13:45:00"},
        {"DATETIME", "'2024-05-01 13:45:00 +05:45'", "2024-05-01 08:00:00"},
        {"DATETIME", "'13:45:00'", "2000-01-01 13:45:00"},
        {"DATETIME", "'9999-12-31 23:59:59'", "9999-12-31 23:59:59"},
        {"TIMESTAMPTZ", "'2024-05-01 13:45:00+08:00'", "2024-05-01 13:45:00+8"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(std::string(k.decl) + " " + k.literal);
        store(s.c, k.decl, k.literal);
        Rows rows;
        ASSERT_GE(read_back(s.c, rows), 0) << error_of(s.c.handle());
        EXPECT_EQ(rows.text(1), k.text);
    }
}

TEST(ServerValues, FractionsAndZoneMinutesSurviveTheRoundTrip) {
    Session s;
    s.c.run("CREATE TABLE t(stamp DATETIME, zoned TIMESTAMPTZ)");
    // From the client: a millisecond count and a zoned text with microseconds.
    int64_t ms = 1714571100123LL;
    char zoned[] = "2024-05-01 13:45:00.123456-03:30";
    int ms_len = 8, zoned_len = int(std::strlen(zoned));
    ASSERT_EQ(KVC_BindParamByPos(s.c.handle(), 1, KVC_PARAM_IN, KVC_C_TIMESTAMP_MS, &ms, 8, &ms_len), 0);
    ASSERT_EQ(KVC_BindParamByPos(s.c.handle(), 2, KVC_PARAM_IN, KVC_C_CHAR, zoned, zoned_len, &zoned_len), 0);
    ASSERT_GE(KVC_Execute_no_query(s.c.handle(), "INSERT INTO t VALUES (?, ?)"), 0) << error_of(s.c.handle());

    Rows rows;
    int columns = 0, affected = 0;
    int64_t count = 0;
    ASSERT_GE(KVC_ExecwithDataReader(s.c.handle(), "SELECT stamp, zoned FROM t", rows.handle(), &columns, &count,
                                     &affected),
              0);
    ASSERT_EQ(KVC_ReadNext(rows.handle()), 0);
    int64_t back = 0;
    EXPECT_EQ(rows.get(1, KVC_C_TIMESTAMP_MS, back), 0);
    EXPECT_EQ(back, ms);
    // UTC microseconds, then the zone in minutes, as stored bytes.
    unsigned char raw[16] = {0};
    int len = 0;
    ASSERT_EQ(KVC_GetData(rows.handle(), 2, KVC_C_NUMERIC, raw, sizeof raw, &len), 0);
    ASSERT_EQ(len, 10);
    int64_t micros = 0;
    for (int k = 0; k < 8; ++k) micros = int64_t(uint64_t(micros) << 8 | raw[k]);
    EXPECT_EQ(micros, 1714571100123456LL + 210LL * 60000000);
    EXPECT_EQ(int16_t(raw[8] << 8 | raw[9]), -210);
}

TEST(ServerValues, WhatCannotBeSentOrRunIsRefused) {
    Session s;
    s.c.run("CREATE TABLE t(small SMALLINT, day DATE, n INTEGER)");
    s.c.run("INSERT INTO t VALUES (1, '2024-05-01', 1), (70000, 'someday', 'abc')");
    const std::string attached = s.server.dir() + "/elsewhere.db";
    const struct { std::string sql; const char* error; } cases[] = {
        {"SELECT small FROM t WHERE rowid = 2", "row 1, column t.small (SMALLINT): value 70000 does not fit"},
        {"SELECT day FROM t WHERE rowid = 2", "value 'someday' does not fit server type 10"},
        {"SELECT n FROM t WHERE rowid = 2", "value 'abc' does not fit server type 6"},
        {"ATTACH '" + attached + "' AS other", "authoriz"},
        {"VACUUM INTO '" + attached + "'", "authoriz"},
        {"DETACH main", "authoriz"},
        {"SELECT kvc_double(9223372036854775807)", "kvc_double: integer overflow"},
        {"SELECT kvc_add_days('9999-12-31', 1)", "outside 4713 BC to 9999 AD"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.sql);
        Rows rows;
        int columns = 0, affected = 0;
        int64_t count = 0;
        EXPECT_EQ(KVC_ExecwithDataReader(s.c.handle(), k.sql.c_str(), rows.handle(), &columns, &count, &affected), -1);
        EXPECT_NE(error_of(s.c.handle()).find(k.error), std::string::npos) << "[" << error_of(s.c.handle()) << "]";
    }
    struct stat sb;
    EXPECT_NE(stat(attached.c_str(), &sb), 0);
    // A plain VACUUM names no file and still runs.
    EXPECT_GE(KVC_Execute_no_query(s.c.handle(), "VACUUM"), 0) << error_of(s.c.handle());
    // The database file is the server user's alone.
    ASSERT_EQ(stat((s.server.dir() + "/test.db").c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 0777, 0600u);
}

TEST(ServerValues, OnlyOneStatementWherePrepareCursorOrBatchTakeOne) {
    Session s;
    s.c.run("CREATE TABLE t(a INTEGER)");
    const char* texts[] = {"SELECT a FROM t; DELETE FROM t", "SELECT a FROM t garbage here", "SELECT a FROM t; )"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        char name[32] = {0};
        EXPECT_EQ(KVC_Prepare2(s.c.handle(), text, name), -1);
        Rows declared;
        int columns = 0;
        EXPECT_EQ(KVC_ExecwithServerCursorReader(s.c.handle(), text, "c1", declared.handle(), &columns, nullptr), -1);
    }
    int32_t values[2] = {1, 2};
    int lengths[2] = {4, 4};
    ASSERT_EQ(KVC_BindParamArrayByPos(s.c.handle(), 1, 1, KVC_PARAM_IN, KVC_C_INT, 2, values, sizeof values, lengths),
              0);
    EXPECT_EQ(KVC_ExecBatch(s.c.handle(), "INSERT INTO t VALUES (?); DELETE FROM t", 2), -1);
    EXPECT_EQ(s.c.single_int("SELECT count(*) FROM t"), 0);
    // A trailing ';' or comment is no second statement.
    char name[32] = {0};
    EXPECT_GE(KVC_Prepare2(s.c.handle(), "SELECT a FROM t; -- all of them", name), 0) << error_of(s.c.handle());
}

// Values that the budget cannot hold fail their own request only; large
// values still travel whole, plain and enciphered.
TEST(ServerValues, MemoryBudgetRefusesARequestAndServesTheRest) {
    Server server({"--max-memory", std::to_string(24 << 20)});
    Connection greedy(conn_string(server.port())), other(conn_string(server.port(), ";USE_SSL=on"));
    ASSERT_EQ(other.status(), 2) << error_of(other.handle());
    greedy.run("CREATE TABLE t(a BLOB, b BLOB, c BLOB)");
    std::string big(10 << 20, '\0');
    for (size_t k = 0; k < big.size(); ++k) big[k] = char(k * 7 % 251);
    std::vector<int> lengths(3, int(big.size()));
    for (int k = 0; k < 3; ++k)
        ASSERT_EQ(KVC_BindParamByPos(greedy.handle(), k + 1, KVC_PARAM_IN, KVC_C_BINARY, &big[0], int(big.size()),
                                     &lengths[size_t(k)]),
                  0);
    EXPECT_EQ(KVC_Execute_no_query(greedy.handle(), "INSERT INTO t VALUES (?, ?, ?)"), -1);
    EXPECT_NE(error_of(greedy.handle()).find("--max-memory"), std::string::npos) << error_of(greedy.handle());

    // One large value is within the budget, and comes back whole to both.
    ASSERT_EQ(KVC_BindParamByPos(greedy.handle(), 1, KVC_PARAM_IN, KVC_C_BINARY, &big[0], int(big.size()),
                                 &lengths[0]),
              0);
    EXPECT_GE(KVC_Execute_no_query(greedy.handle(), "INSERT INTO t(a) VALUES (?)"), 0) << error_of(greedy.handle());
    for (Connection* c : {&greedy, &other}) {
        Rows rows;
        int columns = 0, affected = 0;
        int64_t count = 0;
        ASSERT_GE(KVC_ExecwithDataReader(c->handle(), "SELECT a FROM t", rows.handle(), &columns, &count, &affected), 0)
            << error_of(c->handle());
        ASSERT_EQ(KVC_ReadNext(rows.handle()), 0);
        std::string back(big.size(), '\0');
        int len = 0;
        ASSERT_EQ(KVC_GetData(rows.handle(), 1, KVC_C_BINARY, &back[0], int(back.size()), &len), 0);
        EXPECT_TRUE(back == big);
    }
}
