// The device object's side of a configuration: switching to a new channel
// setting, the choices and transports that complete a configuration, what
// goes when it goes, the sampling-frequency requests and the stream stop.
#include <cstring>
#include "driver/engine/ZrDeviceRequests.h"

#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOLib.h"

namespace {

// The interface record that holds the alternates of desc.
ZrInterfaceDescriptor* rootOf(ZrInterfaceDescriptor* desc) {
    return desc && desc->getParent() ? desc->getParent() : desc;
}

} // namespace

ZrDeviceTraits ZrDevice::getConfigTraits() const {
    ZrDeviceTraits t = mTraits;
    t.highSpeed = mIsUSB2;
    t.features = hasFeatures() ? &mFeatures : nullptr;
    t.merrowCompatible = isMerrowCompatible();
    t.mrw192Compatible = isMRW192Compatible();
    t.noDigital = ajHasNoDigital();
    t.can192k = can192();
    return t;
}

void ZrDevice::createConfigControls() {
    if (!mpDriverData || mpConfigControls) return;
    ZrConfigHooks hooks;
    hooks.request = [this](uint8_t dir, uint8_t level, uint8_t recipient, uint8_t bRequest,
                           uint16_t wValue, uint16_t wIndex, void* data, uint32_t& length,
                           int retryCount) {
        return mService.deviceRequestStd(EDirection(dir), EDRQ_Level(level),
                                         EDRQ_Recipient(recipient), bRequest, wValue, wIndex, data,
                                         length, retryCount);
    };
    hooks.setFrequency = [this](bool input, uint32_t rate) -> IOReturn {
        bool ok = input ? setFrequency(mPipes[ZrPipeSlot::InIsoc], nullptr, int(rate))
                        : setFrequency(nullptr, mPipes[ZrPipeSlot::OutIsoc], int(rate));
        return ok ? kIOReturnSuccess : kIOReturnError;
    };
    hooks.findAlternate = [this](bool input, uint32_t rate) {
        ZrInterfaceDescriptor* root =
            rootOf(input ? mConfigurations.mpInInterface : mConfigurations.mpOutInterface);
        const QnChannelSettings& s = getCurrentSettings();
        if (!root) return false;
        return root->findAlternateSetting(rate, int(input ? s.InChannels : s.OutChannels),
                                          int(input ? s.InResolution : s.OutResolution),
                                          mConfigurations.getIds()) != nullptr;
    };
    hooks.streamingBusy = [this] {
        return isStreamingStarted() && !canHandleRequestsWhileStreaming();
    };
    hooks.streamingStarted = [this] { return isStreamingStarted(); };
    hooks.stopBulkStreaming = [this] {
        if (mBulkStreaming.transport() == BulkTransport::Bulk) mBulkStreaming.bulkAudioStop(true);
    };
    hooks.reportBrokenStream = [this](uint32_t code) { stcNotifyStreaming(code, 0); };
    // Device-private: the shared word at 5416 is the user clients'
    // configuration token and is not touched here.
    hooks.setPendingChange = [this] { setPendingChange(); };
    hooks.midiStreaming = [this](bool started) {
        if (!mpUSBMidiDevice) return;
        if (started)
            mpUSBMidiDevice->start();
        else
            mpUSBMidiDevice->stop();
    };
    hooks.controlPortStreaming = [this](bool started) {
        if (started)
            mAJ.streamingStarted();
        else
            mAJ.streamingStopped();
    };
    mpConfigControls =
        std::make_unique<ZrConfigControls>(getConfigTraits(), mpDriverSM, *mpDriverData, hooks);
}

bool ZrDevice::isConfigured() const {
    return mpDriverSM &&
           audiosm::load32(AUDIOSM_CAT(mpDriverSM, DriverSM, mConfigured), __ATOMIC_ACQUIRE) != 0;
}

bool ZrDevice::isTrunk2Product() const {
    return isListed(ZrProductList::Trunk2);
}

bool ZrDevice::needsSetFrequencyRepeats() const {
    return isListed(ZrProductList::SetFrequencyRepeats);
}

bool ZrDevice::onPrepareNewConfig(const QnChannelSettings& requestedIn, uint64_t from, bool force,
                                  IOReturn* result) {
    IOLog("ZrDevice::onPrepareNewConfig from:%p\n", reinterpret_cast<void*>(uintptr_t(from)));
    if (result) *result = kIOReturnSuccess;
    if (!mpDriverSM) {
        IOLog("SM NULL\n");
        if (result) *result = kIOReturnNoMemory;
        return false;
    }
    // The request may come from user-writable memory: work on a copy.
    const QnChannelSettings requested = requestedIn;
    DriverSM& sm = *mpDriverSM;
    QnChannelSettings& current = sm.mChannelSettings;
    IOLog(".onPrepareNewConfig Frequency Current: %d, Requested: %d\n", int(current.Frequency),
          int(requested.Frequency));
    IOLog(".Config            InChannels Current: %d, Requested: %d\n", int(current.InChannels),
          int(requested.InChannels));
    IOLog(".Config           OutChannels Current: %d, Requested: %d\n", int(current.OutChannels),
          int(requested.OutChannels));
    IOLog(".Config          InResolution Current: %d, Requested: %d\n", int(current.InResolution),
          int(requested.InResolution));
    IOLog(".Config         OutResolution Current: %d, Requested: %d\n", int(current.OutResolution),
          int(requested.OutResolution));
    // A rate no device runs would reach the transports' frame arithmetic:
    // refused before anything is stopped or written.
    if (!ZrRateInRange(requested.Frequency)) {
        IOLog("onPrepareNewConfig: rate %u refused\n", unsigned(requested.Frequency));
        if (result) *result = kIOReturnBadArgument;
        return false;
    }
    if (isConfigured() && current.Frequency == requested.Frequency &&
        current.InResolution == requested.InResolution &&
        current.InChannels == requested.InChannels &&
        current.OutChannels == requested.OutChannels &&
        current.OutResolution == requested.OutResolution && !force) {
        IOLog("already configured\n");
        return false;
    }
    IOLog("configure fr:%d in:%d/%d out %d/%d\n", int(requested.Frequency),
          int(requested.InChannels), int(requested.InResolution), int(requested.OutChannels),
          int(requested.OutResolution));
    const QnChannelSettings previous = current;
    const bool wasConfigured = isConfigured();
    IOLog("onPrepareNewConfig bWasConfigured: %d\n", wasConfigured ? 1 : 0);

    if (isStreamingStarted()) stopStreaming(true);
    mService.unconfigureDevice(false, "ZrDevice::onPrepareNewConfig");

    sm.mNewConfigPending = 0;
    current = requested;
    IOReturn r = mService.reqConfigureDevice("onPrepareNewConfig");
    if (result) *result = r;
    if (r != kIOReturnSuccess) {
        IOLog("onPrepareNewConfig: reqConfigureDevice returns %d\n", int(r));
        if (wasConfigured) {
            sm.mConfigured = 0;
            sm.mNewConfigPending = 0;
            current = previous;
            const IOReturn failed = mService.getConfigureStatus();
            IOLog("Requesting status: 0x%08x\n", unsigned(failed));
            if (mService.reqConfigureDevice("onPrepareNewConfig 2") == kIOReturnSuccess) {
                IOLog("Setting status: 0x%08x\n", unsigned(failed));
                mService.setConfigureStatus(failed);
                sm.mConfigured = 1;
            }
        }
    } else {
        sm.mConfigured = 1;
    }
    mService.setChannelSettingsProperty();
    mService.setAjExtDataProperty();
    stcNotifyFromClient(STC_NewConfig, from);
    return isConfigured();
}

namespace {

// Bytes per sample of a pipe's alternate (its format's subframe size), or
// the resolution's whole bytes when the alternate carries no format.
uint32_t subframeBytesOf(ZrPipeDescriptor* pipe, uint32_t resolution) {
    if (ZrInterfaceDescriptor* intf = pipe ? pipe->getInterfaceDescriptor() : nullptr)
        for (int i = 0; i < intf->getCountAudioStreamingSpecific(); ++i) {
            ZrInterfaceDescriptorSpecificAS* as = intf->getAudioStreamingSpecific(i);
            if (as && as->isFormatType() && as->getSubframeSize()) return as->getSubframeSize();
        }
    return (resolution + 7) / 8;
}

} // namespace

bool ZrDevice::isocDataInitForPipe(ZrPipeDescriptor* in, ZrPipeDescriptor* out,
                                   USB_DEC_FNC decoder) {
    const QnChannelSettings& cs = getCurrentSettings();
    IsocStreamSettings s;
    s.rate = cs.Frequency;
    if (in) {
        s.inChannels = cs.InChannels;
        s.inBytesPerSample = subframeBytesOf(in, cs.InResolution);
    }
    if (out) {
        s.outChannels = cs.OutChannels;
        s.outBytesPerSample = subframeBytesOf(out, cs.OutResolution);
    }
    s.decoder = decoder;
    if (mpConfigControls) s.postProcessor = mpConfigControls->inputPostProcessor();
    s.breakOnInputErrors = isMerrowCompatible() || isListed(ZrProductList::InputErrorsBreak);
    s.sorvikLayout = mConfigurations.getIds().traits().isFarlane1();
    s.bulkInput = mPipes[ZrPipeSlot::BulkIn] != nullptr;
    IOUSBHostPipe* inHandle = in ? mBindings.getPipe(in) : nullptr;
    IOUSBHostPipe* outHandle = out ? mBindings.getPipe(out) : nullptr;
    mIsocStreaming.attach(mpDriverData, &mInputRing, &mFramePattern);
    // The bandwidths the configuration's checks stored in the pipes.
    if (!mIsocStreaming.configure(mIsUSB2, inHandle, outHandle, s, in ? in->getBandwidth() : 0,
                                  out ? out->getBandwidth() : 0))
        return false;
    mFramePattern.init(s.rate, s.inBytesPerSample, s.inChannels, s.outBytesPerSample, s.outChannels,
                       mIsUSB2, mConfigurations.getIds());
    // The device's input ring takes the new layout; the kernel keeps its
    // geometry privately, whatever the shared header later says.
    if (!mInputRing.isBound() && mAudioSMArea.getMemory())
        mInputRing.bind(static_cast<AudioSM*>(mAudioSMArea.getMemory()), AudioSMGeometry{});
    if (mInputRing.isBound())
        mInputRing._init(s.inChannels ? s.inChannels : cs.OutChannels, s.rate, 0);
    return true;
}

bool ZrDevice::configurationDone(char flag, USB_DEC_FNC decoder) {
    mInputConverter = decoder;
    if (mpConfigControls) mpConfigControls->completeConfiguration(mMsWait);
    if (mPipes[ZrPipeSlot::InIsoc]) {
        ZrInterfaceDescriptor* in = mPipes[ZrPipeSlot::InIsoc]->getInterfaceDescriptor();
        IOLog("Isoc in Endpoint is 0x%02X, Interface %d \n",
              unsigned(mPipes[ZrPipeSlot::InIsoc]->getAddress()),
              in ? int(in->getInterfaceNumber()) : -1);
    }
    bool ok = true;
    if (mPipes[ZrPipeSlot::InIsoc] || mPipes[ZrPipeSlot::OutIsoc])
        ok = isocDataInitForPipe(mPipes[ZrPipeSlot::InIsoc], mPipes[ZrPipeSlot::OutIsoc],
                                 getInputConverter());
    if (mPipes[ZrPipeSlot::OutIsocKeepAlive]) {
        IOLog("found m_pcOutPipeIsocKeepAlive\n");
        if (!mIsocStreaming.configureKeepAlive(
                mIsUSB2, mBindings.getPipe(mPipes[ZrPipeSlot::OutIsocKeepAlive])))
            ok = false;
    }
    // Bulk (or interrupt) streaming with its staging buffers; counts that
    // disagree fail the configuration, as a refused alternate does.
    const bool bulk = mPipes[ZrPipeSlot::BulkIn] || mPipes[ZrPipeSlot::BulkOut];
    const bool interrupt = mPipes[ZrPipeSlot::InterruptIn] || mPipes[ZrPipeSlot::InterruptOut];
    if (ok && (bulk || interrupt) && !bulkStreamingPrepare(flag)) ok = false;
    // The feedback endpoint's values pace the isochronous output.
    if (ok && !mIsocStreaming.configureFeedback(
                  mPipes[ZrPipeSlot::InFeedback] ? mBindings.getPipe(mPipes[ZrPipeSlot::InFeedback])
                                                 : nullptr))
        ok = false;
    if (mPipes[ZrPipeSlot::BulkIn]) initBulkRqBs(0, mBulkRqBsIn);
    if (mPipes[ZrPipeSlot::BulkOut]) initBulkRqBs(0, mBulkRqBsOut);
    if (mPipes[ZrPipeSlot::InterruptIn]) initInterruptRqBs(flag, mInterruptRqBsIn);
    if (mPipes[ZrPipeSlot::InterruptOut]) initInterruptRqBs(flag, mInterruptRqBsOut);
    if (hasFeature(eSpecFeature_RawMidi) && isMerrowCompatible() && mpUSBMidiDevice)
        mpUSBMidiDevice->configurationDone();
    mAJ.configurationDone(mIsUSB2);
    // Two other makers' devices need their control interface woken once the
    // streaming side is set up.
    if (ZrInterfaceDescriptor* control = mConfigurations.m_pcControlInterface) {
        if (isListed(ZrProductList::ControlSetCurAfterConfig)) {
            uint8_t zero = 0;
            uint32_t length = 1;
            mService.deviceRequestStd(kDirOut, kLevelClass, kRecipientInterface, kZrSetCur, 0x100,
                                      0x1200, &zero, length, 5);
        } else if (isListed(ZrProductList::ControlSetInterfaceAfterConfig)) {
            uint32_t length = 0;
            mService.deviceRequestStd(kDirOut, kLevelStandard, kRecipientInterface,
                                      kUsbSetInterface, 0, uint16_t(control->getInterfaceNumber()),
                                      nullptr, length, 3);
        }
    }
    // The class-compliant controls: read from the device, then the saved
    // settings applied again.
    configureDeviceControls();
    // The HID interface's status pipe: open while configured, aborted at
    // every stop, closed when the configuration goes.
    if (ZrInterfaceDescriptor* hid = mConfigurations.m_pcHIDInterface) {
        ZrPipeDescriptor* status = hid->getInterruptInPipe();
        if (status && mBindings.initPipe(status, "m_pcHIDInterruptInPipe"))
            mPipes.set(ZrPipeSlot::StatusInterruptIn, status);
    }
    // The Olvq CPLD byte again: the configuration may have reset the port.
    if (mpConfigControls) mpConfigControls->resendOlvqCpldByte();
    if (isSorvikMapCapable()) sendSorvikChannelMap();
    if (ok && __atomic_exchange_n(&mStartPending, false, __ATOMIC_SEQ_CST))
        startConfiguredStreaming();
    return ok;
}

void ZrDevice::onUnconfigure() {
    mAJ.unconfigure();
    // The transfer records give their buffers back with the configuration
    // (the stop before it left none in use); the request blocks go too.
    mBulkStreaming.stop(true);
    mBulkStreaming.release();
    for (ZrSimpleArray* a : {&mBulkRqBsIn, &mBulkRqBsOut})
        terminateBulkRqBs(*a);
    for (ZrSimpleArray* a : {&mInterruptRqBsIn, &mInterruptRqBsOut})
        terminateInterruptRqBs(*a);
    // A suspended stream does not outlive its configuration: the next start
    // starts afresh.
    setStreamingSuspended(false);
    mPipes.clear();
    mUseInterruptTransfers = false;
    mConfigurations.forgetInterfaces();
}

void ZrDevice::startStreamAfterConfig() {
    if (mpDriverData)
        mpDriverData->reinitClientsForStreaming(getCurrentSettings(), clientRingExtraBytes());
    startStreaming();
}

IOReturn ZrDevice::checkBandwidthForPipe(ZrPipeDescriptor* pipe, int rate) {
    // A pipe whose endpoint asks for whole packets only (or says nothing of
    // it) keeps the bandwidth it has.
    if (!pipe || pipe->getMaxPacketsOnly() || !pipe->hasClassEndpoint()) return kIOReturnSuccess;
    const QnChannelSettings& cs = getCurrentSettings();
    const bool in = pipe->isIn();
    const uint32_t maxPacket =
        uint32_t(pipe->getMaxPacketSize()) * (mIsUSB2 ? pipe->getTransactions() : 1);
    // The first Sorvik generation fills every packet's header area: its
    // pipes keep their maximum.
    const bool keepMaximum = mConfigurations.getIds().traits().isFarlane1();
    const uint32_t used = ZrIsocStreaming::bandwidthInUse(
        rate ? uint32_t(rate) : cs.Frequency,
        subframeBytesOf(pipe, in ? cs.InResolution : cs.OutResolution),
        in ? cs.InChannels : cs.OutChannels, maxPacket, mIsUSB2, keepMaximum);
    const uint32_t available = ZrKernelDeviceKorvexHX5100::GetFreeBandWidth();
    pipe->setBandwidth(uint16_t(used));
    mIsocStreaming.setPipeBandwidth(mBindings.getPipe(pipe), used);
    const IOReturn result = mService.setBandwidthForPipe(pipe, used);
    IOLog("checkBandwidthForPipe availBW=%d,  uUsed=%d, returning %X\n", int(available), int(used),
          result);
    return result;
}

bool ZrDevice::setFrequency(ZrPipeDescriptor* in, ZrPipeDescriptor* out, int rate) {
    ZrPipeDescriptor* pipe = in ? in : out;
    if (!pipe || pipe->getAddress() == 0) return false;
    if (mConfigurations.getIds().traits().isSorvik()) return rate == 48000;
    if (isTrunk2Product()) return true;
    if (rate < 0 || !ZrRateInRange(uint32_t(rate))) return false;
    const uint16_t index = pipe->getAddress();
    auto send = [&]() {
        uint8_t b[3] = {uint8_t(rate), uint8_t(rate >> 8), uint8_t(rate >> 16)};
        uint32_t length = sizeof b;
        return mService.deviceRequestStd(kDirOut, kLevelClass, kRecipientEndpoint, kZrSetCur,
                                         kZrSamplingFrequencyControl, index, b, length, 5);
    };
    return ZrSendSetCur(send, needsSetFrequencyRepeats()) == kIOReturnSuccess;
}

uint32_t ZrDevice::getFrequency(ZrPipeDescriptor* in, ZrPipeDescriptor* out) {
    if (mConfigurations.getIds().traits().isSorvik()) return 48000;
    if (isListed(ZrProductList::NoFrequencyReading)) return 0;
    ZrPipeDescriptor* pipe = in ? in : out;
    if (!pipe || pipe->getAddress() == 0) return 0;
    uint8_t b[3] = {};
    uint32_t length = sizeof b;
    if (mService.deviceRequestStd(kDirIn, kLevelClass, kRecipientEndpoint, kZrGetCur,
                                  kZrSamplingFrequencyControl, pipe->getAddress(), b, length,
                                  5) != kIOReturnSuccess)
        return 0;
    return ZrDecodeSamplingFrequency(b, length);
}

void ZrDevice::startupHalVardTrunk2() {
    if (!isTrunk2Product()) return;
    for (int round = 0; round < 100; ++round) {
        if (round > 0) IOSleep(300);
        uint8_t b = 0;
        uint32_t length = 1;
        IOReturn r = mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice,
                                               kReqTrunk2Status, 1, 1, &b, length, 5);
        IOLog("TRunk2 request return: %d\n", int(r));
        if (r == kIOReturnSuccess && length == 1 && b == 2) return;
    }
}

void ZrDevice::stopStreaming(bool wait) {
    // The vendor port's transfers end first (USB-MIDI stops with the
    // stream's hooks below). The transport removes the real-time service
    // (behind its barrier when waiting), cancels its request blocks and
    // aborts its pipes; the other pipes are aborted here, and the vendor
    // port's once more, for a transfer started meanwhile.
    mVendorAsyncPort.abortOwner(wait);
    setStreamingRunning(false);
    // The bulk and interrupt transports (the MRW30 interrupt stop among
    // them) first: pipes aborted, then, waiting, until no record is in
    // use. Their out records are filled by the real-time service after
    // they are queued, so none may still go out once the service is gone
    // (the isochronous streams' stop removes it and may wait for blocks).
    mBulkStreaming.stop(wait);
    mIsocStreaming.stopTransport(wait);
    for (ZrPipeSlot slot : {ZrPipeSlot::InFeedback, ZrPipeSlot::StatusInterruptIn,
                            ZrPipeSlot::OutIsocKeepAlive, ZrPipeSlot::BulkIn, ZrPipeSlot::BulkOut,
                            ZrPipeSlot::InterruptIn, ZrPipeSlot::InterruptOut})
        if (ZrPipeDescriptor* p = mPipes[slot]) mBindings.abort(p);
    mVendorAsyncPort.abortOwner(false);
    // The control port hears of the stop and gets time to settle before the
    // stream's own stop hooks run.
    mAJ.streamingStopped();
    if (wait) IOSleep(100);
    if (mpConfigControls) mpConfigControls->onStreamingStopped();
}
