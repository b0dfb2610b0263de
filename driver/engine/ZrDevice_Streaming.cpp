// Streaming control of the device object: start (the product requests that
// set the device up for the current rate, then resume), resume (the ring
// layout and the transports with their service routine) and suspend.
//
// The transports are the isochronous engine's (ZrIsocStreaming, with the
// keep-alive stream bulk-protocol devices run beside their bulk pipes) and
// the bulk and interrupt engine's (ZrBulkStreaming). Runs on the dispatcher's or a user client's
// thread under the service's dispatch lock, or in the configuration path.
#include <cstring>
#include "driver/engine/ZrDeviceRequests.h"
#include <string>

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"

namespace {

// The features record's flag that moves the digital-out mode write after
// the resume (it runs before the resume otherwise).
constexpr unsigned kLateDigitalOutFeature = 10;
// The hardware maker's products that take a DSP block at start.
constexpr uint32_t kKorvexDspProducts =
    kZrProductHX5100 | kZrProductLX880 | kZrProductLX420 | kZrProductLX4xxFurther;

// The DSP block of a rate: 44.1, 48, 88.2 and 96 kHz have one each.
int dspBlockIndex(uint32_t rate) {
    switch (rate) {
    case 44100:
        return 0;
    case 48000:
        return 1;
    case 88200:
        return 2;
    case 96000:
        return 3;
    default:
        return -1;
    }
}

LevelProcessorFnc meterForChannels(uint32_t channels) {
    switch (channels) {
    case 2:
        return LevelProcessor2CH;
    case 4:
        return LevelProcessor4CH;
    case 6:
        return LevelProcessor6CH;
    case 8:
        return LevelProcessor8CH;
    case 10:
        return LevelProcessor10CH;
    default:
        return nullptr;
    }
}

} // namespace

uint8_t picCommandForRate(uint32_t rate, bool strict) {
    switch (rate) {
    case 48000:
        return 0xC0;
    case 44100:
        return 0xC1;
    case 32000:
        return 0xC2;
    default:
        return strict ? 0 : 0xC1;
    }
}

void ZrDevice::startStreaming() {
    if (isConfigured()) startConfiguredStreaming();
}

void ZrDevice::startConfiguredStreaming() {
    if (isStreamingStarted() || isStreamingSuspended()) return;
    const QnChannelSettings s = getCurrentSettings();
    const bool pic = isListed(ZrProductList::PicCommands);

    // 1. The rate-switch microcontroller hears the rate before anything.
    if (pic) {
        if (uint8_t cmd = picCommandForRate(s.Frequency, true)) sendSetPicCommand(cmd);
    }
    // 2. Bandwidth of both isochronous pipes.
    checkBandwidthForPipe(mPipes[ZrPipeSlot::InIsoc], 0);
    checkBandwidthForPipe(mPipes[ZrPipeSlot::OutIsoc], 0);
    // 3, 4. Endpoint rates.
    bool skipOut = false;
    if (pic) {
        sendPicCommand(picCommandForRate(s.Frequency, false));
        skipOut = true;
    } else if (isListed(ZrProductList::HalvardTrunk)) {
        initHalVardTrunk();
        skipOut = true;
    } else {
        setFrequency(mPipes[ZrPipeSlot::InIsoc] ? mPipes[ZrPipeSlot::InIsoc]
                                                : mPipes[ZrPipeSlot::BulkIn],
                     nullptr, int(s.Frequency));
    }
    if (!skipOut && (!mPipes[ZrPipeSlot::InIsoc] || !hasFeatures() ||
                     hasFeature(eSpecFeature_SetFreqOnOutPipe) || s.InChannels == 0))
        setFrequency(nullptr,
                     mPipes[ZrPipeSlot::OutIsoc] ? mPipes[ZrPipeSlot::OutIsoc]
                                                 : mPipes[ZrPipeSlot::BulkOut],
                     int(s.Frequency));
    // 5. Products that want class requests at every start.
    auto setCur = [this](uint16_t value, uint16_t index, uint32_t bytes) {
        uint8_t zero[4] = {};
        uint32_t length = bytes;
        mService.deviceRequestStd(kDirOut, kLevelClass, kRecipientInterface, kZrSetCur, value,
                                  index, zero, length, 5);
    };
    if (isListed(ZrProductList::StartSetCur02FF)) setCur(0x02FF, 0x0200, 4);
    if (isListed(ZrProductList::StartSetCur0A00)) setCur(0x0A00, 0x0900, 1);
    if (isListed(ZrProductList::StartSetCur0201)) {
        setCur(0x0201, 0x0900, 4);
        setCur(0x0202, 0x0900, 4);
    }
    // 6, 7. Meters, the Sorvik map, the DSP block of the rate.
    chooseMeters();
    writeCurrentDspBlock();
    // 8. The digital-out mode, before or after the resume.
    const bool late = !hasFeatures() || hasFeature(kLateDigitalOutFeature);
    if (!late) writeDigitalOutMode();
    resumeStreaming();
    if (late) writeDigitalOutMode();
}

void ZrDevice::chooseMeters() {
    mInputMeter = nullptr;
    mOutputMeter = nullptr;
    const QnChannelSettings& s = getCurrentSettings();
    if (mConfigurations.getIds().traits().isSorvik()) {
        if (s.InChannels % 2 == 0) mInputMeter = meterForChannels(s.InChannels);
        QN_Sorvik_ChannelMap map{};
        getSorvikChannelMap(map);
        setSorvikChannelMap(map, true);
    } else if (mpConfigControls && mpConfigControls->traits().is(kKorvexDspProducts)) {
        chooseKorvexMeters(mIsUSB2, s.InChannels, mInputMeter, mOutputMeter);
    } else {
        chooseClassDeviceMeters(s.InChannels, mInputMeter, mOutputMeter);
        if (isListed(ZrProductList::ReselectOutAlternate)) reselectOutAlternate();
    }
    mIsocStreaming.setInputMeter(mInputMeter);
}

// One device of another maker needs its output alternate setting selected
// again once it streams.
void ZrDevice::reselectOutAlternate() {
    ZrInterfaceDescriptor* out = mConfigurations.mpOutInterface;
    IOLog("mpOutInterface is %p\n", static_cast<void*>(out));
    if (!out) return;
    IOUSBHostInterface* intf = mBindings.getInterface(out);
    IOLog("mpOutInterface->m_pUSBIF is %p, alternate is %d\n", static_cast<void*>(intf),
          int(out->getAlternateNumber()));
    if (intf) intf->selectAlternateSetting(out->getAlternateNumber());
}

void ZrDevice::writeCurrentDspBlock() {
    if (!mpConfigControls || !mpConfigControls->traits().is(kKorvexDspProducts) || !mReverbPresent)
        return;
    const int index = dspBlockIndex(getCurrentSettings().Frequency);
    if (index < 0) return;
    uint8_t block[256];
    std::memcpy(block, mReverbBuffers + 256 * index, sizeof block);
    uint32_t length = sizeof block;
    const IOReturn st = mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice,
                                                  kReqDspBlock, 0, 0, block, length, 5);
    if (st != kIOReturnSuccess) IOLog("Could not write reverb buffer (0x%08X)\n", unsigned(st));
}

ZrStreamingState ZrDevice::changeStreamingState(ZrStreamingState set, ZrStreamingState clear) {
    ZrStreamingState before = mStreamingState.load();
    while (!mStreamingState.compare_exchange_weak(
        before, ZrStreamingState((uint8_t(before) | uint8_t(set)) & ~uint8_t(clear)))) {
    }
    return before;
}

bool ZrDevice::suspendStreaming() {
    if (!isStreamingStarted()) {
        IOLog("suspendStreaming: Streaming not started");
        return false;
    }
    if (isStreamingSuspended()) {
        IOLog("suspendStreaming: Streaming already suspended");
        return false;
    }
    setStreamingSuspended(true);
    stopStreaming(true);
    if (mpDriverData)
        mpDriverData->reinitClientsForStreaming(getCurrentSettings(), clientRingExtraBytes());
    return true;
}

void ZrDevice::resumeStreaming() {
    IOLog("ZrDevice::resumeStreaming %d\n", isStreamingSuspended() ? 1 : 0);
    const QnChannelSettings s = getCurrentSettings();
    const ZrDeviceIds& ids = mConfigurations.getIds();
    const bool farlane1 = ids.traits().isFarlane1();
    const bool farlane2 = ids.traits().isFarlane2();
    // 1. The frame pattern starts over.
    mFramePattern.init(s.Frequency, (s.InResolution + 7) / 8, s.InChannels,
                       (s.OutResolution + 7) / 8, s.OutChannels, mIsUSB2, ids);
    // 2. Products with their own start-up.
    if (isListed(ZrProductList::HalvardTrunk))
        initHalVardTrunk();
    else if (isTrunk2Product())
        initHalVardTrunk2();
    if (farlane1 && mDescriptor.m_uBcdDevice != 3) {
        IOLog("ZrDevice::resumeStreaming mDeviceDescriptor.m_uBcdDevice != 3\n");
        return;
    }
    // 3.
    setStreamingSuspended(false);
    if (!mAudioSMArea.getMemory()) {
        IOLog("mDMAAudioInBuffer is NULL\n");
        return;
    }
    if (!mAudioSMArea.lock()) {
        IOLog("pAudioSM_In is NULL\n");
        return;
    }
    // 4. A device without inputs still gets a ring, laid out like its output.
    // The stream-broken word is the transport's one word: its start clears it.
    const uint32_t inChannels = s.InChannels ? s.InChannels : s.OutChannels;
    const uint32_t outChannels = s.OutChannels ? s.OutChannels : s.InChannels;
    IOLog("channels in=%d, out=%d\n", int(inChannels), int(outChannels));
    // 5.
    mService.setChannelSettingsProperty();
    mService.setAjExtDataProperty();
    IOLog(mPipes[ZrPipeSlot::InterruptIn] ? "m_pcInterruptInPipe found\n"
                                          : "NO m_pcInterruptInPipe found\n");
    IOLog(mPipes[ZrPipeSlot::InterruptOut] ? "m_pcInterruptOutPipe found\n"
                                           : "NO m_pcInterruptOutPipe found\n");
    // 6.
    if (mInputRing.isBound()) mInputRing._init(inChannels, s.Frequency, farlane2 ? 4 : 0);
    // 7. The first generation takes its resolutions and map again.
    if (farlane1) {
        IOLog("Modal6: config:%d freq:%d in:%d/%d out:%d/%d\n", int(s.Configuration),
              int(s.Frequency), int(s.InChannels), int(s.InResolution), int(s.OutChannels),
              int(s.OutResolution));
        for (const auto& [intf, bits] :
             {std::pair{mConfigurations.mpInInterface, s.InResolution},
              std::pair{mConfigurations.mpOutInterface, s.OutResolution}}) {
            if (!intf) continue;
            uint32_t length = 0;
            mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientInterface,
                                      kReqSorvikResolution, uint16_t(bits),
                                      uint16_t(intf->getInterfaceNumber()), nullptr, length, 2);
        }
        sendSorvikChannelMap();
    }
    // 8.
    if (isMerrowCompatible() && !isMRW30Compatible()) {
        setFrequency(mPipes[ZrPipeSlot::InIsoc], nullptr, int(s.Frequency));
        setFrequency(nullptr, mPipes[ZrPipeSlot::OutIsoc], int(s.Frequency));
    }
    // 9.
    startTransports();
}

void ZrDevice::startTransports() {
    const bool isoc = mPipes[ZrPipeSlot::InIsoc] || mPipes[ZrPipeSlot::OutIsoc];
    const bool bulk = mPipes[ZrPipeSlot::BulkIn] || mPipes[ZrPipeSlot::BulkOut];
    const bool started = [&] {
        if (!isoc) {
            // Bulk or interrupt only: the transport installs its service.
            if (bulk) {
                mBulkStreaming.setMeters(mInputMeter, mOutputMeter);
                if (!mBulkStreaming.run()) return false;
                // The keep-alive stream runs beside real bulk pipes only
                // (an interrupt pipe standing in for both needs none).
                if (mPipes[ZrPipeSlot::OutIsocKeepAlive] &&
                    ((mPipes[ZrPipeSlot::BulkIn] && mPipes[ZrPipeSlot::BulkIn]->isBulkIn()) ||
                     (mPipes[ZrPipeSlot::BulkOut] && mPipes[ZrPipeSlot::BulkOut]->isBulkOut())))
                    mIsocStreaming.rtsIsocAudioRunKeepAlive();
                return true;
            }
            if (mPipes[ZrPipeSlot::InterruptIn] && mPipes[ZrPipeSlot::InterruptOut]) {
                mBulkStreaming.setMeters(mInputMeter, mOutputMeter);
                return mBulkStreaming.run();
            }
            return false;
        }
        // Isochronous input with bulk output never comes from the pipe
        // choice: refused.
        if (mPipes[ZrPipeSlot::InIsoc] && mPipes[ZrPipeSlot::BulkOut]) {
            IOLog("ZrDevice::resumeStreaming: isochronous in with bulk out refused\n");
            return false;
        }
        // The bulk side starts first; its routine is not installed: the
        // isochronous output's cycle runs its input processing.
        if (bulk) {
            mBulkStreaming.setMeters(mInputMeter, mOutputMeter);
            if (!mBulkStreaming.run(false)) return false;
        }
        if (!mIsocStreaming.start()) {
            // The frame number cannot be read: the device is gone.
            IOLog("ZrDevice::startStreaming: the bus frame is unavailable\n");
            setBadFrameNumber();
            return false;
        }
        if (!bulk)
            mRTThread.setService(&ZrIsocStreaming::rtsIsocOutIsocIn);
        else if (mPipes[ZrPipeSlot::OutIsoc] && mPipes[ZrPipeSlot::BulkIn])
            mRTThread.setService(&ZrDevice::rtsIsocOutBulkIn, this);
        return true;
    }();
    mAudioSMArea.unlock();
    if (!started) return;
    setStreamingRunning(true);
    if (mpConfigControls) mpConfigControls->onStreamingStarted();
}

void ZrDevice::rtsIsocOutBulkIn(void* device) {
    ZrDevice* self = static_cast<ZrDevice*>(device);
    if (!self || !self->mIsocStreaming.rtsBeginCycle()) return;
    self->mIsocStreaming.rtsProcessIsocOut_Std();
    self->mBulkStreaming.rtsProcessBulkIn();
    self->mIsocStreaming.rtsEndCycle();
}
