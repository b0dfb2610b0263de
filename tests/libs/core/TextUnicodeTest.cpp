// The Unicode 10.0 character table: its shape, an exhaustive comparison with
// reference data generated from the same release, and the case predicates.
#include "libs/core/QnUnicode.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct UnicodeRefRun {
    unsigned first, last, category;
};
struct UnicodeRefPair {
    unsigned code, mapped;
};

#include "tests/libs/core/TextUnicodeReference.inc"

// The ranges the database writes as First/Last pairs: only the ends are rows.
struct Range {
    unsigned first, last;
};
constexpr Range kRanges[] = {
    {0x3400, 0x4DB5},   {0x4E00, 0x9FEA},   {0xAC00, 0xD7A3},     {0xD800, 0xDB7F},
    {0xDB80, 0xDBFF},   {0xDC00, 0xDFFF},   {0xE000, 0xF8FF},     {0x17000, 0x187EC},
    {0x20000, 0x2A6D6}, {0x2A700, 0x2B734}, {0x2B740, 0x2B81D},   {0x2B820, 0x2CEA1},
    {0x2CEB0, 0x2EBE0}, {0xF0000, 0xFFFFD}, {0x100000, 0x10FFFD},
};

constexpr unsigned kCodeSpace = 0x110000;

struct Expected {
    std::vector<unsigned char> category;
    std::vector<unsigned> lower, upper;
};

const Expected& expected() {
    static const Expected e = [] {
        Expected x;
        x.category.assign(kCodeSpace, 0);
        x.lower.resize(kCodeSpace);
        x.upper.resize(kCodeSpace);
        for (unsigned cp = 0; cp < kCodeSpace; ++cp)
            x.lower[cp] = x.upper[cp] = cp;
        for (const auto& r : kRefRuns)
            for (unsigned cp = r.first; cp <= r.last; ++cp)
                x.category[cp] = static_cast<unsigned char>(r.category);
        for (const auto& p : kRefLower)
            x.lower[p.code] = p.mapped;
        for (const auto& p : kRefUpper)
            x.upper[p.code] = p.mapped;
        for (const auto& r : kRanges)
            for (unsigned cp = r.first + 1; cp < r.last; ++cp)
                x.category[cp] = 0;
        return x;
    }();
    return e;
}

TEST(TextUnicodeTable, ShapeRowsAscendingDensePrefixAndRanges) {
    ASSERT_EQ(Core::_UniCharInfo_Count, 31618u);
    for (unsigned long long i = 1; i < Core::_UniCharInfo_Count; ++i)
        ASSERT_LT(Core::_UniCharInfo[i - 1].code, Core::_UniCharInfo[i].code) << "row " << i;
    for (unsigned i = 0; i < 888; ++i)
        ASSERT_EQ(Core::_UniCharInfo[i].code, i);
    EXPECT_EQ(Core::_UniCharInfo[888].code, 0x379u + 1); // U+0378 and U+0379 are unassigned
    const Core::UniCharInfo& last = Core::_UniCharInfo[Core::_UniCharInfo_Count - 1];
    EXPECT_EQ(last.code, 0x10FFFDu);
    EXPECT_EQ(last.category, 29u);

    // Both ends of every range are rows, nothing inside is.
    for (const auto& r : kRanges) {
        unsigned long long index = 0;
        Core::UniCharInfo key = {r.first, 0, 0, 0};
        ASSERT_NE(Core::quickFind(&key, Core::_UniCharInfo, Core::_UniCharInfo_Count, sizeof key,
                                  Core::UniCharInfo_compare, &index),
                  nullptr);
        ASSERT_LT(index + 1, Core::_UniCharInfo_Count);
        EXPECT_EQ(Core::_UniCharInfo[index + 1].code, r.last) << std::hex << r.first;
    }
}

TEST(TextUnicodeTable, InitCountsTheDensePrefix) {
    Core::init_unicodeCharInfo();
    EXPECT_EQ(Core::_UniCharInfo_LinearCount, 888u);
}

// Run with and without the dense prefix: both paths must give the same answers.
void checkEveryCodePoint() {
    const Expected& e = expected();
    for (unsigned cp = 0; cp <= kCodeSpace; ++cp) {
        Core::UniCharInfo info = Core::getUniCharInfo(cp);
        unsigned cat = cp < kCodeSpace ? e.category[cp] : 0;
        ASSERT_EQ(info.code, cp);
        ASSERT_EQ(info.category, cat) << std::hex << cp;
        if (cat == 0) {
            ASSERT_EQ(info.lower, cp) << std::hex << cp;
            ASSERT_EQ(info.upper, cp) << std::hex << cp;
        } else {
            ASSERT_EQ(info.lower, e.lower[cp]) << std::hex << cp;
            ASSERT_EQ(info.upper, e.upper[cp]) << std::hex << cp;
        }
        ASSERT_EQ(Core::toLower(cp), info.lower);
        ASSERT_EQ(Core::toUpper(cp), info.upper);
        ASSERT_EQ(Core::isLower(cp), cat == 2);
        ASSERT_EQ(Core::isUpper(cp), cat == 1 || cat == 3);
        ASSERT_EQ(Core::isLetter(cp), cat >= 1 && cat <= 3);
    }
}

TEST(TextUnicodeTable, EveryCodePointMatchesTheReferenceBySearch) {
    unsigned saved = Core::_UniCharInfo_LinearCount;
    Core::_UniCharInfo_LinearCount = 0;
    checkEveryCodePoint();
    Core::_UniCharInfo_LinearCount = saved;
}

TEST(TextUnicodeTable, EveryCodePointMatchesTheReferenceWithDensePrefix) {
    Core::init_unicodeCharInfo();
    checkEveryCodePoint();
}

TEST(TextUnicodeTable, SampleRows) {
    Core::init_unicodeCharInfo();
    struct Row {
        unsigned code, lower, upper, category;
    };
    const Row rows[] = {
        {0x41, 0x61, 0x41, 1},
        {0x61, 0x61, 0x41, 2},
        {0xDF, 0xDF, 0xDF, 2},
        {0x130, 0x69, 0x130, 1},
        {0x1C5, 0x1C6, 0x1C4, 3},
        {0x0, 0x0, 0x0, 26},
        {0x4E01, 0x4E01, 0x4E01, 0},
        {0x378, 0x378, 0x378, 0},
        {0x110000, 0x110000, 0x110000, 0},
        {0x391, 0x3B1, 0x391, 1},
        {0x2028, 0x2028, 0x2028, 24},
        {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0},
    };
    for (const Row& r : rows) {
        Core::UniCharInfo info = Core::getUniCharInfo(r.code);
        EXPECT_EQ(info.code, r.code);
        EXPECT_EQ(info.lower, r.lower) << std::hex << r.code;
        EXPECT_EQ(info.upper, r.upper) << std::hex << r.code;
        EXPECT_EQ(info.category, r.category) << std::hex << r.code;
    }
    EXPECT_EQ(Core::getUniCharInfo(0x4E00).category, 5u);
    EXPECT_EQ(Core::getUniCharInfo(0x10FFFD).category, 29u);
}

TEST(TextUnicodeTable, CasePredicates) {
    EXPECT_EQ(Core::toLower(0x41u), 0x61u);
    EXPECT_EQ(Core::toUpper(0x61u), 0x41u);
    EXPECT_EQ(Core::toUpper(0x41u), 0x41u);
    EXPECT_EQ(Core::toUpper(0xDFu), 0xDFu);
    EXPECT_EQ(Core::toLower(0x130u), 0x69u);
    EXPECT_EQ(Core::toUpper(0x1C5u), 0x1C4u);
    EXPECT_TRUE(Core::isUpper(0x1C5u));
    EXPECT_FALSE(Core::isLower(0x1C5u));
    EXPECT_FALSE(Core::isLetter(0xAAu));
    EXPECT_FALSE(Core::isLetter(0x2B0u));
    EXPECT_FALSE(Core::isLetter(0x4E00u));
    EXPECT_TRUE(Core::isLetter(0x3B1u));
}

TEST(TextUnicodeTable, CompareUsesTheNumericDifference) {
    Core::UniCharInfo low = {0, 0, 0, 0}, high = {0xFFFFFFFF, 0, 0, 0};
    EXPECT_LT(Core::UniCharInfo_compare(&low, &high), 0);
    EXPECT_GT(Core::UniCharInfo_compare(&high, &low), 0);
    EXPECT_EQ(Core::UniCharInfo_compare(&high, &high), 0);
}

} // namespace
