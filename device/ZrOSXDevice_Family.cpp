// The family record the latency rules read, and the logic the device
// layer's next part fills in.
//
// The stubs below are explicit: each answers what the HX-5100 needs to run
// and records what it was given (stubCalls), so the layer that replaces
// them can be checked against what this part asks of it.
#include <cstring>

#include "abi/DeviceFamilies.h"
#include "device/ZrOSXDevice.h"

bool ZrOSXDevice::hasRouting() const {
    return false;
}

ZrDeviceFamily ZrOSXDevice::family() const {
    ZrDeviceFamily f;
    const bool usb2 = isUSB2Device();
    f.merrowCompatible = isMerrowCompatible();
    f.mrw30Compatible = isMRW30Compatible();
    f.quarnelBulk = isQuarnelBulkDevice(usb2);
    f.quarnelBulkInIsocOut = isQuarnelBulkInIsocOutDevice(usb2);
    f.sorvikFarlane1 = isSorvikFarlane1();
    f.sorvikFarlane2 = isSorvikFarlane2();
    const APIDeviceInfo& info = *mDeviceInfoRecord;
    f.hx5100Range =
        DeviceFamilies::contains(DeviceFamilies::kMixerMode, info.mVendor, info.mProduct);
    f.otherVendorListed =
        DeviceFamilies::contains(DeviceFamilies::kCoreAudioSuffix, info.mVendor, info.mProduct);
    // The second generation's listed products and their input extra.
    static const uint16_t kSorvik2Listed[] = {10, 12, 14, 16};
    static const uint32_t kSorvik2Extra[] = {15, 48, 52, 79};
    for (size_t i = 0; i < 4; ++i)
        if (isDevice(kSorvikVendorID, kSorvik2Listed[i])) f.sorvik2InputExtra = kSorvik2Extra[i];
    return f;
}

// ---- Stubs of the next part.
void ZrOSXDevice::patchDescriptor() {
    recordStub("patchDescriptor");
}

bool ZrOSXDevice::hasLowBufferFW() {
    recordStub("hasLowBufferFW");
    return false;
}

void ZrOSXDevice::KernelDriverNotificationHandler(const QN_StateChange& change) {
    recordStub("KernelDriverNotificationHandler", change.mCode, change.mParam1);
}

bool ZrOSXDevice::getRouting(int direction, int index, uint32_t& out) {
    recordStub("getRouting", uint32_t(direction), uint32_t(index));
    out = 0;
    return false;
}

bool ZrOSXDevice::setRouting(int direction, int index, uint32_t value) {
    recordStub("setRouting", uint32_t(direction) << 8 | uint32_t(index), value);
    return false;
}

bool ZrOSXDevice::getHogID(int32_t& out) {
    recordStub("getHogID");
    out = -1;
    return false;
}

// ---- Latencies: the rules by family, rate and frame size.
ZrLatencies computeLatencies(const ZrDeviceFamily& f, uint32_t rate, uint32_t frameSize,
                             bool highSpeed) {
    const int64_t R = timingRate(rate);
    const int64_t F = frameSize;
    const int64_t k = f.quarnelBulk && R < 88200 ? 3 : 4;
    int64_t L = R * (k + F / 64 + (f.mrw30Compatible ? 4 : 0)) / 1000;
    int64_t W = L + 2 * F;
    int64_t I = 150;
    if (f.mrw30Compatible)
        I = R * 3 / 1000;
    else if (f.quarnelBulk || f.quarnelBulkInIsocOut)
        I = 68;
    else if (f.merrowCompatible)
        I = highSpeed ? R / 4000 + 119 : 119;
    if (f.quarnelBulk) L -= 24;
    if (!f.quarnelBulkInIsocOut && !f.merrowCompatible)
        L += (R - 60000) / 500; // signed: truncates toward zero below 60 kHz
    const int64_t X = f.hx5100Range ? 150 : 0;
    const int64_t r = R / 1000;
    if (f.hx5100Range || f.sorvikFarlane1) {
        W += r;
        L += r;
    } else if (f.sorvikFarlane2) {
        W += 15 * r;
        L += 15 * r;
    } else if (f.otherVendorListed) {
        const int64_t extra = F < 128 ? 2 * r : r;
        W += extra;
        L += extra;
    }
    if (f.sorvikFarlane1) {
        L = F >= 1024  ? F + 523
            : F >= 512 ? F + 651
            : F >= 256 ? F + 715
            : F >= 128 ? F + 747
                       : F + 763;
        if (F < 64) L += 2;
        W += 48;
        L -= 91;
        I = 91;
    } else {
        L += X / 2;
        I += X / 2;
    }
    if (f.sorvikFarlane2) {
        int64_t G = F >= 1024  ? F + 206
                    : F >= 512 ? F + 334
                    : F >= 256 ? F + 398
                    : F >= 128 ? F + 430
                               : F + 446;
        if (F < 64) G += 2;
        L = G - 35;
        W -= 604;
        I = 35 + f.sorvik2InputExtra;
    }
    return {I, L, W};
}
