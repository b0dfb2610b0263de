// A device description from another process, with its features record and
// channel settings, through the shared device logic with no kernel
// connection: the scan, the format lists and counts, the capability record,
// the rate proposal and the configuration search. Every list is given
// exactly the entries its count asks for, so a write past it is reported.
//
// Input: byte 0 selects the link speed (bit 0) and the client type (bit 1:
// a current-rate-only client); bytes 1..24 are the kernel's channel
// settings; the rest is the description (shorter inputs are zero-filled).
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
    CFDictionaryRef hostCopyServiceProperties() override { return nullptr; }
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
};

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
    if (size < 1 + sizeof(QnChannelSettings) ||
        size > 1 + sizeof(QnChannelSettings) + sizeof(APIDeviceInfo))
        return 0;
    NoKernelHost host;
    std::memset(host.sm.get(), 0, sizeof(DriverSM));
    host.sm->mHighSpeed = data[0] & 1;
    host.appType = (data[0] & 2) ? 4 : 0;
    std::memcpy(&host.sm->mChannelSettings, data + 1, sizeof(QnChannelSettings));
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof(APIDeviceInfo));
    std::memcpy(info.get(), data + 1 + sizeof(QnChannelSettings),
                size - 1 - sizeof(QnChannelSettings));

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
    return 0;
}
