// The helper's two roads to the device: the driver API (the kernel driver's
// device service, attach and detach) and plain USB matching of the
// interface's nub (first match, then its termination). Each road tells the
// controller; a control request reaches the device through the USB device
// interface of the connected device.
#pragma once

#include <cstdint>
#include <vector>

#include "abi/QN_DeviceDescriptor.h"
#include "abi/QN_Dispatch.h"
#include "api/QnAPITypes.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/IOUSBLib.h"

class AppObject;
class USBDevice;

class USBBridge {
public:
    // Null when the bridge cannot be made.
    static USBBridge* initWithControler(AppObject* controller);
    ~USBBridge(); // dealloc
    USBBridge(const USBBridge&) = delete;
    USBBridge& operator=(const USBBridge&) = delete;

    void setControler(AppObject* controller) { this->controller = controller; }
    void startUp();
    void IOInit();
    void IOTerm();
    IOReturn installUSBAddNotification();
    IOReturn testAddedDevice(io_service_t service);
    IOReturn USBDeviceRequestWithbRequestBmRequestTypeWValueWIndexWLengthPData(
        uint8_t bRequest, uint8_t bmRequestType, uint16_t wValue, uint16_t wIndex, uint16_t wLength,
        void* pData);
    int isUSB2Device();
    const char* getProductString();
    uint16_t getPID();

    // Test hook: the next initWithControler fails.
    static void failNextInit();

    AppObject* controler() const { return controller; }
    bool isDeviceConnected() const { return deviceConnected; }
    io_service_t connectedService() const { return usbDevice; }
    bool hasDeviceInterface() const { return deviceIntf != nullptr; }

    // Plain callbacks of the two roads.
    friend void IODriverCallback(void* context, USBDevice* device, QNAPI_CBEvent event);
    friend void DeviceAdded(void* refcon, io_iterator_t iterator);
    friend void RemoveDeviceNotification(void* refcon, io_service_t service, uint32_t messageType,
                                         void* argument);

private:
    explicit USBBridge(AppObject* controller) : controller(controller) {}

    // A device seen beside the connected one: its own interest handle and
    // service, given back when it terminates.
    struct Other {
        io_service_t service;
        io_object_t notification;
    };

    AppObject* controller;
    IOUSBDeviceInterface** deviceIntf = nullptr;
    bool streamingSuspended = false;
    mach_port_t masterPort = 0;
    IONotificationPortRef notifyPort = nullptr;
    io_iterator_t iteratorAdd = 0;
    io_object_t removeNotification = 0;
    bool deviceConnected = false;
    io_service_t usbDevice = 0;
    std::vector<Other> others;
    // Carried, never read or written by the helper.
    QN_DeviceConfiguration _cConfig{};
    QN_DigitalStatus _cDigitalStatus{};
    bool streamingSuspendedByControler = false;
    uint8_t* buffer = nullptr;
};

void IODriverCallback(void* context, USBDevice* device, QNAPI_CBEvent event);
void DeviceAdded(void* refcon, io_iterator_t iterator);
void RemoveDeviceNotification(void* refcon, io_service_t service, uint32_t messageType,
                              void* argument);
