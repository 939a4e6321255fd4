// The result memory pool (its three ways of serving a request) and the byte
// layout of a stored row: status bits, packed slots, setters and getter.
#include "kvc_records.h"
#include "kvc_utility.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

struct Pool {
    Result_Mem* pool = RS_mem_init();
    ~Pool() { RS_destroy(pool); }
    // Leaves the tail chunk with exactly `free_bytes` remaining.
    void leave_free(int free_bytes) {
        const int take = pool->tail->remaining - free_bytes - 1;
        ASSERT_NE(RS_malloc(pool, take), nullptr);
        ASSERT_EQ(pool->tail->remaining, free_bytes);
    }
    int chunk_count() const {
        int n = 0;
        for (Result_Mem_chunk* c = pool->head; c != nullptr; c = c->next) ++n;
        return n;
    }
};

TEST(ResultPool, FreshPoolHasOneStandardChunk) {
    Pool p;
    ASSERT_NE(p.pool, nullptr);
    EXPECT_EQ(p.pool->head, p.pool->tail);
    EXPECT_EQ(p.pool->head->capacity, 65536);
    EXPECT_EQ(p.pool->head->used, 0);
    EXPECT_EQ(p.pool->head->remaining, 65536);
}

TEST(ResultPool, LargestPieceFillsTheFirstChunkAndTheNextStartsAnother) {
    Pool p;
    Result_Mem_chunk* first = p.pool->head;
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
        unsigned char* expected = tail->buffer + tail->used;
        EXPECT_EQ(RS_malloc(p.pool, 40000), expected);
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
        EXPECT_EQ(old_record->buffer, piece);
        EXPECT_EQ(old_record->capacity, 40001);
        EXPECT_EQ(old_record->used, 40001);
        EXPECT_EQ(old_record->remaining, 0);
        EXPECT_EQ(std::vector<unsigned char>(piece, piece + 40001), std::vector<unsigned char>(40001, 0));
        ASSERT_EQ(old_record->next, p.pool->tail);
        EXPECT_EQ(p.pool->tail->buffer, old_buffer);
        EXPECT_EQ(p.pool->tail->remaining, 35000);
        // Small pieces go on coming from the chunk that was in use.
        EXPECT_EQ(RS_malloc(p.pool, 10), old_buffer + old_used);
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

TEST(ResultPool, OversizedRequestGetsItsOwnBuffer) {
    Pool p;
    Result_Mem_chunk* first = p.pool->head;
    unsigned char* first_buffer = first->buffer;
    unsigned char* piece = static_cast<unsigned char*>(RS_malloc(p.pool, 100000));
    ASSERT_NE(piece, nullptr);
    memset(piece, 1, 100001);
    EXPECT_EQ(first->capacity, 100001);
    EXPECT_EQ(p.pool->tail->buffer, first_buffer);
    EXPECT_EQ(p.pool->tail->remaining, 65536);
    EXPECT_EQ(RS_malloc(p.pool, -1), nullptr);
}

TEST(ResultPool, ManyChunksStayDistinctAndWritable) {
    // Far more than one 2 MiB slab's worth of chunks, mixed with dedicated
    // buffers: every piece must be usable over its whole length and no two
    // may overlap (checked under the sanitizers too).
    Pool p;
    std::set<unsigned char*> starts;
    for (int i = 0; i < 200; ++i) {
        const int n = (i % 7 == 0) ? 70000 : 30000;
        unsigned char* piece = static_cast<unsigned char*>(RS_malloc(p.pool, n));
        ASSERT_NE(piece, nullptr);
        memset(piece, i & 0xFF, static_cast<size_t>(n) + 1);
        EXPECT_TRUE(starts.insert(piece).second);
    }
    EXPECT_GT(p.chunk_count(), 64);
}

// ---- row layout -----------------------------------------------------------------

struct Layout {
    std::vector<FieldInfo> fields;
    int row_size;
};

// Offsets as the layout rule gives them: status bytes first, then the slots.
Layout layout_of(const std::vector<int>& server_types) {
    Layout layout{std::vector<FieldInfo>(server_types.size()), 0};
    const int status_bytes = (2 * static_cast<int>(server_types.size()) + 7) / 8;
    int offset = status_bytes;
    for (size_t i = 0; i < server_types.size(); ++i) {
        layout.fields[i].server_type = server_types[i];
        layout.fields[i].data_offset = offset;
        offset += getTypeLen(server_types[i]);
    }
    layout.row_size = ROW_HEADER_SIZE + offset;
    return layout;
}

TEST(RowLayout, EightByteValueReadsBackFromAnUnalignedSlot) {
    Pool p;
    Layout layout = layout_of({3, 3, 3, 6});
    EXPECT_EQ(layout.fields[3].data_offset, 4);
    EXPECT_EQ(layout.row_size, 36);
    RhRow* row = createRow_inMemls(p.pool, layout.row_size, 4);
    ASSERT_NE(row, nullptr);
    const int64_t value = 0x0102030405060708;
    setDataI8(row, layout.fields.data(), 3, value);
    setDataI1(row, layout.fields.data(), 0, -7);
    int length = -1;
    const void* address = getData(row, layout.fields.data(), 3, &length);
    EXPECT_EQ(address, row + 24 + 4);
    EXPECT_NE(reinterpret_cast<uintptr_t>(address) % 8, 0u);
    EXPECT_EQ(length, 8);
    int64_t read_back;
    memcpy(&read_back, address, 8);
    EXPECT_EQ(read_back, value);
    EXPECT_EQ(*static_cast<const int8_t*>(getData(row, layout.fields.data(), 0, nullptr)), -7);
}

TEST(RowLayout, StatusBitsAndNulls) {
    Pool p;
    Layout layout = layout_of({5, 5, 5, 5, 30});
    EXPECT_EQ(layout.row_size, 24 + 2 + 16 + 16);
    RhRow* row = createRow_inMemls(p.pool, layout.row_size, 5);
    ASSERT_NE(row, nullptr);
    // A fresh row is all nulls: bits 0x01, 0x04, 0x10, 0x40, then 0x01.
    EXPECT_EQ(row[24], 0x55);
    EXPECT_EQ(row[25], 0x01);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(isNull(row, i));

    int length = 1234;
    EXPECT_EQ(getData(row, layout.fields.data(), 2, &length), nullptr);
    EXPECT_EQ(length, 1234);   // untouched for a null

    setDataI4(row, layout.fields.data(), 2, 99);
    EXPECT_EQ(row[24], 0x55 & ~0x10);
    EXPECT_FALSE(isNull(row, 2));
    setNull(row, 2);
    EXPECT_TRUE(isNull(row, 2));
    clrNull(row, 2);

    const char text[] = "hello";
    setPtr(row, 4);
    setDataBin(row, layout.fields.data(), 4, text, 5);
    EXPECT_EQ(row[25], 0x02);   // pointer bit set, null bit cleared
    EXPECT_TRUE(isPtr(row, 4));
    EXPECT_FALSE(isPtr(row, 2));
    EXPECT_EQ(getData(row, layout.fields.data(), 4, &length), text);
    EXPECT_EQ(length, 5);
    // The slot: length, four zero bytes, then the address.
    const unsigned char* slot = row + 24 + layout.fields[4].data_offset;
    int32_t stored_length;
    memcpy(&stored_length, slot, 4);
    EXPECT_EQ(stored_length, 5);
    EXPECT_EQ(slot[4] | slot[5] | slot[6] | slot[7], 0);
}

}  // namespace
