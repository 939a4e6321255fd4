#include "mp.h"

int mpCompare(const DIGIT_T a[], const DIGIT_T b[], size_t n) {
    while (n-- > 0) {
        if (a[n] > b[n]) return 1;
        if (a[n] < b[n]) return -1;
    }
    return 0;
}
