// A device description from another process, with its features record and
// channel settings, through the shared device logic with no kernel
// connection: the scan, the format lists and counts, the capability record,
// the rate proposal and the configuration search. Every list is given
// exactly the entries its count asks for, so a write past it is reported.
//
// Input: byte 0 selects the link speed (bit 0) and the client type (bit 1:
// a current-rate-only client); bytes 1..24 are the kernel's channel
// settings; then the description (shorter inputs are zero-filled). Bytes
// past the description fill the driver area's control-block pair, and what
// follows them builds a "QnSpecific" dictionary with values of any type;
// the controls, channel names, descriptor patch and state changes then run
// on them.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "device/QnAudioPluginClassCommons.h"

namespace {

struct NoKernelHost : QnAudioPluginHost {
    DriverSM* hostDriverSM() override { return sm.get(); }
    uint64_t hostClientIdentity() override { return 0; }
    bool hostRequest(uint32_t, const void*, uint32_t) override { return false; }
    int hostClientAppType() override { return appType; }
    CFDictionaryRef hostCopyServiceProperties() override {
        if (properties) CFRetain(properties);
        return properties;
    }
    QnAudioPluginSettingsStore* hostSettingsStore() override { return nullptr; }
    void hostFormatChanged() override {}
    void hostReportFormatChange(const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&) override {}
    void hostFrameSizePropertyChanged(uint32_t) override {}
    void hostUpdateLatencies() override {}
    bool hostCreateIOBuffers(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
        return true;
    }
    bool hostMapRings() override { return false; }
    void hostUnmapRings() override {}
    void hostCheckRunningStream() override {}

    std::unique_ptr<DriverSM> sm = std::make_unique<DriverSM>();
    int appType = 0;
    CFDictionaryRef properties = nullptr;
};

// One value of any property-list type from the bytes at `at`.
CFTypeRef makeValue(const uint8_t* data, size_t size, size_t& at, int depth) {
    if (at >= size) return nullptr;
    const uint8_t kind = data[at++] % 5;
    size_t length = 0;
    if (at < size) {
        const size_t wanted = data[at++] % 24;
        length = std::min(wanted, size - at);
    }
    const uint8_t* bytes = data + at;
    at += length;
    switch (kind) {
    case 0:
        return CFStringCreateWithBytes(nullptr, bytes, CFIndex(length), kCFStringEncodingASCII,
                                       false);
    case 1: {
        int32_t n = 0;
        std::memcpy(&n, bytes, std::min<size_t>(length, sizeof n));
        return CFNumberCreate(nullptr, kCFNumberSInt32Type, &n);
    }
    case 2:
        return CFDataCreate(nullptr, bytes, CFIndex(length));
    case 3: {
        CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        for (size_t k = 0; depth < 2 && k < length && at < size; ++k)
            if (CFTypeRef v = makeValue(data, size, at, depth + 1)) {
                CFArrayAppendValue(array, v);
                CFRelease(v);
            }
        return array;
    }
    default:
        return CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                  &kCFTypeDictionaryValueCallBacks);
    }
}

CFDictionaryRef makeProperties(const uint8_t* data, size_t size) {
    static const CFStringRef kKeys[] = {CFSTR("kInChannelNames"), CFSTR("kOutChannelNames"),
                                        CFSTR("kConfigurationData"), CFSTR("kLowBuffFWVersion")};
    CFMutableDictionaryRef specific = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    size_t at = 0;
    for (CFStringRef key : kKeys)
        if (CFTypeRef v = makeValue(data, size, at, 0)) {
            CFDictionarySetValue(specific, key, v);
            CFRelease(v);
        }
    CFMutableDictionaryRef properties = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(properties, CFSTR("QnSpecific"), specific);
    CFRelease(specific);
    return properties;
}

void runControls(QnAudioPluginClassCommons& c) {
    for (bool isInput : {false, true}) {
        c.getNumDataSources(isInput);
        c.getDataSourceID(isInput);
        for (uint32_t id = 0; id <= 9; ++id) {
            CFStringRef name = nullptr;
            c.getDataSourcesName(isInput, id, &name);
            if (name) CFRelease(name);
        }
        c.setDataSource(isInput, 2);
        for (uint32_t e = 0; e <= 9; ++e) {
            float v = 0;
            c.getMute(isInput, e);
            c.setMute(isInput, e, 1);
            c.getVolumeDB(isInput, e, &v);
            c.getVolumeScalar(isInput, e, &v);
            c.setVolumeScalar(isInput, e, 0.37f);
            uint32_t monitor = 0;
            c.getMonitor(isInput, e, &monitor);
            c.setMonitor(isInput, e, true);
        }
    }
    for (uint32_t e = 0; e <= 40; ++e)
        for (bool isInput : {false, true})
            if (CFStringRef name = c.getChannelName(isInput, e)) CFRelease(name);
}

void runLists(QnAudioPluginClassCommons& c, bool isInput, bool physical) {
    uint32_t n = c.getStreamFormatNum(isInput, physical);
    if (n > 100000) return;
    std::vector<AudioStreamBasicDescription> list(n);
    c.getStreamFormats(isInput, list.data(), n, physical, 64);
    std::vector<AudioStreamRangedDescription> ranged(n);
    c.getAvailableFormats(isInput, ranged.data(), n, physical, 64);
    AudioStreamBasicDescription current{};
    c.getStreamFormat(isInput, &current, physical, 64);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kHead = 1 + sizeof(QnChannelSettings);
    constexpr size_t kControls = sizeof(XsDeviceControls);
    if (size < kHead || size > kHead + sizeof(APIDeviceInfo) + kControls + 4096) return 0;
    const size_t described = std::min(size - kHead, sizeof(APIDeviceInfo));
    NoKernelHost host;
    std::memset(host.sm.get(), 0, sizeof(DriverSM));
    host.sm->mHighSpeed = data[0] & 1;
    host.appType = (data[0] & 2) ? 4 : 0;
    std::memcpy(&host.sm->mChannelSettings, data + 1, sizeof(QnChannelSettings));
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof(APIDeviceInfo));
    std::memcpy(info.get(), data + kHead, described);
    const uint8_t* tail = data + kHead + described;
    const size_t tailSize = size - kHead - described;
    if (tailSize > 0) std::memcpy(&host.sm->mControls, tail, std::min(tailSize, kControls));
    if (tailSize > kControls)
        host.properties = makeProperties(tail + kControls, tailSize - kControls);

    QnAudioPluginClassCommons c(host, *info);
    c.createIOBuffers();
    for (bool isInput : {false, true})
        for (bool physical : {false, true})
            runLists(c, isInput, physical);
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    c.getCaps(caps.get());
    std::vector<AudioValueRange> rates(c.getSampleRates(nullptr, 0));
    c.getSampleRates(rates.data(), uint32_t(rates.size()));
    const QnChannelSettings kernel = host.sm->mChannelSettings;
    for (uint32_t rate : {kernel.Frequency, 44100u, 96000u}) {
        QnChannelSettings proposal{};
        bool changed = false;
        c.setSampleRate(rate & 1, rate, &changed, &proposal);
    }
    QnChannelSettings s = kernel;
    c.usbFindConfiguration(true, nullptr, nullptr, &s);
    s = kernel;
    c.usbFindConfiguration(false, nullptr, nullptr, &s);

    if (tailSize > 0) {
        c.setupSpecificFeatures();
        runControls(c);
        c.patchDescriptor();
        // State changes with no connection (the waits of 2 and 13 left out).
        for (uint32_t code : {3u, 9u, 10u, 11u, 34u, 35u, 49u, 50u, 51u, 0x20000u}) {
            const QN_StateChange change = makeStateChange(code, tail[0], 0, uint32_t(tailSize));
            c.KernelDriverNotificationHandler(change);
        }
    }
    if (host.properties) CFRelease(host.properties);
    return 0;
}
