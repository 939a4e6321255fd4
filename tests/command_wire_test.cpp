// Command messages and the plain reply reader: the bytes of a command, every
// reply of the catalogue, what the reader returns and prints, and how it
// keeps the stream on a message boundary.
#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"
#include "support/scripted_peer.h"
#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>

namespace {

TEST(CommandWire, CommandBytes) {
    WirePair wire;
    EXPECT_EQ(sendCommand0(wire.conn(), "SELECT 1"), 0);
    EXPECT_EQ(hex(wire.sent()), "3f 00 00 00 08 53 45 4c 45 43 54 20 31 00 00 00 00 00");
    EXPECT_EQ(sendCommand_n(wire.conn(), "X", (3 << 16) | 2), 0);
    EXPECT_EQ(wire.conn()->send_fill, 11);   // nothing leaves before the caller flushes
    rh_send_int32(wire.conn(), 42);
    rh_flush(wire.conn());
    EXPECT_EQ(hex(wire.sent()), "3f 00 00 00 01 58 00 00 03 00 02 00 00 00 2a");
    EXPECT_EQ(send_continue(wire.conn()), 0);
    EXPECT_EQ(hex(wire.sent()), "2e");
}

TEST(CommandWire, NoQueryReplies) {
    const char* output = "[EC0056]when execute sql with output params or return value need bind_params";
    struct Case {
        const char* name;
        Bytes reply;
        int status;
        const char* error_text;   // null: left as it was
        const char* printed;
        const char* insert_id;
    } cases[] = {
        {"update count", WireBuilder().tag('U').i32(5).tag('K'), 5, nullptr, "", ""},
        {"delete count", WireBuilder().tag('D').i32(0).tag('K'), 0, nullptr, "", ""},
        {"two insert ids", WireBuilder().tag('I').str("abc").tag('I').str("abd").tag('K'), 2, nullptr, "", "abd"},
        {"error", WireBuilder().tag('E').str("no such table").tag('K'), -1, "no such table", "", ""},
        {"fatal", WireBuilder().tag('F').str("gone").tag('K'), -1, "gone", "", ""},
        {"warning", WireBuilder().tag('W').str("careful").tag('K'), 1, "careful", "Server Warning careful \n", ""},
        {"message", WireBuilder().tag('M').str("hello").tag('K'), 1, "hello", "Server Message hello \n", ""},
        {"count then warning", WireBuilder().tag('U').i32(5).tag('W').str("w").tag('K'), 1, "w",
         "Server Warning w \n", ""},
        {"error then count", WireBuilder().tag('E').str("e").tag('U').i32(3).tag('K'), 3, "e", "", ""},
        {"insert id then error", WireBuilder().tag('I').str("9").tag('E').str("e").tag('K'), -1, "e", "", "9"},
        {"return value", WireBuilder().tag('O').i32(5).i32(4).i32(7).tag('K'), -56, output, "", ""},
        {"output parameter", WireBuilder().tag('P').i32(0).i32(9).i32(8).r8(1.5).tag('K'), -56, output, "", ""},
        {"empty", WireBuilder().tag('K'), 0, nullptr, "", ""},
        {"31-byte insert id", WireBuilder().tag('I').str(std::string(31, 'x')).tag('K'), 1, nullptr, "",
         "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
        {"longer insert id is cut", WireBuilder().tag('I').str(std::string(31, 'y') + "OVER").tag('K'), 1,
         nullptr, "", "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy"},
    };
    for (const Case& c : cases) {
        WirePair wire;
        wire.conn()->error_text = strdup("before");
        // Each reply is followed by a second one, which must be read from its start.
        wire.feed(c.reply);
        wire.feed(WireBuilder().tag('U').i32(77).tag('K'));
        testing::internal::CaptureStdout();
        int status = recv_noQuery(wire.conn());
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        EXPECT_STREQ(wire.conn()->error_text, c.error_text != nullptr ? c.error_text : "before") << c.name;
        EXPECT_STREQ(wire.conn()->last_insert_id, c.insert_id) << c.name;
        EXPECT_EQ(recv_noQuery(wire.conn()), 77) << c.name;
    }
}

TEST(CommandWire, BrokenReplies) {
    struct Case {
        const char* name;
        Bytes partial;
        const char* printed;
        const char* error_text;
    };
    const Case cases[] = {
        {"nothing", Bytes{}, "Net Error recv_noQuery \n", "before"},
        {"after a message", WireBuilder().tag('W').str("w"), "Server Warning w \nNet Error recv_noQuery \n", "w"},
        {"count cut", WireBuilder().tag('U').i16(0), "Update Prop NetError  \n", "[EC004]Update Prop NetError"},
        {"insert id cut", WireBuilder().tag('I').i32(10).raw("ab"), "Insert Prop NetError  \n",
         "[EC004]Insert Prop NetError"},
        {"negative insert id", WireBuilder().tag('I').i32(-1), "Insert Prop NetError  \n",
         "[EC004]Insert Prop NetError"},
        {"no end after count", WireBuilder().tag('U').i32(1), "Net Error recv_noQuery \n", "before"},
        {"text cut", WireBuilder().tag('E').i32(10).raw("ab"), "Net Error recv_noQuery \n", "before"},
    };
    for (const Case& c : cases) {
        WirePair wire;
        wire.conn()->error_text = strdup("before");
        wire.feed(c.partial);
        wire.close_peer();
        testing::internal::CaptureStdout();
        EXPECT_EQ(recv_noQuery(wire.conn()), -4) << c.name;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.name;
        EXPECT_STREQ(wire.conn()->error_text, c.error_text) << c.name;
    }
}

TEST(CommandWire, DrainReadsEveryMessageToTheEnd) {
    WirePair wire;
    wire.feed(WireBuilder()
                  .tag('E').str("e").tag('F').str("f").tag('M').str("").tag('W').str("w")
                  .tag('U').i32(1).tag('D').i32(2).tag('I').str("id")
                  .tag('O').i32(5).i32(4).i32(1)
                  .tag('P').i32(0).i32(9).i32(0)
                  .tag('K')
                  .tag('U').i32(8).tag('K'));
    EXPECT_EQ(drain_reply(wire.conn()), 0);
    EXPECT_EQ(wire.conn()->error_text, nullptr);   // drained texts are not kept
    EXPECT_EQ(recv_noQuery(wire.conn()), 8);
    // A negative length cannot be followed.
    wire.feed(WireBuilder().tag('E').i32(-3).tag('K'));
    EXPECT_EQ(drain_reply(wire.conn()), -4);
}

TEST(CommandWire, UnknownTagFailsTheConnection) {
    for (bool through_reader : {false, true}) {
        WirePair wire;
        wire.feed(WireBuilder().tag('Z').i32(1).tag('K').tag('U').i32(8).tag('K'));
        if (through_reader) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(recv_noQuery(wire.conn()), -4);
            testing::internal::GetCapturedStdout();
        } else {
            EXPECT_EQ(drain_reply(wire.conn()), -4);
        }
        // Later requests see a broken connection instead of misreading the rest.
        testing::internal::CaptureStdout();
        EXPECT_EQ(recv_noQuery(wire.conn()), -4);
        testing::internal::GetCapturedStdout();
    }
}

// Two int32 columns (server type 5) and `rows` rows.
WireBuilder result_set(int rows) {
    WireBuilder reply;
    reply.tag('A').i32(2);
    for (const char* name : {"a", "t.b%c"}) reply.str(name).i32(5).i32(0).i32(0);
    for (int i = 0; i < rows; ++i) reply.tag('R').i32(4).i32(i).i32(4).i32(3);
    return reply;
}

TEST(CommandWire, ResultSetIsDrainedWhole) {
    WirePair wire;
    WireBuilder reply;
    reply.tag('E').str("first").raw(result_set(1));
    reply.tag('W').str("between");
    reply.tag('R').i32(4).i32(2).i32(4).i32(3);
    reply.tag('*').i32(2).raw("rt").i32(0).i32(0);
    reply.raw(result_set(450)).tag('K');
    wire.feed_async(reply.tag('U').i32(8).tag('K'));
    EXPECT_EQ(recv_noQuery(wire.conn()), -1);   // the status when the 'A' came
    EXPECT_STREQ(wire.conn()->error_text, "first");
    EXPECT_EQ(recv_noQuery(wire.conn()), 8);
}

// A procedure reply stops once, after the first 200 rows of a result set,
// until it is asked to go on; rows that the plain reader only drops are asked
// for all the same, and an ordinary reply, which does not stop, gets no "."
// at all.
TEST(CommandWire, DroppedRowsOfAPausedReplyAreAskedFor) {
    for (bool paused : {false, true}) {
        SCOPED_TRACE(paused ? "paused reply" : "ordinary reply");
        WirePair wire;
        wire.feed_async(WireBuilder().tag('U').i32(3).raw(result_set(450)).tag('K'));
        if (paused) {
            PausedReplyScope scope(wire.conn());
            EXPECT_EQ(recv_noQuery(wire.conn()), 3);
        } else {
            EXPECT_EQ(recv_noQuery(wire.conn()), 3);
        }
        const Bytes expected = paused ? Bytes{'.'} : Bytes{};
        EXPECT_EQ(wire.sent(), expected);
    }
}

// A locked exchange as the execution functions make it.
int locked_exchange(Conn_Attrs* conn, const char* sql) {
    ConnLockGuard guard(conn);
    sendCommand0(conn, sql);
    return recv_noQuery(conn);
}

TEST(CommandWire, ReplyThatBreaksOffReleasesTheConnection) {
    ScriptedPeer peer;
    peer.script_then_close(WireBuilder().tag('U').i16(0));
    void* handle = nullptr;
    ASSERT_EQ(KVC_OpenConn(peer.conn_str("DB=D;USER=U;PWD=P").c_str(), &handle), 2);
    Conn_Attrs* conn = static_cast<Conn_Attrs*>(handle);

    testing::internal::CaptureStdout();
    EXPECT_EQ(locked_exchange(conn, "UPDATE t SET a = 1"), -4);
    // The next call proceeds instead of waiting on the lock forever.
    auto next = std::async(std::launch::async, [conn] { return locked_exchange(conn, "UPDATE t"); });
    ASSERT_EQ(next.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(next.get(), -4);
    testing::internal::GetCapturedStdout();

    peer.script(WireBuilder().tag('U').i32(2).tag('K'));
    ASSERT_EQ(KVC_ReconnectConn(&handle), 1);
    EXPECT_EQ(locked_exchange(conn, "UPDATE t SET a = 2"), 2);
    EXPECT_EQ(peer.session(1).commands.at(0), "UPDATE t SET a = 2");
    EXPECT_EQ(KVC_CloseConn(&handle), 0);
}

}  // namespace
