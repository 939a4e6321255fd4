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

const char kReturnWithoutTarget[] =
    "[EC060]Error params-return value need bind, here params without bindparams inout type is "
    "return value \n";
const char kOutputWithoutTarget[] =
    "[EC060]Error params-out type need bind, here params without bindparams inout type is out or "
    "inout \n";

std::string conn_text(Conn_Attrs* conn) {
    return conn->error_text != nullptr ? conn->error_text : "";
}

struct ReturnCase {
    const char* what;
    int32_t server_type;
    Bytes value;          // the value bytes as the server sends them
    int32_t buffer_size;
    std::string copied;   // what lands in the buffer
    int32_t length;       // the returned length
    int status;
};

// A return value into a character buffer: the value is written as text and
// cut to the buffer, the returned length always telling the full size.
TEST(ProcedureReply, ReturnValueBecomesTextCutToTheBuffer) {
    const ReturnCase cases[] = {
        {"int 42, roomy", 5, WireBuilder().i32(42), 64, "42", 2, 0},
        {"int 42, one byte", 5, WireBuilder().i32(42), 1, "4", 2, -12},
        {"smallint", 4, WireBuilder().i16(-7), 64, "-7", 2, 0},
        {"tinyint", 3, WireBuilder().i8(-1), 64, "-1", 2, 0},
        {"bigint", 6, WireBuilder().i64(1234567890123LL), 64, "1234567890123", 13, 0},
        {"float", 8, WireBuilder().r4(1.5f), 64, "1.500000", 8, 0},
        {"double", 9, WireBuilder().r8(0.1), 64, "0.1", 3, 0},
        {"time", 11, WireBuilder().i32(3723004), 64, "01:02:03.004", 12, 0},
        {"date", 10, WireBuilder().i32(11016), 64, "2000-02-29", 10, 0},
        {"datetime", 13, WireBuilder().i64(86399999LL), 64, "1970-01-01 23:59:59", 19, 0},
        {"text, cut", 30, WireBuilder().raw("hello"), 3, "hel", 5, -12},
    };
    for (const ReturnCase& c : cases) {
        SCOPED_TRACE(c.what);
        char buffer[64];
        memset(buffer, 'x', sizeof buffer);
        int32_t length = -1;
        HandParams params(1);
        params.slot(0, PARAM_RETURN_VALUE, 2, buffer, c.buffer_size, &length);
        WirePair wire;
        wire.conn()->bound_params = params.get();
        wire.feed(WireBuilder().tag('O').i32(c.server_type).i32(int32_t(c.value.size()))
                      .raw(c.value).tag('K'));
        EXPECT_EQ(c.status, recv_noQuery_OP(wire.conn(), nullptr));
        EXPECT_EQ(c.copied, std::string(buffer, c.copied.size()));
        EXPECT_EQ('x', buffer[c.copied.size()]) << "no terminator is added";
        EXPECT_EQ(c.length, length);
        wire.conn()->bound_params = nullptr;
    }
}

// Non-character targets receive the host form: numbers in host order, dates
// and times as their records.
TEST(ProcedureReply, OutputValuesInHostForm) {
    int32_t number = 0, number_length = 0;
    int32_t date[3] = {0, 0, 0};
    int32_t date_length = 0;
    double real = 0;
    int32_t real_length = 0;
    HandParams params(3);
    params.slot(0, PARAM_OUTPUT, 5, &number, sizeof number, &number_length);
    params.slot(1, PARAM_INPUT_OUTPUT, 10, date, sizeof date, &date_length);
    params.slot(2, PARAM_OUTPUT, 8, &real, sizeof real, &real_length);
    WirePair wire;
    wire.conn()->bound_params = params.get();
    wire.feed(WireBuilder()
                  .tag('P').i32(0).i32(5).i32(4).i32(0x01020304)
                  .tag('P').i32(1).i32(10).i32(4).i32(11016)
                  .tag('P').i32(2).i32(9).i32(8).r8(-2.25)
                  .tag('K'));
    EXPECT_EQ(0, recv_noQuery_OP(wire.conn(), nullptr));
    EXPECT_EQ(0x01020304, number);
    EXPECT_EQ(4, number_length);
    EXPECT_EQ(2000, date[0]);
    EXPECT_EQ(2, date[1]);
    EXPECT_EQ(29, date[2]);
    EXPECT_EQ(12, date_length);
    EXPECT_EQ(-2.25, real);
    EXPECT_EQ(8, real_length);
    wire.conn()->bound_params = nullptr;
}

// Values that have nowhere to go, or that are malformed, are read past
// without touching any buffer, and the messages after them still arrive.
TEST(ProcedureReply, RefusedValuesLeaveBuffersAndStreamIntact) {
    struct RefusedCase {
        const char* what;
        Bytes message;
        int status;
        std::string text;
    };
    const RefusedCase cases[] = {
        {"index past the set", WireBuilder().tag('P').i32(7).i32(5).i32(4).i32(9), -59,
         kOutputWithoutTarget},
        {"negative index", WireBuilder().tag('P').i32(-1).i32(5).i32(4).i32(9), -59,
         kOutputWithoutTarget},
        {"int of 3 bytes", WireBuilder().tag('P').i32(0).i32(5).i32(3).raw("abc"), -1,
         "[EC068]Error output value of server type 5 has length 3, expected 4 \n"},
        {"double of 4 bytes", WireBuilder().tag('P').i32(0).i32(9).i32(4).i32(1), -1,
         "[EC068]Error output value of server type 9 has length 4, expected 8 \n"},
        {"input slot", WireBuilder().tag('P').i32(2).i32(5).i32(4).i32(9), 0, ""},
    };
    for (const RefusedCase& c : cases) {
        SCOPED_TRACE(c.what);
        char out[8];
        memset(out, 'x', sizeof out);
        int32_t out_length = 77;
        char second[8] = {0};
        int32_t second_length = 0;
        int32_t input = 5, input_length = 4;
        HandParams params(3);
        params.slot(0, PARAM_OUTPUT, 2, out, sizeof out, &out_length);
        params.slot(1, PARAM_OUTPUT, 2, second, sizeof second, &second_length);
        params.slot(2, PARAM_INPUT, 5, &input, 4, &input_length);
        WirePair wire;
        wire.conn()->bound_params = params.get();
        wire.feed(joined({c.message, WireBuilder().tag('P').i32(1).i32(30).i32(2).raw("ok")
                                         .tag('K')}));
        EXPECT_EQ(c.status, recv_noQuery_OP(wire.conn(), nullptr));
        EXPECT_EQ(c.text, conn_text(wire.conn()));
        EXPECT_EQ(std::string(8, 'x'), std::string(out, 8));
        EXPECT_EQ(77, out_length);
        EXPECT_EQ(5, input);
        EXPECT_EQ("ok", std::string(second, 2)) << "the next message was read in step";
        EXPECT_EQ(2, second_length);
        wire.conn()->bound_params = nullptr;
    }
}

TEST(ProcedureReply, NullOutputSetsLengthZeroOnly) {
    char out[4] = {'x', 'x', 'x', 'x'};
    int32_t length = 99;
    HandParams params(1);
    params.slot(0, PARAM_INPUT_OUTPUT, 2, out, sizeof out, &length);
    WirePair wire;
    wire.conn()->bound_params = params.get();
    wire.feed(WireBuilder().tag('P').i32(0).i32(30).i32(0).tag('K'));
    EXPECT_EQ(0, recv_noQuery_OP(wire.conn(), nullptr));
    EXPECT_EQ(0, length);
    EXPECT_EQ("xxxx", std::string(out, 4));
    wire.conn()->bound_params = nullptr;
}

TEST(ProcedureReply, ReturnValueForAnEmptySet) {
    HandParams params(0);
    WirePair wire;
    wire.conn()->bound_params = params.get();
    wire.feed(WireBuilder().tag('O').i32(5).i32(4).i32(42).tag('K'));
    EXPECT_EQ(-59, recv_noQuery_OP(wire.conn(), nullptr));
    EXPECT_EQ(kReturnWithoutTarget, conn_text(wire.conn()));
    wire.conn()->bound_params = nullptr;
}

// The result set of a procedure reply reaches the caller as a complete
// result, walkable through the result functions.
TEST(ProcedureReply, ResultSetGoesToTheCallersSlot) {
    HandParams params(0);
    WirePair wire;
    wire.conn()->bound_params = params.get();
    WireBuilder reply;
    columns(reply, {{"n", 5}});
    int_rows(reply, 3, 10).tag('K');
    wire.feed(reply);
    Result* received = nullptr;
    EXPECT_EQ(3, recv_noQuery_OP(wire.conn(), &received));
    ASSERT_NE(nullptr, received);
    EXPECT_EQ(HANDLE_RESULT, received->handle_kind);
    EXPECT_EQ(RESULT_ROWS, received->result_kind);
    EXPECT_EQ(wire.conn(), received->conn);
    void* handle = received;
    int total = 0, value = 0, length = 0;
    while (KVC_ReadNext(&handle) == 0) {
        ASSERT_EQ(0, KVC_GetData(&handle, 1, 5, &value, sizeof value, &length));
        total += value;
    }
    EXPECT_EQ(10 + 11 + 12, total);
    KVC_FreeRowset(&handle);

    // Without a slot the result is released (the sanitizer build sees a leak otherwise).
    wire.feed(reply);
    EXPECT_EQ(3, recv_noQuery_OP(wire.conn(), nullptr));
    wire.conn()->bound_params = nullptr;
}

// ---- single values -------------------------------------------------------------

TEST(SingleValueReply, FirstValueAsText) {
    WirePair wire;
    WireBuilder reply;
    columns(reply, {{"name", 30}, {"n", 5}});
    reply.tag('R').i32(3).raw("abc").i32(4).i32(1).tag('K');
    wire.feed(reply);
    char value[64];
    memset(value, 'x', sizeof value);
    int type = -1;
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ(30, type);
    EXPECT_EQ("abcx", std::string(value, 4)) << "the text comes without a terminator";
}

TEST(SingleValueReply, NoRowsAndCounts) {
    WirePair wire;
    WireBuilder empty;
    columns(empty, {{"n", 5}}).tag('K');
    wire.feed(empty);
    char value[65] = {0};
    memset(value, 'x', 64);
    int type = -1;
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ(0, type);
    EXPECT_EQ(Bytes(4, 0), Bytes(value, value + 4));

    wire.feed(WireBuilder().tag('U').i32(5).tag('K'));
    EXPECT_EQ(2, recv_Query_One(wire.conn(), value, &type));
    wire.feed(WireBuilder().tag('D').i32(5).tag('K'));
    EXPECT_EQ(3, recv_Query_One(wire.conn(), value, &type));
    wire.feed(WireBuilder().tag('I').str("row-17").tag('K'));
    EXPECT_EQ(1, recv_Query_One(wire.conn(), value, &type));
    wire.feed(WireBuilder().tag('E').str("no such table").tag('K'));
    EXPECT_EQ(-1, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ("no such table", conn_text(wire.conn()));
}

// An output parameter message ends a single-value dispatch; the rest of its
// reply is still read so that the next request starts in step.
TEST(SingleValueReply, OutputMessageEndsTheDispatchInStep) {
    WirePair wire;
    wire.feed(WireBuilder().tag('P').i32(0).i32(5).i32(4).i32(1).tag('W').str("w").tag('K')
                  .tag('U').i32(8).tag('K'));
    char value[64];
    int type = 0;
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_EQ(8, recv_noQuery(wire.conn()));
}

// The server pauses after 200 rows until it gets ".": exactly 200 rows and
// the end need no request, 201 need one.
TEST(SingleValueReply, ContinueRequestOnlyWhenRowsGoOn) {
    for (int rows : {200, 201}) {
        SCOPED_TRACE(rows);
        WirePair wire;
        WireBuilder reply;
        columns(reply, {{"n", 5}});
        int_rows(reply, rows, 7).tag('K');
        wire.feed(reply);
        char value[65] = {0};
        int type = 0;
        EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
        EXPECT_EQ(5, type);
        EXPECT_STREQ("7", value);
        EXPECT_EQ(rows == 200 ? Bytes{} : Bytes{'.'}, wire.sent());
    }
}

// Rows past the 400 kept are read to the end of the reply, so the next
// reply is read from its start.
TEST(SingleValueReply, LongResultStaysAligned) {
    WirePair wire;
    WireBuilder reply;
    columns(reply, {{"n", 5}});
    int_rows(reply, 450, 1).tag('K');
    wire.feed_async(reply);
    char value[65] = {0};
    int type = 0;
    EXPECT_EQ(0, recv_Query_One(wire.conn(), value, &type));
    EXPECT_STREQ("1", value);
    wire.wait_fed();
    EXPECT_EQ((Bytes{'.', '.'}), wire.sent());
    wire.feed(WireBuilder().tag('U').i32(3).tag('K'));
    EXPECT_EQ(3, recv_noQuery(wire.conn()));
}

}  // namespace
