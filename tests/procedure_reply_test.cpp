// Output parameters, return values and single values as the procedure and
// single-value readers deliver them, including hostile replies.
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const char kOutputWithoutTarget[] =
    "[EC060]Error params-out type need bind, here params without bindparams inout type is out or inout \n";

// A return value into a character buffer is written as text and cut to the
// buffer, the returned length telling the full size; other targets receive
// the host form (numbers in host order, dates and times as their records).
TEST(ProcedureReply, ReturnValueConversions) {
    const int32_t date[3] = {2000, 2, 29}, time[4] = {1, 2, 3, 4};
    const int64_t stamp = 86399999LL;
    const double real = -2.25;
    auto host = [](const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); };
    // Server type and value as sent; C type and buffer size; what lands in the buffer, the returned length.
    const struct {
        const char* what;
        int32_t server_type;
        Bytes value;
        int c_type, buffer_size;
        std::string copied;
        int32_t length;
        int status;
    } cases[] = {
        {"int 42, roomy", 5, WireBuilder().i32(42), 2, 64, "42", 2, 0},
        {"int 42, one byte", 5, WireBuilder().i32(42), 2, 1, "4", 2, -12},
        {"smallint", 4, WireBuilder().i16(-7), 2, 64, "-7", 2, 0},
        {"tinyint", 3, WireBuilder().i8(-1), 2, 64, "-1", 2, 0},
        {"bigint", 6, WireBuilder().i64(1234567890123LL), 2, 64, "1234567890123", 13, 0},
        {"float", 8, WireBuilder().r4(1.5f), 2, 64, "1.500000", 8, 0},
        {"double", 9, WireBuilder().r8(0.1), 2, 64, "0.1", 3, 0},
        {"time", 11, WireBuilder().i32(3723004), 2, 64, "01:02:03.004", 12, 0},
        {"date", 10, WireBuilder().i32(11016), 2, 64, "2000-02-29", 10, 0},
        {"datetime", 13, WireBuilder().i64(stamp), 2, 64, "1970-01-01 23:59:59", 19, 0},
        {"text, cut", 30, WireBuilder().raw("hello"), 2, 3, "hel", 5, -12},
        {"int, host form", 5, WireBuilder().i32(0x01020304), 5, 4, "\x04\x03\x02\x01", 4, 0},
        {"date record", 10, WireBuilder().i32(11016), 10, 64, host(date, 12), 12, 0},
        {"time record", 11, WireBuilder().i32(3723004), 11, 64, host(time, 16), 16, 0},
        {"double, host form", 9, WireBuilder().r8(real), 8, 8, host(&real, 8), 8, 0},
        {"datetime count", 13, WireBuilder().i64(stamp), 23, 8, host(&stamp, 8), 8, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char buffer[64];
        memset(buffer, 'x', sizeof buffer);
        int32_t length = -1, input = 7, input_length = 4;
        WirePair wire;
        BoundSet params(wire);
        ASSERT_EQ(0, params.bind(1, PARAM_INPUT, 5, &input, 4, &input_length));
        ASSERT_EQ(0, params.bind(2, PARAM_RETURN_VALUE, c.c_type, buffer, c.buffer_size, &length));
        wire.feed(WireBuilder().tag('O').i32(c.server_type).i32(int32_t(c.value.size())).raw(c.value).tag('K'));
        EXPECT_EQ(c.status, recv_noQuery_OP(wire.conn(), nullptr));
        EXPECT_EQ(c.copied, std::string(buffer, c.copied.size()));
        EXPECT_EQ('x', buffer[c.copied.size()]) << "no terminator is added";
        EXPECT_EQ(c.length, length);
    }
}

// Values that have nowhere to go, or that are malformed, are read past
// without touching any buffer, and the messages after them still arrive.
TEST(ProcedureReply, RefusedValuesLeaveBuffersAndStreamIntact) {
    const struct { const char* what; Bytes message; int status; std::string text; int32_t out_length; } cases[] = {
        {"index past the set", WireBuilder().tag('P').i32(7).i32(5).i32(4).i32(9), -59, kOutputWithoutTarget, 77},
        {"negative index", WireBuilder().tag('P').i32(-1).i32(5).i32(4).i32(9), -59, kOutputWithoutTarget, 77},
        {"int of 3 bytes", WireBuilder().tag('P').i32(0).i32(5).i32(3).raw("abc"), -1,
         "[EC068]Error output value of server type 5 has length 3, expected 4 \n", 77},
        {"double of 4 bytes", WireBuilder().tag('P').i32(0).i32(9).i32(4).i32(1), -1,
         "[EC068]Error output value of server type 9 has length 4, expected 8 \n", 77},
        {"input slot", WireBuilder().tag('P').i32(2).i32(5).i32(4).i32(9), 0, "", 77},
        // A null: the length becomes 0, the buffer stays as it was.
        {"null output", WireBuilder().tag('P').i32(0).i32(30).i32(0), 0, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char out[8], second[8] = {0};
        memset(out, 'x', sizeof out);
        int32_t out_length = 77, second_length = 0, input = 5, input_length = 4;
        WirePair wire;
        BoundSet params(wire);
        params.bind(1, PARAM_OUTPUT, 2, out, sizeof out, &out_length);
        params.bind(2, PARAM_INPUT_OUTPUT, 2, second, sizeof second, &second_length);
        params.bind(3, PARAM_INPUT, 5, &input, 4, &input_length);
        wire.feed(joined({c.message, WireBuilder().tag('P').i32(1).i32(30).i32(2).raw("ok").tag('K')}));
        EXPECT_EQ(c.status, recv_noQuery_OP(wire.conn(), nullptr));
        EXPECT_EQ(c.text, text_of(wire.conn()->error_text));
        EXPECT_EQ(std::string(8, 'x'), std::string(out, 8));
        EXPECT_EQ(c.out_length, out_length);
        EXPECT_EQ("ok", std::string(second, 2)) << "the next message was read in step";
        EXPECT_EQ(2, second_length);
    }
    // A return value for an empty set has no slot to go to.
    WirePair wire;
    BoundSet empty(wire);
    wire.feed(WireBuilder().tag('O').i32(5).i32(4).i32(42).tag('K'));
    EXPECT_EQ(-59, recv_noQuery_OP(wire.conn(), nullptr));
    EXPECT_EQ("[EC060]Error params-return value need bind, here params without bindparams inout type is return "
              "value \n",
              text_of(wire.conn()->error_text));
}

// The result set of a procedure reply reaches the caller as a complete
// result, walkable through the result functions.
TEST(ProcedureReply, ResultSetGoesToTheCallersSlot) {
    WirePair wire;
    BoundSet params(wire);
    wire.feed(joined({rows_reply(3), rows_reply(3)}));
    Result* received = nullptr;
    EXPECT_EQ(3, recv_noQuery_OP(wire.conn(), &received));
    ASSERT_NE(nullptr, received);
    EXPECT_EQ(RESULT_ROWS, received->result_kind);
    EXPECT_EQ(wire.conn(), conn_link_target(received->conn_link));
    void* handle = received;
    int total = 0, value = 0, length = 0;
    while (KVC_ReadNext(&handle) == 0) {
        ASSERT_EQ(0, KVC_GetData(&handle, 1, 5, &value, sizeof value, &length));
        total += value;
    }
    EXPECT_EQ(1 + 2 + 3, total);
    KVC_FreeRowset(&handle);

    // Without a slot the result is released (the sanitizer build sees a leak otherwise).
    EXPECT_EQ(3, recv_noQuery_OP(wire.conn(), nullptr));
}

TEST(SingleValueReply, ValuesAndCounts) {
    WirePair wire;
    WireBuilder reply;
    columns(reply, {{"name", 30}, {"n", 5}});
    wire.feed(reply.tag('R').i32(3).raw("abc").i32(4).i32(1).tag('K'));
    char value[64];
    memset(value, 'x', sizeof value);
    int type = -1;
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ(30, type);
    EXPECT_EQ("abcx", std::string(value, 4)) << "the text comes without a terminator";

    // A text of 64 bytes or more comes as its length and the address of a
    // copy that the caller frees; the type tells so by 100 more.
    const std::string long_text(70, 'L');
    WireBuilder long_reply;
    columns(long_reply, {{"name", 30}});
    wire.feed(long_reply.tag('R').str(long_text).tag('K'));
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ(130, type);
    int32_t copy_length = 0;
    void* copy = nullptr;
    memcpy(&copy_length, value, sizeof copy_length);
    memcpy(&copy, value + sizeof copy_length, sizeof copy);
    EXPECT_EQ(70, copy_length);
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(long_text, std::string(static_cast<char*>(copy), 70));
    EXPECT_EQ(0, KVC_FreePtr(&copy));

    // No rows: type 0 and four zero bytes.
    wire.feed(rows_reply(0));
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ(0, type);
    EXPECT_EQ(Bytes(4, 0), Bytes(value, value + 4));

    const struct { Bytes reply; int status; } counts[] = {
        {WireBuilder().tag('U').i32(5).tag('K'), 2},
        {WireBuilder().tag('D').i32(5).tag('K'), 3},
        {WireBuilder().tag('I').str("row-17").tag('K'), 1},
        {WireBuilder().tag('E').str("no such table").tag('K'), -1},
        // An output value ends the dispatch; the rest of the reply is still read.
        {WireBuilder().tag('P').i32(0).i32(5).i32(4).i32(1).tag('W').str("w").tag('K'), 0},
    };
    for (const auto& c : counts) {
        wire.feed(c.reply);
        EXPECT_EQ(c.status, recv_Query_One(wire.conn(), value, &type)) << hex(c.reply);
    }
    wire.feed(WireBuilder().tag('U').i32(8).tag('K'));
    EXPECT_EQ(8, recv_noQuery(wire.conn()));
}

// The server pauses once, after the first 200 rows, until it gets ".":
// exactly 200 rows and the end need no request, 201 need one, and so do 450
// (the rows after the pause come without another).
TEST(SingleValueReply, ContinueRequestOnlyWhenRowsGoOn) {
    for (int rows : {200, 201, 450}) {
        SCOPED_TRACE(rows);
        WirePair wire;
        wire.feed_async(rows_reply(rows));
        char value[65] = {0};
        int type = 0;
        EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
        EXPECT_EQ(5, type);
        EXPECT_STREQ("1", value);
        wire.wait_fed();
        EXPECT_EQ(Bytes(rows > 200 ? 1 : 0, '.'), wire.sent());
        wire.feed(WireBuilder().tag('U').i32(3).tag('K'));
        EXPECT_EQ(3, recv_noQuery(wire.conn()));
    }
}

}  // namespace
