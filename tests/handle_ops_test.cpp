// Dropping, resetting and freeing handles without knowing their kind.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_records.h"
#include "support/lob_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

TEST(HandleDrop, LargeObjectIsReleased) {
    void* lob = nullptr;
    ASSERT_EQ(KVC_Create_Lob(&lob), 0);
    ASSERT_EQ(KVC_Put_Lob_data(&lob, "payload", 7), 0);
    EXPECT_EQ(KVC_Drop(&lob), 0);
    EXPECT_EQ(lob, nullptr);
}

TEST(HandleDrop, NothingToDropAndUnknownKinds) {
    void* nothing = nullptr;
    EXPECT_EQ(KVC_Drop(&nothing), 0);
    EXPECT_EQ(KVC_Drop(nullptr), -3);
    for (int32_t kind : {0, 3, 7}) {
        SCOPED_TRACE(kind);
        int32_t* record = static_cast<int32_t*>(hr_malloc0(64));
        *record = kind;
        void* handle = record;
        EXPECT_EQ(KVC_Drop(&handle), -3);
        EXPECT_EQ(handle, record);
        EXPECT_EQ(KVC_Reset(&handle), 0);
        free(record);
    }
}

TEST(HandleDrop, ParameterSetsOfTheConnectionStay) {
    // Implicit and prepared sets are released by their connection, never here.
    for (int32_t origin : {PARAMS_IMPLICIT, PARAMS_PREPARED}) {
        SCOPED_TRACE(origin);
        KVCSParam* set = static_cast<KVCSParam*>(hr_malloc0(sizeof(KVCSParam)));
        set->handle_kind = HANDLE_PARAMS;
        set->origin = origin;
        set->param_count = 3;
        void* handle = set;
        EXPECT_EQ(KVC_Drop(&handle), -3);
        EXPECT_EQ(handle, set);
        EXPECT_EQ(set->param_count, 3);   // still readable: not freed
        free(set);
    }
}

TEST(HandleReset, LargeObjectEmptiesOtherKindsUntouched) {
    LobHandle lob;
    ASSERT_EQ(lob.put_pattern(100), 0);
    EXPECT_EQ(KVC_Reset(lob.handle()), 0);
    EXPECT_EQ(lob.record()->total_length, 0);
    EXPECT_EQ(lob.record()->chunk_count, 0);
    EXPECT_EQ(lob.record()->handle_kind, HANDLE_LOB);

    for (int32_t kind : {HANDLE_RESULT, HANDLE_RESERVED_RESULT}) {
        SCOPED_TRACE(kind);
        Result* result = static_cast<Result*>(hr_malloc0(sizeof(Result)));
        result->handle_kind = kind;
        result->row_count = 9;
        void* handle = result;
        EXPECT_EQ(KVC_Reset(&handle), 0);
        EXPECT_EQ(handle, result);
        EXPECT_EQ(result->row_count, 9);
        free(result);
    }
    void* nothing = nullptr;
    EXPECT_EQ(KVC_Reset(&nothing), 0);
    EXPECT_EQ(KVC_Reset(nullptr), 0);
}

TEST(HandleFreePtr, FreesAndNulls) {
    void* block = malloc(100);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(KVC_FreePtr(&block), 0);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(KVC_FreePtr(&block), 0);   // a variable holding null: nothing to do
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(KVC_FreePtr(nullptr), -3);
}
