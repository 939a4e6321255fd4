// The login dialogue against the scripted peer: the exact login texts of both
// variants, the 07 07 expansion, the RSA blocks and the keystream that
// follows, the reply rules, and the reconnect.
#include "kvc.h"
#include "kvc_command.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "support/scripted_peer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Welcome = ScriptedPeer::Welcome;

// Opens through the exported call; closes the handle at scope end.
struct OpenedConn {
    void* handle = nullptr;
    int status = 0;
    explicit OpenedConn(const std::string& text) { status = KVC_OpenConn(text.c_str(), &handle); }
    ~OpenedConn() {
        if (handle != nullptr) KVC_CloseConn(&handle);
    }
    Conn_Attrs* conn() { return static_cast<Conn_Attrs*>(handle); }
    std::string error() { return conn() && conn()->error_text ? conn()->error_text : ""; }
};

bool login_seen(const ScriptedPeer::Session& s) { return s.login_complete; }
bool closed(const ScriptedPeer::Session& s) { return s.closed; }

std::string login_text_of(const std::string& extra, bool encrypted) {
    ScriptedPeer peer;
    OpenedConn open(peer.conn_str(extra + (encrypted ? ";USE_SSL=on" : "")));
    EXPECT_EQ(open.status, 2) << open.error();
    EXPECT_TRUE(peer.wait_session(0, login_seen));
    return peer.session(0).login_text;
}

TEST(LoginWire, PlainTextWithDefaults) {
    EXPECT_EQ(login_text_of("DB=D;USER=U;PWD=P", false),
              "login database = D user='U' password='P' lock_timeout = 300 auto_commit = 'on' "
              "return_cursor_id  = 'on' version = '301'");
}

TEST(LoginWire, VariantsDifferAsTheyShould) {
    struct Case {
        const char* extra;
        const char* plain;       // the text between the password piece and " auto_commit"
        const char* encrypted;
    };
    const Case cases[] = {
        {"", " lock_timeout = 300", " char_set = '' iso_level = '' lock_timeout = 300"},
        {"CHAR_SET=UTF8;ISO_LEVEL=RC", " char_set = 'UTF8' iso_level = 'RC' lock_timeout = 300",
         " char_set = 'UTF8' iso_level = 'RC' lock_timeout = 300"},
        {"LOCK_TIMEOUT=-5", " lock_timeout = -5", " char_set = '' iso_level = ''"},
        {"LOCK_TIMEOUT=0", "", " char_set = '' iso_level = ''"},
        {"LOCK_TIMEOUT=x;CURRENT_SCHEMA=S;KEYWORD_FILTER=K",
         " current_schema = 'S' keyword_filter='K'",
         " char_set = '' iso_level = '' current_schema = 'S' keyword_filter='K'"},
    };
    for (const Case& c : cases) {
        const std::string head = "login database = D user='U' password='P'";
        const std::string tail = " auto_commit = 'on' return_cursor_id  = 'on' version = '301'";
        const std::string extra = std::string("DB=D;USER=U;PWD=P;") + c.extra;
        EXPECT_EQ(login_text_of(extra, false), head + c.plain + tail) << c.extra;
        EXPECT_EQ(login_text_of(extra, true), head + c.encrypted + tail) << c.extra;
    }
}

TEST(LoginWire, SwitchPiecesAndTheirSpelling) {
    const std::string flags = "DB=D;USER=U;PWD=P;LOCK_TIMEOUT=0;AUTO_COMMIT=off;RETURN_CURSOR_ID=off;LOB_RET=1";
    EXPECT_EQ(login_text_of(flags, false),
              "login database = D user='U' password='P' auto_commit = 'off' lob_ret  =descriptor "
              "version = '301'");
    EXPECT_EQ(login_text_of(flags, true),
              "login database = D user='U' password='P' char_set = '' iso_level = '' auto_commit = 'off' "
              "lob_ret=descriptor version = '301'");
}

TEST(LoginWire, PlainTextIsCutAt511) {
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    for (char* field : {conn->user, conn->password, conn->char_set, conn->iso_level, conn->current_schema,
                        conn->keyword_filter, conn->protocol_version})
        memset(field, 'x', 63);
    memset(conn->database, 'd', 127);
    char text[512];
    EXPECT_EQ(build_login_text(conn, false, text, sizeof text), -12);
    EXPECT_EQ(strlen(text), 511u);
    free(conn);
}

TEST(LoginWire, SevensAfterEveryThirtyCharacters) {
    struct Case {
        int length;
        int expanded;
        std::vector<int> sevens;
    };
    const Case cases[] = {{0, 0, {}}, {29, 29, {}}, {30, 32, {30, 31}}, {31, 33, {30, 31}},
                          {65, 69, {30, 31, 62, 63}}, {90, 96, {30, 31, 62, 63, 94, 95}}};
    for (const Case& c : cases) {
        char buffer[128] = {0};
        for (int i = 0; i < c.length; ++i) buffer[i] = static_cast<char>('A' + i % 26);
        EXPECT_EQ(insert_7(buffer), c.expanded);
        EXPECT_EQ(static_cast<int>(strlen(buffer)), c.expanded);
        std::string kept;
        for (int i = 0; i < c.expanded; ++i) {
            bool is_seven = std::find(c.sevens.begin(), c.sevens.end(), i) != c.sevens.end();
            EXPECT_EQ(buffer[i] == 0x07, is_seven) << c.length << " at " << i;
            if (!is_seven) kept += buffer[i];
        }
        for (int i = 0; i < c.length; ++i) EXPECT_EQ(kept[i], 'A' + i % 26) << c.length;
    }
}

TEST(LoginWire, EncryptedLoginSendsKeyAndTextBlocks) {
    // 64 = expanded length + 1 for the second case, which sends exactly 3 blocks.
    for (const std::string& password : {std::string("P"), std::string("0123456789")}) {
        ScriptedPeer peer;
        OpenedConn open(peer.conn_str("DB=D;USER=U;PWD=" + password + ";USE_SSL=on"));
        ASSERT_EQ(open.status, 2) << open.error();
        EXPECT_STREQ(open.conn()->protocol_version, "301");
        ScriptedPeer::Session s = peer.session(0);
        ASSERT_TRUE(s.encrypted);
        const size_t length = s.login_text.size();
        const size_t expanded = length + 2 * (length / 30);
        const size_t blocks = (expanded + 1 + 31) / 32;
        EXPECT_EQ(s.login_raw.size(), 5 + 32 * (blocks + 1));
        EXPECT_TRUE(s.sevens_ok);
        EXPECT_EQ(s.login_text.rfind("login database = D user='U' password='" + password + "'", 0), 0u);
        ASSERT_EQ(s.session_key.size(), 32u);
        EXPECT_EQ(s.session_key[31] & 0x80, 0);
        EXPECT_NE(open.conn()->send_cipher, nullptr);
        EXPECT_NE(open.conn()->recv_cipher, nullptr);
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
    ScriptedPeer::Session s = peer.session(0);
    ASSERT_EQ(s.commands.size(), 2u);
    EXPECT_EQ(s.commands[0], command);
    EXPECT_EQ(s.commands[1], "UPDATE t");
}

TEST(LoginWire, ReplyRules) {
    struct Case {
        Welcome welcome;
        bool encrypted;
        int status;
        const char* version;
    };
    const Case cases[] = {
        {Welcome::AcceptK, false, 2, "201"}, {Welcome::AcceptN, false, 2, "301"},
        {Welcome::AcceptK, true, 2, "201"},  {Welcome::AcceptN, true, 2, "301"},
        {Welcome::RefuseLogin, false, -9, nullptr}, {Welcome::RefuseLogin, true, -9, nullptr},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer;
        peer.set_welcome(c.welcome);
        OpenedConn open(peer.conn_str(std::string("DB=D;USER=U;PWD=P") + (c.encrypted ? ";ssl=on" : "")));
        EXPECT_EQ(open.status, c.status) << static_cast<int>(c.welcome) << c.encrypted;
        if (c.version != nullptr) {
            EXPECT_STREQ(open.conn()->protocol_version, c.version);
        } else {
            EXPECT_EQ(open.error(), "[EC012]Error in build-database-connect LOGIN database Failure");
            EXPECT_EQ(open.conn()->sock_fd, 0);
            EXPECT_EQ(open.conn()->send_cipher, nullptr);
        }
    }
}

// Drives Login_database directly to see its own texts, which the open replaces.
TEST(LoginWire, LoginFailureTexts) {
    struct Case {
        Welcome welcome;
        bool encrypted;
        const char* text;
    };
    const Case cases[] = {
        {Welcome::RefuseLogin, false, "[EC0196]Error Can't finish build connect ,Receives K failed"},
        {Welcome::CloseAfterLogin, false, "[EC0195]Error when RECIEVING ,Net Recieve Error"},
        {Welcome::CloseAfterLogin, true, "[EC0196]Error Can't finish build connect ,Receives K failed"},
        {Welcome::CloseAtOnce, true, "[EC0195]Error when RECIEVING ,Net Recieve Error"},
    };
    for (const Case& c : cases) {
        ScriptedPeer peer;
        peer.set_welcome(c.welcome);
        Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
        Phrase_conn_str(peer.conn_str("DB=D;USER=U;PWD=P").c_str(), conn);
        conn->use_ssl = c.encrypted;
        kv_strcpy_s(conn->protocol_version, sizeof conn->protocol_version, "301");
        conn->recv_timeout = 5;
        ASSERT_EQ(Build_connect(conn), 1);
        EXPECT_EQ(Login_database(conn), 0);
        EXPECT_STREQ(conn->error_text, c.text) << static_cast<int>(c.welcome) << c.encrypted;
        EXPECT_EQ(conn->sock_fd, 0);
        free(conn->error_text);
        free(conn);
    }
}

TEST(LoginWire, NotFollowedByKIsARefusal) {
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    conn->sock_fd = fds[0];
    const char reply[] = {'N', 1, 2, 3, 4, 'X', 0, 0, 0, 2, 'n', 'o'};
    ASSERT_EQ(write(fds[1], reply, sizeof reply), static_cast<ssize_t>(sizeof reply));
    EXPECT_EQ(Login_database(conn), 0);
    EXPECT_STREQ(conn->error_text, "[EC0196]Error Can't finish build connect ,Receives K failed");
    EXPECT_EQ(conn->sock_fd, 0);
    close(fds[1]);
    free(conn->error_text);
    free(conn);
}

TEST(LoginWire, EncryptedLoginThatCannotFitIsRefusedBeforeSending) {
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
    ScriptedPeer peer;
    OpenedConn open(peer.conn_str(fields + ";DB=" + std::string(45, 'd')));
    EXPECT_EQ(open.status, -9);
    EXPECT_EQ(open.error().rfind("[EC0199]", 0), 0u) << open.error();
    EXPECT_EQ(open.conn()->sock_fd, 0);
    ASSERT_TRUE(peer.wait_session(0, closed));
    EXPECT_TRUE(peer.session(0).login_raw.empty());
}

TEST(LoginWire, ZeroPublicKeyIsRefused) {
    ScriptedPeer peer;
    peer.set_welcome(Welcome::ZeroPublicKey);
    OpenedConn open(peer.conn_str("DB=D;USER=U;PWD=P;USE_SSL=on"));
    EXPECT_EQ(open.status, -9);
    EXPECT_EQ(open.error().rfind("[EC0194]", 0), 0u) << open.error();
    ASSERT_TRUE(peer.wait_session(0, closed));
    EXPECT_EQ(peer.session(0).login_raw.size(), 5u);   // "~ssl~" and nothing after it
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

    peer.set_welcome_of(3, Welcome::RefuseLogin);
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), -9);
    EXPECT_EQ(open.error(), "[EC0198]Error when LOGIN database Failure");
    EXPECT_EQ(open.conn()->sock_fd, 0);
    EXPECT_EQ(open.conn()->send_cipher, nullptr);
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), 1);   // only the third connection was refused

    open.conn()->port = 1;   // nothing listens there
    EXPECT_EQ(KVC_ReconnectConn(&open.handle), -8);
    EXPECT_EQ(open.error(), "[EC0197]Error when RECONNECT Sock Failure");
}

}  // namespace
