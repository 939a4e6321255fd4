#include "mp.h"

DIGIT_T spDivide(DIGIT_T* q, DIGIT_T* r, const DIGIT_T u[2], DIGIT_T v) {
    if (v == 0) {  // no quotient exists; give a defined result rather than trap
        *q = 0;
        *r = 0;
        return 0;
    }
    const uint64_t dividend = (uint64_t(u[1]) << 32) | u[0];
    const uint64_t quotient = dividend / v;
    *q = DIGIT_T(quotient);
    *r = DIGIT_T(dividend % v);
    return DIGIT_T(quotient >> 32);
}
