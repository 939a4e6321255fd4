#include "mp.h"

DIGIT_T mpShiftRight(DIGIT_T a[], const DIGIT_T b[], size_t shift, size_t n) {
    if (shift >= 32) return 0;
    DIGIT_T carry = 0;
    while (n-- > 0) {
        const DIGIT_T digit = b[n];  // read before a[n] is written: a may be b
        a[n] = (digit >> shift) | carry;
        carry = shift ? digit << (32 - shift) : 0;  // a shift by 32 would be undefined
    }
    return carry;
}
