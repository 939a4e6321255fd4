// Dropping, resetting and freeing handles without knowing their kind.
#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_records.h"
#include "support/lob_support.h"
#include "support/wire_pair.h"

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

TEST(HandleDrop, ConnectionIsClosed) {
    WirePair wire;
    void* conn = wire.conn();
    EXPECT_EQ(KVC_Drop(&conn), 0);
    EXPECT_EQ(conn, nullptr);
    wire.forget_conn();
    EXPECT_TRUE(wire.sent().empty());   // nothing prepared: nothing to release on the server
}

TEST(HandleDrop, ResultKindsGoToTheRowsetRelease) {
    void* result = hr_malloc0(sizeof(Result));
    static_cast<Result*>(result)->handle_kind = HANDLE_RESULT;
    EXPECT_EQ(KVC_Drop(&result), 0);
    EXPECT_EQ(result, nullptr);

    // The reserved kind is never the library's own: the variable is cleared,
    // the record is left to whoever made it.
    Result* reserved = static_cast<Result*>(hr_malloc0(sizeof(Result)));
    reserved->handle_kind = HANDLE_RESERVED_RESULT;
    void* handle = reserved;
    EXPECT_EQ(KVC_Drop(&handle), 0);
    EXPECT_EQ(handle, nullptr);
    free(reserved);
}

TEST(HandleDrop, CallerParameterSetIsReleasedWhole) {
    void* set = nullptr;
    ASSERT_EQ(KVC_CreateParams(&set), 0);
    int32_t in = 7, in_len = 4, out = 0, out_len = 0;
    ASSERT_EQ(KVC_BindParamByPos(&set, 1, 1, KVC_C_INT, &in, 4, &in_len), 0);
    // An output slot keeps the arrays through a plain clear; a drop must not.
    ASSERT_EQ(KVC_BindParamByPos(&set, 2, 2, KVC_C_INT, &out, 4, &out_len), 0);
    EXPECT_EQ(KVC_Drop(&set), 0);
    EXPECT_EQ(set, nullptr);
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

TEST(HandleReset, ParameterSetsAndConnections) {
    void* set = nullptr;
    ASSERT_EQ(KVC_CreateParams(&set), 0);
    int32_t value = 1, length = 4;
    ASSERT_EQ(KVC_BindParamByPos(&set, 1, 1, KVC_C_INT, &value, 4, &length), 0);
    EXPECT_EQ(KVC_Reset(&set), 0);
    EXPECT_EQ(static_cast<KVCSParam*>(set)->param_count, 0);
    EXPECT_EQ(KVC_Drop(&set), 0);

    // On a connection the implicit set made by binding is released.
    WirePair wire;
    ASSERT_EQ(KVC_BindParamByPos(wire.handle(), 1, 1, KVC_C_INT, &value, 4, &length), 0);
    ASSERT_NE(wire.conn()->bound_params, nullptr);
    EXPECT_EQ(KVC_Reset(wire.handle()), 0);
    EXPECT_EQ(wire.conn()->bound_params, nullptr);
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
