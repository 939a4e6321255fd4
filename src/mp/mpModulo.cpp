#include "mp.h"

int mpModulo(DIGIT_T r[], const DIGIT_T u[], size_t un, const DIGIT_T v[], size_t vn) {
    if (un > MP_WORK_DIGITS || vn > MP_WORK_DIGITS) {
        mpSetZero(r, vn);
        return -1;
    }
    DIGIT_T quotient[MP_WORK_DIGITS];
    DIGIT_T remainder[MP_WORK_DIGITS];
    const int status = mpDivide(quotient, remainder, u, un, v, vn);
    // The remainder is below both u and v, so it fits whichever of the two is shorter.
    const size_t kept = un < vn ? un : vn;
    mpSetEqual(r, remainder, kept);
    mpSetZero(r + kept, vn - kept);
    mpSetZero(quotient, un);
    mpSetZero(remainder, un);
    return status;
}
