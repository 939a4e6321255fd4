// Large objects held in 1 MiB chunks: appending, reading, positions, reset and
// release through the exported interface.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_records.h"
#include "kvc_utility.h"
#include "support/lob_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kChunk = static_cast<int>(LOB_CHUNK_SIZE);

std::vector<int32_t> chunk_indexes(const KolvaLob_* lob) {
    std::vector<int32_t> out;
    for (const lob_chunk* c = lob->first_chunk; c != nullptr; c = c->chunk_next) out.push_back(c->chunk_index);
    return out;
}

std::string lob_error(void** lob) {
    char text[256] = {0};
    int len = 0;
    KVC_GetError(lob, text, &len);
    return std::string(text, static_cast<size_t>(len));
}

// Reads everything from the read position in reads of `step` bytes.
std::vector<char> read_all(void** lob, int step) {
    std::vector<char> out;
    std::vector<char> buf(static_cast<size_t>(step));
    for (int n; (n = KVC_Get_Lob_data(lob, buf.data(), step)) > 0;) out.insert(out.end(), buf.begin(), buf.begin() + n);
    return out;
}

}  // namespace

TEST(LobPut, ChunkBoundaries) {
    struct Case {
        std::vector<int> puts;
        int64_t total;
        std::vector<int32_t> chunks;
    };
    const Case cases[] = {
        {{10, 5}, 15, {0}},
        {{kChunk}, kChunk, {0}},
        {{kChunk, 1}, kChunk + 1, {0, 1}},
        {{kChunk - 1, 2}, kChunk + 1, {0, 1}},
        {{kChunk * 2 + kChunk / 2}, kChunk * 2 + kChunk / 2, {0, 1, 2}},
    };
    for (const Case& c : cases) {
        LobHandle lob;
        for (int n : c.puts) ASSERT_EQ(lob.put_pattern(n), 0);
        KolvaLob_* rec = lob.record();
        EXPECT_EQ(rec->total_length, c.total);
        EXPECT_EQ(rec->chunk_count, static_cast<int32_t>(c.chunks.size()));
        EXPECT_EQ(chunk_indexes(rec), c.chunks);
        EXPECT_EQ(rec->lob_state, 1);
        // Appends land in the last chunk.
        const lob_chunk* last = rec->first_chunk;
        while (last->chunk_next != nullptr) last = last->chunk_next;
        EXPECT_EQ(rec->current_chunk, last);
        EXPECT_EQ(read_all(lob.handle(), 300000), lob_pattern(0, c.total));
    }
}

TEST(LobPut, EndMarkNullAndRefusedLengths) {
    LobHandle lob;
    const char data[] = "abc";
    EXPECT_EQ(KVC_Put_Lob_data(lob.handle(), data, 0), 0);
    EXPECT_EQ(KVC_Put_Lob_data(lob.handle(), nullptr, 3), 0);
    EXPECT_EQ(lob.record()->chunk_count, 0);
    EXPECT_EQ(lob.record()->lob_state, 0);

    EXPECT_EQ(KVC_Put_Lob_data(lob.handle(), data, -2), -3);
    EXPECT_EQ(KVC_Put_Lob_data(lob.handle(), data, -1), 0);
    EXPECT_EQ(lob.record()->lob_state, 2);
    EXPECT_EQ(lob.record()->total_length, 0);

    // More data after the end mark reopens the object until it is marked again.
    EXPECT_EQ(KVC_Put_Lob_data(lob.handle(), data, 3), 0);
    EXPECT_EQ(lob.record()->lob_state, 1);
    EXPECT_EQ(KVC_Put_Lob_data(lob.handle(), data, -1), 0);
    EXPECT_EQ(lob.record()->lob_state, 2);
    EXPECT_EQ(lob.record()->total_length, 3);
}

TEST(LobGet, ShortReadsStraddlingChunksAndTheEnd) {
    LobHandle lob;
    ASSERT_EQ(lob.put_pattern(15), 0);
    char buf[100];
    EXPECT_EQ(KVC_Get_Lob_data(lob.handle(), buf, -1), -3);
    EXPECT_EQ(KVC_Get_Lob_data(lob.handle(), buf, 100), 15);
    EXPECT_EQ(std::vector<char>(buf, buf + 15), lob_pattern(0, 15));
    EXPECT_EQ(lob.record()->read_offset, 15);
    EXPECT_EQ(KVC_Get_Lob_data(lob.handle(), buf, 100), 0);
    LobHandle empty;
    EXPECT_EQ(KVC_Get_Lob_data(empty.handle(), buf, 100), 0);

    // 10 bytes from the end of the first chunk and 10 from the second.
    ASSERT_EQ(lob.put_pattern(kChunk), 0);
    ASSERT_EQ(KVC_LobRead_SetPos(lob.handle(), kChunk - 10), kChunk - 10);
    ASSERT_EQ(KVC_Get_Lob_data(lob.handle(), buf, 20), 20);
    EXPECT_EQ(std::vector<char>(buf, buf + 20), lob_pattern(kChunk - 10, 20));
    EXPECT_EQ(lob.record()->read_offset, kChunk + 10);
}

TEST(LobGet, TwoFullChunksToTheEnd) {
    LobHandle lob;
    ASSERT_EQ(lob.put_pattern(2 * kChunk), 0);
    EXPECT_EQ(lob.record()->chunk_count, 2);
    std::vector<char> whole(static_cast<size_t>(2 * kChunk) + 1);
    EXPECT_EQ(KVC_Get_Lob_data(lob.handle(), whole.data(), 2 * kChunk + 1), 2 * kChunk);
    whole.resize(static_cast<size_t>(2 * kChunk));
    EXPECT_EQ(whole, lob_pattern(0, 2 * kChunk));
    EXPECT_EQ(KVC_Get_Lob_data(lob.handle(), whole.data(), 1), 0);
    // Uneven reads across both boundaries give the same bytes.
    ASSERT_EQ(KVC_LobRead_SetPos(lob.handle(), 0), 0);
    EXPECT_EQ(read_all(lob.handle(), 1000003), lob_pattern(0, 2 * kChunk));
}

TEST(LobPosition, ReadPositionLimitsAndTexts) {
    LobHandle lob;
    ASSERT_EQ(lob.put_pattern(15), 0);
    char buf[4];
    EXPECT_EQ(KVC_LobRead_SetPos(lob.handle(), 15), 15);
    EXPECT_EQ(KVC_Get_Lob_data(lob.handle(), buf, 4), 0);
    EXPECT_EQ(KVC_GetErrorLen(lob.handle()), 0);

    EXPECT_EQ(KVC_LobRead_SetPos(lob.handle(), 3), 3);
    EXPECT_EQ(KVC_LobRead_SetPos(lob.handle(), 16), -1);
    EXPECT_EQ(lob_error(lob.handle()), "[EC097]Error the ReadPos set larger than max_length :16 > :15");
    EXPECT_EQ(lob.record()->read_offset, 3);

    EXPECT_EQ(KVC_LobRead_SetPos(lob.handle(), -1), -1);
    EXPECT_EQ(lob_error(lob.handle()), "[EC098]Error the ReadPos set error :-1");
    EXPECT_EQ(lob.record()->read_offset, 3);
    ASSERT_EQ(KVC_Get_Lob_data(lob.handle(), buf, 4), 4);
    EXPECT_EQ(std::vector<char>(buf, buf + 4), lob_pattern(3, 4));

    // The write position is accepted and ignored: appends go to the end.
    EXPECT_EQ(KVC_LobWrite_SetPos(lob.handle(), 2), 0);
    ASSERT_EQ(lob.put_pattern(5), 0);
    ASSERT_EQ(KVC_LobRead_SetPos(lob.handle(), 0), 0);
    EXPECT_EQ(read_all(lob.handle(), 64), lob_pattern(0, 20));
}

TEST(LobLifecycle, ResetKeepsAUsableHandle) {
    LobHandle lob;
    ASSERT_EQ(lob.put_pattern(kChunk + 5), 0);
    KVC_Put_Lob_data(lob.handle(), nullptr, -1);
    KVC_LobRead_SetPos(lob.handle(), 99999999);   // leaves an error text to release
    lob.record()->descriptor = strdup("C0123456789AB 5");
    void* before = *lob.handle();

    EXPECT_EQ(KVC_Reset_Lob(lob.handle()), 0);
    EXPECT_EQ(*lob.handle(), before);
    // Every field but the kind back to 0 or none, everything owned released.
    KolvaLob_ empty{};
    empty.handle_kind = 5;
    KolvaLob_* rec = lob.record();
    EXPECT_EQ(memcmp(rec, &empty, sizeof empty), 0);

    ASSERT_EQ(lob.put_pattern(7), 0);
    EXPECT_EQ(chunk_indexes(rec), std::vector<int32_t>{0});
    EXPECT_EQ(read_all(lob.handle(), 64), lob_pattern(0, 7));
}

TEST(LobLifecycle, OtherKindsAreRefusedAndDestroyNullsTheVariable) {
    for (int32_t kind : {1, 2, 4, 6}) {
        SCOPED_TRACE(kind);
        int32_t* record = static_cast<int32_t*>(hr_malloc0(sizeof(KolvaLob_)));
        *record = kind;
        void* handle = record;
        char buf[4];
        EXPECT_EQ(KVC_Put_Lob_data(&handle, "ab", 2), -3);
        EXPECT_EQ(KVC_Get_Lob_data(&handle, buf, 4), -3);
        EXPECT_EQ(KVC_LobRead_SetPos(&handle, 0), -3);
        EXPECT_EQ(KVC_LobWrite_SetPos(&handle, 0), -3);
        EXPECT_EQ(KVC_Reset_Lob(&handle), -3);
        EXPECT_EQ(KVC_Distroy_Lob(&handle), -3);
        EXPECT_EQ(handle, record);
        free(record);
    }
    EXPECT_EQ(KVC_Put_Lob_data(nullptr, "ab", 2), -3);
    EXPECT_EQ(KVC_Distroy_Lob(nullptr), -3);
    EXPECT_EQ(KVC_Create_Lob(nullptr), -3);
    // A variable holding null is an empty object; destroying nulls the variable.
    void* lob = nullptr;
    EXPECT_EQ(KVC_Distroy_Lob(&lob), 0);
    EXPECT_EQ(KVC_Reset_Lob(&lob), 0);
    ASSERT_EQ(KVC_Create_Lob(&lob), 0);
    ASSERT_EQ(KVC_Put_Lob_data(&lob, "xyz", 3), 0);
    EXPECT_EQ(KVC_Distroy_Lob(&lob), 0);
    EXPECT_EQ(lob, nullptr);
}
