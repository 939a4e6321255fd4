#include "mp.h"

DIGIT_T mpAdd(DIGIT_T w[], const DIGIT_T u[], const DIGIT_T v[], size_t n) {
    uint64_t carry = 0;
    for (size_t i = 0; i < n; ++i) {
        carry += uint64_t(u[i]) + v[i];
        w[i] = DIGIT_T(carry);
        carry >>= 32;
    }
    return DIGIT_T(carry);
}
