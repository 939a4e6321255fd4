// The tenfold row index: block growth at its boundaries, row positions, the
// refusal of rows once the last block is used, the row cursor and release.
#include "kvc_records.h"
#include "kvc_rowset.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

// Rows are only addresses to the index; distinct fake ones let every
// position be checked without building real rows.
RhRow* fake_row(int64_t n) { return reinterpret_cast<RhRow*>(static_cast<uintptr_t>(n + 1) * 8); }

struct IndexedResult {
    Result* result = new_result(nullptr, RESULT_ROWS);
    ~IndexedResult() { free_Result(result); }
    int blocks() const { return *static_cast<uint16_t*>(result->row_index[0]); }
    void append_until(int64_t rows) {
        for (int64_t n = result->row_count; n < rows; ++n) ASSERT_EQ(append_record(result, fake_row(n)), 0);
    }
};

TEST(RowIndex, BlocksGrowAtTheirBoundariesAndRowsLandInTheirBlocks) {
    // Rows appended so far, blocks made, rows they hold.
    const int64_t steps[][3] = {{1, 1, 1000},       {1000, 1, 1000},      {1001, 2, 2000},      {16000, 16, 16000},
                                {16001, 17, 26000}, {175999, 32, 176000}, {176000, 32, 176000}, {176001, 33, 276000}};
    IndexedResult index;
    for (const auto& step : steps) {
        SCOPED_TRACE("rows " + std::to_string(step[0]));
        index.append_until(step[0]);
        EXPECT_EQ(index.result->row_count, step[0]);
        EXPECT_EQ(index.blocks(), step[1]);
        EXPECT_EQ(index.result->row_capacity, step[2]);
    }
    for (int64_t n = 0; n < index.result->row_count; ++n) ASSERT_EQ(*nthR(index.result, n), fake_row(n)) << n;

    // Row, block, position in the block.
    const int64_t positions[][3] = {{0, 1, 0},       {999, 1, 999},     {1000, 2, 0},
                                    {15999, 16, 999}, {16000, 17, 0},    {25999, 17, 9999},
                                    {26000, 18, 0},   {175999, 32, 9999}, {176000, 33, 0}};
    for (const auto& p : positions)
        EXPECT_EQ(nthR(index.result, p[0]), static_cast<RhRow**>(index.result->row_index[p[1]]) + p[2]) << p[0];
    // Rows of blocks not yet made, and rows past the index's limit, have no entry.
    for (int64_t n : {int64_t{276000}, int64_t{1347376000}, int64_t{-1}}) EXPECT_EQ(nthR(index.result, n), nullptr) << n;
}

TEST(RowIndex, LargeBlocksHoldTheirRowsAcrossSharedAndOwnSpans) {
    // Blocks of 100,000 rows share one span, blocks of a million have their
    // own: rows on both sides of each boundary keep their entries, and the
    // index is released whole (under the sanitizers, a wrong release shows).
    IndexedResult index;
    index.append_until(4376001);
    EXPECT_EQ(index.blocks(), 66);
    // Row, block, position in the block.
    const int64_t positions[][3] = {{176000, 33, 0},     {275999, 33, 99999}, {276000, 34, 0},
                                    {3375999, 64, 99999}, {3376000, 65, 0},    {4375999, 65, 999999},
                                    {4376000, 66, 0}};
    for (const auto& p : positions) {
        SCOPED_TRACE("row " + std::to_string(p[0]));
        RhRow** entry = nthR(index.result, p[0]);
        EXPECT_EQ(entry, static_cast<RhRow**>(index.result->row_index[p[1]]) + p[2]);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(*entry, fake_row(p[0]));
    }
    release_row_index(index.result);
    EXPECT_EQ(index.result->row_count, 0);
    index.append_until(3);
    EXPECT_EQ(*nthR(index.result, 2), fake_row(2));
}

TEST(RowIndex, PositionsAtTheUpperGroupBoundaries) {
    // Blocks of millions of rows are not worth allocating here: distinct fake
    // block addresses show which block and position nthR picks.
    IndexedResult index;
    index.append_until(1);
    for (uintptr_t b = 2; b <= 256; ++b) index.result->row_index[b] = reinterpret_cast<void*>(b << 40);
    // Row, block, position in the block.
    const uint64_t cases[][3] = {
        {3375999, 64, 99999}, {3376000, 65, 0}, {67375999, 128, 999999}, {67376000, 129, 0}, {1347375999, 256, 9999999}};
    for (const auto& c : cases)
        EXPECT_EQ(reinterpret_cast<uintptr_t>(nthR(index.result, static_cast<int64_t>(c[0]))),
                  (c[1] << 40) + c[2] * sizeof(RhRow*))
            << c[0];
    for (int b = 2; b <= 256; ++b) index.result->row_index[b] = nullptr;
}

TEST(RowIndex, FullIndexRefusesRowsWithTheOverflowText) {
    IndexedResult index;
    index.append_until(5);
    // As if all 256 blocks were in use and filled.
    *static_cast<uint16_t*>(index.result->row_index[0]) = 256;
    index.result->row_capacity = index.result->row_count;

    testing::internal::CaptureStdout();
    EXPECT_EQ(append_record(index.result, fake_row(5)), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "语句行结果集过大\n");
    EXPECT_STREQ(index.result->error_text, "[EC080]select result-set is too large please connect to db-server");

    // Every later row is refused the same way, however many arrive: the block
    // counter must not wrap around to a block that exists.
    testing::internal::CaptureStdout();
    for (int attempt = 0; attempt < 70000; ++attempt) ASSERT_EQ(append_record(index.result, fake_row(6)), -1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(index.result->row_count, 5);
    for (int64_t n = 0; n < 5; ++n) EXPECT_EQ(*nthR(index.result, n), fake_row(n));
}

TEST(RowIndex, RowCursorAndRelease) {
    IndexedResult index;
    EXPECT_EQ(record_next(index.result), 100);   // no rows: at once, no current row
    EXPECT_EQ(index.result->current_row, nullptr);
    index.append_until(1001);
    for (int64_t n = 0; n < 1001; ++n) {
        ASSERT_EQ(record_next(index.result), 0);
        ASSERT_EQ(index.result->current_row, fake_row(n));
    }
    EXPECT_EQ(record_next(index.result), 100);
    EXPECT_EQ(index.result->current_row, nullptr);
    EXPECT_EQ(record_next(nullptr), -1);
    index.result->handle_kind = KVC_HANDLE_RESERVED;
    EXPECT_EQ(record_next(index.result), -1);
    index.result->handle_kind = KVC_HANDLE_RESULT;

    release_row_index(index.result);
    EXPECT_EQ(index.result->row_index, nullptr);
    EXPECT_EQ(index.result->row_count, 0);
    EXPECT_EQ(index.result->row_capacity, 0);
    // A released index starts again from its first block.
    ASSERT_EQ(append_record(index.result, fake_row(0)), 0);
    EXPECT_EQ(index.blocks(), 1);
    EXPECT_EQ(*nthR(index.result, 0), fake_row(0));
}

// The cursor steps from wherever it was put, across block and group
// boundaries, through rows appended after it reached the end, and never
// into an index that was released.
TEST(RowIndex, CursorFollowsRepositioningGrowthAndRelease) {
    IndexedResult index;
    index.append_until(1000);
    for (int64_t n = 0; n < 1000; ++n) ASSERT_EQ(record_next(index.result), 0);
    EXPECT_EQ(record_next(index.result), 100);
    index.append_until(17500);   // more rows after the end was reached
    index.result->read_pos = 1000;
    // Position to start from, rows to step.
    const int64_t walks[][2] = {{1000, 3}, {0, 1001}, {999, 3}, {15998, 5}, {500, 2}, {17498, 2}};
    for (const auto& walk : walks) {
        SCOPED_TRACE("from " + std::to_string(walk[0]));
        index.result->read_pos = walk[0];
        for (int64_t step = 0; step < walk[1]; ++step) {
            ASSERT_EQ(record_next(index.result), 0);
            ASSERT_EQ(index.result->current_row, fake_row(walk[0] + step)) << step;
        }
    }
    index.result->read_pos = 0;
    ASSERT_EQ(record_next(index.result), 0);   // the cursor stands on row 1 of block 1
    release_row_index(index.result);
    ASSERT_EQ(append_record(index.result, fake_row(41)), 0);
    ASSERT_EQ(append_record(index.result, fake_row(42)), 0);
    index.result->read_pos = 1;
    ASSERT_EQ(record_next(index.result), 0);
    EXPECT_EQ(index.result->current_row, fake_row(42));
}

}  // namespace
