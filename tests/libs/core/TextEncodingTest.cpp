// UTF-8 / UTF-16 / UTF-32 conversion: round trips of every code point, the
// decoders' bounds (guard pages), the conversion objects and their status.
#include "libs/core/QnMemory.h"
#include "libs/core/QnTextEncoding.h"
#include "platform/base/testing/GuardedBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using hx::test::GuardedBuffer;

template <typename T> size_t unitLen(const T* s) {
    size_t n = 0;
    while (s[n])
        ++n;
    return n;
}

template <typename T> std::vector<T> toVec(const T* s) {
    return std::vector<T>(s, s + unitLen(s));
}

std::vector<unsigned> allCodePoints() {
    std::vector<unsigned> v;
    for (unsigned cp = 1; cp <= 0x10FFFF; ++cp)
        if (cp < 0xD800 || cp > 0xDFFF) v.push_back(cp);
    return v;
}

TEST(TextEncoding, EveryCodePointRoundTripsSingly) {
    for (unsigned cp : allCodePoints()) {
        unsigned char u8[4];
        const unsigned n = Core::toUtf8(u8, cp);
        ASSERT_EQ(n, Core::utf8NumBytes(cp));
        ASSERT_TRUE(Core::isLegalUTF8(u8, static_cast<int>(n))) << std::hex << cp;
        const unsigned char* c8 = u8;
        unsigned long long count8 = n;
        bool ok = false;
        ASSERT_EQ(Core::fetchUtf8(c8, count8, ok), cp);
        ASSERT_TRUE(ok);
        ASSERT_EQ(count8, 0u);

        unsigned short u16[2];
        Core::ConvTarget t;
        t.init(u16, 2, 0);
        ASSERT_TRUE(t.write(cp));
        ASSERT_EQ(t.units(), cp > 0xFFFF ? 2u : 1u);
        const unsigned short* c16 = u16;
        unsigned long long count16 = t.units();
        ASSERT_EQ(Core::fetchUtf16(c16, count16), cp);
        ASSERT_EQ(count16, 0u);
    }
}

TEST(TextEncoding, EveryCodePointRoundTripsThroughTheConversionFunctions) {
    std::vector<unsigned> u32 = allCodePoints();
    u32.push_back(0);
    unsigned char* u8 = Core::toUtf8(u32.data());
    ASSERT_NE(u8, nullptr);
    unsigned short* u16 = Core::toUtf16(u8);
    ASSERT_NE(u16, nullptr);
    unsigned* back32 = Core::toUtf32(u16);
    ASSERT_NE(back32, nullptr);
    EXPECT_EQ(toVec(back32), std::vector<unsigned>(u32.begin(), u32.end() - 1));

    unsigned char* u8From16 = Core::toUtf8(u16);
    unsigned* u32From8 = Core::toUtf32(u8);
    unsigned short* u16From32 = Core::toUtf16(u32.data());
    EXPECT_EQ(toVec(u8From16), toVec(u8));
    EXPECT_EQ(toVec(u32From8), toVec(back32));
    EXPECT_EQ(toVec(u16From32), toVec(u16));

    // The bulk converters agree.
    std::vector<unsigned char> bulk8(unitLen(u8));
    unsigned* src = u32.data();
    unsigned long long srcCount = u32.size() - 1;
    EXPECT_EQ(Core::toUtf8(bulk8.data(), bulk8.size(), src, srcCount), bulk8.size());
    EXPECT_EQ(srcCount, 0u);
    EXPECT_EQ(bulk8, toVec(u8));
    std::vector<unsigned> bulk32(u32.size() - 1);
    const unsigned short* src16 = u16;
    unsigned long long src16Count = unitLen(u16);
    EXPECT_EQ(Core::toUtf32(bulk32.data(), bulk32.size(), src16, src16Count), bulk32.size());
    EXPECT_EQ(bulk32, toVec(back32));

    for (void* p : {static_cast<void*>(u8), static_cast<void*>(u16), static_cast<void*>(back32),
                    static_cast<void*>(u8From16), static_cast<void*>(u32From8),
                    static_cast<void*>(u16From32)})
        memoryFree(p);
}

TEST(TextEncoding, Utf8Legality) {
    struct Case {
        std::vector<unsigned char> bytes;
        bool legal;
    };
    const Case cases[] = {
        {{0x41}, true},
        {{0xC3, 0xA9}, true},
        {{0xC0, 0x80}, false}, // overlong NUL
        {{0xC1, 0xBF}, false},
        {{0xE0, 0x9F, 0x80}, false}, // overlong 3-byte
        {{0xE0, 0xA0, 0x80}, true},
        {{0xED, 0xA0, 0x80}, false}, // surrogate
        {{0xED, 0x9F, 0xBF}, true},
        {{0xF0, 0x8F, 0xBF, 0xBF}, false}, // overlong 4-byte
        {{0xF4, 0x90, 0x80, 0x80}, false}, // above 0x10FFFF
        {{0xF4, 0x8F, 0xBF, 0xBF}, true},
        {{0xF5, 0x80, 0x80, 0x80}, false},
        {{0xF8, 0x88, 0x80, 0x80, 0x80}, false},
        {{0xE4, 0xB8}, false}, // length does not match the lead
        {{0x80}, false},
        {{0xE4, 0x41, 0xAD}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Core::isLegalUTF8(c.bytes.data(), static_cast<int>(c.bytes.size())), c.legal)
            << std::hex << int(c.bytes[0]) << " len " << c.bytes.size();
    const unsigned char a = 'a';
    EXPECT_FALSE(Core::isLegalUTF8(&a, 0));
}

TEST(TextEncoding, Utf8NumBytesAndEncodeLimits) {
    EXPECT_EQ(Core::utf8NumBytes(0x7F), 1u);
    EXPECT_EQ(Core::utf8NumBytes(0x80), 2u);
    EXPECT_EQ(Core::utf8NumBytes(0x7FF), 2u);
    EXPECT_EQ(Core::utf8NumBytes(0xD800), 3u);
    EXPECT_EQ(Core::utf8NumBytes(0x10000), 4u);
    EXPECT_EQ(Core::utf8NumBytes(0x110000), 0u);
    unsigned char buf[4] = {9, 9, 9, 9};
    EXPECT_EQ(Core::toUtf8(buf, 0x110000u), 0u);
    EXPECT_EQ(buf[0], 9);
    EXPECT_EQ(Core::toUtf8(nullptr, 0x20ACu), 3u);
}

TEST(TextEncoding, FetchUtf8MalformedConsumesOneByte) {
    const unsigned char overlong[] = {0xC0, 0x80};
    const unsigned char* c = overlong;
    unsigned long long count = 2;
    bool ok = true;
    Core::fetchUtf8(c, count, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(c, overlong + 1);
    EXPECT_EQ(count, 1u);

    const unsigned char cut[] = {0xE4, 0xB8, 0xAD};
    c = cut;
    count = 2; // the sequence does not fit the count
    ok = true;
    Core::fetchUtf8(c, count, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(c, cut + 1);
    EXPECT_EQ(count, 1u);
}

TEST(TextEncoding, DecodersStopAtTheirCountBeforeAGuardPage) {
    // Every lead byte as the last byte before the guard, with a count of 1.
    GuardedBuffer one(1);
    for (unsigned lead = 0; lead < 256; ++lead) {
        one.data()[0] = static_cast<unsigned char>(lead);
        const unsigned char* c = one.data();
        unsigned long long count = 1;
        bool ok = false;
        Core::fetchUtf8(c, count, ok);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(ok, lead < 0x80);
    }
    // Count 0 reads nothing at all: the cursor points at the guard itself.
    const unsigned char* atGuard = one.data() + 1;
    unsigned long long zero = 0;
    bool ok = true;
    EXPECT_EQ(Core::fetchUtf8(atGuard, zero, ok), 0u);
    EXPECT_FALSE(ok);
    EXPECT_EQ(atGuard, one.data() + 1);
    const unsigned short* atGuard16 = reinterpret_cast<const unsigned short*>(one.data() + 1);
    EXPECT_EQ(Core::fetchUtf16(atGuard16, zero), 0u);

    // Three bytes of a four-byte sequence, then the guard.
    GuardedBuffer three(3);
    std::memcpy(three.data(), "\xF0\x9F\x98", 3);
    const unsigned char* c = three.data();
    unsigned long long count = 3;
    Core::fetchUtf8(c, count, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(count, 2u);

    // A high surrogate as the last unit.
    GuardedBuffer units(4);
    unsigned short* u = units.as<unsigned short>();
    u[0] = 'a';
    u[1] = 0xD83D;
    const unsigned short* c16 = u;
    unsigned long long count16 = 2;
    EXPECT_EQ(Core::fetchUtf16(c16, count16), 'a');
    EXPECT_EQ(Core::fetchUtf16(c16, count16), 0u);
    EXPECT_EQ(c16, u + 1);
    EXPECT_EQ(count16, 1u);

    Core::ConvSource s(static_cast<const unsigned short*>(u), 2);
    EXPECT_EQ(s.nextChar(), unsigned('a'));
    EXPECT_EQ(s.nextChar(), 0u);
    EXPECT_EQ(s.status(), unsigned(Core::kConvInvalidSource));
}

TEST(TextEncoding, DecodersStopAtANulBeforeAGuardPage) {
    // A truncated sequence ended by NUL, the NUL the last byte: with no count
    // limit, nothing beyond the NUL may be read.
    for (unsigned lead = 0xC2; lead <= 0xF4; ++lead) {
        for (size_t len = 2; len <= 4; ++len) {
            GuardedBuffer b(len);
            std::memset(b.data(), 0x80, len);
            b.data()[0] = static_cast<unsigned char>(lead);
            if (lead == 0xE0 || lead == 0xF0) b.data()[1] = 0xA0;
            b.data()[len - 1] = 0;
            Core::ConvSource s(static_cast<const unsigned char*>(b.data()),
                               Core::ConvSource::kUntilNul);
            while (s.nextChar() != 0) {
            }
            EXPECT_NE(s.status(), unsigned(Core::kConvOK));
        }
    }
    GuardedBuffer units(4);
    unsigned short* u = units.as<unsigned short>();
    u[0] = 0xD83D;
    u[1] = 0;
    Core::ConvSource s(static_cast<const unsigned short*>(u), Core::ConvSource::kUntilNul);
    EXPECT_EQ(s.nextChar(), 0u);
    EXPECT_EQ(s.status(), unsigned(Core::kConvInvalidSource));

    // The NUL-terminated conversions read up to the NUL only.
    GuardedBuffer text(4);
    std::memcpy(text.data(),
                "\xC3\xA9"
                "a",
                4);
    unsigned out[4];
    EXPECT_EQ(Core::toUtf32(static_cast<const unsigned char*>(text.data()), out, 4), 2u);
    EXPECT_EQ(out[0], 0xE9u);
    EXPECT_EQ(out[1], unsigned('a'));
    EXPECT_EQ(out[2], 0u);
}

TEST(TextEncoding, SourceYieldsCharactersAndStatus) {
    const unsigned char text[] = {0x41, 0xC3, 0xA9, 0x00};
    Core::ConvSource s(text, Core::ConvSource::kUntilNul);
    EXPECT_EQ(s.nextChar(), 0x41u);
    EXPECT_EQ(s.nextChar(), 0xE9u);
    EXPECT_EQ(s.nextChar(), 0u);
    EXPECT_EQ(s.status(), unsigned(Core::kConvSourceNul));
    EXPECT_EQ(s.nextChar(), 0u);
    EXPECT_EQ(s.status(), unsigned(Core::kConvSourceEnd));

    const unsigned char overlong[] = {0x41, 0xC0, 0x80, 0x00};
    s.init(overlong, Core::ConvSource::kUntilNul);
    EXPECT_EQ(s.nextChar(), 0x41u);
    EXPECT_EQ(s.nextChar(), 0u);
    EXPECT_EQ(s.status(), unsigned(Core::kConvSourceEnd));
    EXPECT_EQ(s.cursor(), overlong + 1); // stays on the 0xC0

    s.reinit();
    EXPECT_EQ(s.status(), 0u);
    EXPECT_EQ(s.nextChar(), 0x41u);

    const unsigned short pair[] = {0xD83D, 0xDE00, 0xDE00, 0};
    Core::ConvSource s16(pair, 4);
    EXPECT_EQ(s16.nextChar(), 0x1F600u);
    EXPECT_EQ(s16.nextChar(), 0u);
    EXPECT_EQ(s16.status(), unsigned(Core::kConvInvalidSource));
    EXPECT_EQ(s16.cursor(), pair + 2);

    const unsigned bad32[] = {0x41, 0xD800, 0x42};
    Core::ConvSource s32(bad32, 3);
    EXPECT_EQ(s32.nextChar(), 0x41u);
    EXPECT_EQ(s32.nextChar(), 0u);
    EXPECT_EQ(s32.status(), unsigned(Core::kConvInvalidSource));
    EXPECT_EQ(s32.remaining(), 2u);
    EXPECT_TRUE(s32.skipItem());
    EXPECT_EQ(s32.nextChar(), 0x42u);
    EXPECT_EQ(s32.nextChar(), 0u);
    EXPECT_EQ(s32.status(), unsigned(Core::kConvSourceEnd));
    EXPECT_FALSE(s32.skipItem());

    Core::ConvSource empty(static_cast<const char*>(nullptr), 10);
    EXPECT_EQ(empty.remaining(), 0u);
    EXPECT_EQ(empty.nextChar(), 0u);
    EXPECT_EQ(empty.status(), unsigned(Core::kConvSourceEnd));

    Core::ConvSource latin(Core::String("\xE9x", 2));
    EXPECT_EQ(latin.nextChar(), 0xE9u);
    EXPECT_EQ(latin.nextChar(), unsigned('x'));

    Core::ConvSource odd;
    odd.init("ab", 2, static_cast<Core::Encoding>(7));
    EXPECT_EQ(odd.encoding(), Core::kEncoding8Bit);
    EXPECT_EQ(odd.unitSize(), 1u);
}

TEST(TextEncoding, TargetWriteCountAndTerminate) {
    char latin[4];
    Core::ConvTarget t;
    t.init(latin, 4, '?');
    EXPECT_TRUE(t.write(0x20AC));
    EXPECT_EQ(latin[0], '?');
    t.init(latin, 4, 0);
    EXPECT_TRUE(t.write(0x20AC)); // dropped
    EXPECT_TRUE(t.write('k'));
    EXPECT_EQ(t.units(), 1u);
    EXPECT_EQ(t.chars(), 1u);
    EXPECT_EQ(latin[0], 'k');

    unsigned short one[1] = {0x1234};
    t.init(one, 1, 0);
    EXPECT_FALSE(t.write(0x1F600));
    EXPECT_EQ(t.status(), unsigned(Core::kConvTargetFull));
    EXPECT_EQ(one[0], 0x1234);
    EXPECT_EQ(t.units(), 0u);

    unsigned char u8[3];
    t.init(u8, 3, 0);
    EXPECT_FALSE(t.write(0));
    EXPECT_EQ(t.status(), unsigned(Core::kConvInvalidTarget));
    EXPECT_FALSE(t.write(0xDC00));
    EXPECT_FALSE(t.count(0x110000));
    EXPECT_EQ(t.status(), unsigned(Core::kConvInvalidTarget));
    EXPECT_TRUE(t.write(0xE9));
    EXPECT_FALSE(t.write(0x20AC)); // 3 bytes, 1 left
    EXPECT_EQ(t.status(), unsigned(Core::kConvTargetFull));
    EXPECT_TRUE(t.terminate());
    EXPECT_EQ(u8[2], 0);
    EXPECT_FALSE(t.write('a'));
    EXPECT_EQ(t.status(), unsigned(Core::kConvTargetFull));
    EXPECT_FALSE(t.terminate());

    unsigned full[1];
    t.init(full, 1, 0);
    EXPECT_TRUE(t.write('a'));
    EXPECT_FALSE(t.terminate());

    Core::ConvTarget counter(Core::kEncodingUTF16, 0);
    EXPECT_TRUE(counter.count(0x41));
    EXPECT_TRUE(counter.count(0x1F600));
    EXPECT_EQ(counter.units(), 3u);
    EXPECT_EQ(counter.chars(), 2u);
    counter.alloc(0);
    ASSERT_NE(counter.buffer(), nullptr);
    EXPECT_EQ(counter.space(), 4u);
    EXPECT_EQ(counter.units(), 0u);
    memoryFree(counter.buffer());
}

TEST(TextEncoding, ConvertReportsWhyItStopped) {
    const char latin[] = "abc";
    Core::ConvSource s(latin, Core::ConvSource::kUntilNul);
    Core::ConvTarget counter(Core::kEncodingUTF8, 0);
    EXPECT_EQ(Core::convert(counter, s), unsigned(Core::kConvSourceNul));
    EXPECT_EQ(counter.units(), 3u);

    s.init(latin, 2);
    counter.init(Core::kEncodingUTF8, 0);
    EXPECT_EQ(Core::convert(counter, s), unsigned(Core::kConvSourceEnd));
    EXPECT_EQ(counter.units(), 2u);

    const unsigned short u16[] = {'h', 'i', 0};
    Core::ConvSource s16(u16, Core::ConvSource::kUntilNul);
    counter.init(Core::kEncodingUTF32, 0);
    EXPECT_EQ(Core::convert(counter, s16), unsigned(Core::kConvInvalidSource));
    EXPECT_EQ(counter.chars(), 2u);

    unsigned out[2];
    Core::ConvTarget small;
    small.init(out, 2, 0);
    s.init(latin, Core::ConvSource::kUntilNul);
    EXPECT_EQ(Core::convert(small, s), unsigned(Core::kConvTargetFull));
    EXPECT_EQ(small.chars(), 2u);
}

TEST(TextEncoding, AllocatingForms) {
    const unsigned text[] = {0xE9, 0x1F600, 0};
    unsigned char* u8 = Core::toUtf8(text);
    ASSERT_NE(u8, nullptr);
    const unsigned char want[] = {0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80, 0x00};
    EXPECT_EQ(std::memcmp(u8, want, sizeof want), 0);
    memoryFree(u8);

    const unsigned char empty[] = {0};
    EXPECT_EQ(Core::toUtf16(empty), nullptr);
    const unsigned short empty16[] = {0};
    EXPECT_EQ(Core::toUtf8(empty16), nullptr);
}

TEST(TextEncoding, SizedFormsAlwaysTerminate) {
    const unsigned abc[] = {'a', 'b', 'c', 0};
    unsigned char out[4];
    std::memset(out, 0x7F, sizeof out);
    EXPECT_EQ(Core::toUtf8(abc, out, 3), 2u);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "ab");
    EXPECT_EQ(Core::toUtf8(abc, out, 4), 3u);
    EXPECT_STREQ(reinterpret_cast<char*>(out), "abc");
    std::memset(out, 0x7F, sizeof out);
    EXPECT_EQ(Core::toUtf8(abc, out, 1), 0u);
    EXPECT_EQ(out[0], 0);
    std::memset(out, 0x7F, sizeof out);
    EXPECT_EQ(Core::toUtf8(abc, out, 0), 0u);
    EXPECT_EQ(out[0], 0x7F);
    EXPECT_EQ(Core::toUtf8(abc, static_cast<unsigned char*>(nullptr), 0), 3u);

    // A pair does not fit in 2 units when one is kept for the terminator.
    const unsigned char smile[] = {'x', 0xF0, 0x9F, 0x98, 0x80, 0};
    unsigned short u16[3] = {9, 9, 9};
    EXPECT_EQ(Core::toUtf16(smile, u16, 3), 1u);
    EXPECT_EQ(u16[0], 'x');
    EXPECT_EQ(u16[1], 0);
    EXPECT_EQ(Core::toUtf16(smile, static_cast<unsigned short*>(nullptr), 0), 2u);
}

TEST(TextEncoding, BulkUtf32ToUtf8StopsAtSurrogatesAndLimits) {
    unsigned text[] = {'a', 0xE9, 0xD800, 'b'};
    unsigned* src = text;
    unsigned long long count = 4;
    unsigned char out[8] = {};
    EXPECT_EQ(Core::toUtf8(out, sizeof out, src, count), 3u);
    EXPECT_EQ(src, text + 2);
    EXPECT_EQ(count, 2u);

    unsigned big[] = {'a', 0x20AC, 0x110000};
    src = big;
    count = 3;
    EXPECT_EQ(Core::toUtf8(out, 3, src, count), 1u); // the euro sign needs 3, 2 left
    EXPECT_EQ(src, big + 1);
    src = big;
    count = 3;
    EXPECT_EQ(Core::toUtf8(nullptr, 0, src, count), 4u); // counting stops above 0x10FFFF
    EXPECT_EQ(count, 1u);
    unsigned* none = nullptr;
    EXPECT_EQ(Core::toUtf8(out, 8, none, count), 0u);
}

TEST(TextEncoding, BulkUtf16ToUtf32SkipsExactlyOneUnit) {
    struct Case {
        std::vector<unsigned short> in;
        std::vector<unsigned> out;
    };
    const Case cases[] = {
        {{'a', 0xDE00, 'b'}, {'a', 'b'}},
        {{'a', 0, 'b'}, {'a', 'b'}},
        {{0xD83D, 'b'}, {'b'}}, // the unpaired high surrogate goes, 'b' stays
        {{0xD83D, 0xDE00, 'c'}, {0x1F600, 'c'}},
        {{'a', 0xD83D}, {'a'}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned> out(8, 0xFFFFFFFF);
        const unsigned short* src = c.in.data();
        unsigned long long count = c.in.size();
        const unsigned long long n = Core::toUtf32(out.data(), out.size(), src, count);
        EXPECT_EQ(std::vector<unsigned>(out.begin(), out.begin() + static_cast<long>(n)), c.out);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(src, c.in.data() + c.in.size());
        src = c.in.data();
        count = c.in.size();
        EXPECT_EQ(Core::toUtf32(nullptr, 0, src, count), c.out.size());
    }
    const unsigned short two[] = {'a', 'b', 'c'};
    const unsigned short* src = two;
    unsigned long long count = 3;
    unsigned out[1];
    EXPECT_EQ(Core::toUtf32(out, 1, src, count), 1u);
    EXPECT_EQ(src, two + 1);
    EXPECT_EQ(count, 2u);
}

} // namespace
