#include "driver/engine/config/ZrFrequencyRequests.h"

#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"

uint32_t ZrDecodeSamplingFrequency(const uint8_t* reply, uint32_t length) {
    if (!reply || length < 3) return 0;
    uint32_t rate = reply[0] | uint32_t(reply[1]) << 8 | uint32_t(reply[2]) << 16;
    if (rate == 22664)
        rate = 88200;
    else if (rate == 30464)
        rate = 96000;
    return ZrRateInRange(rate) ? rate : 0;
}

IOReturn ZrSendSetCur(const std::function<IOReturn()>& send, bool repeat, int* tries) {
    const uint64_t first = hx::clock::nowNanos();
    IOReturn r = send();
    int n = 1;
    for (int more = 0; repeat && r != kIOReturnSuccess && more < kZrSetCurRepeats; ++more) {
        if (hx::clock::nowNanos() - first >= kZrSetCurCapNanos) break;
        IOSleep(kZrSetCurPauseMs);
        if (hx::clock::nowNanos() - first >= kZrSetCurCapNanos) break;
        r = send();
        ++n;
    }
    if (tries) *tries = n;
    return r;
}
