// Copying, clearing and setting whole numbers.
#include "mp.h"

void mpSetEqual(DIGIT_T a[], const DIGIT_T b[], size_t n) {
    for (size_t i = 0; i < n; ++i) a[i] = b[i];
}

void mpSetZero(DIGIT_T a[], size_t n) {
    // Volatile stores: a temporary that held key material is dead when it is cleared, and a
    // plain clear of a dead buffer may be optimised away.
    volatile DIGIT_T* p = a;
    for (size_t i = 0; i < n; ++i) p[i] = 0;
}

void mpSetDigit(DIGIT_T a[], DIGIT_T d, size_t n) {
    if (n == 0) return;
    mpSetZero(a, n);
    a[0] = d;
}
