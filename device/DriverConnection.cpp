#include "device/DriverConnection.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "device/FWUpdaterDetection.h"
#include "device/ProcessNames.h"
#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"

namespace {

constexpr uint32_t kAudioClientType = 0;
constexpr uint32_t kUpdaterAbsentType = 4; // opening it tells the kernel no updater runs
constexpr uint32_t kReqAttach = 2;
constexpr uint32_t kReqDetach = 3;
constexpr uint32_t kReqClientIdentity = 27;
constexpr uint32_t kReqAnnounceProcess = 30;

// The stream names in the control block, each written once per driver load.
constexpr std::size_t kOutputNameFlag = 7028;
constexpr std::size_t kOutputName = 7040;
constexpr std::size_t kInputNameFlag = 8128;
constexpr std::size_t kInputName = 8140;
constexpr std::size_t kStreamNameSize = 64;
constexpr std::size_t kModelName = 540;
constexpr std::size_t kModelNameMax = 256;
constexpr std::size_t kModelNameKept = 63;
constexpr int kFirstReleaseWithProductNames = 12;

} // namespace

void DriverConnection::Lock::lock() {
    if (mMutex.try_lock()) return;
    hx::clock::Idle idle;
    mMutex.lock();
}

DriverConnection::DriverConnection(io_service_t service) : mService(service) {
    IOObjectRetain(mService);
    ioOpenConnection();
}

DriverConnection::~DriverConnection() {
    ioCloseConnection();
    IOObjectRelease(mService);
}

bool DriverConnection::ioOpenConnection() {
    std::lock_guard<Lock> g(mLock);
    if (mConnection) return true;
    mClientID = 0;
    if (fwUpdaterActive()) return false;
    io_connect_t connection = 0;
    if (IOServiceOpen(mService, mach_task_self(), kAudioClientType, &connection) != KERN_SUCCESS) {
        io_connect_t updater = 0;
        if (IOServiceOpen(mService, mach_task_self(), kUpdaterAbsentType, &updater) == KERN_SUCCESS)
            IOServiceClose(updater);
        if (IOServiceOpen(mService, mach_task_self(), kAudioClientType, &connection) !=
            KERN_SUCCESS) {
            mConnection = 0;
            return false;
        }
    }
    mConnection = connection;
    const uint32_t pid = uint32_t(::getpid());
    std::memcpy(mRecord.payload, &pid, sizeof pid);
    callLocked(kReqAnnounceProcess);
    if (callLocked(kReqClientIdentity)) std::memcpy(&mClientID, mRecord.payload, sizeof mClientID);

    mach_vm_address_t address = 0;
    mach_vm_size_t size = 0;
    const kern_return_t kr = IOConnectMapMemory64(mConnection, kDriverSMType, mach_task_self(),
                                                  &address, &size, kIOMapAnywhere);
    if (kr != KERN_SUCCESS || size != kDriverSMSize) {
        if (kr == KERN_SUCCESS)
            IOConnectUnmapMemory64(mConnection, kDriverSMType, mach_task_self(), address);
        ioCloseConnection();
        return false;
    }
    mDriverSM = reinterpret_cast<DriverSM*>(address);
    writeStreamNames();
    return true;
}

void DriverConnection::writeStreamNames() {
    uint8_t* sm = reinterpret_cast<uint8_t*>(mDriverSM);
    // Shared memory may lack the NUL: at most 256 bytes, cut to 63 characters.
    char model[kModelNameKept + 1] = {};
    const std::size_t length =
        ::strnlen(reinterpret_cast<const char*>(sm + kModelName), kModelNameMax);
    std::memcpy(model, sm + kModelName, std::min(length, kModelNameKept));
    const bool withProduct = GetMacOSRelease() >= kFirstReleaseWithProductNames;
    auto writeOnce = [&](std::size_t flagOffset, std::size_t nameOffset, const char* suffix) {
        uint32_t flag = 0;
        std::memcpy(&flag, sm + flagOffset, sizeof flag);
        if (flag != 0) return;
        flag = 1;
        std::memcpy(sm + flagOffset, &flag, sizeof flag);
        char name[kStreamNameSize] = {};
        if (withProduct)
            std::snprintf(name, sizeof name, "%s: %s", model, suffix);
        else
            std::snprintf(name, sizeof name, "%s", suffix);
        std::memcpy(sm + nameOffset, name, sizeof name);
    };
    writeOnce(kInputNameFlag, kInputName, "Input");
    writeOnce(kOutputNameFlag, kOutputName, "Output");
}

void DriverConnection::ioCloseConnection() {
    std::lock_guard<Lock> g(mLock);
    if (mConnection) {
        if (mDriverSM)
            IOConnectUnmapMemory64(mConnection, kDriverSMType, mach_task_self(),
                                   reinterpret_cast<mach_vm_address_t>(mDriverSM));
        mDriverSM = nullptr;
        IOServiceClose(mConnection);
        mConnection = 0;
    }
    mClientID = 0;
}

bool DriverConnection::callLocked(uint32_t req) {
    if (!mConnection) return false;
    mRecord.iReq = req;
    std::size_t outSize = sizeof mRecord;
    return IOConnectCallStructMethod(mConnection, 0, &mRecord, sizeof mRecord, &mRecord,
                                     &outSize) == KERN_SUCCESS;
}

bool DriverConnection::callDriver(uint32_t req) {
    std::lock_guard<Lock> g(mLock);
    return callLocked(req);
}

bool DriverConnection::callAttach(uint32_t frameSize) {
    std::lock_guard<Lock> g(mLock);
    mRecord.frameSize = frameSize;
    if (callLocked(kReqAttach)) {
        uint32_t slot = 0;
        std::memcpy(&slot, mRecord.payload, sizeof slot);
        mAttachedSlot = int(slot);
        return true;
    }
    mAttachedSlot = -1;
    return false;
}

bool DriverConnection::callDetach() {
    std::lock_guard<Lock> g(mLock);
    mAttachedSlot = -1;
    return callLocked(kReqDetach);
}

bool DriverConnection::callDriverAsync(bool read, void* buffer, uint32_t length, void* callback,
                                       void* refcon) {
    std::lock_guard<Lock> g(mLock);
    if (!mConnection) return false;
    uint64_t reference[8] = {};
    reference[1] = reinterpret_cast<uintptr_t>(callback);
    reference[2] = reinterpret_cast<uintptr_t>(refcon);
    const uint64_t input[3] = {read ? 1u : 0u, reinterpret_cast<uintptr_t>(buffer), length};
    const mach_port_t port =
        mNotifyPort ? IONotificationPortGetMachPort(mNotifyPort) : MACH_PORT_NULL;
    return IOConnectCallAsyncScalarMethod(mConnection, read ? 2 : 1, port, reference, 8, input, 3,
                                          nullptr, nullptr) == KERN_SUCCESS;
}
