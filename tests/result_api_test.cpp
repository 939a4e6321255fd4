// The exported result functions: shape of a result, column descriptions,
// the row cursor and value getter, moving along a chain and releasing.
#include "kvc.h"
#include "support/rows_support.h"

#include <climits>
#include <cstring>
#include <string>

namespace {

// A reply received as the library receives it: an update count, then a
// three-row result with described columns, then an insert identifier.
class ReplyFixture : public testing::Test {
protected:
    void SetUp() override {
        WireBuilder w;
        describe(w.tag('U').i32(7).tag('A'), {{"T.ID%Key", 5, 11, 1}, {"NAME", 30, 22, 2}, {"S.T.X", 0, 0, 3}});
        for (int i = 0; i < 3; ++i) w.tag('R').i32(4).i32(100 + i).str("name" + std::to_string(i)).i32(0);
        pair_.feed(w.tag('I').str(std::string(30, '9')).tag('K'));
        ASSERT_EQ(recv_Query_Rs(pair_.conn(), reinterpret_cast<Result**>(&head_)), 3);
        ASSERT_NE(head_, nullptr);
        rows_ = static_cast<Result*>(head_)->next_result;
        ASSERT_NE(rows_, nullptr);
    }
    // Releases the whole chain (the sanitizer build shows nothing leaks).
    void TearDown() override {
        EXPECT_EQ(KVC_FreeRowset(&head_), 0);
        EXPECT_EQ(head_, nullptr);
    }

    WirePair pair_;
    void* head_ = nullptr;   // the caller's handle variable
    Result* rows_ = nullptr;
};

TEST_F(ReplyFixture, ShapeOfEachResult) {
    int kind = -1, columns = -1, rows = -1, affected = -1;
    char insert_id[25];
    EXPECT_EQ(KVC_getResultRet(&head_, &kind, &columns, &rows, &affected, insert_id), 0);
    EXPECT_EQ(kind, 2);
    EXPECT_EQ(affected, 7);
    EXPECT_EQ(columns, -1);   // only what the kind carries is written
    EXPECT_EQ(rows, -1);

    void* handle = rows_;
    affected = -1;
    EXPECT_EQ(KVC_getResultRet(&handle, &kind, &columns, &rows, &affected, insert_id), 0);
    EXPECT_EQ(kind, 4);
    EXPECT_EQ(columns, 3);
    EXPECT_EQ(rows, 3);
    EXPECT_EQ(affected, -1);
    columns = rows = -1;
    EXPECT_EQ(KVC_getResultColumnsnum(&handle, &columns), 0);
    EXPECT_EQ(KVC_getResultRecordnum(&handle, &rows), 0);
    EXPECT_EQ(columns, 3);
    EXPECT_EQ(rows, 3);

    // The identifier output holds 25 bytes: a 30-character identifier is cut
    // to 25 characters, with no room left for a terminator.
    void* id_handle = rows_->next_result;
    char guarded[32];
    memset(guarded, '#', sizeof guarded);
    EXPECT_EQ(KVC_getResultRet(&id_handle, &kind, &columns, &rows, &affected, guarded), 0);
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(std::string(guarded, 26), std::string(25, '9') + "#");
}

TEST_F(ReplyFixture, ColumnDescriptions) {
    void* handle = rows_;
    int value = -1;
    EXPECT_EQ(KVC_getResultcolmodi(&handle, 2, &value), 0);
    EXPECT_EQ(value, 22);
    EXPECT_EQ(KVC_getResultcolmodi(&handle, 4, &value), -15);
    EXPECT_EQ(KVC_getResultcolType(&handle, 1, &value), 0);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(KVC_getResultcolType(&handle, 0, &value), -15);

    // The name of a column is its alias when it has one; the buffer is
    // neither cleared nor terminated.
    char name[16] = "LONGERNAME";
    EXPECT_EQ(KVC_getResultcolname(&handle, 2, name), 0);
    EXPECT_STREQ(name, "NAMEERNAME");
    EXPECT_EQ(KVC_getResultcolname(&handle, 1, name), 0);
    EXPECT_STREQ(name, "KeyEERNAME");
    EXPECT_EQ(KVC_getResultcolname(&handle, 9, name), -1);

    const std::pair<const char*, int> lookups[] = {
        {"kEY", 1}, {"ID", 0} /* hidden behind its alias */, {"name", 2}, {"t.x", 3}, {"S.T.X", 0} /* no table */};
    for (const auto& l : lookups) EXPECT_EQ(KVC_getResultcolseq(&handle, l.first), l.second) << l.first;

    char table[128], column[128], alias[128];
    memset(alias, '#', sizeof alias);
    int c_type = -1, modifier = -1, attribute = -1;
    EXPECT_EQ(KVC_getResultColInfo(&handle, 3, table, column, alias, &c_type, &modifier, &attribute), 0);
    EXPECT_STREQ(table, "S");
    EXPECT_STREQ(column, "T.X");
    EXPECT_EQ(alias[0], '\0');
    EXPECT_EQ(alias[127], '\0');
    EXPECT_EQ(c_type, 2);
    EXPECT_EQ(attribute, 3);
    EXPECT_EQ(KVC_getResultColInfo(&handle, 4, table, column, alias, &c_type, &modifier, &attribute), -1);
}

TEST_F(ReplyFixture, RowCursorAndValues) {
    void* handle = rows_;
    char text[16];
    int length = 0;
    EXPECT_EQ(KVC_GetData(&handle, 1, 5, text, sizeof text, &length), -11);   // before the first row
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(KVC_ReadNext(&handle), 0);
        int32_t id = 0;
        EXPECT_EQ(KVC_GetData(&handle, 1, 5, &id, 4, &length), 0);
        EXPECT_EQ(id, 100 + i);
        for (int col : {0, -1, INT_MIN}) EXPECT_EQ(KVC_GetData(&handle, col, 5, &id, 4, &length), KVC_BAD_COLUMN) << col;
        EXPECT_EQ(KVC_GetData(&handle, 2, 2, text, sizeof text, &length), 0);
        EXPECT_EQ(std::string(text), "name" + std::to_string(i));
        EXPECT_EQ(KVC_GetData(&handle, 3, 2, text, sizeof text, &length), -11);
    }
    EXPECT_EQ(KVC_ReadNext(&handle), 100);
    EXPECT_EQ(KVC_GetData(&handle, 1, 5, text, sizeof text, &length), -11);
    EXPECT_EQ(length, 0);
}

TEST_F(ReplyFixture, MovingAlongTheChain) {
    void* handle = head_;
    ASSERT_EQ(KVC_NextResult(&handle), 0);   // releases the update count
    head_ = handle;
    EXPECT_EQ(handle, rows_);
    ASSERT_EQ(KVC_NextResult(&handle), 0);
    head_ = handle;
    EXPECT_EQ(static_cast<Result*>(handle)->result_kind, RESULT_INSERT_ID);
    EXPECT_EQ(KVC_NextResult(&handle), 100);
    EXPECT_EQ(handle, head_);   // still the last result
}

TEST(ResultApi, ReservedKindAnswersZeroAndOtherKindsMinusThree) {
    struct FakeRecord {
        int32_t kind;
        char rest[64];
    } reserved{KVC_HANDLE_RESERVED, {}}, connection{KVC_HANDLE_CONNECTION, {}};
    for (void* h : {static_cast<void*>(&reserved), static_cast<void*>(&connection)}) {
        void* handle = h;
        const int expected = h == &reserved ? 0 : -3;
        int out = 12345;
        char buf[128];
        EXPECT_EQ(KVC_getResultColumnsnum(&handle, &out), expected);
        EXPECT_EQ(KVC_getResultRecordnum(&handle, &out), expected);
        EXPECT_EQ(KVC_getResultRet(&handle, &out, &out, &out, &out, buf), expected);
        EXPECT_EQ(KVC_getResultcolmodi(&handle, 1, &out), expected);
        EXPECT_EQ(KVC_getResultcolType(&handle, 1, &out), expected);
        EXPECT_EQ(KVC_getResultcolname(&handle, 1, buf), expected);
        EXPECT_EQ(KVC_getResultcolseq(&handle, "x"), expected);
        EXPECT_EQ(KVC_getResultColInfo(&handle, 1, buf, buf, buf, &out, &out, &out), expected);
        EXPECT_EQ(KVC_ReadNext(&handle), h == &reserved ? 100 : -3);
        EXPECT_EQ(KVC_GetData(&handle, 1, 5, buf, 4, &out), expected);
        EXPECT_EQ(out, 12345);   // nothing written
        EXPECT_EQ(KVC_NextResult(&handle), 0);
        EXPECT_EQ(handle, h);
        EXPECT_EQ(KVC_FreeRowset(&handle), 0);
        EXPECT_EQ(handle, nullptr);
    }
    void* empty = nullptr;
    int out = 0;
    EXPECT_EQ(KVC_getResultColumnsnum(&empty, &out), -3);
    EXPECT_EQ(KVC_getResultColumnsnum(nullptr, &out), -3);
    EXPECT_EQ(KVC_FreeRowset(&empty), 0);
    EXPECT_EQ(KVC_FreeRowset(nullptr), -3);
}

TEST(ResultApi, UnknownCTypeEmptyAliasAndLongNames) {
    WireResult r({{"X", 5}, {"E%", 5}, {std::string(300, 'n'), 5}});
    r.result()->columns[0].c_type = 0;
    int c_type = 77, modifier, attribute;
    EXPECT_EQ(KVC_getResultcolType(r.handle(), 1, &c_type), 0);
    EXPECT_EQ(c_type, 77);   // left untouched

    // A name text ending in "%" has an empty alias, which stands for the column.
    char name[8] = "abc";
    EXPECT_EQ(KVC_getResultcolname(r.handle(), 2, name), 0);
    EXPECT_STREQ(name, "abc");
    EXPECT_EQ(KVC_getResultcolseq(r.handle(), "E"), 0);
    EXPECT_EQ(KVC_getResultcolseq(r.handle(), ""), 2);

    char table[128], column[128], alias[128];
    EXPECT_EQ(KVC_getResultColInfo(r.handle(), 3, table, column, alias, &c_type, &modifier, &attribute), 0);
    EXPECT_EQ(std::string(column), std::string(127, 'n'));
    EXPECT_EQ(table[0], '\0');
}

}  // namespace
