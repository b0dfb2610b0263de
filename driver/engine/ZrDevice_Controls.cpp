// The device's hardware settings as the control requests change them: clock
// source, USB1 mode, digital-out mode and selector, codec registers, the
// CPLD byte, the mixer buffer, the replug command and re-enumeration; and
// the small state the status parsers and meters keep (port words, input
// levels).
//
// The settings words live in the shared record; the exchanges with the
// device are the configuration controls' (ZrConfigControls). A setting that
// needs the device's clock to settle suspends streaming around the
// exchange and resumes it when it was running.
//
// Runs on the requesting thread under the dispatch lock.
#include <cstring>
#include "driver/engine/ZrDeviceRequests.h"
#include <string>

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint16_t kCodec0Index = 0x102, kCodecOtherIndex = 0x106;

} // namespace

uint32_t ZrDevice::updateAjInputSelector(uint32_t* result) {
    return mpConfigControls ? mpConfigControls->updateAjInputSelector(result) : 0;
}

IOReturn ZrDevice::writeDigitalOutMode() {
    return mpConfigControls ? mpConfigControls->writeDigitalOutMode() : kIOReturnSuccess;
}

void ZrDevice::exchangeSuspended(const std::function<void()>& exchange) {
    const bool wasRunning = suspendStreaming();
    exchange();
    if (wasRunning) resumeStreaming();
}

uint32_t ZrDevice::setClockSource(uint32_t source) {
    IOLog("ZrDevice::setClockSource %p\n", reinterpret_cast<void*>(uintptr_t(source)));
    QnAjExtData& aj = getAjExtData();
    if (aj.mClockSource == source) return source;
    IOLog("ClockSource changed !\n");
    aj.mClockSource = source > 2 ? 0 : source;
    if (!isMerrowCompatible()) {
        if (isTrunk2Product() && suspendStreaming()) resumeStreaming();
    } else {
        exchangeSuspended([this] { updateAjInputSelector(nullptr); });
    }
    return aj.mClockSource;
}

uint32_t ZrDevice::setUSB1Mode(uint32_t mode) {
    QnAjExtData& aj = getAjExtData();
    if (aj.mUSB1Mode == mode) return mode;
    aj.mUSB1Mode = mode;
    // The mode only means something on a full-speed bus.
    if (isMerrowCompatible() && !mIsUSB2)
        exchangeSuspended([this] { updateAjInputSelector(nullptr); });
    return aj.mUSB1Mode;
}

uint32_t ZrDevice::setDigitalOutMode(uint32_t mode) {
    QnAjExtData& aj = getAjExtData();
    if (aj.mDigitalOutMode == mode) return mode;
    aj.mDigitalOutMode = mode > 1 ? 0 : mode;
    if (!isMerrowCompatible()) return aj.mDigitalOutMode;
    if (hasFeatures() && !isMRW192Compatible())
        exchangeSuspended([this] { writeDigitalOutMode(); });
    else
        writeDigitalOutMode();
    return aj.mDigitalOutMode;
}

void ZrDevice::setDigitalOutSelector(uint32_t selector) {
    // Only the one product of the earlier vendor identifier routes its
    // digital output by this selector.
    if (!isListed(ZrProductList::BulkSelectorEncoder)) return;
    QnAjExtData& aj = getAjExtData();
    if (selector >= 4 || aj.mDigitalOutSelector == selector) return;
    aj.mDigitalOutSelector = selector;
    // The selector picks the output lane pair of the bulk encoder.
    mBulkStreaming.chooseDMAEncoderForSelector(selector);
}

IOReturn ZrDevice::writeWolfsonRegister(uint16_t codec, uint16_t reg, uint16_t value) {
    if (isStreamingStarted() && !isStreamingSuspended() && !canHandleRequestsWhileStreaming()) {
        IOLog("writeWolfsonRegister: m_bStreamingStarted=%d, m_bStreamingSuspended=%d\n", 1, 0);
        return IOReturn(0xFFFFFFFF);
    }
    const uint16_t wValue = uint16_t((reg << 9) + value);
    uint32_t length = 0;
    const IOReturn st =
        mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqCodec, wValue,
                                  codec == 0 ? kCodec0Index : kCodecOtherIndex, nullptr, length, 2);
    const uint32_t param2 = uint32_t(reg) << 16 | value;
    IOLog("Notifying Clients for register %d, value %d, codec %d (param2=%08x)\n", int(reg),
          int(value), int(codec), unsigned(param2));
    mService.messageToClients(STC_ChangeWolfson, 0, int(codec), int(param2));
    return st;
}

void ZrDevice::setOlvqCpldByte(uint8_t value) {
    if (mpConfigControls) mpConfigControls->setOlvqCpldByte(value);
}

uint8_t ZrDevice::getOlvqCpldByte() const {
    return mpConfigControls ? mpConfigControls->olvqCpldByte() : 0;
}

bool ZrDevice::sendReplugCommand() {
    IOLog("ZrDevice::sendReplugCommand called\n");
    uint32_t length = 0;
    if (!isMerrowCompatible()) {
        if (!mConfigurations.getIds().traits().isSorvik()) {
            IOLog("-unsupported\n");
            return false;
        }
        const IOReturn st = mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice,
                                                      kReqFarlaneReset, 0, 0, nullptr, length, 5);
        IOLog("flb2 reset command returned %08X", unsigned(st));
        return st == kIOReturnSuccess;
    }
    return mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqReplug, 0, 0,
                                     nullptr, length, 5) == kIOReturnSuccess;
}

bool ZrDevice::reEnumerateDevice() {
    IOUSBHostDevice* dev = mService.getUSBDevice();
    return dev && dev->reEnumerateDevice(0) == kIOReturnSuccess;
}

const uint8_t* ZrDevice::getMixerBuffer() const {
    return mpConfigControls ? mpConfigControls->mixerBuffer() : mLocalMixerBuffer;
}

void ZrDevice::setMixerBuffer(const uint8_t buffer[64]) {
    if (mpConfigControls)
        mpConfigControls->setMixerBuffer(buffer);
    else
        std::memcpy(mLocalMixerBuffer, buffer, sizeof mLocalMixerBuffer);
}

void ZrDevice::setReverbBuffers(const uint8_t* data) {
    std::memcpy(mReverbBuffers, data, sizeof mReverbBuffers);
    mReverbPresent = true;
}

uint16_t ZrDevice::getPortConfigWord(unsigned set, unsigned word) const {
    if (set > 1 || word > 2) return 0;
    // The configuration's port register is word 3 of the first set.
    if (set == 0 && word == 2 && mpConfigControls) return uint16_t(mpConfigControls->portWord());
    return __atomic_load_n(&mPortConfig[set][word], __ATOMIC_RELAXED);
}

void ZrDevice::setPortConfigWord(unsigned set, unsigned word, uint16_t value) {
    if (set > 1 || word > 2) return;
    if (set == 0 && word == 2 && mpConfigControls) mpConfigControls->setPortWord(value);
    __atomic_store_n(&mPortConfig[set][word], value, __ATOMIC_RELAXED);
}

void ZrDevice::raiseInputLevel(unsigned channel, int32_t value) {
    if (channel >= 32) return;
    raisePeak(mInputLevels[channel], value);
}

void ZrDevice::takeInputLevels(int32_t out[32]) {
    for (unsigned c = 0; c < 32; ++c)
        out[c] = __atomic_exchange_n(&mInputLevels[c], 0, __ATOMIC_RELAXED);
}
