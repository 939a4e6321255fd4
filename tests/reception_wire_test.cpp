// Result replies over a socket pair: column descriptions, rows, chained
// results, texts between rows, cursor fetches, and replies that break off or
// carry more than their fields hold.
#include "kvc.h"
#include "support/rows_support.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Reader = int (*)(Conn_Attrs*, Result**);

// A whole reply received by a reader, with what it printed; the stream ends
// after the reply when `then_close`.
struct Received {
    WirePair pair;
    Result* const unset = reinterpret_cast<Result*>(0x1);
    Result* head = unset;   // every reader must overwrite it
    int status;
    std::string printed;
    explicit Received(const Bytes& reply, Reader reader = recv_Query_Rs, bool then_close = false) {
        pair.feed_async(reply);
        if (then_close) pair.close_peer();
        testing::internal::CaptureStdout();
        status = reader(pair.conn(), &head);
        printed = testing::internal::GetCapturedStdout();
        pair.wait_fed();
    }
    ~Received() {
        void* handle = head;
        if (head != unset) KVC_FreeRowset(&handle);
    }
    // The next byte the connection would read: the reader stopped at a message boundary.
    char next_byte() {
        char c = 0;
        EXPECT_EQ(rh_recv_char(pair.conn(), &c), 1);
        return c;
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
    describe(w.tag('A'), {{"N", 5}});
    for (int i = 0; i < count; ++i) w.tag('R').i32(4).i32(i);
    return w;
}

TEST(ReceptionWire, UpdateCountThenRowsGiveTwoChainedResults) {
    WireBuilder w;
    int_rows(w.tag('U').i32(5), 3).tag('K');
    Received r(w);
    EXPECT_EQ(r.status, 3);
    ASSERT_NE(r.head, nullptr);
    EXPECT_EQ(r.head->handle_kind, KVC_HANDLE_RESULT);
    EXPECT_EQ(r.head->result_kind, RESULT_UPDATE_COUNT);
    EXPECT_EQ(r.head->affected_rows, 5);
    Result* rows = r.head->next_result;
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(rows->result_kind, RESULT_ROWS);
    EXPECT_EQ(conn_link_target(rows->conn_link), r.pair.conn());
    EXPECT_EQ(rows->row_count, 3);
    EXPECT_EQ(int_at(rows, 2, 0), 2);
    EXPECT_EQ(rows->next_result, nullptr);
    EXPECT_EQ(r.pair.conn()->pushed_back_byte, 0);
}

TEST(ReceptionWire, StatusIsTheRowCountModuloTheBatch) {
    for (int count : {45000, 40000, 0}) {
        SCOPED_TRACE(count);
        WireBuilder w;
        Received r(int_rows(w, count).tag('K'));
        EXPECT_EQ(r.status, count % 20000);
        ASSERT_NE(r.head, nullptr);
        ASSERT_EQ(r.head->row_count, count);
        for (int i = 0; i < count; ++i) ASSERT_EQ(int_at(r.head, i, 0), i) << i;
    }
}

TEST(ReceptionWire, TextsBetweenRowsJoinTheResultsText) {
    WireBuilder w;
    describe(w.tag('A'), {{"N", 5}});
    w.tag('R').i32(4).i32(1).tag('W').str("first ").tag('E').str("second").tag('R').i32(4).i32(2);
    Received r(w.tag('M').str("|third").tag('K'));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.printed, "");
    ASSERT_NE(r.head, nullptr);
    EXPECT_EQ(r.head->row_count, 2);
    EXPECT_STREQ(r.head->error_text, "first second|third");
    EXPECT_EQ(r.pair.conn()->error_text, nullptr);
}

TEST(ReceptionWire, ServerTextsOutsideRowsGoToTheConnection) {
    WireBuilder error_then_rows;
    int_rows(error_then_rows.tag('E').str("bad"), 2).tag('K');
    const struct {
        Bytes reply;
        int status;
        const char* printed;
        const char* text;
    } cases[] = {
        {WireBuilder().tag('W').str("careful").tag('K'), -1, "[EC032]Server Warning in recv result :careful \n", "careful"},
        {WireBuilder().tag('D').i32(4).tag('M').str("m").tag('K'), -1, "[EC032]Server Warning in recv result :m \n", "m"},
        {error_then_rows, 2, "[EC031]Error in recv result :bad \n", "bad"},   // the rows' status wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Received r(c.reply);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.printed, c.printed);
        EXPECT_STREQ(r.pair.conn()->error_text, c.text);
    }
}

TEST(ReceptionWire, EveryWireTypeLandsInItsSlot) {
    WireResult r({{"B", 2}, {"T", 3}, {"S", 4}, {"I", 5}, {"L", 6}, {"F", 8}, {"D", 9}, {"C", 30}, {"Z", 5}});
    WireBuilder row;
    // A fixed-width value's announced length is only tested for being
    // positive: the int column announces 7 and exactly 4 bytes are read.
    row.i32(1).i8('T').i32(1).i8(-3).i32(2).i16(-300).i32(7).i32(-70000).i32(8).i64(-5000000000LL);
    row.i32(4).r4(1.5f).i32(8).r8(-2.25).str(std::string("ab\0c", 4)).i32(-1);   // a negative length is a null
    RhRow* stored = r.add_row(row);
    ASSERT_NE(stored, nullptr);
    const FieldInfo* f = r.result()->columns;
    auto as = [&](int col, auto sample) {
        memcpy(&sample, getData(stored, f, col, nullptr), sizeof sample);
        return sample;
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

// Far more columns than usual: every one lands in its own slot, nulls included.
TEST(ReceptionWire, WideRowsKeepEveryColumn) {
    constexpr int kColumns = 700;
    std::vector<ColumnDesc> descs;
    WireBuilder row;
    for (int c = 0; c < kColumns; ++c) {
        descs.push_back({"c" + std::to_string(c), c % 2 == 0 ? 5 : 30});
        if (c % 7 == 3) row.i32(0);
        else if (c % 2 == 0) row.i32(4).i32(c * 11);
        else row.str("v" + std::to_string(c));
    }
    WireResult r(descs);
    RhRow* stored = r.add_row(row);
    ASSERT_NE(stored, nullptr);
    const FieldInfo* f = r.result()->columns;
    for (int c = 0; c < kColumns; ++c) {
        SCOPED_TRACE(c);
        int length = -1;
        const void* value = getData(stored, f, c, &length);
        if (c % 7 == 3) {
            EXPECT_EQ(value, nullptr);
        } else if (c % 2 == 0) {
            int32_t n = 0;
            ASSERT_NE(value, nullptr);
            memcpy(&n, value, 4);
            EXPECT_EQ(n, c * 11);
        } else {
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(std::string(static_cast<const char*>(value), static_cast<size_t>(length)), "v" + std::to_string(c));
        }
    }
}

TEST(ReceptionWire, ColumnNamesSplitAndTheRowIsLaidOut) {
    const struct {
        const char *text, *table, *column, *alias;
    } cases[] = {
        {"T.X%Y", "T", "X", "Y"}, {"X%Y.Z", nullptr, "X", "Y.Z"}, {"S.T.X", "S", "T.X", nullptr},
        {"X", nullptr, "X", nullptr}, {"", nullptr, "", nullptr}, {"X%", nullptr, "X", ""},
    };
    auto text_or_null = [](const char* s) { return s == nullptr ? std::string("(null)") : "'" + std::string(s) + "'"; };
    std::vector<ColumnDesc> descs;
    for (const auto& c : cases) descs.push_back({c.text, 30, 7, 9});
    WireResult r(descs);
    ASSERT_EQ(r.result()->column_count, 6);
    for (size_t i = 0; i < descs.size(); ++i) {
        SCOPED_TRACE(cases[i].text);
        const FieldInfo& f = r.result()->columns[i];
        EXPECT_EQ(text_or_null(f.table_name), text_or_null(cases[i].table));
        EXPECT_EQ(text_or_null(f.column_name), text_or_null(cases[i].column));
        EXPECT_EQ(text_or_null(f.alias), text_or_null(cases[i].alias));
        EXPECT_EQ(f.type_modifier, 7);
        EXPECT_EQ(f.column_attribute, 9);
        EXPECT_EQ(f.c_type, 2);
    }
    // Status bytes, then the slots packed in column order.
    const struct {
        std::vector<ColumnDesc> columns;
        int row_size, last_offset;
    } layouts[] = {
        {{{"a", 3}, {"b", 3}, {"c", 3}, {"d", 6}}, 2 + 3 + 8, 2 + 3},
        {{{"a", 5}, {"b", 5}, {"c", 5}, {"d", 5}, {"e", 12}}, 2 + 16 + 12, 2 + 16},
        {{}, 1, -1},
    };
    for (const auto& c : layouts) {
        WireResult laid_out(c.columns);
        EXPECT_EQ(laid_out.result()->row_size, c.row_size);
        const FieldInfo* columns = laid_out.result()->columns;
        EXPECT_EQ(c.columns.empty() ? -1 : columns[c.columns.size() - 1].data_offset, c.last_offset);
    }
}

TEST(ReceptionWire, LongRowTagAndInsertIdAreCutAndConsumed) {
    WireBuilder w;
    describe(w.tag('I').str(std::string(40, 'i')).tag('A'), {{"N", 5}});
    const std::string long_tag = "0123456789abcdefghijKLMNO";   // 25 bytes
    // A long tag, none, a short one: each row keeps its own.
    w.tag('*').str(long_tag).i32(4).i32(77).tag('R').i32(4).i32(78).tag('*').str("ab").i32(4).i32(79);
    Received r(w.tag('K'));
    EXPECT_EQ(r.status, 3);
    ASSERT_NE(r.head, nullptr);
    EXPECT_EQ(r.head->result_kind, RESULT_INSERT_ID);
    EXPECT_EQ(std::string(r.head->insert_id), std::string(31, 'i'));
    EXPECT_EQ(std::string(r.pair.conn()->last_insert_id), std::string(31, 'i'));
    Result* rows = r.head->next_result;
    ASSERT_NE(rows, nullptr);
    ASSERT_EQ(rows->row_count, 3);
    const std::string kept_tags[] = {long_tag.substr(0, ROW_TAG_MAX), "none", "ab" + std::string(18, '\0')};
    for (int n = 0; n < 3; ++n) {
        const unsigned char* tag = row_tag(rows, *nthR(rows, n));
        EXPECT_EQ(tag == nullptr ? "none" : std::string(reinterpret_cast<const char*>(tag), ROW_TAG_MAX), kept_tags[n]);
        EXPECT_EQ(int_at(rows, n, 0), 77 + n);
    }
}

TEST(ReceptionWire, BadDescriptionOrBrokenStreamLeavesNoResult) {
    WireBuilder broken_row;
    int_rows(broken_row.tag('U').i32(1), 3).tag('R').i32(4);
    const struct {
        const char* what;
        Bytes body;
        int status;
    } cases[] = {
        {"too many columns", WireBuilder().tag('U').i32(1).tag('A').i32(4001), -4},
        {"negative column count", WireBuilder().tag('A').i32(-1), -4},
        {"name too long", WireBuilder().tag('A').i32(1).i32(1025), -4},
        // The second column's fields never arrive.
        {"column cut short", WireBuilder().tag('A').i32(2).str("a").i32(5).i32(0).i32(0).str("b").i32(5), -1},
        {"row cut short: everything is dropped", broken_row, -4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Received r(c.body, recv_Query_Rs, true);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.head, nullptr);
    }
}

// A reply that announces what cannot be followed fails the connection: the
// next request reports it broken instead of reading what follows as a reply.
TEST(ReceptionWire, ImpossibleAnnouncementFailsTheConnection) {
    const Bytes cases[] = {
        WireBuilder().tag('A').i32(4001),
        WireBuilder().tag('A').i32(-1),
        WireBuilder().tag('A').i32(1).i32(1025),
        WireBuilder().tag('I').i32(-1),
        WireBuilder().tag('E').i32(-2),
    };
    for (const Bytes& body : cases) {
        SCOPED_TRACE(hex(body));
        Bytes reply = body;
        reply.push_back('K');   // a well-formed reply that must not be read as this one's rest
        Received r(reply);
        EXPECT_EQ(r.status, -4);
        Result* next = nullptr;
        EXPECT_EQ(recv_Query_Rs(r.pair.conn(), &next), -4);
        EXPECT_EQ(next, nullptr);
    }
}

TEST(ReceptionWire, CursorFetchHasNoBatchLimitAndDropsASecondDescription) {
    WireBuilder w;
    describe(int_rows(w.tag('M').str("note"), 30000).tag('A'), {{"S", 30}, {"N", 5}});
    Received r(w.tag('R').str("xyz").i32(4).i32(1).tag('K').tag('Z'), recv_Query_Cursor);
    EXPECT_EQ(r.status, 30000);
    EXPECT_EQ(r.printed, "[EC032]Server Warning in recv result :note \n");
    ASSERT_NE(r.head, nullptr);
    EXPECT_EQ(r.head->handle_kind, KVC_HANDLE_RESULT);
    EXPECT_EQ(r.head->column_count, 1);
    EXPECT_EQ(r.head->row_count, 30000);
    EXPECT_EQ(r.head->next_result, nullptr);
    EXPECT_EQ(int_at(r.head, 29999, 0), 29999);
    EXPECT_STREQ(r.pair.conn()->error_text, "note");
    EXPECT_EQ(r.next_byte(), 'Z');
}

TEST(ReceptionWire, SmallBatchStopsAtTwoHundredRows) {
    WireBuilder w;
    describe(w, {{"N", 5}});
    for (int i = 0; i < 250; ++i) w.tag('R').i32(4).i32(i);
    // Only the description goes through the reader; the rows are left for the batches.
    Received r(w.tag('K'), [](Conn_Attrs* conn, Result** out) {
        *out = new_result(conn, RESULT_ROWS);
        return recv_fields_info(conn, *out);
    });
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(recvRecords200(r.pair.conn(), r.head), 200);
    EXPECT_EQ(recvRecords200(r.pair.conn(), r.head), 50);
    EXPECT_EQ(r.head->row_count, 250);
    EXPECT_EQ(r.next_byte(), 'K');
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
            describe(w.tag('A'), {{"S", 30}});
            Bytes reply = w.tag('R').str("a").tag('R').i32(kHuge).bytes();
            reply.resize(reply.size() + kHuge, 'x');
            const Bytes tail = WireBuilder().tag('R').str("b").tag('U').i32(9).tag('K');
            reply.insert(reply.end(), tail.begin(), tail.end());
            pair.feed_async(reply);
            // Room for what is mapped now and a little more, not for the value.
            long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1) _exit(90);
            fclose(statm);
            rlimit limit{};
            getrlimit(RLIMIT_AS, &limit);
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
