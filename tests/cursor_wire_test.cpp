// Server cursors on the wire: the DECLARE, OPEN, FETCH and CLOSE texts,
// blanks included, and what each reply leaves behind.
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_rowset.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CursorWire, FetchTexts) {
    WirePair wire;
    wire.feed(rows_reply(2));
    void* result = nullptr;
    EXPECT_EQ(2, KVC_FetchServerCursorRowset(wire.handle(), "c1", &result));
    EXPECT_EQ(command_message("FETCH  20000  FROM  c1 "), wire.sent());
    KVC_FreeRowset(&result);

    // The head fetch reports 0 whatever the server said, but not a broken stream.
    const struct { Bytes reply; int status, cols; int64_t rows; } heads[] = {{rows_reply(3), 0, 1, 3}, {WireBuilder().tag('E').str("no cursor c2").tag('K'), 0, 0, 0},
                 {Bytes{}, -4, 0, 0}};
    for (const auto& h : heads) {
        if (h.reply.empty()) wire.close_peer();
        else wire.feed(h.reply);
        int cols = 9, count = 50;
        int64_t rows = 9;
        EXPECT_EQ(h.status, KVC_FetchRefCursorHead(wire.handle(), "c2", &result, &cols, &rows, &count));
        EXPECT_EQ(h.reply.empty() ? Bytes{} : command_message("FETCH 50  FROM c2 "), wire.sent());
        EXPECT_EQ(h.cols, cols);
        EXPECT_EQ(h.rows, rows);
        EXPECT_EQ(h.rows != 0, result != nullptr);
        KVC_FreeRowset(&result);
    }
}

TEST(CursorWire, DeclareAndOpen) {
    WirePair wire;
    WireBuilder declared;
    columns(declared, {{"a", 5}, {"b", 30}}).tag('K');
    wire.feed(joined({declared, WireBuilder().tag('K')}));
    void* result = nullptr;
    int cols = 0;
    EXPECT_EQ(0, KVC_ExecwithServerCursorReader(wire.handle(), "SELECT a,b FROM t", "c1", &result, &cols, nullptr));
    EXPECT_EQ(joined({command_message("DECLARE c1 CURSOR FOR SELECT a,b FROM t "), command_message("OPEN c1 ;")}),
              wire.sent());
    EXPECT_EQ(2, cols);
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(wire.conn(), conn_link_target(static_cast<Result*>(result)->conn_link));
    KVC_FreeRowset(&result);

    // A refused OPEN hands out nothing and reads its reply to the end.
    wire.feed(joined({declared, WireBuilder().tag('E').str("cursor c1 exists").tag('K'), WireBuilder().tag('K')}));
    cols = -1;
    EXPECT_EQ(-1, KVC_ExecwithServerCursorReader(wire.handle(), "SELECT a FROM t", "c1", &result, &cols, nullptr));
    EXPECT_EQ("cursor c1 exists", text_of(wire.conn()->error_text));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(-1, cols);
    EXPECT_EQ(0, KVC_CloseCursor(wire.handle(), "c1"));

    // A refused DECLARE is not followed by an OPEN.
    wire.sent();
    wire.feed(WireBuilder().tag('E').str("syntax").tag('K'));
    EXPECT_EQ(-1, KVC_ExecwithServerCursorReader(wire.handle(), "SELEC", "c1", &result, &cols, nullptr));
    EXPECT_EQ(command_message("DECLARE c1 CURSOR FOR SELEC "), wire.sent());
}

TEST(CursorWire, CloseRepliesAndTexts) {
    WirePair wire;
    wire.feed(WireBuilder().tag('K'));
    EXPECT_EQ(0, KVC_CloseCursor(wire.handle(), "c1"));
    EXPECT_EQ(command_message("CLOSE c1 "), wire.sent());

    // A long server text is kept whole, the cursor name still at the end.
    for (const auto& [text, name] : {std::make_pair(std::string("no cursor"), std::string("c1")),
                                      std::make_pair(std::string(400, 's'), std::string(150, 'c'))}) {
        wire.feed(WireBuilder().tag('E').str(text).tag('K'));
        EXPECT_EQ(-1, KVC_CloseCursor(wire.handle(), name.c_str()));
        EXPECT_EQ("[EC027]Error :" + text + " Close Cursor " + name + "  \n", text_of(wire.conn()->error_text));
    }
    wire.close_peer();
    EXPECT_EQ(-4, KVC_CloseCursor(wire.handle(), "c1"));
    EXPECT_EQ(1, lock_value(wire.conn()));
}

// The rowset in the slot is released (a leak shows in the sanitizer build)
// and the new one starts at its first row.
TEST(CursorWire, FetchWithOwnTextReplacesTheSlot) {
    WirePair wire;
    wire.feed(joined({rows_reply(2), rows_reply(4)}));
    void* result = nullptr;
    ASSERT_EQ(2, KVC_FetchServerCursorRowset_V2(wire.handle(), "FETCH 2 FROM c1", &result));
    EXPECT_EQ(0, KVC_ReadNext(&result));
    EXPECT_EQ(4, KVC_FetchServerCursorRowset_V2(wire.handle(), "FETCH 4 FROM c1", &result));
    EXPECT_EQ(joined({command_message("FETCH 2 FROM c1"), command_message("FETCH 4 FROM c1")}), wire.sent());
    ASSERT_NE(nullptr, result);
    EXPECT_EQ(0, static_cast<Result*>(result)->read_pos);
    KVC_FreeRowset(&result);
}

}  // namespace
