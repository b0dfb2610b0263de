#include "sim/SimHal.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

#include "abi/ProductIdentities.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/kern/IOService.h"
#include "sim/SimReport.h"

#ifndef HX_HAL_PLUGIN_BUNDLE
#error "HX_HAL_PLUGIN_BUNDLE must name the built HAL plug-in bundle"
#endif

namespace hx::sim {

namespace {

using hx::coreaudio::fourCC;

constexpr uint32_t kSelVendor = fourCC("QnVD");
constexpr uint32_t kSelProduct = fourCC("QnPD");
constexpr uint32_t kSelRoutingMatrix = fourCC("QnRM");
constexpr uint32_t kSelMixerFraction = fourCC("QnMF");
constexpr size_t kRoutingMatrixBytes = 32;
constexpr int kMixerChannels = 32;

// How long a device's publication may take: the manager's pause and the
// device's opening, in steps of the machine's time.
constexpr int kPublishSteps = 300;
constexpr uint64_t kPublishStepMicros = 10000;

hx::harness::ClockMode harnessClock(Clock c) {
    return c == Clock::Virtual ? hx::harness::ClockMode::Virtual
           : c == Clock::Real  ? hx::harness::ClockMode::Real
                               : hx::harness::ClockMode::Paced;
}

std::string cfStringText(CFStringRef s) {
    const CFIndex length = CFStringGetLength(s);
    std::vector<char> buf(size_t(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8)) +
                          1);
    if (!CFStringGetCString(s, buf.data(), CFIndex(buf.size()), kCFStringEncodingUTF8)) return {};
    return buf.data();
}

// A number of a custom identity property as an int (SInt16 on the device's
// side; the vendor and product identifiers are read as unsigned 16 bits).
bool identityNumber(AudioDeviceID device, uint32_t selector, uint32_t& value) {
    CFTypeRef object = nullptr;
    UInt32 size = sizeof object;
    if (AudioDeviceGetProperty(device, 0, false, selector, &size, &object) != 0 || !object)
        return false;
    int32_t n = 0;
    const bool ok = CFGetTypeID(object) == CFNumberGetTypeID() &&
                    CFNumberGetValue(CFNumberRef(object), kCFNumberSInt32Type, &n);
    CFRelease(object);
    value = uint32_t(n) & 0xFFFF;
    return ok;
}

CFNumberRef makeNumber(int32_t v) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
}

} // namespace

HalSession::HalSession(const HalSetup& setup) : mSetup(setup) {
    hx::devroad::RoadOptions ro;
    ro.rate = setup.rate;
    ro.highSpeed = setup.highSpeed;
    ro.routing =
        setup.routing == Routing::Mix ? hx::harness::Routing::Mix : hx::harness::Routing::Pass;
    ro.clock = harnessClock(setup.clock);
    ro.machineHere = setup.machineHere;
    ro.routeFirst = setup.routeFirst;
    mRoad = std::make_unique<hx::devroad::DeviceRoad>(ro);
}

HalSession::~HalSession() {
    unload();
    mHost.reset();
    mRoad.reset();
}

bool HalSession::start(std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(hx::path::map("/tmp"), ec);
    if (!mRoad->boot()) {
        error = mRoad->error();
        return false;
    }
    if (!hx::coreaudio::HALHost::installBundle(HX_HAL_PLUGIN_BUNDLE)) {
        error = "the HAL plug-in could not be installed under the path root";
        return false;
    }
    mHost = std::make_unique<hx::coreaudio::HALHost>();
    mLoadStatus = mHost->load();
    if (mLoadStatus != 0) {
        char why[96];
        std::snprintf(why, sizeof why, "the HAL plug-in did not load: status %s",
                      statusText(mLoadStatus).c_str());
        error = why;
        return false;
    }
    return true;
}

AudioObjectID HalSession::plugInID() const {
    return mHost ? mHost->plugInObjectID() : 0;
}

OSStatus HalSession::deviceList(std::vector<AudioDeviceID>& out) {
    const AudioObjectPropertyAddress address{kAudioHardwarePropertyDevices,
                                             kAudioObjectPropertyScopeGlobal, 0};
    UInt32 size = 0;
    OSStatus s =
        AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &address, 0, nullptr, &size);
    if (s != 0) return s;
    out.assign(size / sizeof(AudioDeviceID), 0);
    s = AudioObjectGetPropertyData(kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                   out.data());
    out.resize(s == 0 ? size / sizeof(AudioDeviceID) : 0);
    return s;
}

AudioDeviceID HalSession::findHX5100(std::string& why) {
    std::vector<AudioDeviceID> list;
    for (int step = 0; step <= kPublishSteps; ++step) {
        if (mSetup.machineHere) hx::kern::waitQuiet();
        mHost->settle();
        const OSStatus s = deviceList(list);
        if (s != 0) {
            why = "the device list answered " + statusText(s);
            return 0;
        }
        if (!list.empty()) break;
        run(kPublishStepMicros);
    }
    if (list.empty()) {
        why = "the HAL plug-in published no device";
        return 0;
    }
    for (AudioDeviceID d : list) {
        uint32_t vendor = 0, product = 0;
        if (identityNumber(d, kSelVendor, vendor) && identityNumber(d, kSelProduct, product) &&
            vendor == kKorvexVendorID && product == kKorvexHX5100ProductID)
            return d;
    }
    why = "no device of the list (" + std::to_string(list.size()) +
          ") answered 'QnVD' and 'QnPD' as an HX-5100";
    return 0;
}

void HalSession::run(uint64_t micros) {
    mRoad->run(micros);
}

void HalSession::unload() {
    if (mHost) mHost->unload();
}

hx::harness::HarnessReport HalSession::machineReport() {
    if (mRoad->harness()) return mRoad->harness()->report();
    return mRoad->routingClient().report();
}

OSStatus halGet(AudioDeviceID device, bool isInput, uint32_t selector, void* value, uint32_t size,
                uint32_t element) {
    std::vector<uint8_t> buf(size);
    UInt32 io = size;
    const OSStatus s = AudioDeviceGetProperty(device, element, isInput, selector, &io, buf.data());
    if (s == 0) std::memcpy(value, buf.data(), size);
    return s;
}

OSStatus halGetCFString(AudioDeviceID device, bool isInput, uint32_t selector, std::string& out) {
    CFTypeRef object = nullptr;
    UInt32 size = sizeof object;
    const OSStatus s = AudioDeviceGetProperty(device, 0, isInput, selector, &size, &object);
    if (s != 0) return s;
    if (object && CFGetTypeID(object) == CFStringGetTypeID())
        out = cfStringText(CFStringRef(object));
    else
        out = cfText(object);
    if (object) CFRelease(object);
    return s;
}

OSStatus halGetCString(AudioDeviceID device, bool isInput, uint32_t selector, std::string& out) {
    UInt32 size = 0;
    Boolean writable = false;
    OSStatus s = AudioDeviceGetPropertyInfo(device, 0, isInput, selector, &size, &writable);
    if (s != 0) return s;
    std::vector<char> buf(size_t(size) + 1, 0);
    s = AudioDeviceGetProperty(device, 0, isInput, selector, &size, buf.data());
    if (s == 0) out.assign(buf.data(), strnlen(buf.data(), buf.size()));
    return s;
}

OSStatus halGetCFText(AudioDeviceID device, bool isInput, uint32_t selector, std::string& out) {
    CFTypeRef object = nullptr;
    UInt32 size = sizeof object;
    const OSStatus s = AudioDeviceGetProperty(device, 0, isInput, selector, &size, &object);
    if (s != 0) return s;
    out = cfText(object);
    if (object) CFRelease(object);
    return s;
}

OSStatus halSet(AudioDeviceID device, bool isInput, uint32_t selector, const void* value,
                uint32_t size, uint32_t element) {
    return AudioDeviceSetProperty(device, nullptr, element, isInput, selector, size, value);
}

OSStatus halStartFromProgramThread(AudioDeviceID device, AudioDeviceIOProcID id) {
    std::atomic<OSStatus> started{0};
    std::thread program([&, seat = hx::clock::Reservation()]() mutable {
        hx::clock::Participant p(std::move(seat));
        started = AudioDeviceStart(device, id);
    });
    {
        hx::clock::Idle idle;
        program.join();
    }
    return started.load();
}

std::string cfText(const void* object) {
    if (!object) return "(null)";
    CFTypeRef o = object;
    const CFTypeID type = CFGetTypeID(o);
    if (type == CFStringGetTypeID()) return "\"" + cfStringText(CFStringRef(o)) + "\"";
    if (type == CFNumberGetTypeID()) {
        if (CFNumberIsFloatType(CFNumberRef(o))) {
            double d = 0;
            CFNumberGetValue(CFNumberRef(o), kCFNumberFloat64Type, &d);
            char buf[40];
            std::snprintf(buf, sizeof buf, "%g", d);
            return buf;
        }
        long long n = 0;
        CFNumberGetValue(CFNumberRef(o), kCFNumberLongLongType, &n);
        return std::to_string(n);
    }
    if (type == CFDataGetTypeID()) {
        const CFIndex n = CFDataGetLength(CFDataRef(o));
        const UInt8* p = CFDataGetBytePtr(CFDataRef(o));
        std::string s = "<";
        char hex[4];
        for (CFIndex i = 0; i < n; ++i) {
            std::snprintf(hex, sizeof hex, "%02x", unsigned(p[i]));
            s += hex;
        }
        return s + ">";
    }
    if (type == CFDictionaryGetTypeID()) {
        const CFIndex n = CFDictionaryGetCount(CFDictionaryRef(o));
        std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
        CFDictionaryGetKeysAndValues(CFDictionaryRef(o), keys.data(), values.data());
        std::vector<std::pair<std::string, std::string>> items;
        for (CFIndex i = 0; i < n; ++i)
            items.emplace_back(cfText(keys[size_t(i)]), cfText(values[size_t(i)]));
        std::sort(items.begin(), items.end());
        std::string s = "{";
        for (const auto& [k, v] : items)
            s += (s.size() > 1 ? "; " : "") + k + " = " + v;
        return s + "}";
    }
    if (CFStringRef d = CFCopyDescription(o)) {
        std::string s = cfStringText(d);
        CFRelease(d);
        return s;
    }
    return "(object)";
}

OSStatus halSetRouting(AudioDeviceID device, Routing routing, uint32_t* failedSelector) {
    // Pass: output pair 0 carries playback pair 0 unchanged. Mix: no
    // routing, each output from the mixer, whose fractions put playback 1
    // on the left and playback 2 on the right at unity.
    uint8_t matrix[kRoutingMatrixBytes] = {};
    if (routing == Routing::Pass) matrix[0] = 1;
    CFDataRef data = CFDataCreate(nullptr, matrix, sizeof matrix);
    OSStatus s = halSet(device, false, kSelRoutingMatrix, &data, sizeof data);
    CFRelease(data);
    if (failedSelector) *failedSelector = s ? kSelRoutingMatrix : 0;
    if (s != 0 || routing == Routing::Pass) return s;
    for (int c = 0; c < kMixerChannels && s == 0; ++c) {
        const int32_t values[5] = {c, c == 0 ? 1 : 0, 1, c == 1 ? 1 : 0, 1};
        const char* names[5] = {"MixerFractionChannel", "MixerFractionLNumerator",
                                "MixerFractionLDenominator", "MixerFractionRNumerator",
                                "MixerFractionRDenominator"};
        const void* keys[5];
        const void* numbers[5];
        for (int k = 0; k < 5; ++k) {
            keys[k] = CFStringCreateWithCString(nullptr, names[k], kCFStringEncodingASCII);
            numbers[k] = makeNumber(values[k]);
        }
        CFDictionaryRef dict =
            CFDictionaryCreate(nullptr, keys, numbers, 5, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        for (int k = 0; k < 5; ++k) {
            CFRelease(keys[k]);
            CFRelease(numbers[k]);
        }
        s = halSet(device, false, kSelMixerFraction, &dict, sizeof dict);
        CFRelease(dict);
    }
    if (failedSelector && s) *failedSelector = kSelMixerFraction;
    return s;
}

std::string selectorText(uint32_t selector) {
    std::string s = "'";
    for (int shift = 24; shift >= 0; shift -= 8)
        s += char((selector >> shift) & 0xFF);
    return s + "'";
}

bool parseSelector(const std::string& text, uint32_t& selector) {
    std::string t = text;
    if (t.size() == 6 && t.front() == '\'' && t.back() == '\'') t = t.substr(1, 4);
    if (t.size() != 4) return false;
    selector = 0;
    for (char c : t) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E)
            return false;
        selector = (selector << 8) | static_cast<unsigned char>(c);
    }
    return true;
}

} // namespace hx::sim
