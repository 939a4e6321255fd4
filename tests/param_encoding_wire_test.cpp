// Single-row parameter encoding, byte for byte, as it follows a command
// written with sendCommand_n.
#include "support/lob_support.h"
#include "support/statement_support.h"
#include "support/wire_pair.h"

#include "kvc.h"
#include "kvc_command.h"
#include "kvc_inner.h"
#include "kvc_params.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include <sys/socket.h>

namespace {

// Sends the bound set after the command "X"; returns what followed the command.
Bytes encode_bound(WirePair& pair) {
    KVCSParam* set = pair.conn()->bound_params;
    const int32_t header = set != nullptr ? set->param_count : 0;
    sendCommand_n(pair.conn(), "X", header);
    send_params(pair.conn(), set);
    rh_flush(pair.conn());
    const Bytes wire = pair.sent(), command = command_message("X", header);
    EXPECT_TRUE(wire.size() >= command.size() && std::equal(command.begin(), command.end(), wire.begin()));
    return Bytes(wire.begin() + static_cast<long>(command.size()), wire.end());
}

// One parameter bound by position: no name, then direction and the rest.
WireBuilder positional(int16_t direction, int16_t server_type) {
    return std::move(WireBuilder().i16(0).i16(direction).i16(server_type));
}

}  // namespace

TEST(ParamEncoding, WorkedExampleByName) {
    WirePair pair;
    int value = 42, length = 4;
    ASSERT_EQ(KVC_BindParamByName(pair.handle(), "id", 1, 5, &value, 0, nullptr, &length), 0);
    EXPECT_EQ(hex(encode_bound(pair)), "00 02 69 64 00 01 00 05 00 00 00 04 00 00 00 2a");
    length = 0;
    ASSERT_EQ(KVC_BindParamByName(pair.handle(), "id", 1, 5, &value, 0, nullptr, &length), 0);
    EXPECT_EQ(hex(encode_bound(pair)), "00 02 69 64 00 01 00 05 00 00 00 00");
}

TEST(ParamEncoding, SingleValuesByCType) {
    const int32_t int_value = 0x01020304;
    const int64_t big = 0x0102030405060708LL;
    const int16_t small = -2;
    const double real = 1.5;
    const float single = 2.5f;
    const char text[] = "abc";
    struct Case { const char* what; int c_type; const void* value; int length; Bytes expected; } cases[] = {
        {"null of no type", 0, &int_value, 4, positional(1, 1).i32(0)},
        {"type 58", 58, &int_value, 4, positional(1, 1008).i32(0)},
        {"int with length 8", 5, &int_value, 8, positional(1, 5).i32(4).i32(int_value)},
        {"int with length 0", 5, &int_value, 0, positional(1, 5).i32(0)},
        {"flag with length 3", 1, text, 3, positional(1, 3).i32(3).raw("abc")},
        {"short", 4, &small, 2, positional(1, 4).i32(2).i16(small)},
        // Only the 4-byte integer announces its width; the others announce L.
        {"short with length 8", 4, &small, 8, positional(1, 4).i32(8).i16(small)},
        {"bigint", 6, &big, 8, positional(1, 6).i32(8).i64(big)},
        {"float", 7, &single, 4, positional(1, 8).i32(4).r4(single)},
        {"double", 8, &real, 8, positional(1, 9).i32(8).r8(real)},
        {"datetime count", 23, &big, 8, positional(1, 13).i32(8).i64(big)},
        {"binary", 15, text, 2, positional(1, 33).i32(2).raw("ab")},
        {"character data", 62, text, 3, positional(1, 30).i32(3).raw("abc")},
        {"unknown code as characters", 44, text, 1, positional(1, 30).i32(1).raw("a")},
    };
    for (const Case& c : cases) {
        WirePair pair;
        int length = c.length;
        SCOPED_TRACE(c.what);
        ASSERT_EQ(KVC_BindParamByPos(pair.handle(), 1, 1, c.c_type, const_cast<void*>(c.value), 0, &length), 0);
        EXPECT_EQ(hex(encode_bound(pair)), hex(c.expected));
        EXPECT_EQ(pair.conn()->bound_params->param_count, 0) << "implicit set cleared";
    }
}

// A return-value slot writes nothing; slots passed over, and described slots
// of a prepared set never bound, go as input nulls of server type 1.
TEST(ParamEncoding, ReturnValueAndUnboundSlots) {
    WirePair pair;
    int value = 7, length = 4, ret = 0, ret_length = 4;
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 2, 1, 5, &value, 0, &length));
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 3, 6, 5, &ret, 4, &ret_length));
    EXPECT_EQ(hex(joined({positional(1, 1).i32(0), positional(1, 5).i32(4).i32(7)})),
              hex(encode_bound(pair)));

    KVCSParam* set = new_param_set(PARAMS_PREPARED);
    pair.feed(WireBuilder().i32(1).str("p").i32(1).i32(5).i32(4));
    ASSERT_EQ(0, recv_params_info2(pair.conn(), set));
    free_param_set(pair.conn()->bound_params);
    pair.conn()->bound_params = set;
    EXPECT_EQ("00 01 70 00 01 00 01 00 00 00 00", hex(encode_bound(pair)));
}

TEST(ParamEncoding, ArrayBoundSetSentAsSingleValuesGivesItsFirstRow) {
    WirePair pair;
    int32_t values[2] = {8, 9};
    int lengths[2] = {4, 4};
    ASSERT_EQ(KVC_BindParamArrayByPos(pair.handle(), 1, 1, 1, 5, 2, values, 8, lengths), 0);
    EXPECT_EQ(hex(encode_bound(pair)), hex(positional(1, 5).i32(4).i32(8)));
    EXPECT_EQ(pair.conn()->bound_params->array_size, 0);
}

TEST(ParamEncoding, OutputBuffersSendTheirContentAtSendingTime) {
    WirePair pair;
    void* params = nullptr;
    ASSERT_EQ(KVC_CreateParams(&params), 0);
    char buffer[8] = "hi";
    int length = 2;
    ASSERT_EQ(KVC_BindParamByPos(&params, 1, 3, 2, buffer, sizeof buffer, &length), 0);
    ASSERT_EQ(KVC_BindParams2Conn(pair.handle(), &params), 0);
    memcpy(buffer, "hello", 5);
    length = 5;
    EXPECT_EQ(hex(encode_bound(pair)), hex(positional(3, 30).i32(5).raw("hello")));
    // A caller-made set keeps its bindings; a length past the buffer is cut to it.
    length = 100;
    EXPECT_EQ(hex(encode_bound(pair)), hex(positional(3, 30).i32(8).raw(buffer, 8)));
    EXPECT_EQ(KVC_Drop(&params), 0);
    pair.conn()->bound_params = nullptr;
}

TEST(ParamEncoding, LobOfTwoFullChunks) {
    WirePair pair;
    LobHandle lob;
    ASSERT_EQ(lob.put_pattern(2 * LOB_CHUNK_SIZE), 0);
    ASSERT_EQ(KVC_Put_Lob_data(lob.handle(), nullptr, -1), 0);
    void* lob_handle = lob.record();
    int length = 0;   // a LOB's length comes from the LOB itself
    ASSERT_EQ(KVC_BindParamByPos(pair.handle(), 1, 1, 42, &lob_handle, 0, &length), 0);

    const size_t head = command_message("X", 1).size();
    const size_t total = head + 10 + 2 * LOB_CHUNK_SIZE;
    int status = -99;
    std::thread writer([&] {
        sendCommand_n(pair.conn(), "X", 1);
        status = send_params(pair.conn(), pair.conn()->bound_params);
        rh_flush(pair.conn());
    });
    Bytes wire = pair.read_exact(total);
    writer.join();
    EXPECT_EQ(0, status);
    ASSERT_EQ(total, wire.size());
    EXPECT_EQ(hex(positional(1, 34).i32(2 * LOB_CHUNK_SIZE)), hex(Bytes(wire.begin() + long(head), wire.begin() + long(head) + 10)));
    std::vector<char> pattern = lob_pattern(0, 2 * LOB_CHUNK_SIZE);
    EXPECT_EQ(0, memcmp(wire.data() + head + 10, pattern.data(), pattern.size()));
    // The walk leaves the LOB on its last chunk, where appends continue.
    EXPECT_EQ(lob.record()->current_chunk, lob.record()->first_chunk->chunk_next);
    EXPECT_TRUE(pair.sent().empty());
}

// A LOB that is not complete, or no LOB at all, goes as a null of its type.
TEST(ParamEncoding, IncompleteLobsGoAsNulls) {
    WirePair pair;
    LobHandle lob;
    ASSERT_EQ(0, lob.put_pattern(10));   // put, never completed
    void* lob_handle = lob.record();
    void* no_lob = nullptr;
    int length = 8;
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 1, 1, 42, &lob_handle, 0, &length));
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 2, 1, 41, &lob_handle, 0, &length));
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 3, 1, 40, &no_lob, 0, &length));
    EXPECT_EQ(hex(joined({positional(1, 34).i32(0), positional(1, 32).i32(0), positional(1, 34).i32(0)})),
              hex(encode_bound(pair)));

    ASSERT_EQ(0, KVC_Put_Lob_data(lob.handle(), nullptr, -1));   // now complete
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 1, 1, 41, &lob_handle, 0, &length));
    std::vector<char> bytes = lob_pattern(0, 10);
    EXPECT_EQ(hex(positional(1, 32).i32(10).raw(bytes.data(), 10)), hex(encode_bound(pair)));
}

// A failed binary send stops the block and leaves the set as it was.
TEST(ParamEncoding, FailedBlobSendStopsTheBlock) {
    WirePair pair;
    LobHandle lob;
    ASSERT_EQ(0, lob.put_pattern(4096));
    ASSERT_EQ(0, KVC_Put_Lob_data(lob.handle(), nullptr, -1));
    void* lob_handle = lob.record();
    int length = 0;
    ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 1, 1, 42, &lob_handle, 0, &length));
    pair.close_peer();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, send_params(pair.conn(), pair.conn()->bound_params));
    EXPECT_EQ("send param net Error for BLOB", testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, pair.conn()->bound_params->param_count) << "not cleared";
}

// Binary LOBs above 510 MiB are copied into one buffer and written at once;
// at exactly 510 MiB they still go chunk by chunk. The chunks take turns over
// three distinct buffers, so a chunk sent out of order shows without 510 MiB
// of distinct content.
class BigLob {
public:
    explicit BigLob(int64_t total) {
        for (int b = 0; b < 3; ++b) buffers_[b] = lob_pattern(b * LOB_CHUNK_SIZE, LOB_CHUNK_SIZE);
        record_.handle_kind = KVC_HANDLE_LOB;
        record_.lob_state = 2;
        record_.total_length = total;
        lob_chunk** link = &record_.first_chunk;
        for (int64_t at = 0; at < total; at += LOB_CHUNK_SIZE) {
            lob_chunk* chunk = new lob_chunk{};
            chunk->chunk_index = record_.chunk_count;
            chunk->chunk_data = reinterpret_cast<unsigned char*>(buffers_[record_.chunk_count % 3].data());
            *link = chunk;
            link = &chunk->chunk_next;
            record_.current_chunk = chunk;
            ++record_.chunk_count;
        }
        last_ = record_.current_chunk;
        record_.current_chunk = record_.first_chunk;
    }
    ~BigLob() {
        for (lob_chunk* c = record_.first_chunk; c != nullptr;) {
            lob_chunk* next = c->chunk_next;
            delete c;
            c = next;
        }
    }
    // Whether n bytes match the content from byte k on.
    bool matches(int64_t k, const char* bytes, int64_t n) const {
        while (n > 0) {
            const int64_t in_chunk = k % LOB_CHUNK_SIZE, piece = std::min(n, LOB_CHUNK_SIZE - in_chunk);
            if (memcmp(bytes, buffers_[(k / LOB_CHUNK_SIZE) % 3].data() + in_chunk, static_cast<size_t>(piece)) != 0)
                return false;
            k += piece, bytes += piece, n -= piece;
        }
        return true;
    }
    void* handle = &record_;
    KolvaLob_ record_{};
    lob_chunk* last_ = nullptr;

private:
    std::vector<char> buffers_[3];
};

TEST(ParamEncoding, BinaryLobAboveFiveHundredTenMiBGoesAsOneWrite) {
    constexpr int64_t kLimit = 534773760;
    {
        SCOPED_TRACE("one byte over the limit, every byte in order");
        WirePair pair;
        BigLob lob(kLimit + 1);
        int length = 0;
        ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 1, 1, 42, &lob.handle, 0, &length));
        int64_t received = 0, first_wrong = -1;
        Bytes head;
        std::thread reader([&] {
            std::vector<char> buf(LOB_CHUNK_SIZE);
            const int64_t expected_total = 10 + kLimit + 1;
            while (received < expected_total) {
                const ssize_t n = recv(pair.peer_fd(), buf.data(), buf.size(), 0);
                if (n <= 0) return;
                ssize_t i = 0;
                for (; i < n && received < 10; ++i, ++received) head.push_back(static_cast<unsigned char>(buf[i]));
                if (first_wrong < 0 && !lob.matches(received - 10, buf.data() + i, n - i)) first_wrong = received - 10;
                received += n - i;
            }
        });
        EXPECT_EQ(0, send_params(pair.conn(), pair.conn()->bound_params));
        rh_flush(pair.conn());
        reader.join();
        EXPECT_EQ(10 + kLimit + 1, received);
        EXPECT_EQ(hex(positional(1, 34).i32(static_cast<int32_t>(kLimit + 1))), hex(head));
        EXPECT_EQ(-1, first_wrong);
        EXPECT_EQ(lob.last_, lob.record_.current_chunk);
    }
    // A failed write is reported by the chunked path only.
    for (int64_t total : {kLimit, kLimit + 1}) {
        SCOPED_TRACE(total);
        WirePair pair;
        BigLob lob(total);
        int length = 0;
        ASSERT_EQ(0, KVC_BindParamByPos(pair.handle(), 1, 1, 42, &lob.handle, 0, &length));
        pair.close_peer();
        testing::internal::CaptureStdout();
        const int status = send_params(pair.conn(), pair.conn()->bound_params);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(total == kLimit ? -1 : 0, status);
        EXPECT_EQ(total == kLimit ? "send param net Error for BLOB" : "", printed);
    }
}
