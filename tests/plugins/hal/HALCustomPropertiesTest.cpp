// The custom 'Qn..' properties of the HAL plug-in, through the HAL host, on
// the simulated HX-5100 on the virtual clock: the table of sizes and
// writability, gets behind guard bytes at every size, the objects handed out,
// sets checked before anything is sent, failed kernel calls, the routing
// entries in the kernel and the settings registry, streaming suspension and
// the firmware update mode.
#include "tests/plugins/hal/HALPlugInFixture.h"

#include "driver/engine/ZrDevice.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/iokit/HXIOKit.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace hx::haltest;
using hx::coreaudio::fourCC;
using hx::coreaudio::HALAnnouncement;

namespace {

constexpr OSStatus kWho = kAudioHardwareUnknownPropertyError;
constexpr OSStatus kSiz = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kInternal = OSStatus(0xE00002C9);
constexpr uint32_t kAudioClientConnection = 0; // the device's connection type
constexpr uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

UInt32 sel(const char* c) {
    return fourCC(*reinterpret_cast<const char(*)[5]>(c));
}

std::string text(CFStringRef s) {
    if (!s) return "(null)";
    char buf[256] = {};
    CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8);
    return buf;
}

// A caller's buffer with guard bytes on both sides.
struct Guarded {
    explicit Guarded(std::size_t bytes) : mem(bytes + 2 * kGuardBytes, kGuard) {}
    uint8_t* data() { return mem.data() + kGuardBytes; }
    bool guardsIntact(std::size_t given) const {
        for (std::size_t i = 0; i < mem.size(); ++i)
            if ((i < kGuardBytes || i >= kGuardBytes + given) && mem[i] != kGuard) return false;
        return true;
    }
    bool untouched() const {
        for (uint8_t b : mem)
            if (b != kGuard) return false;
        return true;
    }
    CFTypeRef object() const {
        CFTypeRef o;
        std::memcpy(&o, mem.data() + kGuardBytes, sizeof o);
        return o;
    }
    std::vector<uint8_t> mem;
};

enum class Kind {
    Object,    // a new object (CF type below) the caller releases; status 0
    Null,      // a null object, status 0
    Unreadable // 'who?'
};

struct Row {
    const char* selector;
    bool writable;
    Kind kind;
    CFTypeID (*type)(); // for Object
};

// Every object selector; 'QNrt' (12 bytes) has its own tests.
const Row kRows[] = {
    {"QnCS", true, Kind::Object, CFNumberGetTypeID},
    {"QnDM", true, Kind::Object, CFNumberGetTypeID},
    {"QnFM", true, Kind::Null, nullptr},
    {"QnFP", true, Kind::Null, nullptr},
    {"QnFW", true, Kind::Unreadable, nullptr},
    {"QnMB", true, Kind::Null, nullptr},
    {"QnMF", true, Kind::Null, nullptr},
    {"QnMM", true, Kind::Object, CFNumberGetTypeID},
    {"QnOS", true, Kind::Object, CFNumberGetTypeID},
    {"QnRB", true, Kind::Null, nullptr},
    {"QnRM", true, Kind::Object, CFDataGetTypeID},
    {"QnRo", true, Kind::Unreadable, nullptr},
    {"QnSt", true, Kind::Null, nullptr},
    {"QnSV", true, Kind::Object, CFDictionaryGetTypeID},
    {"QnU1", true, Kind::Object, CFNumberGetTypeID},
    {"QnDS", false, Kind::Object, CFDictionaryGetTypeID},
    {"QnDV", false, Kind::Object, CFStringGetTypeID},
    {"QnFV", false, Kind::Object, CFDictionaryGetTypeID},
    {"QnIL", false, Kind::Object, CFDataGetTypeID},
    {"QnIO", false, Kind::Object, CFDictionaryGetTypeID},
    {"QnOL", false, Kind::Object, CFDataGetTypeID},
    {"QnPC", false, Kind::Object, CFDataGetTypeID},
    {"QnPD", false, Kind::Object, CFNumberGetTypeID},
    {"QnSN", false, Kind::Object, CFStringGetTypeID},
    {"QnSW", false, Kind::Object, CFNumberGetTypeID},
    {"QnTy", false, Kind::Object, CFStringGetTypeID},
    {"QnVD", false, Kind::Object, CFNumberGetTypeID},
};

CFNumberRef number(int32_t v) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
}

CFDataRef bytes(std::size_t n, uint8_t fill = 0) {
    std::vector<uint8_t> b(n, fill);
    return CFDataCreate(nullptr, b.data(), CFIndex(n));
}

CFDictionaryRef numbersUnder(std::initializer_list<const char*> keys) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    int32_t v = 1;
    for (const char* k : keys) {
        CFStringRef key = CFStringCreateWithCString(nullptr, k, kCFStringEncodingASCII);
        CFNumberRef n = number(v++);
        CFDictionarySetValue(d, key, n);
        CFRelease(key);
        CFRelease(n);
    }
    return d;
}

CFDictionaryRef mixerFractions() {
    return numbersUnder({"MixerFractionChannel", "MixerFractionLNumerator",
                         "MixerFractionLDenominator", "MixerFractionRNumerator",
                         "MixerFractionRDenominator"});
}

CFDictionaryRef mixerValues() {
    return numbersUnder({"MixerBitmap", "MixerKnob"});
}

CFDataRef routingEntryData(uint32_t first, uint32_t second, uint32_t value) {
    const uint32_t words[3] = {first, second, value};
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(words), sizeof words);
}

// Owns a CF value for the length of a test.
struct Owned {
    explicit Owned(CFTypeRef o) : obj(o) {}
    ~Owned() {
        if (obj) CFRelease(obj);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    CFTypeRef obj;
};

class HALCustom : public HALPlugIn {
protected:
    void SetUp() override {
        HALPlugIn::SetUp();
        ASSERT_EQ(load(), 0);
        dev = onlyDevice();
        ASSERT_NE(dev, 0u);
    }
    void TearDown() override {
        hx::iokit::clearFailNextCall();
        HALPlugIn::TearDown();
    }
    // A set of one object.
    OSStatus setObject(const char* c, CFTypeRef obj) {
        return AudioDeviceSetProperty(dev, nullptr, 0, false, sel(c), sizeof obj, &obj);
    }
    // A get of one object the caller releases.
    OSStatus getObject(const char* c, CFTypeRef& obj) {
        obj = nullptr;
        UInt32 size = sizeof obj;
        return AudioDeviceGetProperty(dev, 0, false, sel(c), &size, &obj);
    }
    OSStatus setEntry(uint32_t first, uint32_t second, uint32_t value) {
        const uint32_t words[3] = {first, second, value};
        return AudioDeviceSetProperty(dev, nullptr, 0, false, sel("QNrt"), sizeof words, words);
    }
    ZrDevice* kernel() { return mRoad->harness()->device(); }
    AudioDeviceID dev = 0;
};

// ---- The table

TEST_F(HALCustom, EveryCustomSelectorAnswersItsSizeAndGetsStayInsideTheGivenSize) {
    EXPECT_EQ(std::size(kRows) + 1, 28u) << "with 'QNrt'";
    for (const Row& r : kRows) {
        const UInt32 s = sel(r.selector);
        for (bool isInput : {false, true}) {
            for (UInt32 element : {0u, 1u}) {
                SCOPED_TRACE(std::string(r.selector) + (isInput ? " input" : " output") +
                             " element " + std::to_string(element));
                UInt32 size = 0xDEAD;
                Boolean writable = 7;
                EXPECT_EQ(AudioDeviceGetPropertyInfo(dev, element, isInput, s, &size, &writable),
                          0);
                EXPECT_EQ(size, 8u);
                EXPECT_EQ(bool(writable), r.writable);

                // Null size pointer and null data.
                Guarded g(8);
                EXPECT_EQ(AudioDeviceGetProperty(dev, element, isInput, s, nullptr, g.data()),
                          r.kind == Kind::Unreadable ? kWho : kSiz);
                size = 8;
                EXPECT_EQ(AudioDeviceGetProperty(dev, element, isInput, s, &size, nullptr),
                          r.kind == Kind::Unreadable ? kWho : kSiz);
                EXPECT_TRUE(g.untouched());

                for (UInt32 given : {0u, 7u, 8u, 24u}) {
                    SCOPED_TRACE("size " + std::to_string(given));
                    Guarded b(given);
                    UInt32 io = given;
                    const OSStatus st =
                        AudioDeviceGetProperty(dev, element, isInput, s, &io, b.data());
                    EXPECT_TRUE(b.guardsIntact(given));
                    if (r.kind == Kind::Unreadable) {
                        EXPECT_EQ(st, kWho);
                        EXPECT_TRUE(b.untouched());
                        continue;
                    }
                    // 'QnCS' takes any size that holds the object; the others
                    // exactly 8 bytes.
                    const bool taken =
                        given == 8 || (given > 8 && std::strcmp(r.selector, "QnCS") == 0);
                    if (!taken) {
                        EXPECT_EQ(st, kSiz);
                        EXPECT_TRUE(b.untouched());
                        continue;
                    }
                    EXPECT_EQ(st, 0);
                    EXPECT_EQ(io, given);
                    Owned o(b.object());
                    if (r.kind == Kind::Null) {
                        EXPECT_EQ(o.obj, nullptr);
                    } else {
                        ASSERT_NE(o.obj, nullptr);
                        EXPECT_EQ(CFGetTypeID(o.obj), r.type());
                    }
                }
            }
        }
    }
}

TEST_F(HALCustom, RoutingEntryRowTakesTwelveBytes) {
    UInt32 size = 0;
    Boolean writable = false;
    EXPECT_EQ(AudioDeviceGetPropertyInfo(dev, 0, false, sel("QNrt"), &size, &writable), 0);
    EXPECT_EQ(size, 12u);
    EXPECT_TRUE(writable);
    ASSERT_EQ(setEntry(1, 0, 2), 0);
    for (UInt32 given : {0u, 8u, 11u, 12u, 16u}) {
        SCOPED_TRACE(given);
        Guarded b(given);
        const uint32_t indices[2] = {1, 0};
        if (given >= 8) std::memcpy(b.data(), indices, sizeof indices);
        const std::vector<uint8_t> before = b.mem;
        UInt32 io = given;
        const OSStatus st = AudioDeviceGetProperty(dev, 0, false, sel("QNrt"), &io, b.data());
        EXPECT_TRUE(b.guardsIntact(given));
        if (given != 12) {
            EXPECT_EQ(st, kSiz);
            EXPECT_EQ(b.mem, before);
            continue;
        }
        EXPECT_EQ(st, 0);
        uint32_t words[3];
        std::memcpy(words, b.data(), sizeof words);
        EXPECT_EQ(words[0], 1u);
        EXPECT_EQ(words[1], 0u);
        EXPECT_EQ(words[2], 2u);
    }
    uint32_t words[3] = {1, 0, 0};
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QNrt"), nullptr, words), kSiz);
    size = 12;
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QNrt"), &size, nullptr), kSiz);
}

// ---- The Part's edge cases

TEST_F(HALCustom, PlugInTypeNeedsEightBytes) {
    CFStringRef s = nullptr;
    UInt32 size = 8;
    ASSERT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QnTy"), &size, &s), 0);
    Owned o(s);
    EXPECT_EQ(text(s), "QuarnelHalPluginType");
    Guarded g(8);
    size = 4;
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QnTy"), &size, g.data()), kSiz);
    EXPECT_TRUE(g.untouched());
}

TEST_F(HALCustom, WriteOnlySettingsReadAsNull) {
    CFTypeRef o = reinterpret_cast<CFTypeRef>(uintptr_t(0x1234));
    EXPECT_EQ(getObject("QnMB", o), 0);
    EXPECT_EQ(o, nullptr);
}

TEST_F(HALCustom, IdentityNumbersAndVersions) {
    CFTypeRef o = nullptr;
    int32_t v = 0;
    ASSERT_EQ(getObject("QnVD", o), 0);
    CFNumberGetValue(CFNumberRef(o), kCFNumberSInt32Type, &v);
    CFRelease(o);
    EXPECT_EQ(v, int32_t(kKorvexVendorID));
    ASSERT_EQ(getObject("QnPD", o), 0);
    CFNumberGetValue(CFNumberRef(o), kCFNumberSInt32Type, &v);
    CFRelease(o);
    EXPECT_EQ(v, int32_t(kKorvexHX5100ProductID));
    ASSERT_EQ(getObject("QnSW", o), 0);
    CFNumberGetValue(CFNumberRef(o), kCFNumberSInt32Type, &v);
    CFRelease(o);
    EXPECT_GE(v, 16);
    EXPECT_LE(v, 32);
    ASSERT_EQ(getObject("QnFV", o), 0);
    Owned fv(o);
    CFTypeRef vs = CFDictionaryGetValue(CFDictionaryRef(o), CFSTR("versionString"));
    CFTypeRef vn = CFDictionaryGetValue(CFDictionaryRef(o), CFSTR("versionNumber"));
    ASSERT_NE(vs, nullptr);
    ASSERT_NE(vn, nullptr);
    EXPECT_EQ(CFGetTypeID(vs), CFStringGetTypeID());
    EXPECT_EQ(CFGetTypeID(vn), CFNumberGetTypeID());
}

TEST_F(HALCustom, ServicePropertiesReleasedByTheCallerStayIntactForTheNextCall) {
    CFTypeRef first = nullptr;
    ASSERT_EQ(getObject("QnIO", first), 0);
    ASSERT_NE(first, nullptr);
    const CFIndex count = CFDictionaryGetCount(CFDictionaryRef(first));
    EXPECT_GT(count, 0);
    EXPECT_TRUE(CFDictionaryContainsKey(CFDictionaryRef(first), CFSTR("ChannelSettings")));
    CFRelease(first);
    for (int i = 0; i < 3; ++i) {
        CFTypeRef again = nullptr;
        ASSERT_EQ(getObject("QnIO", again), 0);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(CFGetTypeID(again), CFDictionaryGetTypeID());
        EXPECT_EQ(CFDictionaryGetCount(CFDictionaryRef(again)), count);
        EXPECT_TRUE(CFDictionaryContainsKey(CFDictionaryRef(again), CFSTR("ChannelSettings")));
        CFRelease(again);
    }
}

TEST_F(HALCustom, RoutingEntrySetReachesTheKernelAndIsStoredUnderItsKey) {
    ASSERT_EQ(setEntry(1, 0, 2), 0);
    settle();
    EXPECT_EQ(kernel()->getAjExtData().mRoutingIn[0], 2u);
    CFPreferencesAppSynchronize(CFSTR("com.korvex.hx5100.hal"));
    CFPropertyListRef stored =
        CFPreferencesCopyAppValue(CFSTR("Routing_1_0"), CFSTR("com.korvex.hx5100.hal"));
    ASSERT_NE(stored, nullptr);
    Owned o(stored);
    EXPECT_EQ(CFGetTypeID(stored), CFStringGetTypeID());
    EXPECT_EQ(text(CFStringRef(stored)), "2");

    // The same entry as CFData.
    Owned entry(routingEntryData(1, 0, 1));
    ASSERT_EQ(setObject("QnRo", entry.obj), 0);
    settle();
    EXPECT_EQ(kernel()->getAjExtData().mRoutingIn[0], 1u);
    uint32_t words[3] = {1, 0, 0};
    UInt32 size = sizeof words;
    ASSERT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QNrt"), &size, words), 0);
    EXPECT_EQ(words[2], 1u);
}

TEST_F(HALCustom, RoutingEntryOfAnotherSizeChangesNothing) {
    ASSERT_EQ(setEntry(1, 0, 1), 0);
    settle();
    const uint64_t calls = hx::iokit::connectCallCount();
    const uint32_t words[3] = {1, 0, 2};
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel("QNrt"), 8, words), kSiz);
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel("QNrt"), 16, words), kSiz);
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel("QNrt"), 12, nullptr), kSiz);
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    EXPECT_EQ(kernel()->getAjExtData().mRoutingIn[0], 1u);
    uint32_t back[3] = {1, 0, 0};
    UInt32 size = sizeof back;
    ASSERT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QNrt"), &size, back), 0);
    EXPECT_EQ(back[2], 1u);
}

TEST_F(HALCustom, StreamingSuspendsOnZeroAndResumesOnOne) {
    Owned zero(number(0)), one(number(1));
    EXPECT_EQ(setObject("QnSt", zero.obj), 0);
    settle();
    EXPECT_TRUE(kernel()->isStreamingSuspended());
    EXPECT_EQ(setObject("QnSt", one.obj), 0);
    settle();
    EXPECT_FALSE(kernel()->isStreamingSuspended());
}

TEST_F(HALCustom, RoutingMatrixSetReachesTheKernel) {
    uint8_t matrix[32];
    for (int i = 0; i < 32; ++i)
        matrix[i] = uint8_t(31 - i);
    Owned data(CFDataCreate(nullptr, matrix, sizeof matrix));
    ASSERT_EQ(setObject("QnRM", data.obj), 0);
    CFTypeRef back = nullptr;
    ASSERT_EQ(getObject("QnRM", back), 0);
    Owned b(back);
    ASSERT_EQ(CFDataGetLength(CFDataRef(back)), 32);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(CFDataRef(back)), matrix, 32), 0);
}

TEST_F(HALCustom, FirmwareUpdateModeZeroDoesNothing) {
    Owned zero(number(0));
    settle();
    const uint64_t calls = hx::iokit::connectCallCount();
    EXPECT_EQ(setObject("QnFW", zero.obj), 0);
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    settle();
    EXPECT_EQ(mHost->devices().size(), 1u);
}

TEST_F(HALCustom, FirmwareUpdateModeOneTakesTheDeviceAwayAnnouncedOnce) {
    const SInt8 one = 1;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt8Type, &one);
    Owned o(n);
    settle();
    const uint64_t calls = hx::iokit::connectCallCount();
    EXPECT_EQ(setObject("QnFW", n), 0);
    EXPECT_GT(hx::iokit::connectCallCount(), calls) << "request 35 sent";
    ASSERT_TRUE(devicesBecome(0));
    int died = 0;
    for (const auto& a : mHost->announcements())
        died += a.kind == HALAnnouncement::Kind::DevicesDied && a.device == dev;
    EXPECT_EQ(died, 1);
    UInt32 size = 8;
    CFTypeRef obj = nullptr;
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, sel("QnTy"), &size, &obj), kNoDevice);
}

// ---- Sets check the value before anything is sent

struct BadSet {
    const char* selector;
    CFTypeRef (*value)(); // a new object, or null
};

CFTypeRef none() {
    return nullptr;
}
CFTypeRef aString() {
    return CFStringCreateCopy(nullptr, CFSTR("7"));
}
CFTypeRef aNumber() {
    return number(7);
}
CFTypeRef short32() {
    return bytes(31);
}
CFTypeRef short64() {
    return bytes(63);
}
CFTypeRef short1536() {
    return bytes(1535);
}
CFTypeRef eleven() {
    return bytes(11);
}
CFTypeRef thirteen() {
    return bytes(13);
}
CFTypeRef fractionsMissingAKey() {
    return numbersUnder({"MixerFractionChannel", "MixerFractionLNumerator",
                         "MixerFractionLDenominator", "MixerFractionRNumerator"});
}
CFTypeRef valuesWithAString() {
    CFDictionaryRef values = mixerValues();
    CFMutableDictionaryRef d = CFDictionaryCreateMutableCopy(nullptr, 0, values);
    CFRelease(values);
    CFDictionarySetValue(d, CFSTR("MixerKnob"), CFSTR("3"));
    return d;
}

const BadSet kBadSets[] = {
    {"QnCS", none},      {"QnCS", aString},
    {"QnDM", aString},   {"QnOS", short32},
    {"QnU1", none},      {"QnRM", aNumber},
    {"QnRM", short32},   {"QnMM", aString},
    {"QnMF", aNumber},   {"QnMF", fractionsMissingAKey},
    {"QnMB", short64},   {"QnMB", none},
    {"QnRB", short1536}, {"QnRB", aString},
    {"QnFM", aString},   {"QnFP", none},
    {"QnSt", aString},   {"QnSt", none},
    {"QnFW", aString},   {"QnFW", none},
    {"QnSV", aNumber},   {"QnSV", valuesWithAString},
    {"QnRo", eleven},    {"QnRo", thirteen},
    {"QnRo", aNumber},
};

TEST_F(HALCustom, SetsWithTheWrongTypeOrShortDataSendNothing) {
    for (const BadSet& b : kBadSets) {
        Owned v(b.value());
        SCOPED_TRACE(b.selector);
        settle();
        const uint64_t calls = hx::iokit::connectCallCount();
        EXPECT_EQ(setObject(b.selector, v.obj), kBadArgument);
        EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    }
}

TEST_F(HALCustom, SetsCheckSizeAndDataFirst) {
    const UInt32 writable[] = {sel("QnCS"), sel("QnDM"), sel("QnFM"), sel("QnFP"), sel("QnFW"),
                               sel("QnMB"), sel("QnMF"), sel("QnMM"), sel("QnOS"), sel("QnRB"),
                               sel("QnRM"), sel("QnRo"), sel("QnSt"), sel("QnSV"), sel("QnU1")};
    Owned n(number(1));
    settle();
    const uint64_t calls = hx::iokit::connectCallCount();
    for (UInt32 s : writable) {
        SCOPED_TRACE(s);
        EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, s, 8, nullptr), kSiz);
        EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, s, 4, &n.obj), kSiz);
    }
    // Only the clock source and the firmware update mode take a larger size.
    uint8_t sixteen[16] = {};
    std::memcpy(sixteen, &n.obj, sizeof n.obj);
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel("QnDM"), 16, sixteen), kSiz);
    EXPECT_EQ(hx::iokit::connectCallCount(), calls);
    Owned zero(number(0));
    std::memcpy(sixteen, &zero.obj, sizeof zero.obj);
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel("QnFW"), 16, sixteen), 0);
    // Read-only selectors are not set.
    for (const char* c : {"QnDS", "QnTy", "QnIO", "QnPD"})
        EXPECT_EQ(setObject(c, n.obj), kWho) << c;
}

// ---- A failed kernel call

struct GoodSet {
    const char* selector;
    CFTypeRef (*value)();
    OSStatus whenFailed;
};

CFTypeRef one() {
    return number(1);
}
CFTypeRef zeroNumber() {
    return number(0);
}
CFTypeRef matrix() {
    return bytes(32);
}
CFTypeRef mixerBuffer() {
    return bytes(64);
}
CFTypeRef reverb() {
    return bytes(1536);
}
CFTypeRef fractions() {
    return mixerFractions();
}
CFTypeRef values() {
    return mixerValues();
}
CFTypeRef entry() {
    return routingEntryData(1, 0, 2);
}
CFTypeRef firmwareOne() {
    const SInt8 v = 1;
    return CFNumberCreate(nullptr, kCFNumberSInt8Type, &v);
}

const GoodSet kGoodSets[] = {
    {"QnCS", one, kInternal},        {"QnDM", zeroNumber, kInternal},
    {"QnOS", zeroNumber, kInternal}, {"QnU1", zeroNumber, kInternal},
    {"QnRM", matrix, kInternal},     {"QnMM", one, kInternal},
    {"QnMF", fractions, kInternal},  {"QnMB", mixerBuffer, kInternal},
    {"QnRB", reverb, kInternal},     {"QnFM", zeroNumber, kInternal},
    {"QnFP", zeroNumber, kInternal}, {"QnRo", entry, kInternal},
    {"QnSV", values, kInternal},     {"QnSt", one, 0},
    {"QnSt", zeroNumber, 0},         {"QnFW", firmwareOne, 0},
};

TEST_F(HALCustom, SetsAnswerInternalErrorWhenTheirKernelCallFails) {
    for (const GoodSet& g : kGoodSets) {
        SCOPED_TRACE(g.selector);
        Owned v(g.value());
        // The state changes earlier sets caused are handled first: their
        // calls must not take the failure.
        settle();
        const uint64_t calls = hx::iokit::connectCallCount();
        hx::iokit::failNextCall(kAudioClientConnection);
        EXPECT_EQ(setObject(g.selector, v.obj), g.whenFailed);
        EXPECT_EQ(hx::iokit::connectCallCount(), calls + 1);
        hx::iokit::clearFailNextCall();
        // With the kernel answering again the same set goes through.
        if (std::strcmp(g.selector, "QnFW") != 0) {
            EXPECT_EQ(setObject(g.selector, v.obj), 0);
        }
    }
    // The routing entry and the standard clock source likewise.
    settle();
    hx::iokit::failNextCall(kAudioClientConnection);
    EXPECT_EQ(setEntry(1, 0, 2), kInternal);
    settle();
    hx::iokit::failNextCall(kAudioClientConnection);
    const UInt32 source = 0;
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel("csrc"), sizeof source, &source),
              kInternal);
    hx::iokit::clearFailNextCall();
    // The firmware update mode never reached the kernel: the device stays.
    settle();
    EXPECT_EQ(mHost->devices().size(), 1u);
}

TEST_F(HALCustom, GetsWhoseKernelCallFailsHandOutNoObject) {
    for (const char* c : {"QnDV", "QnSN", "QnIL", "QnOL", "QnPC", "QnRM", "QnSV", "QnFV"}) {
        SCOPED_TRACE(c);
        settle();
        hx::iokit::failNextCall(kAudioClientConnection);
        CFTypeRef o = reinterpret_cast<CFTypeRef>(uintptr_t(0x1234));
        const OSStatus st = getObject(c, o);
        hx::iokit::clearFailNextCall();
        // 'QnFV' asks for the version string first, then the number.
        if (std::strcmp(c, "QnFV") == 0) {
            EXPECT_EQ(st, 0);
            Owned fv(o);
            ASSERT_NE(o, nullptr);
            EXPECT_EQ(
                text(CFStringRef(CFDictionaryGetValue(CFDictionaryRef(o), CFSTR("versionString")))),
                "");
            continue;
        }
        EXPECT_EQ(st, kInternal);
        EXPECT_EQ(o, nullptr);
    }
}

} // namespace
