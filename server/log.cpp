#include "log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace kvcd {

namespace {
std::mutex g_log_mutex;
std::atomic<bool> g_verbose{false};
}  // namespace

void set_verbose(bool on) { g_verbose = on; }
bool verbose() { return g_verbose; }

void log_line(const std::string& text) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    gmtime_r(&ts.tv_sec, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::fprintf(stderr, "%s.%03ldZ kvcd: %s\n", stamp, ts.tv_nsec / 1000000, text.c_str());
    std::fflush(stderr);
}

}  // namespace kvcd
