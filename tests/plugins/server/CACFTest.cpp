// Typed access to property lists: the dictionary holder's getters and
// adders, and the string conversions.
#include "plugins/server/CACFDictionary.h"
#include "plugins/server/CACFObject.h"
#include "plugins/server/CACFString.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

CFNumberRef sint32(SInt32 v) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
}
CFNumberRef sint64(SInt64 v) {
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
}
CFNumberRef float64(Float64 v) {
    return CFNumberCreate(nullptr, kCFNumberFloat64Type, &v);
}

// A dictionary with one value under "k"; the holder owns it.
CACFDictionary holding(CFTypeRef value) {
    CACFDictionary d(true);
    d.AddCFType(CFSTR("k"), value);
    CFRelease(value);
    return d;
}

TEST(CACFDictionary, GetBoolTakesBooleansAndNumbers) {
    bool out = false;
    EXPECT_TRUE(holding(sint32(2)).GetBool(CFSTR("k"), out));
    EXPECT_TRUE(out);
    EXPECT_TRUE(holding(sint32(0)).GetBool(CFSTR("k"), out));
    EXPECT_FALSE(out);
    CACFDictionary b(true);
    b.AddBool(CFSTR("k"), true);
    EXPECT_TRUE(b.GetBool(CFSTR("k"), out));
    EXPECT_TRUE(out);
    out = true;
    EXPECT_FALSE(holding(CFStringCreateWithCString(nullptr, "yes", kCFStringEncodingASCII))
                     .GetBool(CFSTR("k"), out));
    EXPECT_TRUE(out); // untouched
}

struct Fixed32Case {
    SInt32 raw;
    Float32 expected;
};

class Fixed32 : public ::testing::TestWithParam<Fixed32Case> {};

TEST_P(Fixed32, ReadsSixteenDotSixteen) {
    Float32 out = 99;
    EXPECT_TRUE(holding(sint32(GetParam().raw)).GetFixed32(CFSTR("k"), out));
    EXPECT_FLOAT_EQ(out, GetParam().expected);
}

// INT32_MIN has no 32-bit magnitude: it is taken in 64 bits, and its whole
// part is masked to 15 bits as every value's is.
INSTANTIATE_TEST_SUITE_P(Values, Fixed32,
                         ::testing::Values(Fixed32Case{98304, 1.5f}, Fixed32Case{-98304, -1.5f},
                                           Fixed32Case{0, 0.0f},
                                           Fixed32Case{65536 * 100 + 16384, 100.25f},
                                           Fixed32Case{INT32_MIN, -0.0f},
                                           Fixed32Case{INT32_MAX, 32767.99998f}));

TEST(CACFDictionary, GetFixed64ReadsThirtyTwoDotThirtyTwo) {
    Float64 out = 0;
    EXPECT_TRUE(holding(sint64(SInt64(5) << 31)).GetFixed64(CFSTR("k"), out));
    EXPECT_DOUBLE_EQ(out, 2.5);
}

TEST(CACFDictionary, Get4CCFromNumberOrFourLetters) {
    UInt32 out = 0;
    EXPECT_TRUE(holding(CFStringCreateWithCString(nullptr, "abcd", kCFStringEncodingASCII))
                    .Get4CC(CFSTR("k"), out));
    EXPECT_EQ(out, UInt32('a') << 24 | UInt32('b') << 16 | UInt32('c') << 8 | UInt32('d'));
    out = 7;
    EXPECT_FALSE(holding(CFStringCreateWithCString(nullptr, "abc", kCFStringEncodingASCII))
                     .Get4CC(CFSTR("k"), out));
    EXPECT_EQ(out, 7u);
    EXPECT_TRUE(holding(sint32(0x6C70636D)).Get4CC(CFSTR("k"), out));
    EXPECT_EQ(out, 0x6C70636Du);
}

TEST(CACFDictionary, NumbersSaturateAndNaNReadsZero) {
    SInt32 s = 1;
    EXPECT_TRUE(holding(sint64(SInt64(1) << 40)).GetSInt32(CFSTR("k"), s));
    EXPECT_EQ(s, INT32_MAX);
    EXPECT_TRUE(holding(float64(-1e30)).GetSInt32(CFSTR("k"), s));
    EXPECT_EQ(s, INT32_MIN);
    EXPECT_TRUE(holding(float64(NAN)).GetSInt32(CFSTR("k"), s));
    EXPECT_EQ(s, 0);
    UInt32 u = 0;
    EXPECT_TRUE(holding(sint32(-1)).GetUInt32(CFSTR("k"), u));
    EXPECT_EQ(u, 0xFFFFFFFFu);
}

TEST(CACFDictionary, MissingKeyOrWrongTypeLeavesOutAlone) {
    CACFDictionary d(true);
    SInt32 s = 5;
    CFStringRef str = CFSTR("untouched");
    EXPECT_FALSE(d.GetSInt32(CFSTR("none"), s));
    EXPECT_FALSE(d.GetString(CFSTR("none"), str));
    EXPECT_EQ(s, 5);
    EXPECT_TRUE(CFEqual(str, CFSTR("untouched")));
    CFTypeRef any = CFSTR("x");
    EXPECT_FALSE(d.GetCFType(CFSTR("none"), any));
    EXPECT_EQ(any, nullptr); // written even when missing
}

TEST(CACFDictionary, AddersRefuseANonMutableHolder) {
    CFMutableDictionaryRef raw = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CACFDictionary fixed(static_cast<CFDictionaryRef>(raw), true);
    EXPECT_FALSE(fixed.AddBool(CFSTR("a"), true));
    EXPECT_FALSE(fixed.AddSInt32(CFSTR("a"), 1));
    EXPECT_FALSE(fixed.AddUInt64(CFSTR("a"), 1));
    EXPECT_FALSE(fixed.AddFloat64(CFSTR("a"), 1));
    EXPECT_FALSE(fixed.AddString(CFSTR("a"), CFSTR("v")));
    EXPECT_FALSE(fixed.AddCString(CFSTR("a"), "v"));
    EXPECT_FALSE(fixed.AddCFTypeWithCStringKey("a", CFSTR("v")));
    EXPECT_EQ(fixed.Size(), 0u);
}

TEST(CACFDictionary, AddedNumbersAreOwnedByTheDictionaryAlone) {
    CACFDictionary d(true);
    ASSERT_TRUE(d.AddSInt32(CFSTR("n"), 7));
    CFTypeRef n = nullptr;
    ASSERT_TRUE(d.GetCFType(CFSTR("n"), n));
    EXPECT_EQ(CFGetRetainCount(n), 1);
    EXPECT_FALSE(d.AddCString(CFSTR("s"), nullptr));
    EXPECT_FALSE(d.AddCFType(CFSTR("s"), nullptr));
    EXPECT_EQ(d.Size(), 1u);
}

TEST(CACFDictionary, GetCACFStringEmptiesAndOwns) {
    CACFDictionary d(true);
    CACFString out(CFSTR("borrowed"), false);
    d.GetCACFString(CFSTR("missing"), out);
    EXPECT_FALSE(out.IsValid());
    EXPECT_TRUE(out.WillRelease());
    d.AddString(CFSTR("s"), CFSTR("value"));
    d.GetCACFString(CFSTR("s"), out);
    ASSERT_TRUE(out.IsValid());
    EXPECT_TRUE(CFEqual(out.GetCFString(), CFSTR("value")));
}

TEST(CACFDictionary, CopyAndSelfAssignmentKeepTheDictionary) {
    CACFDictionary a(true);
    a.AddSInt32(CFSTR("n"), 1);
    CACFDictionary b = a;
    EXPECT_EQ(CFGetRetainCount(a.GetDict()), 2);
    b = b;
    a = a;
    EXPECT_EQ(CFGetRetainCount(a.GetDict()), 2);
    a = static_cast<CFDictionaryRef>(a.GetDict()); // same dictionary assigned
    EXPECT_EQ(CFGetRetainCount(b.GetDict()), 2);
    EXPECT_FALSE(a.IsMutable());
}

TEST(CACFString, GetCStringCutsAndTerminates) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    UInt32 len = 4;
    CACFString::GetCString(CFSTR("hello"), buf, len, kCFStringEncodingUTF8);
    EXPECT_STREQ(buf, "hel");
    EXPECT_EQ(len, 4u);
    len = 8;
    CACFString::GetCString(nullptr, buf, len, kCFStringEncodingUTF8);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(len, 1u);
    len = 0;
    buf[0] = 'z';
    CACFString::GetCString(CFSTR("hello"), buf, len, kCFStringEncodingUTF8);
    EXPECT_EQ(buf[0], 'z');
}

TEST(CACFString, UnicodeAndByteLength) {
    UInt16 units[8] = {};
    UInt32 len = 3;
    CACFString::GetUnicodeString(CFSTR("hello"), units, len);
    EXPECT_EQ(len, 3u);
    EXPECT_EQ(units[0], 'h');
    EXPECT_EQ(units[2], 'l');
    EXPECT_EQ(CACFString::GetStringByteLength(CFSTR("hello"), kCFStringEncodingUTF8), 5u);
    EXPECT_EQ(CACFString::GetStringByteLength(nullptr, kCFStringEncodingUTF8), 0u);
    EXPECT_EQ(CACFString::GetStringByteLength(CFSTR("h\u00e9"), kCFStringEncodingASCII), 1u);
}

TEST(CACFObject, ReleasesOnceWhenOwning) {
    CFNumberRef n = sint32(3);
    {
        CACFNumber held(n);
        CFRetain(n);
        EXPECT_EQ(CFGetRetainCount(n), 2);
        CACFNumber copy(held);
        EXPECT_EQ(CFGetRetainCount(n), 3);
    }
    EXPECT_EQ(CFGetRetainCount(n), 1);
    CFRelease(n);
}

} // namespace
