#include "mp.h"

DIGIT_T mpMultiply(DIGIT_T w[], const DIGIT_T u[], const DIGIT_T v[], size_t n) {
    mpSetZero(w, 2 * n);
    for (size_t j = 0; j < n; ++j) {
        if (v[j] == 0) continue;  // a zero digit adds nothing
        uint64_t carry = 0;
        for (size_t i = 0; i < n; ++i) {
            // Cannot overflow: (2^32-1)^2 + 2 * (2^32-1) = 2^64 - 1.
            carry += uint64_t(u[i]) * v[j] + w[i + j];
            w[i + j] = DIGIT_T(carry);
            carry >>= 32;
        }
        w[j + n] = DIGIT_T(carry);
    }
    return 0;
}
