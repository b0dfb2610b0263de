#include "libs/core/QnSort.h"

#include "libs/core/QnMemory.h"

namespace Core {

void* quickFind(const void* key, const void* base, unsigned long long count,
                unsigned long long size, pfn_compare compare, unsigned long long* outIndex) {
    if (outIndex) *outIndex = ~0ULL;
    if (!key || !base || !compare || count == 0 || size == 0) return nullptr;

    const char* first = static_cast<const char*>(base);
    unsigned long long lo = 0;
    unsigned long long hi = count - 1;
    while (lo <= hi) {
        unsigned long long mid = lo + (hi - lo) / 2;
        const char* element = first + mid * size;
        long long r = compare(key, element);
        if (r == 0) {
            if (outIndex) *outIndex = mid;
            return const_cast<char*>(element);
        }
        if (r < 0) {
            // Below the first element: stop here rather than wrap hi around.
            if (mid == 0) break;
            hi = mid - 1;
        } else {
            lo = mid + 1;
        }
    }
    return nullptr;
}

namespace {

// Ranges up to this many elements are finished by selection sort.
constexpr unsigned long long kSmallRange = 8;
// The larger part of every partition is the one pushed, so the stack never
// holds more than log2(count) pairs; 62 covers every 64-bit count.
constexpr int kStackPairs = 62;

inline void swapElements(char* a, char* b, unsigned long long size) {
    if (a != b) memorySwap(a, b, size);
}

void selectionSort(char* lo, char* hi, unsigned long long size, pfn_compare compare) {
    while (hi > lo) {
        char* max = lo;
        for (char* p = lo + size; p <= hi; p += size) {
            if (compare(p, max) > 0) max = p;
        }
        swapElements(max, hi, size);
        hi -= size;
    }
}

} // namespace

void quickSort(void* base, unsigned long long count, unsigned long long size, pfn_compare compare) {
    if (count < 2 || !base || size == 0 || !compare) return;

    char* loStack[kStackPairs];
    char* hiStack[kStackPairs];
    int depth = 0;

    char* lo = static_cast<char*>(base);
    char* hi = lo + (count - 1) * size;

    for (;;) {
        unsigned long long n = static_cast<unsigned long long>(hi - lo) / size + 1;
        if (n <= kSmallRange) {
            selectionSort(lo, hi, size, compare);
        } else {
            // Median of three, so sorted and reversed input stay fast.
            char* mid = lo + (n / 2) * size;
            if (compare(lo, mid) > 0) swapElements(lo, mid, size);
            if (compare(lo, hi) > 0) swapElements(lo, hi, size);
            if (compare(mid, hi) > 0) swapElements(mid, hi, size);

            char* loguy = lo;
            char* higuy = hi;
            for (;;) {
                if (mid > loguy) {
                    do {
                        loguy += size;
                    } while (loguy < mid && compare(loguy, mid) <= 0);
                }
                if (mid <= loguy) {
                    do {
                        loguy += size;
                    } while (loguy <= hi && compare(loguy, mid) <= 0);
                }
                do {
                    higuy -= size;
                } while (higuy > mid && compare(higuy, mid) > 0);
                if (higuy < loguy) break;
                swapElements(loguy, higuy, size);
                // The pivot travels with the swap.
                if (mid == higuy) mid = loguy;
            }

            // Leave the run of pivot-equal elements out of both parts; this is
            // what ends the sort of an all-equal array.
            higuy += size;
            if (mid < higuy) {
                do {
                    higuy -= size;
                } while (higuy > mid && compare(higuy, mid) == 0);
            }
            if (mid >= higuy) {
                do {
                    higuy -= size;
                } while (higuy > lo && compare(higuy, mid) == 0);
            }

            // [lo, higuy] and [loguy, hi] remain; push the larger, go on with the smaller.
            if (higuy - lo >= hi - loguy) {
                if (lo < higuy) {
                    loStack[depth] = lo;
                    hiStack[depth] = higuy;
                    ++depth;
                }
                if (loguy < hi) {
                    lo = loguy;
                    continue;
                }
            } else {
                if (loguy < hi) {
                    loStack[depth] = loguy;
                    hiStack[depth] = hi;
                    ++depth;
                }
                if (lo < higuy) {
                    hi = higuy;
                    continue;
                }
            }
        }

        if (depth == 0) return;
        --depth;
        lo = loStack[depth];
        hi = hiStack[depth];
    }
}

} // namespace Core
