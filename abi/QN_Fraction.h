// One output-mixer gain, numerator over denominator: the unit of the mixer
// requests and of the kernel's output mixers.
#pragma once

#include <cstdint>

struct QN_Fraction {
    int32_t nNumerator;
    int32_t nDenominator;
};
static_assert(sizeof(QN_Fraction) == 8);
