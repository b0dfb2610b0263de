// The stream-format and source selectors of the device property methods:
// the current, listed and available formats of each direction (virtual and
// physical), the format-supported test and the format match, the channel
// layout, the clock source list and names, and the data source list,
// selection and names. The device property methods call in here after they
// found the device; each method answers 'who?' for a selector it does not
// own.
//
// Sizes: a get never reads or writes past the size its caller gave, nor
// through a null size or data pointer ('!siz'), except where a selector
// answers its own status for a short or missing buffer ('who?' of 'sfmt',
// 'pft ', 'ssc#', 'csc#' under 4 bytes, 'cscn' without an output buffer,
// 'lscn' and 'sscn' without data or input pointer; '!dat' of 'sfm?' and
// 'sfmm' without data). The list selectors take their count from the size;
// the device layer refuses a count that is not the direction's. A name asked
// for an unknown clock source hands out no string.
//
// Rates a caller gives ('sfmt' and 'pft ' sets, 'sfmm' queries) must be
// finite and within [0, 384000]; 0 keeps its meaning (the current rate).
#include "plugins/hal/ZrAsioDriver.h"
#include "plugins/hal/ZrAsioDriver_StreamFormatRules.h"

#include "abi/DeviceFamilies.h"
#include "device/OSXDeviceManager.h"
#include "device/ProcessNames.h"
#include "device/ZrOSXDevice.h"
#include "platform/base/MacErrors.h"
#include "platform/cf/CoreFoundation.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using hx::coreaudio::fourCC;

constexpr AudioDevicePropertyID kStreamFormat = fourCC("sfmt");
constexpr AudioDevicePropertyID kPhysicalFormat = fourCC("pft ");
constexpr AudioDevicePropertyID kStreamFormats = fourCC("sfm#");
constexpr AudioDevicePropertyID kPhysicalFormats = fourCC("pft#");
constexpr AudioDevicePropertyID kAvailableFormats = fourCC("sfma");
constexpr AudioDevicePropertyID kAvailablePhysicalFormats = fourCC("pfta");
constexpr AudioDevicePropertyID kFormatSupported = fourCC("sfm?");
constexpr AudioDevicePropertyID kFormatMatch = fourCC("sfmm");
constexpr AudioDevicePropertyID kChannelLayout = fourCC("srnd");
constexpr AudioDevicePropertyID kClockSources = fourCC("csc#");
constexpr AudioDevicePropertyID kClockSourceName = fourCC("cscn");
constexpr AudioDevicePropertyID kClockSourceNameCF = fourCC("lcsn");
constexpr AudioDevicePropertyID kDataSources = fourCC("ssc#");
constexpr AudioDevicePropertyID kDataSource = fourCC("ssrc");
constexpr AudioDevicePropertyID kDataSourceNameCF = fourCC("lscn");
constexpr AudioDevicePropertyID kDataSourceName = fourCC("sscn");

constexpr AudioDevicePropertyID kOwned[] = {
    kStreamFormat,    kPhysicalFormat,   kStreamFormats,
    kPhysicalFormats, kAvailableFormats, kAvailablePhysicalFormats,
    kFormatSupported, kFormatMatch,      kChannelLayout,
    kClockSources,    kClockSourceName,  kClockSourceNameCF,
    kDataSources,     kDataSource,       kDataSourceNameCF,
    kDataSourceName,
};

constexpr bool kVirtual = false;
constexpr bool kPhysical = true;
constexpr uint32_t kNoChannelLimit = 0xFFFFFFFF;
constexpr uint32_t kDescriptionBytes = sizeof(AudioStreamBasicDescription);
constexpr uint32_t kRangedBytes = sizeof(AudioStreamRangedDescription);
constexpr uint32_t kTranslationBytes = sizeof(AudioValueTranslation);
constexpr uint32_t kLayoutHeadBytes = offsetof(AudioChannelLayout, mChannelDescriptions);
constexpr uint32_t kChannelDescriptionBytes = sizeof(AudioChannelDescription);
constexpr uint32_t kInputSourceOffset = 100;
constexpr uint32_t kAnyChannels = zrformats::kAnyChannels;
constexpr uint32_t kChannelDescriptionFlags = 4;
static_assert(kDescriptionBytes == 40 && kRangedBytes == 56 && kTranslationBytes == 32);

bool outputOnly(ZrOSXDevice* device, Boolean isInput) {
    return isInput && device->isOutputOnly();
}

bool isTrunk2(ZrOSXDevice* device) {
    for (const DeviceFamilyMember& m : DeviceFamilies::kTrunk2)
        if (device->isDevice(m.vendor, m.product)) return true;
    return false;
}

// A rate a caller hands in: finite, not negative, at most 384,000 (0 asks
// for the current rate).
bool acceptableRate(double rate) {
    return std::isfinite(rate) && rate >= 0.0 && rate <= zrformats::kHighestRate;
}

// The clients that see the master element's data source.
bool showsMasterDataSource(int clientType) {
    return clientType == kClientAudioSetup || clientType == kClientChat ||
           clientType == kClientAudioEditor;
}

// The channel count a direction's layout describes, or false when the
// virtual format cannot be read.
bool layoutChannels(ZrOSXDevice* device, Boolean isInput, uint32_t* channels) {
    AudioStreamBasicDescription d{};
    if (device->getStreamFormat(isInput, &d, kVirtual, kAnyChannels) != 0) return false;
    *channels = d.mChannelsPerFrame;
    return true;
}

uint32_t layoutBytes(uint32_t channels) {
    return channels == 0 ? kLayoutHeadBytes + kChannelDescriptionBytes
                         : kLayoutHeadBytes + kChannelDescriptionBytes * channels;
}

std::string cString(CFStringRef string) {
    if (!string) return {};
    const CFIndex length = CFStringGetLength(string);
    std::vector<char> buffer(
        size_t(CFStringGetMaximumSizeForEncoding(length, kCFStringEncodingUTF8)) + 1, '\0');
    if (!CFStringGetCString(string, buffer.data(), CFIndex(buffer.size()), kCFStringEncodingUTF8))
        return {};
    return std::string(buffer.data());
}

// A data source's name as the device layer gives it ("unknown" when it
// gives none); a new string the caller releases.
CFStringRef dataSourceName(ZrOSXDevice* device, Boolean isInput, uint32_t id) {
    CFStringRef unknown = CFStringCreateWithCString(nullptr, "unknown", kCFStringEncodingASCII);
    CFStringRef name = unknown;
    device->getDataSourcesName(isInput, id, &name);
    if (!name) return unknown;
    if (name != unknown) CFRelease(unknown);
    return name;
}

// Copies a C string into a caller's buffer of length bytes: cut (with its
// last byte 0) when it does not fit, else whole with its terminator and
// length set to what was copied. Nothing for a null pointer or length 0.
void copyStringToTarget(const char* source, char* target, UInt32& length) {
    if (!source || !target || length == 0) return;
    const size_t needed = std::strlen(source) + 1;
    if (length < needed) {
        std::memcpy(target, source, length);
        target[length - 1] = '\0';
        return;
    }
    std::memcpy(target, source, needed);
    length = UInt32(needed);
}

// 'sfm?': 0 when some virtual format of the direction has every field the
// query sets.
OSStatus formatSupported(ZrOSXDevice* device, Boolean isInput,
                         const AudioStreamBasicDescription& query) {
    const uint32_t n = device->getStreamFormatNum(isInput, kVirtual);
    if (n == 0) return kAudioDeviceUnsupportedFormatError;
    std::vector<AudioStreamBasicDescription> list(n);
    if (device->getStreamFormats(isInput, list.data(), n, kVirtual, kNoChannelLimit) != 0)
        return kAudioDeviceUnsupportedFormatError;
    return zrformats::anyMatches(query, list.data(), n) ? 0 : kAudioDeviceUnsupportedFormatError;
}

// 'sfmm': the query, normalised to float, is replaced by the virtual format
// nearest to it.
OSStatus formatMatch(ZrOSXDevice* device, Boolean isInput, AudioStreamBasicDescription* query) {
    zrformats::normaliseQuery(query);
    const uint32_t n = device->getStreamFormatNum(isInput, kVirtual);
    if (n == 0) return kAudioDeviceUnsupportedFormatError;
    std::vector<AudioStreamBasicDescription> list(n);
    if (device->getStreamFormats(isInput, list.data(), n, kVirtual, kNoChannelLimit) != 0)
        return kAudioDeviceUnsupportedFormatError;
    return zrformats::nearestFormat(query, list.data(), n, device->getFrequency())
               ? 0
               : kAudioDeviceUnsupportedFormatError;
}

} // namespace

bool ZrAsioDriver::isFormatProperty(AudioDevicePropertyID property) {
    for (AudioDevicePropertyID p : kOwned)
        if (p == property) return true;
    return false;
}

OSStatus ZrAsioDriver::formatPropertyInfo(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                                          AudioDevicePropertyID property, UInt32* outSize,
                                          Boolean* outWritable) {
    UInt32 size = 4;
    bool writable = false;
    OSStatus status = 0;
    switch (property) {
    case kStreamFormat:
        size = kDescriptionBytes;
        writable = true;
        break;
    case kPhysicalFormat:
        size = kDescriptionBytes;
        writable = !device->isSorvikFarlaneDevice();
        break;
    case kStreamFormats:
        size = kDescriptionBytes * device->getStreamFormatNum(isInput, kVirtual);
        break;
    case kPhysicalFormats:
        size = kDescriptionBytes * device->getStreamFormatNum(isInput, kPhysical);
        break;
    case kAvailableFormats:
        size = kRangedBytes * device->getStreamFormatNum(isInput, kVirtual);
        break;
    case kAvailablePhysicalFormats:
        size = kRangedBytes * device->getStreamFormatNum(isInput, kPhysical);
        break;
    case kFormatSupported:
    case kFormatMatch:
        size = kDescriptionBytes;
        break;
    case kChannelLayout: {
        uint32_t channels = 0;
        if (layoutChannels(device, isInput, &channels)) {
            size = layoutBytes(channels);
        } else {
            size = 0;
            status = kAudioHardwareUnknownPropertyError;
        }
        break;
    }
    case kClockSources:
        size = 4 * zrformats::clockSourceCount(isTrunk2(device));
        break;
    case kClockSourceName:
    case kClockSourceNameCF:
    case kDataSourceNameCF:
    case kDataSourceName:
        size = kTranslationBytes;
        break;
    case kDataSources:
        size = outputOnly(device, isInput) ? 0 : 4 * device->getNumDataSources(isInput);
        writable = size != 0;
        break;
    case kDataSource:
        if ((channel == 0 &&
             !showsMasterDataSource(mManager ? mManager->clientAppType() : kClientOther)) ||
            outputOnly(device, isInput)) {
            size = 0;
            status = kAudioHardwareUnknownPropertyError;
        } else {
            writable = true;
        }
        break;
    default:
        size = 0;
        status = kAudioHardwareUnknownPropertyError;
        break;
    }
    if (outSize) *outSize = size;
    if (outWritable) *outWritable = writable;
    return status;
}

OSStatus ZrAsioDriver::formatGetProperty(ZrOSXDevice* device, UInt32, Boolean isInput,
                                         AudioDevicePropertyID property, UInt32* ioSize,
                                         void* outData) {
    switch (property) {
    case kStreamFormat: {
        if (!ioSize || *ioSize != kDescriptionBytes) return kAudioHardwareUnknownPropertyError;
        if (!outData) return kAudioHardwareBadPropertySizeError;
        return device->getStreamFormat(isInput, static_cast<AudioStreamBasicDescription*>(outData),
                                       kVirtual, kNoChannelLimit);
    }
    case kPhysicalFormat: {
        if (!ioSize || !outData || *ioSize != kDescriptionBytes)
            return kAudioHardwareUnknownPropertyError;
        auto* d = static_cast<AudioStreamBasicDescription*>(outData);
        OSStatus status = device->getStreamFormat(isInput, d, kPhysical, kNoChannelLimit);
        if (outputOnly(device, isInput)) status = device->getStreamFormat(isInput, d, kPhysical, 0);
        return status;
    }
    case kStreamFormats:
    case kPhysicalFormats: {
        if (!ioSize || !outData) return kAudioHardwareBadPropertySizeError;
        const bool physical = property == kPhysicalFormats;
        auto* list = static_cast<AudioStreamBasicDescription*>(outData);
        const uint32_t count = *ioSize / kDescriptionBytes;
        OSStatus status = device->getStreamFormats(isInput, list, count, physical, kNoChannelLimit);
        if (physical && outputOnly(device, isInput))
            status = device->getStreamFormats(isInput, list, count, physical, 0);
        return status;
    }
    case kAvailableFormats:
    case kAvailablePhysicalFormats: {
        if (!ioSize || !outData) return kAudioHardwareBadPropertySizeError;
        return device->getAvailableFormats(
            isInput, static_cast<AudioStreamRangedDescription*>(outData), *ioSize / kRangedBytes,
            property == kAvailablePhysicalFormats, kNoChannelLimit);
    }
    case kFormatSupported: {
        if (!outData) return kAudioDeviceUnsupportedFormatError;
        if (!ioSize || *ioSize < kDescriptionBytes) return kAudioHardwareBadPropertySizeError;
        AudioStreamBasicDescription query;
        std::memcpy(&query, outData, sizeof query);
        return formatSupported(device, isInput, query);
    }
    case kFormatMatch: {
        if (!outData) return kAudioDeviceUnsupportedFormatError;
        if (!ioSize || *ioSize < kDescriptionBytes) return kAudioHardwareBadPropertySizeError;
        AudioStreamBasicDescription query;
        std::memcpy(&query, outData, sizeof query);
        if (!acceptableRate(query.mSampleRate)) return kAudioDeviceUnsupportedFormatError;
        const OSStatus status = formatMatch(device, isInput, &query);
        std::memcpy(outData, &query, sizeof query);
        return status;
    }
    case kChannelLayout: {
        uint32_t channels = 0;
        if (!layoutChannels(device, isInput, &channels)) return kAudioHardwareUnknownPropertyError;
        if (!ioSize || !outData || *ioSize < layoutBytes(channels))
            return kAudioHardwareBadPropertySizeError;
        auto* bytes = static_cast<uint8_t*>(outData);
        const UInt32 head[3] = {0, 0, channels};
        std::memcpy(bytes, head, sizeof head);
        for (uint32_t i = 0; i < channels; ++i) {
            AudioChannelDescription c{};
            c.mChannelLabel = i + 1;
            c.mChannelFlags = kChannelDescriptionFlags;
            std::memcpy(bytes + kLayoutHeadBytes + i * kChannelDescriptionBytes, &c, sizeof c);
        }
        return 0;
    }
    case kClockSources:
        return zrformats::fillClockSourceList(isTrunk2(device), ioSize, outData);
    case kClockSourceName:
    case kClockSourceNameCF: {
        if (!ioSize || !outData || *ioSize < kTranslationBytes)
            return kAudioHardwareBadPropertySizeError;
        AudioValueTranslation t;
        std::memcpy(&t, outData, sizeof t);
        if (!t.mInputData || t.mInputDataSize < 4) return kAudioHardwareBadPropertySizeError;
        UInt32 id;
        std::memcpy(&id, t.mInputData, sizeof id);
        const char* name = zrformats::clockSourceName(isTrunk2(device), id);
        if (property == kClockSourceName) {
            if (!t.mOutputData || t.mOutputDataSize == 0) return kAudioHardwareUnknownPropertyError;
            auto* out = static_cast<char*>(t.mOutputData);
            if (!name) {
                out[0] = '\0';
                return kAudioHardwareUnknownPropertyError;
            }
            std::strncpy(out, name, t.mOutputDataSize);
            out[t.mOutputDataSize - 1] = '\0';
            return 0;
        }
        if (!t.mOutputData || t.mOutputDataSize < sizeof(CFStringRef))
            return kAudioHardwareBadPropertySizeError;
        // An unknown source hands out no string: the caller is told 'who?'.
        if (!name) return kAudioHardwareUnknownPropertyError;
        CFStringRef string = CFStringCreateWithCString(nullptr, name, kCFStringEncodingASCII);
        std::memcpy(t.mOutputData, &string, sizeof string);
        return 0;
    }
    case kDataSources: {
        const uint32_t n = outputOnly(device, isInput) ? 0 : device->getNumDataSources(isInput);
        if (!ioSize || !outData || *ioSize != 4 * n) return kAudioHardwareUnknownPropertyError;
        auto* bytes = static_cast<uint8_t*>(outData);
        for (uint32_t i = 0; i < n; ++i) {
            const UInt32 id = i + 1 + (isInput ? kInputSourceOffset : 0);
            std::memcpy(bytes + 4 * i, &id, 4);
        }
        return 0;
    }
    case kDataSource: {
        if (!ioSize || !outData || *ioSize < 4) return kAudioHardwareBadPropertySizeError;
        const UInt32 id = device->getDataSourceID(isInput) + (isInput ? kInputSourceOffset : 0);
        std::memcpy(outData, &id, sizeof id);
        return 0;
    }
    case kDataSourceNameCF:
    case kDataSourceName: {
        if (!outData) return kAudioHardwareUnknownPropertyError;
        if (!ioSize || *ioSize < kTranslationBytes) return kAudioHardwareBadPropertySizeError;
        AudioValueTranslation t;
        std::memcpy(&t, outData, sizeof t);
        if (!t.mInputData) return kAudioHardwareUnknownPropertyError;
        if (t.mInputDataSize < 4) return kAudioHardwareBadPropertySizeError;
        UInt32 id;
        std::memcpy(&id, t.mInputData, sizeof id);
        if (id > kInputSourceOffset) id -= kInputSourceOffset;
        const bool cf = property == kDataSourceNameCF;
        if (cf && t.mOutputData && t.mOutputDataSize < sizeof(CFStringRef))
            return kAudioHardwareBadPropertySizeError;
        CFStringRef name = dataSourceName(device, isInput, id);
        const std::string text = cString(name);
        if (t.mOutputData) {
            if (cf) {
                std::memcpy(t.mOutputData, &name, sizeof name);
                name = nullptr; // handed out
            } else {
                copyStringToTarget(text.c_str(), static_cast<char*>(t.mOutputData),
                                   t.mOutputDataSize);
            }
        } else {
            t.mOutputDataSize = cf ? UInt32(sizeof(CFStringRef)) : UInt32(text.size() + 1);
        }
        if (name) CFRelease(name);
        std::memcpy(outData, &t, sizeof t);
        return 0;
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus ZrAsioDriver::formatSetProperty(ZrOSXDevice* device, UInt32, Boolean isInput,
                                         AudioDevicePropertyID property, UInt32 size,
                                         const void* data) {
    switch (property) {
    case kStreamFormat:
    case kPhysicalFormat: {
        if (size != kDescriptionBytes || !data) return kAudioHardwareUnknownPropertyError;
        AudioStreamBasicDescription copy;
        std::memcpy(&copy, data, sizeof copy);
        if (!acceptableRate(copy.mSampleRate)) return kAudioDeviceUnsupportedFormatError;
        if (property == kStreamFormat) {
            device->preprocessSetStreamFormat(&copy, isInput, kVirtual);
            return device->setStreamFormat(isInput, &copy, kVirtual);
        }
        device->preprocessSetStreamFormat(&copy, isInput, kPhysical);
        device->preprocessSetStreamFormat(&copy, isInput, kVirtual);
        return device->setStreamFormat(isInput, &copy, kPhysical);
    }
    case kDataSource: {
        if (size != 4 || !data) return kAudioHardwareUnknownPropertyError;
        UInt32 id;
        std::memcpy(&id, data, sizeof id);
        if (isInput) id -= kInputSourceOffset;
        return device->setDataSource(isInput, id);
    }
    default:
        return kAudioHardwareUnknownPropertyError;
    }
}
