#include "raw_peer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <gmp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef KVCD_PATH
#error "KVCD_PATH must name the kvcd executable"
#endif

namespace kvcd_test {

Server::Server(std::vector<std::string> extra) {
    char tmpl[] = "/tmp/kvcd-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    std::vector<std::string> args = {KVCD_PATH, "--listen", "127.0.0.1", "--port", "0", "--print-port",
                                     "--idle-exit", "120", "--exit-with-parent"};
    bool has_db = false;
    for (const auto& a : extra) has_db = has_db || a == "--db" || a == "--data-dir";
    if (!has_db) args.insert(args.end(), {"--db", dir_ + "/test.db"});
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    port_ = std::atoi(line.c_str());
    if (port_ <= 0) throw std::runtime_error("kvcd did not print its port");
}

int Server::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
}

bool Server::exits_within(int timeout_ms) {
    for (int waited = 0; waited <= timeout_ms; waited += 50, usleep(50000)) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) return pid_ = -1, true;
    }
    return false;
}

Server::~Server() {
    stop();
    if (std::system(("rm -rf '" + dir_ + "'").c_str()) != 0) {
    }
}

std::string be16(int16_t v) { return std::string{char(uint16_t(v) >> 8), char(v)}; }
std::string be32(int32_t v) { return be16(int16_t(uint32_t(v) >> 16)) + be16(int16_t(v)); }
std::string be64(int64_t v) { return be32(int32_t(uint64_t(v) >> 32)) + be32(int32_t(v)); }

int32_t get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<uint8_t>(s.at(at + k));
    return static_cast<int32_t>(v);
}

int64_t get64(const std::string& s, size_t at) {
    return static_cast<int64_t>(uint64_t(uint32_t(get32(s, at))) << 32 | uint32_t(get32(s, at + 4)));
}

std::string login_text(const std::string& user, const std::string& password, const std::string& extra) {
    return "login database = D user='" + user + "' password='" + password + "'" + extra +
           " lock_timeout = 300 auto_commit = 'on' return_cursor_id  = 'on' version = '301'";
}

std::string command(const std::string& text, uint32_t header, const std::string& values) {
    return "?" + be32(int32_t(text.size())) + text + std::string(1, '\0') + be32(int32_t(header)) + values;
}

std::string param(const std::string& name, int16_t direction, int16_t type, const std::string& value, bool null) {
    return be16(int16_t(name.size())) + name + be16(direction) + be16(type) + be32(null ? 0 : int32_t(value.size())) +
           (null ? "" : value);
}

Client::Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd_);
        throw std::runtime_error("connect failed");
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Client::~Client() { close(fd_); }

void Client::send_raw(const std::string& bytes) {
    std::string b = bytes;
    if (send_ks_) turing_session_xor(send_ks_.get(), reinterpret_cast<uint8_t*>(&b[0]), int64_t(b.size()));
    for (size_t off = 0; off < b.size();) {
        ssize_t n = send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        off += size_t(n);
    }
}

std::string Client::recv_exact(size_t n) {
    std::string out(n, '\0');
    for (size_t got = 0; got < n;) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) throw std::runtime_error("no reply within 10 s");
        ssize_t r = recv(fd_, &out[got], n - got, 0);
        if (r <= 0) throw std::runtime_error("connection closed by the server");
        got += size_t(r);
    }
    if (recv_ks_) turing_session_xor(recv_ks_.get(), reinterpret_cast<uint8_t*>(&out[0]), int64_t(n));
    return out;
}

bool Client::closed_by_peer(int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buf[4096];
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && recv(fd_, buf, sizeof buf, 0) <= 0) return true;
    }
    return false;
}

namespace {

std::string login_answer(Client& c) {
    std::string first = c.recv_exact(1);
    if (first == "K") return first;
    if (first == "N") return first + c.recv_exact(5);
    std::string len = c.recv_exact(4);
    return first + len + c.recv_exact(size_t(get32(len)));
}

void mpz_from_le(mpz_t v, const std::string& bytes) { mpz_import(v, bytes.size(), -1, 1, 0, 0, bytes.data()); }

}  // namespace

std::string Client::login_plain(const std::string& text) {
    send_raw(text);
    return login_answer(*this);
}

std::string Client::login_encrypted(const std::string& text) {
    send_raw("~ssl~");
    std::string e = recv_exact(32), n = recv_exact(32);
    // Session key, then the text with 07 07 after every 30 bytes, its zero
    // byte, and zero padding to whole 32-byte blocks.
    std::string key(32, '\0');
    for (int k = 0; k < 32; ++k) key[size_t(k)] = char(k * 7 + 3);
    key[31] &= 0x7F;
    std::string expanded;
    for (size_t k = 0; k < text.size(); k += 30) expanded += text.substr(k, 30) + (k + 30 <= text.size() ? "\x07\x07" : "");
    expanded += '\0';
    expanded.resize((expanded.size() + 31) / 32 * 32, '\0');
    std::string plain = key + expanded, wire;
    mpz_t me, mn, m;
    mpz_inits(me, mn, m, nullptr);
    mpz_from_le(me, e);
    mpz_from_le(mn, n);
    for (size_t k = 0; k < plain.size(); k += 32) {
        mpz_from_le(m, plain.substr(k, 32));
        mpz_powm(m, m, me, mn);
        std::string block(32, '\0');
        mpz_export(&block[0], nullptr, -1, 1, 0, 0, m);
        wire += block;
    }
    mpz_clears(me, mn, m, nullptr);
    send_raw(wire);
    send_ks_ = std::make_unique<TuringData>();
    recv_ks_ = std::make_unique<TuringData>();
    turing_session_start(send_ks_.get(), reinterpret_cast<const uint8_t*>(key.data()));
    turing_session_start(recv_ks_.get(), reinterpret_cast<const uint8_t*>(key.data()));
    return login_answer(*this);
}

std::vector<Message> Client::exec(const std::string& text, uint32_t header, const std::string& values) {
    send_raw(command(text, header, values));
    return read_reply();
}

Message Client::read_message(char tag) {
    Message m;
    m.tag = tag;
    auto i32 = [&] { return get32(recv_exact(4)); };
    auto str = [&] { return recv_exact(size_t(i32())); };
    switch (tag) {
        case 'E': case 'F': case 'M': case 'W': case 'I': m.text = str(); break;
        case 'U': case 'D': m.number = i32(); break;
        case 'P': m.number = i32(); [[fallthrough]];
        case 'O': m.type = i32(); m.text = str(); break;
        case '$':
            for (int32_t k = 0, n = i32(); k < n; ++k) {
                m.param_names.push_back(str());
                recv_exact(12);  // position, type, length
            }
            break;
        case 'A':
            for (int32_t k = 0, n = i32(); k < n; ++k) {
                Column c;
                c.name = str();
                c.type = get32(recv_exact(12));  // type, modifier, attribute
                m.columns.push_back(c);
            }
            break;
        default: throw std::runtime_error(std::string("unexpected tag ") + tag);
    }
    return m;
}

void Client::skip_row(size_t columns) {
    for (size_t k = 0; k < columns; ++k) recv_exact(size_t(std::max(0, get32(recv_exact(4)))));
}

std::vector<Message> Client::read_reply() {
    std::vector<Message> out;
    for (char tag = read_tag(); tag != 'K'; tag = read_tag()) {
        if (tag != 'R') {
            out.push_back(read_message(tag));
            continue;
        }
        // A row belongs to the latest result set.
        auto a = out.rbegin();
        while (a != out.rend() && a->tag != 'A') ++a;
        if (a == out.rend()) throw std::runtime_error("row without a result set");
        std::vector<std::optional<std::string>> row;
        for (size_t k = 0; k < a->columns.size(); ++k) {
            int32_t len = get32(recv_exact(4));
            row.push_back(len <= 0 ? std::nullopt : std::optional<std::string>(recv_exact(size_t(len))));
        }
        a->rows.push_back(row);
    }
    Message end;
    end.tag = 'K';
    out.push_back(end);
    return out;
}

std::string tags(const std::vector<Message>& reply) {
    std::string t;
    for (const auto& m : reply) t += m.tag;
    return t;
}

}  // namespace kvcd_test
