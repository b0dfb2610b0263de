// The formatter: the conversions against their documented texts, random
// integer conversions against the C library, and the three sinks.
#include "libs/core/QnFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string fmt(const char* f, ...) {
    char buf[2048];
    va_list args;
    va_start(args, f);
    format(buf, sizeof buf, f, args);
    va_end(args);
    return buf;
}

TEST(TextFormat, IntegerConversions) {
    EXPECT_EQ(fmt("%5d|%-5d|%05d", 42, 42, 42), "   42|42   |00042");
    EXPECT_EQ(fmt("%+d % d", 5, 5), "+5  5");
    EXPECT_EQ(fmt("%.0d", 0), "");
    EXPECT_EQ(fmt("%#x", 0), "0");
    EXPECT_EQ(fmt("%#x", 255), "0xff");
    EXPECT_EQ(fmt("%#X", 255), "0XFF");
    EXPECT_EQ(fmt("%#o", 8), "010");
    EXPECT_EQ(fmt("%#.0o", 0), "0");
    EXPECT_EQ(fmt("%.3d", 7), "007");
    EXPECT_EQ(fmt("%08.3d", 7), "     007");
    EXPECT_EQ(fmt("%u", -1), "4294967295");
    EXPECT_EQ(fmt("%hhu", 0x1FF), "255");
    EXPECT_EQ(fmt("%hu", 0x12345), "9029");
    EXPECT_EQ(fmt("%hd", 0x12345), "74565");
    EXPECT_EQ(fmt("%d", INT_MIN), "-2147483648");
    EXPECT_EQ(fmt("%lld", LLONG_MIN), "-9223372036854775808");
    EXPECT_EQ(fmt("%llu", ULLONG_MAX), "18446744073709551615");
    EXPECT_EQ(fmt("%zu %td %Id", size_t(1) << 40, ptrdiff_t(-3), 1LL << 33),
              "1099511627776 -3 8589934592");
    EXPECT_EQ(fmt("%-+6d|", 3), "+3    |");
    EXPECT_EQ(fmt("%-06d|", -3), "-3    |");
    EXPECT_EQ(fmt("%06d", -3), "-00003");
}

TEST(TextFormat, LongIs64Bit) {
    EXPECT_EQ(fmt("%ld", 0x123456789L), "4886718345");
    EXPECT_EQ(fmt("%lx", 0x123456789abcdefUL), "123456789abcdef");
    EXPECT_EQ(fmt("%ld", -0x123456789L), "-4886718345");
}

TEST(TextFormat, PointerCharStringAndCount) {
    EXPECT_EQ(fmt("%p", reinterpret_cast<void*>(0x1234abcdULL)), "000000001234ABCD");
    EXPECT_EQ(fmt("%#p", reinterpret_cast<void*>(0xabcULL)), "0X0000000000000ABC");
    EXPECT_EQ(fmt("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(fmt("%.2s", "hello"), "he");
    EXPECT_EQ(fmt("%7.3s|%-5s|", "hello", "ab"), "    hel|ab   |");
    EXPECT_EQ(fmt("%-4c|", 'x'), "x   |");
    EXPECT_EQ(fmt("%03c", 'x'), "00x");
    EXPECT_EQ(fmt("%3c", 'x'), "  x");
    int n = -1;
    EXPECT_EQ(fmt("abc%n", &n), "abc");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(fmt("a%nb", static_cast<int*>(nullptr)), "ab");
    EXPECT_EQ(fmt("100%%"), "100%");
}

TEST(TextFormat, StarWidthAndPrecision) {
    EXPECT_EQ(fmt("%*d|", 5, 42), "   42|");
    EXPECT_EQ(fmt("%*d|", -5, 42), "42|"); // a negative width pads nothing
    EXPECT_EQ(fmt("%.*d", 4, 42), "0042");
    EXPECT_EQ(fmt("%.*d", -4, 42), "42"); // a negative precision is none
    EXPECT_EQ(fmt("%0.*d", -4, 42), "42");
    EXPECT_EQ(fmt("%*.*f|", 8, 2, 3.14159), "    3.14|");
    EXPECT_EQ(fmt("%0*.*f|", 0, 1, 2.25), "2.2|");
}

TEST(TextFormat, HugeWidthsSaturateAndTheCounterSeesEveryCharacter) {
    // Digits beyond INT_MAX saturate instead of wrapping to a small or negative width.
    char small[8];
    EXPECT_EQ(format(small, sizeof small, "%99999999999999999999d", 1), sizeof small);
    EXPECT_EQ(std::string(small), "       ");
    EXPECT_EQ(format(nullptr, 0, "%3000000d", 1), 3000000u);
    EXPECT_EQ(format(nullptr, 0, "%.99999999999999d", 1), 512u); // precision is capped at 512
}

TEST(TextFormat, UnknownConversionEndsTheOutput) {
    char buf[32];
    EXPECT_EQ(format(buf, sizeof buf, "ab%qcd"), 2u);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(format(buf, sizeof buf, "ab%"), 2u);
    EXPECT_STREQ(buf, "ab");
    EXPECT_EQ(format(buf, sizeof buf, "x%Lfy", 1.0), 1u);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(format(buf, sizeof buf, "x%5%y"), 1u);
    EXPECT_STREQ(buf, "x");
    EXPECT_EQ(format(buf, sizeof buf, nullptr), 0u);
    EXPECT_STREQ(buf, "");
}

TEST(TextFormat, SizedFormatCutsAndCounts) {
    char buf[8];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(format(buf, 4, "%s", "hello"), 4u);
    EXPECT_STREQ(buf, "hel");
    EXPECT_EQ(format(nullptr, 0, "%d", 1234), 4u);
    EXPECT_EQ(format(buf, 0, "%d", 1234), 4u);
    EXPECT_EQ(buf[0], 'h');
    EXPECT_EQ(format(buf, 1, "%d", 1234), 1u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(format(buf, 5, "%d", 1234), 4u);
    EXPECT_STREQ(buf, "1234");
}

TEST(TextFormat, FloatingPoint) {
    EXPECT_EQ(fmt("%.2f", 2.675), "2.67");
    EXPECT_EQ(fmt("%e", 0.0), "0.000000e+00");
    EXPECT_EQ(fmt("%g", 1e-5), "1e-05");
    EXPECT_EQ(fmt("%f", HUGE_VAL), "inf");
    EXPECT_EQ(fmt("%F", HUGE_VAL), "INF");
    EXPECT_EQ(fmt("%E", -NAN).substr(0, 1), "-");
    EXPECT_EQ(fmt("%+08.3f|%-8.1e|", 3.14159, 1234.5), "+003.142|1.2e+03 |");
    EXPECT_EQ(fmt("%lf %a", 0.5, 1.0), "0.500000 0x1p+0");
    // Results longer than the stack buffer go through an allocation.
    const std::string big = fmt("%.200f", 1.0);
    EXPECT_EQ(big.size(), 202u);
    EXPECT_EQ(big.substr(0, 4), "1.00");
    EXPECT_EQ(format(nullptr, 0, "%300.1f", 1.0), 300u);
    // A conversion longer than 63 characters writes nothing and formatting goes on.
    EXPECT_EQ(fmt("a%000000000000000000000000000000000000000000000000000000000000000001fb", 1.0),
              "ab");
}

TEST(TextFormat, RandomIntegerConversionsAgreeWithTheCLibrary) {
    // Outside the documented differences (%l is 64-bit here, %h/%hh do not
    // narrow signed values, %p), integer output matches the C library.
    std::mt19937_64 rng(99);
    const char* flagSets[] = {"",   "-",  "+",  " ",  "#",  "0",  "-+",
                              "+0", " 0", "#0", "-#", "+ ", "-0", "#-+ 0"};
    const char convs[] = {'d', 'i', 'u', 'o', 'x', 'X'};
    for (int i = 0; i < 20000; ++i) {
        std::string conversion = "%";
        conversion += flagSets[rng() % (sizeof flagSets / sizeof flagSets[0])];
        if (rng() % 2) conversion += std::to_string(rng() % 30 + 1);
        if (rng() % 2) conversion += "." + std::to_string(rng() % 25);
        const bool wide = rng() % 2;
        const char conv = convs[rng() % sizeof convs];
        const bool narrowUnsigned = !wide && conv != 'd' && conv != 'i' && rng() % 3 == 0;
        if (wide)
            conversion += "ll";
        else if (narrowUnsigned)
            conversion += (rng() % 2) ? "h" : "hh";
        conversion += conv;
        conversion = "<" + conversion + ">";

        unsigned long long raw = rng();
        switch (rng() % 4) {
        case 0:
            raw &= 0xFF;
            break;
        case 1:
            raw = 0;
            break;
        case 2:
            raw |= 1ULL << 63;
            break;
        default:
            break;
        }
        char ours[256], theirs[256];
        if (wide) {
            format(ours, sizeof ours, conversion.c_str(), static_cast<long long>(raw));
            std::snprintf(theirs, sizeof theirs, conversion.c_str(), static_cast<long long>(raw));
        } else {
            format(ours, sizeof ours, conversion.c_str(), static_cast<int>(raw));
            std::snprintf(theirs, sizeof theirs, conversion.c_str(), static_cast<int>(raw));
        }
        ASSERT_STREQ(ours, theirs) << conversion << " of " << raw;
    }
}

TEST(TextFormat, IntegerWriterBasesAndLimits) {
    FormatTarget t;
    char buf[128];
    t.init(buf, sizeof buf);
    t.mpfnBegin(&t);
    FmtInt v = {-1, -1, 0, 'x', 35, 36, true, 0, false};
    t.format(v);
    v = {-1, -1, 0, 'x', 5, 1, true, 0, true}; // base below 2 is 2
    t.format(v);
    v = {-1, -1, 0, 'x', 71, 99, true, 0, true}; // above 36 is 36
    t.format(v);
    t.mpfnEnd(&t);
    EXPECT_STREQ(buf, "z1011Z");
}

// --- sinks ---

TEST(TextFormatSink, StringSinkCutsAndTerminates) {
    char buf[8];
    FormatTarget t(buf, 4);
    t.mpfnBegin(&t);
    t.mpfnWrite(&t, "abcdef", 6);
    EXPECT_EQ(t.mpfnReadPos(&t), 4u);
    EXPECT_EQ(t.mpfnEnd(&t), 4u);
    EXPECT_STREQ(buf, "abc");

    t.init(buf, 7);
    t.mpfnBegin(&t);
    t.mpfnWrite(&t, "abcdef", 6);
    t.mpfnWrite(&t, nullptr, 3);
    EXPECT_EQ(t.mpfnEnd(&t), 6u);
    EXPECT_STREQ(buf, "abcdef");

    t.init(buf, 3);
    t.mpfnBegin(&t);
    t.mpfnWriteChars(&t, 'x', 10);
    t.mpfnWriteChar(&t, 'y');
    EXPECT_EQ(t.mpfnEnd(&t), 3u);
    EXPECT_STREQ(buf, "xx");
}

TEST(TextFormatSink, NullSinkCountsEverything) {
    FormatTarget t;
    EXPECT_EQ(t.format("%s-%5d", "abc", 1), 9u);
    t.init(nullptr, 10);
    EXPECT_EQ(t.format("%d", 123456), 6u);
}

struct Flushed {
    std::vector<std::string> pieces;
    static void flush(char* buffer, unsigned long long length, void* context) {
        static_cast<Flushed*>(context)->pieces.emplace_back(buffer, length);
    }
};

TEST(TextFormatSink, FileSinkFlushesFullBuffersLazily) {
    char buf[4];
    Flushed f;
    FormatTarget t(buf, sizeof buf, Flushed::flush, &f);
    t.mpfnBegin(&t);
    t.mpfnWrite(&t, "abcdefghij", 10);
    EXPECT_EQ(f.pieces, (std::vector<std::string>{"abcd", "efgh"}));
    EXPECT_EQ(t.mpfnEnd(&t), 10u);
    EXPECT_EQ(f.pieces, (std::vector<std::string>{"abcd", "efgh", "ij"}));

    // A buffer filled exactly by the last write is handed over by end.
    f.pieces.clear();
    EXPECT_EQ(t.format("%s%c%3c", "wxy", 'z', '!'), 7u);
    EXPECT_EQ(f.pieces, (std::vector<std::string>{"wxyz", "  !"}));

    // flush hands over what is buffered.
    f.pieces.clear();
    t.mpfnBegin(&t);
    t.mpfnWriteChars(&t, '-', 6);
    t.flush();
    EXPECT_EQ(f.pieces, (std::vector<std::string>{"----", "--"}));
    t.flush();
    EXPECT_EQ(f.pieces.size(), 2u);
}

TEST(TextFormatSink, FileSinkWithoutBufferUsesItsOwn63Bytes) {
    Flushed f;
    FormatTarget t(nullptr, 0, Flushed::flush, &f);
    EXPECT_EQ(t.mSize, 63u);
    std::string text(130, 'q');
    EXPECT_EQ(t.format("%s", text.c_str()), 130u);
    ASSERT_EQ(f.pieces.size(), 3u);
    EXPECT_EQ(f.pieces[0].size(), 63u);
    EXPECT_EQ(f.pieces[1].size(), 63u);
    EXPECT_EQ(f.pieces[2].size(), 4u);
}

} // namespace

namespace {

TEST(TextFormat, DoubleWriterTakesOnlyASpecForOneDouble) {
    char buf[64];
    FormatTarget t(buf, sizeof buf);
    struct Case {
        const char* conversion;
        const char* text;
    };
    const Case cases[] = {
        {"%.3f", "1.500"},
        {"%+e", "+1.500000e+00"},
        {"%8.1lf", "     1.5"},
        {"%G", "1.5"},
        {"%*f", ""},
        {"%s", ""},
        {"%d", ""},
        {"%Lf", ""},
        {"%.2", ""},
        {"f", ""},
        {"%f%s", ""},
    };
    for (const Case& c : cases) {
        t.mpfnBegin(&t);
        const unsigned long long n = t.format(1.5, c.conversion, std::strlen(c.conversion));
        t.mpfnEnd(&t);
        EXPECT_STREQ(buf, c.text) << c.conversion;
        EXPECT_EQ(n, std::strlen(c.text)) << c.conversion;
    }
}

} // namespace
