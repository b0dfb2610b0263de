#include "platform/usb/devices/Farlane2Model.h"

#include "platform/usb/devices/HX5100Midi.h"
#include "platform/usb/devices/StreamingDescriptors.h"

#include <algorithm>
#include <cstring>

namespace hx::usb::devices {

namespace {

constexpr uint8_t kVendorInInterface = 0xC1;
constexpr size_t kExtraKept = 4096;

std::vector<uint8_t> buildConfiguration(uint32_t ins, uint32_t outs) {
    desc::Bytes body;
    desc::interface(body, 0, 0, 0, 255, 0);
    desc::interface(body, 1, 0, 0, 255, 0);
    desc::interface(body, 1, 1, 1, 255, 0);
    desc::endpoint(body, Farlane2Model::kIn, 0x03, (uint16_t)(32 + 28 * ins), 1);
    desc::interface(body, 2, 0, 0, 255, 0);
    desc::interface(body, 2, 1, 1, 255, 0);
    desc::endpoint(body, Farlane2Model::kOut, 0x03, (uint16_t)(32 + 28 * outs), 1);
    desc::interface(body, 3, 0, 2, 255, 0);
    desc::endpoint(body, HX5100Midi::kInEndpoint, 0x03, 64, 4);
    desc::endpoint(body, HX5100Midi::kOutEndpoint, 0x02, 512, 0);
    desc::interface(body, 4, 0, 2, 255, 0);
    desc::endpoint(body, VendorEcho::kOut, 0x02, VendorEcho::kMaxPacket, 0);
    desc::endpoint(body, VendorEcho::kIn, 0x02, VendorEcho::kMaxPacket, 0);
    return desc::configuration(5, body);
}

void putBE32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

uint32_t getBE32(const uint8_t* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

} // namespace

Farlane2Model::Farlane2Model(HX5100Identity identity, std::array<uint8_t, 8> uid, std::string name,
                             uint32_t inputChannels, uint32_t outputChannels)
    : ChannelStreamModel(kUSBHostConnectionSpeedHigh, std::move(identity), uid, std::move(name)),
      mIns(inputChannels), mOuts(outputChannels),
      mConfiguration(buildConfiguration(inputChannels, outputChannels)) {
    ChannelStreamConfig config;
    config.fifoCapacityFrames = kFifoFrames;
    mStream.configure(config);
    mStream.setChannels(mIns, mOuts);
    // Interface 3 is a plain MIDI loop on this device.
    setMidiLoop(true);
}

void Farlane2Model::configureChannels(const ChannelStreamConfig& config) {
    std::lock_guard<std::mutex> g(mLock);
    ChannelStreamConfig small = config;
    small.fifoCapacityFrames = std::min(config.fifoCapacityFrames, kFifoFrames);
    mStream.configure(small);
    mStream.restart();
}

std::span<const uint8_t> Farlane2Model::configurationDescriptor(uint8_t index) const {
    if (index != 0) return {};
    return mConfiguration;
}

Farlane2Stats Farlane2Model::stats() const {
    std::lock_guard<std::mutex> g(mLock);
    return mStats;
}

std::vector<std::array<uint8_t, 28>> Farlane2Model::extraBytes() const {
    std::lock_guard<std::mutex> g(mLock);
    return mExtra;
}

uint64_t Farlane2Model::echoBytes() const {
    std::lock_guard<std::mutex> g(mLock);
    return mEcho.bytesSent();
}

void Farlane2Model::sendSixFramePackets(uint32_t packets) {
    std::lock_guard<std::mutex> g(mLock);
    mSixFrameLeft += packets;
}

ControlResult Farlane2Model::classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                                  uint8_t* data) {
    if (setup.bmRequestType == kVendorInInterface &&
        (setup.bRequest == 17 || setup.bRequest == 18)) {
        if (setup.wValue != 0 || setup.wLength != 1 || (setup.wIndex != 1 && setup.wIndex != 2))
            return ControlResult::stall();
        data[0] = setup.bRequest == 18 ? 1 : (uint8_t)(setup.wIndex == 1 ? mIns : mOuts);
        return ControlResult::ok(1);
    }
    return SorvikModel::classOrVendorRequest(setup, data);
}

IsochResult Farlane2Model::bulkIn(uint8_t address, uint64_t frame, uint8_t* data,
                                  uint32_t capacity) {
    if (address == VendorEcho::kIn) {
        const uint32_t n = mEcho.in(data, capacity);
        return n ? IsochResult{kIOReturnSuccess, n} : IsochResult{kIOReturnNotReady, 0};
    }
    if (address != kIn) return SorvikModel::bulkIn(address, frame, data, capacity);
    if (deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    mStream.advance(kRate, transferUnit());
    if (mStream.captureAvailable() < kFramesPerPacket || capacity < inPacketBytes())
        return {kIOReturnNotReady, 0};
    std::vector<uint32_t> samples(kFramesPerPacket * mIns);
    mStream.takeCapture(kFramesPerPacket, samples.data());
    std::memset(data, 0, kHeaderBytes);
    mInCounter = (uint16_t)(mInCounter + kFramesPerPacket);
    data[0] = (uint8_t)kFramesPerPacket;
    if (mSixFrameLeft) {
        --mSixFrameLeft;
        data[0] = 6;
    }
    data[1] = 0xFF;
    data[2] = (uint8_t)(mInCounter >> 8);
    data[3] = (uint8_t)mInCounter;
    for (size_t i = 0; i < samples.size(); ++i)
        putBE32(data + kHeaderBytes + 4 * i, samples[i] << 8);
    ++mStats.inPackets;
    return {kIOReturnSuccess, mKnobs.packetLimit(address, inPacketBytes())};
}

IsochResult Farlane2Model::bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                   uint32_t length) {
    if (address == VendorEcho::kOut) {
        mEcho.out(data, length);
        return {kIOReturnSuccess, length};
    }
    if (address != kOut) return SorvikModel::bulkOut(address, frame, data, length);
    if (deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    mStream.advance(kRate, transferUnit());
    if (mStream.fifoRoom() < kFramesPerPacket) return {kIOReturnNotReady, 0};
    checkHeader(data, length);
    if (length < outPacketBytes()) return {kIOReturnSuccess, length};
    std::vector<uint32_t> samples(kFramesPerPacket * mOuts);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = getBE32(data + kHeaderBytes + 4 * i) >> 8;
    mStream.queuePlayback(samples.data(), kFramesPerPacket);
    return {kIOReturnSuccess, length};
}

void Farlane2Model::checkHeader(const uint8_t* data, uint32_t length) {
    Farlane2HeaderStats& h = mStats.out;
    ++h.packets;
    if (length != outPacketBytes()) ++h.badSize;
    if (length < kHeaderBytes) return;
    if (data[0] != kFramesPerPacket) ++h.badFrames;
    const uint8_t* extra = data + 4;
    const auto first = std::find_if(extra, extra + 28, [](uint8_t b) { return b != 0; });
    const uint8_t index = first == extra + 28 ? 0xFF : (uint8_t)(first - extra);
    if (data[1] != index) ++h.badIndex;
    const uint16_t counter = (uint16_t)(data[2] << 8 | data[3]);
    const uint16_t expected = (uint16_t)(mOutCounter.value_or(0) + kFramesPerPacket);
    if (counter != expected) ++h.badCounter;
    mOutCounter = counter;
    if (index != 0xFF) {
        ++h.extraPackets;
        if (mExtra.size() < kExtraKept) {
            std::array<uint8_t, 28> e;
            std::copy(extra, extra + 28, e.begin());
            mExtra.push_back(e);
        }
    }
}

void Farlane2Model::onBusReset() {
    SorvikModel::onBusReset();
    mStream.restart();
    mEcho.reset();
    mInCounter = 0;
    mOutCounter.reset();
}

void Farlane2Model::onSetConfiguration(uint8_t value) {
    SorvikModel::onSetConfiguration(value);
    mStream.restart();
    mInCounter = 0;
    mOutCounter.reset();
}

} // namespace hx::usb::devices
