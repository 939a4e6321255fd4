#include "mp.h"

int spMultiply(DIGIT_T p[2], DIGIT_T x, DIGIT_T y) {
    const uint64_t product = uint64_t(x) * y;
    p[0] = DIGIT_T(product);
    p[1] = DIGIT_T(product >> 32);
    return 0;
}
