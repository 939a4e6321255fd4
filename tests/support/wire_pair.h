// A connection record wired to a socket pair: tests write what the server
// would send into one end and read back exactly what the library wrote.
#pragma once

#include "kvc_records.h"
#include "kvc_turing.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<unsigned char>;

// Builds server replies and expected client bytes in wire order (big-endian).
class WireBuilder {
public:
    WireBuilder& tag(char c);
    WireBuilder& i8(int8_t v);
    WireBuilder& i16(int16_t v);
    WireBuilder& i32(int32_t v);
    WireBuilder& i64(int64_t v);
    WireBuilder& r4(float v);
    WireBuilder& r8(double v);
    WireBuilder& raw(const void* data, size_t len);
    WireBuilder& raw(const std::string& text);
    WireBuilder& raw(const Bytes& bytes);
    WireBuilder& str(const std::string& text);   // int32 length, then the bytes
    const Bytes& bytes() const { return bytes_; }
    operator const Bytes&() const { return bytes_; }

private:
    Bytes bytes_;
};

std::string hex(const Bytes& bytes);

class WirePair {
public:
    WirePair();
    ~WirePair();
    WirePair(const WirePair&) = delete;
    WirePair& operator=(const WirePair&) = delete;

    Conn_Attrs* conn() { return conn_; }
    void** handle() { return reinterpret_cast<void**>(&conn_); }
    int peer_fd() const { return peer_fd_; }

    // Server side of the stream. feed() blocks until written; feed_async() uses
    // a writer thread for replies larger than the socket buffer.
    void feed(const Bytes& bytes);
    void feed_async(Bytes bytes);
    void wait_fed();
    // Everything the library has written so far (waits briefly for stragglers).
    Bytes sent();
    // Exactly n bytes the library wrote (waits up to the receive time-out).
    Bytes read_exact(size_t n);
    // Closes the server side: the library's next read sees the stream end.
    void close_peer();

    // Both directions enciphered with the session keystream from key, as after
    // an encrypted login.
    void enable_encryption(const unsigned char key[32]);

    // The test closed the connection itself (KVC_CloseConn freed the record).
    void forget_conn() { conn_ = nullptr; }

private:
    Conn_Attrs* conn_ = nullptr;
    int peer_fd_ = -1;
    std::thread writer_;
    std::unique_ptr<TuringData> to_client_;
    std::unique_ptr<TuringData> from_client_;
};
