// The login dialogue against the scripted peer: the exact login texts of both
// variants, the 07 07 expansion, the RSA blocks and the keystream that
// follows, the reply rules, and the reconnect.
#include "kvc.h"
#include "kvc_command.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "mp/mp.h"
#include "support/scripted_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Welcome = ScriptedPeer::Welcome;
const char kNoK[] = "[EC0196]Error Can't finish build connect ,Receives K failed";

// Opens through the exported call; closes the handle at scope end.
struct OpenedConn {
    void* handle = nullptr;
    int status = 0;
    explicit OpenedConn(const std::string& text) { status = KVC_OpenConn(text.c_str(), &handle); }
    ~OpenedConn() { KVC_CloseConn(&handle); }
    Conn_Attrs* conn() { return static_cast<Conn_Attrs*>(handle); }
    std::string error() { return conn() && conn()->error_text ? conn()->error_text : ""; }
};

bool login_seen(const ScriptedPeer::Session& s) { return s.login_complete; }
bool closed(const ScriptedPeer::Session& s) { return s.closed; }

// A bare record for driving Login_database directly; frees itself and its text.
struct BareConn {
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    ~BareConn() {
        free(conn->error_text);
        free(conn);
    }
};

std::string login_text_of(const std::string& extra, bool encrypted) {
    ScriptedPeer peer;
    OpenedConn open(peer.conn_str("DB=D;USER=U;PWD=P;" + extra + (encrypted ? ";USE_SSL=on" : "")));
    EXPECT_EQ(open.status, 2) << open.error();
    EXPECT_TRUE(peer.wait_session(0, login_seen));
    return peer.session(0).login_text;
}

TEST(LoginWire, TextPiecesOfBothVariants) {
    const std::string head = "login database = D user='U' password='P'";
    const std::string on = " auto_commit = 'on' return_cursor_id  = 'on' version = '301'";
    const std::string empty_pair = " char_set = '' iso_level = ''";
    struct Case {
        const char* extra;
        std::string plain, encrypted;   // what follows the password piece
    } cases[] = {
        {"", " lock_timeout = 300" + on, empty_pair + " lock_timeout = 300" + on},
        {"CHAR_SET=UTF8;ISO_LEVEL=RC", " char_set = 'UTF8' iso_level = 'RC' lock_timeout = 300" + on,
         " char_set = 'UTF8' iso_level = 'RC' lock_timeout = 300" + on},
        {"LOCK_TIMEOUT=-5", " lock_timeout = -5" + on, empty_pair + on},
        {"LOCK_TIMEOUT=x;CURRENT_SCHEMA=S;KEYWORD_FILTER=K", " current_schema = 'S' keyword_filter='K'" + on,
         empty_pair + " current_schema = 'S' keyword_filter='K'" + on},
        {"LOCK_TIMEOUT=0;AUTO_COMMIT=off;RETURN_CURSOR_ID=off;LOB_RET=1",
         " auto_commit = 'off' lob_ret  =descriptor version = '301'",
         empty_pair + " auto_commit = 'off' lob_ret=descriptor version = '301'"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(login_text_of(c.extra, false), head + c.plain) << c.extra;
        EXPECT_EQ(login_text_of(c.extra, true), head + c.encrypted) << c.extra;
    }
}

TEST(LoginWire, PlainTextIsCutAt511) {
    BareConn bare;
    Conn_Attrs* conn = bare.conn;
    for (char* field : {conn->user, conn->password, conn->char_set, conn->iso_level, conn->current_schema,
                        conn->keyword_filter, conn->protocol_version})
        memset(field, 'x', 63);
    memset(conn->database, 'd', 127);
    char text[512];
    EXPECT_EQ(build_login_text(conn, false, text, sizeof text), -12);
    EXPECT_EQ(strlen(text), 511u);
}

TEST(LoginWire, SevensAfterEveryThirtyCharacters) {
    const std::pair<int, int> cases[] = {{0, 0}, {29, 29}, {30, 32}, {31, 33}, {65, 69}, {90, 96}};
    for (const auto& [length, expanded] : cases) {
        SCOPED_TRACE(length);
        char buffer[128] = {0};
        std::string text, want;
        for (int i = 0; i < length; ++i) text += static_cast<char>('A' + i % 26);
        for (int i = 0; i < length; i += 30) want += text.substr(i, 30) + (i + 30 <= length ? "\a\a" : "");
        memcpy(buffer, text.data(), text.size());
        EXPECT_EQ(insert_7(buffer), expanded);
        EXPECT_EQ(std::string(buffer), want);
    }
}

TEST(LoginWire, SessionKeyFromEightDrawsAndThePassword) {
    spPseudoRand(0, 1);   // the generator's own seeding happens once, before this
    unsigned char expected[32], bare[32], mixed[32];
    srand(11);
    for (int i = 0; i < 8; ++i) {
        const uint32_t draw = spPseudoRand(0, 0xFFFFFFFFu);
        memcpy(expected + 4 * i, &draw, 4);   // the draws one after the other in host order
    }
    expected[31] &= 0x7F;   // only bit 7 of byte 31 cleared
    srand(11);
    make_session_key("", bare);
    srand(11);
    make_session_key("abc", mixed);
    EXPECT_EQ(Bytes(bare, bare + 32), Bytes(expected, expected + 32));
    for (int i = 0; i < 31; ++i) EXPECT_EQ(mixed[i] ^ bare[i], "abc"[i % 3]) << i;
    EXPECT_EQ(mixed[31], (expected[31] ^ 'b') & 0x7F);
}

TEST(LoginWire, EncryptedLoginSendsKeyAndTextBlocks) {
    // "~ssl~", the key block, then 32-byte blocks of the expanded text and its terminator:
    // 148 characters expand to 156 (5 blocks); 157 expand to 167 (6 blocks).
    for (const auto& [password, blocks] : {std::pair<std::string, size_t>{"P", 5}, {std::string(10, 'p'), 6}}) {
        ScriptedPeer peer;
        OpenedConn open(peer.conn_str("DB=D;USER=U;PWD=" + password + ";USE_SSL=on"));
        ASSERT_EQ(open.status, 2) << open.error();
        EXPECT_STREQ(open.conn()->protocol_version, "301");
        ScriptedPeer::Session s = peer.session(0);
        EXPECT_EQ(s.login_raw.size(), 5 + 32 * (blocks + 1)) << s.login_text.size();
        EXPECT_TRUE(s.sevens_ok);
        EXPECT_EQ(s.login_text.rfind("login database = D user='U' password='" + password + "'", 0), 0u);
        ASSERT_EQ(s.session_key.size(), 32u);
        EXPECT_EQ(s.session_key[31] & 0x80, 0);
    }
}

TEST(LoginWire, EncryptedTrafficBeyondKeystreamPeriodBothWays) {
    ScriptedPeer peer;
    const std::string big_text(4000, 'w');
    peer.script(WireBuilder().tag('W').str(big_text).tag('K'));
    peer.script(WireBuilder().tag('U').i32(7).tag('K'));
    OpenedConn open(peer.conn_str("DB=D;USER=U;PWD=P;USE_SSL=yes"));
    ASSERT_EQ(open.status, 2) << open.error();

    const std::string command = "INSERT " + std::string(3600, 'c');
    sendCommand0(open.conn(), command.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(recv_noQuery(open.conn()), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(open.error(), big_text);
    sendCommand0(open.conn(), "UPDATE t");
    EXPECT_EQ(recv_noQuery(open.conn()), 7);
    EXPECT_EQ(peer.session(0).commands, (std::vector<std::string>{command, "UPDATE t"}));
}

TEST(LoginWire, ReplyRules) {
    struct Case {
        Welcome welcome;
        const char* version;   // null: refused
    } cases[] = {{Welcome::AcceptK, "201"}, {Welcome::AcceptN, "301"}, {Welcome::RefuseLogin, nullptr}};
    for (const Case& c : cases) {
        for (bool encrypted : {false, true}) {
            SCOPED_TRACE(static_cast<int>(c.welcome) * 2 + encrypted);
            ScriptedPeer peer;
            peer.set_welcome(c.welcome);
            OpenedConn open(peer.conn_str(std::string("DB=D;USER=U;PWD=P") + (encrypted ? ";ssl=on" : "")));
            if (c.version != nullptr) {
                EXPECT_EQ(open.status, 2);
                EXPECT_STREQ(open.conn()->protocol_version, c.version);
            } else {
                EXPECT_EQ(open.status, -9);
                EXPECT_EQ(open.error(), "[EC012]Error in build-database-connect LOGIN database Failure");
                EXPECT_EQ(open.conn()->sock_fd, 0);
                EXPECT_EQ(open.conn()->send_cipher, nullptr);
            }
        }
    }
}

// Drives Login_database directly to see its own texts, which the open replaces.
TEST(LoginWire, LoginFailureTexts) {
    struct Case {
        Welcome welcome;
        bool encrypted;
        const char* text;
    } cases[] = {
        {Welcome::RefuseLogin, false, kNoK},
        {Welcome::CloseAfterLogin, false, "[EC0195]Error when RECIEVING ,Net Recieve Error"},
        {Welcome::CloseAfterLogin, true, kNoK},
        {Welcome::CloseAtOnce, true, kNoK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.welcome) * 2 + c.encrypted);
        ScriptedPeer peer;
        peer.set_welcome(c.welcome);
        BareConn bare;
        Phrase_conn_str(peer.conn_str("DB=D;USER=U;PWD=P").c_str(), bare.conn);
        bare.conn->use_ssl = c.encrypted;
        kv_strcpy_s(bare.conn->protocol_version, sizeof bare.conn->protocol_version, "301");
        bare.conn->recv_timeout = 5;
        ASSERT_EQ(Build_connect(bare.conn), 1);
        EXPECT_EQ(Login_database(bare.conn), 0);
        EXPECT_STREQ(bare.conn->error_text, c.text);
        EXPECT_EQ(bare.conn->sock_fd, 0);
    }
}

// Over a bare socket pair: the plain login is the text alone, byte for byte
// (no tag, length or terminator), and only 'N' with a fifth byte 'K' accepts.
TEST(LoginWire, PlainLoginBytesAndTheFifthByte) {
    const std::string expected =
        "login database = D user='U' password='P' lock_timeout = 300 auto_commit = 'on'"
        " return_cursor_id  = 'on' version = '301'";
    struct Case {
        std::vector<char> reply;
        int result;
    } cases[] = {
        {{'N', 1, 2, 3, 4, 'K'}, 1},
        {{'N', 1, 2, 3, 4, 'X', 0, 0, 0, 2, 'n', 'o'}, 0},
    };
    for (const Case& c : cases) {
        BareConn bare;
        Phrase_conn_str("DB=D;USER=U;PWD=P", bare.conn);
        bare.conn->lock_timeout = 300;
        kv_strcpy_s(bare.conn->protocol_version, sizeof bare.conn->protocol_version, "301");
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        bare.conn->sock_fd = fds[0];
        ASSERT_EQ(write(fds[1], c.reply.data(), c.reply.size()), static_cast<ssize_t>(c.reply.size()));
        EXPECT_EQ(Login_database(bare.conn), c.result);
        if (c.result == 1) {
            close(bare.conn->sock_fd);   // the peer now sees the end of what was sent
        } else {
            EXPECT_STREQ(bare.conn->error_text, kNoK);
            EXPECT_EQ(bare.conn->sock_fd, 0);
        }
        std::string sent;
        char chunk[256];
        for (ssize_t n; (n = read(fds[1], chunk, sizeof chunk)) > 0;) sent.append(chunk, static_cast<size_t>(n));
        EXPECT_EQ(sent, expected);
        close(fds[1]);
    }
}

// Refusals the library makes itself keep their own texts through the open.
TEST(LoginWire, EncryptedLoginsRefusedBeforeTheTextIsSent) {
    // With these fields the text is 405 characters plus the database name:
    // 449 characters expand to 477 and fit with their terminator; 450 need 481.
    const std::string fields = "USE_SSL=on;USER=" + std::string(60, 'u') + ";PWD=" + std::string(60, 'p') +
                               ";CHAR_SET=" + std::string(60, 'c') + ";CURRENT_SCHEMA=" + std::string(60, 's');
    {
        ScriptedPeer peer;
        OpenedConn fits(peer.conn_str(fields + ";DB=" + std::string(44, 'd')));
        ASSERT_EQ(fits.status, 2) << fits.error();
        EXPECT_EQ(peer.session(0).login_text.size(), 449u);
        EXPECT_EQ(peer.session(0).login_raw.size(), 5u + 32 * 16);
    }
    struct Case {
        std::string extra;
        Welcome welcome;
        const char* text;
        size_t sent;
    } cases[] = {
        {fields + ";DB=" + std::string(45, 'd'), Welcome::AcceptN,
         "[EC0199]Error login text too long for an encrypted login (480 bytes with the 07 07 pairs)", 0},
        {"DB=D;USE_SSL=on", Welcome::ZeroPublicKey,
         "[EC0194]Error server public key unusable: zero exponent or modulus", 5},   // "~ssl~" only
    };
    for (const Case& c : cases) {
        ScriptedPeer peer;
        peer.set_welcome(c.welcome);
        OpenedConn open(peer.conn_str(c.extra));
        EXPECT_EQ(open.status, -9);
        EXPECT_EQ(open.error(), c.text);
        EXPECT_EQ(open.conn()->sock_fd, 0);
        ASSERT_TRUE(peer.wait_session(0, closed));
        EXPECT_EQ(peer.session(0).login_raw.size(), c.sent);
    }
}

TEST(LoginWire, Reconnect) {
    ScriptedPeer peer;
    OpenedConn open(peer.conn_str("DB=D;USER=U;PWD=P;USE_SSL=on"));
    ASSERT_EQ(open.status, 2);
    open.conn()->has_prepared = 1;   // nothing but the socket and the login is redone
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), 1);
    EXPECT_EQ(peer.connection_count(), 2);
    EXPECT_EQ(open.conn()->has_prepared, 1);
    open.conn()->has_prepared = 0;
    // The new session's keystreams are in step on both sides.
    peer.script(WireBuilder().tag('D').i32(3).tag('K'));
    sendCommand0(open.conn(), "DELETE FROM t");
    EXPECT_EQ(recv_noQuery(open.conn()), 3);
    EXPECT_EQ(peer.session(1).commands.at(0), "DELETE FROM t");

    peer.set_welcome(Welcome::RefuseLogin);
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), -9);
    EXPECT_EQ(open.error(), "[EC0198]Error when LOGIN database Failure");
    EXPECT_EQ(open.conn()->sock_fd, 0);
    EXPECT_EQ(open.conn()->send_cipher, nullptr);
    peer.set_welcome(Welcome::AcceptN);   // read by each new connection as it is accepted
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), 1);

    open.conn()->port = 1;   // nothing listens there
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), -8);
    EXPECT_EQ(open.error(), "[EC0197]Error when RECONNECT Sock Failure");
}

}  // namespace
