// String utilities: counting in the four unit widths, bounded copy, append,
// comparison and number to text.
#include "libs/core/QnMemory.h"
#include "libs/core/QnStringUtils.h"
#include "platform/base/testing/GuardedBuffer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

TEST(TextString, AsciiCharacterFunctions) {
    EXPECT_EQ(Core::ctoi('0'), 0);
    EXPECT_EQ(Core::ctoi('9'), 9);
    EXPECT_EQ(Core::ctoi('A'), 10);
    EXPECT_EQ(Core::ctoi('z'), 35);
    EXPECT_EQ(Core::ctoi('-'), -1);
    EXPECT_EQ(Core::ctoi(0xE9), -1);
    EXPECT_EQ(Core::toUpper('a'), 'A');
    EXPECT_EQ(Core::toUpper('{'), '{');
    EXPECT_EQ(Core::toLower('Z'), 'z');
    EXPECT_EQ(Core::toLower('\xC9'), '\xC9');
    EXPECT_TRUE(Core::isLower('q'));
    EXPECT_FALSE(Core::isLower('Q'));
    EXPECT_TRUE(Core::isUpper('Q'));
    EXPECT_FALSE(Core::isUpper('@'));
}

TEST(TextString, LengthsAndCounts) {
    const unsigned short u16[] = {'a', 0xD83D, 0xDE00, 0};
    const unsigned u32[] = {'a', 0x1F600, 0xD800, 'b', 0};
    EXPECT_EQ(Core::stringLen("hello"), 5u);
    EXPECT_EQ(Core::stringLen(u16), 3u);
    EXPECT_EQ(Core::stringLen(u32), 4u);

    unsigned long long n = 99;
    EXPECT_EQ(Core::stringCount("abc", 2, &n), 2u);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(Core::stringCount(static_cast<const char*>(nullptr), 5, &n), 0u);
    EXPECT_EQ(n, 0u);

    const unsigned char bad[] = {0x61, 0xFF, 0x62, 0};
    EXPECT_EQ(Core::stringCount(bad, Core::kNoLimit, &n), 2u);
    EXPECT_EQ(n, 1u);
    const unsigned char utf8[] = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0};
    EXPECT_EQ(Core::stringCount(utf8, Core::kNoLimit, &n), 6u);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(Core::stringCount(utf8, 4, &n),
              4u); // the euro sign is cut: its first byte is consumed
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(Core::stringCount(utf8, 0, &n), 0u);
    EXPECT_EQ(n, 0u);

    EXPECT_EQ(Core::stringCount(u16, Core::kNoLimit, &n), 3u);
    EXPECT_EQ(n, 2u);
    const unsigned short lone[] = {'a', 0xDE00, 0};
    EXPECT_EQ(Core::stringCount(lone, Core::kNoLimit, &n), 1u);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(Core::stringCount(u16, 2, &n), 1u); // the pair does not fit in 2 units
    EXPECT_EQ(n, 1u);

    EXPECT_EQ(Core::stringCount(u32, Core::kNoLimit, &n), 2u);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(Core::stringCount(u32, 1, &n), 1u);
}

TEST(TextString, CountingNeverReadsPastMaxOrNul) {
    hx::test::GuardedBuffer b(3);
    std::memcpy(b.data(), "\xE2\x82\xAC", 3); // a whole sequence, no terminator, then the guard
    unsigned long long n = 0;
    EXPECT_EQ(Core::stringCount(static_cast<const unsigned char*>(b.data()), 3, &n), 3u);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(Core::stringCount(reinterpret_cast<const char*>(b.data()), 3, &n), 3u);
    EXPECT_EQ(Core::countItemsToCharPos(static_cast<const unsigned char*>(b.data()), 3, 5), 3u);
}

TEST(TextString, CountItemsToCharPos) {
    const unsigned char utf8[] = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0};
    EXPECT_EQ(Core::countItemsToCharPos(utf8, Core::kNoLimit, 2), 3u);
    EXPECT_EQ(Core::countItemsToCharPos(utf8, Core::kNoLimit, 10), 6u);
    EXPECT_EQ(Core::countItemsToCharPos(utf8, 0, 2), 0u);
    EXPECT_EQ(Core::countItemsToCharPos(utf8, Core::kNoLimit, 0), 0u);
    EXPECT_EQ(Core::countItemsToCharPos(static_cast<const unsigned char*>(nullptr), 9, 2), 0u);
    const unsigned char bad[] = {'a', 0xFF, 'b', 0};
    EXPECT_EQ(Core::countItemsToCharPos(bad, Core::kNoLimit, 3), 2u);

    const unsigned short u16[] = {'a', 0xD83D, 0xDE00, 'b', 0};
    EXPECT_EQ(Core::countItemsToCharPos(u16, Core::kNoLimit, 2), 3u);
    EXPECT_EQ(Core::countItemsToCharPos(u16, Core::kNoLimit, 9), 4u);
    EXPECT_EQ(Core::countItemsToCharPos(u16, Core::kNoLimit, 0), 0u);
}

TEST(TextString, CopyIsBoundedAndTerminated) {
    char dst[8];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(Core::stringCopy(dst, "hello", 3), 2u);
    EXPECT_STREQ(dst, "he");
    EXPECT_EQ(dst[3], 'Z');
    EXPECT_EQ(Core::stringCopy(dst, "hello", 6), 5u);
    EXPECT_STREQ(dst, "hello");
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(Core::stringCopy(dst, "hello", 0), 0u);
    EXPECT_EQ(dst[0], 'Z');

    // The source is not read past size - 1 units.
    hx::test::GuardedBuffer src(4);
    std::memcpy(src.data(), "abcd", 4);
    EXPECT_EQ(Core::stringCopy(dst, reinterpret_cast<const char*>(src.data()), 5), 4u);
    EXPECT_STREQ(dst, "abcd");

    const unsigned short w[] = {'x', 'y', 'z', 0};
    unsigned short wd[3];
    EXPECT_EQ(Core::stringCopy(wd, w, 3), 2u);
    EXPECT_EQ(wd[1], 'y');
    EXPECT_EQ(wd[2], 0);
    const unsigned d[] = {1, 2, 0};
    unsigned dd[4];
    EXPECT_EQ(Core::stringCopy(dd, d, 4), 2u);
    EXPECT_EQ(dd[2], 0u);
    const unsigned char b[] = {0xC3, 0xA9, 0};
    unsigned char bd[4];
    EXPECT_EQ(Core::stringCopy(bd, b, 4), 2u);
}

TEST(TextString, CloneAndConcat) {
    char* c = Core::stringClone("clone me");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "clone me");
    memoryFree(c);
    const unsigned short w[] = {'h', 0xD83D, 0xDE00, 0};
    unsigned short* wc = Core::stringClone(w);
    ASSERT_NE(wc, nullptr);
    EXPECT_EQ(std::memcmp(wc, w, sizeof w), 0);
    memoryFree(wc);
    const unsigned d[] = {0x1F600, 0};
    unsigned* dc = Core::stringClone(d);
    ASSERT_NE(dc, nullptr);
    EXPECT_EQ(dc[0], 0x1F600u);
    EXPECT_EQ(dc[1], 0u);
    memoryFree(dc);

    char text[16] = "ab";
    Core::stringConcat(text, "cd");
    EXPECT_STREQ(text, "abcd");
    Core::stringConcat(text, nullptr);
    Core::stringConcat(static_cast<char*>(nullptr), "x");
    EXPECT_STREQ(text, "abcd");

    // UTF-8: text after an illegal sequence is overwritten.
    unsigned char u8[16] = {'a', 0xFF, 'b', 'c', 0};
    const unsigned char more[] = {'X', 0};
    Core::stringConcat(u8, more);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(u8)), "a\xFFX");

    unsigned short u16[8] = {'a', 0xDE00, 'b', 0};
    const unsigned short more16[] = {'Y', 0};
    Core::stringConcat(u16, more16);
    EXPECT_EQ(u16[1], 'Y');
    EXPECT_EQ(u16[2], 0);

    unsigned u32[8] = {'a', 0x110000, 'b', 0};
    const unsigned more32[] = {'Z', 0};
    Core::stringConcat(u32, more32);
    EXPECT_EQ(u32[1], unsigned('Z'));
    EXPECT_EQ(u32[2], 0u);
}

TEST(TextString, Comparisons) {
    EXPECT_EQ(Core::stringCompare("abc", "abd"), -1);
    EXPECT_EQ(Core::stringCompare("abc", "abc"), 0);
    EXPECT_GT(Core::stringCompare("abcd", "abc"), 0);
    EXPECT_LT(Core::stringCompare("\x80", "a"), 0); // high bytes order before ASCII
    EXPECT_EQ(Core::stringICompare("ABC", "abc"), 0);
    EXPECT_LT(Core::stringICompare("abc", "ABD"), 0);
    EXPECT_EQ(Core::stringNCompare("abcX", "abcY", 3), 0);
    EXPECT_LT(Core::stringNCompare("abcX", "abcY", 4), 0);
    EXPECT_EQ(Core::stringNCompare(nullptr, nullptr, 0), 0);
    EXPECT_EQ(Core::stringNICompare("HELLOx", "helloy", 5), 0);
    EXPECT_EQ(Core::stringNICompare("ab", "ab", 10), 0);
    EXPECT_EQ(Core::stringNICompare(nullptr, nullptr, 0), 0);
}

TEST(TextString, NumberToText) {
    struct Case {
        long long value;
        int radix;
        bool upper;
        int width, flags;
        const char* text;
    };
    const Case cases[] = {
        {255, 16, true, 0, 0, "FF"},
        {255, 16, false, 0, 0, "ff"},
        {5, 10, false, 3, 0, "  5"},
        {7, 10, false, 0, 2, "+7"},
        {-7, 10, false, 0, 4, "7"},
        {0, 10, false, 0, 0, ""},
        {0, 10, false, 5, 0, "0"},
        {-5, 10, false, 4, 0, "  -5"}, // the sign stands before the digits, within the width
        {-5, 10, false, 2, 0, "-5"},   // digits and sign reach the width: no padding
        {-55, 10, false, 2, 0, "-55"},
        {5, 10, false, 4, 2, "  +5"},
        {-5, 10, false, 4, 4, "   5"}, // flag 4 suppresses the sign
        {10, 2, false, 0, 0, "1010"},
        {10, 37, false, 0, 0, "10"}, // radix outside 2..16 is 10
        {LLONG_MIN, 10, false, 0, 0, "-9223372036854775808"},
        {LLONG_MIN, 16, true, 0, 0, "-8000000000000000"},
    };
    for (const Case& c : cases) {
        char buf[80];
        std::memset(buf, 'Q', sizeof buf);
        const int n = toString(c.value, buf, c.radix, c.upper, c.width, c.flags);
        EXPECT_STREQ(buf, c.text) << c.value << " w" << c.width << " f" << c.flags;
        EXPECT_EQ(n, static_cast<int>(std::strlen(c.text)));
    }
    EXPECT_EQ(toString(0, nullptr, 10, false, 0, 0), 0);
}

} // namespace
