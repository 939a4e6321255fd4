#include "mp.h"

int spMultSub(DIGIT_T uu[2], DIGIT_T qhat, DIGIT_T v1, DIGIT_T v0) {
    const uint64_t divisor = (uint64_t(v1) << 16) + v0;
    const uint64_t value = ((uint64_t(uu[1]) << 32) | uu[0]) - uint64_t(qhat) * divisor;
    uu[0] = DIGIT_T(value);
    uu[1] = DIGIT_T(value >> 32);
    return 0;
}
