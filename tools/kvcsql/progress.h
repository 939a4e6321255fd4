// Progress on a terminal while kvcsql waits for the server or reads many rows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

namespace kvcsql {

// While alive, shows "waiting for the server: N s" on err after the first
// second, refreshed every second, and erases it when done. Does nothing
// unless enabled (standard error is a terminal).
class WaitIndicator {
public:
    WaitIndicator(std::ostream& err, bool enabled);
    ~WaitIndicator();
    WaitIndicator(const WaitIndicator&) = delete;
    WaitIndicator& operator=(const WaitIndicator&) = delete;

private:
    void run();

    std::ostream& err_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    bool shown_ = false;
    std::thread thread_;
};

// One line of progress rewritten in place, erased by clear().
void show_progress_line(std::ostream& err, const std::string& text);
void clear_progress_line(std::ostream& err);

}  // namespace kvcsql
