// Dropping, resetting and freeing handles without knowing their kind.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_records.h"
#include "support/lob_support.h"
#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <cstdlib>

// Each kind goes to its own release, which nulls the caller's variable.
TEST(HandleDrop, OwnKindsAreReleased) {
    void* lob = nullptr;
    ASSERT_EQ(0, KVC_Create_Lob(&lob));
    ASSERT_EQ(0, KVC_Put_Lob_data(&lob, "payload", 7));
    void* result = hr_malloc0(sizeof(Result));
    static_cast<Result*>(result)->handle_kind = KVC_HANDLE_RESULT;
    void* set = nullptr;
    ASSERT_EQ(0, KVC_CreateParams(&set));
    int32_t in = 7, in_len = 4, out = 0, out_len = 0;
    ASSERT_EQ(0, KVC_BindParamByPos(&set, 1, 1, KVC_C_INT, &in, 4, &in_len));
    // An output slot keeps the arrays through a plain clear; a drop must not.
    ASSERT_EQ(0, KVC_BindParamByPos(&set, 2, 2, KVC_C_INT, &out, 4, &out_len));
    WirePair wire;
    void* conn = wire.conn();
    for (void** handle : {&lob, &result, &set, &conn}) {
        EXPECT_EQ(0, KVC_Drop(handle));
        EXPECT_EQ(nullptr, *handle);
    }
    wire.forget_conn();
    EXPECT_TRUE(wire.sent().empty()) << "nothing prepared, nothing sent at close";

    // The reserved kind is never the library's own: the variable is cleared,
    // the record is left to whoever made it.
    Result* reserved = static_cast<Result*>(hr_malloc0(sizeof(Result)));
    reserved->handle_kind = KVC_HANDLE_RESERVED;
    void* handle = reserved;
    EXPECT_EQ(0, KVC_Drop(&handle));
    EXPECT_EQ(nullptr, handle);
    free(reserved);
}

// Sets of a connection and records of unknown kinds are left untouched.
TEST(HandleDrop, ForeignRecordsStay) {
    void* nothing = nullptr;
    EXPECT_EQ(0, KVC_Drop(&nothing));
    EXPECT_EQ(-3, KVC_Drop(nullptr));
    WirePair wire;
    int32_t value = 1, length = 4;
    ASSERT_EQ(0, KVC_BindParamByPos(wire.handle(), 1, 1, KVC_C_INT, &value, 4, &length));
    KVCSParam* prepared = static_cast<KVCSParam*>(hr_malloc0(sizeof(KVCSParam)));
    prepared->handle_kind = KVC_HANDLE_PARAMS;
    prepared->origin = PARAMS_PREPARED;
    int32_t* unknown = static_cast<int32_t*>(hr_malloc0(64));
    *unknown = 7;
    for (void* record : {static_cast<void*>(wire.conn()->bound_params), static_cast<void*>(prepared),
                         static_cast<void*>(unknown)}) {
        void* handle = record;
        EXPECT_EQ(-3, KVC_Drop(&handle));
        EXPECT_EQ(record, handle);
    }
    EXPECT_EQ(1, wire.conn()->bound_params->param_count) << "still readable: not freed";
    free(prepared);
    free(unknown);
}

TEST(HandleReset, ByKind) {
    LobHandle lob;
    ASSERT_EQ(0, lob.put_pattern(100));
    EXPECT_EQ(0, KVC_Reset(lob.handle()));
    EXPECT_EQ(0, lob.record()->total_length);
    EXPECT_EQ(0, lob.record()->chunk_count);

    Result* result = static_cast<Result*>(hr_malloc0(sizeof(Result)));
    result->handle_kind = KVC_HANDLE_RESULT;
    result->row_count = 9;
    void* handle = result;
    EXPECT_EQ(0, KVC_Reset(&handle));
    EXPECT_EQ(9, result->row_count) << "a result is not reset";
    free(result);
    EXPECT_EQ(0, KVC_Reset(nullptr));

    void* set = nullptr;
    ASSERT_EQ(0, KVC_CreateParams(&set));
    int32_t value = 1, length = 4;
    ASSERT_EQ(0, KVC_BindParamByPos(&set, 1, 1, KVC_C_INT, &value, 4, &length));
    EXPECT_EQ(0, KVC_Reset(&set));
    EXPECT_EQ(0, static_cast<KVCSParam*>(set)->param_count);
    EXPECT_EQ(0, KVC_Drop(&set));

    // On a connection the implicit set made by binding is released.
    WirePair wire;
    ASSERT_EQ(0, KVC_BindParamByPos(wire.handle(), 1, 1, KVC_C_INT, &value, 4, &length));
    EXPECT_EQ(0, KVC_Reset(wire.handle()));
    EXPECT_EQ(nullptr, wire.conn()->bound_params);
}

TEST(HandleFreePtr, FreesAndNulls) {
    void* block = malloc(100);
    EXPECT_EQ(0, KVC_FreePtr(&block));
    EXPECT_EQ(nullptr, block);
    EXPECT_EQ(0, KVC_FreePtr(&block));   // a variable holding null: nothing to do
    EXPECT_EQ(-3, KVC_FreePtr(nullptr));
}
