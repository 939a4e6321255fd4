// The login dialogue: accepted and refused logins, both protocol answers,
// and the encrypted login with RSA blocks and the session keystream.
#include <gtest/gtest.h>

#include "raw_peer.h"

using namespace kvcd_test;

TEST(LoginWire, PlainLoginAnswersProtocol301WithNFourBytesK) {
    Server s;
    Client c(s.port());
    std::string answer = c.login_plain(login_text());
    ASSERT_EQ(answer.size(), 6u);
    EXPECT_EQ(answer[0], 'N');
    EXPECT_EQ(answer[5], 'K');
    EXPECT_EQ(get32(answer, 1), 301);
}

TEST(LoginWire, Protocol201AnswersASingleK) {
    Server s({"--protocol", "201"});
    Client c(s.port());
    EXPECT_EQ(c.login_plain(login_text()), "K");
}

TEST(LoginWire, ConfiguredUsersOnlyAndRefusalCarriesText) {
    Server s({"--user", "alice", "--password", "s3cret", "--user", "bob", "--password", "x y'z"});
    struct Case {
        std::string user, password;
        bool accepted;
    } cases[] = {
        {"alice", "s3cret", true},
        {"bob", "x y'z", true},  // blanks and a quote inside the password
        {"alice", "wrong", false},
        {"mallory", "s3cret", false},
    };
    for (const auto& k : cases) {
        Client c(s.port());
        std::string answer = c.login_plain(login_text(k.user, k.password));
        if (k.accepted) {
            EXPECT_EQ(answer[0], 'N') << k.user;
        } else {
            ASSERT_EQ(answer[0], 'E') << k.user;
            EXPECT_EQ(size_t(get32(answer, 1)), answer.size() - 5);
            EXPECT_NE(answer.find("refused"), std::string::npos);
        }
    }
}

TEST(LoginWire, UnsupportedCharacterSetIsRefused) {
    Server s;
    Client ok(s.port());
    EXPECT_EQ(ok.login_plain(login_text("U", "P", " char_set = 'UTF8'"))[0], 'N');
    Client bad(s.port());
    std::string answer = bad.login_plain(login_text("U", "P", " char_set = 'EBCDIC'"));
    ASSERT_EQ(answer[0], 'E');
    EXPECT_NE(answer.find("EBCDIC"), std::string::npos);
}

TEST(LoginWire, LoginTextInSeveralPiecesIsAwaitedToItsEnd) {
    Server s;
    Client c(s.port());
    std::string text = login_text();
    c.send_raw(text.substr(0, 20));
    usleep(100000);
    EXPECT_EQ(c.login_plain(text.substr(20))[0], 'N');
}

TEST(LoginWire, EncryptedLoginThenEncipheredCommands) {
    Server s({"--user", "U", "--password", "P"});
    // Texts of 29, 30 and 65 characters put the 07 07 pairs at every edge.
    for (const std::string& extra : {std::string(), std::string(" keyword_filter='") + std::string(41, 'k') + "'"}) {
        Client c(s.port());
        std::string text = "login database = D user='U' password='P' char_set = '' iso_level = ''" + extra +
                           " lock_timeout = 300 auto_commit = 'on' return_cursor_id  = 'on'"
                           " lob_ret=descriptor version = '301'";
        std::string answer = c.login_encrypted(text);
        ASSERT_EQ(answer.size(), 6u);
        EXPECT_EQ(answer[0], 'N');
        EXPECT_EQ(answer[5], 'K');
        // More than 3400 bytes each way crosses a keystream block.
        std::string big(5000, 'x');
        auto r = c.exec("SELECT '" + big + "' AS v, 42 AS n");
        ASSERT_EQ(tags(r), "AK");
        ASSERT_EQ(r[0].rows.size(), 1u);
        EXPECT_EQ(*r[0].rows[0][0], big);
        EXPECT_EQ(get64(*r[0].rows[0][1]), 42);
    }
}

TEST(LoginWire, EncryptedLoginWithWrongPasswordIsRefusedEnciphered) {
    Server s({"--user", "U", "--password", "P"});
    Client c(s.port());
    std::string answer = c.login_encrypted(
        "login database = D user='U' password='bad' char_set = '' iso_level = '' auto_commit = 'on' version = '301'");
    ASSERT_EQ(answer[0], 'E');
    EXPECT_NE(answer.find("refused"), std::string::npos);
}

TEST(LoginWire, EncryptedBlockWithoutItsPairIsDropped) {
    Server s;
    Client c(s.port());
    c.send_raw("~ssl~");
    c.recv_exact(64);
    // Blocks that decrypt to noise: neither a terminator nor the 07 07 pair.
    c.send_raw(std::string(32 * 16, '\x01'));
    EXPECT_TRUE(c.closed_by_peer());
    Client other(s.port());
    EXPECT_EQ(other.login_plain(login_text())[0], 'N');
}
