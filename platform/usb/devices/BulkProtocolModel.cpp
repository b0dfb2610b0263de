#include "platform/usb/devices/BulkProtocolModel.h"

#include "platform/usb/devices/BitSliceCodec.h"
#include "platform/usb/devices/BravaCodec.h"
#include "platform/usb/devices/RequestTypes.h"
#include "platform/usb/devices/StreamingDescriptors.h"

#include <algorithm>
#include <cstring>

namespace hx::usb::devices {

using namespace requests;

namespace {

constexpr std::initializer_list<uint32_t> kRates = {44100, 48000, 88200, 96000};
constexpr size_t kMidiControlKept = 65536;

bool rateOffered(uint32_t rate) {
    return std::find(kRates.begin(), kRates.end(), rate) != kRates.end();
}

std::vector<uint8_t> buildConfiguration(const BulkProtocolLayout& l) {
    desc::Bytes body;
    const bool irq = l.interruptTransfers;
    // 0: output.
    desc::interface(body, 0, 0, 0, 1, 2);
    desc::interface(body, 0, 1, 3, 1, 2);
    desc::format(body, 1, (uint8_t)l.outputChannels, 4, 24, kRates);
    desc::endpoint(body, BulkProtocolModel::kBulkOut, irq ? 0x03 : 0x02, irq ? 964 : 512,
                   irq ? 1 : 0);
    desc::endpoint(body, BulkProtocolModel::kKeepAlive, 0x05, 8, 1, true);
    desc::audioEndpoint(body);
    desc::endpoint(body, BulkProtocolModel::kMidiIn, 0x03, 64, 4);
    // 1: input.
    desc::interface(body, 1, 0, 0, 1, 2);
    desc::interface(body, 1, 1, 1, 1, 2);
    desc::format(body, 2, (uint8_t)l.inputChannels, 4, 24, kRates);
    desc::endpoint(body, BulkProtocolModel::kBulkIn, irq ? 0x03 : 0x02, irq ? 1024 : 512,
                   irq ? 1 : 0);
    return desc::configuration(2, body);
}

} // namespace

BulkProtocolModel::BulkProtocolModel(HX5100Identity identity, BulkProtocolLayout layout)
    : ChannelStreamModel(kUSBHostConnectionSpeedHigh, std::move(identity)), mLayout(layout),
      mConfiguration(buildConfiguration(layout)) {
    ChannelStreamConfig config;
    config.fifoCapacityFrames = fifoFramesAt(mRate, outFrames());
    mStream.configure(config);
    mStream.setChannels(layout.inputChannels, layout.outputChannels);
}

std::span<const uint8_t> BulkProtocolModel::configurationDescriptor(uint8_t index) const {
    if (index != 0) return {};
    return mConfiguration;
}

void BulkProtocolModel::configureChannels(const ChannelStreamConfig& config) {
    std::lock_guard<std::mutex> g(mLock);
    mStream.configure(config);
    mAskedFifoFrames = config.fifoCapacityFrames;
    capFifo();
    mStream.restart();
}

void BulkProtocolModel::capFifo() {
    ChannelStreamConfig c = mStream.config();
    c.fifoCapacityFrames = std::min(mAskedFifoFrames, fifoFramesAt(mRate, outFrames()));
    mStream.configure(c);
}

uint32_t BulkProtocolModel::rate() const {
    std::lock_guard<std::mutex> g(mLock);
    return mRate;
}

uint32_t BulkProtocolModel::dmaUnitBytes() const {
    std::lock_guard<std::mutex> g(mLock);
    return mUnitBytes;
}

uint32_t BulkProtocolModel::inFramesPerBlock() const {
    return mLayout.brava ? brava::framesPerBlock(mLayout.inputChannels)
                         : bitslice::framesPerBlock(mUnitBytes);
}

uint32_t BulkProtocolModel::inFrames() const {
    return inFramesPerBlock() * (inPacketBytes() / bitslice::kBlockBytes);
}

uint32_t BulkProtocolModel::outFrames() const {
    if (mLayout.brava) return brava::framesPerOutPacket(mLayout.outputChannels);
    return mLayout.interruptTransfers ? 20 : 10;
}

uint32_t BulkProtocolModel::inFramesPerPacket() const {
    std::lock_guard<std::mutex> g(mLock);
    return inFrames();
}

uint32_t BulkProtocolModel::outFramesPerPacket() const {
    return outFrames();
}

BulkProtocolStats BulkProtocolModel::stats() const {
    std::lock_guard<std::mutex> g(mLock);
    return mStats;
}

std::vector<std::pair<uint8_t, uint8_t>> BulkProtocolModel::midiControlBytes() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMidiControl;
}

ControlResult BulkProtocolModel::classOrVendorRequest(const StandardUSB::DeviceRequest& setup,
                                                      uint8_t* data) {
    const bool endpointRequest =
        setup.bmRequestType == kClassEndpointIn || setup.bmRequestType == kClassEndpointOut;
    if (endpointRequest && (setup.wIndex == 0 || setup.wIndex == kBulkIn ||
                            setup.wIndex == kBulkOut || setup.wIndex == kKeepAlive))
        return frequencyRequest(setup, data);
    const ControlResult r = HX5100Model::classOrVendorRequest(setup, data);
    // Register 0 also carries the DMA width of the input stream.
    if (r.status == kIOReturnSuccess && setup.bmRequestType == kVendorOut &&
        setup.bRequest == 0x49 && setup.wIndex == 0) {
        const uint32_t unit = (setup.wValue & 0x20) ? 1 : 2;
        if (unit != mUnitBytes) mStream.restart();
        mUnitBytes = unit;
        // The host writes it at every run's start, where its carried
        // fifth-lane sample starts over at 0.
        mFifthLane.restart();
    }
    return r;
}

ControlResult BulkProtocolModel::frequencyRequest(const StandardUSB::DeviceRequest& setup,
                                                  uint8_t* data) {
    if (setup.wValue != kSamplingFrequencyControl || setup.wLength != 3)
        return ControlResult::stall();
    if (setup.bmRequestType == kClassEndpointIn && setup.bRequest == kGetCur) {
        put24(data, mRate);
        return ControlResult::ok(3);
    }
    if (setup.bmRequestType != kClassEndpointOut || setup.bRequest != kSetCur)
        return ControlResult::stall();
    const uint32_t rate = get24(data);
    if (!rateOffered(rate)) return ControlResult::stall();
    if (rate != mRate) mStream.restart();
    mRate = rate;
    capFifo();
    return ControlResult::ok(3);
}

IsochResult BulkProtocolModel::streamOut(uint8_t address, const IsochSlot& slot, const uint8_t*,
                                         uint32_t length) {
    if (address != kKeepAlive || deepSleeping()) return {kIOReturnNotResponding, 0};
    if (mLastKeepAliveUnit && slot.unit > *mLastKeepAliveUnit + slot.periodUnits)
        mStats.keepAliveGaps += (slot.unit - *mLastKeepAliveUnit) / slot.periodUnits - 1;
    mLastKeepAliveUnit = slot.unit;
    ++mStats.keepAlivePackets;
    return {kIOReturnSuccess, length};
}

IsochResult BulkProtocolModel::streamIn(uint8_t, const IsochSlot&, uint8_t*, uint32_t) {
    return {kIOReturnNotResponding, 0};
}

IsochResult BulkProtocolModel::bulkIn(uint8_t address, uint64_t frame, uint8_t* data,
                                      uint32_t capacity) {
    if (address == kMidiIn) {
        if (deepSleeping()) return {kIOReturnNotResponding, 0};
        const uint32_t n = midiLoopIn(data, capacity);
        return n ? IsochResult{kIOReturnSuccess, n} : IsochResult{kIOReturnNotReady, 0};
    }
    if (address != kBulkIn || deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    mStream.advance(mRate, transferUnit());
    const uint32_t frames = inFrames();
    if (mStream.captureAvailable() < frames || capacity < inPacketBytes())
        return {kIOReturnNotReady, 0};
    const uint32_t ins = mLayout.inputChannels;
    std::vector<uint32_t> samples((size_t)frames * ins);
    mStream.takeCapture(frames, samples.data());
    const uint32_t perBlock = inFramesPerBlock();
    for (uint32_t b = 0; b < inPacketBytes() / bitslice::kBlockBytes; ++b) {
        const uint32_t* block = samples.data() + (size_t)b * perBlock * ins;
        uint8_t* out = data + (size_t)b * bitslice::kBlockBytes;
        if (mLayout.brava)
            brava::encodeInputBlock(block, ins, out);
        else
            bitslice::encodeInputBlock(block, ins, mUnitBytes, out);
    }
    ++mStats.inPackets;
    return {kIOReturnSuccess, mKnobs.packetLimit(address, inPacketBytes())};
}

IsochResult BulkProtocolModel::bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                       uint32_t length) {
    if (address != kBulkOut || deepSleeping()) return {kIOReturnNotResponding, 0};
    if (auto fault = mKnobs.take(address, frame)) return *fault;
    mStream.advance(mRate, transferUnit());
    const uint32_t frames = outFrames();
    if (mStream.fifoRoom() < frames) return {kIOReturnNotReady, 0};
    ++mStats.outPackets;
    const bool int964 = mLayout.interruptTransfers;
    if (length < (int964 ? 964u : 482u)) {
        ++mStats.outBadPackets;
        return {kIOReturnSuccess, length};
    }
    std::vector<uint32_t> samples((size_t)frames * mLayout.outputChannels);
    if (mLayout.brava)
        brava::decodeOutputPacket(data, mLayout.outputChannels, samples.data());
    else if (mLayout.fifthLane && mLayout.outputChannels == 10)
        mFifthLane.decode(data, int964, frames, samples.data(), nullptr);
    else
        bitslice::decodeOutputFrames(data, int964, frames, mLayout.outputChannels, samples.data());
    mStream.queuePlayback(samples.data(), frames);
    if (int964) {
        recordMidiControl(data[432], data[433], frame);
        recordMidiControl(data[914], data[915], frame);
    } else {
        recordMidiControl(data[480], data[481], frame);
    }
    return {kIOReturnSuccess, length};
}

uint64_t BulkProtocolModel::midiLastFrame() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMidiLastFrame;
}

uint32_t BulkProtocolModel::midiLoopPacketBytes() const {
    std::lock_guard<std::mutex> g(mLock);
    return mRate <= 48000 ? 4 : mLayout.interruptTransfers ? 2 : 1;
}

uint32_t BulkProtocolModel::midiLoopIn(uint8_t* data, uint32_t capacity) {
    if (mMidiLoop.empty()) return 0;
    const uint32_t midi = mRate <= 48000 ? 4 : mLayout.interruptTransfers ? 2 : 1;
    const bool control = midi != 2;
    const uint32_t length = midi + (control ? 1 : 0);
    if (capacity < length) return 0;
    std::memset(data, 0xFD, midi);
    for (uint32_t i = 0; i < midi && !mMidiLoop.empty(); ++i) {
        data[i] = mMidiLoop.front();
        mMidiLoop.pop_front();
    }
    if (control) data[midi] = 0xFF;
    return length;
}

void BulkProtocolModel::recordMidiControl(uint8_t midi, uint8_t control, uint64_t frame) {
    if (midi != 0xFD) {
        ++mStats.midiBytes;
        mMidiLoop.push_back(midi);
        mMidiLastFrame = frame;
    }
    if (control != 0xFF) ++mStats.controlBytes;
    if (mMidiControl.size() < kMidiControlKept) mMidiControl.emplace_back(midi, control);
}

void BulkProtocolModel::onBusReset() {
    HX5100Model::onBusReset();
    mStream.restart();
    mFifthLane.restart();
    mLastKeepAliveUnit.reset();
    mMidiLoop.clear();
}

void BulkProtocolModel::onSetConfiguration(uint8_t value) {
    HX5100Model::onSetConfiguration(value);
    mStream.restart();
    mFifthLane.restart();
    mLastKeepAliveUnit.reset();
}

} // namespace hx::usb::devices
