#include "libs/core/QnAtomic.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

TEST(CoreAtomic, ThirtyTwoBitOperationsReturnTheOldValue) {
    struct Case {
        const char* name;
        int (*op)(int volatile*, int);
        int start, arg, stored;
    };
    const Case cases[] = {
        {"write", atomicWrite32, 5, 9, 9},
        {"and", atomicAnd32, 0b1100, 0b1010, 0b1000},
        {"or", atomicOr32, 0b1100, 0b1010, 0b1110},
        {"xor", atomicXor32, 0b1100, 0b1010, 0b0110},
        {"or sign bit", atomicOr32, 1, int(0x80000000u), int(0x80000001u)},
    };
    for (const Case& c : cases) {
        int volatile v = c.start;
        EXPECT_EQ(c.op(&v, c.arg), c.start) << c.name;
        EXPECT_EQ(v, c.stored) << c.name;
    }
}

TEST(CoreAtomic, SixtyFourBitOperationsReturnTheOldValue) {
    struct Case {
        const char* name;
        long long (*op)(long long volatile*, long long);
        long long start, arg, stored;
    };
    const long long hi = 1ll << 40;
    const Case cases[] = {
        {"write", atomicWrite64, hi, 7, 7},
        {"and", atomicAnd64, hi | 3, hi | 1, hi | 1},
        {"or", atomicOr64, hi, 3, hi | 3},
        {"xor", atomicXor64, hi | 3, hi | 1, 2},
    };
    for (const Case& c : cases) {
        long long volatile v = c.start;
        EXPECT_EQ(c.op(&v, c.arg), c.start) << c.name;
        EXPECT_EQ(v, c.stored) << c.name;
    }
}

TEST(CoreAtomic, WritePtrReturnsTheOldPointer) {
    int a = 0, b = 0;
    void* volatile p = &a;
    EXPECT_EQ(atomicWritePtr(&p, &b), &a);
    EXPECT_EQ(p, &b);
}

TEST(CoreAtomic, BitNumbersWrapAtTheWordWidth) {
    int volatile w = 0;
    EXPECT_FALSE(atomicTestAndSet32(&w, 33)); // bit 1
    EXPECT_EQ(w, 2);
    EXPECT_TRUE(atomicTestAndSet32(&w, 1));
    EXPECT_TRUE(atomicTestAndToggle32(&w, 33));
    EXPECT_EQ(w, 0);
    EXPECT_FALSE(atomicTestAndToggle32(&w, 31));
    EXPECT_EQ(w, int(0x80000000u));
    EXPECT_TRUE(atomicTestAndClear32(&w, -1)); // -1 & 31 = 31, never a negative shift
    EXPECT_EQ(w, 0);
    EXPECT_FALSE(atomicTestAndClear32(&w, 5));

    long long volatile d = 0;
    EXPECT_FALSE(atomicTestAndSet64(&d, 65)); // bit 1
    EXPECT_EQ(d, 2);
    EXPECT_FALSE(atomicTestAndSet64(&d, 63));
    EXPECT_TRUE(atomicTestAndClear64(&d, 127));
    EXPECT_TRUE(atomicTestAndToggle64(&d, 1));
    EXPECT_EQ(d, 0);
}

TEST(CoreAtomic, HeaderOperations) {
    int volatile v = 41;
    EXPECT_EQ(atomicRead(&v), 41);
    EXPECT_EQ(atomicInc(&v), 42);
    EXPECT_EQ(atomicDec(&v), 41);
    EXPECT_EQ(atomicWrite(&v, 3), 41);
    EXPECT_EQ(atomicRead(&v), 3);
}

// Four threads hammer one counter and two bit words; the totals are exact.
TEST(CoreAtomic, ConcurrentUpdatesAreExact) {
    constexpr int kThreads = 4;
    constexpr int kIters = 20000;
    int volatile counter = 0;
    int volatile bits32 = 0;
    long long volatile bits64 = 0;
    int volatile toggles = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kIters; ++i) {
                atomicInc(&counter);
                atomicOr32(&bits32, 1 << ((t * 8 + i) % 32));
                atomicOr64(&bits64, 1ll << ((t * 16 + i) % 64));
                atomicTestAndToggle32(&toggles, t);
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(counter, kThreads * kIters);
    EXPECT_EQ(bits32, -1);
    EXPECT_EQ(bits64, -1ll);
    EXPECT_EQ(toggles, 0); // each thread toggled its own bit an even number of times
}

} // namespace
