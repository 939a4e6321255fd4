// Long division by Knuth's Algorithm D (The Art of Computer Programming, vol. 2, 4.3.1).
#include "mp.h"

namespace {

// Leading zero bits of a non-zero digit: the normalising shift that sets the top bit.
size_t leading_zero_bits(DIGIT_T d) {
    size_t bits = 0;
    for (DIGIT_T mask = 0x80000000u; (d & mask) == 0; mask >>= 1) ++bits;
    return bits;
}

// q = 0, r = u; r is written before q is cleared so that q may be u.
void quotient_zero(DIGIT_T q[], DIGIT_T r[], const DIGIT_T u[], size_t un) {
    mpSetEqual(r, u, un);
    mpSetZero(q, un);
}

}  // namespace

int mpDivide(DIGIT_T q[], DIGIT_T r[], const DIGIT_T u[], size_t un, const DIGIT_T v[], size_t vn) {
    const size_t vs = mpSizeof(v, vn);
    if (vs == 0 || vs > MP_WORK_DIGITS) {
        mpSetZero(q, un);
        mpSetZero(r, un);
        return -1;
    }
    if (un == 0) return 0;
    if (vs == 1) {
        const DIGIT_T divisor = v[0];  // read before q or r, either of which may be v
        const DIGIT_T remainder = mpShortDiv(q, u, divisor, un);
        mpSetDigit(r, remainder, un);
        return 0;
    }
    const size_t us = mpSizeof(u, un);
    if (us < vs) {
        quotient_zero(q, r, u, un);
        return 0;
    }
    if (us == vs) {
        const int order = mpCompare(u, v, us);
        if (order < 0) {
            quotient_zero(q, r, u, un);
            return 0;
        }
        if (order == 0) {
            mpSetDigit(q, 1, un);
            mpSetZero(r, un);
            return 0;
        }
    }

    // Normalise so that the divisor's top bit is set: then each quotient estimate from the
    // top digits is at most two too large. The divisor is shifted into a copy because the
    // caller's v is read-only and may share storage with q or r.
    const size_t n = vs;
    const size_t m = us - vs;
    const size_t shift = leading_zero_bits(v[n - 1]);
    DIGIT_T vnorm[MP_WORK_DIGITS];
    mpShiftLeft(vnorm, v, shift, n);
    const DIGIT_T overflow = mpShiftLeft(r, u, shift, un);
    // The remainder's working digits are r[0 .. us]; digit us is r[us] when u had leading
    // zero digits to spare, otherwise the bits shifted out of u.
    DIGIT_T top = us < un ? r[us] : overflow;
    mpSetZero(q, un);  // after u was copied: q may be u

    const DIGIT_T v_top = vnorm[n - 1];
    const DIGIT_T v_next = vnorm[n - 2];
    for (size_t j = m + 1; j-- > 0;) {
        DIGIT_T& u_top = (j + n == us) ? top : r[j + n];

        // Estimate the quotient digit from the top two remainder digits.
        const DIGIT_T head[2] = {r[j + n - 1], u_top};
        DIGIT_T qhat;
        DIGIT_T rhat_low;
        uint64_t rhat;
        if (spDivide(&qhat, &rhat_low, head, v_top) != 0) {
            qhat = 0xFFFFFFFFu;  // a quotient digit never exceeds the digit maximum
            rhat = ((uint64_t(head[1]) << 32) | head[0]) - uint64_t(qhat) * v_top;
        } else {
            rhat = rhat_low;
        }
        // The second divisor digit refines the estimate; once rhat no longer fits in a
        // digit the estimate is known to be at most one too large. Knuth shows at most
        // two corrections happen here.
        while (rhat <= 0xFFFFFFFFu && QhatTooBig(qhat, DIGIT_T(rhat), v_next, r[j + n - 2])) {
            --qhat;
            rhat += v_top;
        }

        // Multiply and subtract; a borrow means qhat was still one too large.
        u_top = mpMultSub(u_top, &r[j], vnorm, qhat, n);
        if (u_top != 0) {
            --qhat;
            u_top += mpAdd(&r[j], &r[j], vnorm, n);
        }
        q[j] = qhat;
    }

    // Digits above the divisor's length are zero now; undo the normalisation.
    mpSetZero(r + n, un - n);
    mpShiftRight(r, r, shift, n);
    mpSetZero(vnorm, n);
    return 0;
}
