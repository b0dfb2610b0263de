// The HAL plug-in's property calls through the HAL host: device calls
// (table slots 13 to 15), stream calls (16 to 18) and object calls (23 to
// 27), against the plug-in over the simulated HX-5100 on the virtual clock.
// The machine boots once; a call that took the device away (the firmware
// update mode) has it plugged in again before the next input.
//
// Oracle: no sanitizer report; every status is 0, one the property calls
// name, or a device-layer code; no byte changes outside the sizes given
// (guard bytes around every buffer, the translation's input and output
// included); every object handed out is released (leaks are reported).
//
// Input: up to kMaxCalls calls, each:
//   route u8 (device, stream, object) and slot u8 within it;
//   target u8 (the device, its input or output stream, the plug-in object,
//     or a u32 that follows);
//   selector u8 (an index into the selector table, or 0xFF: a u32 follows);
//   scope u8 (the four, or 0xFF: a u32 follows), element u8, isInput u8;
//   size u16 (0xFFFF: a null size pointer), data kind u8 (null, raw bytes,
//     translation, CF object), then the kind's bytes (see dataFrom);
//   qualifier u8 (none, or 4 bytes that follow).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "abi/ProductIdentities.h"
#include "device/harness/DeviceRoad.h"
#include "fuzz/common/FuzzInput.h"
#include "fuzz/common/PropertyCallData.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/base/HXPath.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/HALHost.h"
#include "platform/coreaudio/HALHostCalls.h"
#include "platform/kern/IOLib.h"
#include "platform/sys/HXProcess.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::coreaudio::fourCC;
using hxfuzz::isOneOf;

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "hal properties fuzz: %s failed at line %d\n", #cond, __LINE__);  \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

constexpr int kMaxCalls = 8;
constexpr uint32_t kMaxSize = 4096;

// The selectors of the property tables: standard, stream-format and source,
// custom; then a few the plug-in does not answer.
constexpr const char* kSelectors[] = {
    // standard
    "akin", "asrt", "bsiz", "bsz#", "capp", "clkd", "csrc", "db2v", "dch2", "dflt", "sflt", "fsiz",
    "fsz#", "goin", "gone", "hidn", "over", "plug", "saft", "icon", "isub", "smut", "svld", "svlm",
    "vfsz", "jack", "lchn", "lisa", "lisr", "livn", "lmak", "lnam", "ltnc", "makr", "mix?", "muid",
    "uid ", "mute", "name", "nsr#", "nsrt", "oink", "ownd", "schn", "sdir", "slay", "stm#", "suse",
    "term", "thru", "tran", "vold", "volm",
    // stream formats and sources
    "csc#", "cscn", "lcsn", "lscn", "sscn", "ssc#", "ssrc", "pft ", "pft#", "pfta", "sfm#", "sfma",
    "sfm?", "sfmm", "sfmt", "srnd",
    // custom
    "QNrt", "QnCS", "QnDM", "QnFM", "QnFP", "QnFW", "QnMB", "QnMF", "QnMM", "QnOS", "QnRB", "QnRM",
    "QnRo", "QnSt", "QnSV", "QnU1", "QnDS", "QnDV", "QnFV", "QnIL", "QnIO", "QnOL", "QnPC", "QnPD",
    "QnSN", "QnSW", "QnTy", "QnVD",
    // not answered
    "zzzz", "Qn??", "DbXX"};
constexpr std::size_t kSelectorCount = sizeof kSelectors / sizeof kSelectors[0];

// Selectors whose value is one CF object by reference (get and set).
bool carriesObject(UInt32 selector) {
    const char b0 = char(selector >> 24), b1 = char(selector >> 16);
    if (b0 == 'Q' && b1 == 'n') return true; // every custom one but 'QNrt'
    return isOneOf(selector, {"capp", "icon", "lchn", "lmak", "lnam", "muid", "uid "});
}

// Selectors whose value is an AudioValueTranslation.
bool isTranslation(UInt32 selector) {
    return isOneOf(selector, {"cscn", "lcsn", "lscn", "sscn"});
}

// Translations whose output is a CF string the caller releases.
bool translatesToObject(UInt32 selector) {
    return isOneOf(selector, {"lcsn", "lscn"});
}

// The codes a call may answer.
bool expectedStatus(OSStatus s) {
    switch (UInt32(s)) {
    case 0:
    case fourCC("who?"):
    case fourCC("!siz"):
    case fourCC("!dat"):
    case fourCC("what"):
    case fourCC("!obj"):
    case 0xE00002BC:
    case 0xE00002C0:
    case 0xE00002C2:
    case 0xE00002C9:
    case 0xE00002D5:
        return true;
    default:
        return false;
    }
}

// ---- The machine

struct Machine {
    hx::test::TempRoot root;
    std::unique_ptr<hx::devroad::DeviceRoad> road;
    std::unique_ptr<hx::coreaudio::HALHost> host;
    uint8_t port = 0;
};

// Kept for the whole run and never destroyed: the platform's statics may be
// gone at exit.
Machine* gMachine = nullptr;

void settle() {
    hx::kern::waitQuiet();
    gMachine->host->settle();
}

bool waitForOneDevice() {
    for (int i = 0; i < 300; ++i) {
        settle();
        if (gMachine->host->devices().size() == 1) return true;
        gMachine->road->run(10000);
    }
    settle();
    return gMachine->host->devices().size() == 1;
}

void boot() {
    if (gMachine) return;
    gMachine = new Machine;
    std::filesystem::create_directories(hx::path::map("/tmp"));
    gMachine->road = std::make_unique<hx::devroad::DeviceRoad>(48000);
    HX_FUZZ_REQUIRE(gMachine->road->boot());
    gMachine->port = gMachine->road->harness()->port();
    hx::sys::setOwnUid(501);
    HX_FUZZ_REQUIRE(hx::coreaudio::HALHost::installBundle(HX_HAL_PLUGIN_BUNDLE));
    gMachine->host = std::make_unique<hx::coreaudio::HALHost>();
    HX_FUZZ_REQUIRE(gMachine->host->load() == 0);
    HX_FUZZ_REQUIRE(waitForOneDevice());
}

// A call took the device away (the firmware update mode): a fresh HX-5100
// on the port.
void replugIfGone() {
    settle();
    if (gMachine->host->devices().size() == 1) return;
    auto* bus = gMachine->road->harness()->bus();
    bus->unplug(gMachine->port);
    hx::kern::waitQuiet();
    hx::usb::devices::HX5100Identity id{kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
                                        "KORVEX AUDIO",  "HX5100 USB",           "SN0001"};
    gMachine->port =
        bus->plug(std::make_shared<hx::usb::devices::HX5100Model>(kUSBHostConnectionSpeedHigh, id));
    hx::kern::waitQuiet();
    HX_FUZZ_REQUIRE(waitForOneDevice());
}

// ---- Values

// A CF object of a fuzzed type and length (null included); the caller
// releases it.
CFTypeRef objectFrom(hxfuzz::Input& in) {
    const uint8_t type = in.u8() % 6;
    const uint16_t length = uint16_t(in.u8() | (in.u8() << 8)) % 2048;
    switch (type) {
    case 0:
        return nullptr;
    case 1: {
        const int32_t v = int32_t(in.u32());
        return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    }
    case 2: {
        const SInt8 v = SInt8(in.u8());
        return CFNumberCreate(nullptr, kCFNumberSInt8Type, &v);
    }
    case 3: {
        std::vector<UInt8> b(length);
        for (auto& x : b)
            x = in.u8();
        return CFDataCreate(nullptr, b.data(), CFIndex(b.size()));
    }
    case 4: {
        std::vector<UInt8> b(length % 64);
        for (auto& x : b)
            x = UInt8('a' + in.u8() % 26);
        return CFStringCreateWithBytes(nullptr, b.data(), CFIndex(b.size()), kCFStringEncodingASCII,
                                       false);
    }
    default: {
        // A dictionary under the keys the mixer settings use, each value a
        // number or a string.
        static const char* const kKeys[] = {"MixerBitmap",
                                            "MixerKnob",
                                            "MixerFractionChannel",
                                            "MixerFractionLNumerator",
                                            "MixerFractionLDenominator",
                                            "MixerFractionRNumerator",
                                            "MixerFractionRDenominator"};
        CFMutableDictionaryRef d = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        const uint8_t present = in.u8();
        for (int k = 0; k < 7; ++k) {
            if (!(present & (1u << k))) continue;
            CFStringRef key = CFStringCreateWithCString(nullptr, kKeys[k], kCFStringEncodingASCII);
            CFTypeRef value;
            if (in.u8() & 1) {
                const int32_t v = int32_t(in.u32());
                value = CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
            } else {
                value = CFStringCreateWithCString(nullptr, "x", kCFStringEncodingASCII);
            }
            CFDictionarySetValue(d, key, value);
            CFRelease(key);
            CFRelease(value);
        }
        return d;
    }
    }
}

const hxfuzz::SelectorRules kRules{carriesObject, isTranslation, translatesToObject, objectFrom};

AudioObjectID targetFrom(hxfuzz::Input& in, AudioDeviceID device) {
    const uint8_t t = in.u8() % 5;
    auto streams = gMachine->host->streams(device);
    switch (t) {
    case 0:
        return device;
    case 1:
        return streams.size() > 0 ? streams[0] : 0;
    case 2:
        return streams.size() > 1 ? streams[1] : 0;
    case 3:
        return gMachine->host->plugInObjectID();
    default:
        return in.u32();
    }
}

UInt32 scopeFrom(hxfuzz::Input& in) {
    switch (in.u8()) {
    case 0:
        return fourCC("glob");
    case 1:
        return fourCC("inpt");
    case 2:
        return fourCC("outp");
    case 3:
        return fourCC("****");
    case 0xFF:
        return in.u32();
    default:
        return fourCC("glob");
    }
}

void oneCall(hxfuzz::Input& in) {
    const AudioDeviceID device = gMachine->host->devices().at(0);
    const uint8_t route = in.u8() % 3;
    const uint8_t slot = in.u8();
    const AudioObjectID target = targetFrom(in, device);
    const uint8_t s = in.u8();
    const UInt32 selector =
        s == 0xFF ? in.u32() : hxfuzz::selectorCode(kSelectors[s % kSelectorCount]);
    const UInt32 scope = scopeFrom(in);
    const UInt32 element = in.u8() % 4;
    const Boolean isInput = in.u8() & 1;
    const uint16_t sizeWord = uint16_t(in.u8() | (in.u8() << 8));
    const bool nullSize = sizeWord == 0xFFFF;
    const UInt32 size = nullSize ? 0 : sizeWord % kMaxSize;

    hxfuzz::CallData d;
    OSStatus status = 0;
    UInt32 io = size;
    if (route == 0 || route == 1) {
        const uint8_t op = slot % 3;
        hxfuzz::dataFrom<AudioValueTranslation>(in, kRules, selector, size, op == 2, d);
        if (route == 0) {
            if (op == 0) {
                Boolean writable = 0;
                status = AudioDeviceGetPropertyInfo(target, element, isInput, selector,
                                                    nullSize ? nullptr : &io, &writable);
            } else if (op == 1) {
                status = AudioDeviceGetProperty(target, element, isInput, selector,
                                                nullSize ? nullptr : &io, d.pointer());
                HX_FUZZ_REQUIRE(nullSize || io <= size || status != 0);
                hxfuzz::releaseHandedOut(kRules, selector, status, size, d);
            } else {
                status = AudioDeviceSetProperty(target, nullptr, element, isInput, selector, size,
                                                d.pointer());
            }
        } else {
            if (op == 0) {
                Boolean writable = 0;
                status = AudioStreamGetPropertyInfo(target, element, selector,
                                                    nullSize ? nullptr : &io, &writable);
            } else if (op == 1) {
                status = AudioStreamGetProperty(target, element, selector, nullSize ? nullptr : &io,
                                                d.pointer());
                HX_FUZZ_REQUIRE(nullSize || io <= size || status != 0);
                hxfuzz::releaseHandedOut(kRules, selector, status, size, d);
            } else {
                status =
                    AudioStreamSetProperty(target, nullptr, element, selector, size, d.pointer());
            }
        }
    } else {
        const uint8_t op = slot % 5;
        const AudioObjectPropertyAddress address{selector, scope, element};
        uint8_t qualifier[4] = {};
        const bool qualified = in.u8() & 1;
        if (qualified)
            for (auto& q : qualifier)
                q = in.u8();
        const UInt32 qualifierSize = qualified ? sizeof qualifier : 0;
        const void* qualifierData = qualified ? qualifier : nullptr;
        hxfuzz::dataFrom<AudioValueTranslation>(in, kRules, selector, size, op == 4, d);
        switch (op) {
        case 0:
            AudioObjectHasProperty(target, &address);
            break;
        case 1: {
            Boolean settable = 0;
            status = AudioObjectIsPropertySettable(target, &address, &settable);
            break;
        }
        case 2:
            status = AudioObjectGetPropertyDataSize(target, &address, qualifierSize, qualifierData,
                                                    nullSize ? nullptr : &io);
            break;
        case 3:
            status = AudioObjectGetPropertyData(target, &address, qualifierSize, qualifierData,
                                                nullSize ? nullptr : &io, d.pointer());
            HX_FUZZ_REQUIRE(nullSize || io <= size || status != 0);
            hxfuzz::releaseHandedOut(kRules, selector, status, size, d);
            break;
        default:
            status = AudioObjectSetPropertyData(target, &address, qualifierSize, qualifierData,
                                                size, d.pointer());
            break;
        }
    }
    if (!expectedStatus(status)) {
        std::fprintf(stderr, "hal properties fuzz: '%c%c%c%c' route %d slot %d answered %08X\n",
                     char(selector >> 24), char(selector >> 16), char(selector >> 8),
                     char(selector), int(route), int(slot), unsigned(status));
        __builtin_trap();
    }
    d.check();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    boot();
    hxfuzz::Input in{data, size};
    for (int i = 0; i < kMaxCalls && in.n; ++i) {
        oneCall(in);
        replugIfGone();
    }
    return 0;
}
