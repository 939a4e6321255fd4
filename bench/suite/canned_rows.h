// The rows every fetch figure reads: a 4-byte integer, an 8-byte integer, a
// double, a 16-character string and a datetime. Both peers send the same
// values in their own wire formats, and both clients fold what they converted
// into the same checksum, so a figure only counts when every value arrived.
#pragma once

#include <cstdint>

namespace suite {

constexpr int kNameLength = 16;

struct RowValues {
    int32_t id;
    int64_t big;
    double price;
    char name[kNameLength];   // no terminator
    int64_t stamp_ms;         // milliseconds since 1970-01-01 00:00:00
};

// Rows repeat with this period, so a peer sends a prebuilt block over and over.
constexpr int kRowPeriod = 4096;

RowValues row_values(int64_t row);

// What a client adds up per converted row; `last_name_char` is the last
// character of the text it received.
inline uint64_t row_checksum(int32_t id, int64_t big, double price, char last_name_char, int64_t stamp_ms) {
    return static_cast<uint64_t>(id) + static_cast<uint64_t>(big) + static_cast<uint64_t>(price * 4) +
           static_cast<unsigned char>(last_name_char) + static_cast<uint64_t>(stamp_ms);
}

uint64_t expected_checksum(int64_t rows);

}  // namespace suite
