#include "mp.h"

int QhatTooBig(DIGIT_T qhat, DIGIT_T rhat, DIGIT_T vn2, DIGIT_T ujn2) {
    return uint64_t(qhat) * vn2 > ((uint64_t(rhat) << 32) | ujn2);
}
