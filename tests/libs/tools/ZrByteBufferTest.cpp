// Byte buffer wire layout, growth, six-bit text form, and the token scanner.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "libs/tools/ZrByteBuffer.h"
#include "libs/tools/ZrScanner.h"
#include "tests/libs/tools/ByteBufferTesting.h"

namespace {

using hx::test::content;
using hx::test::fill;

std::string text(ZrByteBuffer const& b) {
    return std::string(reinterpret_cast<char const*>(b.getBuffer()), b.getWritePos());
}

TEST(ZrByteBuffer, OwnedBufferGrowsGeometrically) {
    ZrByteBuffer b;
    EXPECT_EQ(b.getSize(), 0u);
    b.write("abc", 3);
    EXPECT_EQ(b.getSize(), 6u);
    b.write("0123456789", 10);
    EXPECT_EQ(b.getSize(), 32u);
    EXPECT_EQ(text(b), "abc0123456789");
}

TEST(ZrByteBuffer, BorrowedBufferKeepsItsSize) {
    unsigned char storage[6] = {0, 0, 0, 0, 0xEE, 0xEE};
    ZrByteBuffer b(storage, 4);
    b.write("uvwxyz", 6);
    EXPECT_EQ(b.getSize(), 4u);
    EXPECT_EQ(b.getWritePos(), 4u);
    EXPECT_EQ(std::memcmp(storage, "uvwx", 4), 0);
    EXPECT_EQ(storage[4], 0xEE);
    b.resize(100);
    EXPECT_EQ(b.getSize(), 4u);
}

TEST(ZrByteBuffer, WireLayout) {
    ZrByteBuffer b;
    b << 258;
    EXPECT_EQ(content(b), (std::vector<unsigned char>{0x02, 0x01, 0x00, 0x00}));

    ZrByteBuffer s;
    s << ZrString("abc");
    EXPECT_EQ(content(s), (std::vector<unsigned char>{4, 0, 0, 0, 'a', 'b', 'c', 0}));

    ZrByteBuffer m;
    m << static_cast<signed char>(-1) << static_cast<unsigned char>(7) << true << false
      << static_cast<short>(-2) << static_cast<unsigned short>(0x1234) << 0x01020304u;
    EXPECT_EQ(content(m),
              (std::vector<unsigned char>{0xFF, 7, 1, 0, 0xFE, 0xFF, 0x34, 0x12, 4, 3, 2, 1}));

    ZrByteBuffer nested;
    nested << s;
    EXPECT_EQ(content(nested),
              (std::vector<unsigned char>{8, 0, 0, 0, 4, 0, 0, 0, 'a', 'b', 'c', 0}));
}

TEST(ZrByteBuffer, TypedReads) {
    unsigned char bytes[] = {0x34, 0x12, 2, 1, 0xFE, 0xFF, 0xFF, 0xFF};
    ZrByteBuffer b(bytes, sizeof bytes);
    unsigned short us = 0;
    bool flag = true;
    bool one = false;
    int i = 0;
    b >> us >> flag >> one >> i;
    EXPECT_EQ(us, 0x1234);
    EXPECT_FALSE(flag); // 2 is not true
    EXPECT_TRUE(one);
    EXPECT_EQ(i, -2);

    // Nothing left: one-byte reads keep the target, the others count the
    // missing bytes as 0.
    signed char sc = 9;
    unsigned char uc = 9;
    short sh = 9;
    unsigned short ush = 9;
    bool bo = true;
    unsigned int ui = 9;
    b >> sc >> uc >> sh >> ush >> bo >> ui;
    EXPECT_EQ(sc, 9);
    EXPECT_EQ(uc, 9);
    EXPECT_EQ(sh, 0);
    EXPECT_EQ(ush, 0);
    EXPECT_FALSE(bo);
    EXPECT_EQ(ui, 0u);

    unsigned char half[] = {0x7F};
    ZrByteBuffer h(half, 1);
    short partial = -1;
    h >> partial;
    EXPECT_EQ(partial, 0x7F);
    ZrByteBuffer h2(half, 1);
    unsigned int partialInt = 0xFFFFFFFF;
    h2 >> partialInt;
    EXPECT_EQ(partialInt, 0x7Fu);
}

TEST(ZrByteBuffer, StringRoundTripAndOverlongCount) {
    ZrByteBuffer b;
    b << ZrString("abc");
    b.rewind();
    ZrString s("previous");
    ZrByteBuffer in(b.getBuffer(), 8);
    in >> s;
    EXPECT_STREQ(s, "abc");
    EXPECT_EQ(s.getLength(), 3);

    unsigned char overlong[] = {50, 0, 0, 0, 'x', 'y'};
    ZrByteBuffer o(overlong, sizeof overlong);
    o >> s;
    EXPECT_STREQ(s, "");
    EXPECT_EQ(o.getReadPos(), 4u);

    unsigned char embedded[] = {4, 0, 0, 0, 'a', 0, 'b', 0};
    ZrByteBuffer e(embedded, sizeof embedded);
    e >> s;
    EXPECT_STREQ(s, "a");
    EXPECT_EQ(s.getLength(), 1);
    EXPECT_TRUE(e.eos());
}

TEST(ZrByteBuffer, NestedBufferIntoOwnedAndBorrowedTargets) {
    unsigned char wire[] = {5, 0, 0, 0, 1, 2, 3, 4, 5, 0xAA};
    {
        ZrByteBuffer src(wire, sizeof wire);
        ZrByteBuffer t;
        src >> t;
        EXPECT_EQ(content(t), (std::vector<unsigned char>{1, 2, 3, 4, 5}));
        EXPECT_EQ(t.getSize(), 5u);
        EXPECT_EQ(t.getReadPos(), 0u);
        unsigned char next = 0;
        src >> next;
        EXPECT_EQ(next, 0xAA);
    }
    {
        // A borrowed target smaller than the count stores what fits; the
        // stream still moves past the whole count.
        unsigned char small[3] = {0xEE, 0xEE, 0xEE};
        unsigned char fence = 0xEE;
        ZrByteBuffer src(wire, sizeof wire);
        ZrByteBuffer t(small, 2);
        src >> t;
        EXPECT_EQ(t.getWritePos(), 2u);
        EXPECT_EQ(small[0], 1);
        EXPECT_EQ(small[1], 2);
        EXPECT_EQ(small[2], 0xEE);
        EXPECT_EQ(fence, 0xEE);
        unsigned char next = 0;
        src >> next;
        EXPECT_EQ(next, 0xAA);
    }
    {
        unsigned char shortWire[] = {9, 0, 0, 0, 1};
        ZrByteBuffer src(shortWire, sizeof shortWire);
        ZrByteBuffer t(4);
        src >> t;
        EXPECT_EQ(t.getSize(), 0u);
        EXPECT_EQ(src.getReadPos(), 4u);
    }
}

TEST(ZrByteBuffer, Positions) {
    unsigned char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ZrByteBuffer b(bytes, 10);
    b.forward(3);
    EXPECT_EQ(b.getReadPos(), 3u);
    EXPECT_EQ(b.peek(0), 4);
    EXPECT_EQ(b.peek(6), 10);
    EXPECT_EQ(b.peek(7), 0);
    b.rewind(5);
    EXPECT_EQ(b.getReadPos(), 0u);
    b.forward(50);
    EXPECT_EQ(b.getReadPos(), 10u);
    EXPECT_TRUE(b.eos());
    EXPECT_EQ(b.peek(0), 0);
    b.rewind();
    EXPECT_EQ(b.getRemaining(), 10u);
}

TEST(ZrByteBuffer, ReadVariants) {
    unsigned char bytes[3] = {7, 8, 9};
    ZrByteBuffer b(bytes, 3);
    void* got = nullptr;
    b.readAndAlloc(got, 6);
    unsigned char* g = static_cast<unsigned char*>(got);
    EXPECT_EQ(std::vector<unsigned char>(g, g + 6), (std::vector<unsigned char>{7, 8, 9, 0, 0, 0}));
    delete[] g;

    ZrByteBuffer none;
    unsigned char dst[2] = {5, 5};
    none.read(dst, 2);
    EXPECT_EQ(dst[0], 5);
    b.read(nullptr, 2);
    none.write(static_cast<char const*>(nullptr), 4);
    EXPECT_EQ(none.getSize(), 0u);
}

TEST(ZrByteBuffer, StorageHandOver) {
    ZrByteBuffer b(8);
    b << 1;
    unsigned char* raw = b.releaseBuffer();
    EXPECT_EQ(b.getBuffer(), nullptr);
    EXPECT_EQ(b.getSize(), 0u);
    EXPECT_FALSE(b.isBorrowed());
    EXPECT_EQ(raw[0], 1);
    b.setBuffer(raw, 8);
    EXPECT_TRUE(b.isBorrowed());
    b.resizeAndKeep(2); // borrowed: nothing
    EXPECT_EQ(b.getSize(), 8u);
    b.setBuffer(nullptr, 0);
    delete[] raw;

    ZrByteBuffer k(4);
    k << 0x04030201;
    k.resizeAndKeep(2);
    EXPECT_EQ(k.getSize(), 2u);
    EXPECT_EQ(k.getWritePos(), 2u);
    EXPECT_EQ(content(k), (std::vector<unsigned char>{1, 2}));
}

TEST(ZrByteBuffer, UuExamples) {
    struct {
        std::vector<unsigned char> bytes;
        char const* text;
    } const cases[] = {
        {{0x00, 0x10, 0x83}, "0123"}, {{0xFF}, "#l"},      {{}, ""},
        {{0xFF, 0xFF, 0xFF}, "####"}, {{'a', 'b'}, "OM8"},
    };
    for (auto const& c : cases) {
        ZrByteBuffer src;
        fill(src, c.bytes);
        ZrByteBuffer enc;
        enc.uuEncode(src);
        EXPECT_EQ(text(enc), c.text);
        ZrByteBuffer encoded(static_cast<unsigned>(std::strlen(c.text)));
        encoded.write(c.text, static_cast<unsigned>(std::strlen(c.text)));
        ZrByteBuffer dec;
        dec.uuDecode(encoded);
        EXPECT_EQ(content(dec), c.bytes) << c.text;
    }
}

TEST(ZrByteBuffer, UuRoundTripForEveryLengthUpTo300) {
    std::mt19937 rng(5);
    for (unsigned n = 0; n <= 300; ++n) {
        std::vector<unsigned char> bytes(n);
        for (auto& x : bytes)
            x = static_cast<unsigned char>(rng());
        ZrByteBuffer src;
        fill(src, bytes);
        ZrByteBuffer enc;
        enc.uuEncode(src);
        ASSERT_EQ(enc.getWritePos(), (n / 3) * 4 + (n % 3 ? n % 3 + 1 : 0)) << n;
        // Decode from exactly the written characters.
        ZrByteBuffer chars(enc.getBuffer(), enc.getWritePos());
        ZrByteBuffer dec;
        dec.uuDecode(chars);
        ASSERT_EQ(content(dec), bytes) << n;
    }
}

TEST(ZrByteBuffer, UuDecodeOfForeignCharactersStaysInBounds) {
    char const junk[] = "!~ \x01\xff";
    ZrByteBuffer src(reinterpret_cast<unsigned char*>(const_cast<char*>(junk)), 5);
    ZrByteBuffer dec;
    dec.uuDecode(src);
    EXPECT_EQ(dec.getWritePos(), 3u); // four characters, then a lone one
}

struct ScanCase {
    char const* src;
    char delimiter;
    std::vector<std::string> tokens;
};

TEST(ZrScanner, Tokens) {
    ScanCase const cases[] = {
        {"a, b", ',', {"a", "b"}},
        {"\"x, y\",z", ',', {"x, y", "z"}},
        {"\"say \\\"hi\\\"\"", ',', {"say \"hi\""}},
        {"a\\(b\\)c", ',', {"a(b)c"}},
        {"back\\slash", ',', {"back\\slash"}},
        {"\"", ',', {""}},
        {"   spaced  ;  next", ';', {"spaced  ", "next"}},
        {"", ',', {""}},
        {"one,,three", ',', {"one", "", "three"}},
        {"\"open, never closed", ',', {"open, never close"}},
        {"trail\\", ',', {"trail\\"}},
    };
    ZrScanner scanner;
    for (auto const& c : cases) {
        std::vector<std::string> got;
        ZrString token;
        char const* p = c.src;
        while (p) {
            p = scanner.scanNextToken(p, token, c.delimiter);
            got.emplace_back(static_cast<char const*>(token));
        }
        EXPECT_EQ(got, c.tokens) << c.src;
    }
    ZrString token("stale");
    EXPECT_EQ(scanner.scanNextToken(nullptr, token, ','), nullptr);
    EXPECT_STREQ(token, "");
}

TEST(ZrScanner, ReturnsThePositionOfTheNextToken) {
    ZrScanner scanner;
    ZrString token;
    char const* src = "a, b";
    char const* next = scanner.scanNextToken(src, token, ',');
    EXPECT_EQ(next, src + 3);
    EXPECT_EQ(scanner.scanNextToken(next, token, ','), nullptr);
    EXPECT_STREQ(token, "b");
}

} // namespace
