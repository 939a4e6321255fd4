// Server cursors on the wire: the DECLARE, OPEN, FETCH and CLOSE texts,
// blanks included, and what each reply leaves behind.
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <gtest/gtest.h>

#include <semaphore.h>

#include <string>

namespace {

std::string conn_text(Conn_Attrs* conn) {
    return conn->error_text != nullptr ? conn->error_text : "";
}

Bytes rows_reply(int rows) {
    WireBuilder b;
    columns(b, {{"n", 5}});
    int_rows(b, rows).tag('K');
    return b.bytes();
}

TEST(CursorWire, FetchTexts) {
    WirePair wire;
    wire.feed(rows_reply(2));
    void* result = nullptr;
    EXPECT_EQ(2, KVC_FetchServerCursorRowset(wire.handle(), "c1", &result));
    const Bytes sent = wire.sent();
    EXPECT_EQ(command_message("FETCH  20000  FROM  c1 "), sent);
    EXPECT_EQ(23u, first_command_text(sent).size());
    ASSERT_NE(nullptr, result);
    KVC_FreeRowset(&result);

    wire.feed(rows_reply(3));
    int cols = 0, count = 50;
    int64_t rows = 0;
    EXPECT_EQ(0, KVC_FetchRefCursorHead(wire.handle(), "c2", &result, &cols, &rows, &count));
    EXPECT_EQ(command_message("FETCH 50  FROM c2 "), wire.sent());
    EXPECT_EQ(1, cols);
    EXPECT_EQ(3, rows);
    KVC_FreeRowset(&result);
}

// A reply that breaks before any result is not a successful fetch.
TEST(CursorWire, HeadFetchOnABrokenConnection) {
    WirePair wire;
    wire.close_peer();
    void* result = nullptr;
    int cols = 9, count = 5;
    int64_t rows = 9;
    EXPECT_EQ(-4, KVC_FetchRefCursorHead(wire.handle(), "c2", &result, &cols, &rows, &count));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(0, cols);
    EXPECT_EQ(0, rows);
}

TEST(CursorWire, DeclareAndOpen) {
    WirePair wire;
    WireBuilder declared;
    columns(declared, {{"a", 5}, {"b", 30}}).tag('K');
    wire.feed(joined({declared, WireBuilder().tag('K')}));
    void* result = nullptr;
    int cols = 0;
    EXPECT_EQ(0, KVC_ExecwithServerCursorReader(wire.handle(), "SELECT a,b FROM t", "c1", &result,
                                                &cols, nullptr));
    EXPECT_EQ(joined({command_message("DECLARE c1 CURSOR FOR SELECT a,b FROM t "),
                      command_message("OPEN c1 ;")}),
              wire.sent());
    EXPECT_EQ(2, cols);
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(wire.conn(), static_cast<Result*>(result)->conn);
    KVC_FreeRowset(&result);
}

TEST(CursorWire, OpenRefused) {
    WirePair wire;
    WireBuilder declared;
    columns(declared, {{"a", 5}}).tag('K');
    wire.feed(joined({declared, WireBuilder().tag('E').str("cursor c1 exists").tag('K')}));
    void* result = nullptr;
    int cols = -1;
    EXPECT_EQ(-1, KVC_ExecwithServerCursorReader(wire.handle(), "SELECT a FROM t", "c1", &result,
                                                 &cols, nullptr));
    EXPECT_EQ("cursor c1 exists", conn_text(wire.conn()));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(-1, cols);
    // The reply was read to its end: the next exchange starts in step.
    wire.sent();
    wire.feed(WireBuilder().tag('K'));
    EXPECT_EQ(0, KVC_CloseCursor(wire.handle(), "c1"));
}

TEST(CursorWire, CloseRepliesAndTexts) {
    WirePair wire;
    wire.feed(WireBuilder().tag('K'));
    EXPECT_EQ(0, KVC_CloseCursor(wire.handle(), "c1"));
    EXPECT_EQ(command_message("CLOSE c1 "), wire.sent());

    wire.feed(WireBuilder().tag('E').str("no cursor").tag('K'));
    EXPECT_EQ(-1, KVC_CloseCursor(wire.handle(), "c1"));
    EXPECT_EQ("[EC027]Error :no cursor Close Cursor c1  \n", conn_text(wire.conn()));

    // A long server text is kept whole, the cursor name still at the end.
    const std::string long_text(400, 's');
    const std::string long_name(150, 'c');
    wire.feed(WireBuilder().tag('E').str(long_text).tag('K'));
    EXPECT_EQ(-1, KVC_CloseCursor(wire.handle(), long_name.c_str()));
    EXPECT_EQ("[EC027]Error :" + long_text + " Close Cursor " + long_name + "  \n",
              conn_text(wire.conn()));

    wire.close_peer();
    EXPECT_EQ(-4, KVC_CloseCursor(wire.handle(), "c1"));
    int lock = -1;
    sem_getvalue(&wire.conn()->conn_lock, &lock);
    EXPECT_EQ(1, lock);
}

TEST(CursorWire, FetchWithOwnTextReplacesTheSlot) {
    WirePair wire;
    wire.feed(rows_reply(2));
    void* result = nullptr;
    ASSERT_EQ(2, KVC_FetchServerCursorRowset_V2(wire.handle(), "FETCH 2 FROM c1", &result));
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(0, KVC_ReadNext(&result));
    EXPECT_EQ(command_message("FETCH 2 FROM c1"), wire.sent());

    // The rowset in the slot is released (a leak shows in the sanitizer build)
    // and the new one starts at its first row.
    wire.feed(rows_reply(4));
    EXPECT_EQ(4, KVC_FetchServerCursorRowset_V2(wire.handle(), "FETCH 4 FROM c1", &result));
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(0, static_cast<Result*>(result)->read_pos);
    int value = 0, length = 0;
    EXPECT_EQ(0, KVC_ReadNext(&result));
    EXPECT_EQ(0, KVC_GetData(&result, 1, 5, &value, sizeof value, &length));
    EXPECT_EQ(1, value);
    KVC_FreeRowset(&result);
}

}  // namespace
