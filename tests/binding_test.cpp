// Parameter sets and single binding: implicit sets, slot growth, the order of
// the range checks, names on caller-made and prepared sets, input copies,
// resetting and the parameter-description reader.
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_inner.h"
#include "kvc_params.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int32_t copied_int(const KVCSParam* set, int slot) {
    int32_t v = 0;
    memcpy(&v, set->row_values[0][slot], sizeof v);
    return v;
}

// A caller-made set released with the test.
struct CallerSet {
    void* handle = nullptr;
    CallerSet() { KVC_CreateParams(&handle); }
    ~CallerSet() { free_param_set(static_cast<KVCSParam*>(handle)); }
    KVCSParam* set() { return static_cast<KVCSParam*>(handle); }
    int bind(int no, int direction, int* value, int* length) {
        return KVC_BindParamByPos(&handle, no, direction, 5, value, 0, length);
    }
};

}  // namespace

// The first binding through a connection creates an implicit set and
// attaches it; position 3 first leaves positions 1 and 2 unbound.
TEST(Binding, ImplicitSetAndPassedOverSlots) {
    WirePair pair;
    int value = 42, length = 4;
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 3, 1, 5, &value, 0, &length));
    KVCSParam* set = pair.conn()->bound_params;
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(PARAMS_IMPLICIT, set->origin);
    EXPECT_EQ(3, set->param_count);
    EXPECT_EQ(128, set->slot_capacity);
    for (int slot : {0, 1}) {
        EXPECT_EQ(0, set->directions[slot]);
        EXPECT_EQ(nullptr, set->row_values[0][slot]);
        EXPECT_EQ(nullptr, set->length_ptrs[slot]);
    }
    EXPECT_EQ(1, set->directions[2]);
    EXPECT_EQ(2, set->positions[2]);
    EXPECT_EQ(42, copied_int(set, 2));
}

TEST(Binding, JumpBeyondTheNextStepIsRefusedInTheSetsText) {
    int value = 1, length = 4;
    {
        CallerSet params;
        EXPECT_EQ(params.bind(256, 1, &value, &length), 0);
        EXPECT_EQ(params.set()->slot_capacity, 256);
        EXPECT_EQ(params.set()->param_count, 256);
        // From 256 slots the next step reaches 384.
        EXPECT_EQ(params.bind(384, 1, &value, &length), 0);
        EXPECT_EQ(params.bind(513, 1, &value, &length), -55);
    }
    WirePair pair;
    EXPECT_EQ(KVC_BindParamByPos(pair.handle(), 257, 1, 5, &value, 0, &length), -55);
    KVCSParam* set = pair.conn()->bound_params;
    EXPECT_EQ(text_of(set->error_text), "[EC055]Error bindparam jump long -55 invalid");
    EXPECT_EQ(pair.conn()->error_text, nullptr);
    EXPECT_EQ(set->param_count, 0);
}

TEST(Binding, RangeChecksComeInTheirOrder) {
    const struct { int param_no, direction, status; const char* text; } cases[] = {
        {4001, 1, -51, "[EC051]Error invalid param NO 4001 out of range paramnum"},
        {4001, 4, -51, "[EC051]Error invalid param NO 4001 out of range paramnum"},
        {0, 1, -54, "[EC054]Error param_no  param seq 0 invalid"},
        {0, 4, -52, "[EC052]Error invalid param type 4"},
        {2, 5, -52, "[EC052]Error invalid param type 5"},
    };
    int value = 1, length = 4;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        WirePair pair;
        EXPECT_EQ(KVC_BindParamByPos(pair.handle(), c.param_no, c.direction, 5, &value, 0, &length), c.status);
        EXPECT_EQ(text_of(pair.conn()->error_text), c.text);
        CallerSet params;
        EXPECT_EQ(params.bind(c.param_no, c.direction, &value, &length), c.status);
        EXPECT_EQ(text_of(params.set()->error_text), c.text);
    }
    WirePair pair;
    EXPECT_EQ(KVC_BindParamByName(pair.handle(), "a", 7, 5, &value, 0, nullptr, &length), -52);
    EXPECT_EQ(text_of(pair.conn()->error_text), "[EC052]Error invalis param type 7");
    // The internal binder refuses a direction the exported checks let through.
    CallerSet internal;
    EXPECT_EQ(kvc_bindparamsbypos(internal.set(), 1, 4, 5, &value, 0, &length), -8);
    EXPECT_EQ(internal.set()->param_count, 0);
    int32_t lob_kind = KVC_HANDLE_LOB;   // a record of the wrong kind
    void* wrong = &lob_kind;
    EXPECT_EQ(KVC_BindParamByPos(&wrong, 1, 1, 5, &value, 0, &length), -3);
    EXPECT_EQ(KVC_BindParamByName(pair.handle(), nullptr, 1, 5, &value, 0, nullptr, &length), -3);
}

TEST(Binding, PreparedSetMatchesNamesIgnoringCase) {
    WirePair pair;
    pair.feed(WireBuilder().i32(2).str("ID").i32(1).i32(5).i32(4).str("Name").i32(2).i32(5).i32(4));
    KVCSParam* set = new_param_set(PARAMS_PREPARED);
    ASSERT_EQ(recv_params_info2(pair.conn(), set), 0);
    pair.conn()->bound_params = set;
    ASSERT_EQ(set->param_count, 2);
    EXPECT_EQ(set->row_values, nullptr);
    EXPECT_EQ(check_prepared_params_bound(pair.conn()), -59);

    int id = 7, length = 4;
    EXPECT_EQ(KVC_BindParamByName(pair.handle(), "name", 1, 5, &id, 0, nullptr, &length), 0);
    EXPECT_EQ(set->param_count, 2);
    EXPECT_EQ(set->directions[1], 1);
    EXPECT_EQ(set->directions[0], 0);
    EXPECT_EQ(check_prepared_params_bound(pair.conn()), 0);

    EXPECT_EQ(KVC_BindParamByName(pair.handle(), "nope", 1, 5, &id, 0, nullptr, &length), -1);
    EXPECT_EQ(text_of(pair.conn()->error_text), "[EC053]Error invalid  param_name :nope out  of prepared ");
    void* set_handle = set;
    EXPECT_EQ(KVC_BindParamByName(&set_handle, "nope", 1, 5, &id, 0, nullptr, &length), -1);
    EXPECT_EQ(set->error_text, nullptr);

    // A prepared set has exactly the described slots.
    EXPECT_EQ(KVC_BindParamByPos(pair.handle(), 2, 1, 5, &id, 0, &length), 0);
    EXPECT_EQ(KVC_BindParamByPos(pair.handle(), 3, 1, 5, &id, 0, &length), -51);
    EXPECT_EQ(set->param_count, 2);
}

TEST(Binding, InputIsCopiedAndOutputsAreReferenced) {
    CallerSet params;
    int value = 42, length = 4, out_length = 3, other = 5;
    char out[16] = "abc";
    ASSERT_EQ(params.bind(1, 1, &value, &length), 0);
    ASSERT_EQ(KVC_BindParamByPos(&params.handle, 2, 3, 2, out, sizeof out, &out_length), 0);
    value = 7;
    length = 0;
    KVCSParam* set = params.set();
    EXPECT_EQ(copied_int(set, 0), 42);
    EXPECT_EQ(static_cast<const char*>(set->row_values[0][0])[4], '\0');   // the copy ends in a zero byte
    EXPECT_EQ(*set->length_ptrs[0], 4);
    EXPECT_EQ(set->row_values[0][1], static_cast<void*>(out));
    EXPECT_EQ(set->length_ptrs[1], &out_length);
    EXPECT_EQ(set->buffer_lengths[1], 16);

    // Rebinding replaces the copy (the old one is released: the sanitizer build checks).
    length = 4;
    ASSERT_EQ(params.bind(1, 1, &other, &length), 0);
    EXPECT_EQ(copied_int(set, 0), 5);
}

TEST(Binding, RefusalsKeepEarlierBindings) {
    CallerSet params, named;
    int value = 3, length = 4, negative = -1;
    ASSERT_EQ(params.bind(1, 1, &value, &length), 0);
    EXPECT_EQ(params.bind(2, 1, &value, &negative), -1);
    EXPECT_EQ(text_of(params.set()->error_text), "[EC061]Error bindparam length -1 invalid");
    EXPECT_EQ(KVC_BindParamByName(&params.handle, "x", 1, 5, &value, 0, nullptr, &length), -1);
    EXPECT_EQ(text_of(params.set()->error_text),
              "[EC062]Error bindparam by position and by name mixed in one parameter set");
    EXPECT_EQ(params.bind(1, 1, &value, nullptr), -3);
    EXPECT_EQ(params.set()->param_count, 1);
    EXPECT_EQ(copied_int(params.set(), 0), 3);

    ASSERT_EQ(KVC_BindParamByName(&named.handle, "x", 1, 5, &value, 0, nullptr, &length), 0);
    EXPECT_EQ(named.bind(2, 1, &value, &length), -1);

    // Through a connection the refusal is readable in the connection's text.
    WirePair pair;
    ASSERT_EQ(KVC_BindParamByPos(pair.handle(), 1, 1, 5, &value, 0, &negative), -1);
    EXPECT_EQ(text_of(pair.conn()->error_text), "[EC061]Error bindparam length -1 invalid");
}

TEST(Binding, ResetParamsOnConnectionAndOnSet) {
    WirePair pair;
    CallerSet params, second;
    int value = 1, length = 4;
    ASSERT_EQ(params.bind(1, 1, &value, &length), 0);
    ASSERT_EQ(KVC_BindParams2Conn(pair.handle(), &params.handle), 0);
    EXPECT_EQ(pair.conn()->bound_params, params.set());
    ASSERT_EQ(KVC_ResetParams(pair.handle()), 0);
    EXPECT_EQ(pair.conn()->bound_params, nullptr);
    EXPECT_EQ(params.set()->param_count, 1);   // detached, untouched

    // An implicit set is released (the sanitizer build checks the release).
    ASSERT_EQ(KVC_BindParamByPos(pair.handle(), 1, 1, 5, &value, 0, &length), 0);
    ASSERT_EQ(KVC_ResetParams(pair.handle()), 0);
    EXPECT_EQ(pair.conn()->bound_params, nullptr);

    ASSERT_EQ(KVC_ResetParams(&params.handle), 0);
    EXPECT_EQ(params.set()->param_count, 0);
    EXPECT_EQ(params.set()->row_values, nullptr);
    EXPECT_EQ(params.bind(2, 1, &value, &length), 0);
    EXPECT_EQ(params.set()->param_count, 2);

    void* nothing = nullptr;
    EXPECT_EQ(KVC_ResetParams(&nothing), -3);
    EXPECT_EQ(KVC_BindParams2Conn(&params.handle, pair.handle()), -3);
    EXPECT_EQ(KVC_CreateParams(nullptr), -3);

    // Binding another set releases a library-made one, never the caller's.
    ASSERT_EQ(KVC_BindParamByPos(pair.handle(), 1, 1, 5, &value, 0, &length), 0);
    ASSERT_EQ(KVC_BindParams2Conn(pair.handle(), &params.handle), 0);
    ASSERT_EQ(KVC_BindParams2Conn(pair.handle(), &second.handle), 0);
    EXPECT_EQ(params.set()->param_count, 2);
    EXPECT_EQ(pair.conn()->bound_params, second.set());
    pair.conn()->bound_params = nullptr;   // the caller's sets go before the connection
}

// Every name binding appends a slot, the same name twice included; clearing
// the set gives up the inputs' copies and names but keeps the output slots.
TEST(Binding, NamesAppendAndClearingKeepsOutputs) {
    CallerSet params;
    int a = 1, b = 2, length = 4, out = 0, out_length = 4;
    ASSERT_EQ(KVC_BindParamByName(&params.handle, "id", 1, 5, &a, 0, nullptr, &length), 0);
    ASSERT_EQ(KVC_BindParamByName(&params.handle, "id", 1, 5, &b, 0, nullptr, &length), 0);
    ASSERT_EQ(KVC_BindParamByName(&params.handle, "o", 2, 5, &out, 4, nullptr, &out_length), 0);
    KVCSParam* set = params.set();
    ASSERT_EQ(set->param_count, 3);
    EXPECT_STREQ(set->names[1], "id");
    EXPECT_EQ(copied_int(set, 0), 1);
    EXPECT_EQ(copied_int(set, 1), 2);
    EXPECT_EQ(set->positions[1], -1);
    kvc_freeparams(set);
    EXPECT_EQ(set->param_count, 3);
    EXPECT_EQ(set->row_values[0][0], nullptr);
    EXPECT_EQ(set->length_ptrs[0], nullptr);
    EXPECT_EQ(set->names[0], nullptr);
    EXPECT_EQ(set->row_values[0][2], static_cast<void*>(&out));
    EXPECT_STREQ(set->names[2], "o");
    kvc_free_re_outparams(set);
    EXPECT_EQ(set->param_count, 0);
    EXPECT_EQ(set->names, nullptr);
}

TEST(ParamDescription, BrokenOrImpossibleDescriptionsAreReported) {
    const struct { const char* what; Bytes bytes; int status, complete_entries; } cases[] = {
        {"negative count", WireBuilder().i32(-1), -4, 0},
        {"count beyond the header", WireBuilder().i32(70000), -4, 0},
        {"negative name length", WireBuilder().i32(1).i32(-2), -4, 0},
        {"name longer than int16", WireBuilder().i32(1).i32(40000), -4, 0},
        {"stream ends in the second entry", WireBuilder().i32(2).str("a").i32(1).i32(5).i32(4).str("b").i32(2), -4, 1},
        {"empty description", WireBuilder().i32(0), 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WirePair pair;
        pair.feed(c.bytes);
        pair.close_peer();
        KVCSParam* set = new_param_set(PARAMS_PREPARED);
        EXPECT_EQ(recv_params_info2(pair.conn(), set), c.status);
        EXPECT_EQ(set->param_count, c.complete_entries);
        free_param_set(set);
    }
}
