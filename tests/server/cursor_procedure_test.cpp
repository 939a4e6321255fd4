// Server cursors with the library's command texts, and built-in procedure
// replies with output values, return values and the continue rule.
#include <gtest/gtest.h>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

// A session on a table n holding 1..45.
struct Logged {
    Server server;
    Client client;
    Logged() : server(), client(server.port()) {
        client.login_plain(login_text());
        client.exec("CREATE TABLE n(i INTEGER); WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s "
                    "WHERE i < 45) INSERT INTO n SELECT i FROM s");
    }
    // Reads count rows of three columns, the first tag included.
    void read_rows(int count) {
        for (int k = 0; k < count; ++k) {
            ASSERT_EQ(client.read_tag(), 'R');
            client.skip_row(3);
        }
    }
};

}  // namespace

TEST(CursorWire, DeclareOpenFetchInBlocksClose) {
    Logged s;
    EXPECT_EQ(tags(s.client.exec("OPEN nosuch ;")), "EK");
    EXPECT_EQ(tags(s.client.exec("DECLARE c CURSOR FOR DELETE FROM n ")), "EK");
    auto r = s.client.exec("DECLARE c1 CURSOR FOR SELECT i FROM n ORDER BY i ");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(r[0].columns[0].type, 6);
    EXPECT_TRUE(r[0].rows.empty());
    EXPECT_EQ(tags(s.client.exec("OPEN c1 ;")), "K");
    // The library's text, then forms a caller may write for the _V2 fetch.
    const struct {
        const char* text;
        size_t rows;
    } fetches[] = {{"FETCH 20  FROM c1 ", 20}, {"FETCH NEXT 20 FROM c1", 20}, {"FETCH ALL FROM c1", 5},
                   {"FETCH 20  FROM c1 ", 0}};
    int expected = 1;
    for (const auto& f : fetches) {
        r = s.client.exec(f.text);
        ASSERT_EQ(tags(r), "AK");
        ASSERT_EQ(r[0].rows.size(), f.rows);
        for (const auto& row : r[0].rows) EXPECT_EQ(get64(*row[0]), expected++);
    }
    EXPECT_EQ(tags(s.client.exec("CLOSE c1 ")), "K");
    EXPECT_EQ(tags(s.client.exec("CLOSE c1 ")), "EK");
    EXPECT_EQ(tags(s.client.exec("FETCH  20000  FROM  c1 ")), "EK");
    EXPECT_EQ(tags(s.client.exec("FETCH many FROM c1")), "EK");
}

TEST(CursorWire, CursorOverAPreparedStatementTakesItsParameters) {
    Logged s;
    ASSERT_EQ(tags(s.client.exec("PREPARE STC3 AS SELECT i FROM n WHERE i > ? ORDER BY i")), "A$K");
    ASSERT_EQ(tags(s.client.exec("DECLARE  STC3_CUR CURSOR FOR STC3 ", 1, param("", 1, 5, be32(40)))), "AK");
    EXPECT_EQ(tags(s.client.exec("OPEN STC3_CUR ;")), "K");
    auto r = s.client.exec("FETCH  20000  FROM  STC3_CUR ");
    ASSERT_EQ(r[0].rows.size(), 5u);
    EXPECT_EQ(get64(*r[0].rows[0][0]), 41);
}

TEST(ProcedureWire, OutputAndInOutValuesComeAsPMessages) {
    Logged s;
    auto r = s.client.exec("CALL kvc_add(?, ?, ?)", 3,
                           param("", 1, 6, be64(40)) + param("", 1, 6, be64(2)) + param("", 2, 6, be64(0)));
    ASSERT_EQ(tags(r), "PK");
    EXPECT_EQ(r[0].number, 2);
    EXPECT_EQ(r[0].type, 6);
    EXPECT_EQ(get64(r[0].text), 42);
    // The answer takes the type the client announced for the slot.
    r = s.client.exec("CALL kvc_add(?, ?, ?)", 3,
                      param("", 1, 5, be32(1)) + param("", 1, 5, be32(2)) + param("", 2, 5, be32(0)));
    ASSERT_EQ(r[0].type, 5);
    EXPECT_EQ(r[0].text, be32(3));
    // A total the announced type cannot hold comes in its own type, whole.
    r = s.client.exec("CALL kvc_add(?, ?, ?)", 3,
                      param("", 1, 5, be32(INT32_MAX)) + param("", 1, 5, be32(1)) + param("", 2, 5, be32(0)));
    ASSERT_EQ(r[0].type, 6);
    EXPECT_EQ(get64(r[0].text), 2147483648LL);
    // Beyond 64 bits it is an error, not a wrapped number.
    r = s.client.exec("CALL kvc_add(?, ?, ?)", 3,
                      param("", 1, 6, be64(INT64_MAX)) + param("", 1, 6, be64(1)) + param("", 2, 6, be64(0)));
    ASSERT_EQ(tags(r), "EK");
    EXPECT_EQ(r[0].text, "kvc_add: integer overflow");
    r = s.client.exec("EXEC kvc_swap", 2, param("b", 3, 30, "second") + param("a", 3, 30, "first"));
    ASSERT_EQ(tags(r), "PPK");
    EXPECT_EQ(r[0].number, 1);  // slot of "a" in the client's set
    EXPECT_EQ(r[0].text, "second");
    EXPECT_EQ(r[1].text, "first");
}

TEST(ProcedureWire, FunctionsAnswerAReturnValue) {
    Logged s;
    const struct { std::string call; uint32_t count; std::string values; int32_t type; std::string value; } cases[] = {
        {"CALL kvc_double(?)", 1, param("", 1, 6, be64(21)), 6, be64(42)},
        {"CALL kvc_is_even(?)", 1, param("", 1, 5, be32(3)), 2, "F"},
        {"CALL kvc_add_days(?, ?)", 2, param("", 1, 30, "2000-02-28") + param("", 1, 5, be32(1)), 10, be32(11016)},
    };
    for (const auto& k : cases) {
        auto r = s.client.exec(k.call, k.count, k.values);
        ASSERT_EQ(tags(r), "OK") << k.call;
        EXPECT_EQ(r[0].type, k.type);
        EXPECT_EQ(r[0].text, k.value);
    }
    EXPECT_EQ(tags(s.client.exec("CALL kvc_hypot(?, ?)", 1, param("", 1, 9, be64(0)))), "EK");
    auto r = s.client.exec("CALL no_such_proc");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_NE(r[0].text.find("no_such_proc"), std::string::npos);
}

// After every 200 rows the next row's tag arrives, then nothing until ".".
TEST(ProcedureWire, ResultSetsWaitForTheContinueRequestEvery200Rows) {
    Logged s;
    s.client.send_raw(command("CALL kvc_series(?, ?)", 2, param("", 1, 5, be32(450)) + param("", 2, 6, be64(0))));
    ASSERT_EQ(s.client.read_tag(), 'P');
    EXPECT_EQ(get64(s.client.read_message('P').text), 450 * 451 / 2);
    ASSERT_EQ(s.client.read_tag(), 'A');
    ASSERT_EQ(s.client.read_message('A').columns.size(), 3u);
    s.read_rows(200);
    ASSERT_EQ(s.client.read_tag(), 'R');
    EXPECT_FALSE(s.client.closed_by_peer(300));
    s.client.send_raw(".");
    s.client.skip_row(3);
    s.read_rows(199);
    ASSERT_EQ(s.client.read_tag(), 'R');
    s.client.send_raw(".");
    s.client.skip_row(3);
    s.read_rows(49);
    EXPECT_EQ(s.client.read_tag(), 'K');

    // A new command instead of "." drops the rest of the result set.
    s.client.send_raw(command("CALL kvc_series(?)", 1, param("", 1, 5, be32(300))));
    ASSERT_EQ(s.client.read_tag(), 'A');
    s.client.read_message('A');
    s.read_rows(200);
    ASSERT_EQ(s.client.read_tag(), 'R');
    auto r = s.client.exec("SELECT 5");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(get64(*r[0].rows[0][0]), 5);
}
