// The user-space device object, as far as discovery needs it: its
// connection, opened by init, and its service-interest callback. The full
// device object (rings, formats, the audio thread) replaces this; until then
// every state change it is not told to act on is recorded (stubTrace).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "abi/QN_StateChange.h"
#include "device/DriverConnection.h"
#include "libs/tools/ZrObject.h"

class DeviceManagerClient;
class OSXDeviceManager;

class ZrOSXDevice : public ZrObject, public DriverConnection {
public:
    ZrOSXDevice(void* plugIn, DeviceManagerClient* client, io_service_t service, OSXDeviceManager* manager);
    ~ZrOSXDevice() override;

    // Opens the connection: false when it cannot be opened.
    bool init();
    // Told by the manager that it leaves the list.
    void willBeRemoved() { mRemoved = true; }
    bool removed() const { return mRemoved; }

    // The interest callback registered for the device's service.
    static void serviceInterest(void* refcon, io_service_t service, natural_t messageType, void* argument);
    io_object_t* interestNotification() { return &mInterest; }

    // What the stub received and did not act on: message type and code.
    struct Trace {
        uint32_t messageType;
        uint32_t code;
    };
    std::vector<Trace> stubTrace() const;

private:
    OSXDeviceManager* mManager;
    io_object_t mInterest = 0;
    bool mRemoved = false;
    mutable std::mutex mTraceLock;
    std::vector<Trace> mTrace;
};
