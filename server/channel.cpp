#include "channel.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kvcd {

namespace {
constexpr size_t kOutFlushAt = 256 * 1024;  // replies go out in large writes
}

Channel::Channel(int fd, int stall_ms) : fd_(fd), stall_ms_(stall_ms) { out_.reserve(kOutFlushAt + 4096); }

Channel::~Channel() = default;

void Channel::set_deadline_ms(int ms) {
    has_deadline_ = ms > 0;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

void Channel::fill(bool between_messages) {
    for (;;) {
        int wait_ms = between_messages ? (idle_ms_ > 0 ? idle_ms_ : -1) : stall_ms_;
        if (has_deadline_) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now());
            if (left.count() <= 0) throw ProtocolError("peer did not finish in time");
            if (wait_ms < 0 || left.count() < wait_ms) wait_ms = static_cast<int>(left.count());
        }
        struct pollfd p{fd_, POLLIN, 0};
        int r = ::poll(&p, 1, wait_ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            throw PeerGone(std::string("poll: ") + std::strerror(errno));
        }
        if (r == 0)
            throw ProtocolError(between_messages ? "idle longer than " + std::to_string(idle_ms_ / 1000) + " s"
                                                 : "peer stalled in the middle of a message");
        ssize_t n = ::recv(fd_, in_, sizeof in_, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw PeerGone(std::string("recv: ") + std::strerror(errno));
        }
        if (n == 0) throw PeerGone("peer closed the connection");
        // The keystream advances with every byte received, in arrival order.
        if (in_ks_) in_ks_->apply(in_, static_cast<size_t>(n));
        in_pos_ = 0;
        in_len_ = static_cast<size_t>(n);
        bytes_in_ += static_cast<uint64_t>(n);
        return;
    }
}

bool Channel::next_message_byte(uint8_t& out) {
    if (pushed_ >= 0) {
        out = static_cast<uint8_t>(pushed_);
        pushed_ = -1;
        return true;
    }
    if (in_pos_ == in_len_) {
        try {
            fill(true);
        } catch (const PeerGone&) {
            return false;
        }
    }
    out = in_[in_pos_++];
    return true;
}

void Channel::push_back(uint8_t byte) { pushed_ = byte; }

void Channel::read_bytes(void* dst, size_t len) {
    auto* d = static_cast<uint8_t*>(dst);
    if (len > 0 && pushed_ >= 0) {
        *d++ = static_cast<uint8_t>(pushed_);
        pushed_ = -1;
        --len;
    }
    while (len > 0) {
        if (in_pos_ == in_len_) fill(false);
        size_t take = std::min(len, in_len_ - in_pos_);
        std::memcpy(d, in_ + in_pos_, take);
        in_pos_ += take;
        d += take;
        len -= take;
    }
}

void Channel::skip(size_t len) {
    uint8_t scratch[4096];
    while (len > 0) {
        size_t take = std::min(len, sizeof scratch);
        read_bytes(scratch, take);
        len -= take;
    }
}

void Channel::read_into(std::string& out, size_t size) {
    // Grow as the bytes arrive, so that a claimed length costs memory only
    // once the peer has actually sent that much.
    out.clear();
    constexpr size_t kStep = 1 << 20;
    while (out.size() < size) {
        size_t take = std::min(kStep, size - out.size());
        size_t at = out.size();
        out.resize(at + take);
        read_bytes(&out[at], take);
    }
}

size_t Channel::read_some(uint8_t* dst, size_t cap) {
    if (cap == 0) return 0;
    if (pushed_ >= 0) {
        dst[0] = static_cast<uint8_t>(pushed_);
        pushed_ = -1;
        return 1;
    }
    if (in_pos_ == in_len_) fill(false);
    size_t take = std::min(cap, in_len_ - in_pos_);
    std::memcpy(dst, in_ + in_pos_, take);
    in_pos_ += take;
    return take;
}

uint8_t Channel::read_u8() {
    uint8_t v;
    read_bytes(&v, 1);
    return v;
}

int16_t Channel::read_i16() {
    uint8_t b[2];
    read_bytes(b, 2);
    return static_cast<int16_t>((b[0] << 8) | b[1]);
}

int32_t Channel::read_i32() {
    uint8_t b[4];
    read_bytes(b, 4);
    return static_cast<int32_t>((uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3]);
}

int64_t Channel::read_i64() {
    uint8_t b[8];
    read_bytes(b, 8);
    uint64_t v = 0;
    for (uint8_t x : b) v = (v << 8) | x;
    return static_cast<int64_t>(v);
}

void Channel::put_i16(int16_t v) {
    uint8_t b[2] = {uint8_t(uint16_t(v) >> 8), uint8_t(v)};
    put_bytes(b, 2);
}

void Channel::put_i32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    uint8_t b[4] = {uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u)};
    put_bytes(b, 4);
}

void Channel::put_i64(int64_t v) {
    uint64_t u = static_cast<uint64_t>(v);
    uint8_t b[8];
    for (int i = 7; i >= 0; --i) {
        b[i] = uint8_t(u);
        u >>= 8;
    }
    put_bytes(b, 8);
}

void Channel::put_bytes(const void* src, size_t len) {
    if (len == 0) return;
    size_t at = out_.size();
    out_.append(static_cast<const char*>(src), len);
    // Enciphered as appended: bytes go onto the wire in exactly this order.
    if (out_ks_) out_ks_->apply(reinterpret_cast<uint8_t*>(&out_[at]), len);
    if (out_.size() >= kOutFlushAt) flush();
}

void Channel::put_large(const void* src, size_t len) {
    flush();
    const auto* p = static_cast<const uint8_t*>(src);
    if (!out_ks_) return send_all(p, len);
    uint8_t piece[16384];
    while (len > 0) {
        size_t take = std::min(len, sizeof piece);
        std::memcpy(piece, p, take);
        out_ks_->apply(piece, take);
        send_all(piece, take);
        p += take;
        len -= take;
    }
}

void Channel::put_string(const std::string& s) {
    put_i32(static_cast<int32_t>(s.size()));
    put_bytes(s.data(), s.size());
}

void Channel::send_all(const uint8_t* p, size_t len) {
    while (len > 0) {
        ssize_t n = ::send(fd_, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            // EAGAIN here is the socket's send time-out: the peer stopped reading.
            throw PeerGone(std::string("send: ") + std::strerror(errno));
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void Channel::flush() {
    if (out_.empty()) return;
    send_all(reinterpret_cast<const uint8_t*>(out_.data()), out_.size());
    out_.clear();
}

void Channel::start_cipher(std::unique_ptr<Keystream> incoming, std::unique_ptr<Keystream> outgoing) {
    // Bytes already buffered arrived before the switch; the client sends
    // nothing more until it has our reply, so there are none in practice.
    in_ks_ = std::move(incoming);
    out_ks_ = std::move(outgoing);
    if (in_ks_ && in_pos_ < in_len_) in_ks_->apply(in_ + in_pos_, in_len_ - in_pos_);
}

}  // namespace kvcd
