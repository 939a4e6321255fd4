#include "measure.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace suite {

namespace {

constexpr int kPeerLifetimeSeconds = 600;   // a peer left behind by a broken client ends itself

int64_t status_kib(const char* key) {
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    int64_t value = 0;
    const size_t key_length = strlen(key);
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, key, key_length) == 0 && line[key_length] == ':') {
            value = strtoll(line + key_length + 1, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return value;
}

void reset_peak_rss() {
    int fd = open("/proc/self/clear_refs", O_WRONLY);
    if (fd < 0) return;
    ssize_t ignored = write(fd, "5", 1);
    (void)ignored;
    close(fd);
}

int listen_loopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// Runs the client in a child process and collects its report through a pipe.
RunResult run_client(const ClientMain& client, int port) {
    RunResult result;
    int report[2];
    if (pipe(report) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "suite_client");   // tells the two sides apart in a profile
        close(report[0]);
        RunResult r = client(port);
        send_exact(report[1], &r, sizeof r);   // a pipe takes a write like a socket's
        _exit(0);
    }
    close(report[1]);
    if (pid < 0 || read(report[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) {
        result = RunResult{};
        snprintf(result.note, sizeof result.note, "client process ended without a report");
    }
    close(report[0]);
    if (pid > 0) waitpid(pid, nullptr, 0);
    return result;
}

void end_peer(pid_t peer) {
    for (int waited = 0; waited < 100; ++waited) {   // up to 10 s for a clean exit
        if (waitpid(peer, nullptr, WNOHANG) == peer) return;
        usleep(100000);
    }
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
}

// Runs warm-up + `runs` rounds; each round runs every figure once, in turn.
std::vector<std::vector<RunResult>> run_in_turns(const std::vector<std::string>& names, int runs,
                                                 const std::vector<OneRun>& figures) {
    std::vector<std::vector<RunResult>> kept(figures.size());
    for (int i = 0; i <= runs; ++i) {   // round 0 warms caches, the allocator's pages and the CPU clock
        for (size_t f = 0; f < figures.size(); ++f) {
            RunResult r = figures[f]();
            if (!r.ok) {
                fprintf(stderr, "%s: run %d failed: %s\n", names[f].c_str(), i, r.note);
                continue;
            }
            if (i > 0) kept[f].push_back(r);
        }
    }
    return kept;
}

}  // namespace

double cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double now_seconds() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Stopwatch::Stopwatch() {
    reset_peak_rss();
    rss_start_ = status_kib("VmRSS");
    cpu_started_ = cpu_seconds();
    started_ = now_seconds();
}

double Stopwatch::stop(int64_t* growth, double* cpu) {
    const double elapsed = now_seconds() - started_;
    *cpu = cpu_seconds() - cpu_started_;
    *growth = (status_kib("VmHWM") - rss_start_) * 1024;
    return elapsed;
}

namespace {

// Moves exactly len bytes through fd in the given direction.
template <typename Step>
bool transfer_exact(char* p, size_t len, Step step) {
    while (len > 0) {
        ssize_t n = step(p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool send_exact(int fd, const void* data, size_t len) {
    return transfer_exact(static_cast<char*>(const_cast<void*>(data)), len,
                          [fd](char* p, size_t n) { return write(fd, p, n); });
}

bool recv_exact(int fd, void* data, size_t len) {
    return transfer_exact(static_cast<char*>(data), len, [fd](char* p, size_t n) { return read(fd, p, n); });
}

RunResult run_once(const PeerMain& peer, const ClientMain& client) {
    int port = 0;
    int listen_fd = listen_loopback(&port);
    if (listen_fd < 0) {
        RunResult failed;
        snprintf(failed.note, sizeof failed.note, "cannot listen on 127.0.0.1");
        return failed;
    }
    pid_t peer_pid = fork();
    if (peer_pid == 0) {
        prctl(PR_SET_NAME, "suite_peer");
        alarm(kPeerLifetimeSeconds);
        peer(listen_fd);
        _exit(0);
    }
    close(listen_fd);
    RunResult r = run_client(client, port);
    if (peer_pid > 0) end_peer(peer_pid);
    return r;
}

RunResult run_local_once(const ClientMain& client) { return run_client(client, 0); }

std::vector<std::vector<RunResult>> measure_in_turns(const std::vector<std::string>& names, int runs,
                                                     const std::vector<OneRun>& figures) {
    return run_in_turns(names, runs, figures);
}

std::vector<RunResult> measure(const std::string& name, int runs, const PeerMain& peer,
                               const ClientMain& client) {
    return run_in_turns({name}, runs, {[&] { return run_once(peer, client); }})[0];
}

std::vector<RunResult> measure_local(const std::string& name, int runs, const ClientMain& client) {
    return run_in_turns({name}, runs, {[&] { return run_local_once(client); }})[0];
}

double median_of(const std::string& name, const std::vector<RunResult>& runs,
                 const std::function<double(const RunResult&)>& figure) {
    std::vector<double> values;
    for (const RunResult& r : runs) values.push_back(figure(r));
    if (values.empty()) {
        fprintf(stderr, "%-28s no successful run\n", name.c_str());
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    const double spread = median != 0 ? (values.back() - values.front()) / median * 100 : 0;
    fprintf(stderr, "%-28s median %.4g  min %.4g  max %.4g  spread %.1f%%  runs %zu\n", name.c_str(),
            median, values.front(), values.back(), spread, n);
    return median;
}

}  // namespace suite
