// The custom 'Qn..' selectors of the device property methods: the settings
// the control panel and our other clients read and change that CoreAudio has
// no property for (clock source, digital output, USB1 mode, routing, mixer,
// foot switch, level meters, versions and identity, streaming suspension,
// firmware update mode).
//
// Every value but 'QNrt' is one CoreFoundation object passed by reference in
// 8 bytes: a get hands out a new object the caller releases (none when the
// get fails), a set borrows the caller's. 'QNrt' carries three u32 words
// {first index, second index, value}.
//
// A set checks everything before anything reaches the kernel: the size, a
// null data pointer, then the object itself (its CF type, a block's length,
// a dictionary's keys). A value the kernel could not take back is refused
// with kIOReturnBadArgument and no request. Sets whose kernel call fails
// answer kIOReturnInternalError, except 'QnSt' and 'QnFW', which answer 0
// whatever the kernel says: the control panel treats them as fire and
// forget (a device entering the firmware update mode is gone before it
// could answer).
#include "plugins/hal/ZrAsioDriver.h"

#include "device/OSXAsioRegistry.h"
#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"
#include "platform/base/MacErrors.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <syslog.h>

namespace {

using hx::coreaudio::fourCC;

// The selectors.
constexpr AudioDevicePropertyID kRoutingEntry = fourCC("QNrt");
constexpr AudioDevicePropertyID kRoutingEntryData = fourCC("QnRo");
constexpr AudioDevicePropertyID kClockSource = fourCC("QnCS");
constexpr AudioDevicePropertyID kDigitalOutMode = fourCC("QnDM");
constexpr AudioDevicePropertyID kDigitalOutSelector = fourCC("QnOS");
constexpr AudioDevicePropertyID kUSB1Mode = fourCC("QnU1");
constexpr AudioDevicePropertyID kDigitalStatus = fourCC("QnDS");
constexpr AudioDevicePropertyID kDriverVersion = fourCC("QnDV");
constexpr AudioDevicePropertyID kFirmwareVersion = fourCC("QnFV");
constexpr AudioDevicePropertyID kSerialNumber = fourCC("QnSN");
constexpr AudioDevicePropertyID kInputLevels = fourCC("QnIL");
constexpr AudioDevicePropertyID kOutputLevels = fourCC("QnOL");
constexpr AudioDevicePropertyID kPortConfig = fourCC("QnPC");
constexpr AudioDevicePropertyID kServiceProperties = fourCC("QnIO");
constexpr AudioDevicePropertyID kRoutingMatrix = fourCC("QnRM");
constexpr AudioDevicePropertyID kMixerValues = fourCC("QnSV");
constexpr AudioDevicePropertyID kMixerMode = fourCC("QnMM");
constexpr AudioDevicePropertyID kMixerFractions = fourCC("QnMF");
constexpr AudioDevicePropertyID kMixerBuffer = fourCC("QnMB");
constexpr AudioDevicePropertyID kReverbBuffers = fourCC("QnRB");
constexpr AudioDevicePropertyID kFootSwitchMode = fourCC("QnFM");
constexpr AudioDevicePropertyID kFootSwitchProtocol = fourCC("QnFP");
constexpr AudioDevicePropertyID kStreaming = fourCC("QnSt");
constexpr AudioDevicePropertyID kFirmwareUpdateMode = fourCC("QnFW");
constexpr AudioDevicePropertyID kProductID = fourCC("QnPD");
constexpr AudioDevicePropertyID kVendorID = fourCC("QnVD");
constexpr AudioDevicePropertyID kSampleWidth = fourCC("QnSW");
constexpr AudioDevicePropertyID kPlugInType = fourCC("QnTy");

constexpr AudioDevicePropertyID kClockSourceStandard = fourCC("csrc");

constexpr UInt32 kObjectSize = sizeof(CFTypeRef);
static_assert(kObjectSize == 8);
constexpr UInt32 kRoutingEntrySize = 12; // three u32

// The blocks the kernel takes whole.
constexpr CFIndex kRoutingMatrixBytes = OSXAsioRegistry::kRoutingMatrixSize; // 32
constexpr CFIndex kMixerBufferBytes = OSXAsioRegistry::kMixerBufferSize;     // 64
constexpr CFIndex kReverbBufferBytes = OSXAsioRegistry::kReverbBuffersSize;  // 1,536

struct CustomRow {
    AudioDevicePropertyID selector;
    UInt32 size;
    bool writable;
};

constexpr CustomRow kRows[] = {
    {kRoutingEntry, kRoutingEntrySize, true}, {kClockSource, kObjectSize, true},
    {kDigitalOutMode, kObjectSize, true},     {kFootSwitchMode, kObjectSize, true},
    {kFootSwitchProtocol, kObjectSize, true}, {kFirmwareUpdateMode, kObjectSize, true},
    {kMixerBuffer, kObjectSize, true},        {kMixerFractions, kObjectSize, true},
    {kMixerMode, kObjectSize, true},          {kDigitalOutSelector, kObjectSize, true},
    {kReverbBuffers, kObjectSize, true},      {kRoutingMatrix, kObjectSize, true},
    {kRoutingEntryData, kObjectSize, true},   {kStreaming, kObjectSize, true},
    {kMixerValues, kObjectSize, true},        {kUSB1Mode, kObjectSize, true},
    {kDigitalStatus, kObjectSize, false},     {kDriverVersion, kObjectSize, false},
    {kFirmwareVersion, kObjectSize, false},   {kInputLevels, kObjectSize, false},
    {kServiceProperties, kObjectSize, false}, {kOutputLevels, kObjectSize, false},
    {kPortConfig, kObjectSize, false},        {kProductID, kObjectSize, false},
    {kSerialNumber, kObjectSize, false},      {kSampleWidth, kObjectSize, false},
    {kPlugInType, kObjectSize, false},        {kVendorID, kObjectSize, false},
};
static_assert(sizeof kRows / sizeof kRows[0] == 28);

const CustomRow* findRow(AudioDevicePropertyID selector) {
    for (const CustomRow& row : kRows)
        if (row.selector == selector) return &row;
    return nullptr;
}

// The keys a dictionary value must hold, each a number.
constexpr const char* kMixerFractionKeys[] = {
    "MixerFractionChannel",    "MixerFractionLNumerator",   "MixerFractionLDenominator",
    "MixerFractionRNumerator", "MixerFractionRDenominator",
};
constexpr const char* kMixerValueKeys[] = {"MixerBitmap", "MixerKnob"};

// ---- Handing objects out

// Writes obj (null included) into the caller's 8 bytes; the caller owns it.
void handOut(void* outData, CFTypeRef obj) {
    std::memcpy(outData, &obj, sizeof obj);
}

// A get of an operation that can fail: the object goes out on success; on
// failure it is dropped and the caller gets null.
OSStatus handOutIf(void* outData, bool ok, CFTypeRef obj) {
    if (!ok) {
        if (obj) CFRelease(obj);
        obj = nullptr;
    }
    handOut(outData, obj);
    return ok ? 0 : kIOReturnInternalError;
}

CFNumberRef makeInt(int32_t value) {
    return CFNumberCreate(nullptr, kCFNumberIntType, &value);
}

CFNumberRef makeInt16(int32_t value) {
    const SInt16 v = SInt16(value);
    return CFNumberCreate(nullptr, kCFNumberSInt16Type, &v);
}

// ---- Reading a borrowed object

CFTypeRef objectIn(const void* data) {
    CFTypeRef obj = nullptr;
    std::memcpy(&obj, data, sizeof obj);
    return obj;
}

bool isType(CFTypeRef obj, CFTypeID type) {
    return obj && CFGetTypeID(obj) == type;
}

bool numberIn(CFTypeRef obj, CFNumberType type, void* value) {
    if (!isType(obj, CFNumberGetTypeID())) return false;
    CFNumberGetValue(CFNumberRef(obj), type, value);
    return true;
}

bool dataOfAtLeast(CFTypeRef obj, CFIndex bytes) {
    return isType(obj, CFDataGetTypeID()) && CFDataGetLength(CFDataRef(obj)) >= bytes;
}

template <std::size_t N> bool dictionaryWithNumbers(CFTypeRef obj, const char* const (&keys)[N]) {
    if (!isType(obj, CFDictionaryGetTypeID())) return false;
    for (const char* key : keys) {
        CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingASCII);
        const CFTypeRef v = CFDictionaryGetValue(CFDictionaryRef(obj), k);
        CFRelease(k);
        if (!isType(v, CFNumberGetTypeID())) return false;
    }
    return true;
}

// Takes the device mutex; waiting for it does not hold the clock still (its
// holder may be waiting on the clock for a kernel request).
std::unique_lock<std::recursive_mutex> lockDevice(ZrOSXDevice* device) {
    std::unique_lock<std::recursive_mutex> lock(device->deviceMutex(), std::try_to_lock);
    if (!lock.owns_lock()) {
        hx::clock::Idle idle;
        lock.lock();
    }
    return lock;
}

// ---- Routing entries

struct RoutingEntry {
    uint32_t first, second, value;
};

RoutingEntry routingEntryIn(const void* bytes) {
    RoutingEntry e{};
    std::memcpy(&e, bytes, sizeof e);
    return e;
}

// The kernel's entry first; the registry keeps it only when the kernel took
// it. A device without a registry has its kernel entry changed but answers
// kIOReturnInternalError: nothing was stored.
OSStatus setRoutingEntry(ZrOSXDevice* device, const RoutingEntry& e) {
    if (!device->setRouting(e.first, e.second, e.value)) return kIOReturnInternalError;
    const auto g = lockDevice(device);
    OSXAsioRegistry* registry = device->settingsRegistry();
    if (!registry) return kIOReturnInternalError;
    registry->setRouting(int(e.first), int(e.second), e.value);
    registry->store();
    return 0;
}

} // namespace

bool ZrAsioDriver::isCustomProperty(AudioDevicePropertyID property) {
    return findRow(property) != nullptr;
}

OSStatus ZrAsioDriver::customPropertyInfo(ZrOSXDevice*, UInt32, Boolean,
                                          AudioDevicePropertyID property, UInt32* outSize,
                                          Boolean* outWritable) {
    const CustomRow* row = findRow(property);
    if (outSize) *outSize = row ? row->size : 0;
    if (outWritable) *outWritable = row && row->writable;
    return row ? 0 : kAudioHardwareUnknownPropertyError;
}

OSStatus ZrAsioDriver::customGetProperty(ZrOSXDevice* device, UInt32, Boolean,
                                         AudioDevicePropertyID property, UInt32* ioSize,
                                         void* outData) {
    const CustomRow* row = findRow(property);
    if (!row || property == kRoutingEntryData || property == kFirmwareUpdateMode)
        return kAudioHardwareUnknownPropertyError;
    if (!ioSize || !outData) return kAudioHardwareBadPropertySizeError;
    // The clock source takes any size that holds the object.
    if (property == kClockSource ? *ioSize < row->size : *ioSize != row->size)
        return kAudioHardwareBadPropertySizeError;

    switch (property) {
    case kRoutingEntry: {
        RoutingEntry e = routingEntryIn(outData);
        const auto g = lockDevice(device);
        OSXAsioRegistry* registry = device->settingsRegistry();
        if (!registry || !registry->getRouting(int(e.first), int(e.second), e.value))
            return kIOReturnInternalError;
        std::memcpy(static_cast<char*>(outData) + 8, &e.value, sizeof e.value);
        return 0;
    }
    case kClockSource:
        handOut(outData, makeInt16(device->getCurrentClockSource()));
        return 0;
    case kDigitalOutMode: {
        const int32_t mode = device->getDigitalOutMode();
        syslog(LOG_NOTICE, "digitalOutMode %d\n", int(mode));
        handOut(outData, makeInt(mode));
        return 0;
    }
    case kDigitalOutSelector:
        handOut(outData, makeInt(device->getDigitalOutSelector()));
        return 0;
    case kUSB1Mode: {
        const int32_t mode = device->getUSB1Mode();
        syslog(LOG_NOTICE, "kQnAudioCustomPropertyUSB1Mode %d\n", int(mode));
        handOut(outData, makeInt(mode));
        return 0;
    }
    case kDigitalStatus: {
        CFDictionaryRef status = nullptr;
        const uint32_t result = device->getDigitalStatus(&status);
        syslog(LOG_NOTICE, "digitalStatus %d\n", int(result));
        handOut(outData, status);
        return 0;
    }
    case kDriverVersion: {
        CFStringRef s = nullptr;
        const bool ok = device->getDriverVersionString(&s);
        return handOutIf(outData, ok, s);
    }
    case kFirmwareVersion: {
        CFNumberRef number = nullptr;
        CFStringRef text = nullptr;
        device->getFirmwareVersionString(&text);
        const bool ok = device->getFirmwareVersion(&number);
        CFMutableDictionaryRef d = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        // A version string that could not be read is the empty string.
        CFDictionarySetValue(d, CFSTR("versionString"), text ? CFTypeRef(text) : CFSTR(""));
        if (number) CFDictionarySetValue(d, CFSTR("versionNumber"), number);
        if (text) CFRelease(text);
        if (number) CFRelease(number);
        return handOutIf(outData, ok, d);
    }
    case kSerialNumber: {
        CFStringRef s = nullptr;
        const bool ok = device->getSerialNumberString(&s);
        return handOutIf(outData, ok, s);
    }
    case kInputLevels: {
        CFDataRef data = nullptr;
        const bool ok = device->getInputLevels(&data);
        return handOutIf(outData, ok, data);
    }
    case kOutputLevels: {
        CFDataRef data = nullptr;
        const bool ok = device->getOutputLevels(&data);
        return handOutIf(outData, ok, data);
    }
    case kPortConfig: {
        CFDataRef data = nullptr;
        const bool ok = device->getPortConfig(&data);
        return handOutIf(outData, ok, data);
    }
    case kServiceProperties: {
        // Re-read from the kernel service; the copy handed out is the
        // caller's own reference, so its release leaves the device's intact.
        CFDictionaryRef props = nullptr;
        {
            const auto g = lockDevice(device);
            props = device->getProperties();
        }
        handOut(outData, props);
        return 0;
    }
    case kRoutingMatrix: {
        CFDataRef data = nullptr;
        const bool ok = device->getRoutingMatrix(&data);
        return handOutIf(outData, ok, data);
    }
    case kMixerValues: {
        CFDictionaryRef values = nullptr;
        const bool ok = device->getMixerValues(&values);
        return handOutIf(outData, ok, values);
    }
    case kMixerMode: {
        const int32_t mode = device->deviceMixerMode();
        syslog(LOG_NOTICE, "MixerMode %d\n", int(mode));
        handOut(outData, makeInt(mode));
        return 0;
    }
    case kMixerFractions:
    case kMixerBuffer:
    case kReverbBuffers:
    case kFootSwitchMode:
    case kFootSwitchProtocol:
    case kStreaming:
        // Write-only settings: their get gives a null object.
        handOut(outData, nullptr);
        return 0;
    case kProductID: {
        const int32_t product = device->deviceInfo().mProduct;
        syslog(LOG_NOTICE, "ProductID %d\n", int(product));
        handOut(outData, makeInt16(product));
        return 0;
    }
    case kVendorID: {
        const int32_t vendor = device->deviceInfo().mVendor;
        syslog(LOG_NOTICE, "VendorID %d\n", int(vendor));
        handOut(outData, makeInt16(vendor));
        return 0;
    }
    case kSampleWidth: {
        const QnChannelSettings& reported = device->reportedSettings();
        handOut(outData,
                makeInt16(int32_t(std::max(reported.InResolution, reported.OutResolution))));
        return 0;
    }
    case kPlugInType:
        handOut(outData, CFStringCreateCopy(nullptr, CFSTR("QuarnelHalPluginType")));
        return 0;
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus ZrAsioDriver::customSetProperty(ZrOSXDevice* device, UInt32, Boolean,
                                         AudioDevicePropertyID property, UInt32 size,
                                         const void* data) {
    const CustomRow* row = findRow(property);
    if (!row || !row->writable) return kAudioHardwareUnknownPropertyError;
    if (!data) return kAudioHardwareBadPropertySizeError;
    // The clock source and the firmware update mode take any size that holds
    // the object; every other selector its exact size.
    const bool anySize = property == kClockSource || property == kFirmwareUpdateMode;
    if (anySize ? size < row->size : size != row->size) return kAudioHardwareBadPropertySizeError;

    if (property == kRoutingEntry) return setRoutingEntry(device, routingEntryIn(data));

    const CFTypeRef obj = objectIn(data);
    int32_t number = 0;
    switch (property) {
    case kRoutingEntryData: {
        if (!isType(obj, CFDataGetTypeID()) ||
            CFDataGetLength(CFDataRef(obj)) != CFIndex(kRoutingEntrySize))
            return kIOReturnBadArgument;
        return setRoutingEntry(device, routingEntryIn(CFDataGetBytePtr(CFDataRef(obj))));
    }
    case kClockSource:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        if (!device->setClockSource(uint32_t(number))) return kIOReturnInternalError;
        device->devicePropertyChanged(kClockSourceStandard);
        return 0;
    case kDigitalOutMode:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        return device->setDigitalOutMode(uint32_t(number)) ? 0 : kIOReturnInternalError;
    case kDigitalOutSelector:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        return device->setDigitalOutSelector(uint32_t(number)) ? 0 : kIOReturnInternalError;
    case kUSB1Mode:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        return device->setUSB1Mode(uint32_t(number)) ? 0 : kIOReturnInternalError;
    case kRoutingMatrix:
        if (!dataOfAtLeast(obj, kRoutingMatrixBytes)) return kIOReturnBadArgument;
        return device->setRoutingMatrix(CFDataRef(obj)) ? 0 : kIOReturnInternalError;
    case kMixerValues:
        if (!dictionaryWithNumbers(obj, kMixerValueKeys)) return kIOReturnBadArgument;
        return device->setMixerValues(CFDictionaryRef(obj)) ? 0 : kIOReturnInternalError;
    case kMixerMode:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        return device->setMixerMode(uint32_t(number)) ? 0 : kIOReturnInternalError;
    case kMixerFractions:
        if (!dictionaryWithNumbers(obj, kMixerFractionKeys)) return kIOReturnBadArgument;
        return device->setMixerFractions(CFDictionaryRef(obj)) ? 0 : kIOReturnInternalError;
    case kMixerBuffer:
        if (!dataOfAtLeast(obj, kMixerBufferBytes)) return kIOReturnBadArgument;
        return device->sendMixerBuffer(CFDataRef(obj)) ? 0 : kIOReturnInternalError;
    case kReverbBuffers:
        if (!dataOfAtLeast(obj, kReverbBufferBytes)) return kIOReturnBadArgument;
        return device->sendReverbBuffers(CFDataRef(obj)) ? 0 : kIOReturnInternalError;
    case kFootSwitchMode:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        return device->setFootSwitchMode(uint32_t(number)) ? 0 : kIOReturnInternalError;
    case kFootSwitchProtocol:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        return device->setFootSwitchProtocol(uint32_t(number)) ? 0 : kIOReturnInternalError;
    case kStreaming:
        if (!numberIn(obj, kCFNumberSInt32Type, &number)) return kIOReturnBadArgument;
        if (number != 0)
            device->resumeStreaming();
        else
            device->suspendStreaming();
        return 0;
    case kFirmwareUpdateMode: {
        SInt8 mode = 0;
        if (!numberIn(obj, kCFNumberSInt8Type, &mode)) return kIOReturnBadArgument;
        // The kernel then reports state change 16: the device manager removes
        // the device and the driver announces its death.
        if (mode == 1) device->enterFirmwareUpdateMode();
        return 0;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}
