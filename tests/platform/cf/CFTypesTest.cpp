// Strings, numbers, data, booleans and collections.
#include "tests/platform/cf/CFTestSupport.h"

#include "platform/base/HXLog.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

using namespace hx::cftest;

namespace {

CFStringRef constantFromAnotherSite() {
    return CFSTR("immortal text");
}

// Read while this file's globals are made, in whatever order the library's
// own are: constant keys and the booleans must be ready.
const CFStringRef kEarlyKey = kCFBundleIdentifierKey;
const bool kEarlyTrue = CFBooleanGetValue(kCFBooleanTrue);

TEST(CFTypes, ConstantsAreReadyForOtherFilesStaticInitialisers) {
    EXPECT_EQ(text(kEarlyKey), "CFBundleIdentifier");
    EXPECT_EQ(kEarlyKey, kCFBundleIdentifierKey);
    EXPECT_TRUE(kEarlyTrue);
}

TEST(CFString, ConstantStringsAreOneImmortalObjectPerText) {
    CFStringRef a = CFSTR("immortal text");
    EXPECT_EQ(a, constantFromAnotherSite());
    const CFIndex before = CFGetRetainCount(a);
    for (int i = 0; i < 5; ++i)
        CFRelease(a); // handed out without a retain, released by a caller
    EXPECT_EQ(CFGetRetainCount(a), before);
    EXPECT_EQ(text(a), "immortal text");
    EXPECT_TRUE(CFEqual(a, str("immortal text")));
    EXPECT_EQ(CFHash(a), CFHash(str("immortal text")));
}

struct DecodeCase {
    CFStringEncoding encoding;
    const char* bytes;
    const char* utf8; // null: refused
};

TEST(CFString, DecodesEachEncodingOrRefusesBadBytes) {
    const DecodeCase cases[] = {
        {kCFStringEncodingASCII, "plain", "plain"},
        {kCFStringEncodingASCII, "caf\xC3\xA9", nullptr},
        {kCFStringEncodingUTF8, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB5"},
        {kCFStringEncodingUTF8, "cut \xC3", nullptr},
        {kCFStringEncodingUTF8, "overlong \xC0\xAF", nullptr},
        {kCFStringEncodingUTF8, "surrogate \xED\xA0\x80", nullptr},
        {kCFStringEncodingISOLatin1, "caf\xE9", "caf\xC3\xA9"},
        {kCFStringEncodingMacRoman, "caf\x8E", "caf\xC3\xA9"},
        {kCFStringEncodingMacRoman, "\xDB\xA5", "\xE2\x82\xAC\xE2\x80\xA2"},
        {0x7777, "x", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Ref<CFStringRef> s(CFStringCreateWithCString(nullptr, c.bytes, c.encoding));
        if (!c.utf8) {
            EXPECT_EQ(s.get(), nullptr);
            continue;
        }
        ASSERT_NE(s.get(), nullptr);
        EXPECT_EQ(text(s), c.utf8);
    }
    // A character outside the basic plane takes two UTF-16 units.
    EXPECT_EQ(CFStringGetLength(str("\xF0\x9F\x8E\xB5")), 2);
}

TEST(CFString, MacRomanAgreesWithPythonsCodecForEveryByte) {
    std::string high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += char(b);
    Ref<CFStringRef> s(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(high.data()),
                                               CFIndex(high.size()), kCFStringEncodingMacRoman,
                                               false));
    int status = -1;
    std::string expected =
        python("import sys\nsys.stdout.buffer.write(bytes(range(0x80, 0x100)).decode('mac_roman')"
               ".encode('utf-8'))\n",
               "", &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(text(s), expected);
    // And back: every byte comes out as it went in.
    std::vector<char> back(129, 0);
    ASSERT_TRUE(
        CFStringGetCString(s, back.data(), CFIndex(back.size()), kCFStringEncodingMacRoman));
    EXPECT_EQ(std::string(back.data(), 128), high);
}

TEST(CFString, ConversionRefusesWhatTheEncodingCannotHoldAndLeavesTheBufferAlone) {
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    EXPECT_FALSE(CFStringGetCString(str("caf\xC3\xA9"), buf, sizeof buf, kCFStringEncodingASCII));
    EXPECT_FALSE(
        CFStringGetCString(str("\xE2\x82\xAC"), buf, sizeof buf, kCFStringEncodingISOLatin1));
    EXPECT_FALSE(
        CFStringGetCString(str("toolong"), buf, 7, kCFStringEncodingASCII)); // no room for the NUL
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '#'));
    ASSERT_TRUE(CFStringGetCString(str("caf\xC3\xA9"), buf, sizeof buf, kCFStringEncodingMacRoman));
    EXPECT_STREQ(buf, "caf\x8E");

    // Byte conversion stops at the first character without a form, or when
    // the next one does not fit.
    UInt8 bytes[8];
    CFIndex used = -1;
    Ref<CFStringRef> s = str("ab\xE2\x82\xAC"
                             "cd");
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingASCII, 0, false, nullptr, 0, &used),
        2);
    EXPECT_EQ(used, 2);
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingASCII, '?', false, bytes, 8, &used),
        5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), std::size_t(used)), "ab?cd");
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(0, 5), kCFStringEncodingUTF8, 0, false, bytes, 4, &used),
        2);
    EXPECT_EQ(used, 2);
    EXPECT_EQ(
        CFStringGetBytes(s, CFRangeMake(3, 9), kCFStringEncodingUTF8, 0, false, bytes, 8, &used),
        0);
}

TEST(CFString, FormatsPrintfConversionsAndObjects) {
    Ref<CFDictionaryRef> dict([] {
        const void* k[] = {CFSTR("key")};
        const void* v[] = {CFSTR("value")};
        return CFDictionaryCreate(nullptr, k, v, 1, &kCFTypeDictionaryKeyCallBacks,
                                  &kCFTypeDictionaryValueCallBacks);
    }());
    Ref<CFStringRef> s(CFStringCreateWithFormat(
        nullptr, nullptr, CFSTR("%@.hal|%@|%d|%5.2f|%x|%lld|%%|%-4d|%*d|%s|%@"),
        CFSTR("com.example"), num(42).get(), -7, 3.14159, 255u, -9000000000LL, 12, 3, 5,
        "caf\xC3\xA9", static_cast<CFTypeRef>(nullptr)));
    EXPECT_EQ(text(s), "com.example.hal|42|-7| 3.14|ff|-9000000000|%|12  |  5|caf\xC3\xA9|(null)");
    Ref<CFStringRef> d(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("<%@>"), dict.get()));
    EXPECT_EQ(text(d), "<{\n    key = value;\n}>");
    // %s bytes that are not UTF-8 are MacRoman text.
    Ref<CFStringRef> m(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%s"), "caf\x8E"));
    EXPECT_EQ(text(m), "caf\xC3\xA9");

    Ref<CFMutableStringRef> grow(CFStringCreateMutable(nullptr, 0));
    CFStringAppendFormat(grow, nullptr, CFSTR("Routing_%d_%d"), 1, 2);
    CFStringAppend(grow, CFSTR("!"));
    EXPECT_EQ(text(grow), "Routing_1_2!");
}

TEST(CFString, ComparesWithAndWithoutCase) {
    struct Case {
        const char* a;
        const char* b;
        CFStringCompareFlags flags;
        CFComparisonResult expected;
    } cases[] = {
        {"audio midi setup", "AUDIO MIDI SETUP", kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {"audio midi setup", "AUDIO MIDI SETUP", 0, kCFCompareGreaterThan},
        {"\xC3\x84pfel", "\xC3\xA4PFEL", kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {"abc", "ABD", kCFCompareCaseInsensitive, kCFCompareLessThan},
        {"abc", "ab", kCFCompareCaseInsensitive, kCFCompareGreaterThan},
        {"file9", "file10", kCFCompareNumerically, kCFCompareLessThan},
        {"file9", "file10", 0, kCFCompareGreaterThan},
        {"", "", 0, kCFCompareEqualTo},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        EXPECT_EQ(CFStringCompare(str(c.a), str(c.b), c.flags), c.expected);
    }
}

TEST(CFString, IntValueReadsTheLeadingNumberAndSaturates) {
    struct Case {
        const char* text;
        SInt32 value;
    } cases[] = {
        {"42", 42},
        {"  -17", -17},
        {"+8", 8},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-", 0},
        {"-1", -1},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"99999999999999999999999", INT32_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(CFStringGetIntValue(str(c.text)), c.value);
    }
}

struct NumberCase {
    const char* name;
    CFNumberType from;
    double value; // given as the from type
    CFNumberType to;
    double expected;
    bool exact;
};

TEST(CFNumber, ConvertsSaturatingAndSaysWhetherExact) {
    const double nan = std::nan("");
    const NumberCase cases[] = {
        {"300 into 8 bits", kCFNumberSInt64Type, 300, kCFNumberSInt8Type, 127, false},
        {"-300 into 16 bits", kCFNumberSInt32Type, -300, kCFNumberSInt16Type, -300, true},
        {"-40000 into 16 bits", kCFNumberSInt32Type, -40000, kCFNumberSInt16Type, -32768, false},
        {"1.5 into 32 bits", kCFNumberFloat64Type, 1.5, kCFNumberSInt32Type, 1, false},
        {"-2.0 into 32 bits", kCFNumberFloat64Type, -2.0, kCFNumberSInt32Type, -2, true},
        {"NaN into 32 bits", kCFNumberFloat64Type, nan, kCFNumberSInt32Type, 0, false},
        {"1e20 into 32 bits", kCFNumberFloat64Type, 1e20, kCFNumberSInt32Type, INT32_MAX, false},
        {"-1e20 into 32 bits", kCFNumberFloat32Type, -1e20, kCFNumberSInt32Type, INT32_MIN, false},
        {"-1 into float", kCFNumberSInt8Type, -1, kCFNumberFloat32Type, -1, true},
        {"0.1 into float", kCFNumberFloat64Type, 0.1, kCFNumberFloat32Type, double(0.1f), false},
        {"2.5f into double", kCFNumberFloat32Type, 2.5, kCFNumberFloat64Type, 2.5, true},
        {"1e300 into float", kCFNumberFloat64Type, 1e300, kCFNumberFloat32Type,
         double(3.4028234663852886e38f), false},
        {"int into double", kCFNumberIntType, 123456, kCFNumberDoubleType, 123456, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        union {
            SInt8 i8;
            SInt16 i16;
            SInt32 i32;
            SInt64 i64;
            Float32 f32;
            Float64 f64;
        } in{}, out{};
        switch (c.from) {
        case kCFNumberSInt8Type:
            in.i8 = SInt8(c.value);
            break;
        case kCFNumberSInt32Type:
        case kCFNumberIntType:
            in.i32 = SInt32(c.value);
            break;
        case kCFNumberSInt64Type:
            in.i64 = SInt64(c.value);
            break;
        case kCFNumberFloat32Type:
            in.f32 = Float32(c.value);
            break;
        default:
            in.f64 = c.value;
            break;
        }
        Ref<CFNumberRef> n(CFNumberCreate(nullptr, c.from, &in));
        ASSERT_NE(n.get(), nullptr);
        EXPECT_EQ(CFNumberGetValue(n, c.to, &out), c.exact);
        double got;
        switch (c.to) {
        case kCFNumberSInt8Type:
            got = out.i8;
            break;
        case kCFNumberSInt16Type:
            got = out.i16;
            break;
        case kCFNumberSInt32Type:
            got = out.i32;
            break;
        case kCFNumberFloat32Type:
            got = out.f32;
            break;
        default:
            got = out.f64;
            break;
        }
        EXPECT_EQ(got, c.expected);
    }
}

TEST(CFNumber, KeepsItsTypeAndComparesByValue) {
    SInt16 s = -3;
    Ref<CFNumberRef> n(CFNumberCreate(nullptr, kCFNumberShortType, &s));
    EXPECT_EQ(CFNumberGetType(n), kCFNumberSInt16Type);
    EXPECT_EQ(CFNumberGetByteSize(n), 2);
    EXPECT_FALSE(CFNumberIsFloatType(n));
    double one = 1.0, half = 1.5;
    Ref<CFNumberRef> realOne(CFNumberCreate(nullptr, kCFNumberFloat64Type, &one));
    Ref<CFNumberRef> realHalf(CFNumberCreate(nullptr, kCFNumberFloat64Type, &half));
    EXPECT_TRUE(CFEqual(num(1), realOne));
    EXPECT_EQ(CFHash(num(1)), CFHash(realOne));
    EXPECT_FALSE(CFEqual(num(1), realHalf));
    EXPECT_EQ(CFNumberCompare(num(1), realHalf, nullptr), kCFCompareLessThan);
    EXPECT_EQ(CFNumberCreate(nullptr, 99, &s), nullptr);
    EXPECT_EQ(CFBooleanGetValue(kCFBooleanTrue), true);
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
}

TEST(CFCollections, MutableDictionaryHoldsItsOwnReferences) {
    Ref<CFMutableDictionaryRef> d(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    Ref<CFNumberRef> five = num(5);
    CFDictionarySetValue(d, CFSTR("a"), five);
    EXPECT_EQ(CFGetRetainCount(five), 2);
    CFDictionaryAddValue(d, CFSTR("a"), CFSTR("ignored: the key is there"));
    EXPECT_EQ(CFDictionaryGetValue(d, str("a")), five.get()); // found by an equal key
    CFDictionaryReplaceValue(d, CFSTR("missing"), five);
    EXPECT_EQ(CFDictionaryGetCount(d), 1);
    CFDictionarySetValue(d, CFSTR("b"), kCFBooleanTrue);
    CFDictionaryRemoveValue(d, CFSTR("a"));
    EXPECT_EQ(CFGetRetainCount(five), 1);
    EXPECT_FALSE(CFDictionaryContainsKey(d, CFSTR("a")));
    EXPECT_TRUE(CFDictionaryContainsValue(d, kCFBooleanTrue));

    // A copied-string key is the dictionary's own: changing the caller's
    // string afterwards changes nothing.
    Ref<CFMutableDictionaryRef> c(CFDictionaryCreateMutable(
        nullptr, 0, &kCFCopyStringDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    Ref<CFMutableStringRef> key(CFStringCreateMutableCopy(nullptr, 0, CFSTR("key")));
    CFDictionarySetValue(c, key, five);
    CFStringAppend(key, CFSTR("2"));
    EXPECT_EQ(CFDictionaryGetValue(c, CFSTR("key")), five.get());

    Ref<CFDictionaryRef> frozen(CFDictionaryCreateCopy(nullptr, d));
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(frozen.get()), CFSTR("c"), five);
    EXPECT_EQ(CFDictionaryGetCount(frozen), 1);
    EXPECT_TRUE(CFEqual(frozen, d));
}

TEST(CFCollections, MutableArrayInsertsRemovesAndIgnoresBadIndexes) {
    Ref<CFMutableArrayRef> a(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(a, CFSTR("b"));
    CFArrayInsertValueAtIndex(a, 0, CFSTR("a"));
    CFArrayAppendValue(a, CFSTR("d"));
    CFArraySetValueAtIndex(a, 2, CFSTR("c"));
    CFArrayInsertValueAtIndex(a, 9, CFSTR("x"));
    CFArrayRemoveValueAtIndex(a, -1);
    ASSERT_EQ(CFArrayGetCount(a), 3);
    EXPECT_EQ(text(CFArrayGetValueAtIndex(a, 0)), "a");
    EXPECT_EQ(text(CFArrayGetValueAtIndex(a, 2)), "c");
    EXPECT_EQ(CFArrayGetValueAtIndex(a, 3), nullptr);
    EXPECT_EQ(CFArrayGetFirstIndexOfValue(a, CFRangeMake(0, 3), str("c")), 2);
    CFArrayRemoveValueAtIndex(a, 1);
    EXPECT_EQ(CFArrayGetCount(a), 2);

    const void* items[] = {CFSTR("a"), CFSTR("c")};
    Ref<CFArrayRef> same(CFArrayCreate(nullptr, items, 2, &kCFTypeArrayCallBacks));
    EXPECT_TRUE(CFEqual(same, a));
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(same.get()), CFSTR("z"));
    EXPECT_EQ(CFArrayGetCount(same), 2);
}

// Every typed call given the wrong type answers false, 0 or null and leaves
// what it would have written alone.
TEST(CFTypes, WrongTypedCallsAnswerNothingAndLeaveTheirOutputAlone) {
    Ref<CFStringRef> s = str("text");
    Ref<CFNumberRef> n = num(7);
    Ref<CFArrayRef> a(CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
    Ref<CFDictionaryRef> d(CFDictionaryCreate(nullptr, nullptr, nullptr, 0,
                                              &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks));
    const SInt32 kSentinel = 0x5A5A5A5A;
    SInt32 out = kSentinel;
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    UInt8 bytes[4] = {9, 9, 9, 9};
    UniChar units[2] = {9, 9};
    const void* value = &out;

    EXPECT_FALSE(
        CFNumberGetValue(reinterpret_cast<CFNumberRef>(s.get()), kCFNumberSInt32Type, &out));
    EXPECT_FALSE(CFNumberGetValue(nullptr, kCFNumberSInt32Type, &out));
    EXPECT_EQ(out, kSentinel);
    EXPECT_FALSE(CFBooleanGetValue(reinterpret_cast<CFBooleanRef>(n.get())));
    EXPECT_FALSE(CFStringGetCString(reinterpret_cast<CFStringRef>(n.get()), buf, sizeof buf,
                                    kCFStringEncodingUTF8));
    EXPECT_EQ(std::string(buf, sizeof buf), "########");
    EXPECT_EQ(CFStringGetCStringPtr(reinterpret_cast<CFStringRef>(n.get()), kCFStringEncodingUTF8),
              nullptr);
    CFStringGetCharacters(reinterpret_cast<CFStringRef>(d.get()), CFRangeMake(0, 2), units);
    EXPECT_EQ(units[0], 9);
    EXPECT_EQ(CFStringGetLength(reinterpret_cast<CFStringRef>(a.get())), 0);
    EXPECT_EQ(CFStringGetIntValue(reinterpret_cast<CFStringRef>(n.get())), 0);
    EXPECT_EQ(CFDataGetBytePtr(reinterpret_cast<CFDataRef>(s.get())), nullptr);
    EXPECT_EQ(CFDataGetLength(reinterpret_cast<CFDataRef>(a.get())), 0);
    CFDataGetBytes(reinterpret_cast<CFDataRef>(n.get()), CFRangeMake(0, 4), bytes);
    EXPECT_EQ(bytes[0], 9);
    EXPECT_EQ(CFArrayGetCount(reinterpret_cast<CFArrayRef>(d.get())), 0);
    EXPECT_EQ(CFArrayGetValueAtIndex(reinterpret_cast<CFArrayRef>(s.get()), 0), nullptr);
    EXPECT_EQ(CFDictionaryGetValue(reinterpret_cast<CFDictionaryRef>(a.get()), CFSTR("k")),
              nullptr);
    EXPECT_FALSE(CFDictionaryGetValueIfPresent(reinterpret_cast<CFDictionaryRef>(s.get()),
                                               CFSTR("k"), &value));
    EXPECT_EQ(value, &out);
    EXPECT_EQ(CFDictionaryGetCount(reinterpret_cast<CFDictionaryRef>(n.get())), 0);
    EXPECT_FALSE(
        CFURLGetFileSystemRepresentation(reinterpret_cast<CFURLRef>(s.get()), true, bytes, 4));
    EXPECT_EQ(bytes[0], 9);
    EXPECT_EQ(CFBundleGetIdentifier(reinterpret_cast<CFBundleRef>(
                  const_cast<void*>(static_cast<const void*>(s.get())))),
              nullptr);
    EXPECT_EQ(CFRunLoopTimerIsValid(reinterpret_cast<CFRunLoopTimerRef>(
                  const_cast<void*>(static_cast<const void*>(n.get())))),
              false);

    // Changing calls on another type, or on an immutable object, change nothing.
    CFStringAppend(const_cast<CFMutableStringRef>(s.get()), CFSTR("more"));
    EXPECT_EQ(text(s), "text");
    CFArrayAppendValue(
        reinterpret_cast<CFMutableArrayRef>(const_cast<CFMutableDictionaryRef>(d.get())), s);
    CFDictionarySetValue(
        reinterpret_cast<CFMutableDictionaryRef>(const_cast<CFMutableArrayRef>(a.get())), s, s);
    EXPECT_EQ(CFDictionaryGetCount(d), 0);
    EXPECT_EQ(CFArrayGetCount(a), 0);
}

TEST(CFTypes, ShowWritesTheDescriptionToTheLog) {
    hx::log::Capture log;
    CFShow(CFSTR("hello"));
    CFShow(num(-12));
    Ref<CFMutableDictionaryRef> d(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    const UInt8 raw[] = {1, 2, 0xAB};
    Ref<CFDataRef> data(CFDataCreate(nullptr, raw, 3));
    CFDictionarySetValue(d, CFSTR("blob"), data);
    CFShow(d);
    EXPECT_EQ(log.text(), "hello\n-12\n{\n    blob = <0102ab>;\n}\n");
}

} // namespace
