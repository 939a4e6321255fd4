// Server cursors with the library's command texts, and built-in procedure
// replies with output values, return values and the continue rule.
#include <gtest/gtest.h>

#include <cstring>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

struct Logged {
    Server server;
    Client client;
    Logged() : server(), client(server.port()) {
        client.login_plain(login_text());
        client.exec(
            "CREATE TABLE n(i INTEGER); WITH RECURSIVE s(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM s WHERE i < 45) "
            "INSERT INTO n SELECT i FROM s");
    }
};

}  // namespace

TEST(CursorWire, DeclareOpenFetchInBlocksClose) {
    Logged s;
    auto r = s.client.exec("DECLARE c1 CURSOR FOR SELECT i FROM n ORDER BY i ");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(r[0].columns[0].type, 5);
    EXPECT_TRUE(r[0].rows.empty());
    EXPECT_EQ(tags(s.client.exec("OPEN c1 ;")), "K");
    int expected = 1;
    // The library's text, then forms a caller may write for the _V2 fetch.
    const char* fetches[] = {"FETCH 20  FROM c1 ", "FETCH NEXT 20 FROM c1", "FETCH ALL FROM c1", "FETCH 20  FROM c1 "};
    size_t wants[] = {20, 20, 5, 0};
    for (int k = 0; k < 4; ++k) {
        const size_t want = wants[k];
        r = s.client.exec(fetches[k]);
        ASSERT_EQ(tags(r), "AK");
        ASSERT_EQ(r[0].rows.size(), want);
        for (const auto& row : r[0].rows) EXPECT_EQ(get32(*row[0]), expected++);
    }
    EXPECT_EQ(tags(s.client.exec("CLOSE c1 ")), "K");
    r = s.client.exec("CLOSE c1 ");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_EQ(tags(s.client.exec("FETCH  20000  FROM  c1 ")), "EK");
    EXPECT_EQ(tags(s.client.exec("FETCH many FROM c1")), "EK");
}

TEST(CursorWire, CursorOverAPreparedStatementTakesItsParameters) {
    Logged s;
    ASSERT_EQ(tags(s.client.exec("PREPARE STC3 AS SELECT i FROM n WHERE i > ? ORDER BY i")), "A$K");
    auto r = s.client.exec("DECLARE  STC3_CUR CURSOR FOR STC3 ", 1, param("", 1, 5, be32(40)));
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(tags(s.client.exec("OPEN STC3_CUR ;")), "K");
    r = s.client.exec("FETCH  20000  FROM  STC3_CUR ");
    ASSERT_EQ(r[0].rows.size(), 5u);
    EXPECT_EQ(get32(*r[0].rows[0][0]), 41);
}

TEST(CursorWire, OpenOfAnUnknownCursorIsAnErrorWithItsClosingByte) {
    Logged s;
    auto r = s.client.exec("OPEN nosuch ;");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_EQ(tags(s.client.exec("DECLARE c CURSOR FOR DELETE FROM n ")), "EK");
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
    r = s.client.exec("EXEC kvc_swap", 2, param("b", 3, 30, "second") + param("a", 3, 30, "first"));
    ASSERT_EQ(tags(r), "PPK");
    EXPECT_EQ(r[0].number, 1);  // slot of "a" in the client's set
    EXPECT_EQ(r[0].text, "second");
    EXPECT_EQ(r[1].text, "first");
}

TEST(ProcedureWire, ProcedureWithInOutOutputAndReturnValue) {
    Logged s;
    // The return slot is not sent; the reply carries it as 'O' after the 'P's.
    auto r = s.client.exec("CALL kvc_account(?, ?, ?)", 3,
                           param("", 1, 6, be64(-150)) + param("", 3, 6, be64(100)) + param("", 2, 6, be64(0)));
    ASSERT_EQ(tags(r), "PPOK");
    EXPECT_EQ(r[0].number, 1);
    EXPECT_EQ(get64(r[0].text), -50);
    EXPECT_EQ(r[1].number, 2);
    EXPECT_EQ(get64(r[1].text), 100);
    EXPECT_EQ(r[2].type, 30);
    EXPECT_EQ(r[2].text, "overdrawn");
}

TEST(ProcedureWire, FunctionsAnswerAReturnValue) {
    Logged s;
    struct Case {
        std::string call;
        uint32_t count;
        std::string values;
        int32_t type;
        std::string value;
    } cases[] = {
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
    auto r = s.client.exec("CALL kvc_hypot(?, ?)", 1, param("", 1, 9, be64(0)));
    ASSERT_EQ(tags(r), "EK");
    r = s.client.exec("CALL no_such_proc");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_NE(r[0].text.find("no_such_proc"), std::string::npos);
}

TEST(ProcedureWire, ResultSetsWaitForTheContinueRequestEvery200Rows) {
    Logged s;
    s.client.send_raw(command("CALL kvc_series(?, ?)", 2, param("", 1, 5, be32(450)) + param("", 2, 6, be64(0))));
    ASSERT_EQ(s.client.read_tag(), 'P');
    Message p = s.client.read_message('P');
    EXPECT_EQ(get64(p.text), 450 * 451 / 2);
    ASSERT_EQ(s.client.read_tag(), 'A');
    Message a = s.client.read_message('A');
    ASSERT_EQ(a.columns.size(), 3u);
    int received = 0;
    auto read_rows = [&](int n) {
        for (int k = 0; k < n; ++k) {
            if (k > 0 || received == 0) {
                ASSERT_EQ(s.client.read_tag(), 'R');
            }
            for (int c = 0; c < 3; ++c) s.client.recv_exact(size_t(get32(s.client.recv_exact(4))));
            ++received;
        }
    };
    read_rows(200);
    // The next row's tag arrives, then nothing until the client sends ".".
    ASSERT_EQ(s.client.read_tag(), 'R');
    EXPECT_FALSE(s.client.closed_by_peer(300));
    s.client.send_raw(".");
    read_rows(200);
    ASSERT_EQ(s.client.read_tag(), 'R');
    s.client.send_raw(".");
    read_rows(50);
    EXPECT_EQ(s.client.read_tag(), 'K');
    EXPECT_EQ(received, 450);
}

TEST(ProcedureWire, ClientThatStopsAtTheContinuePointGetsItsNextCommandAnswered) {
    Logged s;
    s.client.send_raw(command("CALL kvc_series(?)", 1, param("", 1, 5, be32(300))));
    ASSERT_EQ(s.client.read_tag(), 'A');
    s.client.read_message('A');
    for (int k = 0; k < 200; ++k) {
        ASSERT_EQ(s.client.read_tag(), 'R');
        for (int c = 0; c < 3; ++c) s.client.recv_exact(size_t(get32(s.client.recv_exact(4))));
    }
    ASSERT_EQ(s.client.read_tag(), 'R');
    // Instead of ".", a new command: the rest of the result set is dropped.
    auto r = s.client.exec("SELECT 5");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(get64(*r[0].rows[0][0]), 5);
}
