// What outlives what: caller-made parameter sets and results against the
// connection they were used with, and a connection whose socket the system
// would have numbered 0.
#include "kvc.h"
#include "kvc_connect.h"
#include "kvc_inner.h"
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string error_of(void** handle) {
    std::string text(static_cast<size_t>(KVC_GetErrorLen(handle)), '\0');
    int length = 0;
    KVC_GetError(handle, &text[0], &length);
    return text;
}

// Ways a caller-made set ends up bound to a connection.
struct Binding {
    const char* name;
    void (*bind)(WirePair& wire, void** set);
};

void bind_directly(WirePair& wire, void** set) {
    int32_t value = 7, length = 4;
    ASSERT_EQ(0, KVC_BindParamByPos(set, 1, KVC_PARAM_IN, KVC_C_INT, &value, 4, &length));
    ASSERT_EQ(0, KVC_BindParams2Conn(wire.handle(), set));
}

void bind_by_batch(WirePair& wire, void** set) {
    int32_t values[2] = {1, 2}, lengths[2] = {4, 4};
    ASSERT_EQ(0, KVC_BindParamArrayByPos(set, 1, 1, KVC_PARAM_IN, KVC_C_INT, 2, values, 8, lengths));
    ASSERT_EQ(0, KVC_BindParams2Conn(wire.handle(), set));
    wire.feed(WireBuilder().tag('K'));
    ASSERT_EQ(0, KVC_ExecBatch(wire.handle(), "insert into t values (?)", 2));
    wire.sent();   // the batch stays attached, emptied
}

void bind_then_move(WirePair& wire, void** set) {
    WirePair other;
    bind_directly(other, set);
    ASSERT_EQ(0, KVC_BindParams2Conn(wire.handle(), set));
    // Bound elsewhere, it left the first connection, which now sends nothing.
    other.feed(WireBuilder().tag('K'));
    EXPECT_EQ(0, KVC_Execute_no_query(other.handle(), "delete from t"));
    EXPECT_EQ(command_message("delete from t"), other.sent());
}

// Dropping a bound set detaches it first: the next execution sends no
// parameters and the close touches nothing freed.
TEST(HandleLifetime, DroppedParameterSetLeavesItsConnection) {
    for (const Binding& way : {Binding{"BindParams2Conn", bind_directly},
                               Binding{"ExecBatch", bind_by_batch},
                               Binding{"moved between connections", bind_then_move}}) {
        SCOPED_TRACE(way.name);
        WirePair wire;
        void* set = nullptr;
        ASSERT_EQ(0, KVC_CreateParams(&set));
        way.bind(wire, &set);
        ASSERT_EQ(0, KVC_Drop(&set));
        wire.feed(WireBuilder().tag('K'));
        EXPECT_EQ(0, KVC_Execute_no_query(wire.handle(), "delete from t"));
        EXPECT_EQ(command_message("delete from t"), wire.sent());
        EXPECT_EQ(0, KVC_CloseConn(wire.handle()));
        wire.forget_conn();
    }
}

// A caller's set survives the close of its connection and can be dropped after.
TEST(HandleLifetime, ParameterSetOutlivesItsConnection) {
    WirePair wire;
    void* set = nullptr;
    ASSERT_EQ(0, KVC_CreateParams(&set));
    bind_directly(wire, &set);
    ASSERT_EQ(0, KVC_CloseConn(wire.handle()));
    wire.forget_conn();
    int32_t value = 9, length = 4;
    EXPECT_EQ(0, KVC_BindParamByPos(&set, 1, KVC_PARAM_IN, KVC_C_INT, &value, 4, &length));
    EXPECT_EQ(0, KVC_Drop(&set));
}

// A result of large-object values read after its connection was closed:
// inline values are still delivered, a descriptor fails with a text.
TEST(HandleLifetime, ResultOutlivesItsConnection) {
    WirePair wire;
    wire.conn()->lob_ret_descriptor = 1;
    WireBuilder reply;
    columns(reply, {{"doc", 32}});
    reply.tag('R').str("cinline").tag('R').str("C0123456789AB 100").tag('K');
    wire.feed(reply);
    void* result = nullptr;
    ASSERT_EQ(2, KVC_ExecwithDataReader(wire.handle(), "select doc from t", &result, nullptr, nullptr,
                                        nullptr));
    ASSERT_EQ(0, KVC_CloseConn(wire.handle()));
    wire.forget_conn();

    void* lob = nullptr;
    ASSERT_EQ(0, KVC_Create_Lob(&lob));
    int length = 0;
    ASSERT_EQ(0, KVC_ReadNext(&result));
    EXPECT_EQ(0, KVC_GetData(&result, 1, KVC_C_CLOB, &lob, 0, &length));
    EXPECT_EQ(6, length);
    ASSERT_EQ(0, KVC_ReadNext(&result));
    EXPECT_EQ(-1, KVC_GetData(&result, 1, KVC_C_CLOB, &lob, 0, &length));
    EXPECT_EQ(0, length);
    EXPECT_EQ(0, error_of(&result).rfind("[EC069]", 0)) << error_of(&result);
    KVC_Distroy_Lob(&lob);
    EXPECT_EQ(0, KVC_FreeRowset(&result));
}

// Standard input closed: the socket must not take descriptor 0, which the
// record reads as "not connected" (the close would skip it). A bare listener
// stands in for the server, so that no other thread can take descriptor 0
// while it is free.
TEST(HandleLifetime, SocketNeverOnDescriptorZero) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), size));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size));

    Conn_Attrs* conn = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    kv_strcpy_s(conn->server_ip, sizeof conn->server_ip, "127.0.0.1");
    conn->port = ntohs(address.sin_port);
    const int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    close(0);
    const int connected = Build_connect(conn);
    dup2(saved_stdin, 0);
    close(saved_stdin);
    ASSERT_EQ(1, connected);

    const int server_side = accept(listener, nullptr, nullptr);
    ASSERT_GE(server_side, 0);
    free_conn_record(conn);
    // The close resets the connection at once (linger 0): end of stream or reset.
    pollfd waiting{server_side, POLLIN, 0};
    ASSERT_EQ(1, poll(&waiting, 1, 5000)) << "the close reached the server";
    char byte = 0;
    EXPECT_GE(0, recv(server_side, &byte, 1, 0));
    close(server_side);
    close(listener);
}

// A handle that never connected fails requests with -4 and never talks on
// descriptor 0, whatever that is.
TEST(HandleLifetime, UnconnectedHandleUsesNoDescriptor) {
    int pair[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, pair));
    const int saved_stdin = dup(0);
    ASSERT_GE(saved_stdin, 0);
    dup2(pair[0], 0);
    void* conn = nullptr;
    EXPECT_EQ(KVC_CONNECT_FAILED, KVC_OpenConn("IP=no.such.address;PORT=1;DB=D;USER=U", &conn));
    EXPECT_EQ(KVC_NET_ERROR, KVC_Execute_no_query(&conn, "delete from t"));
    EXPECT_EQ(0, KVC_CloseConn(&conn));
    dup2(saved_stdin, 0);
    close(saved_stdin);
    char byte = 0;
    EXPECT_EQ(-1, recv(pair[1], &byte, 1, MSG_DONTWAIT)) << "nothing was written to descriptor 0";
    EXPECT_EQ(EAGAIN, errno);
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
