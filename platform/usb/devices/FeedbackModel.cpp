#include "platform/usb/devices/FeedbackModel.h"

#include "platform/usb/devices/BitSliceCodec.h"
#include "platform/usb/devices/RequestTypes.h"
#include "platform/usb/devices/StreamingDescriptors.h"

#include <algorithm>

namespace hx::usb::devices {

using namespace requests;

namespace {

constexpr std::initializer_list<uint32_t> kRates = {44100, 48000, 88200, 96000};

std::vector<uint8_t> buildConfiguration(const FeedbackLayout& l) {
    desc::Bytes body;
    desc::interface(body, 0, 0, 0, 1, 2);
    desc::interface(body, 0, 1, 1, 1, 2);
    desc::format(body, 1, (uint8_t)l.outputChannels, 3, 24, kRates);
    // 13 frames a microframe at 96 kHz, with room to spare.
    desc::endpoint(body, FeedbackModel::kOut, 0x09, (uint16_t)(16 * 3 * l.outputChannels), 1, true);
    desc::audioEndpoint(body);
    desc::interface(body, 1, 0, 0, 1, 2);
    desc::interface(body, 1, 1, 2, 1, 2);
    desc::format(body, 2, (uint8_t)l.inputChannels, 4, 24, kRates);
    desc::endpoint(body, FeedbackModel::kBulkIn, 0x02, 512, 0);
    desc::endpoint(body, FeedbackModel::kFeedback, 0x11, 32, l.feedbackInterval, true);
    return desc::configuration(2, body);
}

} // namespace

FeedbackModel::FeedbackModel(HX5100Identity identity, FeedbackLayout layout)
    : ChannelStreamModel(kUSBHostConnectionSpeedHigh, std::move(identity)), mLayout(layout),
      mConfiguration(buildConfiguration(layout)) {
    mStream.setChannels(layout.inputChannels, layout.outputChannels);
    applyChannelConfig();
}

void FeedbackModel::configureChannels(const ChannelStreamConfig& config) {
    std::lock_guard<std::mutex> g(mLock);
    mChannelConfig = config;
    applyChannelConfig();
    mStream.restart();
}

void FeedbackModel::applyChannelConfig() {
    ChannelStreamConfig c = mChannelConfig;
    if (!c.fifoStartFrames) c.fifoStartFrames = std::max<uint32_t>(mRate / 500, 1);
    mStream.configure(c);
}

std::span<const uint8_t> FeedbackModel::configurationDescriptor(uint8_t index) const {
    if (index != 0) return {};
    return mConfiguration;
}

uint32_t FeedbackModel::rate() const {
    std::lock_guard<std::mutex> g(mLock);
    return mRate;
}

FeedbackStats FeedbackModel::stats() const {
    std::lock_guard<std::mutex> g(mLock);
    return mStats;
}

void FeedbackModel::sendShortFeedback(uint32_t packets) {
    std::lock_guard<std::mutex> g(mLock);
    mShortFeedbackLeft += packets;
}

void FeedbackModel::sendFeedbackValue(uint32_t packets, uint8_t value) {
    std::lock_guard<std::mutex> g(mLock);
    mValueLeft = packets;
    mValue = value;
}

ControlResult FeedbackModel::classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                                  uint8_t* data) {
    const bool endpointRequest =
        setup.bmRequestType == kClassEndpointIn || setup.bmRequestType == kClassEndpointOut;
    if (endpointRequest && (setup.wIndex == 0 || setup.wIndex == kOut || setup.wIndex == kBulkIn)) {
        if (setup.wValue != kSamplingFrequencyControl || setup.wLength != 3)
            return ControlResult::stall();
        if (setup.bmRequestType == kClassEndpointIn && setup.bRequest == kGetCur) {
            put24(data, mRate);
            return ControlResult::ok(3);
        }
        const uint32_t rate = get24(data);
        if (setup.bRequest != kSetCur ||
            std::find(kRates.begin(), kRates.end(), rate) == kRates.end())
            return ControlResult::stall();
        if (rate != mRate) {
            mRate = rate;
            applyChannelConfig();
            mStream.restart();
        }
        return ControlResult::ok(3);
    }
    const ControlResult r = HX5100Model::classOrVendorRequest(setup, data);
    if (r.status == kIOReturnSuccess && setup.bmRequestType == kVendorOut &&
        setup.bRequest == 0x49 && setup.wIndex == 0)
        mUnitBytes = (setup.wValue & 0x20) ? 1 : 2;
    return r;
}

IsochResult FeedbackModel::streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                                     uint32_t length) {
    if (address != kOut || deepSleeping()) return {kIOReturnNotResponding, 0};
    mStream.advance(mRate, slot.unit);
    const uint32_t frameBytes = 3 * mLayout.outputChannels;
    ++mStats.outPackets;
    if (length % frameBytes) ++mStats.outBadPackets;
    const uint32_t frames = length / frameBytes;
    std::vector<uint32_t> samples((size_t)frames * mLayout.outputChannels);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = get24(data + 3 * i);
    mStream.queuePlayback(samples.data(), frames);
    return {kIOReturnSuccess, length};
}

IsochResult FeedbackModel::streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                                    uint32_t capacity) {
    if (address != kFeedback || deepSleeping()) return {kIOReturnNotResponding, 0};
    // Frames consumed in the period that ends with this packet's slot.
    uint32_t consumed = (uint32_t)mStream.framesInPeriod(mRate, slot.unit, slot.periodUnits);
    if (mValueLeft) {
        --mValueLeft;
        consumed = mValue;
    }
    const uint32_t length = mShortFeedbackLeft ? 2 : 3;
    if (mShortFeedbackLeft) --mShortFeedbackLeft;
    if (capacity < length) return {kIOReturnSuccess, 0};
    data[0] = (uint8_t)std::min<uint32_t>(consumed, 255);
    data[1] = data[2] = 0;
    ++mStats.feedbackPackets;
    return {kIOReturnSuccess, std::min(length, capacity)};
}

IsochResult FeedbackModel::bulkIn(uint8_t address, uint64_t frame, uint8_t* data,
                                  uint32_t capacity) {
    if (address != kBulkIn || deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    mStream.advance(mRate, transferUnit());
    const uint32_t frames = bitslice::framesPerBlock(mUnitBytes);
    if (mStream.captureAvailable() < frames || capacity < bitslice::kBlockBytes)
        return {kIOReturnNotReady, 0};
    std::vector<uint32_t> samples((size_t)frames * mLayout.inputChannels);
    mStream.takeCapture(frames, samples.data());
    bitslice::encodeInputBlock(samples.data(), mLayout.inputChannels, mUnitBytes, data);
    ++mStats.inPackets;
    return {kIOReturnSuccess, mKnobs.packetLimit(address, bitslice::kBlockBytes)};
}

void FeedbackModel::onBusReset() {
    HX5100Model::onBusReset();
    mStream.restart();
}

void FeedbackModel::onSetConfiguration(uint8_t value) {
    HX5100Model::onSetConfiguration(value);
    mStream.restart();
}

} // namespace hx::usb::devices
