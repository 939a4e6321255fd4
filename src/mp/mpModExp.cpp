#include "mp.h"

int mpModExp(DIGIT_T y[], const DIGIT_T x[], const DIGIT_T e[], const DIGIT_T m[], size_t n) {
    if (n == 0) return -1;
    // A zero exponent or modulus has no answer from the square-and-multiply below, and a
    // longer number would not fit the work buffers of mpModMult.
    const size_t e_size = n > MP_MAX_DIGITS ? 0 : mpSizeof(e, n);
    if (e_size == 0 || mpSizeof(m, n) == 0) {
        mpSetZero(y, n);
        return -1;
    }

    // Work in a copy so that y may share storage with x, e or m.
    DIGIT_T result[MP_MAX_DIGITS];
    mpSetEqual(result, x, n);
    // Start below the highest set bit: it is accounted for by result = x.
    const DIGIT_T top = e[e_size - 1];
    DIGIT_T mask = 0x80000000u;
    while ((top & mask) == 0) mask >>= 1;
    mask >>= 1;
    for (size_t i = e_size; i-- > 0; mask = 0x80000000u) {
        for (; mask != 0; mask >>= 1) {
            mpModMult(result, result, result, m, n);
            if (e[i] & mask) mpModMult(result, result, x, m, n);
        }
    }
    mpSetEqual(y, result, n);
    mpSetZero(result, n);
    return 0;
}
