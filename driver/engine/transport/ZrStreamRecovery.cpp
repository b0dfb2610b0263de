#include "driver/engine/transport/ZrStreamRecovery.h"

#include "abi/QN_StateChange.h"
#include "driver/engine/transport/ZrIsocStreaming.h"
#include "platform/kern/IOLib.h"

bool handleStreamBroken(int stage, ZrIsocStreaming& engine, bool& wasPowerDownMode,
                        StreamRecoveryHost& host) {
    if (stage == 1) {
        if (!engine.claimStreamBroken()) return false;
        if (host.isStreamingStarted()) host.stopStreaming(true);
        if (wasPowerDownMode) host.powerDownRequests();
        host.unconfigureDevice("ZrDevice::handleStreamBroken");
        return true;
    }
    IOLog("ZrDevice::handleStreamBroken stage 2\n");
    if (host.hasDriverData()) {
        IOLog("handleStreamBroken: mDigitalLock=%d\n", int(host.digitalLock()));
        IOSleep(100);
        if (host.prepareNewConfig()) {
            host.reinitClientsForStreaming();
            host.startStreaming();
            host.stcNotify(STC_NewConfig);
        }
        if (wasPowerDownMode) {
            wasPowerDownMode = false;
            host.stcNotify(0x10000);
        }
    }
    return true;
}
