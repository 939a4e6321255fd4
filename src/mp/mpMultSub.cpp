#include "mp.h"

DIGIT_T mpMultSub(DIGIT_T wn, DIGIT_T w[], const DIGIT_T v[], DIGIT_T q, size_t n) {
    if (q == 0) return wn;
    DIGIT_T carry = 0;  // high part of the running product plus the borrow, at most 2^32 - 1
    for (size_t i = 0; i < n; ++i) {
        const uint64_t product = uint64_t(q) * v[i] + carry;
        const DIGIT_T low = DIGIT_T(product);
        const DIGIT_T before = w[i];
        w[i] = before - low;
        carry = DIGIT_T(product >> 32) + (w[i] > before ? 1 : 0);
    }
    return wn - carry;
}
