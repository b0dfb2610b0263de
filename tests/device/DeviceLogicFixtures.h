// Device descriptions and a small host for the shared device logic: the
// driver area lives in memory and request 6 is answered as the kernel
// would, by taking the settings into the area.
#pragma once

#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "abi/ProductIdentities.h"
#include "device/QnAudioPluginClassCommons.h"

namespace devicelogic {

// One alternate setting on interface number `iface`, alternate `alt`.
inline void addAlternate(APIDeviceInfo& info, unsigned config, uint8_t iface, uint8_t alt,
                         bool isOutput, uint8_t channels, uint8_t bits,
                         std::initializer_list<uint32_t> rates) {
    APIConfigInfo& c = info.mConfigurations[config];
    if (info.mNumConfigurations <= config) info.mNumConfigurations = uint8_t(config + 1);
    APIInterfaceInfo* target = nullptr;
    for (unsigned i = 0; i < c.mNumInterfaces; ++i)
        if (c.mInterfaces[i].mInterfaceNumber == iface) target = &c.mInterfaces[i];
    if (!target) {
        target = &c.mInterfaces[c.mNumInterfaces++];
        target->mInterfaceNumber = iface;
    }
    APIInterfaceAlternateInfo& a = target->mAlternates[target->mNumAlternates++];
    a.mAlternateSetting = alt;
    a.mNumEndpoints = 1;
    a.mEndpoints[0].wMaxPacketSize = 512;
    a.mEndpoints[0].bEndpointAddress = isOutput ? 0x01 : 0x82;
    a.mStreaming.mBitResolution = bits;
    a.mStreaming.mChannels = channels;
    for (uint32_t r : rates)
        a.mStreaming.mRates[a.mStreaming.mNumRates++] = r;
}

// The HX-5100: 24-bit stereo both ways, output on interface 1 and input on
// 2 (alternate 2); 44100 and 48000 at full speed, up to 192000 at high.
inline std::unique_ptr<APIDeviceInfo> hx5100Info(bool highSpeed) {
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    info->mVendor = kKorvexVendorID;
    info->mProduct = kKorvexHX5100ProductID;
    std::initializer_list<uint32_t> full = {44100, 48000};
    std::initializer_list<uint32_t> high = {44100, 48000, 88200, 96000, 176400, 192000};
    for (uint8_t iface : {1, 2}) {
        addAlternate(*info, 0, iface, 1, iface == 1, 2, 16, {}); // zero-bandwidth placeholder
        addAlternate(*info, 0, iface, 2, iface == 1, 2, 24, highSpeed ? high : full);
    }
    return info;
}

// A generic (isochronous, endpoint-directed) product of another maker.
inline std::unique_ptr<APIDeviceInfo> genericInfo(uint16_t vendor, uint16_t product) {
    auto info = std::make_unique<APIDeviceInfo>();
    std::memset(info.get(), 0, sizeof *info);
    info->mVendor = vendor;
    info->mProduct = product;
    return info;
}

struct FakeHost : QnAudioPluginHost {
    FakeHost() : sm(std::make_unique<DriverSM>()) {
        std::memset(sm.get(), 0, sizeof *sm);
        sm->mHighSpeed = 1;
        sm->mChannelSettings = {48000, 2, 24, 2, 24, 0};
    }
    DriverSM* hostDriverSM() override { return mapped ? sm.get() : nullptr; }
    uint64_t hostClientIdentity() override { return identity; }
    bool hostRequest(uint32_t req, const void* payload, uint32_t bytes) override {
        requests.push_back(req);
        if (req == 6 && bytes == sizeof(QnChannelSettings))
            std::memcpy(&sm->mChannelSettings, payload, bytes);
        return true;
    }
    int hostClientAppType() override { return appType; }
    CFDictionaryRef hostCopyServiceProperties() override {
        if (properties) CFRetain(properties);
        return properties;
    }
    QnAudioPluginSettingsStore* hostSettingsStore() override { return nullptr; }
    void hostFormatChanged() override { ++formatChanged; }
    void hostReportFormatChange(const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&) override {
        ++formatReports;
    }
    void hostFrameSizePropertyChanged(uint32_t frames) override { frameNotices.push_back(frames); }
    void hostUpdateLatencies() override { ++latencyUpdates; }
    bool hostCreateIOBuffers(uint32_t inCh, uint32_t inRep, uint32_t outCh, uint32_t outRep,
                             uint32_t frames) override {
        buffers.push_back({inCh, inRep, outCh, outRep, frames});
        return true;
    }
    bool hostMapRings() override { return ringsMap; }
    void hostUnmapRings() override { ++unmaps; }
    void hostCheckRunningStream() override {}

    std::unique_ptr<DriverSM> sm;
    bool mapped = true;
    bool ringsMap = true;
    uint64_t identity = 0x1234;
    int appType = 0;
    CFDictionaryRef properties = nullptr;
    std::vector<uint32_t> requests;
    int formatChanged = 0, formatReports = 0, latencyUpdates = 0, unmaps = 0;
    std::vector<uint32_t> frameNotices;
    std::vector<std::vector<uint32_t>> buffers;
};

} // namespace devicelogic
