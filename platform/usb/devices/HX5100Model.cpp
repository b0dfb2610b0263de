#include "platform/usb/devices/HX5100Model.h"

#include "platform/usb/devices/HX5100Descriptors.h"
#include "platform/usb/devices/RequestTypes.h"

#include <algorithm>
#include <cstring>

namespace hx::usb::devices {

using namespace StandardUSB;

namespace {

using namespace requests;

bool rateSupported(uint32_t rate, uint8_t speed) {
    switch (rate) {
    case 44100:
    case 48000:
        return true;
    case 88200:
    case 96000:
    case 176400:
    case 192000:
        return speed >= kUSBHostConnectionSpeedHigh;
    default:
        return false;
    }
}

} // namespace

HX5100Model::HX5100Model(uint8_t speed, HX5100Identity identity, HX5100Firmware firmware)
    : DeviceModel(speed), mIdentity(std::move(identity)), mFirmware(std::move(firmware)),
      mDeviceDescriptor(hx5100::deviceDescriptor(mIdentity.vendorID, mIdentity.productID,
                                                 mIdentity.release, !mIdentity.serial.empty())) {}

std::span<const uint8_t> HX5100Model::deviceDescriptor() const {
    return mDeviceDescriptor;
}

std::span<const uint8_t> HX5100Model::configurationDescriptor(uint8_t index) const {
    if (index != 0) return {};
    if (speed() >= kUSBHostConnectionSpeedHigh) return hx5100::kHighSpeedConfiguration;
    return hx5100::kFullSpeedConfiguration;
}

std::optional<std::vector<uint8_t>> HX5100Model::stringDescriptor(uint8_t index,
                                                                  uint16_t language) const {
    if (index == 0)
        return std::vector<uint8_t>(hx5100::kLanguages.begin(), hx5100::kLanguages.end());
    if (language != 0x0409) return std::nullopt;
    const std::string* text = index == 1                                ? &mIdentity.manufacturer
                              : index == 2                              ? &mIdentity.product
                              : index == 3 && !mIdentity.serial.empty() ? &mIdentity.serial
                                                                        : nullptr;
    if (!text) return std::nullopt;
    // UTF-16LE of the (ASCII) text, at most 126 code units to fit the length byte.
    const size_t units = std::min<size_t>(text->size(), 126);
    std::vector<uint8_t> d(2 + 2 * units, 0);
    d[0] = (uint8_t)d.size();
    d[1] = kDescriptorTypeString;
    for (size_t i = 0; i < units; ++i)
        d[2 + 2 * i] = (uint8_t)(*text)[i];
    return d;
}

uint32_t HX5100Model::sampleRate() const {
    std::lock_guard<std::mutex> g(mLock);
    return runningRate();
}

uint8_t HX5100Model::selectorByte() const {
    std::lock_guard<std::mutex> g(mLock);
    return selectorLocked();
}

uint8_t HX5100Model::selectorLocked() const {
    return (uint8_t)((mSelector & ~0x04) | (mDigitalRate ? 0x04 : 0));
}

uint32_t HX5100Model::runningRate() const {
    return mDigitalRate && !(mSelector & 0x02) ? *mDigitalRate : mSampleRate;
}

uint16_t HX5100Model::codecRegister(int file, uint8_t reg) const {
    std::lock_guard<std::mutex> g(mLock);
    return file >= 0 && file < 2 && reg < 128 ? mCodec[file][reg] : 0;
}

std::optional<std::array<uint8_t, 256>> HX5100Model::dspBlock() const {
    std::lock_guard<std::mutex> g(mLock);
    return mDspBlock;
}

uint32_t HX5100Model::dspBlockCount() const {
    std::lock_guard<std::mutex> g(mLock);
    return mDspBlocks;
}

void HX5100Model::setDigitalInput(std::optional<uint32_t> rate) {
    std::lock_guard<std::mutex> g(mLock);
    mDigitalRate = rate;
}

uint8_t HX5100Model::portRegister2() const {
    std::lock_guard<std::mutex> g(mLock);
    return mPortRegister2;
}

uint8_t HX5100Model::transmitterRegister(uint8_t reg) const {
    std::lock_guard<std::mutex> g(mLock);
    const unsigned i = reg - kFirstTransmitterRegister;
    return i < mTransmitter.size() ? mTransmitter[i] : 0;
}

std::array<uint8_t, 64> HX5100Model::mixerBuffer() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMixer;
}

void HX5100Model::setStreamConfig(const HX5100StreamConfig& config) {
    std::lock_guard<std::mutex> g(mLock);
    mStream.configure(config);
}

HX5100StreamStats HX5100Model::streamStats() const {
    std::lock_guard<std::mutex> g(mLock);
    return mStream.stats();
}

void HX5100Model::markFifoLock() {
    std::lock_guard<std::mutex> g(mLock);
    mStream.markFifoLock();
}

uint64_t HX5100Model::deviceFrames() const {
    std::lock_guard<std::mutex> g(mLock);
    return mStream.deviceFrames();
}

void HX5100Model::sendOffSizeInPackets(uint32_t packets, uint32_t frames) {
    std::lock_guard<std::mutex> g(mLock);
    mStream.sendOffSize(packets, frames);
}

bool HX5100Model::isDeepSleeping() const {
    std::lock_guard<std::mutex> g(mLock);
    return mDeepSleep;
}

uint32_t HX5100Model::deepSleepCount() const {
    std::lock_guard<std::mutex> g(mLock);
    return mDeepSleepCount;
}

IsochResult HX5100Model::streamOut(uint8_t address, const IsochSlot& slot, const uint8_t* data,
                                   uint32_t length) {
    // Asleep, the converter's clock is stopped: nothing is taken.
    if (address != 0x01 || mDeepSleep) return {kIOReturnNotResponding, 0};
    mStream.packetOut(runningRate(), slot.unit, slot.periodUnits, data, length);
    return {kIOReturnSuccess, length};
}

IsochResult HX5100Model::streamIn(uint8_t address, const IsochSlot& slot, uint8_t* data,
                                  uint32_t capacity) {
    if (address != 0x82 || mDeepSleep) return {kIOReturnNotResponding, 0};
    return {kIOReturnSuccess,
            mStream.packetIn(runningRate(), slot.unit, slot.periodUnits, data, capacity)};
}

void HX5100Model::onBusReset() {
    mDeepSleep = false;
    mStream.restart();
}

void HX5100Model::onSetConfiguration(uint8_t) {
    if (!mDeepSleep) return;
    mDeepSleep = false;
    mStream.restart(); // the clock starts again from the wake-up
}

std::span<const HX5100Model::RequestRow> HX5100Model::requestTable() {
    static constexpr RequestRow kTable[] = {
        {kVendorIn, 0x56, kAnyIndex, &HX5100Model::firmwareInfo, "firmware information"},
        {kVendorIn, 0x49, 0, &HX5100Model::readSelector, "read input selector byte"},
        {kVendorOut, 0x49, 0, &HX5100Model::writeSelector, "write input selector byte"},
        {kVendorIn, 0x49, 1, &HX5100Model::readPortRegister2, "read port register 2"},
        {kVendorOut, 0x49, 1, &HX5100Model::writePortRegister2, "write port register 2"},
        {kVendorOut, 0x4D, 0, &HX5100Model::writeMixerBuffer, "write mixer buffer"},
        {kVendorOut, 0x54, kAnyIndex, &HX5100Model::writeMixerValues, "write mixer values"},
        {kVendorIn, 0x41, 0x101, &HX5100Model::readTransmitter, "read transmitter registers"},
        {kVendorOut, 0x41, 0x101, &HX5100Model::writeTransmitter, "write transmitter register"},
        {kVendorOut, 0x41, 0x102, &HX5100Model::writeCodec, "write codec 0 register"},
        {kVendorOut, 0x41, 0x106, &HX5100Model::writeCodec, "write codec register (other codecs)"},
        {kVendorOut, 0x42, 0, &HX5100Model::writeDspBlock, "write DSP block"},
        {kVendorOut, 0x52, 0, &HX5100Model::replug, "replug"},
        // The driver reads the rate on endpoint 0 as well as on its endpoints.
        {kClassEndpointIn, kGetCur, 0x00, &HX5100Model::getSampleRate, "get sampling frequency"},
        {kClassEndpointIn, kGetCur, 0x01, &HX5100Model::getSampleRate, "get sampling frequency"},
        {kClassEndpointIn, kGetCur, 0x82, &HX5100Model::getSampleRate, "get sampling frequency"},
        {kClassEndpointOut, kSetCur, 0x01, &HX5100Model::setSampleRate, "set sampling frequency"},
        {kClassEndpointOut, kSetCur, 0x82, &HX5100Model::setSampleRate, "set sampling frequency"},
        {kVendorOut, 0x44, 0, &HX5100Model::deepSleep, "deep sleep"},
    };
    return kTable;
}

ControlResult HX5100Model::classOrVendorRequest(const DeviceRequest& setup, uint8_t* data) {
    for (const RequestRow& row : requestTable()) {
        if (row.requestType == setup.bmRequestType && row.request == setup.bRequest &&
            (row.index == kAnyIndex || row.index == setup.wIndex))
            return (this->*row.handler)(setup, data);
    }
    return ControlResult::stall();
}

// Each handler checks wValue, wIndex and wLength before touching the data.

ControlResult HX5100Model::firmwareInfo(const DeviceRequest& setup, uint8_t* data) {
    const uint8_t head[4] = {mFirmware.build, mFirmware.major,
                             (uint8_t)(mFirmware.minor * 10 + mFirmware.patch), 0};
    if (setup.wLength == 3) return firmwareHead(data);
    if (setup.wLength == 8) {
        if (mFirmwareWordStalls.load()) return ControlResult::stall();
        std::memset(data, 0, 8);
        std::memcpy(data, head, sizeof head);
        return ControlResult::ok(8);
    }
    if (setup.wLength == 15) {
        std::memset(data, 0, 15);
        std::memcpy(data, head, sizeof head);
        std::memcpy(data + 4, mFirmware.text.data(), std::min<size_t>(mFirmware.text.size(), 11));
        return ControlResult::ok(15);
    }
    return ControlResult::stall();
}

ControlResult HX5100Model::firmwareHead(uint8_t* data) const {
    data[0] = mFirmware.build;
    data[1] = mFirmware.major;
    data[2] = uint8_t(mFirmware.minor * 10 + mFirmware.patch);
    return ControlResult::ok(3);
}

void HX5100Model::setFirmwareWordStalls(bool stalls) {
    mFirmwareWordStalls.store(stalls);
}

ControlResult HX5100Model::readSelector(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != 0 || setup.wLength != 1) return ControlResult::stall();
    data[0] = selectorLocked();
    return ControlResult::ok(1);
}

ControlResult HX5100Model::writeSelector(const DeviceRequest& setup, uint8_t*) {
    // The driver sends the byte widened as a signed 8-bit value.
    if (setup.wLength != 0 || (hx5100::hi(setup.wValue) != 0 && hx5100::hi(setup.wValue) != 0xFF))
        return ControlResult::stall();
    // Bit 2 reports the digital input's lock; the device owns it.
    mSelector = (uint8_t)((setup.wValue & 0xFB) | (mSelector & 0x04));
    return ControlResult::ok();
}

void HX5100Model::setPortRegisterReadStalls(bool stalls) {
    mPortRegisterReadStalls.store(stalls);
}

ControlResult HX5100Model::readPortRegister2(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != 0 || setup.wLength != 1 || mPortRegisterReadStalls.load())
        return ControlResult::stall();
    data[0] = mPortRegister2;
    return ControlResult::ok(1);
}

ControlResult HX5100Model::writePortRegister2(const DeviceRequest& setup, uint8_t*) {
    if (setup.wLength != 0 || (hx5100::hi(setup.wValue) != 0 && hx5100::hi(setup.wValue) != 0xFF))
        return ControlResult::stall();
    const uint8_t mode = hx5100::lo(setup.wValue);
    if (mode != mPortRegister2) mMidi.modeByteChanged(mode);
    mPortRegister2 = mode;
    return ControlResult::ok();
}

// Mixer values: the knob in wValue, the bitmap in wIndex, no data; the
// trace keeps them.
ControlResult HX5100Model::writeMixerValues(const DeviceRequest& setup, uint8_t*) {
    if (setup.wLength != 0) return ControlResult::stall();
    return ControlResult::ok();
}

ControlResult HX5100Model::writeMixerBuffer(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != 0 || setup.wLength != mMixer.size()) return ControlResult::stall();
    std::memcpy(mMixer.data(), data, mMixer.size());
    return ControlResult::ok((uint32_t)mMixer.size());
}

ControlResult HX5100Model::readTransmitter(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != 0x0D00 || setup.wLength != mTransmitter.size())
        return ControlResult::stall();
    std::memcpy(data, mTransmitter.data(), mTransmitter.size());
    return ControlResult::ok((uint32_t)mTransmitter.size());
}

ControlResult HX5100Model::writeTransmitter(const DeviceRequest& setup, uint8_t*) {
    const unsigned i = hx5100::hi(setup.wValue) - kFirstTransmitterRegister;
    if (setup.wLength != 0 || i >= mTransmitter.size()) return ControlResult::stall();
    mTransmitter[i] = hx5100::lo(setup.wValue);
    return ControlResult::ok();
}

ControlResult HX5100Model::getSampleRate(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != kSamplingFrequencyControl || setup.wLength != 3)
        return ControlResult::stall();
    put24(data, runningRate());
    return ControlResult::ok(3);
}

ControlResult HX5100Model::setSampleRate(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != kSamplingFrequencyControl || setup.wLength != 3)
        return ControlResult::stall();
    const uint32_t rate = get24(data);
    if (!rateSupported(rate, speed())) return ControlResult::stall();
    if (rate != mSampleRate) mStream.restart(); // the clock restarts at the new rate
    mSampleRate = rate;
    return ControlResult::ok(3);
}

ControlResult HX5100Model::deepSleep(const DeviceRequest& setup, uint8_t*) {
    if (setup.wValue != 0 || setup.wLength != 0) return ControlResult::stall();
    mDeepSleep = true;
    ++mDeepSleepCount;
    mStream.restart();
    return ControlResult::ok();
}

ControlResult HX5100Model::writeCodec(const DeviceRequest& setup, uint8_t*) {
    // wValue: register << 9 | 9-bit value.
    if (setup.wLength != 0) return ControlResult::stall();
    mCodec[setup.wIndex == 0x102 ? 0 : 1][setup.wValue >> 9] = setup.wValue & 0x1FF;
    return ControlResult::ok();
}

ControlResult HX5100Model::writeDspBlock(const DeviceRequest& setup, uint8_t* data) {
    if (setup.wValue != 0 || setup.wLength != 256) return ControlResult::stall();
    mDspBlock.emplace();
    std::memcpy(mDspBlock->data(), data, 256);
    ++mDspBlocks;
    return ControlResult::ok(256);
}

ControlResult HX5100Model::replug(const DeviceRequest& setup, uint8_t*) {
    if (setup.wValue != 0 || setup.wLength != 0) return ControlResult::stall();
    requestReEnumeration();
    return ControlResult::ok();
}

} // namespace hx::usb::devices
