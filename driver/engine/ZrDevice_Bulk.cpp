// The device object's side of the bulk and interrupt transports: the DMA
// register, the transport's binding to the configuration's pipes and the
// request-block arrays.
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrDeviceRequests.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"

namespace {} // namespace

bool ZrDevice::StreamHost::readDmaRegister(uint8_t& value) {
    uint32_t length = 1;
    return mDevice.mService.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqRegister,
                                             0, 0, &value, length, 1) == kIOReturnSuccess;
}

void ZrDevice::StreamHost::writeDmaRegister(uint8_t value) {
    uint32_t length = 0;
    mDevice.mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqRegister,
                                      uint16_t(int16_t(int8_t(value))), 0, nullptr, length, 1);
}

void ZrDevice::StreamHost::setPipeRates(uint32_t rate) {
    ZrPipeDescriptor* in = mDevice.pipes()[ZrPipeSlot::BulkIn]
                               ? mDevice.pipes()[ZrPipeSlot::BulkIn]
                               : mDevice.pipes()[ZrPipeSlot::InterruptIn];
    if (!in) return;
    // The Sorvik second generation runs at its fixed rate: no requests.
    if (mDevice.mConfigurations.getIds().traits().isFarlane2()) return;
    mDevice.setFrequency(in, nullptr, int(rate));
    mDevice.getFrequency(in, nullptr);
}

uint32_t ZrDevice::setAJDMAInputChannels(uint32_t inChannels) {
    return writeDmaInputChannels(mStreamHost, inChannels, isListed(ZrProductList::BulkBravaLayout));
}

void ZrDevice::initBulkRqBs(char, ZrSimpleArray& array) {
    ZrInitBulkRqBs(this, array);
}

void ZrDevice::initInterruptRqBs(char, ZrSimpleArray& array) {
    ZrInitInterruptRqBs(this, array);
}

bool ZrDevice::bulkStreamingPrepare(char) {
    const QnChannelSettings& cs = getCurrentSettings();
    BulkStreamSettings s;
    s.rate = cs.Frequency;
    s.inChannels = cs.InChannels;
    s.outChannels = cs.OutChannels;
    s.brava = isListed(ZrProductList::BulkBravaLayout);
    s.kxProduct = isListed(ZrProductList::BulkEncoderKX);
    s.selectorProduct = isListed(ZrProductList::BulkSelectorEncoder);
    s.digitalOutSelector = getAjExtData().mDigitalOutSelector;
    if (s.selectorProduct && s.digitalOutSelector >= 4) getAjExtData().mDigitalOutSelector = 0;
    s.useInterruptTransfers = mUseInterruptTransfers;
    s.quarnelBulkDevice = isQuarnelBulkDevice();
    s.bulkInIsocOut = isQuarnelBulkInIsocOutDevice();
    s.goClearStall = isListed(ZrProductList::BulkGoClearStall);
    if (mpConfigControls) s.postProcessor = mpConfigControls->inputPostProcessor();
    mBulkStreaming.attach(mpDriverData, &mInputRing, &mFramePattern);
    // The meters raise the control port's level record, input and output
    // bytes, as the isochronous input's does.
    mBulkStreaming.setLevelTargets(mAJ.levelInBytes(), mAJ.levelOutBytes(), mInputLevels);
    if (!mInputRing.isBound() && mAudioSMArea.getMemory())
        mInputRing.bind(static_cast<AudioSM*>(mAudioSMArea.getMemory()), AudioSMGeometry{});
    const bool bulk = mPipes[ZrPipeSlot::BulkIn] || mPipes[ZrPipeSlot::BulkOut];
    BulkTransport t = BulkTransport::None;
    IOUSBHostPipe* in = nullptr;
    IOUSBHostPipe* out = nullptr;
    if (bulk) {
        t = BulkTransport::Bulk;
        in = mPipes[ZrPipeSlot::BulkIn] ? mBindings.getPipe(mPipes[ZrPipeSlot::BulkIn]) : nullptr;
        out =
            mPipes[ZrPipeSlot::BulkOut] ? mBindings.getPipe(mPipes[ZrPipeSlot::BulkOut]) : nullptr;
    } else if (mPipes[ZrPipeSlot::InterruptIn] || mPipes[ZrPipeSlot::InterruptOut]) {
        t = mConfigurations.getIds().traits().isFarlane2() ? BulkTransport::InterruptFarlane
                                                           : BulkTransport::Interrupt;
        in = mPipes[ZrPipeSlot::InterruptIn] ? mBindings.getPipe(mPipes[ZrPipeSlot::InterruptIn])
                                             : nullptr;
        out = mPipes[ZrPipeSlot::InterruptOut] ? mBindings.getPipe(mPipes[ZrPipeSlot::InterruptOut])
                                               : nullptr;
    }
    if (t == BulkTransport::None) return true;
    return mBulkStreaming.configure(t, in, out, s);
}
