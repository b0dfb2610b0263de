// Sample widths and power-of-two sizes.
#pragma once

#include <cstdint>

// Bytes a sample of the width takes: 16 -> 2, 20 and 24 -> 3, 32 -> 4, any
// other width 0.
int calcBytesFromBits(long bits);
// From low, doubled while below high and the double still within value; low
// 0 answers 0, and doubling stops before it would overflow.
uint64_t power2Next(uint64_t value, uint64_t low, uint64_t high);
// From high, halved while above value and above low.
uint64_t power2Prev(uint64_t value, uint64_t low, uint64_t high);
