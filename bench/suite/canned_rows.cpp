#include "canned_rows.h"

#include <cstdio>
#include <cstring>

namespace suite {

RowValues row_values(int64_t row) {
    const int32_t k = static_cast<int32_t>(row % kRowPeriod);
    RowValues v;
    v.id = k * 7919;
    v.big = int64_t{k} * 1000000007LL;
    v.price = k * 0.25 + 0.5;
    char text[kNameLength + 1];
    snprintf(text, sizeof text, "customer-%07d", k);
    memcpy(v.name, text, kNameLength);
    v.stamp_ms = 1765000000000LL + int64_t{k} * 61001;   // December 2025 onward, odd milliseconds
    return v;
}

uint64_t expected_checksum(int64_t rows) {
    uint64_t period_sum = 0, sum = 0;
    for (int k = 0; k < kRowPeriod; ++k) {
        const RowValues v = row_values(k);
        const uint64_t c = row_checksum(v.id, v.big, v.price, v.name[kNameLength - 1], v.stamp_ms);
        if (k < rows % kRowPeriod) sum += c;
        period_sum += c;
    }
    return sum + period_sum * static_cast<uint64_t>(rows / kRowPeriod);
}

}  // namespace suite
