// kvcd: a development server that speaks libkvc's wire protocol and runs SQL
// with SQLite. Options are described in server/README.md and by --help.
#include <arpa/inet.h>
#include <atomic>
#include <algorithm>
#include <cerrno>
#include <deque>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>

#include "budget.h"
#include "config.h"
#include "log.h"
#include "login.h"
#include "session.h"

using namespace kvcd;

namespace {

const char kUsage[] =
    "usage: kvcd [--listen ADDR] [--port N] (--db FILE|:memory: | --data-dir DIR)\n"
    "            [--user NAME --password TEXT]... [--protocol 301|201] [--print-port]\n"
    "            [--idle-exit SECONDS] [--exit-with-parent] [--verbose]\n"
    "            [--max-connections N] [--max-command-bytes N] [--max-value-bytes N]\n"
    "            [--max-block-bytes N] [--stall-seconds N] [--login-seconds N]\n";

bool parse_number(const char* s, long long lo, long long hi, long long& out) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(s, &end, 10);
    if (errno || !*s || *end || v < lo || v > hi) return false;
    out = v;
    return true;
}

bool parse_args(int argc, char** argv, Config& cfg, std::string& error) {
    std::string pending_user;
    bool have_user = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char*& v) {
            if (i + 1 >= argc) return false;
            v = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long long n = 0;
        if (a == "--print-port") cfg.print_port = true;
        else if (a == "--verbose") cfg.verbose = true;
        else if (a == "--exit-with-parent") cfg.exit_with_parent = true;
        else if (a == "--allow-anyone") cfg.allow_anyone = true;
        else if (a == "--help" || a == "-h") { error.clear(); return false; }
        else if (!value(v)) { error = "option " + a + " needs a value"; return false; }
        else if (a == "--listen") cfg.listen = v;
        else if (a == "--port") { if (!parse_number(v, 0, 65535, n)) { error = "bad --port"; return false; } cfg.port = int(n); }
        else if (a == "--db") cfg.db_path = v;
        else if (a == "--data-dir") cfg.data_dir = v;
        else if (a == "--user") { pending_user = v; have_user = true; }
        else if (a == "--password") {
            if (!have_user) { error = "--password must follow --user"; return false; }
            cfg.users.emplace_back(pending_user, v);
            have_user = false;
        }
        else if (a == "--protocol") {
            if (std::strcmp(v, "301") && std::strcmp(v, "201")) { error = "--protocol is 301 or 201"; return false; }
            cfg.protocol = std::atoi(v);
        }
        else if (a == "--idle-exit") { if (!parse_number(v, 1, 86400 * 365, n)) { error = "bad --idle-exit"; return false; } cfg.idle_exit_seconds = int(n); }
        else if (a == "--max-connections") { if (!parse_number(v, 1, 100000, n)) { error = "bad --max-connections"; return false; } cfg.limits.max_connections = int(n); }
        else if (a == "--max-command-bytes") { if (!parse_number(v, 64, 1LL << 30, n)) { error = "bad --max-command-bytes"; return false; } cfg.limits.max_command_bytes = size_t(n); }
        else if (a == "--max-value-bytes") { if (!parse_number(v, 64, 1LL << 31, n)) { error = "bad --max-value-bytes"; return false; } cfg.limits.max_value_bytes = size_t(n); }
        else if (a == "--max-block-bytes") { if (!parse_number(v, 1024, 1LL << 31, n)) { error = "bad --max-block-bytes"; return false; } cfg.limits.max_block_bytes = size_t(n); }
        else if (a == "--idle-timeout") { if (!parse_number(v, 1, 86400 * 365, n)) { error = "bad --idle-timeout"; return false; } cfg.idle_timeout_seconds = int(n); }
        else if (a == "--statement-timeout") { if (!parse_number(v, 1, 86400 * 365, n)) { error = "bad --statement-timeout"; return false; } cfg.statement_timeout_seconds = int(n); }
        else if (a == "--max-pending-logins") { if (!parse_number(v, 1, 100000, n)) { error = "bad --max-pending-logins"; return false; } cfg.limits.max_pending_logins = int(n); }
        else if (a == "--max-memory") { if (!parse_number(v, 16LL << 20, 1LL << 50, n)) { error = "bad --max-memory (bytes, at least 16777216)"; return false; } cfg.max_memory_bytes = size_t(n); }
        else if (a == "--login-seconds") { if (!parse_number(v, 1, 3600, n)) { error = "bad --login-seconds"; return false; } cfg.limits.login_ms = int(n * 1000); }
        else if (a == "--stall-seconds") { if (!parse_number(v, 1, 86400, n)) { error = "bad --stall-seconds"; return false; } cfg.limits.stall_ms = int(n * 1000); }
        else { error = "unknown option " + a; return false; }
    }
    if (have_user) { error = "--user " + pending_user + " has no --password"; return false; }
    if (cfg.db_path.empty() == cfg.data_dir.empty()) { error = "give exactly one of --db and --data-dir"; return false; }
    return true;
}

// Live connections, so that a shutdown can end them and wait for them. Those
// not yet logged in have a small cap of their own: when it is full, the one
// that has waited longest is cut off, so that silent sockets cannot keep out
// a client that logs in at once.
class Registry {
public:
    void add_pending(int fd, int max_pending) {
        std::lock_guard<std::mutex> l(m_);
        if (static_cast<int>(pending_.size()) >= max_pending) {
            log_line("cut off the connection waiting longest to log in: " + std::to_string(max_pending) +
                     " are waiting");
            ::shutdown(pending_.front(), SHUT_RDWR);
            pending_.pop_front();
        }
        fds_.insert(fd);
        pending_.push_back(fd);
        last_change_ = std::chrono::steady_clock::now();
    }
    // A login was accepted: it counts as a session from now on.
    bool admit(int fd, int max_sessions) {
        std::lock_guard<std::mutex> l(m_);
        if (static_cast<int>(sessions_.size()) >= max_sessions) return false;
        drop_pending(fd);
        sessions_.insert(fd);
        return true;
    }
    void remove(int fd) {
        std::lock_guard<std::mutex> l(m_);
        fds_.erase(fd);
        sessions_.erase(fd);
        drop_pending(fd);
        last_change_ = std::chrono::steady_clock::now();
        cv_.notify_all();
    }
    // Seconds since the last connection ended, or 0 while any is live.
    double idle_seconds() {
        std::lock_guard<std::mutex> l(m_);
        if (!fds_.empty()) return 0;
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - last_change_).count();
    }
    // True when every connection ended within the grace period.
    bool shutdown_all(std::chrono::seconds grace) {
        std::unique_lock<std::mutex> l(m_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        return cv_.wait_for(l, grace, [&] { return fds_.empty(); });
    }

private:
    void drop_pending(int fd) {
        auto it = std::find(pending_.begin(), pending_.end(), fd);
        if (it != pending_.end()) pending_.erase(it);
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::unordered_set<int> fds_, sessions_;
    std::deque<int> pending_;  // oldest first
    std::chrono::steady_clock::time_point last_change_ = std::chrono::steady_clock::now();
};

// Raises the soft descriptor limit to what the connection limits need (a
// socket, the database and its journal per session), or lowers the session
// limit to what the hard limit allows.
void fit_descriptor_limit(Limits& lim) {
    constexpr rlim_t kReserve = 64;  // listening socket, signals, logs, SQLite's shared files
    const rlim_t needed = rlim_t(lim.max_connections) * 3 + rlim_t(lim.max_pending_logins) + kReserve;
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= needed) return;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? needed : std::min(needed, rl.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0 && getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    if (rl.rlim_cur >= needed) return;
    const rlim_t spare = rl.rlim_cur > kReserve + rlim_t(lim.max_pending_logins)
                             ? rl.rlim_cur - kReserve - rlim_t(lim.max_pending_logins)
                             : 3;
    lim.max_connections = std::max(1, static_cast<int>(spare / 3));
    log_line("descriptor limit " + std::to_string(rl.rlim_cur) + ": at most " +
             std::to_string(lim.max_connections) + " sessions");
}

std::string peer_name(const sockaddr_in& a) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// Opens the file as every session will and reads its header, so that a path
// that cannot serve (a folder, no permission, not a database) fails now.
bool database_opens(const std::string& path, std::string& why) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA user_version", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    return rc == SQLITE_OK;
}

bool is_loopback(const std::string& address) { return address.compare(0, 4, "127.") == 0; }

}  // namespace

int main(int argc, char** argv) {
    Config cfg;
    std::string error;
    if (!parse_args(argc, argv, cfg, error)) {
        if (!error.empty()) std::fprintf(stderr, "kvcd: %s\n", error.c_str());
        std::fputs(kUsage, error.empty() ? stdout : stderr);
        return error.empty() ? 0 : 2;
    }
    set_verbose(cfg.verbose);
    if (cfg.exit_with_parent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1) return 0;  // the parent is already gone
    }

    // Signals are read from a descriptor by the accept loop; every thread
    // inherits the mask, so none is interrupted by them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    int sig_fd = signalfd(-1, &mask, SFD_CLOEXEC);

    if (cfg.users.empty()) {
        if (!is_loopback(cfg.listen) && !cfg.allow_anyone) {
            std::fprintf(stderr, "kvcd: listening on %s without --user accepts every login from the network; "
                                 "give --user/--password, or --allow-anyone to mean it\n", cfg.listen.c_str());
            return 2;
        }
        log_line("warning: no --user given: every login is accepted");
    }
    // Database files, their journals and anything else kvcd creates are the
    // server user's alone.
    umask(077);

    sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
    sqlite3_initialize();
    MemoryBudget::configure(cfg.max_memory_bytes ? cfg.max_memory_bytes : MemoryBudget::default_bytes());

    ServerContext ctx;
    ctx.cfg = &cfg;
    // A shared in-memory database lives as long as one connection holds it.
    sqlite3* memory_keeper = nullptr;
    if (cfg.db_path == ":memory:") {
        ctx.memory_uri = "file:/kvcd-" + std::to_string(getpid()) + "?vfs=memdb";
        if (sqlite3_open_v2(ctx.memory_uri.c_str(), &memory_keeper,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
            std::fprintf(stderr, "kvcd: cannot create the in-memory database\n");
            return 1;
        }
    } else if (!cfg.db_path.empty()) {
        std::string why;
        if (!database_opens(cfg.db_path, why)) {
            std::fprintf(stderr, "kvcd: cannot open --db %s: %s\n", cfg.db_path.c_str(), why.c_str());
            return 1;
        }
    } else if (!cfg.data_dir.empty()) {
        struct stat sb;
        if (stat(cfg.data_dir.c_str(), &sb) != 0 || !S_ISDIR(sb.st_mode)) {
            std::fprintf(stderr, "kvcd: --data-dir %s is not a folder\n", cfg.data_dir.c_str());
            return 1;
        }
    }
    RsaKeyPair rsa;
    ctx.rsa = &rsa;
    LoginThrottle throttle;
    ctx.throttle = &throttle;
    std::atomic<bool> stopping{false};
    ctx.stopping = &stopping;
    fit_descriptor_limit(cfg.limits);

    int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(cfg.port));
    if (inet_pton(AF_INET, cfg.listen.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "kvcd: --listen needs a dotted IPv4 address\n");
        return 2;
    }
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(lfd, 512) != 0) {
        std::fprintf(stderr, "kvcd: cannot listen on %s:%d: %s\n", cfg.listen.c_str(), cfg.port, std::strerror(errno));
        return 1;
    }
    socklen_t alen = sizeof addr;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&addr), &alen);
    const int port = ntohs(addr.sin_port);
    if (cfg.print_port) {
        std::printf("%d\n", port);
        std::fflush(stdout);
    }
    log_line("listening on " + cfg.listen + ":" + std::to_string(port) + ", protocol " + std::to_string(cfg.protocol));

    Registry registry;
    ctx.admit = [&registry, &cfg](int fd) { return registry.admit(fd, cfg.limits.max_connections); };
    std::atomic<uint64_t> next_id{1};
    bool running = true;
    while (running) {
        struct pollfd p[2] = {{lfd, POLLIN, 0}, {sig_fd, POLLIN, 0}};
        int r = ::poll(p, 2, 1000);
        if (r < 0 && errno != EINTR) break;
        if (p[1].revents & POLLIN) {
            signalfd_siginfo si;
            if (::read(sig_fd, &si, sizeof si) > 0) log_line("signal " + std::to_string(si.ssi_signo) + ": shutting down");
            break;
        }
        if (cfg.idle_exit_seconds > 0 && registry.idle_seconds() >= cfg.idle_exit_seconds) {
            log_line("idle for " + std::to_string(cfg.idle_exit_seconds) + " s: shutting down");
            break;
        }
        if (!(p[0].revents & POLLIN)) continue;
        sockaddr_in peer{};
        socklen_t plen = sizeof peer;
        int fd = ::accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors or memory the listening socket stays readable:
            // pause instead of spinning until some connection ends.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                log_line(std::string("accept: ") + std::strerror(errno) + "; pausing 100 ms");
                ::poll(&p[1], 1, 100);
            }
            continue;
        }
        registry.add_pending(fd, cfg.limits.max_pending_logins);
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        // A client that stops reading its reply must not hold a thread forever.
        timeval tv{cfg.limits.stall_ms / 1000, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        uint64_t id = next_id++;
        std::string name = peer_name(peer);
        try {
            std::thread([fd, id, name, &ctx, &registry] {
                {
                    Session s(fd, name, id, ctx);
                    s.run();
                }
                registry.remove(fd);
                ::close(fd);
            }).detach();
        } catch (const std::exception& e) {
            log_line("cannot start a thread for " + name + ": " + e.what());
            registry.remove(fd);
            ::close(fd);
        }
    }
    ::close(lfd);
    stopping = true;
    if (!registry.shutdown_all(std::chrono::seconds(10))) {
        // A session still waiting on a lock uses this frame's objects: leave
        // without unwinding them. WAL keeps the database files consistent.
        log_line("sessions still busy after 10 s: stopping without waiting for them");
        std::_Exit(0);
    }
    if (memory_keeper) sqlite3_close_v2(memory_keeper);
    log_line("stopped");
    return 0;
}
