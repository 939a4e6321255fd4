// The server-wide memory budget (--max-memory) that all sessions share.
// Parameter values and the large objects kept for descriptor fetches are
// reserved here before they are held; SQLite's own memory (statements,
// sorting, values read) counts against the same budget and is capped by its
// hard heap limit. A request that would go beyond it fails; others go on.
#pragma once

#include <cstddef>

namespace kvcd {

class MemoryBudget {
public:
    // Sets the budget, and SQLite's hard heap limit to it.
    static void configure(size_t bytes);
    // Half the machine's memory, at least 256 MiB.
    static size_t default_bytes();
    // False, with nothing reserved, when the budget cannot hold n more bytes.
    static bool reserve(size_t n);
    static void release(size_t n);
};

// Bytes reserved for as long as the object lives.
class Reservation {
public:
    Reservation() = default;
    ~Reservation() { MemoryBudget::release(bytes_); }
    Reservation(const Reservation&) = delete;
    Reservation& operator=(const Reservation&) = delete;
    // Holds n bytes instead of what was held before; false when refused.
    bool hold(size_t n);

private:
    size_t bytes_ = 0;
};

// The error text of a refused reservation.
extern const char kBudgetExhausted[];

}  // namespace kvcd
