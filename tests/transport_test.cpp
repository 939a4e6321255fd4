// The framed transport over a socket pair: when bytes leave the send buffer,
// byte order, the receive cache, the pushed-back byte and received strings.
#include "kvc.h"
#include "kvc_inner.h"
#include "support/wire_pair.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace {

Bytes pattern(size_t n, unsigned char seed) {
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(seed + i * 7);
    return out;
}

Bytes joined(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bool peer_has_bytes(WirePair& wire) {
    pollfd p{wire.peer_fd(), POLLIN, 0};
    return poll(&p, 1, 50) > 0;
}

const unsigned char kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

TEST(Transport, SmallWritesWaitLargeOnesFlushAndGoDirect) {
    for (bool encrypted : {false, true}) {
        WirePair wire;
        if (encrypted) wire.enable_encryption(kKey);
        Bytes small = pattern(2048, 1);
        EXPECT_EQ(rh_send(wire.conn(), small.data(), 2048), 0);
        EXPECT_EQ(wire.conn()->send_fill, 2048);
        EXPECT_FALSE(peer_has_bytes(wire)) << encrypted;

        Bytes large = pattern(2049, 2);
        // Plain: the direct send's count; encrypted: the pending block's.
        EXPECT_EQ(rh_send(wire.conn(), large.data(), 2049), encrypted ? 2048 : 2049);
        EXPECT_EQ(wire.conn()->send_fill, 0);
        EXPECT_EQ(wire.read_exact(4097).size(), 4097u);
        // The caller's bytes are never enciphered in place.
        EXPECT_EQ(large, pattern(2049, 2));
    }
}

TEST(Transport, FullBufferSendsPendingBlockFirst) {
    WirePair wire;
    Bytes first = pattern(8000, 3);
    for (int i = 0; i < 4; ++i) rh_send(wire.conn(), first.data() + 2000 * i, 2000);
    Bytes fits = pattern(191, 4);
    EXPECT_EQ(rh_send(wire.conn(), fits.data(), 191), 0);
    EXPECT_EQ(wire.conn()->send_fill, 8191);
    EXPECT_FALSE(peer_has_bytes(wire));

    WirePair other;
    for (int i = 0; i < 4; ++i) rh_send(other.conn(), first.data() + 2000 * i, 2000);
    Bytes overflow = pattern(192, 5);
    EXPECT_EQ(rh_send(other.conn(), overflow.data(), 192), 8000);
    EXPECT_EQ(other.conn()->send_fill, 192);
    EXPECT_EQ(other.read_exact(8000), first);
    EXPECT_FALSE(peer_has_bytes(other));
    EXPECT_EQ(rh_flush(other.conn()), 0);
    EXPECT_EQ(other.read_exact(192), overflow);
}

TEST(Transport, FlushWithNothingPendingMakesNoSystemCall) {
    WirePair wire;
    const int fd = wire.conn()->sock_fd;
    wire.conn()->sock_fd = -1;   // any send would now fail with -1
    EXPECT_EQ(rh_flush(wire.conn()), 0);
    rh_send_char(wire.conn(), 'x');
    EXPECT_EQ(rh_flush(wire.conn()), -1);
    EXPECT_EQ(wire.conn()->send_fill, 0);   // a failed block is dropped, not retried
    wire.conn()->sock_fd = fd;
}

TEST(Transport, BigEndianBothWays) {
    WirePair wire;
    EXPECT_EQ(0, Init());   // on this little-endian host: the order connects set anyway
    rh_send_int16(wire.conn(), -2);
    rh_send_int32(wire.conn(), 258);
    rh_send_int64(wire.conn(), 0x0102030405060708LL);
    unsigned char block[8];
    int pos = 0;
    rh_put_cache_int32(block, &pos, 258);
    rh_put_cache_int16(block, &pos, 0x0A0B);
    EXPECT_EQ(pos, 6);
    rh_send(wire.conn(), block, pos);
    rh_flush(wire.conn());
    EXPECT_EQ(hex(wire.sent()), "ff fe 00 00 01 02 01 02 03 04 05 06 07 08 00 00 01 02 0a 0b");

    wire.feed(WireBuilder().raw(Bytes{0, 0, 1, 2, 0xFF, 0xFE}).r4(1.5f).r8(-2.25).i64(-3));
    int32_t i32 = 0;
    int16_t i16 = 0;
    float r4 = 0;
    double r8 = 0;
    int64_t i64 = 0;
    ASSERT_EQ(rh_recv_int32(wire.conn(), &i32), 1);
    ASSERT_EQ(rh_recv_int16(wire.conn(), &i16), 1);
    ASSERT_EQ(rh_recv_r4(wire.conn(), &r4), 1);
    ASSERT_EQ(rh_recv_r8(wire.conn(), &r8), 1);
    ASSERT_EQ(rh_recv_int64(wire.conn(), &i64), 1);
    EXPECT_EQ(i32, 258);
    EXPECT_EQ(i16, -2);
    EXPECT_EQ(r4, 1.5f);
    EXPECT_EQ(r8, -2.25);
    EXPECT_EQ(i64, -3);
}

TEST(Transport, CacheHandsOutWhatItHoldsThenRefills) {
    WirePair wire;
    wire.feed(pattern(8, 9));
    unsigned char head[4];
    ASSERT_EQ(rh_recv(wire.conn(), head, 4), 1);
    EXPECT_EQ(wire.conn()->recv_fill - wire.conn()->recv_pos, 4);

    wire.feed(pattern(6, 50));
    unsigned char out[10] = {0};
    EXPECT_EQ(kv_cache_recv(wire.conn(), out, 10), 4);   // only what the cache held
    EXPECT_EQ(wire.conn()->recv_fill, 0);
    EXPECT_EQ(wire.conn()->recv_pos, 0);
    EXPECT_EQ(kv_cache_recv(wire.conn(), out + 4, 6), 6);   // one refill
    const Bytes first = pattern(8, 9);
    EXPECT_EQ(Bytes(out, out + 10), joined(Bytes(first.begin() + 4, first.end()), pattern(6, 50)));

    // A read longer than one refill is assembled by rh_recv.
    wire.feed(pattern(3, 70));
    wire.feed_async(pattern(9000, 80));
    Bytes big(9003);
    ASSERT_EQ(rh_recv(wire.conn(), big.data(), 9003), 1);
    EXPECT_EQ(big, joined(pattern(3, 70), pattern(9000, 80)));

    wire.close_peer();
    unsigned char byte;
    EXPECT_EQ(rh_recv(wire.conn(), &byte, 1), 0);
    EXPECT_EQ(rh_recv(wire.conn(), &byte, 0), 1);   // nothing to read is never a failure
}

TEST(Transport, PushedBackByteOnEncryptedStream) {
    WirePair wire;
    wire.enable_encryption(kKey);
    wire.feed(WireBuilder().tag('U').i32(0x01020304).i32(77).tag('K'));
    char tag = 0;
    ASSERT_EQ(rh_recv_char(wire.conn(), &tag), 1);
    EXPECT_EQ(tag, 'U');
    rh_push_back(wire.conn(), tag);
    int32_t value = 0;
    ASSERT_EQ(rh_recv_int32(wire.conn(), &value), 1);
    EXPECT_EQ(static_cast<uint32_t>(value), 0x55010203u);   // the tag, then three deciphered bytes
    unsigned char rest = 0;
    ASSERT_EQ(rh_recv(wire.conn(), &rest, 1), 1);
    EXPECT_EQ(rest, 0x04);
    ASSERT_EQ(rh_recv_int32(wire.conn(), &value), 1);
    EXPECT_EQ(value, 77);
    ASSERT_EQ(rh_recv_char(wire.conn(), &tag), 1);
    EXPECT_EQ(tag, 'K');
}

TEST(Transport, EncryptedStreamStaysInStepAcrossKeystreamBlocks) {
    WirePair wire;
    wire.enable_encryption(kKey);
    // Buffered, direct and buffered again: the keystream must follow wire order.
    Bytes a = pattern(10, 1), b = pattern(3000, 2), c = pattern(700, 3);
    rh_send(wire.conn(), a.data(), 10);
    rh_send(wire.conn(), b.data(), 3000);
    rh_send(wire.conn(), c.data(), 700);
    rh_flush(wire.conn());
    EXPECT_EQ(wire.sent(), joined(joined(a, b), c));
    // A direct send longer than the send buffer is enciphered through it in pieces.
    Bytes long_text = pattern(3 * KVC_SEND_BUF_SIZE + 5, 5);
    rh_send(wire.conn(), long_text.data(), static_cast<int>(long_text.size()));
    EXPECT_EQ(wire.read_exact(long_text.size()), long_text);
    EXPECT_EQ(long_text, pattern(3 * KVC_SEND_BUF_SIZE + 5, 5)) << "the caller's bytes stay plain";

    Bytes reply = pattern(7000, 4);
    wire.feed_async(reply);
    Bytes got(7000);
    for (size_t done = 0; done < got.size(); done += 333) {
        int piece = static_cast<int>(std::min<size_t>(333, got.size() - done));
        ASSERT_EQ(rh_recv(wire.conn(), got.data() + done, piece), 1);
    }
    EXPECT_EQ(got, reply);
}

TEST(Transport, ReceivedStrings) {
    WirePair wire;
    wire.feed(WireBuilder().str("").str("abc").i32(-1));
    char* text = reinterpret_cast<char*>(1);
    ASSERT_EQ(rh_recv_str(wire.conn(), &text), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    free(text);
    ASSERT_EQ(rh_recv_str(wire.conn(), &text), 0);
    EXPECT_STREQ(text, "abc");
    free(text);
    EXPECT_EQ(rh_recv_str(wire.conn(), &text), -4);
    EXPECT_EQ(text, nullptr);

    // A text that breaks off is a failed read and leaves nothing behind.
    wire.feed(WireBuilder().i32(10).raw("abc"));
    wire.close_peer();
    EXPECT_EQ(rh_recv_str(wire.conn(), &text), -4);
    EXPECT_EQ(text, nullptr);
}

}  // namespace
