#include "mp.h"

DIGIT_T mpShortDiv(DIGIT_T q[], const DIGIT_T u[], DIGIT_T d, size_t n) {
    if (d == 0) {
        mpSetZero(q, n);
        return 0;
    }
    uint64_t remainder = 0;
    while (n-- > 0) {
        const uint64_t dividend = (remainder << 32) | u[n];
        q[n] = DIGIT_T(dividend / d);
        remainder = dividend % d;
    }
    return DIGIT_T(remainder);
}
