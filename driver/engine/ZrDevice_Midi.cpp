// The device as the MIDI and control port sees it: identity, family, rate,
// the MIDI interface and its pipes, the port words and the state changes;
// and as the vendor port sees it: the family, its interface and pipes.
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/ZrProductTable.h"

uint16_t ZrDevice::ajVendorID() const {
    return mDescriptor.m_uVendor;
}

uint16_t ZrDevice::ajProductID() const {
    return mDescriptor.m_uProduct;
}

uint32_t ZrDevice::ajProductFlags() const {
    return mTraits.products;
}

bool ZrDevice::ajHasRegularMidi() const {
    return isMerrowCompatibleWithRegularMidi();
}

int ZrDevice::ajSorvikGroup() const {
    const ZrDeviceTraits& traits = mConfigurations.getIds().traits();
    return traits.isFarlane1() ? 1 : traits.isFarlane2() ? 2 : 0;
}

bool ZrDevice::ajIsBrava() const {
    return isListed(ZrProductList::BravaMaker);
}

// No product of another maker is listed for the port's own layouts: they
// take the defaults of their family.
int ZrDevice::ajOtherMaker() const {
    return 0;
}

uint32_t ZrDevice::ajSampleRate() const {
    return mpDriverSM ? mpDriverSM->mChannelSettings.Frequency : 0;
}

// The bulk protocol's interrupt variant keeps its audio in pipe where the
// bulk in pipe goes.
bool ZrDevice::ajAudioInIsInterrupt1024() const {
    ZrPipeDescriptor* in =
        mPipes[ZrPipeSlot::BulkIn] ? mPipes[ZrPipeSlot::BulkIn] : mPipes[ZrPipeSlot::InterruptIn];
    return in && in->isInterruptIn() && in->getMaxPacketSize() == 1024;
}

ZrInterfaceDescriptor* ZrDevice::ajMidiInterface() const {
    return mConfigurations.m_pcMidiInterface;
}

bool ZrDevice::ajInitPipe(ZrPipeDescriptor* pipe, const char* name) {
    return mBindings.initPipe(pipe, name);
}

IOUSBHostPipe* ZrDevice::ajGetPipe(ZrPipeDescriptor* pipe) const {
    return mBindings.getPipe(pipe);
}

void ZrDevice::ajClosePipe(ZrPipeDescriptor* pipe) {
    mBindings.closePipe(pipe);
}

// ---- The vendor port's view

bool ZrDevice::vendorIsFarlane() const {
    return mConfigurations.getIds().traits().isSorvik();
}

bool ZrDevice::vendorMatchInterface(ZrInterfaceDescriptor*& intf) {
    return mService.matchInterface(intf, true);
}

// The family's other vendor interfaces close without going back to
// alternate 0; the vendor interface does the same.
void ZrDevice::vendorCloseInterface(ZrInterfaceDescriptor* intf) {
    mBindings.closeInterface(intf, false);
}

bool ZrDevice::vendorInitPipe(ZrPipeDescriptor* pipe, const char* name) {
    return mBindings.initPipe(pipe, name);
}

void ZrDevice::vendorClosePipe(ZrPipeDescriptor* pipe) {
    mBindings.closePipe(pipe);
}

bool ZrDevice::vendorHasUSBPipe(ZrPipeDescriptor* pipe) const {
    return mBindings.getPipe(pipe) != nullptr;
}

IOReturn ZrDevice::vendorIO(ZrPipeDescriptor* pipe, IOMemoryDescriptor* buffer, uint32_t length,
                            IOUSBHostCompletion* completion, uint32_t timeoutMs) {
    IOUSBHostPipe* usbPipe = mBindings.getPipe(pipe);
    if (!usbPipe) return kIOReturnNotAttached;
    return usbPipe->io(buffer, length, completion, timeoutMs);
}

void ZrDevice::vendorAbortPipe(ZrPipeDescriptor* pipe) {
    mBindings.abort(pipe);
}
