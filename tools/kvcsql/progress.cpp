#include "progress.h"

namespace kvcsql {

void show_progress_line(std::ostream& err, const std::string& text) {
    err << '\r' << text << "\033[K" << std::flush;
}

void clear_progress_line(std::ostream& err) { err << "\r\033[K" << std::flush; }

WaitIndicator::WaitIndicator(std::ostream& err, bool enabled) : err_(err) {
    if (enabled) thread_ = std::thread(&WaitIndicator::run, this);
}

WaitIndicator::~WaitIndicator() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    wake_.notify_one();
    thread_.join();
    if (shown_) clear_progress_line(err_);
}

void WaitIndicator::run() {
    auto start = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (int seconds = 1;; ++seconds) {
        if (wake_.wait_until(lock, start + std::chrono::seconds(seconds), [this] { return done_; })) return;
        show_progress_line(err_, "waiting for the server: " + std::to_string(seconds) + " s");
        shown_ = true;
    }
}

}  // namespace kvcsql
