// What the user clients read and set on the device model: the client
// mixer's reference, channel counts, the mixer-mode products, the extra bytes
// of a client ring.
#include <string>

#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/stream/DriverData.h"

DriverData* ZrDevice::getAndRetainDriverData() {
    DriverData* dd = mpDriverData;
    if (dd) dd->retain();
    return dd;
}

void ZrDevice::setReadChannels(int in, int out) {
    if (mpConfigControls) {
        mpConfigControls->setReadChannels(in, out);
    } else if (mpDriverSM) {
        mpDriverSM->mChannelSettings.InChannels = uint32_t(in);
        mpDriverSM->mChannelSettings.OutChannels = uint32_t(out);
        if (isStreamingStarted()) setPendingChange();
    }
    getCurrentSettings().InChannels = uint32_t(in);
    getCurrentSettings().OutChannels = uint32_t(out);
}

uint32_t ZrDevice::clientRingExtraBytes() const {
    return mTraits.clientRingExtraBytes();
}

bool ZrDevice::isMixerModeProduct(int* ins, int* outs) const {
    int i = 0, o = 0;
    if (isListed(ZrProductList::MixerModeFirst)) {
        i = 4;
        o = 4;
    } else if (isListed(ZrProductList::MixerModeSecond)) {
        i = 6;
        o = 2;
    } else {
        return false;
    }
    if (ins) *ins = i;
    if (outs) *outs = o;
    return true;
}
