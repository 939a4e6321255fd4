// Fetching large-object content by descriptor over a scripted server: the
// exact "get lob" command, the pieces of the reply, refused pieces and
// descriptors, and the connection lock on every way out.
#include "kvc_inner.h"
#include "kvc_records.h"
#include "kvc_utility.h"
#include "support/lob_support.h"
#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <semaphore.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int kChunk = static_cast<int>(LOB_CHUNK_SIZE);

Bytes command_bytes(const std::string& text) { return WireBuilder().tag('?').str(text).i8(0).i32(0); }
const Bytes kCommand = command_bytes("get lob 'C0123456789AB' offset 0 limit 100 ");

// 'A', one column description, 'R'.
WireBuilder content_header() { return std::move(WireBuilder().tag('A').i32(1).str("content").i32(32).i32(0).i32(0).tag('R')); }

WireBuilder& add_piece(WireBuilder& reply, int64_t from, int32_t length) {
    const std::vector<char> bytes = lob_pattern(from, length);
    return reply.i32(1).i32(length).raw(bytes.data(), bytes.size());
}

int lock_count(Conn_Attrs* conn) {
    int value = -1;
    sem_getvalue(&conn->conn_lock, &value);
    return value;
}

// A LOB that carries a descriptor, as value conversion leaves it.
struct DescribedLob : LobHandle {
    explicit DescribedLob(const char* descriptor = "C0123456789AB 100") { record()->descriptor = strdup(descriptor); }
};

// After a reply read to its end, the connection is free and in step: the
// command went out whole, and another fetch sends its own and reads its reply.
void expect_in_step(WirePair& wire) {
    EXPECT_EQ(wire.read_exact(kCommand.size()), kCommand);
    EXPECT_EQ(lock_count(wire.conn()), 1);
    DescribedLob next;
    wire.feed(WireBuilder().tag('A').i32(0).tag('R').i32(1).i32(3).raw("xyz").i32(0).tag('K'));
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), next.record()), 0);
    EXPECT_EQ(wire.read_exact(kCommand.size()), kCommand);
    EXPECT_EQ(lob_content(next.handle()), (std::vector<char>{'x', 'y', 'z'}));
    EXPECT_EQ(lock_count(wire.conn()), 1);
}

}  // namespace

TEST(LobDescriptorWire, ThreePiecesFillThreeChunks) {
    WirePair wire;
    DescribedLob lob;
    WireBuilder reply = content_header();
    add_piece(add_piece(add_piece(reply, 0, kChunk), kChunk, kChunk), 2 * kChunk, 10).i32(0).tag('K');
    wire.feed_async(reply.bytes());
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), lob.record()), 0);
    wire.wait_fed();
    EXPECT_EQ(lob.record()->total_length, 2097162);
    EXPECT_EQ(lob.record()->chunk_count, 3);
    EXPECT_EQ(lob.record()->current_chunk->chunk_index, 2);
    EXPECT_EQ(lob_content(lob.handle()), lob_pattern(0, 2097162));
    expect_in_step(wire);

    // Pieces append after what the LOB holds; small ones keep filling the
    // chunk they start in.
    DescribedLob partial;
    ASSERT_EQ(partial.put_pattern(kChunk - 4), 0);
    WireBuilder small = content_header();
    add_piece(add_piece(small, kChunk - 4, 3), kChunk - 1, 6).i32(0).tag('K');
    wire.feed(small.bytes());
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), partial.record()), 0);
    EXPECT_EQ(partial.record()->chunk_count, 2);
    EXPECT_EQ(lob_content(partial.handle()), lob_pattern(0, kChunk + 5));
}

TEST(LobDescriptorWire, RepliesReadToTheirEnd) {
    WireBuilder oversized = content_header();
    add_piece(add_piece(oversized, 0, kChunk + 1), 0, 4).i32(0).tag('K');
    WireBuilder after_pieces = content_header();
    add_piece(after_pieces, 0, 5).i32(0).tag('W').str("lob warning").tag('K');
    const struct {
        const char* name;
        Bytes reply;
        int status;
        int64_t total;
    } cases[] = {
        {"error instead of content", WireBuilder().tag('E').str("no such lob").tag('K'), -1, 0},
        {"no rows", WireBuilder().tag('A').i32(0).tag('K'), 0, 0},
        {"message after the columns", WireBuilder().tag('A').i32(0).tag('M').str("m").tag('K'), 0, 0},
        {"warning after the pieces", after_pieces.bytes(), 0, 5},
        {"piece over 1 MiB", oversized.bytes(), -4, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WirePair wire;
        DescribedLob lob;
        wire.feed_async(c.reply);
        EXPECT_EQ(KVGetCLobDesc(wire.conn(), lob.record()), c.status);
        wire.wait_fed();
        EXPECT_EQ(lob.record()->total_length, c.total);
        expect_in_step(wire);
    }
}

TEST(LobDescriptorWire, BrokenOrHostileStreams) {
    const std::vector<char> half = lob_pattern(0, 50);
    const std::tuple<const char*, Bytes, int64_t> cases[] = {
        {"nothing at all", Bytes{}, 0},
        {"column count over the limit", WireBuilder().tag('A').i32(4001), 0},
        {"negative column count", WireBuilder().tag('A').i32(-1), 0},
        {"column cut short", WireBuilder().tag('A').i32(2).str("c").i32(32).i32(0), 0},
        {"negative piece length", WireBuilder().tag('A').i32(0).tag('R').i32(1).i32(-5), 0},
        {"piece cut short", WireBuilder().tag('A').i32(0).tag('R').i32(1).i32(100).raw(half.data(), half.size()), 0},
        {"no end marker", WireBuilder().tag('A').i32(0).tag('R').i32(1).i32(2).raw("ok"), 2},
    };
    for (const auto& [name, reply, total] : cases) {
        SCOPED_TRACE(name);
        WirePair wire;
        DescribedLob lob;
        wire.feed(reply);
        wire.close_peer();
        EXPECT_EQ(KVGetCLobDesc(wire.conn(), lob.record()), -4);
        EXPECT_EQ(lob.record()->total_length, total);
        EXPECT_EQ(lock_count(wire.conn()), 1);
    }
}

TEST(LobDescriptorWire, DescriptorsThatCannotFormTheCommand) {
    WirePair wire;
    DescribedLob short_one("C0123456789AB ");   // no length limit
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), short_one.record()), -3);
    LobHandle without;
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), without.record()), -3);
    EXPECT_EQ(KVGetCLobDesc(nullptr, short_one.record()), -3);
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), nullptr), -3);
    EXPECT_TRUE(wire.sent().empty());
    EXPECT_EQ(lock_count(wire.conn()), 1);

    // Fifteen characters are enough: a one-digit limit.
    DescribedLob minimal("B000000000000 7");
    wire.feed(WireBuilder().tag('K'));
    EXPECT_EQ(KVGetCLobDesc(wire.conn(), minimal.record()), 0);
    EXPECT_EQ(hex(wire.sent()), hex(command_bytes("get lob 'B000000000000' offset 0 limit 7 ")));
}
