// Channel names and Sorvik channel packing. Names come from the kernel
// service's "QnSpecific" properties when it publishes them, else from the
// built-in rules. First-generation Sorvik devices carry only the channels
// their channel map marks in use, packed together on the wire: the audio
// thread packs output and unpacks input around the IO procedures.
#include "device/QnAudioPluginClassCommons.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <utility>

#include "abi/DeviceFamilies.h"
#include "abi/ProductIdentities.h"
#include "device/QnAudioPluginClassCommons_Requests.h"
#include "device/SorvikPacking.h"

namespace {

constexpr uint32_t kGetSorvikChannelMap = 65;
constexpr uint32_t kGetSorvikConfigAndMap = 69;
constexpr uint32_t kUsageEntries = QN_Sorvik_ChannelMap::kUsageEntries;

struct NameTable {
    uint16_t vendor;
    uint16_t product;
    const char* const* inputs; // element n at index n - 1
    uint32_t inputCount;
    const char* const* outputs;
    uint32_t outputCount;
};

constexpr const char* kHX5100In[] = {"Analog 1", "Analog 2", "Digital 1", "Digital 2"};
constexpr const char* kHX5100Out[] = {"Computer 1", "Computer 2", "Computer 3", "Computer 4"};
constexpr const char* kSorvikIn[] = {"Main L", "Main R", "Track1",  "Track2",
                                     "Track3", "Track4", "Input L", "Input R"};
constexpr const char* kSorvikOut[] = {"Main L", "Main R", "Track1", "Track2", "Track3", "Track4"};
constexpr const char* kSorvik8In[] = {"Main L", "Main R", "BD 1",      "SD 2",       "RS/CP 3/4",
                                      "BT 5",   "LT 6",   "MT/HT 7/8", "CH/OH 9/10", "CY/CB 11/12"};
constexpr const char* kSorvik8Out[] = {"Main L", "Main R",    "Main FX L",  "Main FX R",
                                       "BD 1",   "SD 2",      "RS/CP 3/4",  "BT 5",
                                       "LT 6",   "MT/HT 7/8", "CH/OH 9/10", "CY/CB 11/12"};
constexpr const char* kMixerIn[] = {"MAS-L", "MAS-R", "AUX", "MON"};
constexpr const char* kMixerOut[] = {"USB 1", "USB 2", "USB 3", "USB 4"};

template <size_t I, size_t O>
constexpr NameTable table(uint16_t vendor, uint16_t product, const char* const (&in)[I],
                          const char* const (&out)[O]) {
    return {vendor, product, in, uint32_t(I), out, uint32_t(O)};
}

const NameTable kNameTables[] = {
    table(kKorvexVendorID, kKorvexHX5100ProductID, kHX5100In, kHX5100Out),
    table(kSorvikVendorID, 4, kSorvikIn, kSorvikOut),
    table(kSorvikVendorID, 6, kSorvikIn, kSorvikOut),
    table(kSorvikVendorID, 8, kSorvik8In, kSorvik8Out),
    table(DeviceFamilies::kFourChannelMixer[0].vendor, DeviceFamilies::kFourChannelMixer[0].product,
          kMixerIn, kMixerOut),
};

CFStringRef makeName(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingASCII);
}

// Rule 1: the published array's entry, retained; null when the properties
// give none for the element (or give something that is not a string).
CFStringRef publishedName(CFDictionaryRef properties, bool isInput, uint32_t element) {
    if (!properties) return nullptr;
    CFTypeRef specific = CFDictionaryGetValue(properties, CFSTR("QnSpecific"));
    if (!specific || CFGetTypeID(specific) != CFDictionaryGetTypeID()) return nullptr;
    CFTypeRef names = CFDictionaryGetValue(
        CFDictionaryRef(specific), isInput ? CFSTR("kInChannelNames") : CFSTR("kOutChannelNames"));
    if (!names || CFGetTypeID(names) != CFArrayGetTypeID()) return nullptr;
    if (CFIndex(element) >= CFArrayGetCount(CFArrayRef(names))) return nullptr;
    CFTypeRef entry = CFArrayGetValueAtIndex(CFArrayRef(names), CFIndex(element));
    if (!entry || CFGetTypeID(entry) != CFStringGetTypeID()) return nullptr;
    return CFStringRef(CFRetain(entry));
}

// The indices of the channels in use, in channel order.
uint32_t usedChannels(const bool usage[16], uint32_t channels, uint32_t used[16]) {
    uint32_t count = 0;
    for (uint32_t c = 0; c < channels && c < kUsageEntries; ++c)
        if (usage[c]) used[count++] = c;
    return count;
}

} // namespace

CFStringRef QnAudioPluginClassCommons::getChannelName(bool isInput, uint32_t element) {
    CFDictionaryRef properties = mHost.hostCopyServiceProperties();
    CFStringRef published = publishedName(properties, isInput, element);
    if (properties) CFRelease(properties);
    return published ? published : builtInChannelName(isInput, element);
}

CFStringRef QnAudioPluginClassCommons::builtInChannelName(bool isInput, uint32_t element) const {
    if (element == 0) return makeName(isInput ? "Master IN" : "Master OUT");
    for (const NameTable& t : kNameTables) {
        if (t.vendor != vendor() || t.product != product()) continue;
        const uint32_t count = isInput ? t.inputCount : t.outputCount;
        if (element <= count) return makeName((isInput ? t.inputs : t.outputs)[element - 1]);
    }
    char text[32];
    std::snprintf(text, sizeof text, isInput ? "IN %d" : "OUT %d", int(element));
    return makeName(text);
}

// ---- Packing

void QnAudioPluginClassCommons::packSorvikOutput(void* samples, uint32_t channels, uint32_t frames,
                                                 const bool usage[16], uint32_t sampleBytes) {
    if (sampleBytes == 4)
        return sorvikpacking::pack(static_cast<int32_t*>(samples), channels, frames, usage);
    uint32_t used[16];
    const uint32_t count = usedChannels(usage, channels, used);
    const size_t stride = size_t(channels) * sampleBytes;
    auto* frame = static_cast<uint8_t*>(samples);
    for (uint32_t f = 0; f < frames; ++f, frame += stride) {
        for (uint32_t k = 0; k < count; ++k)
            std::memmove(frame + k * sampleBytes, frame + used[k] * sampleBytes, sampleBytes);
        std::memset(frame + count * sampleBytes, 0, (channels - count) * sampleBytes);
    }
}

void QnAudioPluginClassCommons::unpackSorvikInput(int32_t* samples, uint32_t channels,
                                                  uint32_t frames, const bool usage[16]) {
    sorvikpacking::unpack(samples, channels, frames, usage);
}

// ---- Description and maps

void QnAudioPluginClassCommons::patchDescriptor() {
    if (!isSorvikFarlane1()) return;
    uint8_t in = 2, out = 2;
    if (product() == 4 || product() == 6) in = 8, out = 6;
    if (product() == 8) in = 10, out = 12;
    APIConfigInfo& config = mInfo.mConfigurations[0];
    if (config.mNumInterfaces < 2) config.mNumInterfaces = 2;
    if (mInfo.mNumConfigurations < 1) mInfo.mNumConfigurations = 1;
    for (int block = 0; block < 2; ++block) {
        APIInterfaceInfo& iface = config.mInterfaces[block];
        iface.mNumAlternates = 2;
        for (int a = 0; a < 2; ++a) {
            iface.mAlternates[a].mStreaming.mBitResolution = a == 0 ? 16 : 24;
            iface.mAlternates[a].mStreaming.setChannels(block == 0 ? in : out);
        }
    }
}

void QnAudioPluginClassCommons::storeUsage(const bool inputs[16], const bool outputs[16]) {
    uint32_t bits = 0;
    for (uint32_t k = 0; k < kUsageEntries; ++k)
        bits |= (inputs[k] ? 1u << k : 0) | (outputs[k] ? 1u << (16 + k) : 0);
    mSorvikUsage.store(bits, std::memory_order_release);
}

void QnAudioPluginClassCommons::getSorvikUsage(bool inputs[16], bool outputs[16]) const {
    const uint32_t bits = mSorvikUsage.load(std::memory_order_acquire);
    for (uint32_t k = 0; k < kUsageEntries; ++k) {
        inputs[k] = bits >> k & 1;
        outputs[k] = bits >> (16 + k) & 1;
    }
}

void QnAudioPluginClassCommons::updateSorvikChannelMap() {
    if (!isSorvikFarlane1()) return;
    Reply reply;
    if (!dispatch(kGetSorvikChannelMap, reply)) return;
    QN_Sorvik_ChannelMap map;
    std::memcpy(&map, reply.unionBytes(), sizeof map);
    bool inputs[16], outputs[16];
    map.getUsageList(inputs, outputs, vendor(), product());
    storeUsage(inputs, outputs);
}

void QnAudioPluginClassCommons::updateSorvikConfigAndMap() {
    if (!isSorvikFarlane1()) return;
    Reply reply;
    if (!dispatch(kGetSorvikConfigAndMap, reply)) return;
    std::memcpy(&mSorvikConfigAndMap, reply.unionBytes(), sizeof mSorvikConfigAndMap);
    bool inputs[16], outputs[16];
    mSorvikConfigAndMap.cMap.getUsageList(inputs, outputs, vendor(), product());
    storeUsage(inputs, outputs);
}
