// The user-space end of one device's audio user client (type 0): opens it,
// announces the process, maps the driver shared memory (type 1, 30,744
// bytes) and sends request records. One record serves as input and output
// of every call; filling it, the call and reading the reply run under the
// connection's lock, so callers on different threads never share it (read
// replies through a RecordGuard).
#pragma once

#include <cstdint>
#include <mutex>

#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "platform/iokit/IOKitLib.h"

class DriverConnection {
public:
    // The connection's lock. A call made under it may wait on the platform
    // clock (the kernel's control requests run on bus time), so a thread
    // that has to wait for the lock stops holding virtual time still while
    // it waits: otherwise the holder's wait could never end.
    class Lock {
    public:
        void lock();
        bool try_lock() { return mMutex.try_lock(); }
        void unlock() { mMutex.unlock(); }

    private:
        std::recursive_mutex mMutex;
    };

    static constexpr uint32_t kDriverSMType = 1;
    static constexpr uint32_t kDriverSMSize = sizeof(DriverSM);

    explicit DriverConnection(io_service_t service);
    virtual ~DriverConnection();
    DriverConnection(const DriverConnection&) = delete;
    DriverConnection& operator=(const DriverConnection&) = delete;

    bool ioOpenConnection();
    void ioCloseConnection();
    bool ioIsOpen() const { return mConnection != 0; }

    bool callDriver(uint32_t req);
    bool callAttach(uint32_t frameSize);
    bool callDetach();
    bool callDriverAsync(bool read, void* buffer, uint32_t length, void* callback, void* refcon);

    io_service_t ioGetService() const { return mService; }
    io_connect_t connection() const { return mConnection; }
    uint64_t clientID() const { return mClientID; }
    DriverSM* driverSM() const { return mDriverSM; }
    int attachedSlot() const { return mAttachedSlot; }
    void setNotificationPort(IONotificationPortRef port) { mNotifyPort = port; }

    // Holds the connection's lock while the caller fills or reads the record.
    class RecordGuard {
    public:
        explicit RecordGuard(DriverConnection& c) : mLock(c.mLock), mRecord(c.mRecord) {}
        OSXDispatch& record() { return mRecord; }

    private:
        std::lock_guard<Lock> mLock;
        OSXDispatch& mRecord;
    };

private:
    // Lays shared areas in without a kernel (the device-cycle fuzz target).
    friend struct ZrOSXDeviceProbe;
    bool callLocked(uint32_t req);
    void writeStreamNames();

    Lock mLock;
    io_service_t mService;
    io_connect_t mConnection = 0;
    OSXDispatch mRecord{};
    uint64_t mClientID = 0;
    DriverSM* mDriverSM = nullptr;
    int mAttachedSlot = -1;
    IONotificationPortRef mNotifyPort = nullptr;
};
