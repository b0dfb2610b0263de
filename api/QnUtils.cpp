#include "api/QnUtils.h"

#include <limits>

int calcBytesFromBits(long bits) {
    switch (bits) {
    case 16:
        return 2;
    case 20:
    case 24:
        return 3;
    case 32:
        return 4;
    default:
        return 0;
    }
}

uint64_t power2Next(uint64_t value, uint64_t low, uint64_t high) {
    uint64_t v = low;
    if (v == 0) return 0; // doubling 0 never moves
    while (v < high && v <= std::numeric_limits<uint64_t>::max() / 2 && 2 * v <= value)
        v *= 2;
    return v;
}

uint64_t power2Prev(uint64_t value, uint64_t low, uint64_t high) {
    uint64_t v = high;
    while (v > value && v > low)
        v /= 2;
    return v;
}
