#include "device/ZrOSXDevice.h"

#include "device/OSXDeviceManager.h"

namespace {

constexpr uint32_t kStateOtherOwner = 16;      // another process opened the device for itself
constexpr uint32_t kStateDeviceGone = 0xFFFFFFFF;

}  // namespace

ZrOSXDevice::ZrOSXDevice(void*, DeviceManagerClient*, io_service_t service, OSXDeviceManager* manager)
    : DriverConnection(service), mManager(manager)
{
}

ZrOSXDevice::~ZrOSXDevice()
{
    if (mInterest)
        IOObjectRelease(mInterest);
}

bool ZrOSXDevice::init() { return ioGetService() != 0 && ioOpenConnection(); }

void ZrOSXDevice::serviceInterest(void* refcon, io_service_t, natural_t messageType, void* argument)
{
    auto* self = static_cast<ZrOSXDevice*>(refcon);
    uint32_t code = 0;
    if (messageType == kQnStateChangeMessage && argument)
        code = static_cast<const QN_StateChange*>(argument)->mCode;
    if (messageType == kQnStateChangeMessage && (code == kStateOtherOwner || code == kStateDeviceGone)) {
        self->mManager->removeDevice(self);
        return;
    }
    std::lock_guard<std::mutex> g(self->mTraceLock);
    self->mTrace.push_back({messageType, code});
}

std::vector<ZrOSXDevice::Trace> ZrOSXDevice::stubTrace() const
{
    std::lock_guard<std::mutex> g(mTraceLock);
    return mTrace;
}
