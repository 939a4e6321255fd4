#include "mp.h"

#include <cstdlib>
#include <ctime>

namespace {
int generator_seeded = 0;  // process-wide, like the C library generator it guards
}

DIGIT_T spPseudoRand(DIGIT_T lower, DIGIT_T upper) {
    if (!generator_seeded) {
        std::srand(unsigned(std::clock() + std::time(nullptr)));
        // Skip a varying number of values so that close seeds do not start alike.
        for (int skip = std::rand() & 0xFF; skip > 0; --skip) std::rand();
        generator_seeded = 1;
    }
    if (upper <= lower) return lower;
    // Scaled by the width of the range, not by upper, so the result never passes upper.
    const double fraction = double(std::rand()) / double(RAND_MAX);
    return lower + DIGIT_T(fraction * double(upper - lower));
}
