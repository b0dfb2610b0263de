#include "platform/usb/devices/InterruptPcmModel.h"

#include "platform/usb/devices/RequestTypes.h"
#include "platform/usb/devices/StreamingDescriptors.h"

#include <algorithm>

namespace hx::usb::devices {

using namespace requests;

namespace {

constexpr std::initializer_list<uint32_t> kRates = {44100, 48000, 88200, 96000};

std::vector<uint8_t> buildConfiguration(const InterruptPcmLayout& l) {
    desc::Bytes body;
    desc::interface(body, 0, 0, 0, 255, 1);
    for (uint8_t intf : {1, 2}) {
        const bool in = intf == 2;
        desc::interface(body, intf, 0, 0, 255, 0);
        for (size_t k = 0; k < l.channelCounts.size(); ++k) {
            const uint32_t ch = l.channelCounts[k];
            desc::interface(body, intf, (uint8_t)(k + 1), 1, 255, 0);
            desc::format(body, intf, (uint8_t)ch, 4, 24, kRates);
            desc::endpoint(body, in ? InterruptPcmModel::kIn : InterruptPcmModel::kOut, 0x03,
                           (uint16_t)(l.framesPerPacket * ch * 4), 1);
        }
    }
    desc::interface(body, 3, 0, 0, 1, 3);
    return desc::configuration(4, body);
}

} // namespace

InterruptPcmModel::InterruptPcmModel(HX5100Identity identity, InterruptPcmLayout layout)
    : ChannelStreamModel(kUSBHostConnectionSpeedHigh, std::move(identity)),
      mLayout(std::move(layout)), mConfiguration(buildConfiguration(mLayout)) {
    ChannelStreamConfig config;
    config.fifoCapacityFrames = fifoFramesAt(mRate);
    mStream.configure(config);
}

void InterruptPcmModel::configureChannels(const ChannelStreamConfig& config) {
    std::lock_guard<std::mutex> g(mLock);
    mStream.configure(config);
    mAskedFifoFrames = config.fifoCapacityFrames;
    capFifo();
    mStream.restart();
}

void InterruptPcmModel::capFifo() {
    ChannelStreamConfig c = mStream.config();
    c.fifoCapacityFrames = std::min(mAskedFifoFrames, fifoFramesAt(mRate));
    mStream.configure(c);
}

std::span<const uint8_t> InterruptPcmModel::configurationDescriptor(uint8_t index) const {
    if (index != 0) return {};
    return mConfiguration;
}

uint32_t InterruptPcmModel::rate() const {
    std::lock_guard<std::mutex> g(mLock);
    return mRate;
}

InterruptPcmStats InterruptPcmModel::stats() const {
    std::lock_guard<std::mutex> g(mLock);
    return mStats;
}

ControlResult InterruptPcmModel::classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                                      uint8_t* data) {
    const bool endpointRequest =
        setup.bmRequestType == kClassEndpointIn || setup.bmRequestType == kClassEndpointOut;
    if (!endpointRequest || (setup.wIndex != 0 && setup.wIndex != kIn && setup.wIndex != kOut))
        return HX5100Model::classOrVendorRequest(setup, data);
    if (setup.wValue != kSamplingFrequencyControl || setup.wLength != 3)
        return ControlResult::stall();
    if (setup.bmRequestType == kClassEndpointIn && setup.bRequest == kGetCur) {
        put24(data, mRate);
        return ControlResult::ok(3);
    }
    const uint32_t rate = get24(data);
    if (setup.bRequest != kSetCur || std::find(kRates.begin(), kRates.end(), rate) == kRates.end())
        return ControlResult::stall();
    if (rate != mRate) mStream.restart();
    mRate = rate;
    capFifo();
    return ControlResult::ok(3);
}

void InterruptPcmModel::followAlternates() {
    auto count = [&](uint8_t intf) -> uint32_t {
        const std::optional<uint8_t> alt = alternateLocked(intf);
        if (!alt || *alt == 0 || *alt > mLayout.channelCounts.size()) return 0;
        return mLayout.channelCounts[*alt - 1];
    };
    const uint32_t ins = count(2), outs = count(1);
    if (ins == mIns && outs == mOuts) return;
    mIns = ins;
    mOuts = outs;
    mStream.setChannels(ins ? ins : 2, outs ? outs : 2);
}

IsochResult InterruptPcmModel::bulkIn(uint8_t address, uint64_t frame, uint8_t* data,
                                      uint32_t capacity) {
    if (address != kIn || deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    followAlternates();
    if (!mIns) return {kIOReturnNotResponding, 0};
    mStream.advance(mRate, transferUnit());
    const uint32_t frames = std::min(mLayout.framesPerPacket, capacity / (mIns * 4));
    if (frames == 0 || mStream.captureAvailable() < frames) return {kIOReturnNotReady, 0};
    std::vector<uint32_t> samples((size_t)frames * mIns);
    mStream.takeCapture(frames, samples.data());
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint32_t w = samples[i] << 8;
        data[4 * i] = (uint8_t)w;
        data[4 * i + 1] = (uint8_t)(w >> 8);
        data[4 * i + 2] = (uint8_t)(w >> 16);
        data[4 * i + 3] = (uint8_t)(w >> 24);
    }
    ++mStats.inPackets;
    return {kIOReturnSuccess, mKnobs.packetLimit(address, frames * mIns * 4)};
}

IsochResult InterruptPcmModel::bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                       uint32_t length) {
    if (address != kOut || deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    followAlternates();
    if (!mOuts) return {kIOReturnNotResponding, 0};
    mStream.advance(mRate, transferUnit());
    const uint32_t frameBytes = mOuts * 4;
    const uint32_t frames = length / frameBytes;
    if (mStream.fifoRoom() < frames) return {kIOReturnNotReady, 0};
    ++mStats.outPackets;
    if (length % frameBytes) ++mStats.outBadPackets;
    std::vector<uint32_t> samples((size_t)frames * mOuts);
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint32_t w = data[4 * i] | (uint32_t)data[4 * i + 1] << 8 |
                           (uint32_t)data[4 * i + 2] << 16 | (uint32_t)data[4 * i + 3] << 24;
        samples[i] = w >> 8;
    }
    mStream.queuePlayback(samples.data(), frames);
    return {kIOReturnSuccess, length};
}

void InterruptPcmModel::onBusReset() {
    HX5100Model::onBusReset();
    mStream.restart();
}

void InterruptPcmModel::onSetConfiguration(uint8_t value) {
    HX5100Model::onSetConfiguration(value);
    mStream.restart();
}

} // namespace hx::usb::devices
