#include "support/scripted_peer.h"

#include "kvc_turing.h"
#include "mp/mp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The peer's fixed 256-bit RSA test key pair (two 128-bit primes, e = 65537), least
// significant digit first.
const uint32_t kPeerRsaModulus[8] = {0x9cecf82du, 0xa92b2cd9u, 0x6c83a982u, 0x0b2253dbu,
                                     0xcb64a72fu, 0xc6dc662du, 0x3fa5275eu, 0xfd3973fcu};
const uint32_t kPeerRsaPublicExponent[8] = {0x00010001u, 0, 0, 0, 0, 0, 0, 0};
const uint32_t kPeerRsaPrivateExponent[8] = {0xcf080181u, 0xe37990b3u, 0xdc624450u, 0x82e387e4u,
                                             0xf067d2a0u, 0x055179dau, 0x60b6619fu, 0x29168b75u};

using Lock = std::lock_guard<std::mutex>;

constexpr int kBlock = 32;
constexpr int kMaxTextBlocks = 15;   // 480 bytes of text behind the key
constexpr int kIdleMillis = 200;

// Blocks travel as the digits' little-endian bytes, which is their memory layout here.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "blocks are copied as digits");

void rsa_decrypt_block(unsigned char block[32]) {
    uint32_t c[8], m[8];
    memcpy(c, block, 32);
    mpModExp(m, c, kPeerRsaPrivateExponent, kPeerRsaModulus, 8);
    memcpy(block, m, 32);
}

bool send_raw(int fd, const unsigned char* data, size_t len) {
    while (len > 0) {
        ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool wait_readable(int fd, int millis) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, millis) > 0;
}

}  // namespace

struct ScriptedPeer::Connection {
    int fd = -1;
    int index = 0;
    Welcome welcome = Welcome::AcceptN;
    Session session;
    TuringData to_client{};
    TuringData from_client{};

    // Exactly n bytes, deciphered once the keystream runs; false when the
    // client closed or went silent.
    bool read(unsigned char* out, size_t n) {
        size_t done = 0;
        while (done < n) {
            ssize_t got = recv(fd, out + done, n - done, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        if (session.login_complete && session.encrypted)
            turing_session_xor(&from_client, out, static_cast<int64_t>(n));
        if (!session.login_complete) session.login_raw.insert(session.login_raw.end(), out, out + n);
        return true;
    }

    bool read_i32(int32_t* value) {
        uint32_t big_endian;
        if (!read(reinterpret_cast<unsigned char*>(&big_endian), 4)) return false;
        *value = static_cast<int32_t>(ntohl(big_endian));
        return true;
    }

    // Whatever arrives until the client pauses.
    void read_until_idle() {
        for (unsigned char byte; wait_readable(fd, kIdleMillis) && read(&byte, 1);) continue;
    }

    bool write(Bytes bytes) {
        if (session.login_complete && session.encrypted)
            turing_session_xor(&to_client, bytes.data(), static_cast<int64_t>(bytes.size()));
        return send_raw(fd, bytes.data(), bytes.size());
    }
};

ScriptedPeer::ScriptedPeer() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);   // 127.0.0.1 only: other loopback addresses refuse
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 16) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ADD_FAILURE() << "scripted peer cannot listen";
        return;
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedPeer::~ScriptedPeer() {
    {
        Lock lock(mutex_);
        stopping_ = true;
        for (int fd : client_fds_) shutdown(fd, SHUT_RDWR);
    }
    if (acceptor_.joinable()) acceptor_.join();
    for (std::thread& server : servers_)
        if (server.joinable()) server.join();
    for (int fd : client_fds_) close(fd);
    if (listen_fd_ >= 0) close(listen_fd_);
}

std::string ScriptedPeer::conn_str(const std::string& extra) const {
    return "IP=127.0.0.1;PORT=" + std::to_string(port_) + ";" + extra;
}

void ScriptedPeer::set_welcome(Welcome welcome) { Lock lock(mutex_); welcome_ = welcome; }
void ScriptedPeer::script(const Bytes& reply) { Lock lock(mutex_); replies_.push_back(Reply{reply, false}); }
void ScriptedPeer::script_then_close(const Bytes& partial) { Lock lock(mutex_); replies_.push_back(Reply{partial, true}); }
int ScriptedPeer::connection_count() const { Lock lock(mutex_); return static_cast<int>(sessions_.size()); }

ScriptedPeer::Session ScriptedPeer::session(int index) const {
    Lock lock(mutex_);
    if (index < 0 || index >= static_cast<int>(sessions_.size())) return Session{};
    return sessions_[static_cast<size_t>(index)];
}

bool ScriptedPeer::wait_session(int index, bool (*ready)(const Session&)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] {
        return index < static_cast<int>(sessions_.size()) && ready(sessions_[static_cast<size_t>(index)]);
    });
}

void ScriptedPeer::update(int index, const Session& session) {
    Lock lock(mutex_);
    sessions_[static_cast<size_t>(index)] = session;
    changed_.notify_all();
}

ScriptedPeer::Reply ScriptedPeer::pop_reply() {
    Lock lock(mutex_);
    if (replies_.empty()) return Reply{Bytes{'K'}, false};
    Reply reply = replies_.front();
    replies_.pop_front();
    return reply;
}

void ScriptedPeer::accept_loop() {
    for (;;) {
        {
            Lock lock(mutex_);
            if (stopping_) return;
        }
        if (!wait_readable(listen_fd_, 50)) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        timeval timeout{5, 0};   // a test that goes wrong must not hang the suite
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        Lock lock(mutex_);
        if (stopping_) {
            close(fd);
            return;
        }
        int index = static_cast<int>(sessions_.size());
        sessions_.emplace_back();
        client_fds_.push_back(fd);
        servers_.emplace_back([this, fd, index] { serve(fd, index); });
        changed_.notify_all();
    }
}

bool ScriptedPeer::login_plain(Connection& c, const unsigned char first[5]) {
    std::string text(reinterpret_cast<const char*>(first), 5);
    // The text has no terminator: it ends with its version piece.
    auto complete = [&text] {
        size_t at = text.rfind(" version = '");
        return at != std::string::npos && text.size() > at + 12 && text.back() == '\'';
    };
    unsigned char byte;
    while (!complete()) {
        if (!wait_readable(c.fd, 1000) || !c.read(&byte, 1)) return false;
        text.push_back(static_cast<char>(byte));
    }
    c.session.login_text = text;
    return true;
}

bool ScriptedPeer::login_encrypted(Connection& c) {
    c.session.encrypted = true;
    unsigned char numbers[2 * kBlock] = {0};
    if (c.welcome != Welcome::ZeroPublicKey) {
        memcpy(numbers, kPeerRsaPublicExponent, kBlock);
        memcpy(numbers + kBlock, kPeerRsaModulus, kBlock);
    }
    if (!send_raw(c.fd, numbers, sizeof numbers)) return false;

    unsigned char block[kBlock];
    if (!c.read(block, kBlock)) return false;
    rsa_decrypt_block(block);
    c.session.session_key.assign(block, block + kBlock);

    Bytes expanded;
    for (int n = 0;; ++n) {
        if (n == kMaxTextBlocks || !c.read(block, kBlock)) return false;
        rsa_decrypt_block(block);
        const unsigned char* begin = block;
        const unsigned char* end = static_cast<const unsigned char*>(memchr(block, 0, kBlock));
        expanded.insert(expanded.end(), begin, end != nullptr ? end : begin + kBlock);
        if (end != nullptr) break;
    }
    // Every complete 32-byte block of the expanded text ends in 07 07.
    std::string text;
    c.session.sevens_ok = true;
    size_t pos = 0;
    for (; pos + kBlock <= expanded.size(); pos += kBlock) {
        text.append(reinterpret_cast<const char*>(&expanded[pos]), kBlock - 2);
        if (expanded[pos + 30] != 0x07 || expanded[pos + 31] != 0x07) c.session.sevens_ok = false;
    }
    if (expanded.size() - pos >= 30) c.session.sevens_ok = false;   // a full piece without its pair
    text.append(reinterpret_cast<const char*>(expanded.data() + pos), expanded.size() - pos);
    c.session.login_text = text;

    turing_session_start(&c.to_client, c.session.session_key.data());
    turing_session_start(&c.from_client, c.session.session_key.data());
    return true;
}

bool ScriptedPeer::login(Connection& c) {
    const Welcome welcome = c.welcome;
    if (welcome == Welcome::CloseAtOnce) return false;
    unsigned char first[5];
    if (!c.read(first, 5)) return false;
    bool understood = memcmp(first, "~ssl~", 5) == 0 ? login_encrypted(c) : login_plain(c, first);
    if (!understood) return false;
    c.session.login_complete = true;
    update(c.index, c.session);
    if (welcome == Welcome::AcceptK) return c.write(Bytes{'K'});
    if (welcome == Welcome::AcceptN) return c.write(Bytes{'N', 1, 2, 3, 4, 'K'});
    if (welcome == Welcome::RefuseLogin) c.write(WireBuilder().tag('X').str("login refused"));
    return false;
}

void ScriptedPeer::serve(int fd, int index) {
    Connection c;
    c.fd = fd;
    c.index = index;
    {
        Lock lock(mutex_);
        c.welcome = welcome_;
    }
    bool open = login(c);
    while (open) {
        update(index, c.session);
        unsigned char tag;
        if (!c.read(&tag, 1)) break;
        if (tag == '?') {
            int32_t length = 0;
            int32_t header = 0;
            if (!c.read_i32(&length) || length < 0 || length > (64 << 20)) break;
            Bytes text(static_cast<size_t>(length) + 1);
            if (!c.read(text.data(), text.size()) || !c.read_i32(&header)) break;
            c.session.commands.emplace_back(reinterpret_cast<const char*>(text.data()),
                                            static_cast<size_t>(length));
            // Parameter values cannot be parsed here: take what arrives until the client pauses.
            if (header != 0) c.read_until_idle();
        } else if (tag != '.') {
            continue;   // not a request: recorded, not answered
        }
        update(index, c.session);   // recorded before the reply lets the client go on
        const Reply reply = pop_reply();
        if (!c.write(reply.bytes) || reply.close_after) break;
    }
    shutdown(fd, SHUT_RDWR);
    c.session.closed = true;
    update(index, c.session);
}
