// Generic array routines of the core library: binary search in a sorted
// array and an in-place sort, both driven by a comparison callback.
#pragma once

namespace Core {

// Negative when a orders before b, 0 when equal, positive after. The full
// signed 64-bit result is used; callers may return differences of 64-bit
// values without clipping them.
typedef long long (*pfn_compare)(const void* a, const void* b);

// Returns an element that compares equal to key (the key is always the
// first argument of compare), or null. outIndex, when given, receives the
// element's index, or all-ones when nothing was found.
void* quickFind(const void* key, const void* base, unsigned long long count,
                unsigned long long size, pfn_compare compare,
                unsigned long long* outIndex = nullptr);

// Sorts count elements of size bytes in place. Not stable; iterative with a
// fixed stack, no allocation.
void quickSort(void* base, unsigned long long count, unsigned long long size, pfn_compare compare);

} // namespace Core
