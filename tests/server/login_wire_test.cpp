// The login dialogue: accepted and refused logins, both protocol answers,
// and the encrypted login with RSA blocks and the session keystream.
#include <gtest/gtest.h>

#include <unistd.h>

#include "raw_peer.h"

using namespace kvcd_test;

// A login text that arrives in pieces is awaited to its end.
TEST(LoginWire, ProtocolAnswers) {
    Server s, old({"--protocol", "201"});
    Client c(s.port()), c201(old.port());
    const std::string text = login_text();
    c.send_raw(text.substr(0, 20));
    usleep(100000);
    EXPECT_EQ(c.login_plain(text.substr(20)), "N" + be32(301) + "K");
    EXPECT_EQ(c201.login_plain(text), "K");
}

TEST(LoginWire, ConfiguredUsersAndCharacterSets) {
    Server s({"--user", "alice", "--password", "s3cret", "--user", "bob", "--password", "x y'z"});
    const struct { std::string user, password, extra, refusal; } cases[] = {
        {"alice", "s3cret", " char_set = 'UTF8'", ""},
        {"bob", "x y'z", "", ""},  // blanks and a quote inside the password
        {"alice", "wrong", "", "refused"},
        {"mallory", "s3cret", "", "refused"},
        {"alice", "s3cret", " char_set = 'EBCDIC'", "EBCDIC"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.user + k.extra);
        Client c(s.port());
        const std::string answer = c.login_plain(login_text(k.user, k.password, k.extra));
        if (k.refusal.empty()) {
            EXPECT_EQ(answer[0], 'N');
            continue;
        }
        ASSERT_EQ(answer[0], 'E');
        EXPECT_EQ(size_t(get32(answer, 1)), answer.size() - 5);
        EXPECT_NE(answer.find(k.refusal), std::string::npos);
    }
}

TEST(LoginWire, EncryptedLoginThenEncipheredCommands) {
    Server s({"--user", "U", "--password", "P"});
    // Texts of 29, 30 and 65 characters put the 07 07 pairs at every edge.
    for (const std::string& extra : {std::string(), " keyword_filter='" + std::string(41, 'k') + "'"}) {
        Client c(s.port());
        EXPECT_EQ(c.login_encrypted("login database = D user='U' password='P' char_set = '' iso_level = ''" + extra +
                                    " lock_timeout = 300 auto_commit = 'on' return_cursor_id  = 'on'"
                                    " lob_ret=descriptor version = '301'"),
                  "N" + be32(301) + "K");
        // More than 3400 bytes each way crosses a keystream block.
        const std::string big(5000, 'x');
        auto r = c.exec("SELECT '" + big + "' AS v, 42 AS n");
        ASSERT_EQ(tags(r), "AK");
        ASSERT_EQ(r[0].rows.size(), 1u);
        EXPECT_EQ(*r[0].rows[0][0], big);
        EXPECT_EQ(get64(*r[0].rows[0][1]), 42);
    }
}

TEST(LoginWire, EncryptedRefusals) {
    Server s({"--user", "U", "--password", "P"});
    Client wrong(s.port());
    const std::string answer = wrong.login_encrypted(
        "login database = D user='U' password='bad' char_set = '' iso_level = '' auto_commit = 'on' version = '301'");
    ASSERT_EQ(answer[0], 'E');  // deciphered: the refusal is enciphered too
    EXPECT_NE(answer.find("refused"), std::string::npos);

    // Blocks that decrypt to noise: neither a terminator nor the 07 07 pair.
    Client noise(s.port());
    noise.send_raw("~ssl~");
    // Exponent then modulus, little-endian: a modulus of full 256 bits.
    const std::string key = noise.recv_exact(64);
    EXPECT_NE(key[63] & 0x80, 0);
    noise.send_raw(std::string(32 * 16, '\x01'));
    EXPECT_TRUE(noise.closed_by_peer());
    Client other(s.port());
    EXPECT_EQ(other.login_plain(login_text())[0], 'N');
}
