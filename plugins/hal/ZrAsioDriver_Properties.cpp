// The property calls of the table: the device property methods with the
// standard selectors, and the stream and object routes that end in them.
//
// Each device method finds its device, hands the stream-format and source
// selectors to _StreamFormats and the custom ones to _Custom, and answers
// the standard selectors itself from the device object.
//
// Sizes: a get writes nothing through a null size pointer or null data, nor
// past the size the caller gives ('!siz'), except where a selector guards
// its call itself ('makr', 'name' and 'nsr#' answer 'who?'; 'akin', 'dch2'
// and 'stm#' answer 0 with nothing written). A set reads nothing before its
// size is checked.
#include "plugins/hal/ZrAsioDriver.h"

#include "abi/DeviceFamilies.h"
#include "device/OSXDeviceManager.h"
#include "device/ProcessNames.h"
#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/MacErrors.h"
#include "platform/cf/CFURL.h"
#include "platform/sys/HXProcess.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <syslog.h>

namespace {

using hx::coreaudio::fourCC;

// Drops the look-up's reference on return.
struct Release {
    ZrOSXDevice* device;
    ~Release() {
        if (device) device->decReferences();
    }
};

constexpr OSStatus kWho = kAudioHardwareUnknownPropertyError;
constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;
constexpr OSStatus kInternal = OSStatus(0xE00002C9);
constexpr double kHighestRate = 384000.0;

constexpr const char* kControlApp = "com.korvex.hx5100.control";
constexpr const char* kIconTiff =
    "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.tiff";
constexpr const char* kIconPng =
    "/Applications/Utilities/Audio MIDI Setup.app/Contents/Resources/USB.png";

bool outputOnly(const ZrOSXDevice* device, Boolean isInput) {
    return isInput && device->isOutputOnly();
}

bool fits(const UInt32* ioSize, const void* data, UInt32 bytes) {
    return ioSize && data && *ioSize >= bytes;
}

// Writes bytes of value when the caller's size and data allow it.
OSStatus put(UInt32* ioSize, void* data, const void* value, UInt32 bytes) {
    if (!fits(ioSize, data, bytes)) return kBadSize;
    std::memcpy(data, value, bytes);
    return 0;
}

template <class T> OSStatus putValue(UInt32* ioSize, void* data, T value) {
    return put(ioSize, data, &value, sizeof value);
}

// A new CFString of text, handed out by reference.
OSStatus putString(UInt32* ioSize, void* data, const char* text) {
    if (!fits(ioSize, data, sizeof(CFStringRef))) return kBadSize;
    const CFStringRef s = CFStringCreateWithCString(nullptr, text, kCFStringEncodingASCII);
    std::memcpy(data, &s, sizeof s);
    return 0;
}

OSStatus putRange(UInt32* ioSize, void* data, double minimum, double maximum) {
    return putValue(ioSize, data, AudioValueRange{minimum, maximum});
}

UInt32 firstWord(const void* data) {
    UInt32 v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

UInt32 textSize(const ZrString& text) {
    return UInt32(std::strlen(static_cast<const char*>(text))) + 1;
}

// 'usb ' only for the products listed for it, and not at USB 2 speed before
// release 12.
UInt32 transportType(const ZrOSXDevice* device) {
    UInt32 type =
        device->isUSB2Device() && GetMacOSRelease() < 12 ? fourCC("othr") : fourCC("usb ");
    bool listed = false;
    for (const DeviceFamilyMember& m : DeviceFamilies::kTransportUSB)
        listed = listed || device->isDevice(m.vendor, m.product);
    if (!listed) type = fourCC("othr");
    return type;
}

// The scope of an object call as the device methods' isInput flag; false
// for a scope not taken.
bool scopeDirection(const ZrOSXDevice* device, AudioObjectID object, AudioObjectPropertyScope scope,
                    Boolean& isInput) {
    if (scope == kAudioObjectPropertyScopeWildcard || scope == fourCC("glob")) {
        isInput = object == device->getInAudioStreamID();
        return true;
    }
    if (scope == fourCC("inpt") || scope == fourCC("outp")) {
        isInput = scope == fourCC("inpt");
        return true;
    }
    return false;
}

} // namespace

// ---- Device property methods

OSStatus ZrAsioDriver::onDeviceGetPropertyInfo(AudioDeviceID device, UInt32 channel,
                                               Boolean isInput, AudioDevicePropertyID property,
                                               UInt32* outSize, Boolean* outWritable) {
    Release d{getDeviceAndRetain(device)};
    if (!d.device) return kIOReturnNoDevice;
    ZrOSXDevice* dev = d.device;
    UInt32 size = 4;
    Boolean writable = false;
    OSStatus status = 0;
    const bool oo = outputOnly(dev, isInput);

    if (isFormatProperty(property)) {
        status = formatPropertyInfo(dev, channel, isInput, property, &size, &writable);
    } else if (isCustomProperty(property)) {
        status = customPropertyInfo(dev, channel, isInput, property, &size, &writable);
    } else {
        switch (property) {
        case fourCC("akin"):
        case fourCC("bsiz"):
        case fourCC("clkd"):
        case fourCC("db2v"):
        case fourCC("dflt"):
        case fourCC("sflt"):
        case fourCC("goin"):
        case fourCC("gone"):
        case fourCC("hidn"):
        case fourCC("over"):
        case fourCC("plug"):
        case fourCC("saft"):
        case fourCC("livn"):
        case fourCC("ltnc"):
        case fourCC("mix?"):
        case fourCC("ownd"):
        case fourCC("schn"):
        case fourCC("sdir"):
        case fourCC("term"):
        case fourCC("tran"):
            break;
        case fourCC("asrt"):
        case fourCC("capp"):
        case fourCC("dch2"):
        case fourCC("icon"):
        case fourCC("lchn"):
        case fourCC("lmak"):
        case fourCC("lnam"):
        case fourCC("muid"):
        case fourCC("uid "):
            size = 8;
            break;
        case fourCC("bsz#"):
        case fourCC("fsz#"):
            size = sizeof(AudioValueRange);
            break;
        case fourCC("csrc"):
        case fourCC("fsiz"):
        case fourCC("oink"):
            writable = true;
            break;
        case fourCC("nsrt"):
            size = 8;
            writable = true;
            break;
        case fourCC("suse"):
            size = sizeof(AudioHardwareIOProcStreamUsage);
            writable = true;
            break;
        case fourCC("isub"):
        case fourCC("smut"):
        case fourCC("svld"):
        case fourCC("svlm"):
        case fourCC("vfsz"):
            size = 0;
            status = kWho;
            break;
        case fourCC("jack"):
            size = oo ? 0 : 4;
            break;
        case fourCC("lisa"):
        case fourCC("lisr"):
            size = 12;
            break;
        case fourCC("makr"):
            size = textSize(dev->manufacturer());
            break;
        case fourCC("name"):
            size = textSize(dev->deviceName());
            break;
        case fourCC("mute"):
            if (dev->canMute(isInput, channel))
                writable = true;
            else
                size = 0, status = kWho;
            break;
        case fourCC("thru"):
            if (dev->canMonitor(isInput, channel))
                writable = true;
            else
                size = 0, status = kWho;
            break;
        case fourCC("vold"):
        case fourCC("volm"):
            if (dev->canVolume(isInput, channel))
                writable = true;
            else
                size = 0, status = kWho;
            break;
        case fourCC("nsr#"):
            size = UInt32(sizeof(AudioValueRange)) * dev->getSampleRates(nullptr, 0);
            break;
        case fourCC("slay"):
            size = oo ? 4 : 24;
            break;
        case fourCC("stm#"):
            size = !oo || (mManager && mManager->clientAppType() == kClientAudioServer) ? 4 : 0;
            break;
        default:
            size = 0;
            status = kWho;
            break;
        }
    }
    if (outSize) *outSize = size;
    if (outWritable) *outWritable = writable;
    return status;
}

OSStatus ZrAsioDriver::onDeviceGetProperty(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID property, UInt32* ioSize,
                                           void* outData) {
    Release d{getDeviceAndRetain(device)};
    if (!d.device) return kIOReturnNoDevice;
    ZrOSXDevice* dev = d.device;
    if (isFormatProperty(property))
        return formatGetProperty(dev, channel, isInput, property, ioSize, outData);
    if (isCustomProperty(property))
        return customGetProperty(dev, channel, isInput, property, ioSize, outData);
    const bool oo = outputOnly(dev, isInput);

    switch (property) {
    case fourCC("akin"):
        if (fits(ioSize, outData, 4)) std::memcpy(outData, &device, 4);
        return 0;
    case fourCC("asrt"):
    case fourCC("nsrt"):
        return putValue(ioSize, outData, Float64(dev->getFrequency()));
    case fourCC("bsiz"):
        return putValue(ioSize, outData, UInt32(dev->getFrameSizeBytes(isInput)));
    case fourCC("bsz#"): {
        if (!fits(ioSize, outData, sizeof(AudioValueRange))) return kBadSize;
        double minimum = 0, maximum = 0;
        dev->getFrameSizeRangeBytes(isInput, &minimum, &maximum);
        return putRange(ioSize, outData, minimum, maximum);
    }
    case fourCC("fsz#"): {
        if (!fits(ioSize, outData, sizeof(AudioValueRange))) return kBadSize;
        double minimum = 0, maximum = 0;
        dev->getFrameSizeRange(&minimum, &maximum);
        return putRange(ioSize, outData, minimum, maximum);
    }
    case fourCC("capp"):
        return putString(ioSize, outData, kControlApp);
    case fourCC("clkd"):
    case fourCC("hidn"):
    case fourCC("over"):
    case fourCC("plug"):
    case fourCC("saft"):
        return putValue(ioSize, outData, UInt32(0));
    case fourCC("csrc"):
        if (!fits(ioSize, outData, 4)) return kBadSize;
        return putValue(ioSize, outData, UInt32(dev->getCurrentClockSource()));
    case fourCC("db2v"): {
        // Decibels to scalar: no conversion, the value plus one in place.
        if (!fits(ioSize, outData, sizeof(Float32))) return kBadSize;
        Float32 v;
        std::memcpy(&v, outData, sizeof v);
        v += 1.0f;
        std::memcpy(outData, &v, sizeof v);
        return 0;
    }
    case fourCC("dch2"): {
        const UInt32 pair[2] = {oo ? 0u : 1u, oo ? 0u : 2u};
        if (fits(ioSize, outData, sizeof pair)) std::memcpy(outData, pair, sizeof pair);
        return 0;
    }
    case fourCC("dflt"):
    case fourCC("sflt"):
        return putValue(ioSize, outData, UInt32(!oo && GetMacOSRelease() <= 12 ? 1 : 0));
    case fourCC("fsiz"):
        return putValue(ioSize, outData, UInt32(dev->getFrameSize()));
    case fourCC("goin"):
        return putValue(ioSize, outData,
                        UInt32(dev->isRunningStream() || dev->isStartingStream() ? 1 : 0));
    case fourCC("gone"):
        return putValue(ioSize, outData, UInt32(dev->isRunningSomewhere() ? 1 : 0));
    case fourCC("icon"): {
        if (!fits(ioSize, outData, sizeof(CFURLRef))) return kBadSize;
        const CFStringRef path = CFStringCreateWithCString(
            nullptr, GetMacOSRelease() > 11 ? kIconTiff : kIconPng, kCFStringEncodingASCII);
        const CFURLRef url =
            CFURLCreateWithFileSystemPath(nullptr, path, kCFURLPOSIXPathStyle, false);
        CFRelease(path);
        std::memcpy(outData, &url, sizeof url);
        return 0;
    }
    case fourCC("jack"):
    case fourCC("mix?"):
    case fourCC("schn"):
        return putValue(ioSize, outData, UInt32(1));
    case fourCC("lchn"): {
        if (!fits(ioSize, outData, sizeof(CFStringRef))) return kBadSize;
        const CFStringRef name = dev->getChannelName(isInput, channel);
        if (!name) syslog(LOG_ERR, "!!! Channel Name NULL");
        std::memcpy(outData, &name, sizeof name);
        return 0;
    }
    case fourCC("livn"):
        return putValue(ioSize, outData, UInt32(dev->isDeviceOpen() ? 1 : 0));
    case fourCC("lmak"):
        return putString(ioSize, outData, dev->manufacturer());
    case fourCC("lnam"):
        return putString(ioSize, outData, dev->deviceName());
    case fourCC("muid"):
    case fourCC("uid "):
        return putString(ioSize, outData, dev->deviceUID());
    case fourCC("ltnc"):
        return putValue(ioSize, outData, UInt32(dev->getLatency(isInput)));
    case fourCC("makr"): {
        const UInt32 bytes = textSize(dev->manufacturer());
        if (!fits(ioSize, outData, bytes)) return kWho;
        std::memcpy(outData, static_cast<const char*>(dev->manufacturer()), bytes);
        return 0;
    }
    case fourCC("name"): {
        if (!ioSize || !outData) return kWho;
        // At most the caller's size; a cut name has no terminator.
        const UInt32 bytes = std::min(*ioSize, textSize(dev->deviceName()));
        std::memcpy(outData, static_cast<const char*>(dev->deviceName()), bytes);
        return 0;
    }
    case fourCC("mute"): {
        if (!fits(ioSize, outData, 4)) return kBadSize;
        const int32_t mute = dev->getMute(isInput, channel);
        if (mute == -1) return kWho;
        return putValue(ioSize, outData, UInt32(mute));
    }
    case fourCC("nsr#"): {
        if (!ioSize || !outData) return kWho;
        const UInt32 n = dev->getSampleRates(static_cast<AudioValueRange*>(outData),
                                             *ioSize / UInt32(sizeof(AudioValueRange)));
        *ioSize = n * UInt32(sizeof(AudioValueRange));
        return 0;
    }
    case fourCC("oink"): {
        if (!fits(ioSize, outData, 4)) return kBadSize;
        hx::clock::sleepFor(1'000'000);
        int32_t owner = dev->hogOwner();
        if (dev->getHogID(&owner)) dev->setHogOwner(owner);
        return putValue(ioSize, outData, dev->hogOwner());
    }
    case fourCC("sdir"):
        return putValue(ioSize, outData, UInt32(isInput ? 1 : 0));
    case fourCC("slay"): {
        if (oo) return putValue(ioSize, outData, UInt32(0));
        if (!fits(ioSize, outData, 24)) return kBadSize;
        AudioBufferList list{};
        const OSStatus status = dev->getStreamConfiguration(isInput, &list);
        std::memcpy(outData, &list, 24);
        return status;
    }
    case fourCC("stm#"):
        if (ioSize && *ioSize == 4 && outData) {
            const AudioStreamID id = isInput ? (dev->isOutputOnly() ? 0 : dev->getInAudioStreamID())
                                             : dev->getOutAudioStreamID();
            std::memcpy(outData, &id, sizeof id);
        }
        return 0;
    case fourCC("suse"): {
        if (!fits(ioSize, outData, sizeof(AudioHardwareIOProcStreamUsage))) return kBadSize;
        AudioHardwareIOProcStreamUsage usage;
        std::memcpy(&usage, outData, sizeof usage);
        bool inUse = false;
        const OSStatus status =
            dev->getStreamUsage(reinterpret_cast<AudioDeviceIOProc>(usage.mIOProc), isInput, inUse);
        if (status != 0) return status;
        usage.mStreamIsOn[0] = inUse ? 1 : 0;
        std::memcpy(outData, &usage, sizeof usage);
        return 0;
    }
    case fourCC("term"):
        return putValue(ioSize, outData, fourCC("spdf"));
    case fourCC("thru"): {
        if (!fits(ioSize, outData, 4)) return kBadSize;
        UInt32 value = 0;
        const OSStatus status = dev->getMonitor(isInput, channel, &value);
        if (status == 0) std::memcpy(outData, &value, sizeof value);
        return status;
    }
    case fourCC("tran"):
        return putValue(ioSize, outData, transportType(dev));
    case fourCC("vold"):
    case fourCC("volm"): {
        if (!fits(ioSize, outData, sizeof(Float32))) return kBadSize;
        float value = 0;
        const bool ok = property == fourCC("vold") ? dev->getVolumeDB(isInput, channel, &value)
                                                   : dev->getVolumeScalar(isInput, channel, &value);
        if (!ok) return kWho;
        return putValue(ioSize, outData, Float32(value));
    }
    default:
        // 'isub', 'smut', 'svld', 'svlm', 'vfsz', 'lisa', 'lisr', 'ownd' and
        // every unknown selector.
        return kWho;
    }
}

OSStatus ZrAsioDriver::onDeviceSetProperty(AudioDeviceID device, const AudioTimeStamp*,
                                           UInt32 channel, Boolean isInput,
                                           AudioDevicePropertyID property, UInt32 size,
                                           const void* data) {
    Release d{getDeviceAndRetain(device)};
    if (!d.device) return kIOReturnNoDevice;
    ZrOSXDevice* dev = d.device;
    syslog(LOG_WARNING, "ZrAsioDriver::onDeviceSetProperty;inChannel=%d;%s;'%c%c%c%c', s=%d\n",
           int(channel), isInput ? "Input" : "Output", char(property >> 24), char(property >> 16),
           char(property >> 8), char(property), int(size));
    if (isFormatProperty(property))
        return formatSetProperty(dev, channel, isInput, property, size, data);
    if (isCustomProperty(property))
        return customSetProperty(dev, channel, isInput, property, size, data);

    const auto sized = [&](UInt32 bytes) { return data && size >= bytes; };
    switch (property) {
    case fourCC("csrc"):
        if (!sized(4)) return kBadSize;
        if (!dev->setClockSource(firstWord(data))) return kInternal;
        dev->devicePropertyChanged(fourCC("csrc"));
        return 0;
    case fourCC("fsiz"): {
        if (!sized(4)) return kBadSize;
        const UInt32 frames = firstWord(data);
        const IOReturn status = dev->setFrameSize(frames, true, false);
        syslog(LOG_WARNING, "Set kAudioDevicePropertyBufferFrameSize, to %d", int(frames));
        return OSStatus(status);
    }
    case fourCC("lisa"):
    case fourCC("lisr"):
        return 0;
    case fourCC("mute"):
        if (!sized(4)) return kBadSize;
        return dev->setMute(isInput, channel, firstWord(data) != 0 ? 1 : 0) ? 0 : kWho;
    case fourCC("nsrt"): {
        if (!sized(sizeof(Float64))) return kBadSize;
        Float64 rate;
        std::memcpy(&rate, data, sizeof rate);
        std::printf("SETPROP kAudioDevicePropertyNominalSampleRate\n");
        // Not a rate any device runs at: nothing is sent.
        if (!std::isfinite(rate) || rate <= 0 || rate > kHighestRate) {
            std::printf("...bad arg\n");
            return kIOReturnBadArgument;
        }
        std::printf("...before pDevice->setFrequency\n");
        if (dev->setFrequency(isInput, uint32_t(rate))) {
            std::printf("...success\n");
            return 0;
        }
        std::printf("...bad arg\n");
        return kIOReturnBadArgument;
    }
    case fourCC("oink"): {
        std::printf("Set kAudioDevicePropertyHogMode\n");
        if (size != 4 || !data) {
            std::printf("Property size incorrect or null pointer\n");
            return kBadSize;
        }
        int32_t owner = dev->hogOwner();
        if (dev->getHogID(&owner)) dev->setHogOwner(owner);
        const int32_t self = int32_t(hx::sys::ownPid());
        owner = dev->hogOwner();
        if (owner == -1) {
            std::printf("Hog mode given to %d\n", int(self));
            owner = self;
        } else if (owner == self) {
            std::printf("release hog mode from %d\n", int(self));
            owner = -1;
        } else {
            std::printf("Hog mode already owned by %d\n", int(owner));
        }
        // The caller reads the new owner back from its own variable: the
        // HAL hands the caller's pointer through, so it is written in place.
        std::memcpy(const_cast<void*>(data), &owner, sizeof owner);
        dev->setHogOwner(owner);
        dev->setHogID(owner);
        return 0;
    }
    case fourCC("suse"): {
        if (!sized(sizeof(AudioHardwareIOProcStreamUsage))) return kBadSize;
        AudioHardwareIOProcStreamUsage usage;
        std::memcpy(&usage, data, sizeof usage);
        return dev->setStreamUsage(reinterpret_cast<AudioDeviceIOProc>(usage.mIOProc), isInput,
                                   usage.mStreamIsOn[0] != 0);
    }
    case fourCC("thru"):
        if (!sized(4)) return kBadSize;
        return dev->setMonitor(isInput, channel, firstWord(data) != 0) ? 0 : kWho;
    case fourCC("volm"): {
        if (!sized(sizeof(Float32))) return kBadSize;
        Float32 scalar;
        std::memcpy(&scalar, data, sizeof scalar);
        dev->setVolumeScalar(isInput, channel, scalar);
        return 0;
    }
    default:
        return kWho;
    }
}

// ---- Stream calls: the device that owns the stream, the stream's direction

OSStatus ZrAsioDriver::onStreamGetPropertyInfo(AudioStreamID stream, UInt32 channel,
                                               AudioDevicePropertyID property, UInt32* outSize,
                                               Boolean* outWritable) {
    Release d{getDeviceAndRetainFromStreamID(stream)};
    if (!d.device) return kIOReturnNoDevice;
    const Boolean isInput = stream == d.device->getInAudioStreamID();
    return onDeviceGetPropertyInfo(d.device->getAudioDeviceID(), channel, isInput, property,
                                   outSize, outWritable);
}

OSStatus ZrAsioDriver::onStreamGetProperty(AudioStreamID stream, UInt32 channel,
                                           AudioDevicePropertyID property, UInt32* ioSize,
                                           void* outData) {
    Release d{getDeviceAndRetainFromStreamID(stream)};
    if (!d.device) return kIOReturnNoDevice;
    const Boolean isInput = stream == d.device->getInAudioStreamID();
    return onDeviceGetProperty(d.device->getAudioDeviceID(), channel, isInput, property, ioSize,
                               outData);
}

OSStatus ZrAsioDriver::onStreamSetProperty(AudioStreamID stream, const AudioTimeStamp* when,
                                           UInt32 channel, AudioDevicePropertyID property,
                                           UInt32 size, const void* data) {
    Release d{getDeviceAndRetainFromStreamID(stream)};
    if (!d.device) return kIOReturnNoDevice;
    const Boolean isInput = stream == d.device->getInAudioStreamID();
    return onDeviceSetProperty(d.device->getAudioDeviceID(), when, channel, isInput, property, size,
                               data);
}

// ---- Object calls: a device or stream ID and an address

Boolean ZrAsioDriver::onObjectHasProperty(AudioObjectID object,
                                          const AudioObjectPropertyAddress* address) {
    if (!address) return false;
    Release d{getObjectAndRetain(object)};
    Boolean isInput = false;
    if (!d.device || !scopeDirection(d.device, object, address->mScope, isInput)) return false;
    UInt32 size = 0;
    Boolean writable = false;
    return onDeviceGetPropertyInfo(d.device->getAudioDeviceID(), address->mElement, isInput,
                                   address->mSelector, &size, &writable) == 0;
}

OSStatus ZrAsioDriver::onObjectIsPropertySettable(AudioObjectID object,
                                                  const AudioObjectPropertyAddress* address,
                                                  Boolean* outSettable) {
    if (!address) return kAudioHardwareUnspecifiedError;
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    Boolean isInput = false;
    if (!scopeDirection(d.device, object, address->mScope, isInput))
        return kAudioHardwareUnspecifiedError;
    if (outSettable) *outSettable = false;
    UInt32 size = 0;
    Boolean writable = false;
    const OSStatus status = onDeviceGetPropertyInfo(d.device->getAudioDeviceID(), address->mElement,
                                                    isInput, address->mSelector, &size, &writable);
    if (status == 0 && outSettable) *outSettable = writable;
    return status;
}

OSStatus ZrAsioDriver::onObjectGetPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress* address,
                                                   UInt32 qualifierSize, const void* qualifier,
                                                   UInt32* outSize) {
    if (qualifierSize != 0 || qualifier || !address) return kAudioHardwareUnspecifiedError;
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    Boolean isInput = false;
    if (!scopeDirection(d.device, object, address->mScope, isInput))
        return kAudioHardwareUnspecifiedError;
    if (outSize) *outSize = 0;
    UInt32 size = 0;
    Boolean writable = false;
    const OSStatus status = onDeviceGetPropertyInfo(d.device->getAudioDeviceID(), address->mElement,
                                                    isInput, address->mSelector, &size, &writable);
    if (status == 0 && outSize) *outSize = size;
    return status;
}

OSStatus ZrAsioDriver::onObjectGetPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress* address,
                                               UInt32 qualifierSize, const void* qualifier,
                                               UInt32* ioSize, void* outData) {
    if (qualifierSize != 0 || qualifier || !address) return kAudioHardwareUnspecifiedError;
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    Boolean isInput = false;
    if (!scopeDirection(d.device, object, address->mScope, isInput))
        return kAudioHardwareUnspecifiedError;
    return onDeviceGetProperty(d.device->getAudioDeviceID(), address->mElement, isInput,
                               address->mSelector, ioSize, outData);
}

OSStatus ZrAsioDriver::onObjectSetPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress* address,
                                               UInt32 qualifierSize, const void* qualifier,
                                               UInt32 size, const void* data) {
    if (qualifierSize != 0 || qualifier || !address) return kAudioHardwareUnspecifiedError;
    Release d{getObjectAndRetain(object)};
    if (!d.device) return kAudioHardwareBadObjectError;
    Boolean isInput = false;
    if (!scopeDirection(d.device, object, address->mScope, isInput))
        return kAudioHardwareUnspecifiedError;
    return onDeviceSetProperty(d.device->getAudioDeviceID(), nullptr, address->mElement, isInput,
                               address->mSelector, size, data);
}
