// quickSort and quickFind against the standard library, and the edges of
// both: empty input, keys below the first element, all-equal arrays, and the
// full 64-bit comparison result.
#include "libs/core/QnSort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

unsigned long long gElementSize = 0;

long long compareBytes(const void* a, const void* b) {
    return std::memcmp(a, b, gElementSize);
}

long long compareInt64(const void* a, const void* b) {
    // Deliberately the raw difference: only correct when the full 64-bit
    // result reaches the sort.
    return *static_cast<const long long*>(a) - *static_cast<const long long*>(b);
}

std::vector<std::vector<unsigned char>> split(const std::vector<unsigned char>& flat, size_t size) {
    std::vector<std::vector<unsigned char>> out;
    for (size_t i = 0; i + size <= flat.size(); i += size)
        out.emplace_back(flat.begin() + i, flat.begin() + i + size);
    return out;
}

enum class Shape { Random, FewValues, Sorted, Reversed, AllEqual };

TEST(TextSort, AgreesWithStdSort) {
    std::mt19937 rng(12345);
    const Shape shapes[] = {Shape::Random, Shape::FewValues, Shape::Sorted, Shape::Reversed,
                            Shape::AllEqual};
    const size_t counts[] = {0, 1, 2, 3, 7, 8, 9, 10, 16, 17, 100, 257, 1000, 2000};
    for (size_t size = 1; size <= 40; ++size) {
        for (size_t count : counts) {
            for (Shape shape : shapes) {
                std::vector<unsigned char> flat(count * size);
                for (auto& b : flat)
                    b = static_cast<unsigned char>(rng());
                if (shape == Shape::FewValues)
                    for (auto& b : flat)
                        b &= 1; // many duplicates
                if (shape == Shape::AllEqual) std::fill(flat.begin(), flat.end(), 0x5A);
                auto want = split(flat, size);
                std::sort(want.begin(), want.end());
                if (shape == Shape::Sorted || shape == Shape::Reversed) {
                    auto ordered = want;
                    if (shape == Shape::Reversed) std::reverse(ordered.begin(), ordered.end());
                    flat.clear();
                    for (auto& e : ordered)
                        flat.insert(flat.end(), e.begin(), e.end());
                }
                gElementSize = size;
                Core::quickSort(flat.data(), count, size, compareBytes);
                ASSERT_EQ(split(flat, size), want) << "size " << size << " count " << count
                                                   << " shape " << static_cast<int>(shape);
            }
        }
    }
}

TEST(TextSort, UsesTheFull64BitComparison) {
    // Differences that a 32-bit result would see with the wrong sign.
    std::vector<long long> v = {0x100000000LL,
                                0,
                                -0x100000000LL,
                                0x3FFFFFFF00000000LL,
                                1,
                                0x180000000LL,
                                -5,
                                3,
                                0x200000001LL,
                                -0x3FFFFFFF00000000LL};
    auto want = v;
    std::sort(want.begin(), want.end());
    Core::quickSort(v.data(), v.size(), sizeof(long long), compareInt64);
    EXPECT_EQ(v, want);

    long long key = 0x180000000LL;
    unsigned long long index = 0;
    const void* found =
        Core::quickFind(&key, v.data(), v.size(), sizeof(long long), compareInt64, &index);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*static_cast<const long long*>(found), key);
    EXPECT_EQ(v[index], key);
}

struct CompareLog {
    static std::vector<std::pair<const void*, const void*>> calls;
    static long long compare(const void* a, const void* b) {
        calls.emplace_back(a, b);
        return static_cast<long long>(*static_cast<const int*>(a)) - *static_cast<const int*>(b);
    }
};
std::vector<std::pair<const void*, const void*>> CompareLog::calls;

TEST(TextSort, EightElementsUseSelectionSortNineElementsPartition) {
    std::vector<int> eight = {5, 3, 8, 1, 9, 2, 7, 4};
    CompareLog::calls.clear();
    Core::quickSort(eight.data(), eight.size(), sizeof(int), CompareLog::compare);
    EXPECT_TRUE(std::is_sorted(eight.begin(), eight.end()));
    // Selection sort over 8 elements: 7 + 6 + ... + 1 comparisons, the first
    // one of element 1 against element 0.
    EXPECT_EQ(CompareLog::calls.size(), 28u);
    ASSERT_FALSE(CompareLog::calls.empty());

    std::vector<int> nine = {5, 3, 8, 1, 9, 2, 7, 4, 6};
    CompareLog::calls.clear();
    Core::quickSort(nine.data(), nine.size(), sizeof(int), CompareLog::compare);
    EXPECT_TRUE(std::is_sorted(nine.begin(), nine.end()));
    // The partition starts with the median of three: first against middle.
    ASSERT_GE(CompareLog::calls.size(), 3u);
    EXPECT_EQ(CompareLog::calls[0].first, &nine[0]);
    EXPECT_EQ(CompareLog::calls[0].second, &nine[4]);
    EXPECT_EQ(CompareLog::calls[1].second, &nine[8]);
}

TEST(TextSort, AllEqualTerminatesAndKeepsContent) {
    std::vector<int> v(5000, 42);
    Core::quickSort(v.data(), v.size(), sizeof(int), CompareLog::compare);
    EXPECT_EQ(v, std::vector<int>(5000, 42));
}

TEST(TextSort, NothingHappensForDegenerateArguments) {
    std::vector<int> v = {3, 1, 2};
    const auto orig = v;
    Core::quickSort(v.data(), 1, sizeof(int), CompareLog::compare);
    Core::quickSort(v.data(), 3, 0, CompareLog::compare);
    Core::quickSort(v.data(), 3, sizeof(int), nullptr);
    Core::quickSort(nullptr, 3, sizeof(int), CompareLog::compare);
    EXPECT_EQ(v, orig);
}

TEST(TextFind, EdgesAndEveryElement) {
    const int data[] = {10, 20, 30, 40, 50};
    unsigned long long index = 7;
    int key = 5;
    EXPECT_EQ(Core::quickFind(&key, data, 0, sizeof(int), CompareLog::compare, &index), nullptr);
    EXPECT_EQ(index, ~0ULL);
    index = 7;
    EXPECT_EQ(Core::quickFind(&key, data, 5, sizeof(int), CompareLog::compare, &index),
              nullptr); // below first
    EXPECT_EQ(index, ~0ULL);
    key = 60;
    EXPECT_EQ(Core::quickFind(&key, data, 5, sizeof(int), CompareLog::compare, &index), nullptr);
    EXPECT_EQ(index, ~0ULL);
    key = 35;
    EXPECT_EQ(Core::quickFind(&key, data, 5, sizeof(int), CompareLog::compare, &index), nullptr);
    EXPECT_EQ(Core::quickFind(nullptr, data, 5, sizeof(int), CompareLog::compare, &index), nullptr);
    EXPECT_EQ(Core::quickFind(&key, nullptr, 5, sizeof(int), CompareLog::compare, &index), nullptr);
    EXPECT_EQ(Core::quickFind(&key, data, 5, 0, CompareLog::compare, &index), nullptr);
    EXPECT_EQ(Core::quickFind(&key, data, 5, sizeof(int), nullptr, &index), nullptr);
    EXPECT_EQ(index, ~0ULL);
    for (unsigned long long n = 1; n <= 5; ++n) {
        for (unsigned long long i = 0; i < n; ++i) {
            CompareLog::calls.clear();
            EXPECT_EQ(Core::quickFind(&data[i], data, n, sizeof(int), CompareLog::compare, &index),
                      &data[i]);
            EXPECT_EQ(index, i);
            // The key is always the first argument.
            for (auto& c : CompareLog::calls)
                EXPECT_EQ(c.first, &data[i]);
        }
    }
}

} // namespace
