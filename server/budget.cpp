#include "budget.h"

#include <algorithm>
#include <atomic>
#include <sqlite3.h>
#include <unistd.h>

namespace kvcd {

namespace {
std::atomic<size_t> g_limit{SIZE_MAX};
std::atomic<size_t> g_reserved{0};
}  // namespace

const char kBudgetExhausted[] = "the server's memory budget (--max-memory) cannot hold this request";

void MemoryBudget::configure(size_t bytes) {
    g_limit = bytes;
    sqlite3_hard_heap_limit64(static_cast<sqlite3_int64>(bytes));
}

size_t MemoryBudget::default_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
    const size_t half = pages > 0 && page > 0 ? size_t(pages) / 2 * size_t(page) : 0;
    return std::max<size_t>(half, size_t(256) << 20);
}

bool MemoryBudget::reserve(size_t n) {
    const size_t limit = g_limit;
    const size_t sqlite_used = static_cast<size_t>(sqlite3_memory_used());
    size_t held = g_reserved.load();
    do {
        if (n > limit || held + sqlite_used > limit - n) return false;
    } while (!g_reserved.compare_exchange_weak(held, held + n));
    return true;
}

void MemoryBudget::release(size_t n) {
    if (n) g_reserved -= n;
}

bool Reservation::hold(size_t n) {
    MemoryBudget::release(bytes_);
    bytes_ = 0;
    if (!MemoryBudget::reserve(n)) return false;
    bytes_ = n;
    return true;
}

}  // namespace kvcd
