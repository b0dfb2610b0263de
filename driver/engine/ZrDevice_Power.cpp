// System sleep and wake-up of the kernel service. Before the system sleeps
// the clients are told, streaming stops, the device is unconfigured and put
// into deep sleep; after wake-up the clients are told to rebuild the stream,
// which stream recovery then does.
//
// The power callbacks run on the power manager's thread and take the
// dispatch lock around the work, so a sleep never unconfigures under a
// request that is configuring. A lock refused because the service
// terminates means nothing is done.

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOService.h"

namespace {

constexpr IOPMPowerFlags kSleepFlag = 0x4;
constexpr IOPMPowerFlags kWakeFlag = 0x2;
constexpr IOPMPowerFlags kWakeFlagOldSystems = 0x80;
constexpr unsigned long kSleepState = 2;
constexpr unsigned long kFirstWakeState = 3;
constexpr int kReleaseWithoutWakeFlag = 12; // from this release on, 0x80 is not needed

} // namespace

IOReturn ZrKernelDeviceKorvexHX5100::powerStateWillChangeTo(IOPMPowerFlags flags,
                                                            unsigned long state,
                                                            IOService* service) {
    IOLog(" KERNELDEVICECLASS::powerStateWillChangeTo pmFlags:%d ul:%d pService:%p "
          "mpSystemSuspended:%d\n",
          int(flags), int(state), static_cast<void*>(service), int(isSystemSuspended()));
    if ((flags & kSleepFlag) && state == kSleepState && !isSystemSuspended()) {
        if (mDispatchLock.lockMutex("KERNELDEVICECLASS::powerStateWillChangeTo")) {
            systemSleep();
            mDispatchLock.unlock();
        }
    }
    const IOReturn r = IOService::powerStateWillChangeTo(flags, state, service);
    IOLog("...super::powerStateWillChangeTo returned %08X\n", unsigned(r));
    return r;
}

IOReturn ZrKernelDeviceKorvexHX5100::powerStateDidChangeTo(IOPMPowerFlags flags,
                                                           unsigned long state,
                                                           IOService* service) {
    // The kernel's major version (the emulated release, 19 by default).
    const int release = version_major;
    IOLog(" KERNELDEVICECLASS::powerStateDidChangeTo pmFlags:%d ul:%d pService:%p "
          "mpSystemSuspended:%d system "
          "version=%d\n",
          int(flags), int(state), static_cast<void*>(service), int(isSystemSuspended()),
          int(release));
    const IOReturn r = IOService::powerStateDidChangeTo(flags, state, service);
    IOLog("...super::powerStateDidChangeTo returned %08X\n", unsigned(r));
    if ((flags & kWakeFlag) && state >= kFirstWakeState &&
        (release >= kReleaseWithoutWakeFlag || (flags & kWakeFlagOldSystems))) {
        IOLog("USB: Power ON(wake up)\n");
        if (isSystemSuspended() && r == kIOReturnSuccess && !isTerminateRequested()) {
            if (mDispatchLock.lockMutex("KERNELDEVICECLASS::powerStateDidChangeTo")) {
                systemWakeUp();
                mDispatchLock.unlock();
            }
        }
    }
    return r;
}

void ZrKernelDeviceKorvexHX5100::systemSleep() {
    IOLog("USB: Power OFF(sleep)\n");
    if (isSystemSuspended()) return;
    __atomic_store_n(&mpSystemSuspended, true, __ATOMIC_SEQ_CST);
    if (m_pDevice) m_pDevice->stcNotifyStreaming(STC_SystemSleep, 0);
    IOLog("USB: Power OFF(stopStreaming)\n");
    if (m_pDevice) m_pDevice->stopStreaming(true);
    IOSleep(100);
    IOLog("USB: Power OFF(unconfigure_Device)\n");
    unconfigure_Device("KERNELDEVICECLASS::systemSleep");
    IOSleep(100);
    IOLog("USB: Power OFF(sendDeepSleep)\n");
    if (m_pDevice) m_pDevice->sendDeepSleep();
    IOSleep(100);
}

void ZrKernelDeviceKorvexHX5100::systemWakeUp() {
    bool suspended = true;
    if (!__atomic_compare_exchange_n(&mpSystemSuspended, &suspended, false, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST))
        return;
    if (m_pDevice) {
        m_pDevice->setWasPowerDownMode();
        m_pDevice->stcNotifyStreaming(STC_SystemWakeUp, 0);
    }
}
