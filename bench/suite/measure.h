// Measuring one figure: every run in a fresh client process against a fresh
// peer process, so that heap state, malloc settings and resident memory of one
// run never leak into the next, and the peer's own memory is never counted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace suite {

// What one client run reports back to the parent.
struct RunResult {
    int ok = 0;                 // 1 when every value arrived and checked out
    double seconds = 0;
    double cpu_seconds = 0;     // the client's own user + system time over the same span
    int64_t items = 0;          // rows (or bytes for the transport figures)
    int64_t payload_bytes = 0;  // bytes that crossed the socket for the measured work
    int64_t rss_growth = 0;     // peak resident bytes above the level at the start of the work
    char note[160] = {0};       // why a run failed
};

// Marks the start of the measured work in a client: resets the peak resident
// size to the current level (falls back to the level at fork when the kernel
// refuses) and starts the clock.
class Stopwatch {
public:
    Stopwatch();
    // Seconds since construction; the peak growth is read into `growth`, the
    // client's CPU time into `cpu`.
    double stop(int64_t* growth, double* cpu);

private:
    int64_t rss_start_;
    double started_;
    double cpu_started_;
};

double now_seconds();

// A peer listens on 127.0.0.1 at an OS-picked port and serves one connection.
using PeerMain = std::function<void(int listen_fd)>;
using ClientMain = std::function<RunResult(int port)>;

// Runs warm-up + `runs` isolated client/peer pairs; failed runs are reported and dropped.
std::vector<RunResult> measure(const std::string& name, int runs, const PeerMain& peer,
                               const ClientMain& client);

// A client that only does in-process work (no peer).
std::vector<RunResult> measure_local(const std::string& name, int runs, const ClientMain& client);

// One isolated client/peer pair, and one client without a peer.
using OneRun = std::function<RunResult()>;
RunResult run_once(const PeerMain& peer, const ClientMain& client);
RunResult run_local_once(const ClientMain& client);

// Figures that a ratio compares, measured in turns (a run of each, then the
// next round), so that both see the same spells of a shared machine rather
// than whatever it did while one of them ran alone. Results by figure.
std::vector<std::vector<RunResult>> measure_in_turns(const std::vector<std::string>& names, int runs,
                                                     const std::vector<OneRun>& figures);

// Median of a figure over runs, with min, max and the relative spread on stderr.
double median_of(const std::string& name, const std::vector<RunResult>& runs,
                 const std::function<double(const RunResult&)>& figure);

// Sends or receives exactly len bytes; false when the other side went away.
bool send_exact(int fd, const void* data, size_t len);
bool recv_exact(int fd, void* data, size_t len);

}  // namespace suite
