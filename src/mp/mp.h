#pragma once
// Multiple-precision arithmetic for the RSA wrapping of the session key.
// A number is an array of n 32-bit digits, least significant first; leading zero digits are
// allowed. No function allocates: temporaries live on the stack and are wiped after use.
#include <cstddef>
#include <cstdint>

typedef uint32_t DIGIT_T;

// Longest number that mpModExp and mpModMult take; their double-length work buffers hold
// MP_WORK_DIGITS digits, which is also the longest divisor mpDivide normalises.
constexpr size_t MP_MAX_DIGITS = 52;
constexpr size_t MP_WORK_DIGITS = 2 * MP_MAX_DIGITS;

// y = x^e mod m, left-to-right binary; an exponent of 1 gives x unreduced. y may be any of
// the inputs. Returns 0; -1 when n is 0, n > 52, e is zero or m is zero (y zeroed if n > 0).
int     mpModExp(DIGIT_T y[], const DIGIT_T x[], const DIGIT_T e[], const DIGIT_T m[], size_t n);
// a = (x * y) mod m; a may be x, y or m. Returns 0; -1 (a zeroed) when n is 0 or above 52
// or m is zero.
int     mpModMult(DIGIT_T a[], const DIGIT_T x[], const DIGIT_T y[], const DIGIT_T m[], size_t n);
// w (2n digits) = u * v (n digits each); w must not overlap u or v. Returns 0.
DIGIT_T mpMultiply(DIGIT_T w[], const DIGIT_T u[], const DIGIT_T v[], size_t n);
// r (vn digits) = u (un digits) mod v (vn digits); r may be u or v. Returns 0; -1 (r zeroed)
// when v is zero or un or vn exceeds 104.
int     mpModulo(DIGIT_T r[], const DIGIT_T u[], size_t un, const DIGIT_T v[], size_t vn);
// q = u div v and r = u mod v, q and r of un digits each (Knuth's Algorithm D). q and r must
// be distinct; either may be u or v. Returns 0; -1 with q and r zeroed when v is zero or has
// more than 104 significant digits.
int     mpDivide(DIGIT_T q[], DIGIT_T r[], const DIGIT_T u[], size_t un, const DIGIT_T v[], size_t vn);
// w - q * v, where w has n digits with wn as one more digit above them. w receives the low n
// digits; returns the new top digit, which is not 0 when the result went below zero.
DIGIT_T mpMultSub(DIGIT_T wn, DIGIT_T w[], const DIGIT_T v[], DIGIT_T q, size_t n);
// True when qhat * vn2 exceeds the two-digit number (rhat, ujn2): the quotient estimate of a
// division step is still too large.
int     QhatTooBig(DIGIT_T qhat, DIGIT_T rhat, DIGIT_T vn2, DIGIT_T ujn2);
// q = u div d for a single digit d; q may be u. Returns the remainder. d of 0 zeroes q and
// returns 0.
DIGIT_T mpShortDiv(DIGIT_T q[], const DIGIT_T u[], DIGIT_T d, size_t n);
// p (2 digits) = x * y. Returns 0.
int     spMultiply(DIGIT_T p[2], DIGIT_T x, DIGIT_T y);
// q, r = the two-digit u divided by v (v's top bit set in every use by the division, which
// keeps the quotient below 2^33). Returns the quotient's digit above q. v of 0 gives q = r = 0
// and returns 0.
DIGIT_T spDivide(DIGIT_T* q, DIGIT_T* r, const DIGIT_T u[2], DIGIT_T v);
// Two-digit uu = uu - qhat * (v1 * 2^16 + v0), v1 and v0 being the 16-bit halves of a
// divisor, modulo 2^64. Returns 0.
int     spMultSub(DIGIT_T uu[2], DIGIT_T qhat, DIGIT_T v1, DIGIT_T v0);
// a = b shifted by shift bits (below 32); a may be b. The left shift returns the bits pushed
// out at the top, as the low bits of a digit; the right shift returns those pushed out at
// the bottom, as the high bits of a digit. A shift of 32 or more leaves a as it is and
// returns 0.
DIGIT_T mpShiftLeft(DIGIT_T a[], const DIGIT_T b[], size_t shift, size_t n);
DIGIT_T mpShiftRight(DIGIT_T a[], const DIGIT_T b[], size_t shift, size_t n);
// w = u + v; w may be u or v. Returns the carry out of the top digit.
DIGIT_T mpAdd(DIGIT_T w[], const DIGIT_T u[], const DIGIT_T v[], size_t n);
// Sign of a - b: -1, 0 or 1.
int     mpCompare(const DIGIT_T a[], const DIGIT_T b[], size_t n);
// Significant length of a: n less its leading zero digits.
size_t  mpSizeof(const DIGIT_T a[], size_t n);
void    mpSetEqual(DIGIT_T a[], const DIGIT_T b[], size_t n);
// Clears a with stores the compiler may not drop, so it also wipes secret temporaries.
void    mpSetZero(DIGIT_T a[], size_t n);
// a = the single digit d.
void    mpSetDigit(DIGIT_T a[], DIGIT_T d, size_t n);
// Pseudo-random digit in [lower, upper] from the C library generator, which it seeds once per
// process. Not a cryptographic source.
DIGIT_T spPseudoRand(DIGIT_T lower, DIGIT_T upper);
