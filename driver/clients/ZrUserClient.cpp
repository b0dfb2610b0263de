// What the four clients share: the dispatch lock guard, the kernel device
// they hold, and the audio and audio-server clients' own ring with its
// attachment to the device's client mixing.
#include <cstring>

#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"

// ---- UserDispLock

UserDispLock::~UserDispLock() {
    if (mDevice) {
        mDevice->dispatchLock().unlock();
        ZrKernelDeviceKorvexHX5100* d = mDevice;
        mDevice = nullptr;
        d->release();
    }
}

bool UserDispLock::_lock(ZrKernelDeviceKorvexHX5100* device, const char* caller) {
    if (mDevice || !device) return false;
    device->retain();
    if (!device->dispatchLock().lockMutex(caller)) {
        device->release();
        return false;
    }
    mDevice = device;
    return true;
}

// ---- ZrUserClient

OSDefineAbstractMetaClass(ZrUserClient, IOUserClient) ZrUserClient::ZrUserClient() = default;
ZrUserClient::~ZrUserClient() = default;

ZrDevice* ZrUserClient::device() const {
    return mKernelDevice ? mKernelDevice->getDevice() : nullptr;
}

uint64_t ZrUserClient::identity() const {
    return mKernelDevice ? mKernelDevice->clientIdentifier(this) : 0;
}

bool ZrUserClient::startOnDevice(IOService* provider) {
    if (!IOUserClient::start(provider)) return false;
    auto* kd = OSDynamicCast(ZrKernelDeviceKorvexHX5100, provider);
    if (!kd) return false;
    kd->retain();
    mKernelDevice = kd;
    return kd->getDevice() != nullptr;
}

void ZrUserClient::leaveDevice() {
    ZrKernelDeviceKorvexHX5100* kd = mKernelDevice;
    if (!kd) return;
    kd->userClientListClientClosed(this);
    mKernelDevice = nullptr;
    kd->release();
}

IOReturn ZrUserClient::serveOSXDispatch(const char* who, uint8_t* rec) {
    const uint32_t req = qnReadU32(rec, 0);
    UserDispLock lock;
    if (!lock._lock(mKernelDevice, who)) {
        IOLog("%s aborted. inStruct->iReq:%d", who, int(req));
        return kIOReturnCannotLock;
    }
    if (!device()) return kIOReturnNotAttached;
    return serveRequest(req, rec);
}

// ---- ZrStreamingClient

OSDefineAbstractMetaClass(ZrStreamingClient,
                          ZrUserClient) ZrStreamingClient::ZrStreamingClient() = default;
ZrStreamingClient::~ZrStreamingClient() = default;

bool ZrStreamingClient::startStreaming(IOService* provider) {
    if (!startOnDevice(provider)) return false;
    mDriverData = device()->getAndRetainDriverData();
    return mDriverData != nullptr;
}

void ZrStreamingClient::dropDriverData() {
    if (mDriverData) {
        mDriverData->release();
        mDriverData = nullptr;
    }
}

void ZrStreamingClient::freeOwnAreas() {
    // Never while the mixer may read the ring.
    if (mDriverData && mDriverData->isClientAttached(this)) mDriverData->detachClient(this);
    mpAudioSM = nullptr;
    mAudioSMArea.term(true);
    mpAsyncData = nullptr;
    mAsyncArea.term(true);
}

bool ZrStreamingClient::initAudioSM() {
    if (!mpAudioSM && mAudioSMArea.init(kAudioSMTotalBytes))
        mpAudioSM = static_cast<AudioSM*>(mAudioSMArea.getMemory());
    return mpAudioSM != nullptr;
}

SharedMemory* ZrStreamingClient::areaForType(uint32_t type, bool* served) {
    *served = servesType(type);
    ZrDevice* dev = device();
    if (!*served || !dev) return nullptr;
    switch (type) {
    case kMemoryDriverSM:
        return &dev->getDriverSMArea();
    case kMemoryDeviceAudioSM:
        return &dev->getAudioSMArea();
    case kMemoryClientAudioSM:
        return initAudioSM() ? &mAudioSMArea : nullptr;
    case kMemoryVendorAsync:
        return &dev->getVendorAsyncArea();
    case kMemoryClientAsync:
        if (auto* a = OSDynamicCast(AudioUserClientKorvexHX5100, this)) return a->initAsyncData();
        return nullptr;
    default:
        return nullptr;
    }
}

IOReturn ZrStreamingClient::clientMemoryForType(UInt32 type, IOOptionBits* options,
                                                IOMemoryDescriptor** memory) {
    if (memory) *memory = nullptr;
    if (options) *options = 0;
    bool served = false;
    SharedMemory* area = areaForType(type, &served);
    if (!served) return kIOReturnNoMemory;
    // Without a device (or its area) the answer is success with no memory.
    if (area && memory && area->getMemory()) area->getMemory(memory);
    return kIOReturnSuccess;
}

IOMemoryMap* ZrStreamingClient::mapClientMemory(IOOptionBits type, task_t task,
                                                IOOptionBits mapFlags, IOVirtualAddress atAddress) {
    bool served = false;
    SharedMemory* area = areaForType(type, &served);
    if (!area || !area->getMemory()) return nullptr;
    return area->map(task, mapFlags, atAddress);
}

bool ZrStreamingClient::initIOData(AudioSMGeometry* laidOut) {
    ZrDevice* dev = device();
    if (!mpAudioSM || !dev) {
        if (mAudioServer) IOLog(!mpAudioSM ? "No out shared memory\n" : "No driver or no device\n");
        return false;
    }
    const QnChannelSettings s = dev->getCurrentSettings();
    const uint32_t channels =
        (s.OutChannels == 0 && s.InChannels != 0) ? s.InChannels : s.OutChannels;
    *laidOut = mpAudioSM->_init(channels, s.Frequency, dev->clientRingExtraBytes());
    return true;
}

IOReturn ZrStreamingClient::attachRing(uint32_t tag, int& slot, uint32_t frameSize) {
    slot = -1;
    if (!mKernelDevice || !mDriverData) return kIOReturnNoDevice;
    if (!mpAudioSM) return kIOReturnNoMemory;
    if (mDriverData->isClientAttached(this)) return kIOReturnBusy;
    if (!device()) return kIOReturnSuccess;
    AudioSMGeometry g{};
    if (!initIOData(&g)) return kIOReturnNotAttached;
    if (!mDriverData->attachClient(this, mpAudioSM, int(tag), slot, frameSize, identity(), &g)) {
        slot = -1;
        return kIOReturnNotAttached;
    }
    device()->stcNotifyFromClient(STC_ClientAttached, identity(),
                                  uint32_t(mDriverData->countClients()));
    return kIOReturnSuccess;
}

IOReturn ZrStreamingClient::detachRing() {
    if (!mDriverData) return kIOReturnNoDevice;
    if (!mDriverData->isClientAttached(this)) return kIOReturnNotAttached;
    mDriverData->detachClient(this);
    if (mKernelDevice && device())
        device()->stcNotifyFromClient(STC_ClientDetached, identity(),
                                      uint32_t(mDriverData->countClients()));
    return kIOReturnSuccess;
}

bool ZrUserClientsRegistered() {
    return AudioUserClientKorvexHX5100::gMetaClass.isRegistered() &&
           ASClientKorvexHX5100::gMetaClass.isRegistered() &&
           CtrlUserClientKorvexHX5100::gMetaClass.isRegistered() &&
           MidiUserClientKorvexHX5100::gMetaClass.isRegistered();
}
