// Statements of a command text: one answer per statement in order, rows in
// the wire form of each declared type, errors, and transactions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <type_traits>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

struct Session {
    Server server;
    Client client;
    Session() : client(server.port()) {
        if (client.login_plain(login_text())[0] != 'N') throw std::runtime_error("login failed");
    }
};

// The big-endian bit pattern of a float or a double.
template <typename Real>
std::string bits(Real r) {
    std::conditional_t<sizeof(Real) == 4, uint32_t, uint64_t> u;
    std::memcpy(&u, &r, sizeof u);
    return sizeof u == 4 ? be32(int32_t(u)) : be64(int64_t(u));
}

}  // namespace

TEST(StatementReply, ScriptAnswersEachStatementInOrder) {
    Session s;
    auto r = s.client.exec(
        "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);"
        "INSERT INTO t(v) VALUES ('a'),('b'),('c');"
        "UPDATE t SET v = v || '!' WHERE id > 1;"
        "DELETE FROM t WHERE id = 3;"
        "SELECT id, v FROM t ORDER BY id");
    ASSERT_EQ(tags(r), "UIIIUDAK");
    EXPECT_EQ(r[0].number, 0);
    EXPECT_EQ(r[1].text, "1");
    EXPECT_EQ(r[3].text, "3");
    EXPECT_EQ(r[4].number, 2);
    EXPECT_EQ(r[5].number, 1);
    ASSERT_EQ(r[6].rows.size(), 2u);
    EXPECT_EQ(*r[6].rows[1][1], "b!");
    EXPECT_EQ(r[6].columns[0].name, "t.id");
}

TEST(StatementReply, ErrorCarriesSqliteTextAndStopsTheScript) {
    Session s;
    auto r = s.client.exec("CREATE TABLE t(a); SELECT nosuch FROM t; INSERT INTO t VALUES (1)");
    ASSERT_EQ(tags(r), "UEK");
    EXPECT_EQ(r[1].text, "no such column: nosuch");
    EXPECT_EQ(get64(*s.client.exec("SELECT count(*) FROM t")[0].rows[0][0]), 0);  // the insert did not run
    r = s.client.exec("INSERT INTO nosuch VALUES (1)");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_EQ(r[0].text, "no such table: nosuch");
}

TEST(StatementReply, DeclaredTypesChooseServerTypesAndWireForms) {
    Session s;
    struct Case { const char* decl; const char* literal; int32_t type; std::string wire; } cases[] = {
        {"BOOLEAN", "1", 2, "T"},
        {"TINYINT", "-5", 3, "\xFB"},
        {"SMALLINT", "-2", 4, be16(-2)},
        {"INT4", "-2147483648", 5, be32(INT32_MIN)},
        {"INTEGER", "3000000000", 6, be64(3000000000LL)},
        {"INT", "9223372036854775807", 6, be64(INT64_MAX)},
        {"BIGINT", "-9000000000", 6, be64(-9000000000LL)},
        {"DECIMAL(10,2)", "'12345.67'", 7, "12345.67"},
        {"FLOAT4", "1.5", 8, bits(1.5f)},
        {"REAL", "16777217", 9, bits(16777217.0)},
        {"FLOAT", "-73.779317", 9, bits(-73.779317)},
        {"DOUBLE", "-0.25", 9, bits(-0.25)},
        {"DATE", "'2000-02-29'", 10, be32(11016)},
        {"TIME", "'23:59:59.999'", 11, be32(86399999)},
        {"TIME WITH TIME ZONE", "'23:00:00+02:00'", 12, be32(75600000) + be16(120)},
        {"DATETIME", "'1969-12-31 23:59:59.999'", 13, be64(-1)},
        {"TIMESTAMP WITH TIME ZONE", "'1970-01-01 08:00:00+08:00'", 14, be64(0) + be16(480)},
        {"INTERVAL YEAR TO MONTH", "14", 16, be32(14)},
        {"interval day  to second", "90000000000", 24, be64(90000000000LL)},
        {"VARCHAR(20)", "'interval day to second' /* interval day to second */", 30, "interval day to second"},
        {"CLOB", "'long text'", 32, "long text"},
        {"VARBINARY", "x'00ff10'", 33, std::string("\x00\xff\x10", 3)},
        {"BLOB", "x'0102'", 34, std::string("\x01\x02", 2)},
    };
    for (const auto& k : cases) {
        std::string table = "t" + std::to_string(&k - cases);
        auto r = s.client.exec("CREATE TABLE " + table + "(v " + k.decl + "); INSERT INTO " + table + " VALUES (" +
                               k.literal + "), (NULL); SELECT v FROM " + table);
        ASSERT_EQ(tags(r), "UIIAK") << k.decl;
        const Message& a = r[3];
        EXPECT_EQ(a.columns[0].type, k.type) << k.decl;
        ASSERT_EQ(a.rows.size(), 2u);
        EXPECT_EQ(*a.rows[0][0], k.wire) << k.decl;
        EXPECT_FALSE(a.rows[1][0].has_value()) << k.decl;
    }
}

TEST(StatementReply, ValueThatDoesNotFitItsColumnFailsTheStatement) {
    Session s;
    s.client.exec("CREATE TABLE t(v SMALLINT, pad TEXT); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                  "FROM n WHERE i < 5000) INSERT INTO t SELECT 1, printf('%100d', i) FROM n; "
                  "INSERT INTO t VALUES (70000, 'x'), (2, 'y')");
    // Within the first rows the error comes alone, naming row, column and value.
    auto r = s.client.exec("SELECT v FROM t WHERE v <> 1 ORDER BY rowid");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_EQ(r[0].text, "row 1, column t.v (SMALLINT): value 70000 does not fit server type 4");
    // Beyond them, the rows already sent stay and the error follows them.
    r = s.client.exec("SELECT v, pad FROM t ORDER BY rowid");
    ASSERT_EQ(tags(r), "AEK");
    EXPECT_EQ(r[0].rows.size(), 5000u);
    EXPECT_EQ(r[1].text.compare(0, 10, "row 5001, "), 0) << r[1].text;
}

TEST(StatementReply, AutoCommitOffKeepsChangesPrivateUntilCommit) {
    Server server;
    Client writer(server.port()), reader(server.port());
    ASSERT_EQ(writer.login_plain("login database = D user='U' password='P' auto_commit = 'off' version = '301'")[0], 'N');
    ASSERT_EQ(reader.login_plain(login_text())[0], 'N');
    ASSERT_EQ(tags(reader.exec("CREATE TABLE t(a)")), "UK");
    ASSERT_EQ(tags(writer.exec("INSERT INTO t VALUES (1)")), "IK");
    auto count = [&] { return get64(*reader.exec("SELECT count(*) FROM t")[0].rows[0][0]); };
    EXPECT_EQ(count(), 0);
    ASSERT_EQ(tags(writer.exec("COMMIT")), "UK");
    EXPECT_EQ(count(), 1);
    writer.exec("INSERT INTO t VALUES (2)");
    writer.exec("ROLLBACK");
    EXPECT_EQ(count(), 1);
}

// A writer blocked by another's open transaction waits the login's
// lock_timeout, no longer and no shorter, and then gets SQLite's text.
TEST(StatementReply, LockTimeoutBoundsTheWaitForAnotherWriter) {
    Server server;
    Client holder(server.port()), waiter(server.port());
    ASSERT_EQ(holder.login_plain("login database = D user='U' password='P' auto_commit = 'off' version = '301'")[0], 'N');
    ASSERT_EQ(waiter.login_plain("login database = D user='U' password='P' lock_timeout = 1 auto_commit = 'on'"
                                 " return_cursor_id  = 'on' version = '301'")[0],
              'N');
    ASSERT_EQ(tags(waiter.exec("CREATE TABLE t(a)")), "UK");
    ASSERT_EQ(tags(holder.exec("INSERT INTO t VALUES (1)")), "IK");
    const auto start = std::chrono::steady_clock::now();
    const auto reply = waiter.exec("INSERT INTO t VALUES (2)");
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(tags(reply), "EK");
    EXPECT_NE(reply[0].text.find("locked"), std::string::npos) << reply[0].text;
    EXPECT_GE(waited, 0.8);
    EXPECT_LT(waited, 5.0);
}

TEST(StatementReply, InsertOfManyRowsAnswersOneIdentifierEach) {
    Session s;
    auto r = s.client.exec(
        "CREATE TABLE t(a); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
        "INSERT INTO t SELECT i FROM n");
    // A statement that begins with WITH is answered by its count.
    EXPECT_EQ(tags(r), "UUK");
    EXPECT_EQ(r[1].number, 500);
    r = s.client.exec("INSERT INTO t SELECT a FROM t WHERE a <= 3");
    ASSERT_EQ(tags(r), "IIIK");
    EXPECT_EQ(r[2].text, "503");
}

// Expression columns take the first row's storage class; a stray continue
// byte between commands is ignored.
TEST(StatementReply, ExpressionColumnsVersionAndStrayContinueBytes) {
    Session s;
    auto r = s.client.exec("SELECT 7 AS i, 2.5 AS d, 'x' AS t, x'00' AS b, 1 + 1");
    ASSERT_EQ(tags(r), "AK");
    std::vector<int32_t> types;
    for (const auto& c : r[0].columns) types.push_back(c.type);
    EXPECT_EQ(types, (std::vector<int32_t>{6, 9, 30, 33, 6}));
    EXPECT_EQ(r[0].columns[4].name, "1 + 1");
    s.client.send_raw("..");
    r = s.client.exec("show version");
    ASSERT_EQ(tags(r), "AK");
    ASSERT_EQ(r[0].rows.size(), 1u);
    EXPECT_EQ(r[0].rows[0][0]->rfind("kvcd ", 0), 0u);
}
