#include "libs/core/QnMemory.h"

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <utility>

namespace {

TEST(CoreMemory, CompareReportsThePositionOfTheFirstDifference) {
    EXPECT_EQ(memoryCompare("abcd", "abxd", 4), 3u);
    EXPECT_EQ(memoryCompare("abcd", "abxd", 2), 0u);
    EXPECT_EQ(memoryCompare("abcd", "abxd", 0), 0u);
    EXPECT_EQ(memoryCompare("abcd", "xbcd", 4), 1u);
}

TEST(CoreMemory, CheckedWrappersRefuseNullAndZeroLength) {
    char a[4] = {'a', 'b', 'c', 'd'};
    char b[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(memoryCopy(a, b, 0), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memoryCopy(nullptr, b, 4), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memoryCopy(a, nullptr, 4), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memoryMove(a, b, 0), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memorySet(nullptr, 1, 4), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memorySet(a, 1, 0), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memoryClear(nullptr, 4), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(memoryClear(a, 0), QN_ERR_BAD_ARGUMENT);
    EXPECT_EQ(std::memcmp(a, "abcd", 4), 0); // nothing was touched

    EXPECT_EQ(memoryCopy(a, b, 2), QN_SUCCESS);
    EXPECT_EQ(std::memcmp(a, "wxcd", 4), 0);
    EXPECT_EQ(memoryMove(a + 1, a, 3), QN_SUCCESS); // overlap
    EXPECT_EQ(std::memcmp(a, "wwxc", 4), 0);
    EXPECT_EQ(memorySet(a, 'q', 2), QN_SUCCESS);
    EXPECT_EQ(std::memcmp(a, "qqxc", 4), 0);
    EXPECT_EQ(memoryClear(a, 4), QN_SUCCESS);
    EXPECT_EQ(std::memcmp(a, "\0\0\0\0", 4), 0);
}

TEST(CoreMemory, SwapExchangesBytes) {
    char a[] = "abc", b[] = "xyz";
    memorySwap(a, b, 3);
    EXPECT_STREQ(a, "xyz");
    EXPECT_STREQ(b, "abc");
    memorySwap(a, a, 3);
    EXPECT_STREQ(a, "xyz");
}

TEST(CoreMemory, MemChr) {
    const unsigned char d[] = {1, 0xff, 3, 0xff};
    EXPECT_EQ(Core::memChr(d, 0xff, 4), d + 1);
    EXPECT_EQ(Core::memChr(d, -1, 4), nullptr); // outside 0..255 never matches
    EXPECT_EQ(Core::memChr(d, 256 + 1, 4), nullptr);
    EXPECT_EQ(Core::memChr(d, 3, 2), nullptr);
    EXPECT_EQ(Core::memChr(d, 1, 0), nullptr);
    EXPECT_EQ(Core::memChr(d, 1, qn_uint64(-5)), nullptr); // negative as signed
}

TEST(CoreMemory, SearchForwardAndBackward) {
    const char* data = "xxabyyabzz";
    struct Case {
        const char* pattern;
        qn_uint64 dataLen;
        int first; // -1: none
        int last;
    };
    const Case cases[] = {
        {"ab", 10, 2, 6},
        {"abz", 10, 6, 6},
        {"x", 10, 0, 1},
        {"z", 10, 8, 9},
        {"zz", 10, 8, 8},
        {"q", 10, -1, -1},
        {"ab", 4, 2, 2},
        {"ab", 3, -1, -1},
        {"xxabyyabzz", 10, 0, 0},    // equal to the whole block
        {"xxabyyabzzz", 10, -1, -1}, // longer than the block
    };
    for (const Case& c : cases) {
        const qn_uint64 n = std::strlen(c.pattern);
        const void* f = Core::memSearch(c.pattern, n, data, c.dataLen);
        const void* r = Core::memSearchRev(c.pattern, n, data, c.dataLen);
        EXPECT_EQ(f, c.first < 0 ? nullptr : data + c.first) << c.pattern;
        EXPECT_EQ(r, c.last < 0 ? nullptr : data + c.last) << c.pattern;
    }
    EXPECT_EQ(Core::memSearch("", 0, data, 10), nullptr);
    EXPECT_EQ(Core::memSearch(nullptr, 1, data, 10), nullptr);
    EXPECT_EQ(Core::memSearch("a", 1, nullptr, 10), nullptr);
    EXPECT_EQ(Core::memSearchRev("", 0, data, 10), nullptr);
}

// Counts releases per buffer so double frees and leaks show.
std::map<void*, int>& releases() {
    static std::map<void*, int> m;
    return m;
}
void countingRelease(void* p) {
    ++releases()[p];
    memoryFree(p);
}

class CoreMemoryOwner : public ::testing::Test {
protected:
    void SetUp() override { releases().clear(); }
    static int releasedCount(void* p) { return releases().count(p) ? releases()[p] : 0; }
};

TEST_F(CoreMemoryOwner, ConstructorsAndViews) {
    Core::Memory empty;
    EXPECT_EQ(empty.data(), nullptr);
    EXPECT_EQ(empty.size(), 0u);
    EXPECT_FALSE(empty.owns());

    Core::Memory nullAdopt(nullptr, 10, countingRelease);
    EXPECT_EQ(nullAdopt.size(), 0u);
    EXPECT_FALSE(nullAdopt.owns());

    Core::Memory sized(16);
    ASSERT_NE(sized.data(), nullptr);
    EXPECT_EQ(sized.size(), 16u);
    EXPECT_TRUE(sized.owns());

    void* p = memoryAlloc(8);
    {
        Core::Memory a(p, 8, countingRelease);
        {
            Core::Memory view(a);
            EXPECT_EQ(view.data(), p);
            EXPECT_EQ(view.size(), 8u);
            EXPECT_FALSE(view.owns());
        }
        EXPECT_EQ(releasedCount(p), 0); // the copy freed nothing
    }
    EXPECT_EQ(releasedCount(p), 1);
}

TEST_F(CoreMemoryOwner, MoveHandsOwnershipOver) {
    void* p = memoryAlloc(8);
    {
        Core::Memory a(p, 8, countingRelease);
        Core::Memory b(std::move(a));
        EXPECT_TRUE(b.owns());
        EXPECT_FALSE(a.owns());
        EXPECT_EQ(a.data(), p); // still a view of the same bytes
        EXPECT_EQ(a.size(), 8u);
        Core::Memory c;
        c = std::move(b);
        EXPECT_TRUE(c.owns());
        EXPECT_FALSE(b.owns());
    }
    EXPECT_EQ(releasedCount(p), 1);
}

TEST_F(CoreMemoryOwner, AssigningAViewOfItselfKeepsOwnership) {
    void* p = memoryAlloc(8);
    {
        Core::Memory a(p, 8, countingRelease);
        a = Core::Memory(a); // a copy of a: same data
        EXPECT_TRUE(a.owns());
        EXPECT_EQ(a.data(), p);
        EXPECT_EQ(releasedCount(p), 0);

        Core::Memory view(a);
        a = std::move(view); // moving a view of a into a
        EXPECT_TRUE(a.owns());
        EXPECT_EQ(releasedCount(p), 0);

        Core::Memory view2(a);
        a.moveFrom(view2);
        a.moveFrom(a);
        Core::Memory& alias = a;
        a = alias;
        EXPECT_TRUE(a.owns());
        EXPECT_EQ(releasedCount(p), 0);
    }
    EXPECT_EQ(releasedCount(p), 1);
}

TEST_F(CoreMemoryOwner, MovingTheOwnerIntoItsViewTransfersOwnership) {
    void* p = memoryAlloc(8);
    {
        Core::Memory owner(p, 8, countingRelease);
        Core::Memory view(owner);
        view = std::move(owner); // same data: the view takes the release function
        EXPECT_TRUE(view.owns());
        EXPECT_FALSE(owner.owns());
    }
    EXPECT_EQ(releasedCount(p), 1);
}

TEST_F(CoreMemoryOwner, InitAndTermRelease) {
    void* p = memoryAlloc(8);
    void* q = memoryAlloc(8);
    Core::Memory m(p, 8, countingRelease);
    EXPECT_EQ(m.init(p, 4, countingRelease), p); // same data: nothing released
    EXPECT_EQ(releasedCount(p), 0);
    EXPECT_EQ(m.size(), 4u);
    EXPECT_EQ(m.init(q, 8, countingRelease), q);
    EXPECT_EQ(releasedCount(p), 1);
    void* r = m.init(32);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(releasedCount(q), 1);
    EXPECT_EQ(m.size(), 32u);
    EXPECT_TRUE(m.owns());
    m.term();
    EXPECT_EQ(m.data(), nullptr);
    EXPECT_EQ(m.size(), 0u);
    EXPECT_FALSE(m.owns());
    EXPECT_EQ(m.init(nullptr, 5, countingRelease), nullptr);
    EXPECT_EQ(m.size(), 0u);
    EXPECT_FALSE(m.owns());
}

TEST_F(CoreMemoryOwner, AssigningAnotherBufferReleasesTheOldOne) {
    void* p = memoryAlloc(8);
    void* q = memoryAlloc(8);
    {
        Core::Memory a(p, 8, countingRelease);
        Core::Memory b(q, 8, countingRelease);
        a = b; // a becomes a view of q
        EXPECT_EQ(releasedCount(p), 1);
        EXPECT_FALSE(a.owns());
        EXPECT_EQ(a.data(), q);
    }
    EXPECT_EQ(releasedCount(q), 1);
}

} // namespace
