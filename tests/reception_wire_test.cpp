// Result replies over a socket pair: column descriptions, rows, chained
// results, texts between rows, cursor fetches, and replies that break off or
// carry more than their fields hold.
#include "support/rows_support.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Releases a whole chain of results at the end of a test.
struct Chain {
    Result* head = nullptr;
    ~Chain() {
        while (head != nullptr) {
            Result* next = head->next_result;
            free_Result(head);
            head = next;
        }
    }
};

int32_t int_at(Result* result, int64_t row, int col) {
    RhRow** entry = nthR(result, row);
    if (entry == nullptr) return -999999;
    const void* value = getData(*entry, result->columns, col, nullptr);
    if (value == nullptr) return -888888;
    int32_t v;
    memcpy(&v, value, 4);
    return v;
}

// 'A', a one-int-column description and rows 0..count-1 holding their number.
WireBuilder& int_rows(WireBuilder& w, int count) {
    w.tag('A');
    describe(w, {{"N", 5}});
    for (int i = 0; i < count; ++i) w.tag('R').i32(4).i32(i);
    return w;
}

// The next byte the connection would read: shows that a reader left the
// stream exactly at a message boundary.
char next_byte(Conn_Attrs* conn) {
    char c = 0;
    EXPECT_EQ(rh_recv_char(conn, &c), 1);
    return c;
}

TEST(ReceptionWire, UpdateCountThenRowsGiveTwoChainedResults) {
    WirePair pair;
    WireBuilder w;
    w.tag('U').i32(5);
    int_rows(w, 3).tag('K');
    pair.feed(w);
    Chain chain;
    EXPECT_EQ(recv_Query_Rs(pair.conn(), &chain.head), 3);
    ASSERT_NE(chain.head, nullptr);
    EXPECT_EQ(chain.head->handle_kind, HANDLE_RESULT);
    EXPECT_EQ(chain.head->result_kind, RESULT_UPDATE_COUNT);
    EXPECT_EQ(chain.head->affected_rows, 5);
    Result* rows = chain.head->next_result;
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows->result_kind, RESULT_ROWS);
    EXPECT_EQ(rows->conn, pair.conn());
    EXPECT_EQ(rows->row_count, 3);
    EXPECT_EQ(int_at(rows, 2, 0), 2);
    EXPECT_EQ(rows->next_result, nullptr);
    EXPECT_EQ(pair.conn()->pushed_back_byte, 0);
}

TEST(ReceptionWire, StatusIsTheRowCountModuloTheBatch) {
    for (int count : {45000, 40000, 0}) {
        SCOPED_TRACE(count);
        WirePair pair;
        WireBuilder w;
        int_rows(w, count).tag('K');
        pair.feed_async(w);
        Chain chain;
        EXPECT_EQ(recv_Query_Rs(pair.conn(), &chain.head), count % 20000);
        ASSERT_NE(chain.head, nullptr);
        ASSERT_EQ(chain.head->row_count, count);
        for (int i = 0; i < count; ++i) ASSERT_EQ(int_at(chain.head, i, 0), i) << i;
    }
}

TEST(ReceptionWire, TextsBetweenRowsJoinTheResultsText) {
    WirePair pair;
    WireBuilder w;
    w.tag('A');
    describe(w, {{"N", 5}});
    w.tag('R').i32(4).i32(1).tag('W').str("first ").tag('E').str("second").tag('R').i32(4).i32(2);
    w.tag('M').str("|third").tag('K');
    pair.feed(w);
    Chain chain;
    testing::internal::CaptureStdout();
    EXPECT_EQ(recv_Query_Rs(pair.conn(), &chain.head), 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(chain.head, nullptr);
    EXPECT_EQ(chain.head->row_count, 2);
    ASSERT_NE(chain.head->error_text, nullptr);
    EXPECT_STREQ(chain.head->error_text, "first second|third");
    EXPECT_EQ(pair.conn()->error_text, nullptr);
}

TEST(ReceptionWire, ServerTextsOutsideRowsGoToTheConnection) {
    WireBuilder error_then_rows;
    int_rows(error_then_rows.tag('E').str("bad"), 2).tag('K');
    struct Case {
        Bytes reply;
        int status;
        const char* printed;
        const char* text;
    };
    const Case cases[] = {
        {WireBuilder().tag('W').str("careful").tag('K'), -1, "[EC032]Server Warning in recv result :careful \n", "careful"},
        {WireBuilder().tag('U').i32(4).tag('M').str("m").tag('K'), -1, "[EC032]Server Warning in recv result :m \n", "m"},
        {error_then_rows, 2, "[EC031]Error in recv result :bad \n", "bad"},   // the rows' status wins
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WirePair pair;
        pair.feed(c.reply);
        Chain chain;
        testing::internal::CaptureStdout();
        EXPECT_EQ(recv_Query_Rs(pair.conn(), &chain.head), c.status);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
        EXPECT_STREQ(pair.conn()->error_text, c.text);
    }
}

TEST(ReceptionWire, EveryWireTypeLandsInItsSlot) {
    WireResult r({{"B", 2}, {"T", 3}, {"S", 4}, {"I", 5}, {"L", 6}, {"F", 8}, {"D", 9}, {"C", 30}, {"Z", 5}});
    WireBuilder row;
    // The announced length of a fixed-width value is only tested for being
    // positive: the int column announces 7 and exactly 4 bytes are read.
    row.i32(1).i8('T').i32(1).i8(-3).i32(2).i16(-300).i32(7).i32(-70000).i32(8).i64(-5000000000LL);
    row.i32(4).r4(1.5f).i32(8).r8(-2.25);
    bytes_value(row, std::string("ab\0c", 4));
    row.i32(-1);   // a negative length is a null
    RhRow* stored = r.add_row(row);
    ASSERT_NE(stored, nullptr);
    const FieldInfo* f = r.result()->columns;
    auto as = [&](int col, auto sample) {
        decltype(sample) v;
        memcpy(&v, getData(stored, f, col, nullptr), sizeof v);
        return v;
    };
    EXPECT_EQ(as(0, char{}), 'T');
    EXPECT_EQ(as(1, int8_t{}), -3);
    EXPECT_EQ(as(2, int16_t{}), -300);
    EXPECT_EQ(as(3, int32_t{}), -70000);
    EXPECT_EQ(as(4, int64_t{}), -5000000000LL);
    EXPECT_EQ(as(5, float{}), 1.5f);
    EXPECT_EQ(as(6, double{}), -2.25);
    int length = 0;
    const char* text = static_cast<const char*>(getData(stored, f, 7, &length));
    ASSERT_EQ(length, 4);
    EXPECT_EQ(std::string(text, 5), std::string("ab\0c\0", 5));   // kept whole, NUL after
    EXPECT_TRUE(isNull(stored, 8));
}

TEST(ReceptionWire, ColumnNamesSplitAndTheRowIsLaidOut) {
    const struct {
        const char* text;
        const char* table;
        const char* column;
        const char* alias;
    } cases[] = {
        {"T.X%Y", "T", "X", "Y"}, {"X%Y.Z", nullptr, "X", "Y.Z"}, {"S.T.X", "S", "T.X", nullptr},
        {"X", nullptr, "X", nullptr}, {"", nullptr, "", nullptr}, {"X%", nullptr, "X", ""},
    };
    auto same = [](const char* got, const char* want) {
        return want == nullptr ? got == nullptr : got != nullptr && std::string(got) == want;
    };
    std::vector<ColumnSpec> specs;
    for (const auto& c : cases) specs.push_back({c.text, 30, 7, 9});
    WireResult r(specs);
    ASSERT_EQ(r.result()->column_count, 6);
    for (size_t i = 0; i < specs.size(); ++i) {
        SCOPED_TRACE(cases[i].text);
        const FieldInfo& f = r.result()->columns[i];
        EXPECT_TRUE(same(f.table_name, cases[i].table));
        EXPECT_TRUE(same(f.column_name, cases[i].column));
        EXPECT_TRUE(same(f.alias, cases[i].alias));
        EXPECT_EQ(f.type_modifier, 7);
        EXPECT_EQ(f.column_attribute, 9);
        EXPECT_EQ(f.c_type, 2);
    }
    // Status bytes, then the slots packed in column order.
    const struct {
        std::vector<ColumnSpec> columns;
        int row_size, last_offset;
    } layouts[] = {
        {{{"a", 3}, {"b", 3}, {"c", 3}, {"d", 6}}, 36, 4},
        {{{"a", 5}, {"b", 5}, {"c", 5}, {"d", 5}, {"e", 12}}, 24 + 2 + 16 + 16, 2 + 16},
        {{}, 24, -1},
    };
    for (const auto& c : layouts) {
        WireResult laid_out(c.columns);
        EXPECT_EQ(laid_out.result()->row_size, c.row_size);
        if (!c.columns.empty()) {
            EXPECT_EQ(laid_out.result()->columns[c.columns.size() - 1].data_offset, c.last_offset);
        }
    }
}

TEST(ReceptionWire, LongRowTagAndInsertIdAreCutAndConsumed) {
    WirePair pair;
    WireBuilder w;
    w.tag('I').str(std::string(40, 'i'));
    w.tag('A');
    describe(w, {{"N", 5}});
    const std::string row_tag = "0123456789abcdefghijKLMNO";   // 25 bytes
    w.tag('*').str(row_tag).i32(4).i32(77).tag('K');
    pair.feed(w);
    Chain chain;
    EXPECT_EQ(recv_Query_Rs(pair.conn(), &chain.head), 1);
    ASSERT_NE(chain.head, nullptr);
    EXPECT_EQ(chain.head->result_kind, RESULT_INSERT_ID);
    EXPECT_EQ(std::string(chain.head->insert_id), std::string(31, 'i'));
    EXPECT_EQ(std::string(pair.conn()->last_insert_id), std::string(31, 'i'));
    Result* rows = chain.head->next_result;
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(rows->row_count, 1);
    RhRow* row = *nthR(rows, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(row) + 4, 20), row_tag.substr(0, 20));
    EXPECT_EQ(int_at(rows, 0, 0), 77);
}

TEST(ReceptionWire, BadDescriptionOrBrokenStreamLeavesNoResult) {
    struct Case {
        const char* what;
        WireBuilder body;
        int status;
    };
    std::vector<Case> cases;
    cases.push_back({"too many columns", WireBuilder().tag('U').i32(1).tag('A').i32(4001), -4});
    cases.push_back({"negative column count", WireBuilder().tag('A').i32(-1), -4});
    cases.push_back({"name too long", WireBuilder().tag('A').i32(1).i32(1025), -4});
    // The second column's fields never arrive.
    cases.push_back({"column cut short", WireBuilder().tag('A').i32(2).str("a").i32(5).i32(0).i32(0).str("b").i32(5), -1});
    WireBuilder broken_row;
    int_rows(broken_row.tag('U').i32(1), 3).tag('R').i32(4);
    cases.push_back({"row cut short: everything is dropped", broken_row, -4});
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        WirePair pair;
        pair.feed(c.body);
        pair.close_peer();
        Result* result = reinterpret_cast<Result*>(0x1);
        EXPECT_EQ(recv_Query_Rs(pair.conn(), &result), c.status);
        EXPECT_EQ(result, nullptr);
    }
}

TEST(ReceptionWire, CursorFetchHasNoBatchLimitAndDropsASecondDescription) {
    WirePair pair;
    WireBuilder w;
    int_rows(w.tag('M').str("note"), 30000).tag('A');
    describe(w, {{"S", 30}, {"N", 5}}).tag('R');
    bytes_value(w, "xyz").i32(4).i32(1).tag('K').tag('Z');
    pair.feed_async(w);
    Chain chain;
    testing::internal::CaptureStdout();
    EXPECT_EQ(recv_Query_Cursor(pair.conn(), &chain.head), 30000);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[EC032]Server Warning in recv result :note \n");
    ASSERT_NE(chain.head, nullptr);
    EXPECT_EQ(chain.head->handle_kind, HANDLE_RESULT);
    EXPECT_EQ(chain.head->column_count, 1);
    EXPECT_EQ(chain.head->row_count, 30000);
    EXPECT_EQ(chain.head->next_result, nullptr);
    EXPECT_EQ(int_at(chain.head, 29999, 0), 29999);
    EXPECT_STREQ(pair.conn()->error_text, "note");
    EXPECT_EQ(next_byte(pair.conn()), 'Z');
}

TEST(ReceptionWire, SmallBatchStopsAtTwoHundredRows) {
    WirePair pair;
    WireBuilder w;
    w.i32(1).str("N").i32(5).i32(0).i32(0);
    for (int i = 0; i < 250; ++i) w.tag('R').i32(4).i32(i);
    w.tag('K');
    pair.feed(w);
    Result* result = new_result(pair.conn(), RESULT_ROWS);
    ASSERT_EQ(recv_fields_info(pair.conn(), result), 0);
    EXPECT_EQ(recvRecords200(pair.conn(), result), 200);
    EXPECT_EQ(recvRecords200(pair.conn(), result), 50);
    EXPECT_EQ(result->row_count, 250);
    EXPECT_EQ(next_byte(pair.conn()), 'K');
    free_Result(result);
}

#if !defined(__SANITIZE_ADDRESS__)
// A value too large to allocate: the row is dropped with the rest of its
// result's rows, the stream stays in step, the rows before it stay and the
// reply reports -5. Run in a child whose address space is capped.
TEST(ReceptionWireDeathTest, ValueTooLargeToAllocateFailsCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr int32_t kHuge = 256 << 20;
            WirePair pair;
            WireBuilder w;
            w.tag('A');
            describe(w, {{"S", 30}});
            w.tag('R').i32(1).raw("a").tag('R').i32(kHuge);
            Bytes reply = w.bytes();
            reply.resize(reply.size() + kHuge, 'x');
            WireBuilder tail;
            tail.tag('R').i32(1).raw("b").tag('U').i32(9).tag('K');
            reply.insert(reply.end(), tail.bytes().begin(), tail.bytes().end());
            pair.feed_async(reply);
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
            // Room for what is mapped now and a little more, not for the value.
            long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(90);
            fclose(statm);
            limit.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
            setrlimit(RLIMIT_AS, &limit);
            Result* head = nullptr;
            int status = recv_Query_Rs(pair.conn(), &head);
            bool ok = status == -5 && head != nullptr && head->row_count == 1 && head->next_result != nullptr &&
                      head->next_result->affected_rows == 9;
            _exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
#endif

}  // namespace
