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

TEST(LobWire, WithoutDescriptorsTheContentComesInTheRow) {
    Server server;
    Client c(server.port());
    c.login_plain(login_text());
    std::string big = pattern(3 << 20);
    c.exec("CREATE TABLE l(b BLOB)");
    ASSERT_EQ(tags(c.exec("INSERT INTO l VALUES (?)", 1, param("", 1, 34, big))), "IK");
    auto r = c.exec("SELECT b FROM l");
    ASSERT_EQ(r[0].columns[0].type, 34);
    EXPECT_EQ(*r[0].rows[0][0], big);
}

TEST(LobWire, DescriptorsForLargeValuesInlineFormForSmallOnes) {
    Server server;
    Client c(server.port());
    ASSERT_EQ(c.login_plain(login_text("U", "P", " lob_ret  =descriptor"))[0], 'N');
    const std::string big = pattern((2 << 20) + 10);
    c.exec("CREATE TABLE l(id INTEGER, c CLOB, b BLOB)");
    c.exec("INSERT INTO l VALUES (1, 'small', x'0102'), (2, ?, ?)", 2, param("", 1, 30, big) + param("", 1, 33, big));
    auto r = c.exec("SELECT c, b FROM l ORDER BY id");
    ASSERT_EQ(tags(r), "AK");
    EXPECT_EQ(*r[0].rows[0][0], "csmall");
    EXPECT_EQ(*r[0].rows[0][1], std::string("b\x01\x02", 3));
    for (int col = 0; col < 2; ++col) {
        const std::string desc = *r[0].rows[1][size_t(col)];
        ASSERT_GT(desc.size(), 15u);
        EXPECT_EQ(desc[0], col == 0 ? 'C' : 'B');
        EXPECT_EQ(desc.substr(14), std::to_string(big.size()));
        // The library's fetch: the first 13 characters and the limit from the 15th.
        c.send_raw(command("get lob '" + desc.substr(0, 13) + "' offset 0 limit " + desc.substr(14) + " "));
        ASSERT_EQ(c.read_tag(), 'A');
        Message a = c.read_message('A');
        ASSERT_EQ(a.columns.size(), 1u);
        ASSERT_EQ(c.read_tag(), 'R');
        std::string content;
        std::vector<int32_t> pieces;
        for (int32_t marker = get32(c.recv_exact(4)); marker != 0; marker = get32(c.recv_exact(4))) {
            int32_t n = get32(c.recv_exact(4));
            pieces.push_back(n);
            content += c.recv_exact(size_t(n));
        }
        EXPECT_EQ(pieces, (std::vector<int32_t>{1 << 20, 1 << 20, 10}));
        EXPECT_EQ(content, big);
        EXPECT_EQ(c.read_tag(), 'K');
    }
}

TEST(LobWire, UnknownDescriptorIsAnError) {
    Server server;
    Client c(server.port());
    c.login_plain(login_text("U", "P", " lob_ret  =descriptor"));
    auto r = c.exec("get lob 'C000000000099' offset 0 limit 10 ");
    ASSERT_EQ(tags(r), "EK");
}
