// Prepared statements by generated name, parameter rows bound by name and by
// position, and batches in both row layouts.
#include <gtest/gtest.h>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

struct Logged {
    Server server;
    Client client;
    explicit Logged(std::vector<std::string> args = {}) : server(std::move(args)), client(server.port()) {
        client.login_plain(login_text());
        client.exec("CREATE TABLE t(id INTEGER, name VARCHAR(20), score DOUBLE)");
    }
    int64_t single(const std::string& sql) { return get64(*client.exec(sql)[0].rows[0][0]); }
};

// A batch block: int32 length, then the rows.
std::string block(const std::string& rows) { return be32(int32_t(rows.size())) + rows; }
// A typed batch row value of a 4-byte integer.
std::string typed_int(int32_t v) { return "\x05" + be32(4) + be32(v); }

}  // namespace

TEST(PreparedWire, PrepareDescribesAndDeallocateReleases) {
    Logged s;
    auto r = s.client.exec("PREPARE STC0 AS SELECT id, name FROM t WHERE id = :id AND name = ?");
    ASSERT_EQ(tags(r), "A$K");
    EXPECT_EQ(r[0].columns.size(), 2u);
    EXPECT_EQ(r[1].param_names, (std::vector<std::string>{"id", ""}));
    EXPECT_EQ(tags(s.client.exec("PREPARE STC1 AS INSERT INTO t VALUES (1, 'x', 0)")), "K");
    r = s.client.exec("PREPARE STC1 AS SELECT 1");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_NE(r[0].text.find("already exists"), std::string::npos);
    EXPECT_EQ(tags(s.client.exec("PREPARE STC2 AS SELEC 1")), "EK");

    EXPECT_EQ(tags(s.client.exec("DEALLOCATE STC0 ")), "K");
    r = s.client.exec("DEALLOCATE STC0 ");
    ASSERT_EQ(tags(r), "EK");
    EXPECT_NE(r[0].text.find("STC0"), std::string::npos);
    EXPECT_EQ(tags(s.client.exec("? STC0 ")), "EK");
}

TEST(PreparedWire, ExecuteByNameBindsNamedAndPositionalValues) {
    Logged s;
    ASSERT_EQ(tags(s.client.exec("PREPARE STC0 AS INSERT INTO t VALUES (:id, :name, :score)")), "$K");
    // Named, in another order and letter case than the statement's.
    const std::string named =
        param("NAME", 1, 30, "ann") + param("score", 1, 9, be64(0x4004000000000000LL)) + param("id", 1, 5, be32(7));
    ASSERT_EQ(tags(s.client.exec("? STC0 ", 3, named)), "IK");
    // Positional, with a null and a 4-byte integer bound with length 8.
    const std::string positional =
        be16(0) + be16(1) + be16(5) + be32(8) + be32(8) + param("", 1, 30, "bob") + param("", 1, 9, "", true);
    ASSERT_EQ(tags(s.client.exec("? STC0 ", 3, positional)), "IK");
    auto r = s.client.exec("SELECT id, name, score FROM t ORDER BY id");
    ASSERT_EQ(r[0].rows.size(), 2u);
    EXPECT_EQ(*r[0].rows[0][1], "ann");
    EXPECT_EQ(get64(*r[0].rows[0][2]), 0x4004000000000000LL);
    EXPECT_EQ(get64(*r[0].rows[1][0]), 8);
    EXPECT_FALSE(r[0].rows[1][2].has_value());

    // Unnamed values of a direct text are taken in order across its statements.
    const std::string values = param("", 1, 5, be32(3)) + param("", 1, 30, "cy") + param("", 1, 3, "\x05");
    EXPECT_EQ(tags(s.client.exec("INSERT INTO t VALUES (?, ?, 0); UPDATE t SET score = ? WHERE id = 3", 3, values)),
              "IUK");
    EXPECT_EQ(s.single("SELECT score FROM t WHERE id = 3"), 0x4014000000000000LL);  // 5.0
}

TEST(BatchWire, TypedRowsRunInOneTransactionAndAnswerTheTotal) {
    Logged s;
    // Row 0 inline with the descriptions, rows 1 and 2 in one block with a
    // type byte per value; row 2 carries nulls.
    const std::string header = param("", 1, 5, be32(1)) + param("", 1, 30, "a");
    const std::string rows = typed_int(2) + "\x1e" + be32(1) + "b" + "\x05" + be32(0) + "\x1e" + be32(0);
    auto r = s.client.exec("INSERT INTO t(id, name) VALUES (?, ?)", 2 + (3u << 16), header + block(rows));
    ASSERT_EQ(tags(r), "UK");
    EXPECT_EQ(r[0].number, 3);
    r = s.client.exec("SELECT id, name FROM t ORDER BY rowid");
    ASSERT_EQ(r[0].rows.size(), 3u);
    EXPECT_EQ(*r[0].rows[1][1], "b");
    EXPECT_FALSE(r[0].rows[2][0].has_value());
}

TEST(BatchWire, Protocol201RowsHaveNoTypeBytes) {
    Logged s({"--protocol", "201"});
    std::string rows;
    for (int k = 2; k <= 4; ++k) rows += be32(4) + be32(k);
    // Rows split over two blocks, as a large batch arrives.
    auto r = s.client.exec("INSERT INTO t(id) VALUES (?)", 1 + (4u << 16),
                           param("", 1, 5, be32(1)) + block(rows.substr(0, 8)) + block(rows.substr(8)));
    ASSERT_EQ(tags(r), "UK");
    EXPECT_EQ(r[0].number, 4);
    EXPECT_EQ(s.single("SELECT sum(id) FROM t"), 10);
}

// A failing row rolls the whole batch back; a batch of a query is refused;
// either way its rows are consumed and the stream stays in step.
TEST(BatchWire, RefusedBatchesLeaveNothingAndStayInStep) {
    Logged s;
    s.client.exec("CREATE UNIQUE INDEX u ON t(id)");
    const std::string header = param("", 1, 5, be32(1));
    auto r = s.client.exec("INSERT INTO t(id) VALUES (?)", 1 + (4u << 16),
                           header + block(typed_int(2) + typed_int(1) + typed_int(3)));
    ASSERT_EQ(tags(r), "EK");
    EXPECT_NE(r[0].text.find("UNIQUE"), std::string::npos);
    EXPECT_EQ(s.single("SELECT count(*) FROM t"), 0);
    EXPECT_EQ(tags(s.client.exec("SELECT ?", 1 + (2u << 16), header + block(typed_int(2)))), "EK");
    EXPECT_EQ(tags(s.client.exec("SELECT 1")), "AK");
}
