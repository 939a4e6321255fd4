// The result memory pool (its three ways of serving a request) and the byte
// layout of a stored row: status bits, packed slots, setters and getter.
#include "kvc_records.h"
#include "kvc_utility.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

struct Pool {
    Result_Mem* pool = RS_mem_init();
    ~Pool() { RS_destroy(pool); }
    // Leaves the tail chunk with exactly `free_bytes` remaining.
    void leave_free(int free_bytes) {
        ASSERT_NE(RS_malloc(pool, pool->tail->remaining - free_bytes - 1), nullptr);
        ASSERT_EQ(pool->tail->remaining, free_bytes);
    }
};

TEST(ResultPool, LargestPieceFillsTheFirstChunkAndTheNextStartsAnother) {
    Pool p;
    Result_Mem_chunk* first = p.pool->head;
    ASSERT_EQ(p.pool->tail, first);
    EXPECT_EQ(first->capacity, 65536);
    void* piece = RS_malloc(p.pool, 65535);
    EXPECT_EQ(piece, first->buffer);
    EXPECT_EQ(first->remaining, 0);
    EXPECT_EQ(first->used, 65536);
    memset(piece, 0xAB, 65536);   // n + 1 bytes are the caller's

    void* next = RS_malloc(p.pool, 1);
    ASSERT_NE(p.pool->tail, first);
    EXPECT_EQ(next, p.pool->tail->buffer);
    EXPECT_EQ(p.pool->tail->used, 2);
    EXPECT_EQ(p.pool->tail->remaining, 65534);
}

TEST(ResultPool, MidSizedRequestDependsOnTheTailsFreeBytes) {
    {
        SCOPED_TRACE("50,000 free: cut from the tail");
        Pool p;
        p.leave_free(50000);
        Result_Mem_chunk* tail = p.pool->tail;
        EXPECT_EQ(RS_malloc(p.pool, 40000), tail->buffer + tail->used);
        EXPECT_EQ(p.pool->tail, tail);
        EXPECT_EQ(tail->remaining, 50000 - 40001);
    }
    {
        SCOPED_TRACE("35,000 free: a dedicated buffer, the tail keeps its free bytes");
        Pool p;
        p.leave_free(35000);
        Result_Mem_chunk* old_record = p.pool->tail;
        unsigned char* old_buffer = old_record->buffer;
        const int old_used = old_record->used;
        unsigned char* piece = static_cast<unsigned char*>(RS_malloc(p.pool, 40000));
        ASSERT_NE(piece, nullptr);
        // The dedicated buffer takes the old record; the chunk moves to a new tail record.
        EXPECT_EQ(old_record->buffer, piece);
        EXPECT_EQ(old_record->capacity, 40001);
        EXPECT_EQ(old_record->used, 40001);
        EXPECT_EQ(old_record->remaining, 0);
        EXPECT_EQ(std::vector<unsigned char>(piece, piece + 40001), std::vector<unsigned char>(40001, 0));
        ASSERT_EQ(old_record->next, p.pool->tail);
        EXPECT_EQ(p.pool->tail->buffer, old_buffer);
        EXPECT_EQ(p.pool->tail->remaining, 35000);
        EXPECT_EQ(RS_malloc(p.pool, 10), old_buffer + old_used);   // small pieces still come from it
    }
    {
        SCOPED_TRACE("30,000 free: a fresh chunk");
        Pool p;
        p.leave_free(30000);
        Result_Mem_chunk* old_tail = p.pool->tail;
        void* piece = RS_malloc(p.pool, 40000);
        ASSERT_NE(p.pool->tail, old_tail);
        EXPECT_EQ(piece, p.pool->tail->buffer);
        EXPECT_EQ(p.pool->tail->used, 40001);
        EXPECT_EQ(p.pool->tail->remaining, 25535);
        EXPECT_EQ(old_tail->remaining, 30000);   // abandoned, not reused
    }
}

TEST(ResultPool, OversizedAndManyPiecesStayDistinctAndWritable) {
    Pool p;
    Result_Mem_chunk* first = p.pool->head;
    unsigned char* first_buffer = first->buffer;
    ASSERT_NE(RS_malloc(p.pool, 100000), nullptr);   // its own buffer, whatever is free
    EXPECT_EQ(first->capacity, 100001);
    EXPECT_EQ(p.pool->tail->buffer, first_buffer);
    EXPECT_EQ(p.pool->tail->remaining, 65536);
    EXPECT_EQ(RS_malloc(p.pool, -1), nullptr);
}

// Many chunks mixed with dedicated buffers, over several slabs, in one pool
// after another (freed slabs serve the next pool): every piece is usable over
// its whole length (the sanitizers watch), no two start alike, and none is
// overwritten while its pool lives.
TEST(ResultPool, PiecesOfPoolAfterPoolStayDistinctAndIntact) {
    for (int round = 0; round < 2; ++round) {
        Pool p;
        std::vector<std::pair<unsigned char*, int>> pieces;
        std::set<unsigned char*> starts;
        for (int i = 0; i < 200; ++i) {
            const int n = (i % 7 == 0) ? 70000 : 30000;
            unsigned char* piece = static_cast<unsigned char*>(RS_malloc(p.pool, n));
            ASSERT_NE(piece, nullptr);
            memset(piece, i & 0xFF, static_cast<size_t>(n) + 1);
            EXPECT_TRUE(starts.insert(piece).second);
            pieces.emplace_back(piece, n);
        }
        for (size_t i = 0; i < pieces.size(); ++i) {
            const std::vector<unsigned char> expected(static_cast<size_t>(pieces[i].second) + 1,
                                                      static_cast<unsigned char>(i & 0xFF));
            ASSERT_EQ(memcmp(pieces[i].first, expected.data(), expected.size()), 0) << "round " << round << " piece " << i;
        }
    }
}

// ---- row layout -----------------------------------------------------------------

// Four columns of types 3, 3, 3, 6: one status byte, three 1-byte slots, then
// the 8-byte slot at offset 4 (row size 36).
TEST(RowLayout, EightByteValueReadsBackFromAnUnalignedSlot) {
    Pool p;
    FieldInfo fields[4] = {};
    for (int i = 0; i < 4; ++i) {
        fields[i].server_type = i < 3 ? 3 : 6;
        fields[i].data_offset = 2 + i;
    }
    RhRow* row = createRow_inMemls(p.pool, 2 + 3 + 8, 4);
    ASSERT_NE(row, nullptr);
    const int64_t value = 0x0102030405060708;
    setDataI8(row, fields, 3, value);
    setDataI1(row, fields, 0, -7);
    int length = -1;
    const void* address = getData(row, fields, 3, &length);
    EXPECT_EQ(address, row + 2 + 3);
    EXPECT_NE(reinterpret_cast<uintptr_t>(address) % 8, 0u);
    EXPECT_EQ(length, 8);
    int64_t read_back;
    memcpy(&read_back, address, 8);
    EXPECT_EQ(read_back, value);
    EXPECT_EQ(*static_cast<const int8_t*>(getData(row, fields, 0, nullptr)), -7);
}

TEST(RowLayout, StatusBitsAndNulls) {
    Pool p;
    // Five columns: two status bytes, four 4-byte slots, then a 12-byte one.
    FieldInfo fields[5] = {};
    for (int i = 0; i < 5; ++i) {
        fields[i].server_type = i < 4 ? 5 : 30;
        fields[i].data_offset = 2 + 4 * i;
    }
    RhRow* row = createRow_inMemls(p.pool, 2 + 16 + 12, 5);
    ASSERT_NE(row, nullptr);
    // A fresh row is all nulls: bits 0x01, 0x04, 0x10, 0x40, then 0x01.
    EXPECT_EQ(row[0], 0x55);
    EXPECT_EQ(row[1], 0x01);
    int length = 1234;
    EXPECT_EQ(getData(row, fields, 2, &length), nullptr);
    EXPECT_EQ(length, 1234);   // untouched for a null

    setDataI4(row, fields, 2, 99);
    EXPECT_EQ(row[0], 0x55 & ~0x10);
    EXPECT_FALSE(isNull(row, 2));
    setNull(row, 2);
    EXPECT_TRUE(isNull(row, 2));
    clrNull(row, 2);
    EXPECT_FALSE(isNull(row, 2));

    const char text[] = "hello";
    setPtr(row, 4);
    setDataBin(row, fields, 4, text, 5);
    EXPECT_EQ(row[1], 0x02);   // pointer bit set, null bit cleared
    EXPECT_TRUE(isPtr(row, 4));
    EXPECT_FALSE(isPtr(row, 2));
    EXPECT_EQ(getData(row, fields, 4, &length), text);
    EXPECT_EQ(length, 5);
    // The slot: length, then the address.
    const unsigned char* slot = row + fields[4].data_offset;
    int32_t stored_length;
    memcpy(&stored_length, slot, 4);
    EXPECT_EQ(stored_length, 5);
    const char* stored_address;
    memcpy(&stored_address, slot + 4, sizeof stored_address);
    EXPECT_EQ(stored_address, text);
}

// The tag mark follows the last column's bits and touches none of them; a
// tagged row's tag bytes lie in front of it, cleared.
TEST(RowLayout, TaggedRowsCarryTheirTagInFront) {
    Pool p;
    for (int columns : {0, 3, 4, 5}) {
        SCOPED_TRACE(columns);
        Result result = {};
        result.column_count = columns;
        const int size = row_status_bytes(columns) + columns;
        RhRow* plain = createRow_inMemls(p.pool, size, columns);
        RhRow* tagged = createRow_inMemls(p.pool, size, columns, true);
        ASSERT_NE(plain, nullptr);
        ASSERT_NE(tagged, nullptr);
        EXPECT_EQ(row_tag(&result, plain), nullptr);
        ASSERT_EQ(row_tag(&result, tagged), tagged - ROW_TAG_MAX);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(tagged - ROW_TAG_MAX), ROW_TAG_MAX),
                  std::string(ROW_TAG_MAX, '\0'));
        for (int i = 0; i < columns; ++i) EXPECT_TRUE(isNull(tagged, i) && !isPtr(tagged, i)) << i;
    }
}

}  // namespace
