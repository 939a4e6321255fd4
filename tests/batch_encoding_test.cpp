// Array binding and batch encoding: the first row inline, the other rows in
// blocks of whole rows, the refusals of array binding, and KVC_ExecBatch.
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_params.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

std::string text_of(const char* text) { return text != nullptr ? text : "(none)"; }

// Encodes the connection's array-bound set, as KVC_ExecBatch does after its
// command, and returns the bytes.
Bytes encode_batch(WirePair& pair) {
    kvc_sendparamS(pair.conn(), pair.conn()->bound_params);
    rh_flush(pair.conn());
    return pair.sent();
}

// Reads big-endian integers and raw bytes off a received buffer.
struct WireReader {
    const Bytes& bytes;
    size_t at = 0;
    bool ok() const { return at <= bytes.size(); }
    int64_t be(int width) {
        int64_t v = 0;
        for (int i = 0; i < width && at < bytes.size(); ++i) v = (v << 8) | bytes[at++];
        return v;
    }
    int32_t i32() { return static_cast<int32_t>(be(4)); }
    std::string take(size_t n) {
        std::string s(reinterpret_cast<const char*>(bytes.data()) + at,
                      at + n <= bytes.size() ? n : 0);
        at += n;
        return s;
    }
};

// Joins a writer thread on every way out of a test; a reader that gave up
// first closes its end so that the writer cannot stay blocked.
struct JoinWriter {
    std::thread& writer;
    WirePair& pair;
    ~JoinWriter() {
        if (!writer.joinable()) return;
        pair.close_peer();
        writer.join();
    }
};

}  // namespace

TEST(BatchEncoding, ThreeIntegersTypedAndUntyped) {
    for (const char* version : {"301", "201"}) {
        WirePair pair;
        kv_strcpy_s(pair.conn()->protocol_version, sizeof pair.conn()->protocol_version, version);
        int32_t values[3] = {10, 11, 12};
        int lengths[3] = {4, 4, 4};
        ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, sizeof values,
                                          lengths),
                  0);
        WireBuilder expected;
        expected.i16(0).i16(1).i16(5).i32(4).i32(10);
        const bool typed = strcmp(version, "201") != 0;
        expected.i32(typed ? 18 : 16);
        for (int32_t v : {11, 12}) {
            if (typed) expected.i8(5);
            expected.i32(4).i32(v);
        }
        EXPECT_EQ(hex(encode_batch(pair)), hex(expected)) << version;
        KVCSParam* set = pair.conn()->bound_params;
        EXPECT_EQ(set->param_count, 0);
        EXPECT_EQ(set->array_size, 0);
    }
}

TEST(BatchEncoding, ZeroLengthRowIsNull) {
    WirePair pair;
    int32_t values[3] = {1, 2, 3};
    int lengths[3] = {4, 4, 0};
    ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, sizeof values, lengths), 0);
    Bytes expected = WireBuilder().i16(0).i16(1).i16(5).i32(4).i32(1).i32(14)
                         .i8(5).i32(4).i32(2).i8(5).i32(0);
    EXPECT_EQ(hex(encode_batch(pair)), hex(expected));
}

TEST(BatchEncoding, ElementLayoutsByCType) {
    WirePair pair;
    // C type 2: a host-order length prefix, then the characters.
    unsigned char prefixed[13];
    const int32_t three = 3, two = 2;
    memcpy(prefixed, &three, 4);
    memcpy(prefixed + 4, "abc", 3);
    memcpy(prefixed + 7, &two, 4);
    memcpy(prefixed + 11, "de", 2);
    int prefixed_lengths[2] = {3, 2};
    // C type 10: texts packed at their own lengths, referenced in place.
    char dates[] = "2024-01-0209:30";
    int date_lengths[2] = {10, 5};
    // C type 8: doubles, copied as one block.
    double reals[2] = {0.5, -1.0};
    int real_lengths[2] = {8, 8};
    ASSERT_EQ(KVC_BindParamArrayByName(pair.handle(), "s", 3, 1, 2, 2, prefixed, sizeof prefixed,
                                       prefixed_lengths),
              0);
    ASSERT_EQ(KVC_BindParamArrayByName(pair.handle(), "d", 3, 1, 10, 2, dates, 15, date_lengths), 0);
    ASSERT_EQ(KVC_BindParamArrayByName(pair.handle(), "r", 3, 1, 8, 2, reals, sizeof reals,
                                       real_lengths),
              0);
    KVCSParam* set = pair.conn()->bound_params;
    EXPECT_EQ(set->row_values[1][0], static_cast<void*>(static_cast<unsigned char*>(set->owned_blocks[0]) + 7));
    EXPECT_EQ(set->row_values[1][1], static_cast<void*>(dates + 10));
    reals[1] = 99.0;   // copied at binding: the change does not travel

    WireBuilder expected;
    expected.i16(1).raw("s").i16(1).i16(30).i32(3).raw("abc");
    expected.i16(1).raw("d").i16(1).i16(30).i32(10).raw("2024-01-02");
    expected.i16(1).raw("r").i16(1).i16(9).i32(8).r8(0.5);
    expected.i32(1 + 4 + 2 + 1 + 4 + 5 + 1 + 4 + 8);
    expected.i8(30).i32(2).raw("de").i8(30).i32(5).raw("09:30").i8(9).i32(8).r8(-1.0);
    EXPECT_EQ(hex(encode_batch(pair)), hex(expected));
}

TEST(BatchEncoding, LargeBatchTravelsInBlocksOfWholeRows) {
    WirePair pair;
    constexpr int kRows = 30000;
    std::vector<int32_t> ids(kRows);
    std::vector<int> id_lengths(kRows, 4), text_lengths(kRows);
    std::string texts;
    const int big_row = 12345;   // longer than a whole block: a block of its own
    for (int r = 0; r < kRows; ++r) {
        ids[r] = r * 7;
        const std::string t = r == big_row ? std::string(600000, 'B')
                                           : "row-" + std::to_string(r) +
                                                 std::string(static_cast<size_t>(r % 23), 'x');
        text_lengths[r] = static_cast<int>(t.size());
        texts += t;
    }
    ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 2, 1, 5, kRows, ids.data(),
                                      static_cast<int64_t>(ids.size() * 4), id_lengths.data()),
              0);
    ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 2, 2, 1, 11, kRows, &texts[0],
                                      static_cast<int64_t>(texts.size()), text_lengths.data()),
              0);
    std::thread writer([&] {
        kvc_sendparamS(pair.conn(), pair.conn()->bound_params);
        rh_flush(pair.conn());
    });
    JoinWriter join{writer, pair};
    // Reads block after block, checking every row, until all rows arrived.
    const size_t header_size = 2 * (6 + 4) + 4 + static_cast<size_t>(text_lengths[0]);
    Bytes header = pair.read_exact(header_size);
    ASSERT_EQ(header.size(), header_size);
    int row = 1, blocks = 0;
    size_t text_at = static_cast<size_t>(text_lengths[0]);
    while (row < kRows) {
        Bytes length_bytes = pair.read_exact(4);
        ASSERT_EQ(length_bytes.size(), 4u);
        const int32_t block = WireReader{length_bytes}.i32();
        ++blocks;
        if (row != big_row) {
            EXPECT_LE(block, 512000) << "block " << blocks;
        }
        Bytes body = pair.read_exact(static_cast<size_t>(block));
        ASSERT_EQ(body.size(), static_cast<size_t>(block));
        WireReader in{body};
        while (in.at < body.size() && row < kRows) {
            ASSERT_EQ(in.be(1), 5) << row;
            ASSERT_EQ(in.i32(), 4) << row;
            ASSERT_EQ(in.i32(), ids[row]) << row;
            ASSERT_EQ(in.be(1), 30) << row;
            ASSERT_EQ(in.i32(), text_lengths[row]) << row;
            ASSERT_EQ(in.take(static_cast<size_t>(text_lengths[row])),
                      texts.substr(text_at, static_cast<size_t>(text_lengths[row])))
                << row;
            text_at += static_cast<size_t>(text_lengths[row]);
            ++row;
        }
        ASSERT_EQ(in.at, body.size()) << "a block ends on a row boundary";
    }
    writer.join();
    EXPECT_TRUE(pair.sent().empty());
    EXPECT_GE(blocks, 4);
}

TEST(ArrayBinding, RefusesWhatHasNoStorage) {
    int32_t values[3] = {1, 2, 3};
    int lengths[3] = {4, 4, 4};
    int one = 1, four = 4;
    struct Case {
        const char* what;
        int status;
        const char* text;
    };
    auto check = [](const Case& c, int status, KVCSParam* set) {
        EXPECT_EQ(status, c.status) << c.what;
        if (c.text != nullptr) {
            EXPECT_EQ(text_of(set->error_text), c.text) << c.what;
        }
    };
    void* params = nullptr;
    ASSERT_EQ(KVC_CreateParams(&params), 0);
    KVCSParam* set = static_cast<KVCSParam*>(params);

    check({"param_total 0", -51, "[EC051]Error invalid param NO : 1 out of range paramnum : 0 "},
          KVC_BindParamArrayByPos(&params, 1, 0, 1, 5, 3, values, 12, lengths), set);
    check({"position above param_total", -51,
           "[EC051]Error invalid param NO : 3 out of range paramnum : 2 "},
          KVC_BindParamArrayByPos(&params, 3, 2, 1, 5, 3, values, 12, lengths), set);
    check({"rows beyond 16 bits", -1,
           "[EC064]Error bindparam arraysize 65536 invalid, the parameter set holds arraysize 0"},
          KVC_BindParamArrayByPos(&params, 1, 2, 1, 5, 65536, values, 12, lengths), set);
    check({"parameters beyond 16 bits", -51, nullptr},
          KVC_BindParamArrayByPos(&params, 1, 70000, 1, 5, 3, values, 12, lengths), set);
    check({"block smaller than its rows", -1,
           "[EC066]Error bindparam array values of param 1 lie outside the given block"},
          KVC_BindParamArrayByPos(&params, 1, 2, 1, 5, 3, values, 8, lengths), set);
    ASSERT_EQ(KVC_BindParamArrayByPos(&params, 1, 2, 1, 5, 3, values, 12, lengths), 0);
    check({"second array size", -1,
           "[EC064]Error bindparam arraysize 2 invalid, the parameter set holds arraysize 3"},
          KVC_BindParamArrayByPos(&params, 2, 2, 1, 5, 2, values, 12, lengths), set);
    check({"output by position", -8, nullptr},
          KVC_BindParamArrayByPos(&params, 2, 2, 2, 5, 3, values, 12, lengths), set);
    check({"single value into arrays", -1,
           "[EC065]Error bindparam single value into a parameter set holding arrays"},
          KVC_BindParamByPos(&params, 2, 1, 5, &one, 0, &four), set);
    testing::internal::CaptureStdout();
    for (int c_type : {42, 12, 14, 28, 31}) {
        EXPECT_EQ(KVC_BindParamArrayByPos(&params, 2, 2, 1, c_type, 3, values, 12, lengths), -58);
        EXPECT_EQ(text_of(set->error_text),
                  "[EC058]Error bindparam unsurpported datatype " + std::to_string(c_type) +
                      " invalid");
    }
    std::string lines;
    for (int i = 0; i < 5; ++i) lines += "bindparam unsurpported datatype\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), lines);
    EXPECT_EQ(set->param_count, 2);
    EXPECT_EQ(set->directions[0], 1);
    EXPECT_EQ(KVC_Drop(&params), 0);

    // Arrays into a set of single values, or by position into a prepared set.
    void* single = nullptr;
    ASSERT_EQ(KVC_CreateParams(&single), 0);
    ASSERT_EQ(KVC_BindParamByPos(&single, 1, 1, 5, &one, 0, &four), 0);
    check({"array into single values", -1,
           "[EC065]Error bindparam array into a parameter set holding single values or prepared by "
           "position"},
          KVC_BindParamArrayByPos(&single, 2, 2, 1, 5, 3, values, 12, lengths),
          static_cast<KVCSParam*>(single));
    EXPECT_EQ(KVC_Drop(&single), 0);
}

TEST(ArrayBinding, ByNameOnCallerAndPreparedSets) {
    int32_t values[2] = {1, 2};
    int lengths[2] = {4, 4};
    void* params = nullptr;
    ASSERT_EQ(KVC_CreateParams(&params), 0);
    KVCSParam* set = static_cast<KVCSParam*>(params);
    ASSERT_EQ(KVC_BindParamArrayByName(&params, "a", 2, 1, 5, 2, values, 8, lengths), 0);
    EXPECT_EQ(KVC_BindParamArrayByName(&params, "A", 2, 1, 5, 2, values, 8, lengths), -53);
    EXPECT_EQ(KVC_BindParamArrayByName(&params, "b", 2, 2, 5, 2, values, 8, lengths), 0);
    EXPECT_EQ(set->param_count, 1);   // an output binds nothing
    ASSERT_EQ(KVC_BindParamArrayByName(&params, "b", 2, 1, 5, 2, values, 8, lengths), 0);
    EXPECT_EQ(KVC_BindParamArrayByName(&params, "c", 2, 1, 5, 2, values, 8, lengths), -51);
    EXPECT_EQ(KVC_BindParamArrayByName(&params, nullptr, 2, 1, 5, 2, values, 8, lengths), -3);
    EXPECT_EQ(set->param_count, 2);
    EXPECT_EQ(KVC_Drop(&params), 0);

    WirePair pair;
    KVCSParam* prepared = new_param_set(PARAMS_PREPARED);
    pair.feed(WireBuilder().i32(2).str("first").i32(1).i32(5).i32(4).str("second").i32(2).i32(5).i32(4));
    ASSERT_EQ(recv_params_info2(pair.conn(), prepared), 0);
    pair.conn()->bound_params = prepared;
    ASSERT_EQ(KVC_BindParamArrayByName(pair.handle(), "SECOND", 2, 1, 5, 2, values, 8, lengths), 0);
    ASSERT_EQ(KVC_BindParamArrayByName(pair.handle(), "first", 2, 1, 5, 2, values, 8, lengths), 0);
    EXPECT_EQ(prepared->param_count, 2);
    EXPECT_EQ(prepared->array_size, 2);
    EXPECT_EQ(KVC_BindParamArrayByName(pair.handle(), "third", 2, 1, 5, 2, values, 8, lengths), -53);
    EXPECT_EQ(text_of(pair.conn()->error_text),
              "[EC053]Error invalid  param_name :third out  of prepared ");
    EXPECT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 2, 1, 5, 2, values, 8, lengths), -1);

    // A name beyond the count the caller gives is warned about and refused.
    KVCSParam* narrow = new_param_set(PARAMS_PREPARED);
    pair.feed(WireBuilder().i32(2).str("first").i32(1).i32(5).i32(4).str("second").i32(2).i32(5).i32(4));
    ASSERT_EQ(recv_params_info2(pair.conn(), narrow), 0);
    void* narrow_handle = narrow;
    testing::internal::CaptureStdout();
    EXPECT_EQ(KVC_BindParamArrayByName(&narrow_handle, "second", 1, 1, 5, 2, values, 8, lengths), -51);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "params bind num 2 beyanged given num 1 \n");
    free_param_set(narrow);
}

TEST(ExecBatch, RefusalsAndTheCombinedHeader) {
    WirePair pair;
    EXPECT_EQ(KVC_ExecBatch(pair.handle(), "INSERT", 3), -1);
    EXPECT_EQ(text_of(pair.conn()->error_text), "[EC025]Error ExecuteBatch without  bindparams  \n");

    int32_t values[3] = {4, 5, 6};
    int lengths[3] = {4, 4, 0};
    ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, 12, lengths), 0);
    EXPECT_EQ(KVC_ExecBatch(pair.handle(), "INSERT", 2), -1);
    EXPECT_EQ(text_of(pair.conn()->error_text),
              "[EC057]Error ExecuteBatch with paramsbind arraysize 3  does not match ArrayCount 2 \n");
    EXPECT_TRUE(pair.sent().empty());

    pair.feed(WireBuilder().tag('U').i32(3).tag('K'));
    EXPECT_EQ(KVC_ExecBatch(pair.handle(), "INSERT", 3), 0);
    Bytes expected = WireBuilder().tag('?').i32(6).raw("INSERT", 7).i32(1 + 3 * 65536)
                         .i16(0).i16(1).i16(5).i32(4).i32(4)
                         .i32(14).i8(5).i32(4).i32(5).i8(5).i32(0);
    EXPECT_EQ(hex(pair.sent()), hex(expected));
    KVCSParam* set = pair.conn()->bound_params;
    ASSERT_NE(set, nullptr);   // still attached, emptied
    EXPECT_EQ(set->param_count, 0);
    EXPECT_EQ(set->array_size, 0);

    // A statement that returns rows is reported; its result is discarded.
    ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, 12, lengths), 0);
    WireBuilder rows;
    int_rows(columns(rows, {{"n", 5}}), 2).tag('K');
    pair.feed(rows);
    EXPECT_EQ(KVC_ExecBatch(pair.handle(), "SELECT", 3), 2);
    EXPECT_EQ(text_of(pair.conn()->error_text),
              "[EC026]Error ExecuteBatch can't surpport a select_sql  \n");
    EXPECT_EQ(first_command_text(pair.sent()), "SELECT");

    // Single values are no batch.
    int one = 1, four = 4;
    ASSERT_EQ(KVC_BindParamByPos(pair.handle(), 1, 1, 5, &one, 0, &four), 0);
    EXPECT_EQ(KVC_ExecBatch(pair.handle(), "INSERT", 0), -1);
    EXPECT_EQ(text_of(pair.conn()->error_text), "[EC025]Error ExecuteBatch without  bindparams  \n");
}
