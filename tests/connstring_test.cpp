// The connection-string parser: keys and synonyms, separators, trimming,
// values that do not fit, and address lists.
#include "kvc_inner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct ConnDeleter {
    void operator()(Conn_Attrs* conn) const {
        free_ips_list(conn->ips);
        free(conn);
    }
};
using ConnPtr = std::unique_ptr<Conn_Attrs, ConnDeleter>;

// A record with the defaults an open sets before parsing.
ConnPtr parsed(const std::string& text, int* result = nullptr) {
    ConnPtr conn(static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs))));
    conn->lock_timeout = 300;
    int r = Phrase_conn_str(text.c_str(), conn.get());
    if (result != nullptr) *result = r;
    return conn;
}

TEST(ConnString, TextFieldsBySynonymAnyCase) {
    struct Case {
        const char* text;
        size_t offset;
        const char* expected;
    };
    const Case cases[] = {
        {"DB=SALES;x=1", offsetof(Conn_Attrs, database), "SALES"},
        {"database=Sales;x=1", offsetof(Conn_Attrs, database), "Sales"},
        {"USER=APPUSER;x=1", offsetof(Conn_Attrs, user), "APPUSER"},
        {"uid=a b;x=1", offsetof(Conn_Attrs, user), "a b"},
        {" user id = APPUSER ;x=1", offsetof(Conn_Attrs, user), "APPUSER"},
        {"USERID=APPUSER;x=1", offsetof(Conn_Attrs, user), "APPUSER"},
        {"PWD=se=cr=et;x=1", offsetof(Conn_Attrs, password), "se=cr=et"},
        {"Password= p w ;x=1", offsetof(Conn_Attrs, password), "p w"},
        {"SERVER=10.0.0.5;x=1", offsetof(Conn_Attrs, server_ip), "10.0.0.5"},
        {"ip=10.0.0.6;x=1", offsetof(Conn_Attrs, server_ip), "10.0.0.6"},
        {"CHARACTER SET=UTF8;x=1", offsetof(Conn_Attrs, char_set), "UTF8"},
        {"Character_Set=BIG5;x=1", offsetof(Conn_Attrs, char_set), "BIG5"},
        {"charset=GBK;x=1", offsetof(Conn_Attrs, char_set), "GBK"},
        {"CURRENT_SCHEMA=S1;x=1", offsetof(Conn_Attrs, current_schema), "S1"},
        {"KEYWORD_FILTER=k;x=1", offsetof(Conn_Attrs, keyword_filter), "k"},
        {"iso level=READ COMMITTED;x=1", offsetof(Conn_Attrs, iso_level), "READ COMMITTED"},
        {"ISO_LEVEL=SERIALIZABLE;x=1", offsetof(Conn_Attrs, iso_level), "SERIALIZABLE"},
        {"ISOLEVEL=\tx\t;y=1", offsetof(Conn_Attrs, iso_level), "\tx\t"},   // only spaces are trimmed
        {"DB=   ;x=1", offsetof(Conn_Attrs, database), ""},
    };
    for (const Case& c : cases) {
        ConnPtr conn = parsed(c.text);
        EXPECT_STREQ(reinterpret_cast<const char*>(conn.get()) + c.offset, c.expected) << c.text;
    }
}

TEST(ConnString, FlagsAndNumbers) {
    struct Case {
        const char* text;
        size_t offset;
        int32_t expected;
    };
    const Case cases[] = {
        {"AUTO_COMMIT=OFF;x=1", offsetof(Conn_Attrs, auto_commit_off), 1},
        {"autocommit=False;x=1", offsetof(Conn_Attrs, auto_commit_off), 1},
        {"auto commit=no;x=1", offsetof(Conn_Attrs, auto_commit_off), 0},
        {"USE_SSL=YES;x=1", offsetof(Conn_Attrs, use_ssl), 1},
        {"USE SSL=true;x=1", offsetof(Conn_Attrs, use_ssl), 1},
        {"ssl=on;x=1", offsetof(Conn_Attrs, use_ssl), 1},
        {"USESSL=1;x=1", offsetof(Conn_Attrs, use_ssl), 0},
        {"RETURN_ROWID=on;x=1", offsetof(Conn_Attrs, return_rowid), 1},
        {"RETURN ROW_ID=yes;x=1", offsetof(Conn_Attrs, return_rowid), 0},
        {"return rowid=TRUE;x=1", offsetof(Conn_Attrs, return_rowid), 1},
        {"RETURN_ROW_ID=On;x=1", offsetof(Conn_Attrs, return_rowid), 1},
        {"LOB_RET=off;x=1", offsetof(Conn_Attrs, lob_ret_descriptor), 1},
        {"lobret=;x=1", offsetof(Conn_Attrs, lob_ret_descriptor), 1},
        {"LOB RET=descriptor;x=1", offsetof(Conn_Attrs, lob_ret_descriptor), 1},
        {"RETURN_CURSOR_ID=off;x=1", offsetof(Conn_Attrs, return_cursor_id_off), 1},
        {"RETURN CURSOR_ID=on;x=1", offsetof(Conn_Attrs, return_cursor_id_off), 0},
        {"return_cursorid=False;x=1", offsetof(Conn_Attrs, return_cursor_id_off), 1},
        {"USE_SRVCURSOR=FALSE;x=1", offsetof(Conn_Attrs, srv_cursor_off), 1},
        {"LOCK_TIMEOUT=45s;x=1", offsetof(Conn_Attrs, lock_timeout), 45},
        {"LOCKTIMEOUT=-5;x=1", offsetof(Conn_Attrs, lock_timeout), -5},
        {"LOCK TIMEOUT=abc;x=1", offsetof(Conn_Attrs, lock_timeout), 0},
        {"LOCK_TIMEOUT=99999999999;x=1", offsetof(Conn_Attrs, lock_timeout), INT32_MAX},
        {"CONNECT_TIMEOUT=3;x=1", offsetof(Conn_Attrs, connect_timeout), 3},
        {"connect timeout = 7;x=1", offsetof(Conn_Attrs, connect_timeout), 7},
        {"CONNECT_TIMEOUT=-2;x=1", offsetof(Conn_Attrs, connect_timeout), 0},
        {"RECV_TIMEOUT=1;x=1", offsetof(Conn_Attrs, recv_timeout), 1},
        {"Recv Timeout=12s;x=1", offsetof(Conn_Attrs, recv_timeout), 12},
        {"RECV_TIMEOUT=abc;x=1", offsetof(Conn_Attrs, recv_timeout), 0},
        {"TIME_ZONE=+08:00;x=1", offsetof(Conn_Attrs, lock_timeout), 300},
    };
    for (const Case& c : cases) {
        ConnPtr conn = parsed(c.text);
        int32_t value;
        memcpy(&value, reinterpret_cast<const char*>(conn.get()) + c.offset, sizeof value);
        EXPECT_EQ(value, c.expected) << c.text;
    }
    EXPECT_EQ(parsed("PORT=5000;x=1")->port, 5000);
    EXPECT_EQ(parsed("PORT=70000;x=1")->port, static_cast<uint16_t>(70000));   // kept in 16 bits
}

// Every fixed-size text field of the record is filled by these two.
TEST(BoundedText, CopyAndAppendCutAtTheirSize) {
    struct Case {
        const char* before;   // null: copy, else append to this text
        const char* src;
        const char* after;
        int result;
    } cases[] = {
        {nullptr, "abcd", "abcd", 0},       // size - 1 characters fit whole
        {nullptr, "abcde", "abcd", -12},    // size characters: the last one is cut
        {nullptr, "", "", 0},
        {"ab", "cd", "abcd", 0},
        {"ab", "cde", "abcd", -12},
        {"abcd", "x", "abcd", -12},         // already full: left as it was
        {"abcd", "", "abcd", 0},
    };
    for (const Case& c : cases) {
        char buf[8];
        memset(buf, '#', sizeof buf);
        if (c.before != nullptr) memcpy(buf, c.before, strlen(c.before) + 1);
        const int result = c.before == nullptr ? kv_strcpy_s(buf, 5, c.src) : kv_strcat_s(buf, 5, c.src);
        SCOPED_TRACE(std::string(c.before ? c.before : "(copy)") + " + " + c.src);
        EXPECT_EQ(result, c.result);
        EXPECT_STREQ(buf, c.after);
        // Everything after the text up to the size is zero, nothing beyond it is touched.
        for (size_t i = strlen(c.after); i < 5; ++i) EXPECT_EQ(buf[i], '\0') << i;
        EXPECT_EQ(std::string(buf + 5, 3), "###");
    }
}

TEST(ConnString, SeparatorsAndShortTexts) {
    // Texts without a separator are ignored; with a ';' anywhere, commas belong to the values.
    struct Case {
        const char* text;
        int result;
        const char *ip, *database, *user, *char_set;
    } cases[] = {
        {"IP=10.0.0.5", 0, "", "", "", ""},
        {"DB=A", 0, "", "", "", ""},
        {"DB=A,USER=B,CHAR_SET=C", 1, "", "A", "B", "C"},
        {"DB=A,B;USER=U;", 1, "", "A,B", "U", ""},
    };
    for (const Case& c : cases) {
        int result = -1;
        ConnPtr conn = parsed(c.text, &result);
        EXPECT_EQ(result, c.result) << c.text;
        EXPECT_EQ(std::string(conn->server_ip) + "|" + conn->database + "|" + conn->user + "|" + conn->char_set,
                  std::string(c.ip) + "|" + c.database + "|" + c.user + "|" + c.char_set) << c.text;
        EXPECT_EQ(conn->lock_timeout, 300) << c.text;
    }

    ConnPtr odd = parsed(";;noequals;USER  ID=X;FOO=1;DB=D");
    EXPECT_STREQ(odd->user, "");   // two spaces inside the key: not a keyword
    EXPECT_STREQ(odd->database, "D");
    EXPECT_EQ(Phrase_conn_str(nullptr, odd.get()), 0);
}

TEST(ConnString, OverlongKeysAndValuesAreCut) {
    const std::string long_value(100, 'v');
    char key[64], value[64];
    std::string item = std::string(70, 'k') + "=" + long_value;
    ASSERT_EQ(Set_Item_value(item.c_str(), key, value), 1);
    EXPECT_EQ(strlen(key), 63u);
    EXPECT_EQ(strlen(value), 63u);

    ConnPtr conn = parsed("DB=" + long_value + ";USER=" + long_value + ";IP=" + std::string(40, '1') +
                          ";PWD=" + long_value);
    for (const char* field : {conn->database, conn->user, conn->password}) EXPECT_EQ(std::string(field), long_value.substr(0, 63));
    EXPECT_EQ(std::string(conn->server_ip), std::string(31, '1'));

    // An item of 128 characters or more is ignored whole.
    ConnPtr ignored = parsed("DB=" + std::string(125, 'd') + ";USER=U");
    EXPECT_STREQ(ignored->database, "");
    EXPECT_STREQ(ignored->user, "U");
}

TEST(ConnString, AddressList) {
    ConnPtr conn = parsed("IPS=10.0.0.1,10.0.0.2,10.0.0.3;DB=X");
    EXPECT_EQ(conn->has_ips, 1);
    ASSERT_NE(conn->ips, nullptr);
    ASSERT_EQ(conn->ips->addr_count, 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(conn->ips->addrs[i], "10.0.0." + std::to_string(i + 1));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(conn->ips->failed_addrs[i], nullptr);
    EXPECT_STREQ(conn->database, "X");

    ConnPtr other = parsed("Ips=10.0.0.1,10.0.0.2;DB=X");
    EXPECT_EQ(other->has_ips, 0);
    EXPECT_EQ(other->ips, nullptr);

    // Addresses are kept as written: untrimmed, empty ones included; a later list wins.
    ConnPtr later = parsed("ips=a;IPS= b,,c ;DB=Y");
    ASSERT_NE(later->ips, nullptr);
    ASSERT_EQ(later->ips->addr_count, 3);
    EXPECT_EQ(std::string(later->ips->addrs[0]) + "|" + later->ips->addrs[1] + "|" + later->ips->addrs[2], " b||c ");
}

std::string address_list(int count) {
    std::string text = "IPS=";
    for (int i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(i);
    return text;
}

TEST(ConnString, AddressListLimits) {
    struct Case {
        int count;
        int result;
        int kept;
    };
    const Case cases[] = {{20, 1, 20}, {21, 1, 21}, {100, 1, 100}, {101, 0, 99}, {150, 0, 99}};
    for (const Case& c : cases) {
        Ips_Artrs* ips = static_cast<Ips_Artrs*>(hr_malloc0(sizeof(Ips_Artrs)));
        std::string item = address_list(c.count);
        testing::internal::CaptureStdout();
        int result = Set_IPS_value(ips, 20, item.c_str());
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, c.result) << c.count;
        ASSERT_EQ(ips->addr_count, c.kept) << c.count;
        EXPECT_STREQ(ips->addrs[c.kept - 1], std::to_string(c.kept - 1).c_str());
        EXPECT_EQ(printed, c.result == 1 ? "" : "set ips error \n");
        EXPECT_EQ(ips->failed_addrs != nullptr, c.result == 1);
        free_ips_list(ips);
    }
}

}  // namespace
