#include "mp.h"

size_t mpSizeof(const DIGIT_T a[], size_t n) {
    while (n > 0 && a[n - 1] == 0) --n;
    return n;
}
