// Quiescing the audio thread and the client slot's words. Frame sizes, IO
// buffers and hardware preparation are the device logic's operations; the
// device serves them as their host (_Host).
#include "device/ZrOSXDevice.h"
#include "platform/base/HXClock.h"

namespace {

constexpr uint64_t kHeartbeatPollNanos = 1000000;

} // namespace

// Stops cycles before what they use changes: the state goes to 0 (the caller
// holds the attach lock, or takes it here) and the audio thread must begin a
// new pass, however long that takes: the pass in flight has ended then.
void ZrOSXDevice::quiesceCycles() {
    if (holdsAttachLock()) {
        mThreadState = 0;
    } else {
        IntSpinLock lock(&mAttachLock);
        mThreadState = 0;
    }
    if (onAudioThread()) return;
    const int32_t start = mHeartbeat.load();
    while (IsRunning() && mHeartbeat.load() == start)
        hx::clock::sleepFor(kHeartbeatPollNanos);
}

void ZrOSXDevice::writeSlotWord(uint32_t offset, uint32_t value) {
    DriverSM* sm = driverSM();
    const int slot = attachedSlot();
    if (!sm || slot < 0 || slot >= 8) return;
    audiosm::store32(reinterpret_cast<char*>(sm) + offsetof(DriverSM, mClients) +
                         size_t(slot) * sizeof(ClientData) + offset,
                     value);
}

uint32_t ZrOSXDevice::readSlotWord(uint32_t offset) const {
    const DriverSM* sm = driverSM();
    const int slot = attachedSlot();
    if (!sm || slot < 0 || slot >= 8) return 0;
    return audiosm::load32(reinterpret_cast<const char*>(sm) + offsetof(DriverSM, mClients) +
                           size_t(slot) * sizeof(ClientData) + offset);
}
