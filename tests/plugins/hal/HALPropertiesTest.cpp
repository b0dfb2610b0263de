// The standard device properties and the stream and object routes of the
// HAL plug-in, through the HAL host, on the simulated HX-5100 on the virtual
// clock: sizes and writability, gets behind guard bytes at every size, sets,
// the edge cases of the selectors, and the object-route table.
#include "tests/plugins/hal/HALPlugInFixture.h"

#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"
#include "platform/cf/CFURL.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/sys/HXProcess.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace hx::haltest;
using hx::coreaudio::fourCC;
using hx::devroad::RampProc;

namespace {

constexpr OSStatus kWho = kAudioHardwareUnknownPropertyError;
constexpr OSStatus kSiz = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kWhat = kAudioHardwareUnspecifiedError;
constexpr OSStatus kObj = kAudioHardwareBadObjectError;
constexpr uint8_t kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 16;

std::string code(UInt32 c) {
    return {char(c >> 24), char(c >> 16), char(c >> 8), char(c)};
}

std::string cfText(CFStringRef s) {
    if (!s) return "(null)";
    char buf[512] = {};
    CFStringGetCString(s, buf, sizeof buf, kCFStringEncodingUTF8);
    return buf;
}

struct Info {
    OSStatus status;
    UInt32 size;
    Boolean writable;
};

Info info(AudioDeviceID dev, UInt32 element, bool isInput, UInt32 selector) {
    Info i{1, 0xDEAD, 7};
    i.status = AudioDeviceGetPropertyInfo(dev, element, isInput, selector, &i.size, &i.writable);
    return i;
}

// A caller's buffer with guard bytes on both sides.
struct Guarded {
    explicit Guarded(std::size_t bytes) : mem(bytes + 2 * kGuardBytes, kGuard), size(bytes) {}
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
    template <class T> T as() const {
        T v;
        std::memcpy(&v, mem.data() + kGuardBytes, sizeof v);
        return v;
    }
    std::vector<uint8_t> mem;
    std::size_t size;
};

template <class T>
OSStatus getValue(AudioDeviceID dev, bool isInput, UInt32 selector, T& value, UInt32 element = 0) {
    UInt32 size = sizeof value;
    return AudioDeviceGetProperty(dev, element, isInput, selector, &size, &value);
}

template <class T>
OSStatus setValue(AudioDeviceID dev, bool isInput, UInt32 selector, T value, UInt32 element = 0) {
    return AudioDeviceSetProperty(dev, nullptr, element, isInput, selector, sizeof value, &value);
}

// How a get answers by the size it is given.
enum class Kind {
    Value,        // needed bytes; shorter or null: '!siz'
    CFObject,     // a new object of 8 bytes; shorter or null: '!siz'
    Zero,         // status 0 always; written only when it fits
    ExactFour,    // status 0 always; written only for exactly 4 bytes
    Unreadable,   // 'who?' always
    Manufacturer, // short or null: 'who?'
    Name,         // null: 'who?'; short: cut, status 0
    Rates,        // null: 'who?'; else the ranges that fit, size := their bytes
    Control,      // as Value when the control exists; else 'who?'
};

struct Row {
    const char* selector;
    UInt32 size; // GetPropertyInfo's size (0: taken from the device)
    bool writable;
    Kind kind;
};

// The standard selectors on the HX-5100 (both directions).
const Row kStandard[] = {
    {"akin", 4, false, Kind::Zero},        {"asrt", 8, false, Kind::Value},
    {"bsiz", 4, false, Kind::Value},       {"bsz#", 16, false, Kind::Value},
    {"capp", 8, false, Kind::CFObject},    {"clkd", 4, false, Kind::Value},
    {"csrc", 4, true, Kind::Value},        {"db2v", 4, false, Kind::Value},
    {"dch2", 8, false, Kind::Zero},        {"dflt", 4, false, Kind::Value},
    {"sflt", 4, false, Kind::Value},       {"fsiz", 4, true, Kind::Value},
    {"fsz#", 16, false, Kind::Value},      {"goin", 4, false, Kind::Value},
    {"gone", 4, false, Kind::Value},       {"hidn", 4, false, Kind::Value},
    {"over", 4, false, Kind::Value},       {"plug", 4, false, Kind::Value},
    {"saft", 4, false, Kind::Value},       {"icon", 8, false, Kind::CFObject},
    {"isub", 0, false, Kind::Unreadable},  {"smut", 0, false, Kind::Unreadable},
    {"svld", 0, false, Kind::Unreadable},  {"svlm", 0, false, Kind::Unreadable},
    {"vfsz", 0, false, Kind::Unreadable},  {"jack", 4, false, Kind::Value},
    {"lchn", 8, false, Kind::CFObject},    {"lisa", 12, false, Kind::Unreadable},
    {"lisr", 12, false, Kind::Unreadable}, {"livn", 4, false, Kind::Value},
    {"lmak", 8, false, Kind::CFObject},    {"lnam", 8, false, Kind::CFObject},
    {"ltnc", 4, false, Kind::Value},       {"makr", 0, false, Kind::Manufacturer},
    {"mix?", 4, false, Kind::Value},       {"muid", 8, false, Kind::CFObject},
    {"uid ", 8, false, Kind::CFObject},    {"mute", 4, true, Kind::Control},
    {"name", 0, false, Kind::Name},        {"nsr#", 0, false, Kind::Rates},
    {"nsrt", 8, true, Kind::Value},        {"oink", 4, true, Kind::Value},
    {"ownd", 4, false, Kind::Unreadable},  {"schn", 4, false, Kind::Value},
    {"sdir", 4, false, Kind::Value},       {"slay", 24, false, Kind::Value},
    {"stm#", 4, false, Kind::ExactFour},   {"suse", 16, true, Kind::Value},
    {"term", 4, false, Kind::Value},       {"thru", 4, true, Kind::Control},
    {"tran", 4, false, Kind::Value},       {"vold", 4, true, Kind::Control},
    {"volm", 4, true, Kind::Control},
};

// An IOProc that leaves its buffers as they are.
OSStatus quietProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                   const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    return 0;
}

OSStatus unusedProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList*,
                    const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*, void*) {
    return 1;
}

class HALProperties : public HALPlugIn {
protected:
    void SetUp() override {
        HALPlugIn::SetUp();
        ASSERT_EQ(load(), 0);
        dev = onlyDevice();
        ASSERT_NE(dev, 0u);
        ASSERT_EQ(getValue(dev, true, fourCC("stm#"), inStream), 0);
        ASSERT_EQ(getValue(dev, false, fourCC("stm#"), outStream), 0);
    }
    AudioDeviceID dev = 0;
    AudioStreamID inStream = 0;
    AudioStreamID outStream = 0;
};

// ---- The table: sizes, writability and gets at every size

TEST_F(HALProperties, EveryStandardSelectorAnswersItsSizeAndGetsStayInsideTheGivenSize) {
    EXPECT_EQ(std::size(kStandard), 53u);
    for (const Row& r : kStandard) {
        const UInt32 sel = fourCC(*reinterpret_cast<const char(*)[5]>(r.selector));
        for (bool isInput : {false, true}) {
            for (UInt32 element : {0u, 1u}) {
                SCOPED_TRACE(code(sel) + (isInput ? " input" : " output") + " element " +
                             std::to_string(element));
                const Info i = info(dev, element, isInput, sel);
                bool present = true;
                UInt32 needed = r.size;
                if (r.kind == Kind::Control) {
                    present = i.status == 0;
                    if (!present) {
                        EXPECT_EQ(i.status, kWho);
                        EXPECT_EQ(i.size, 0u);
                        EXPECT_FALSE(i.writable);
                    }
                } else if (r.kind == Kind::Manufacturer || r.kind == Kind::Name ||
                           r.kind == Kind::Rates) {
                    EXPECT_EQ(i.status, 0);
                    EXPECT_GT(i.size, 1u);
                    needed = i.size;
                } else {
                    EXPECT_EQ(i.status, r.size == 0 ? kWho : 0);
                    EXPECT_EQ(i.size, r.size);
                    EXPECT_EQ(bool(i.writable), r.writable);
                }
                if (present && r.kind == Kind::Control) {
                    EXPECT_EQ(i.size, r.size);
                    EXPECT_EQ(bool(i.writable), r.writable);
                }
                if (r.kind == Kind::Unreadable) needed = 4;

                // Null size pointer and null data.
                {
                    Guarded g(needed);
                    UInt32 size = needed;
                    const OSStatus a =
                        AudioDeviceGetProperty(dev, element, isInput, sel, nullptr, g.data());
                    const OSStatus b =
                        AudioDeviceGetProperty(dev, element, isInput, sel, &size, nullptr);
                    EXPECT_TRUE(g.untouched());
                    OSStatus want = kSiz;
                    if (r.kind == Kind::Zero || r.kind == Kind::ExactFour) want = 0;
                    if (r.kind == Kind::Unreadable || r.kind == Kind::Manufacturer ||
                        r.kind == Kind::Name || r.kind == Kind::Rates)
                        want = kWho;
                    if (r.kind == Kind::Control && !present) want = kSiz;
                    EXPECT_EQ(a, want) << "null size";
                    EXPECT_EQ(b, want) << "null data";
                }
                // Sizes 0, needed - 1, needed, needed + 16.
                for (UInt32 given : {0u, needed - 1, needed, needed + 16}) {
                    SCOPED_TRACE("size " + std::to_string(given));
                    Guarded g(given);
                    UInt32 size = given;
                    const OSStatus s =
                        AudioDeviceGetProperty(dev, element, isInput, sel, &size, g.data());
                    EXPECT_TRUE(g.guardsIntact(given)) << "wrote outside the given size";
                    const bool enough = given >= needed;
                    switch (r.kind) {
                    case Kind::Value:
                        // 'suse' names no IOProc of the device here.
                        EXPECT_EQ(s, !enough ? kSiz : sel == fourCC("suse") ? kNoDevice : 0);
                        if (!enough) {
                            EXPECT_TRUE(g.untouched());
                        }
                        break;
                    case Kind::CFObject:
                        EXPECT_EQ(s, enough ? 0 : kSiz);
                        if (enough) {
                            CFTypeRef object = g.as<CFTypeRef>();
                            if (sel != fourCC("lchn")) {
                                EXPECT_NE(object, nullptr);
                            }
                            if (object) CFRelease(object);
                        } else {
                            EXPECT_TRUE(g.untouched());
                        }
                        break;
                    case Kind::Zero:
                        EXPECT_EQ(s, 0);
                        if (!enough) {
                            EXPECT_TRUE(g.untouched());
                        }
                        break;
                    case Kind::ExactFour:
                        EXPECT_EQ(s, 0);
                        if (given != 4) {
                            EXPECT_TRUE(g.untouched());
                        }
                        if (given == 4) {
                            EXPECT_EQ(g.as<UInt32>(), isInput ? inStream : outStream);
                        }
                        break;
                    case Kind::Unreadable:
                        EXPECT_EQ(s, kWho);
                        EXPECT_TRUE(g.untouched());
                        break;
                    case Kind::Manufacturer:
                        EXPECT_EQ(s, enough ? 0 : kWho);
                        if (enough) {
                            EXPECT_EQ(g.data()[needed - 1], 0) << "terminated";
                        } else {
                            EXPECT_TRUE(g.untouched());
                        }
                        break;
                    case Kind::Name:
                        EXPECT_EQ(s, 0);
                        if (given > 0 && given < needed) {
                            EXPECT_NE(g.data()[given - 1], 0) << "cut, no terminator";
                        }
                        if (enough) {
                            EXPECT_EQ(g.data()[needed - 1], 0);
                        }
                        break;
                    case Kind::Rates:
                        EXPECT_EQ(s, 0);
                        EXPECT_EQ(size, std::min(given, needed) / 16 * 16);
                        break;
                    case Kind::Control:
                        if (!present) {
                            // 'thru' answers the status of the monitor read.
                            const OSStatus none = sel == fourCC("thru") ? kError : kWho;
                            EXPECT_EQ(s, enough && given >= 4 ? none : kSiz);
                            EXPECT_TRUE(g.untouched());
                        } else {
                            EXPECT_EQ(s, enough ? 0 : kSiz);
                        }
                        break;
                    }
                }
            }
        }
    }
}

TEST_F(HALProperties, UnknownSelectorsAnswerWhoWithSizeZero) {
    for (const char* c : {"zzzz", "Qzzz", "what", "    "}) {
        const UInt32 sel = fourCC(*reinterpret_cast<const char(*)[5]>(c));
        SCOPED_TRACE(c);
        const Info i = info(dev, 0, false, sel);
        EXPECT_EQ(i.status, kWho);
        EXPECT_EQ(i.size, 0u);
        EXPECT_FALSE(i.writable);
        Guarded g(8);
        UInt32 size = 8;
        EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, sel, &size, g.data()), kWho);
        EXPECT_TRUE(g.untouched());
        UInt32 v = 1;
        EXPECT_EQ(setValue(dev, false, sel, v), kWho);
    }
    // An unknown device.
    UInt32 size = 4, v = 0;
    Boolean w = 0;
    EXPECT_EQ(AudioDeviceGetPropertyInfo(dev + 1000, 0, false, fourCC("fsiz"), &size, &w),
              kNoDevice);
    EXPECT_EQ(AudioDeviceGetProperty(dev + 1000, 0, false, fourCC("fsiz"), &size, &v), kNoDevice);
    EXPECT_EQ(setValue(dev + 1000, false, fourCC("fsiz"), UInt32(256)), kNoDevice);
}

// ---- Values

TEST_F(HALProperties, ReadOnlySelectorsAnswerTheDevicesValues) {
    struct Expect {
        const char* selector;
        bool isInput;
        UInt32 value;
    };
    const Expect words[] = {
        {"clkd", false, 0},
        {"hidn", true, 0},
        {"over", false, 0},
        {"plug", false, 0},
        {"saft", true, 0},
        {"jack", true, 1},
        {"mix?", false, 1},
        {"schn", false, 1},
        {"sdir", true, 1},
        {"sdir", false, 0},
        {"term", true, fourCC("spdf")},
        {"term", false, fourCC("spdf")},
        {"tran", false, fourCC("othr")}, // the HX-5100 is not listed for 'usb '
        {"dflt", false, 0},
        {"sflt", true, 0}, // release 19
        {"livn", false, 1},
        {"goin", false, 0},
        {"gone", false, 0},
        {"akin", false, dev},
        {"stm#", true, inStream},
        {"stm#", false, outStream},
    };
    for (const Expect& e : words) {
        UInt32 v = 0xDEAD;
        EXPECT_EQ(
            getValue(dev, e.isInput, fourCC(*reinterpret_cast<const char(*)[5]>(e.selector)), v), 0)
            << e.selector;
        EXPECT_EQ(v, e.value) << e.selector << (e.isInput ? " input" : " output");
    }
    EXPECT_NE(inStream, outStream);
    EXPECT_NE(inStream, 0u);

    Float64 rate = 0, actual = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("nsrt"), rate), 0);
    EXPECT_EQ(getValue(dev, false, fourCC("asrt"), actual), 0);
    EXPECT_GT(rate, 0.0);
    EXPECT_EQ(actual, rate);

    UInt32 frames = 0, bytesIn = 0, latIn = 0, latOut = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("fsiz"), frames), 0);
    EXPECT_EQ(getValue(dev, true, fourCC("bsiz"), bytesIn), 0);
    EXPECT_GE(frames, 64u);
    EXPECT_EQ(bytesIn % frames, 0u);
    EXPECT_GT(bytesIn, 0u);
    EXPECT_EQ(getValue(dev, true, fourCC("ltnc"), latIn), 0);
    EXPECT_EQ(getValue(dev, false, fourCC("ltnc"), latOut), 0);
    EXPECT_GT(latIn + latOut, 0u);

    AudioValueRange range{};
    EXPECT_EQ(getValue(dev, false, fourCC("fsz#"), range), 0);
    EXPECT_LE(range.mMinimum, double(frames));
    EXPECT_GE(range.mMaximum, double(frames));

    UInt32 pair[2] = {7, 7};
    EXPECT_EQ(getValue(dev, false, fourCC("dch2"), pair), 0);
    EXPECT_EQ(pair[0], 1u);
    EXPECT_EQ(pair[1], 2u);

    Float32 db = 2.5f;
    EXPECT_EQ(getValue(dev, false, fourCC("db2v"), db), 0);
    EXPECT_EQ(db, 3.5f) << "the value plus one in place";

    AudioBufferList layout{};
    UInt32 size = 24;
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, fourCC("slay"), &size, &layout), 0);
    EXPECT_EQ(layout.mNumberBuffers, 1u);
    EXPECT_GT(layout.mBuffers[0].mNumberChannels, 0u);

    // Texts: the C strings and the CF strings agree.
    char maker[256] = {}, name[256] = {};
    UInt32 makerSize = info(dev, 0, false, fourCC("makr")).size;
    UInt32 nameSize = info(dev, 0, false, fourCC("name")).size;
    ASSERT_LT(makerSize, sizeof maker);
    ASSERT_LT(nameSize, sizeof name);
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, fourCC("makr"), &makerSize, maker), 0);
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, fourCC("name"), &nameSize, name), 0);
    struct Text {
        const char* selector;
        std::string want;
    };
    const Text texts[] = {
        {"lmak", maker},
        {"lnam", name},
        {"capp", "com.korvex.hx5100.control"},
    };
    for (const Text& t : texts) {
        CFStringRef s = nullptr;
        EXPECT_EQ(getValue(dev, false, fourCC(*reinterpret_cast<const char(*)[5]>(t.selector)), s),
                  0);
        EXPECT_EQ(cfText(s), t.want) << t.selector;
        if (s) CFRelease(s);
    }
    EXPECT_FALSE(std::string(name).empty());
    CFStringRef uid = nullptr, muid = nullptr;
    EXPECT_EQ(getValue(dev, false, fourCC("uid "), uid), 0);
    EXPECT_EQ(getValue(dev, false, fourCC("muid"), muid), 0);
    EXPECT_FALSE(cfText(uid).empty());
    EXPECT_EQ(cfText(uid), cfText(muid));
    CFRelease(uid);
    CFRelease(muid);

    CFURLRef icon = nullptr;
    EXPECT_EQ(getValue(dev, false, fourCC("icon"), icon), 0);
    ASSERT_NE(icon, nullptr);
    CFStringRef path = CFURLCopyFileSystemPath(icon, kCFURLPOSIXPathStyle);
    EXPECT_EQ(cfText(path),
              "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.tiff");
    CFRelease(path);
    CFRelease(icon);

    // The sample rates: 48000 among them, each a single-rate range.
    const UInt32 ratesSize = info(dev, 0, false, fourCC("nsr#")).size;
    std::vector<AudioValueRange> rates(ratesSize / 16);
    UInt32 got = ratesSize;
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, fourCC("nsr#"), &got, rates.data()), 0);
    EXPECT_EQ(got, ratesSize);
    bool hasCurrent = false;
    for (const AudioValueRange& r : rates) {
        EXPECT_EQ(r.mMinimum, r.mMaximum);
        hasCurrent = hasCurrent || r.mMinimum == rate;
    }
    EXPECT_TRUE(hasCurrent) << "the current rate is listed";
}

TEST_F(HALProperties, ReleaseRowsFollowTheEmulatedRelease) {
    struct Case {
        const char* release;
        UInt32 dflt;
        const char* icon;
    };
    const Case cases[] = {
        {"11.4.0", 1, "USB.png"},
        {"12.0.0", 1, "USB.tiff"},
        {"13.4.0", 0, "USB.tiff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.release);
        hx::sys::setEmulatedRelease(std::string(c.release));
        UInt32 d = 9, s = 9, t = 0;
        EXPECT_EQ(getValue(dev, false, fourCC("dflt"), d), 0);
        EXPECT_EQ(getValue(dev, true, fourCC("sflt"), s), 0);
        EXPECT_EQ(d, c.dflt);
        EXPECT_EQ(s, c.dflt);
        CFURLRef icon = nullptr;
        ASSERT_EQ(getValue(dev, false, fourCC("icon"), icon), 0);
        CFStringRef path = CFURLCopyFileSystemPath(icon, kCFURLPOSIXPathStyle);
        EXPECT_EQ(cfText(path), std::string("/Applications/Utilities/Audio MIDI "
                                            "Setup.app/Contents/Resources/") +
                                    c.icon);
        CFRelease(path);
        CFRelease(icon);
        EXPECT_EQ(getValue(dev, false, fourCC("tran"), t), 0);
        EXPECT_EQ(t, fourCC("othr")) << "not listed for 'usb ' at any release";
    }
}

// ---- Sets

TEST_F(HALProperties, FrameSizeSetsInsideTheRangeAndRefusesOutsideKeepingTheSize) {
    UInt32 before = 0;
    ASSERT_EQ(getValue(dev, false, fourCC("fsiz"), before), 0);
    AudioValueRange range{};
    ASSERT_EQ(getValue(dev, false, fourCC("fsz#"), range), 0);
    const UInt32 next = before == 512 ? 256 : 512;
    ASSERT_GE(double(next), range.mMinimum);
    EXPECT_EQ(setValue(dev, false, fourCC("fsiz"), next), 0);
    UInt32 now = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("fsiz"), now), 0);
    EXPECT_EQ(now, next);
    for (UInt32 bad : {UInt32(range.mMaximum) + 1, UInt32(1), UInt32(0)}) {
        EXPECT_EQ(setValue(dev, false, fourCC("fsiz"), bad), kBadArgument) << bad;
        EXPECT_EQ(getValue(dev, false, fourCC("fsiz"), now), 0);
        EXPECT_EQ(now, next) << "kept after " << bad;
    }
}

TEST_F(HALProperties, SetsCheckSizeAndDataBeforeReadingAnything) {
    const char* settable[] = {"csrc", "fsiz", "nsrt", "suse", "mute", "thru", "volm", "oink"};
    const uint64_t calls = hx::iokit::connectCallCount();
    for (const char* c : settable) {
        const UInt32 sel = fourCC(*reinterpret_cast<const char(*)[5]>(c));
        const uint8_t bytes[32] = {};
        const UInt32 needed = sel == fourCC("nsrt") ? 8 : sel == fourCC("suse") ? 16 : 4;
        EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel, needed, nullptr), kSiz) << c;
        EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel, needed - 1, bytes), kSiz)
            << c;
        EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, sel, 0, bytes), kSiz) << c;
    }
    EXPECT_EQ(hx::iokit::connectCallCount(), calls) << "nothing sent";
    // 'lisa' and 'lisr' are accepted and change nothing; the read-only ones
    // are refused.
    const uint8_t twelve[12] = {1, 2, 3};
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, fourCC("lisa"), 12, twelve), 0);
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, true, fourCC("lisr"), 12, twelve), 0);
    UInt32 size = 12;
    uint8_t back[12] = {};
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, false, fourCC("lisa"), &size, back), kWho);
    EXPECT_EQ(AudioDeviceGetProperty(dev, 0, true, fourCC("lisr"), &size, back), kWho);
    for (const char* c : {"name", "ltnc", "ownd", "tran", "goin", "asrt", "vold"}) {
        const UInt32 v = 0;
        EXPECT_EQ(setValue(dev, false, fourCC(*reinterpret_cast<const char(*)[5]>(c)), v), kWho)
            << c;
    }
}

// The writable selectors at the needed size and 16 bytes more: the bytes
// past the value are not read ('oink' alone wants exactly 4), and a set
// writes nothing into the caller's buffer but the hog-mode owner.
TEST_F(HALProperties, SetsWithRoomToSpareTakeTheValueAndHogModeWantsExactlyFour) {
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, quietProc, nullptr, &id), 0);
    UInt32 source = 0, frames = 0;
    ASSERT_EQ(getValue(dev, false, fourCC("csrc"), source), 0);
    ASSERT_EQ(getValue(dev, false, fourCC("fsiz"), frames), 0);
    const UInt32 newFrames = frames == 512 ? 256 : 512;
    const AudioHardwareIOProcStreamUsage usageOff{reinterpret_cast<void*>(id), 1, {0}};
    // The HX-5100 has no mute, monitor or volume control on element 0:
    // 'mute' and 'thru' answer 'who?', 'volm' 0 whatever the device gives.
    struct Row {
        const char* selector;
        bool isInput;
        std::vector<uint8_t> value; // the needed bytes
        OSStatus want;              // at needed + 16
        bool readsBack;
    };
    const auto bytesOf = [](const auto& v) {
        std::vector<uint8_t> b(sizeof v);
        std::memcpy(b.data(), &v, sizeof v);
        return b;
    };
    const Row rows[] = {
        {"csrc", false, bytesOf(source), 0, true},
        {"fsiz", false, bytesOf(newFrames), 0, true},
        {"nsrt", false, bytesOf(Float64(44100)), 0, true},
        {"suse", false, bytesOf(usageOff), 0, true},
        {"mute", false, bytesOf(UInt32(1)), kWho, false},
        {"thru", true, bytesOf(UInt32(1)), kWho, false},
        {"volm", false, bytesOf(Float32(1.0f)), 0, false},
        {"oink", false, bytesOf(int32_t(12345)), kSiz, false},
    };
    for (const Row& r : rows) {
        const UInt32 sel = fourCC(*reinterpret_cast<const char(*)[5]>(r.selector));
        SCOPED_TRACE(r.selector);
        const UInt32 needed = UInt32(r.value.size());
        Guarded g(needed + 16);
        std::memcpy(g.data(), r.value.data(), needed);
        const std::vector<uint8_t> given = g.mem;
        EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, r.isInput, sel, needed + 16, g.data()),
                  r.want);
        EXPECT_EQ(g.mem, given) << "the caller's bytes are left as they were";
        if (!r.readsBack) continue;
        // What was set reads back at the needed size ('suse' names the IOProc).
        std::vector<uint8_t> back(needed, 0xEE);
        if (sel == fourCC("suse")) std::memcpy(back.data(), &usageOff, sizeof usageOff);
        UInt32 size = needed;
        EXPECT_EQ(AudioDeviceGetProperty(dev, 0, r.isInput, sel, &size, back.data()), 0);
        EXPECT_EQ(back, r.value) << "reads back";
    }
    int32_t owner = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("oink"), owner), 0);
    EXPECT_EQ(owner, -1) << "not taken by a 20-byte set";
    EXPECT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
}

TEST_F(HALProperties, NominalRateTruncatesAndRefusesRatesNoDeviceRunsAt) {
    EXPECT_EQ(setValue(dev, false, fourCC("nsrt"), Float64(44100.9)), 0);
    Float64 rate = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("nsrt"), rate), 0);
    EXPECT_EQ(rate, 44100.0);
    const Float64 refused[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(), 500000.0, 0.0, -48000.0};
    for (Float64 r : refused) {
        const uint64_t calls = hx::iokit::connectCallCount();
        EXPECT_EQ(setValue(dev, false, fourCC("nsrt"), r), kBadArgument) << r;
        EXPECT_EQ(hx::iokit::connectCallCount(), calls) << "no request for " << r;
    }
    EXPECT_EQ(getValue(dev, false, fourCC("nsrt"), rate), 0);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(setValue(dev, false, fourCC("nsrt"), Float64(48000)), 0);
    EXPECT_EQ(getValue(dev, true, fourCC("asrt"), rate), 0);
    EXPECT_EQ(rate, 48000.0);
}

TEST_F(HALProperties, ClockSourceSetReadsBack) {
    UInt32 source = 7;
    ASSERT_EQ(getValue(dev, false, fourCC("csrc"), source), 0);
    EXPECT_EQ(setValue(dev, false, fourCC("csrc"), source), 0);
    UInt32 back = 9;
    EXPECT_EQ(getValue(dev, false, fourCC("csrc"), back), 0);
    EXPECT_EQ(back, source);
}

TEST_F(HALProperties, HogModeIsTakenReleasedAndAnotherProcesssHoldIsKept) {
    const int32_t self = int32_t(hx::sys::ownPid());
    int32_t owner = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("oink"), owner), 0);
    EXPECT_EQ(owner, -1);
    // The value the caller gives is not looked at; the new owner is written
    // back into the caller's own variable.
    const auto setHog = [&](int32_t& value) {
        return AudioDeviceSetProperty(dev, nullptr, 0, false, fourCC("oink"), sizeof value, &value);
    };
    int32_t value = 12345;
    EXPECT_EQ(setHog(value), 0);
    EXPECT_EQ(value, self) << "the caller's variable holds the new owner";
    EXPECT_EQ(getValue(dev, false, fourCC("oink"), owner), 0);
    EXPECT_EQ(owner, self) << "taken";
    value = 12345;
    EXPECT_EQ(setHog(value), 0);
    EXPECT_EQ(value, -1) << "released: the caller's variable holds -1";
    EXPECT_EQ(getValue(dev, false, fourCC("oink"), owner), 0);
    EXPECT_EQ(owner, -1) << "released";
    // The object route hands the caller's pointer on as well.
    const AudioObjectPropertyAddress hog{fourCC("oink"), fourCC("glob"), 0};
    value = 12345;
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &hog, 0, nullptr, sizeof value, &value), 0);
    EXPECT_EQ(value, self) << "taken through the object route";
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &hog, 0, nullptr, sizeof value, &value), 0);
    EXPECT_EQ(value, -1) << "released through the object route";
    // Wrong sizes: refused, the caller's bytes untouched.
    int32_t pair[2] = {777, 888};
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, fourCC("oink"), 8, pair), kSiz);
    EXPECT_EQ(pair[0], 777);
    EXPECT_EQ(pair[1], 888);
    EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, false, fourCC("oink"), 4, nullptr), kSiz);

    // Another process holds it, through a second connection of its own.
    ZrOSXDevice* other = mRoad->openDevice();
    ASSERT_NE(other, nullptr);
    const int32_t otherPid = self + 1000;
    ASSERT_TRUE(other->setHogID(otherPid));
    EXPECT_EQ(getValue(dev, false, fourCC("oink"), owner), 0);
    EXPECT_EQ(owner, otherPid);
    value = 12345;
    EXPECT_EQ(setHog(value), 0) << "answered 0";
    EXPECT_EQ(value, otherPid) << "the caller's variable holds the other process";
    EXPECT_EQ(getValue(dev, false, fourCC("oink"), owner), 0);
    EXPECT_EQ(owner, otherPid) << "kept";
    ASSERT_TRUE(other->setHogID(-1));
    mRoad->closeDevice();
}

TEST_F(HALProperties, StreamUsageOfAnIOProcIDReadsBackAndAnUnknownProcIsRefused) {
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, quietProc, nullptr, &id), 0);
    for (bool isInput : {false, true}) {
        for (UInt32 on : {0u, 1u}) {
            AudioHardwareIOProcStreamUsage usage{reinterpret_cast<void*>(id), 1, {on}};
            EXPECT_EQ(AudioDeviceSetProperty(dev, nullptr, 0, isInput, fourCC("suse"), sizeof usage,
                                             &usage),
                      0);
            AudioHardwareIOProcStreamUsage back{reinterpret_cast<void*>(id), 1, {7}};
            EXPECT_EQ(getValue(dev, isInput, fourCC("suse"), back), 0);
            EXPECT_EQ(back.mStreamIsOn[0], on);
        }
    }
    AudioHardwareIOProcStreamUsage unknown{reinterpret_cast<void*>(&unusedProc), 1, {1}};
    EXPECT_EQ(getValue(dev, false, fourCC("suse"), unknown), kNoDevice);
    EXPECT_EQ(setValue(dev, false, fourCC("suse"), unknown), kNoDevice);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
}

TEST_F(HALProperties, ControlsWithoutAControlAnswerWhoAndHaveNoSize) {
    // Element 1000 carries no control in either direction.
    for (bool isInput : {false, true}) {
        for (const char* c : {"mute", "thru", "vold", "volm"}) {
            const UInt32 sel = fourCC(*reinterpret_cast<const char(*)[5]>(c));
            const Info i = info(dev, 1000, isInput, sel);
            EXPECT_EQ(i.status, kWho) << c;
            EXPECT_EQ(i.size, 0u) << c;
            EXPECT_FALSE(i.writable) << c;
            UInt32 v = 0;
            EXPECT_EQ(getValue(dev, isInput, sel, v, 1000), sel == fourCC("thru") ? kError : kWho)
                << c;
        }
        EXPECT_EQ(setValue(dev, isInput, fourCC("mute"), UInt32(1), 1000), kWho);
        EXPECT_EQ(setValue(dev, isInput, fourCC("thru"), UInt32(1), 1000), kWho);
    }
}

TEST_F(HALProperties, IsRunningWhileAStartIsHeldOnAnotherThread) {
    RampProc ramp;
    AudioDeviceIOProcID id = nullptr;
    ASSERT_EQ(AudioDeviceCreateIOProcID(dev, &RampProc::proc, &ramp, &id), 0);
    UInt32 running = 7;
    EXPECT_EQ(getValue(dev, false, fourCC("goin"), running), 0);
    EXPECT_EQ(running, 0u);
    hx::iokit::holdNextMapMemory();
    std::atomic<OSStatus> started{1};
    std::thread starter([&, seat = hx::clock::Reservation()]() mutable {
        hx::clock::Participant p(std::move(seat));
        started = AudioDeviceStart(dev, id);
    });
    hx::iokit::waitForHeldMapMemory();
    EXPECT_EQ(getValue(dev, false, fourCC("goin"), running), 0);
    EXPECT_EQ(running, 1u);
    hx::iokit::releaseHeldMapMemory();
    {
        hx::clock::Idle idle;
        starter.join();
    }
    EXPECT_EQ(started.load(), 0);
    EXPECT_EQ(AudioDeviceStop(dev, id), 0);
    EXPECT_EQ(AudioDeviceDestroyIOProcID(dev, id), 0);
}

// ---- Stream and object routes

TEST_F(HALProperties, StreamCallsAnswerForTheStreamsDirection) {
    UInt32 dir = 7, size = 4;
    EXPECT_EQ(AudioStreamGetProperty(inStream, 0, fourCC("sdir"), &size, &dir), 0);
    EXPECT_EQ(dir, 1u);
    EXPECT_EQ(AudioStreamGetProperty(outStream, 0, fourCC("sdir"), &size, &dir), 0);
    EXPECT_EQ(dir, 0u);
    UInt32 infoSize = 0;
    Boolean writable = false;
    EXPECT_EQ(AudioStreamGetPropertyInfo(outStream, 0, fourCC("fsiz"), &infoSize, &writable), 0);
    EXPECT_EQ(infoSize, 4u);
    EXPECT_TRUE(writable);
    const UInt32 frames = 512;
    EXPECT_EQ(AudioStreamSetProperty(outStream, nullptr, 0, fourCC("fsiz"), 4, &frames), 0);
    UInt32 back = 0;
    EXPECT_EQ(getValue(dev, false, fourCC("fsiz"), back), 0);
    EXPECT_EQ(back, frames);
    EXPECT_EQ(AudioStreamGetProperty(dev + 1000, 0, fourCC("sdir"), &size, &dir), kNoDevice);
    EXPECT_EQ(AudioStreamGetProperty(0, 0, fourCC("sdir"), &size, &dir), kNoDevice);
    EXPECT_EQ(AudioStreamSetProperty(0, nullptr, 0, fourCC("fsiz"), 4, &frames), kNoDevice);
    EXPECT_EQ(AudioStreamGetPropertyInfo(0, 0, fourCC("fsiz"), &infoSize, &writable), kNoDevice);
}

TEST_F(HALProperties, ObjectRoutesAsTheTableSays) {
    const UInt32 glob = fourCC("glob"), inpt = fourCC("inpt"), outp = fourCC("outp");
    const UInt32 wild = fourCC("****"), odd = fourCC("abcd");
    const AudioObjectID unknown = dev + 1000;
    const UInt32 qualifier = 1;

    struct Has {
        AudioObjectID object;
        AudioObjectPropertyAddress address;
        bool want;
    };
    const Has has[] = {
        {dev, {fourCC("mute"), inpt, 1000}, false},  {dev, {fourCC("fsiz"), odd, 0}, false},
        {dev, {fourCC("fsiz"), glob, 0}, true},      {dev, {fourCC("zzzz"), glob, 0}, false},
        {inStream, {fourCC("sdir"), wild, 0}, true}, {unknown, {fourCC("fsiz"), glob, 0}, false},
    };
    for (const Has& h : has)
        EXPECT_EQ(bool(AudioObjectHasProperty(h.object, &h.address)), h.want)
            << code(h.address.mSelector) << " on " << h.object;
    EXPECT_FALSE(AudioObjectHasProperty(dev, nullptr));

    const AudioObjectPropertyAddress fsiz{fourCC("fsiz"), glob, 0};
    const AudioObjectPropertyAddress fsizOdd{fourCC("fsiz"), odd, 0};
    Boolean settable = 7;
    EXPECT_EQ(AudioObjectIsPropertySettable(dev, &fsiz, &settable), 0);
    EXPECT_TRUE(settable);
    EXPECT_EQ(AudioObjectIsPropertySettable(unknown, &fsiz, &settable), kObj);
    EXPECT_EQ(AudioObjectIsPropertySettable(dev, &fsizOdd, &settable), kWhat);
    EXPECT_EQ(AudioObjectIsPropertySettable(dev, nullptr, &settable), kWhat);
    const AudioObjectPropertyAddress ownd{fourCC("zzzz"), glob, 0};
    settable = 7;
    EXPECT_EQ(AudioObjectIsPropertySettable(dev, &ownd, &settable), kWho);
    EXPECT_FALSE(settable);

    UInt32 size = 99;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(dev, &fsiz, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(dev, &fsiz, 4, &qualifier, &size), kWhat);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(dev, &fsiz, 0, &qualifier, &size), kWhat);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(unknown, &fsiz, 0, nullptr, &size), kObj);
    EXPECT_EQ(AudioObjectGetPropertyDataSize(dev, &fsizOdd, 0, nullptr, &size), kWhat);
    size = 99;
    EXPECT_EQ(AudioObjectGetPropertyDataSize(dev, &ownd, 0, nullptr, &size), kWho);
    EXPECT_EQ(size, 0u);

    UInt32 v = 0;
    size = 4;
    EXPECT_EQ(AudioObjectGetPropertyData(dev, &fsiz, 4, &qualifier, &size, &v), kWhat);
    EXPECT_EQ(AudioObjectGetPropertyData(unknown, &fsiz, 0, nullptr, &size, &v), kObj);
    EXPECT_EQ(AudioObjectGetPropertyData(dev, &fsizOdd, 0, nullptr, &size, &v), kWhat);
    EXPECT_EQ(AudioObjectGetPropertyData(dev, nullptr, 0, nullptr, &size, &v), kWhat);
    const UInt32 frames = 512;
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &fsiz, 4, &qualifier, 4, &frames), kWhat);
    EXPECT_EQ(AudioObjectSetPropertyData(unknown, &fsiz, 0, nullptr, 4, &frames), kObj);
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &fsizOdd, 0, nullptr, 4, &frames), kWhat);
    EXPECT_EQ(AudioObjectSetPropertyData(dev, &fsiz, 0, nullptr, 4, &frames), 0);
    EXPECT_EQ(AudioObjectGetPropertyData(dev, &fsiz, 0, nullptr, &size, &v), 0);
    EXPECT_EQ(v, frames);

    // 'glob' reads the stream's own side; on the device the output side.
    struct Side {
        AudioObjectID object;
        UInt32 scope;
        UInt32 want;
    };
    const Side sides[] = {
        {outStream, glob, 0}, {inStream, glob, 1},  {dev, glob, 0},      {inStream, wild, 1},
        {dev, inpt, 1},       {outStream, inpt, 1}, {inStream, outp, 0},
    };
    for (const Side& s : sides) {
        const AudioObjectPropertyAddress sdir{fourCC("sdir"), s.scope, 0};
        UInt32 dir = 7;
        size = 4;
        EXPECT_EQ(AudioObjectGetPropertyData(s.object, &sdir, 0, nullptr, &size, &dir), 0);
        EXPECT_EQ(dir, s.want) << code(s.scope) << " on " << s.object;
    }
}

// ---- Rows that change with the product

// An output-only HX-5100 (its features record says so) beside the ordinary
// one: its input side answers as a device without input, its output side
// as any device. Release 12, where the ordinary device's 'dflt' is 1.
TEST_F(HALProperties, AnOutputOnlyDeviceAnswersItsInputSideAsHavingNone) {
    hx::sys::setEmulatedRelease(std::string("12.0.0"));
    const AudioDeviceID only = plugOutputOnly();
    ASSERT_NE(only, 0u);

    struct Size {
        const char* selector;
        bool isInput;
        UInt32 ordinary, outputOnly;
    };
    const Size sizes[] = {
        {"jack", true, 4, 0},    {"jack", false, 4, 4}, {"slay", true, 24, 4},
        {"slay", false, 24, 24}, {"dch2", true, 8, 8},  {"dflt", true, 4, 4},
    };
    for (const Size& r : sizes) {
        for (AudioDeviceID d : {dev, only}) {
            SCOPED_TRACE(std::string(r.selector) + (r.isInput ? " input" : " output") +
                         (d == only ? ", output-only" : ", ordinary"));
            const Info i =
                info(d, 0, r.isInput, fourCC(*reinterpret_cast<const char(*)[5]>(r.selector)));
            EXPECT_EQ(i.status, 0);
            EXPECT_EQ(i.size, d == only ? r.outputOnly : r.ordinary);
            EXPECT_FALSE(i.writable);
        }
    }

    struct Word {
        const char* selector;
        bool isInput;
        UInt32 ordinary, outputOnly;
    };
    const Word words[] = {
        {"dflt", true, 1, 0},  {"sflt", true, 1, 0}, {"dflt", false, 1, 1},
        {"sflt", false, 1, 1}, {"jack", true, 1, 1}, {"jack", false, 1, 1},
    };
    for (const Word& w : words) {
        for (AudioDeviceID d : {dev, only}) {
            SCOPED_TRACE(std::string(w.selector) + (w.isInput ? " input" : " output") +
                         (d == only ? ", output-only" : ", ordinary"));
            UInt32 v = 0xDEAD;
            EXPECT_EQ(
                getValue(d, w.isInput, fourCC(*reinterpret_cast<const char(*)[5]>(w.selector)), v),
                0);
            EXPECT_EQ(v, d == only ? w.outputOnly : w.ordinary);
        }
    }

    // 'dch2': no channel pair on the missing side.
    struct Pair {
        AudioDeviceID device;
        bool isInput;
        UInt32 first, second;
    };
    const Pair pairs[] = {{only, true, 0, 0}, {only, false, 1, 2}, {dev, true, 1, 2}};
    for (const Pair& p : pairs) {
        UInt32 pair[2] = {7, 7};
        EXPECT_EQ(getValue(p.device, p.isInput, fourCC("dch2"), pair), 0);
        EXPECT_EQ(pair[0], p.first);
        EXPECT_EQ(pair[1], p.second);
    }

    // 'slay' of the input: the buffer count word 0 and nothing past it.
    Guarded layout(4);
    UInt32 size = 4;
    EXPECT_EQ(AudioDeviceGetProperty(only, 0, true, fourCC("slay"), &size, layout.data()), 0);
    EXPECT_EQ(layout.as<UInt32>(), 0u);
    EXPECT_TRUE(layout.guardsIntact(4));
    AudioBufferList out{};
    size = sizeof out;
    EXPECT_EQ(AudioDeviceGetProperty(only, 0, false, fourCC("slay"), &size, &out), 0);
    EXPECT_EQ(out.mNumberBuffers, 1u);
    EXPECT_GT(out.mBuffers[0].mNumberChannels, 0u);

    // Its input stream ID is 0, and a stream call on ID 0 finds no device.
    AudioStreamID in = 7, outStreamOnly = 0;
    EXPECT_EQ(getValue(only, true, fourCC("stm#"), in), 0);
    EXPECT_EQ(in, 0u);
    EXPECT_EQ(getValue(only, false, fourCC("stm#"), outStreamOnly), 0);
    EXPECT_NE(outStreamOnly, 0u);
    UInt32 dir = 7, infoSize = 0;
    Boolean writable = false;
    size = 4;
    EXPECT_EQ(AudioStreamGetProperty(in, 0, fourCC("sdir"), &size, &dir), kNoDevice);
    EXPECT_EQ(AudioStreamGetPropertyInfo(in, 0, fourCC("sdir"), &infoSize, &writable), kNoDevice);
    const UInt32 frames = 512;
    EXPECT_EQ(AudioStreamSetProperty(in, nullptr, 0, fourCC("fsiz"), 4, &frames), kNoDevice);
    EXPECT_EQ(dir, 7u);
    EXPECT_EQ(AudioStreamGetProperty(outStreamOnly, 0, fourCC("sdir"), &size, &dir), 0);
    EXPECT_EQ(dir, 0u);
}

// 'tran': 'usb ' only for the two products listed for it, and for those
// not at USB 2 speed before release 12; 'othr' for the HX-5100 always.
TEST_F(HALProperties, TransportTypeByProductSpeedAndRelease) {
    struct Product {
        const char* name;
        uint16_t product; // 0: the ordinary HX-5100
        uint8_t speed;
        const char* at11;
        const char* at12;
        const char* at13;
    };
    const Product products[] = {
        {"HX-5100", 0, kUSBHostConnectionSpeedHigh, "othr", "othr", "othr"},
        {"Kestrel, high speed", kKestrelProductID, kUSBHostConnectionSpeedHigh, "othr", "usb ",
         "usb "},
        {"Kestrel K2, full speed", kKestrelK2ProductID, kUSBHostConnectionSpeedFull, "usb ", "usb ",
         "usb "},
    };
    for (const Product& p : products) {
        SCOPED_TRACE(p.name);
        AudioDeviceID d = dev;
        if (p.product) {
            unplugOther();
            addPersonality(kKestrelVendorID, p.product, nullptr);
            d = plugOther(std::make_shared<hx::usb::devices::ClassAudioModel>(
                p.speed,
                hx::usb::devices::HX5100Identity{kKestrelVendorID, p.product, 0x0100, "KESTREL",
                                                 "K", "SN0005"},
                hx::usb::devices::ClassAudioLayout{}));
            ASSERT_NE(d, 0u);
        }
        const std::pair<const char*, const char*> releases[] = {
            {"11.4.0", p.at11}, {"12.0.0", p.at12}, {"13.4.0", p.at13}};
        for (const auto& [release, want] : releases) {
            hx::sys::setEmulatedRelease(std::string(release));
            UInt32 t = 0;
            EXPECT_EQ(getValue(d, false, fourCC("tran"), t), 0) << release;
            EXPECT_EQ(code(t), want) << release;
        }
    }
}

} // namespace
