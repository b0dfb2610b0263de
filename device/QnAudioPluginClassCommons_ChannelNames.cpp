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

namespace {

// One layout change of every frame, two neighbouring channels at a time
// (one 64-bit store per frame and pair): channel c takes the frame's channel
// source[c]; a source past the usage lists, or a channel past the listed
// ones, is silent. In place: packing only moves channels down, so it runs
// from the first pair up; unpacking only moves them up, so it runs from the
// last pair down. A pair reads both its sources before it stores. With the
// channel count known at compile time the stride is a constant; the audio
// thread calls this every cycle.
inline int64_t sampleOrSilence(const int32_t* frame, uint32_t from) {
    return from < kUsageEntries ? int64_t(uint32_t(frame[from])) : 0;
}

// Channel c is the low half of the pair's store.
static_assert(std::endian::native == std::endian::little);

template <uint32_t N, bool Copy0, bool Copy1>
void movePairAs(int32_t* __restrict samples, uint32_t stride, uint32_t frames, uint32_t c,
                uint32_t from0, uint32_t from1) {
    if (N) stride = N;
    for (uint32_t f = 0; f < frames; ++f, samples += stride) {
        const uint64_t low = Copy0 ? uint32_t(samples[from0]) : 0;
        const uint64_t high = Copy1 ? uint32_t(samples[from1]) : 0;
        const uint64_t pair = low | high << 32;
        std::memcpy(samples + c, &pair, sizeof pair);
    }
}

template <uint32_t N>
void movePair(int32_t* samples, uint32_t stride, uint32_t frames, uint32_t c, uint32_t from0,
              uint32_t from1) {
    const bool copy0 = from0 < kUsageEntries, copy1 = from1 < kUsageEntries;
    if (copy0 && copy1) return movePairAs<N, true, true>(samples, stride, frames, c, from0, from1);
    if (copy0) return movePairAs<N, true, false>(samples, stride, frames, c, from0, from1);
    if (copy1) return movePairAs<N, false, true>(samples, stride, frames, c, from0, from1);
    movePairAs<N, false, false>(samples, stride, frames, c, from0, from1);
}

template <uint32_t N>
void moveSingle(int32_t* samples, uint32_t stride, uint32_t frames, uint32_t c, uint32_t from) {
    if (N) stride = N;
    for (uint32_t f = 0; f < frames; ++f, samples += stride)
        samples[c] = int32_t(sampleOrSilence(samples, from));
}

template <uint32_t N>
void moveChannels(int32_t* samples, uint32_t channels, uint32_t frames, const uint8_t* source,
                  uint32_t listed, bool upward) {
    auto from = [&](uint32_t c) { return c < listed ? uint32_t(source[c]) : kUsageEntries; };
    const uint32_t pairs = channels / 2;
    const bool odd = channels & 1;
    if (!upward && odd) moveSingle<N>(samples, channels, frames, channels - 1, from(channels - 1));
    for (uint32_t i = 0; i < pairs; ++i) {
        const uint32_t c = 2 * (upward ? i : pairs - 1 - i);
        const uint32_t from0 = from(c), from1 = from(c + 1);
        if (from0 != c || from1 != c + 1) movePair<N>(samples, channels, frames, c, from0, from1);
    }
    if (upward && odd) moveSingle<N>(samples, channels, frames, channels - 1, from(channels - 1));
}

using MoveFn = void (*)(int32_t*, uint32_t, uint32_t, const uint8_t*, uint32_t, bool);

template <size_t... N> constexpr auto makeMoves(std::index_sequence<N...>) {
    return std::array<MoveFn, sizeof...(N)>{&moveChannels<uint32_t(N)>...};
}

// Fixed-stride kernels for 1..16 channels; index 0 takes any stride.
constexpr auto kMoves = makeMoves(std::make_index_sequence<kUsageEntries + 1>());

void moveAll(int32_t* samples, uint32_t channels, uint32_t frames, const uint8_t* source,
             uint32_t listed, bool upward) {
    if (channels == 0 || frames == 0) return;
    kMoves[channels <= kUsageEntries ? channels : 0](samples, channels, frames, source, listed,
                                                     upward);
}

} // namespace

void QnAudioPluginClassCommons::packSorvikOutput(void* samples, uint32_t channels, uint32_t frames,
                                                 const bool usage[16], uint32_t sampleBytes) {
    uint32_t used[16];
    const uint32_t count = usedChannels(usage, channels, used);
    if (sampleBytes == 4) {
        // The k-th packed channel is the k-th channel in use; the rest silent.
        uint8_t source[kUsageEntries];
        for (uint32_t k = 0; k < count; ++k)
            source[k] = uint8_t(used[k]);
        moveAll(static_cast<int32_t*>(samples), channels, frames, source, count, true);
        return;
    }
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
    // Channel c in use takes the next packed sample; a channel not in use is silent.
    uint8_t source[kUsageEntries];
    const uint32_t listed = channels < kUsageEntries ? channels : kUsageEntries;
    uint8_t k = 0;
    for (uint32_t c = 0; c < listed; ++c)
        source[c] = usage[c] ? k++ : uint8_t(0xFF);
    moveAll(samples, channels, frames, source, listed, false);
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
