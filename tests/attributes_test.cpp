// Connection and result attributes: values, types, lengths, bounded copies
// and the texts of unknown ids.
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_inner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string conn_text(Conn_Attrs* conn) {
    return conn->error_text != nullptr ? conn->error_text : "";
}

struct Attr {
    int status;
    int type;
    int length;
    Bytes value;   // the bytes written into the caller's buffer
};

Attr get_attr(void** handle, int id, int buffer_length = 64) {
    unsigned char buffer[128];
    memset(buffer, 0xEE, sizeof buffer);
    Attr a{0, -1, -1, {}};
    a.status = KVC_GetAttr(handle, id, buffer, buffer_length, &a.type, &a.length);
    size_t written = 0;
    while (written < sizeof buffer && buffer[written] != 0xEE) ++written;
    a.value.assign(buffer, buffer + written);
    return a;
}

Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
template <typename T>
Bytes host_bytes(T v) { return Bytes(reinterpret_cast<unsigned char*>(&v), reinterpret_cast<unsigned char*>(&v) + sizeof v); }
Bytes int32_bytes(int32_t v) { return host_bytes(v); }

struct Expected {
    int id;
    int type;
    Bytes value;
};

void expect_attrs(void** handle, std::initializer_list<Expected> cases) {
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.id);
        Attr a = get_attr(handle, c.id);
        EXPECT_EQ(0, a.status);
        EXPECT_EQ(c.type, a.type);
        EXPECT_EQ(int(c.value.size()), a.length);
        EXPECT_EQ(c.value, a.value);
    }
}

void give_address_list(Conn_Attrs* conn, const std::vector<std::string>& addresses) {
    Ips_Artrs* ips = static_cast<Ips_Artrs*>(hr_malloc0(sizeof(Ips_Artrs)));
    ips->addr_count = static_cast<int32_t>(addresses.size());
    ips->addrs = static_cast<char**>(hr_malloc0(addresses.size() * sizeof(char*)));
    ips->failed_addrs = static_cast<char**>(hr_malloc0(addresses.size() * sizeof(char*)));
    for (size_t i = 0; i < addresses.size(); ++i) ips->addrs[i] = strdup(addresses[i].c_str());
    conn->ips = ips;
    conn->has_ips = 1;
}

TEST(ConnectionAttributes, FieldsAndConstants) {
    WirePair wire;
    Conn_Attrs* conn = wire.conn();
    kv_strcpy_s(conn->database, sizeof conn->database, "sales");
    kv_strcpy_s(conn->char_set, sizeof conn->char_set, "GBK");
    conn->use_ssl = 1;
    conn->lob_ret_descriptor = 1;
    conn->auto_commit_off = 1;
    conn->srv_cursor_off = 0;
    expect_attrs(wire.handle(), {{2, 1, text_bytes("sales")}, {3, 2, int32_bytes(2)}, {4, 1, text_bytes("UTF-8")},
                                 {5, 1, text_bytes("GBK")}, {6, 2, int32_bytes(1)}, {8, 1, text_bytes("GTM+8")},
                                 {9, 2, int32_bytes(1)}, {11, 2, int32_bytes(1)}, {12, 2, int32_bytes(0)}});
    EXPECT_EQ(Bytes{}, wire.sent()) << "only id 1 talks to the server";
}

// Texts stop at the buffer's length; numbers fill the caller's variable of
// their type whatever length is given.
TEST(ConnectionAttributes, TextCopiesAreBoundedNumbersWrittenWhole) {
    WirePair wire;
    kv_strcpy_s(wire.conn()->database, sizeof wire.conn()->database, "sales");
    Attr text = get_attr(wire.handle(), 2, 3);
    EXPECT_EQ(-12, text.status);
    EXPECT_EQ(text_bytes("sal"), text.value);
    EXPECT_EQ(5, text.length) << "the full length tells the size needed";
    for (int length : {0, 2}) {
        Attr number = get_attr(wire.handle(), 3, length);
        EXPECT_EQ(0, number.status) << length;
        EXPECT_EQ(int32_bytes(2), number.value) << length;
    }
    EXPECT_EQ(-12, get_attr(wire.handle(), 4, 0).status);
    EXPECT_EQ(Bytes{}, get_attr(wire.handle(), 4, 0).value);
}

TEST(ConnectionAttributes, AddressList) {
    WirePair wire;
    EXPECT_EQ(-3, get_attr(wire.handle(), 7).status);
    EXPECT_EQ("", conn_text(wire.conn()));

    give_address_list(wire.conn(), {"10.0.0.1", "10.0.0.2", "10.0.0.3"});
    expect_attrs(wire.handle(), {{7, 1, text_bytes("3:10.0.0.1,10.0.0.2,10.0.0.3")}});

    // Addresses longer than dotted IPv4 text are not cut.
    WirePair named;
    const std::string host(40, 'h');
    give_address_list(named.conn(), {host + "1", host + "2"});
    EXPECT_EQ(text_bytes("2:" + host + "1," + host + "2"), get_attr(named.handle(), 7, 128).value);
}

TEST(ConnectionAttributes, ServerVersion) {
    WirePair wire;
    WireBuilder reply;
    columns(reply, {{"version", 30}});
    reply.tag('R').str("V1.2.3").tag('K');
    wire.feed(reply);
    expect_attrs(wire.handle(), {{1, 1, text_bytes("V1.2.3")}});
    EXPECT_EQ(command_message("show version"), wire.sent());

    // A version of 64 bytes or more comes as a heap copy, which is released.
    const std::string long_version(100, 'v');
    WireBuilder long_reply;
    columns(long_reply, {{"version", 30}});
    long_reply.tag('R').str(long_version).tag('K');
    wire.feed(long_reply);
    unsigned char buffer[128] = {0};
    int type = 0, length = 0;
    EXPECT_EQ(0, KVC_GetAttr(wire.handle(), 1, buffer, sizeof buffer, &type, &length));
    EXPECT_EQ(100, length);
    EXPECT_EQ(long_version, std::string(reinterpret_cast<char*>(buffer), 100));
}

TEST(ConnectionAttributes, UnknownIdsAndSettings) {
    WirePair wire;
    for (int id : {0, 10, 13, 61}) {
        SCOPED_TRACE(id);
        kvc_set_text(&wire.conn()->error_text, nullptr);
        EXPECT_EQ(-3, get_attr(wire.handle(), id).status);
        EXPECT_EQ("[EC0103]connection attribute type get error,unknown attribute type\n",
                  conn_text(wire.conn()));
    }
    char on[] = "true", yes[] = "yes", upper[] = "On";
    EXPECT_EQ(0, KVC_SetAttr(wire.handle(), 11, on, 0));
    EXPECT_EQ(int32_bytes(1), get_attr(wire.handle(), 11).value);
    EXPECT_EQ(0, KVC_SetAttr(wire.handle(), 11, yes, 0));
    EXPECT_EQ(int32_bytes(0), get_attr(wire.handle(), 11).value);
    EXPECT_EQ(0, KVC_SetAttr(wire.handle(), 11, upper, 0));
    EXPECT_EQ(1, wire.conn()->auto_commit_off);
    int32_t off = 1;
    EXPECT_EQ(0, KVC_SetAttr(wire.handle(), 12, &off, 4));
    EXPECT_EQ(int32_bytes(1), get_attr(wire.handle(), 12).value);
    EXPECT_EQ(-1, KVC_SetAttr(wire.handle(), 5, on, 0));
    EXPECT_EQ("[EC0104]connection attribute type set error,un-supported attribute type\n",
              conn_text(wire.conn()));
    EXPECT_EQ(-3, KVC_SetAttr(wire.handle(), 12, nullptr, 0));
}

TEST(ResultAttributes, CountsKindsAndUnknownIds) {
    Result next{};
    Result r{};
    r.handle_kind = KVC_HANDLE_RESULT;
    r.column_count = 3;
    r.row_count = 5;
    r.affected_rows = 7;
    r.result_kind = RESULT_ROWS;
    void* handle = &r;
    expect_attrs(&handle, {{61, 2, int32_bytes(3)}, {62, 3, host_bytes<int64_t>(5)}, {63, 2, int32_bytes(7)},
                           {64, 2, int32_bytes(4)}, {65, 2, int32_bytes(4)}, {66, 2, int32_bytes(0)}});
    r.next_result = &next;
    EXPECT_EQ(int32_bytes(1), get_attr(&handle, 66).value);
    EXPECT_EQ(host_bytes<int64_t>(5), get_attr(&handle, 62, 0).value);

    EXPECT_EQ(-3, get_attr(&handle, 67).status);
    ASSERT_NE(nullptr, r.error_text);
    EXPECT_STREQ("[EC0105]result attribute type get error,unknown attribute type\n", r.error_text);
    free(r.error_text);

    char on[] = "ON";
    EXPECT_EQ(0, KVC_SetAttr(&handle, 11, on, 0));
}

TEST(Attributes, OtherHandleKinds) {
    int32_t params_record[4] = {KVC_HANDLE_PARAMS, 0, 0, 0};
    int32_t reserved_record[4] = {KVC_HANDLE_RESERVED, 0, 0, 0};
    void* params = params_record;
    void* reserved = reserved_record;
    Attr a = get_attr(&params, 61);
    EXPECT_EQ(0, a.status);
    EXPECT_EQ(Bytes{}, a.value);
    EXPECT_EQ(-1, a.type) << "nothing is written";
    EXPECT_EQ(-3, get_attr(&reserved, 61).status);
    EXPECT_EQ(-3, get_attr(nullptr, 2).status);
    void* none = nullptr;
    EXPECT_EQ(-3, get_attr(&none, 2).status);
}

}  // namespace
