#include "support/wire_pair.h"

#include "kvc_connect.h"
#include "kvc_inner.h"
#include "kvc_params.h"
#include "kvc_rowset.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

template <typename T>
void append_be(Bytes& out, T v) {
    unsigned char raw[sizeof(T)];
    memcpy(raw, &v, sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(raw[sizeof(T) - 1 - i]);
}

void write_all(int fd, const unsigned char* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;   // the library closed its end; the test sees it in its own checks
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

}  // namespace

WireBuilder& WireBuilder::tag(char c) { bytes_.push_back(static_cast<unsigned char>(c)); return *this; }
WireBuilder& WireBuilder::i8(int8_t v) { bytes_.push_back(static_cast<unsigned char>(v)); return *this; }
WireBuilder& WireBuilder::i16(int16_t v) { append_be(bytes_, v); return *this; }
WireBuilder& WireBuilder::i32(int32_t v) { append_be(bytes_, v); return *this; }
WireBuilder& WireBuilder::i64(int64_t v) { append_be(bytes_, v); return *this; }
WireBuilder& WireBuilder::r4(float v) { append_be(bytes_, v); return *this; }
WireBuilder& WireBuilder::r8(double v) { append_be(bytes_, v); return *this; }
WireBuilder& WireBuilder::raw(const void* data, size_t len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bytes_.insert(bytes_.end(), p, p + len);
    return *this;
}
WireBuilder& WireBuilder::raw(const std::string& text) { return raw(text.data(), text.size()); }
WireBuilder& WireBuilder::raw(const Bytes& bytes) { return raw(bytes.data(), bytes.size()); }
WireBuilder& WireBuilder::str(const std::string& text) {
    i32(static_cast<int32_t>(text.size()));
    return raw(text);
}

std::string hex(const Bytes& bytes) {
    std::string out;
    char piece[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(piece, sizeof piece, "%02x", bytes[i]);
        if (i) out += ' ';
        out += piece;
    }
    return out;
}

WirePair::WirePair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        ADD_FAILURE() << "socketpair failed";
        return;
    }
    // Keep a test that waits for bytes that never come from hanging the suite.
    timeval timeout{5, 0};
    setsockopt(fds[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    conn_ = static_cast<Conn_Attrs*>(hr_malloc0(sizeof(Conn_Attrs)));
    conn_->handle_kind = KVC_HANDLE_CONNECTION;
    conn_->lock_timeout = 300;
    kv_strcpy_s(conn_->protocol_version, sizeof conn_->protocol_version, "301");
    conn_->recv_timeout = 1800;
    conn_->sock_fd = fds[0];
    conn_lock_init(conn_);
    peer_fd_ = fds[1];
}

WirePair::~WirePair() {
    wait_fed();
    if (conn_ != nullptr) free_conn_record(conn_);
    if (peer_fd_ >= 0) close(peer_fd_);
}

void WirePair::feed(const Bytes& bytes) {
    if (to_client_) {
        Bytes copy = bytes;
        turing_session_xor(to_client_.get(), copy.data(), static_cast<int64_t>(copy.size()));
        write_all(peer_fd_, copy.data(), copy.size());
        return;
    }
    write_all(peer_fd_, bytes.data(), bytes.size());
}

void WirePair::feed_async(Bytes bytes) {
    wait_fed();
    writer_ = std::thread([this, data = std::move(bytes)] { feed(data); });
}

void WirePair::wait_fed() {
    if (writer_.joinable()) writer_.join();
}

Bytes WirePair::sent() {
    Bytes out;
    unsigned char buf[65536];
    for (;;) {
        pollfd p{peer_fd_, POLLIN, 0};
        if (poll(&p, 1, out.empty() ? 200 : 50) <= 0) break;
        ssize_t n = recv(peer_fd_, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    if (from_client_) turing_session_xor(from_client_.get(), out.data(), static_cast<int64_t>(out.size()));
    return out;
}

Bytes WirePair::read_exact(size_t n) {
    Bytes out(n);
    size_t done = 0;
    while (done < n) {
        ssize_t got = recv(peer_fd_, out.data() + done, n - done, 0);
        if (got <= 0) {
            out.resize(done);
            break;
        }
        done += static_cast<size_t>(got);
    }
    if (from_client_) turing_session_xor(from_client_.get(), out.data(), static_cast<int64_t>(out.size()));
    return out;
}

void WirePair::close_peer() {
    wait_fed();
    if (peer_fd_ >= 0) close(peer_fd_);
    peer_fd_ = -1;
}

void WirePair::enable_encryption(const unsigned char key[32]) {
    conn_->use_ssl = 1;
    init_turing_key(conn_, key, 32);
    to_client_.reset(new TuringData());
    from_client_.reset(new TuringData());
    turing_session_start(to_client_.get(), key);
    turing_session_start(from_client_.get(), key);
}
