#include "mp.h"

DIGIT_T mpShiftLeft(DIGIT_T a[], const DIGIT_T b[], size_t shift, size_t n) {
    if (shift >= 32) return 0;
    DIGIT_T carry = 0;
    for (size_t i = 0; i < n; ++i) {
        const DIGIT_T digit = b[i];  // read before a[i] is written: a may be b
        a[i] = (digit << shift) | carry;
        carry = shift ? digit >> (32 - shift) : 0;  // a shift by 32 would be undefined
    }
    return carry;
}
