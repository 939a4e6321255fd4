#include "raw_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
    if (!has_db) {
        args.push_back("--db");
        args.push_back(dir_ + "/test.db");
    }
    args.insert(args.end(), extra.begin(), extra.end());
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
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
    for (int waited = 0; waited <= timeout_ms; waited += 50) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        usleep(50000);
    }
    return false;
}

Server::~Server() {
    stop();
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
}

std::string be16(int16_t v) {
    uint16_t u = static_cast<uint16_t>(v);
    return std::string{char(u >> 8), char(u)};
}

std::string be32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    return std::string{char(u >> 24), char(u >> 16), char(u >> 8), char(u)};
}

std::string be64(int64_t v) { return be32(int32_t(uint64_t(v) >> 32)) + be32(int32_t(uint64_t(v))); }

int32_t get32(const std::string& s, size_t at) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<uint8_t>(s.at(at + k));
    return static_cast<int32_t>(v);
}

int64_t get64(const std::string& s, size_t at) {
    return static_cast<int64_t>((uint64_t(uint32_t(get32(s, at))) << 32) | uint32_t(get32(s, at + 4)));
}

std::string login_text(const std::string& user, const std::string& password, const std::string& extra) {
    return "login database = D user='" + user + "' password='" + password + "'" + extra +
           " lock_timeout = 300 auto_commit = 'on' return_cursor_id  = 'on' version = '301'";
}

std::string command(const std::string& text, uint32_t header, const std::string& values) {
    return "?" + be32(int32_t(text.size())) + text + std::string(1, '\0') + be32(int32_t(header)) + values;
}

std::string param(const std::string& name, int16_t direction, int16_t type, const std::string& value, bool null) {
    return be16(int16_t(name.size())) + name + be16(direction) + be16(type) +
           be32(null ? 0 : int32_t(value.size())) + (null ? "" : value);
}

Client::Client(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Client::~Client() {
    if (fd_ >= 0) close(fd_);
}

void Client::send_raw(const std::string& bytes) {
    std::string b = bytes;
    if (send_ks_) turing_session_xor(send_ks_.get(), reinterpret_cast<uint8_t*>(&b[0]), int64_t(b.size()));
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = send(fd_, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send failed");
        off += size_t(n);
    }
}

std::string Client::recv_exact(size_t n) {
    std::string out(n, '\0');
    size_t got = 0;
    while (got < n) {
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
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t r = recv(fd_, buf, sizeof buf, 0);
        if (r <= 0) return true;
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

std::string mpz_to_le32(const mpz_t v) {
    std::string out(32, '\0');
    size_t count = 0;
    mpz_export(&out[0], &count, -1, 1, 0, 0, v);
    return out;
}

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
    for (size_t k = 0; k < text.size(); k += 30) {
        expanded += text.substr(k, 30);
        if (k + 30 <= text.size()) expanded += "\x07\x07";
    }
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
        wire += mpz_to_le32(m);
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
    auto str = [&] { return recv_exact(size_t(get32(recv_exact(4)))); };
    switch (tag) {
        case 'E': case 'F': case 'M': case 'W': case 'I': m.text = str(); break;
        case 'U': case 'D': m.number = get32(recv_exact(4)); break;
        case 'O': m.type = get32(recv_exact(4)); m.text = str(); break;
        case 'P':
            m.number = get32(recv_exact(4));
            m.type = get32(recv_exact(4));
            m.text = str();
            break;
        case '$': {
            int32_t n = get32(recv_exact(4));
            for (int32_t k = 0; k < n; ++k) {
                m.param_names.push_back(str());
                recv_exact(12);  // position, type, length
            }
            break;
        }
        case 'A': {
            int32_t n = get32(recv_exact(4));
            for (int32_t k = 0; k < n; ++k) {
                Column c;
                c.name = str();
                std::string f = recv_exact(12);
                c.type = get32(f);
                c.modifier = get32(f, 4);
                c.attribute = get32(f, 8);
                m.columns.push_back(c);
            }
            break;
        }
        default: throw std::runtime_error(std::string("unexpected tag ") + tag);
    }
    return m;
}

std::vector<Message> Client::read_reply() {
    std::vector<Message> out;
    for (;;) {
        char tag = read_tag();
        if (tag == 'K') {
            Message end;
            end.tag = 'K';
            out.push_back(end);
            return out;
        }
        if (tag == 'R' && !out.empty()) {
            // A row belongs to the latest result set.
            Message* a = nullptr;
            for (auto it = out.rbegin(); it != out.rend() && !a; ++it)
                if (it->tag == 'A') a = &*it;
            if (!a) throw std::runtime_error("row without a result set");
            std::vector<std::optional<std::string>> row;
            for (size_t k = 0; k < a->columns.size(); ++k) {
                int32_t len = get32(recv_exact(4));
                if (len <= 0) row.push_back(std::nullopt);
                else row.push_back(recv_exact(size_t(len)));
            }
            a->rows.push_back(row);
            continue;
        }
        out.push_back(read_message(tag));
    }
}

std::vector<Message> with_tag(const std::vector<Message>& reply, char tag) {
    std::vector<Message> out;
    for (const auto& m : reply)
        if (m.tag == tag) out.push_back(m);
    return out;
}

std::string tags(const std::vector<Message>& reply) {
    std::string t;
    for (const auto& m : reply) t += m.tag;
    return t;
}

}  // namespace kvcd_test
