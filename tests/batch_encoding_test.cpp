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

// Encodes the connection's array-bound set as KVC_ExecBatch does after its command.
Bytes encode_batch(WirePair& pair, bool collect = true) {
    kvc_sendparamS(pair.conn(), pair.conn()->bound_params);
    rh_flush(pair.conn());
    return collect ? pair.sent() : Bytes{};
}

// Joins the thread that encodes a batch too large for the socket's buffer;
// a reader that gives up early must not leave the writer blocked.
struct WriterJoin {
    std::thread& writer;
    WirePair& pair;
    ~WriterJoin() {
        if (writer.joinable()) pair.close_peer(), writer.join();
    }
};

int32_t be32(const Bytes& b, size_t at) {
    return static_cast<int32_t>(uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3]);
}

TEST(BatchEncoding, IntegersTypedUntypedAndNull) {
    const struct { const char* version; int last_length, block; } cases[] = {{"301", 4, 18}, {"201", 4, 16}, {"301", 0, 14}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + std::to_string(c.last_length));
        WirePair pair;
        kv_strcpy_s(pair.conn()->protocol_version, sizeof pair.conn()->protocol_version, c.version);
        int32_t values[3] = {10, 11, 12};
        int lengths[3] = {4, 4, c.last_length};
        ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, 12, lengths));
        const bool typed = c.block != 16;
        WireBuilder expected;
        expected.i16(0).i16(1).i16(5).i32(4).i32(10).i32(c.block);
        for (int r = 1; r < 3; ++r) {
            if (typed) expected.i8(5);
            if (lengths[r] == 0) expected.i32(0);
            else expected.i32(4).i32(values[r]);
        }
        EXPECT_EQ(hex(expected), hex(encode_batch(pair)));
        EXPECT_EQ(0, pair.conn()->bound_params->param_count);
        EXPECT_EQ(0, pair.conn()->bound_params->array_size);
    }
}

// Fixed-width elements are the caller's variables: all rows are copied and
// sent whatever total size is given.
TEST(BatchEncoding, FixedWidthRowsWhateverTheTotalSize) {
    for (int64_t total : {12, 8, 0}) {
        SCOPED_TRACE(total);
        WirePair pair;
        kv_strcpy_s(pair.conn()->protocol_version, sizeof pair.conn()->protocol_version, "201");
        int32_t values[3] = {10, 11, 12};
        int lengths[3] = {4, 4, 4};
        ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, total, lengths));
        const Bytes expected = WireBuilder().i16(0).i16(1).i16(5).i32(4).i32(10).i32(16).i32(4).i32(11).i32(4).i32(12);
        EXPECT_EQ(hex(expected), hex(encode_batch(pair)));
    }
}

// The first row announces the caller's length, block rows the width.
TEST(BatchEncoding, AnnouncedLengthsOfFixedWidthValues) {
    WirePair pair;
    kv_strcpy_s(pair.conn()->protocol_version, sizeof pair.conn()->protocol_version, "201");
    int32_t ints[2] = {1, 2};
    int16_t shorts[2] = {3, 4};
    int lengths[2] = {8, 8};
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 2, 1, 5, 2, ints, 8, lengths));
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 2, 2, 1, 4, 2, shorts, 4, lengths));
    const Bytes expected = WireBuilder().i16(0).i16(1).i16(5).i32(8).i32(1).i16(0).i16(1).i16(4).i32(8).i16(3)
                               .i32(14).i32(4).i32(2).i32(8).i16(4);
    EXPECT_EQ(hex(expected), hex(encode_batch(pair)));
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
    ASSERT_EQ(0, KVC_BindParamArrayByName(pair.handle(), "s", 3, 1, 2, 2, prefixed, 13, prefixed_lengths));
    ASSERT_EQ(0, KVC_BindParamArrayByName(pair.handle(), "d", 3, 1, 10, 2, dates, 15, date_lengths));
    ASSERT_EQ(0, KVC_BindParamArrayByName(pair.handle(), "r", 3, 1, 8, 2, reals, 16, real_lengths));
    reals[1] = 99.0;   // copied at binding: the change does not travel

    WireBuilder expected;
    expected.i16(1).raw("s").i16(1).i16(30).i32(3).raw("abc");
    expected.i16(1).raw("d").i16(1).i16(30).i32(10).raw("2024-01-02");
    expected.i16(1).raw("r").i16(1).i16(9).i32(8).r8(0.5);
    expected.i32(1 + 4 + 2 + 1 + 4 + 5 + 1 + 4 + 8);
    expected.i8(30).i32(2).raw("de").i8(30).i32(5).raw("09:30").i8(9).i32(8).r8(-1.0);
    EXPECT_EQ(hex(expected), hex(encode_batch(pair)));
}

// Block rows of every element layout: what the int32 in front of a value
// announces (the width, the one byte, or the caller's length), the value's
// bytes, and a null for a zero length.
TEST(BatchEncoding, BlockRowsOfEveryLayout) {
    const auto elements = [](std::initializer_list<Bytes> parts) {
        Bytes all;
        for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    const auto prefixed = [](int32_t prefix, const std::string& bytes) {
        Bytes element(4);
        memcpy(element.data(), &prefix, 4);
        element.insert(element.end(), bytes.begin(), bytes.end());
        return element;
    };
    const auto host = [](auto v) {
        Bytes b(sizeof v);
        memcpy(b.data(), &v, sizeof v);
        return b;
    };
    const struct {
        int c_type;
        Bytes block;
        std::vector<int> lengths;   // rows 0, 1 and 2; row 2 is a null
        Bytes row1;                 // after the type byte
        int type_byte;
    } cases[] = {
        {KVC_C_BOOL, {7, 9, 5}, {1, 3, 0}, WireBuilder().i32(1).i8(9).bytes(), 3},
        {KVC_C_TINYINT, {7, 0xF6, 5}, {1, 1, 0}, WireBuilder().i32(1).i8(-10).bytes(), 3},
        {KVC_C_SINGLE_CHAR, {'a', 'b', 'c'}, {1, 2, 0}, WireBuilder().i32(1).raw("b").bytes(), 30},
        {KVC_C_SHORT, elements({host(int16_t{1}), host(int16_t{-2}), host(int16_t{3})}), {2, 6, 0},
         WireBuilder().i32(6).i16(-2).bytes(), 4},
        {KVC_C_FLOAT, elements({host(0.5f), host(1.5f), host(2.0f)}), {4, 9, 0}, WireBuilder().i32(4).r4(1.5f).bytes(), 8},
        {KVC_C_TIMESTAMP_MS, elements({host(int64_t{1}), host(int64_t{-5}), host(int64_t{9})}), {8, 5, 0},
         WireBuilder().i32(5).i64(-5).bytes(), 13},
        {KVC_C_NUMERIC, elements({{'1', '.', '5'}, {'-', '2', '2', '.', '2', '5'}}), {3, 6, 0},
         WireBuilder().i32(6).raw("-22.25").bytes(), 30},
        {KVC_C_BINARY, elements({prefixed(2, "xy"), prefixed(100, "abc"), prefixed(0, "")}), {2, 3, 0},
         WireBuilder().i32(3).raw("abc").bytes(), 33},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.c_type);
        WirePair pair;
        Bytes block = c.block;
        std::vector<int> lengths = c.lengths;
        ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, c.c_type, 3, block.data(),
                                             static_cast<int64_t>(block.size()), lengths.data()));
        WireBuilder rows;
        rows.i8(static_cast<int8_t>(c.type_byte)).raw(c.row1).i8(static_cast<int8_t>(c.type_byte)).i32(0);
        const Bytes expected = WireBuilder().i32(static_cast<int32_t>(rows.bytes().size())).raw(rows.bytes()).bytes();
        const Bytes sent = encode_batch(pair);
        ASSERT_GT(sent.size(), expected.size());
        EXPECT_EQ(hex(expected), hex(Bytes(sent.end() - long(expected.size()), sent.end())));
    }
}

// Many rows travel in several blocks of whole rows, each closed by the row
// that takes it past the block size (or alone larger); every row arrives
// intact.
TEST(BatchEncoding, LargeBatchTravelsInBlocksOfWholeRows) {
    WirePair pair;
    constexpr int kRows = 30000, kBigRow = 12345;
    std::vector<int32_t> ids(kRows);
    std::vector<int> id_lengths(kRows, 4), text_lengths(kRows);
    std::string texts;
    for (int r = 0; r < kRows; ++r) {
        ids[r] = r * 7;
        const std::string t = r == kBigRow ? std::string(600000, 'B') : "row-" + std::to_string(r) + std::string(r % 23, 'x');
        text_lengths[r] = static_cast<int>(t.size());
        texts += t;
    }
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 2, 1, 5, kRows, ids.data(), 4 * kRows, id_lengths.data()));
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 2, 2, 1, 11, kRows, &texts[0],
                                         static_cast<int64_t>(texts.size()), text_lengths.data()));
    std::thread writer([&] { encode_batch(pair, false); });
    WriterJoin join{writer, pair};
    ASSERT_EQ(2u * (6 + 4) + 4 + 5, pair.read_exact(2 * (6 + 4) + 4 + 5).size());   // row 0
    size_t text_at = 5;
    int row = 1, blocks = 0;
    while (row < kRows) {
        const int32_t size = be32(pair.read_exact(4), 0);
        ++blocks;
        const Bytes body = pair.read_exact(static_cast<size_t>(size));
        ASSERT_EQ(static_cast<size_t>(size), body.size());
        size_t at = 0;
        for (; at < body.size() && row < kRows; ++row) {
            EXPECT_LE(at, 512000u) << "block " << blocks << " went on past the block size";
            const size_t n = static_cast<size_t>(text_lengths[row]);
            ASSERT_LE(at + 14 + n, body.size()) << row;
            const Bytes expected = WireBuilder().i8(5).i32(4).i32(ids[row]).i8(30).i32(text_lengths[row])
                                       .raw(texts.substr(text_at, n));
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), body.begin() + long(at))) << row;
            at += 14 + n;
            text_at += n;
        }
        ASSERT_EQ(body.size(), at) << "a block ends on a row boundary";
    }
    writer.join();
    EXPECT_TRUE(pair.sent().empty());
    EXPECT_GE(blocks, 4);
}

// The block rule, measured on a row that exactly fills what 112 rows leave:
// the room test (L + 5 against the block) sends the 112 rows first.
TEST(BatchEncoding, RowThatWouldFillTheBlockStartsTheNext) {
    WirePair pair;
    kv_strcpy_s(pair.conn()->protocol_version, sizeof pair.conn()->protocol_version, "201");
    constexpr int kRows = 114;
    std::vector<int> lengths(kRows, 3996);
    lengths[0] = 1;
    lengths[kRows - 1] = 63996;
    std::string texts;
    for (int length : lengths) texts += std::string(static_cast<size_t>(length), 't');
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 10, kRows, &texts[0],
                                         static_cast<int64_t>(texts.size()), lengths.data()));
    std::thread writer([&] { encode_batch(pair, false); });
    ASSERT_EQ(6u + 4 + 1, pair.read_exact(6 + 4 + 1).size());   // row 0
    std::vector<int32_t> blocks;
    for (size_t rows_seen = 0; rows_seen < kRows - 1;) {
        blocks.push_back(be32(pair.read_exact(4), 0));
        rows_seen += blocks.back() == 64000 ? 1 : static_cast<size_t>(blocks.back() / 4000);
        ASSERT_EQ(static_cast<size_t>(blocks.back()), pair.read_exact(static_cast<size_t>(blocks.back())).size());
    }
    writer.join();
    EXPECT_EQ((std::vector<int32_t>{448000, 64000}), blocks);
}

// A set keeps the large blocks of one batch for the next: every batch sends
// its own values, whatever the sizes of the batch before, and sets of many
// slots travel like small ones.
TEST(BatchEncoding, BatchesBackToBackOnOneSet) {
    WirePair pair;
    const struct { int int_columns, rows; } cases[] = {{1, 12000}, {1, 3000}, {69, 3}, {1, 20000}};
    int batch = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(++batch);
        const int columns = c.int_columns + 1;   // the integers, then a text
        std::vector<std::vector<int64_t>> ints(c.int_columns, std::vector<int64_t>(c.rows));
        std::vector<int> int_lengths(c.rows, 8), text_lengths(c.rows);
        std::string prefixed;   // C type 2: host-order count, then the characters
        std::vector<std::string> texts(c.rows);
        for (int r = 0; r < c.rows; ++r) {
            for (int k = 0; k < c.int_columns; ++k) ints[k][r] = int64_t{batch} << 40 | int64_t{k} << 24 | r;
            texts[r] = std::to_string(batch) + ":" + std::string(r % 7, 'a' + batch);
            const int32_t count = static_cast<int32_t>(texts[r].size());
            text_lengths[r] = count;
            prefixed.append(reinterpret_cast<const char*>(&count), 4).append(texts[r]);
        }
        for (int k = 0; k < c.int_columns; ++k)
            ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), k + 1, columns, 1, 6, c.rows, ints[k].data(),
                                                 int64_t{8} * c.rows, int_lengths.data()));
        ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), columns, columns, 1, 2, c.rows, &prefixed[0],
                                             static_cast<int64_t>(prefixed.size()), text_lengths.data()));
        const auto row_bytes = [&](int r, bool first) {
            WireBuilder b;
            for (int k = 0; k < c.int_columns; ++k) {
                if (first) b.i16(0).i16(1).i16(KVC_SQL_BIGINT);
                else b.i8(KVC_SQL_BIGINT);
                b.i32(8).i64(ints[k][r]);
            }
            if (first) b.i16(0).i16(1).i16(KVC_SQL_CHAR);
            else b.i8(KVC_SQL_CHAR);
            return b.i32(static_cast<int32_t>(texts[r].size())).raw(texts[r]).bytes();
        };
        std::thread writer([&] { encode_batch(pair, false); });
        WriterJoin join{writer, pair};
        const Bytes first = row_bytes(0, true);
        EXPECT_EQ(hex(first), hex(pair.read_exact(first.size())));
        for (int row = 1; row < c.rows;) {
            const Bytes block = pair.read_exact(static_cast<size_t>(be32(pair.read_exact(4), 0)));
            size_t at = 0;
            for (; at < block.size() && row < c.rows; ++row) {
                const Bytes expected = row_bytes(row, false);
                ASSERT_LE(at + expected.size(), block.size()) << row;
                ASSERT_TRUE(std::equal(expected.begin(), expected.end(), block.begin() + long(at))) << row;
                at += expected.size();
            }
            ASSERT_EQ(block.size(), at) << "a block ends on a row boundary";
        }
        writer.join();
        EXPECT_TRUE(pair.sent().empty());
    }
}

TEST(ArrayBinding, RefusesWhatHasNoStorage) {
    int32_t values[3] = {1, 2, 3};
    int lengths[3] = {4, 4, 4}, one = 1, four = 4;
    void* params = nullptr;
    ASSERT_EQ(0, KVC_CreateParams(&params));
    KVCSParam* set = static_cast<KVCSParam*>(params);
    auto by_pos = [&](int no, int total, int direction, int c_type, int rows, int64_t size) {
        return KVC_BindParamArrayByPos(&params, no, total, direction, c_type, rows, values, size, lengths);
    };
    auto check = [&](const char* what, int status, int expected, const std::string& text) {
        EXPECT_EQ(expected, status) << what;
        EXPECT_EQ(text, text_of(set->error_text)) << what;
    };
    const std::string out_of_range = "[EC051]Error invalid param NO : ";
    check("param_total 0", by_pos(1, 0, 1, 5, 3, 12), -51, out_of_range + "1 out of range paramnum : 0 ");
    check("position above param_total", by_pos(3, 2, 1, 5, 3, 12), -51, out_of_range + "3 out of range paramnum : 2 ");
    check("rows beyond 16 bits", by_pos(1, 2, 1, 5, 65536, 12), -1,
          "[EC064]Error bindparam arraysize 65536 invalid, the parameter set holds arraysize 0");
    check("parameters beyond 16 bits", by_pos(1, 70000, 1, 5, 3, 12), -51,
          out_of_range + "1 out of range paramnum : 70000 ");
    check("texts beyond the block", by_pos(1, 2, 1, 10, 3, 8), -1,
          "[EC066]Error bindparam array values of param 1 lie outside the given block");
    ASSERT_EQ(0, by_pos(1, 2, 1, 5, 3, 12));
    check("second array size", by_pos(2, 2, 1, 5, 2, 12), -1,
          "[EC064]Error bindparam arraysize 2 invalid, the parameter set holds arraysize 3");
    kvc_set_text(&set->error_text, nullptr);
    check("output by position", by_pos(2, 2, 2, 5, 3, 12), -8, "");
    check("single value into arrays", KVC_BindParamByPos(&params, 2, 1, 5, &one, 0, &four), -1,
          "[EC065]Error bindparam single value into a parameter set holding arrays");
    // No batch form exists for these C types.
    testing::internal::CaptureStdout();
    std::string lines;
    for (int c_type : {42, 12, 14, 28, 31}) {
        check("no batch form", by_pos(2, 2, 1, c_type, 3, 12), -58,
              "[EC058]Error bindparam unsurpported datatype " + std::to_string(c_type) + " invalid");
        lines += "bindparam unsurpported datatype\n";
    }
    EXPECT_EQ(lines, testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, set->param_count);
    EXPECT_EQ(1, set->directions[0]);
    EXPECT_EQ(0, KVC_Drop(&params));

    ASSERT_EQ(0, KVC_CreateParams(&params));
    set = static_cast<KVCSParam*>(params);
    ASSERT_EQ(0, KVC_BindParamByPos(&params, 1, 1, 5, &one, 0, &four));
    check("array into single values", by_pos(2, 2, 1, 5, 3, 12), -1,
          "[EC065]Error bindparam array into a parameter set holding single values or prepared by position");
    EXPECT_EQ(0, KVC_Drop(&params));
}

TEST(ArrayBinding, ByNameOnCallerAndPreparedSets) {
    int32_t values[2] = {1, 2};
    int lengths[2] = {4, 4};
    void* params = nullptr;
    ASSERT_EQ(0, KVC_CreateParams(&params));
    auto by_name = [&](void** handle, const char* name, int total, int direction) {
        return KVC_BindParamArrayByName(handle, name, total, direction, 5, 2, values, 8, lengths);
    };
    ASSERT_EQ(0, by_name(&params, "a", 2, 1));
    // A name is refused as already bound before any other direction is let pass.
    for (int direction : {1, 2, 3, 6}) EXPECT_EQ(-53, by_name(&params, "A", 2, direction)) << direction;
    EXPECT_EQ(0, by_name(&params, "b", 2, 2));
    EXPECT_EQ(1, static_cast<KVCSParam*>(params)->param_count) << "an output binds nothing";
    ASSERT_EQ(0, by_name(&params, "b", 2, 1));
    EXPECT_EQ(-51, by_name(&params, "c", 2, 1));
    EXPECT_EQ(-3, by_name(&params, nullptr, 2, 1));
    EXPECT_EQ(2, static_cast<KVCSParam*>(params)->param_count);
    EXPECT_EQ(0, KVC_Drop(&params));

    // Described names bound in the order second, first; case does not matter.
    const Bytes description =
        WireBuilder().i32(2).str("first").i32(1).i32(5).i32(4).str("second").i32(2).i32(5).i32(4);
    WirePair pair;
    KVCSParam* prepared = new_param_set(PARAMS_PREPARED);
    pair.feed(description);
    ASSERT_EQ(0, recv_params_info2(pair.conn(), prepared));
    pair.conn()->bound_params = prepared;
    ASSERT_EQ(0, by_name(pair.handle(), "SECOND", 2, 1));
    ASSERT_EQ(0, by_name(pair.handle(), "first", 2, 1));
    EXPECT_EQ(2, prepared->param_count);
    EXPECT_EQ(2, prepared->array_size);
    for (int direction : {1, 2}) {
        EXPECT_EQ(-53, by_name(pair.handle(), "third", 2, direction));
        EXPECT_EQ("[EC053]Error invalid  param_name :third out  of prepared ", text_of(pair.conn()->error_text));
    }
    EXPECT_EQ(-1, KVC_BindParamArrayByPos(pair.handle(), 1, 2, 1, 5, 2, values, 8, lengths));

    // A name beyond the count the caller gives is warned about and refused.
    KVCSParam* narrow = new_param_set(PARAMS_PREPARED);
    pair.feed(description);
    ASSERT_EQ(0, recv_params_info2(pair.conn(), narrow));
    void* narrow_handle = narrow;
    testing::internal::CaptureStdout();
    EXPECT_EQ(-51, by_name(&narrow_handle, "second", 1, 1));
    EXPECT_EQ("params bind num 2 beyanged given num 1 \n", testing::internal::GetCapturedStdout());
    free_param_set(narrow);
}

TEST(ExecBatch, RefusalsAndTheCombinedHeader) {
    const char kNoParams[] = "[EC025]Error ExecuteBatch without  bindparams  \n";
    WirePair pair;
    EXPECT_EQ(-1, KVC_ExecBatch(pair.handle(), "INSERT", 3));
    EXPECT_EQ(kNoParams, text_of(pair.conn()->error_text));

    int32_t values[3] = {4, 5, 6};
    int lengths[3] = {4, 4, 0};
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, 12, lengths));
    EXPECT_EQ(-1, KVC_ExecBatch(pair.handle(), "INSERT", 2));
    EXPECT_EQ("[EC057]Error ExecuteBatch with paramsbind arraysize 3  does not match ArrayCount 2 \n",
              text_of(pair.conn()->error_text));
    EXPECT_TRUE(pair.sent().empty());

    pair.feed(WireBuilder().tag('U').i32(3).tag('K'));
    EXPECT_EQ(0, KVC_ExecBatch(pair.handle(), "INSERT", 3));
    const Bytes rows = WireBuilder().i16(0).i16(1).i16(5).i32(4).i32(4).i32(14).i8(5).i32(4).i32(5).i8(5).i32(0);
    EXPECT_EQ(hex(joined({command_message("INSERT", 1 + 3 * 65536), rows})), hex(pair.sent()));
    KVCSParam* set = pair.conn()->bound_params;
    ASSERT_NE(nullptr, set) << "still attached, emptied";
    EXPECT_EQ(0, set->param_count);
    EXPECT_EQ(0, set->array_size);

    // A statement that returns rows is reported; its result is discarded.
    ASSERT_EQ(0, KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 3, values, 12, lengths));
    pair.feed(rows_reply(2));
    EXPECT_EQ(-1, KVC_ExecBatch(pair.handle(), "SELECT", 3));
    EXPECT_EQ("[EC026]Error ExecuteBatch can't surpport a select_sql  \n", text_of(pair.conn()->error_text));
    EXPECT_EQ(hex(joined({command_message("SELECT", 1 + 3 * 65536), rows})), hex(pair.sent()));

    // Single values are no batch: their array size, 0, does not match.
    int one = 1, four = 4;
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 1, 1, 5, &one, 0, &four));
    for (int count : {3, 0}) {
        EXPECT_EQ(-1, KVC_ExecBatch(pair.handle(), "INSERT", count));
        EXPECT_EQ("[EC057]Error ExecuteBatch with paramsbind arraysize 0  does not match ArrayCount " +
                      std::to_string(count) + " \n",
                  text_of(pair.conn()->error_text));
    }
    EXPECT_TRUE(pair.sent().empty());
}

}  // namespace
