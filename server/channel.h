// Byte stream of one client connection: buffered big-endian reads and writes
// over a socket, optionally passed through the session keystream.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace kvcd {

// The peer broke the protocol or a limit; the session ends with this reason logged.
struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The peer went away (orderly close, reset, or a failed send).
struct PeerGone : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One direction's keystream; implemented over the library's Turing code.
class Keystream {
public:
    virtual ~Keystream() = default;
    virtual void apply(uint8_t* buf, size_t len) = 0;
};

class Channel {
public:
    // stall_ms bounds how long a message that has begun may take to arrive.
    Channel(int fd, int stall_ms);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    int fd() const { return fd_; }
    void set_stall_ms(int ms) { stall_ms_ = ms; }
    // How long the peer may stay silent between messages; 0: no limit.
    void set_idle_ms(int ms) { idle_ms_ = ms; }
    // Every read must complete within ms from now (the login's bound); 0 lifts it.
    void set_deadline_ms(int ms);

    // Waits for the first byte of the next message, as long as the idle limit
    // allows (ProtocolError beyond it). Returns false when the peer closed the
    // connection between messages.
    bool next_message_byte(uint8_t& out);
    // Hands a byte back so that the next read returns it first.
    void push_back(uint8_t byte);

    uint8_t read_u8();
    int16_t read_i16();
    int32_t read_i32();
    int64_t read_i64();
    void read_bytes(void* dst, size_t len);
    void skip(size_t len);
    // Reads exactly `size` bytes into out.
    void read_into(std::string& out, size_t size);
    // Reads whatever has arrived (at least one byte); used by the login reader,
    // which does not know the text's length in advance.
    size_t read_some(uint8_t* dst, size_t cap);

    void put_u8(uint8_t v) { put_bytes(&v, 1); }
    void put_i16(int16_t v);
    void put_i32(int32_t v);
    void put_i64(int64_t v);
    void put_bytes(const void* src, size_t len);
    // A large value sent from the caller's buffer without a copy into the
    // reply buffer (enciphered through a small scratch piece when needed).
    void put_large(const void* src, size_t len);
    // int32 length, then the bytes: the reply catalogue's string.
    void put_string(const std::string& s);
    void flush();

    // From now on every byte in each direction passes through its keystream.
    void start_cipher(std::unique_ptr<Keystream> incoming, std::unique_ptr<Keystream> outgoing);

    uint64_t bytes_in() const { return bytes_in_; }

private:
    void fill(bool between_messages);
    void send_all(const uint8_t* p, size_t len);

    int fd_;
    int stall_ms_;
    int idle_ms_ = 0;
    bool has_deadline_ = false;
    std::chrono::steady_clock::time_point deadline_;
    uint8_t in_[16384];
    size_t in_pos_ = 0, in_len_ = 0;
    int pushed_ = -1;
    std::string out_;
    std::unique_ptr<Keystream> in_ks_, out_ks_;
    uint64_t bytes_in_ = 0;
};

}  // namespace kvcd
