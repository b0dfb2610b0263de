// The LZW codec: its exact code stream, round trips across the dictionary
// restart, and malformed input.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "libs/tools/XCodecLZW.h"
#include "tests/libs/tools/ByteBufferTesting.h"

namespace {

using hx::test::Bytes;
using hx::test::content;
using hx::test::fill;

Bytes encode(XCodecLZW& codec, Bytes const& v, bool* ok = nullptr) {
    ZrByteBuffer in;
    fill(in, v);
    ZrByteBuffer out;
    bool r = codec.encode(in, out);
    if (ok) *ok = r;
    EXPECT_EQ(out.getSize(), out.getWritePos()); // an owned output ends at its content
    return content(out);
}

Bytes decode(XCodecLZW& codec, Bytes const& v) {
    ZrByteBuffer in;
    fill(in, v);
    ZrByteBuffer out;
    codec.decode(in, out);
    return content(out);
}

// Splits an encoded stream into codes following the encoder's width rule.
std::vector<unsigned> codesOf(Bytes const& enc, size_t count) {
    std::vector<unsigned> codes;
    unsigned acc = 0;
    unsigned bits = 0;
    size_t pos = 0;
    unsigned next = 256;
    unsigned width = 9;
    while (codes.size() < count) {
        while (bits < width) {
            acc = (acc << 8) | (pos < enc.size() ? enc[pos] : 0);
            ++pos;
            bits += 8;
        }
        bits -= width;
        codes.push_back((acc >> bits) & ((1u << width) - 1));
        acc &= (1u << bits) - 1;
        // The encoder adds an entry after every code but the last.
        ++next;
        if (next == (1u << width)) ++width;
        if (next == 4096) {
            next = 256;
            width = 9;
        }
    }
    return codes;
}

TEST(XCodecLZW, ExactCodeStream) {
    XCodecLZW codec;
    EXPECT_EQ(encode(codec, {'a', 'b', 'c'}), (Bytes{0x30, 0x98, 0x8C, 0x60}));
    EXPECT_EQ(encode(codec, {'a'}), (Bytes{0x30, 0x80}));
    EXPECT_EQ(decode(codec, {0x30, 0x98, 0x8C, 0x60}), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(decode(codec, {0x30, 0x80}), (Bytes{'a'}));
}

TEST(XCodecLZW, EmptyInput) {
    XCodecLZW codec;
    bool ok = false;
    EXPECT_TRUE(encode(codec, {}, &ok).empty());
    EXPECT_TRUE(ok);
    EXPECT_TRUE(decode(codec, {}).empty());
}

Bytes randomBytes(size_t n, unsigned seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (auto& x : v)
        x = static_cast<unsigned char>(rng() % alphabet);
    return v;
}

TEST(XCodecLZW, RoundTrips) {
    struct {
        char const* what;
        Bytes data;
    } const cases[] = {
        {"random", randomBytes(5000, 1)},
        {"constant run", Bytes(20000, 0x55)},
        {"small alphabet", randomBytes(100000, 2, 3)},
        {"long random (many restarts)", randomBytes(60000, 3)},
        {"text-like", randomBytes(50000, 4, 26)},
        {"every length start", Bytes{0, 1, 0, 1, 0, 1, 0, 1, 0}},
    };
    XCodecLZW codec;
    for (auto const& c : cases) {
        bool ok = false;
        Bytes enc = encode(codec, c.data, &ok);
        EXPECT_TRUE(ok) << c.what;
        EXPECT_EQ(decode(codec, enc), c.data) << c.what;
        XCodecLZW fresh;
        EXPECT_EQ(encode(fresh, c.data), enc) << c.what; // same as a fresh codec
    }
}

TEST(XCodecLZW, PassesTheRestartWithCodesOfAtMost12Bits) {
    Bytes data = randomBytes(12000, 9); // random bytes: about one code per byte
    XCodecLZW codec;
    Bytes enc = encode(codec, data);
    size_t const codeCount = 6000;
    ASSERT_GT(enc.size() * 8 / 12, 3840u);
    std::vector<unsigned> codes = codesOf(enc, codeCount);
    // The 3,841st code opens the restarted dictionary: a literal of 9 bits.
    EXPECT_LT(codes[3840], 256u);
    for (unsigned c : codes)
        ASSERT_LT(c, 4096u);
    EXPECT_EQ(decode(codec, enc), data);
}

TEST(XCodecLZW, RunsMeetTheCodeBeingDefined) {
    // "aaaa...": every other code is the one the decoder is about to add.
    XCodecLZW codec;
    for (size_t n : {2u, 3u, 4u, 7u, 100u, 5000u, 200000u}) {
        Bytes run(n, 'a');
        EXPECT_EQ(decode(codec, encode(codec, run)), run) << n;
    }
}

TEST(XCodecLZW, MalformedInputStopsDecoding) {
    XCodecLZW codec;
    // First code 256 (no string yet): nothing decoded.
    EXPECT_TRUE(decode(codec, {0x80, 0x00}).empty());
    // "ab" then a code beyond the next one: stops after "ab".
    // Codes 97, 98, 300 at 9 bits.
    EXPECT_EQ(decode(codec, {0x30, 0x98, 0xA5, 0x80}), (Bytes{'a', 'b'}));
    // Cut inside the second code: the first byte only.
    Bytes abc = encode(codec, {'a', 'b', 'c'});
    EXPECT_EQ(decode(codec, Bytes(abc.begin(), abc.begin() + 2)), (Bytes{'a'}));
    // A single byte cannot hold a code.
    EXPECT_TRUE(decode(codec, {0xFF}).empty());
}

TEST(XCodecLZW, RestartMustBeFollowedByALiteral) {
    Bytes data = randomBytes(9000, 11);
    XCodecLZW codec;
    Bytes enc = encode(codec, data);
    std::vector<unsigned> codes = codesOf(enc, 3842);
    ASSERT_LT(codes[3840], 256u);
    // Overwrite the first code after the restart (9 bits at a known bit
    // offset) with 300.
    size_t bit = 0;
    {
        unsigned next = 256;
        unsigned width = 9;
        for (int i = 0; i < 3840; ++i) {
            bit += width;
            ++next;
            if (next == (1u << width)) ++width;
        }
    }
    Bytes bad = enc;
    for (int i = 0; i < 9; ++i) {
        size_t b = bit + i;
        unsigned v = (300u >> (8 - i)) & 1u;
        bad[b / 8] =
            static_cast<unsigned char>((bad[b / 8] & ~(0x80u >> (b % 8))) | (v << (7 - b % 8)));
    }
    Bytes got = decode(codec, bad);
    Bytes good = decode(codec, enc);
    ASSERT_EQ(good, data);
    EXPECT_LT(got.size(), data.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

TEST(XCodecLZW, RandomBytesDecodeWithoutHarm) {
    XCodecLZW codec;
    for (unsigned seed = 0; seed < 300; ++seed) {
        Bytes junk = randomBytes(1 + seed * 7, seed + 100);
        Bytes out = decode(codec, junk);
        // Each code yields at most the dictionary's longest string.
        EXPECT_LE(out.size(), junk.size() * 8 / 9 * 4096 + 1);
    }
}

TEST(XCodecLZW, BorrowedOutputIsRewoundAndShortOutputReported) {
    XCodecLZW codec;
    unsigned char storage[8];
    ZrByteBuffer out(storage, sizeof storage);
    out.forward(5); // left somewhere by an earlier use
    unsigned char abc[] = {'a', 'b', 'c'};
    ZrByteBuffer in(abc, 3);
    EXPECT_TRUE(codec.encode(in, out));
    EXPECT_EQ(out.getWritePos(), 4u);
    EXPECT_EQ(content(out), (Bytes{0x30, 0x98, 0x8C, 0x60}));

    unsigned char tiny[2];
    ZrByteBuffer small(tiny, sizeof tiny);
    EXPECT_FALSE(codec.encode(in, small));
    EXPECT_EQ(small.getWritePos(), 2u);

    unsigned char plain[3];
    ZrByteBuffer decoded(plain, sizeof plain);
    decoded.forward(2);
    ZrByteBuffer enc(storage, 4);
    codec.decode(enc, decoded);
    EXPECT_EQ(content(decoded), (Bytes{'a', 'b', 'c'}));
}

} // namespace
