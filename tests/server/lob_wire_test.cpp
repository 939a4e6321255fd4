// Large-object columns: content inline, descriptors when the login asked for
// them, and the "get lob" fetch in pieces of at most 1 MiB.
#include <gtest/gtest.h>

#include "raw_peer.h"

using namespace kvcd_test;

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t k = 0; k < n; ++k) s[k] = char('a' + k % 23);
    return s;
}

}  // namespace

TEST(LobWire, ContentInlineOrByDescriptor) {
    Server server;
    Client plain(server.port()), described(server.port());
    plain.login_plain(login_text());
    const std::string big = pattern((2 << 20) + 10);
    plain.exec("CREATE TABLE l(id INTEGER, c CLOB, b BLOB)");
    ASSERT_EQ(tags(plain.exec("INSERT INTO l VALUES (1, 'small', x'0102'), (2, ?, ?), (3, NULL, ?)", 3,
                              param("", 1, 30, big) + param("", 1, 33, big) + param("", 1, 34, big))),
              "IIIK");
    // Without descriptors the content comes in the row.
    auto r = plain.exec("SELECT b FROM l WHERE id = 3");
    ASSERT_EQ(r[0].columns[0].type, 34);
    EXPECT_EQ(*r[0].rows[0][0], big);

    // With them, small values come inline behind 'c'/'b', large ones as descriptors.
    ASSERT_EQ(described.login_plain(login_text("U", "P", " lob_ret  =descriptor"))[0], 'N');
    r = described.exec("SELECT c, b FROM l WHERE id < 3 ORDER BY id");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(*r[0].rows[0][0], "csmall");
    EXPECT_EQ(*r[0].rows[0][1], std::string("b\x01\x02", 3));
    for (int col = 0; col < 2; ++col) {
        const std::string desc = *r[0].rows[1][size_t(col)];
        ASSERT_GT(desc.size(), 15u);
        EXPECT_EQ(desc[0], col == 0 ? 'C' : 'B');
        EXPECT_EQ(desc.substr(14), std::to_string(big.size()));
        // The library's fetch: the first 13 characters and the limit from the 15th.
        described.send_raw(command("get lob '" + desc.substr(0, 13) + "' offset 0 limit " + desc.substr(14) + " "));
        ASSERT_EQ(described.read_tag(), 'A');
        ASSERT_EQ(described.read_message('A').columns.size(), 1u);
        ASSERT_EQ(described.read_tag(), 'R');
        std::string content;
        std::vector<int32_t> pieces;
        for (int32_t marker = get32(described.recv_exact(4)); marker != 0; marker = get32(described.recv_exact(4))) {
            pieces.push_back(get32(described.recv_exact(4)));
            content += described.recv_exact(size_t(pieces.back()));
        }
        EXPECT_EQ(pieces, (std::vector<int32_t>{1 << 20, 1 << 20, 10}));
        EXPECT_EQ(content, big);
        EXPECT_EQ(described.read_tag(), 'K');
    }
    EXPECT_EQ(tags(described.exec("get lob 'C000000000099' offset 0 limit 10 ")), "EK");
}
