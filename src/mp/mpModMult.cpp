#include "mp.h"

int mpModMult(DIGIT_T a[], const DIGIT_T x[], const DIGIT_T y[], const DIGIT_T m[], size_t n) {
    if (n == 0 || n > MP_MAX_DIGITS) {
        mpSetZero(a, n);
        return -1;
    }
    DIGIT_T product[MP_WORK_DIGITS];  // the full product, so a may be x, y or m
    mpMultiply(product, x, y, n);
    const int status = mpModulo(a, product, 2 * n, m, n);
    mpSetZero(product, 2 * n);
    return status;
}
