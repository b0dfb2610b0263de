#include "apps/helper/USBBridge.h"

#include <cstdio>
#include <cstring>

#include "abi/ProductIdentities.h"
#include "abi/ServiceClass.h"
#include "api/QuarnelDriverAPI.h"
#include "api/USBDevice.h"
#include "apps/helper/AppObject.h"
#include "platform/base/MacErrors.h"
#include "platform/cf/CFNumber.h"

namespace {

// The driver-API device in use and its descriptor.
USBDevice* _ioDevice = nullptr;
QN_DeviceDescriptor _ioDescriptor{};

bool gFailNextInit = false;

constexpr uint32_t kServiceTerminated = 0xE0000010;
constexpr IOReturn kNoDeviceInterface = IOReturn(0xE00002D9);
constexpr IOReturn kNoMatchingDictionary = IOReturn(0xE00002BC);

} // namespace

USBBridge* USBBridge::initWithControler(AppObject* controller) {
    if (gFailNextInit) {
        gFailNextInit = false;
        return nullptr;
    }
    return new USBBridge(controller);
}

void USBBridge::failNextInit() {
    gFailNextInit = true;
}

USBBridge::~USBBridge() {
    if (deviceIntf) (*deviceIntf)->Release(deviceIntf);
    deviceIntf = nullptr;
    // Nothing may call back into a bridge that is gone.
    if (notifyPort) {
        CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(notifyPort);
        if (source) CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    }
    for (const Other& o : others) {
        IOObjectRelease(o.notification);
        IOObjectRelease(o.service);
    }
    if (removeNotification) IOObjectRelease(removeNotification);
    if (usbDevice) IOObjectRelease(usbDevice);
    if (iteratorAdd) IOObjectRelease(iteratorAdd);
    if (notifyPort) IONotificationPortDestroy(notifyPort);
}

void USBBridge::startUp() {
    streamingSuspended = false;
    IOInit();
    installUSBAddNotification();
}

void USBBridge::IOInit() {
    _ioDevice = nullptr;
    _ioDescriptor.clear();
    GUID guid{};
    std::strncpy(guid.name, kZrServiceClassName, sizeof guid.name - 1);
    qnapiInit(IODriverCallback, this, guid);
}

void USBBridge::IOTerm() {
    if (_ioDevice) {
        _ioDevice->close();
        _ioDevice->release();
        _ioDevice = nullptr;
    }
    qnapiTerm();
}

IOReturn USBBridge::installUSBAddNotification() {
    std::printf("Starting USB handler...\n");
    kern_return_t kr = IOMasterPort(bootstrap_port, &masterPort);
    if (kr != KERN_SUCCESS || !masterPort) {
        std::printf("IOMasterPort returned %d\n", kr);
        return kr;
    }
    CFMutableDictionaryRef matching = IOServiceMatching("IOUSBDevice");
    if (!matching) {
        std::printf("IOServiceMatching returned a NULL dictionary.\n");
        return kNoMatchingDictionary;
    }
    SInt32 vendor = kKorvexVendorID, product = kKorvexHX5100ProductID;
    CFNumberRef number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &vendor);
    if (!number) {
        std::printf("Error creating CFNumberRef for vendor\n");
        CFRelease(matching);
        return -1;
    }
    CFDictionarySetValue(matching, CFSTR("idVendor"), number);
    CFRelease(number);
    number = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &product);
    if (!number) {
        std::printf("Error creating CFNumberRef for product\n");
        CFRelease(matching);
        return -1;
    }
    CFDictionarySetValue(matching, CFSTR("idProduct"), number);
    CFRelease(number);
    notifyPort = IONotificationPortCreate(masterPort);
    kr = IOServiceAddMatchingNotification(notifyPort, kIOFirstMatchNotification, matching,
                                          DeviceAdded, this, &iteratorAdd);
    if (kr != KERN_SUCCESS) {
        std::printf("IOServiceAddMatchingNotification returned %d\n", kr);
        return kr;
    }
    // Reports what is there already and arms the notification.
    DeviceAdded(this, iteratorAdd);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(notifyPort),
                       kCFRunLoopDefaultMode);
    return KERN_SUCCESS;
}

IOReturn USBBridge::testAddedDevice(io_service_t service) {
    IOCFPlugInInterface** plugIn = nullptr;
    SInt32 score = 0;
    IOReturn kr = IOCreatePlugInInterfaceForService(service, kIOUSBDeviceUserClientTypeID,
                                                    kIOCFPlugInInterfaceID, &plugIn, &score);
    if (kr != kIOReturnSuccess || !plugIn) {
        std::printf("--unable to create plugin err 0x%x\n", unsigned(kr));
        return kr != kIOReturnSuccess ? kr : kIOReturnError;
    }
    IOUSBDeviceInterface** dev = nullptr;
    const HRESULT res = (*plugIn)->QueryInterface(
        plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID), reinterpret_cast<LPVOID*>(&dev));
    bool kept = false;
    if (res != S_OK || !dev) {
        kr = kIOReturnError;
    } else {
        io_string_t path;
        CFMutableDictionaryRef properties = nullptr;
        io_object_t notification = 0;
        kr = IORegistryEntryGetPath(service, "IOService", path);
        if (kr != KERN_SUCCESS) {
            std::printf("--Couldn't get IORegistryEntryGetPath err 0x%x\n", unsigned(kr));
        } else if ((kr = IORegistryEntryCreateCFProperties(service, &properties,
                                                           kCFAllocatorDefault, 0)),
                   !properties) {
            std::printf("--Couldn't create properties err 0x%x\n", unsigned(kr));
            if (kr == KERN_SUCCESS) kr = kIOReturnError;
        } else {
            CFRelease(properties);
            std::printf("Audio Interface connected...\n");
            kr = IOServiceAddInterestNotification(notifyPort, service, kIOGeneralInterest,
                                                  RemoveDeviceNotification, this, &notification);
            if (kr != KERN_SUCCESS) {
                std::printf("IOServiceAddInterestNotification returned %08x\n", unsigned(kr));
            } else {
                if (!deviceConnected) {
                    usbDevice = service;
                    deviceIntf = dev;
                    removeNotification = notification;
                    deviceConnected = true;
                    kept = true;
                } else {
                    others.push_back(Other{service, notification});
                }
                if (controller) controller->usbConnect();
            }
        }
    }
    // A device interface nobody kept goes with the plug-in object.
    if (dev && !kept) (*dev)->Release(dev);
    IODestroyPlugInInterface(plugIn);
    return kr;
}

IOReturn USBBridge::USBDeviceRequestWithbRequestBmRequestTypeWValueWIndexWLengthPData(
    uint8_t bRequest, uint8_t bmRequestType, uint16_t wValue, uint16_t wIndex, uint16_t wLength,
    void* pData) {
    if (!deviceIntf) return kNoDeviceInterface;
    IOUSBDevRequest request{bmRequestType, bRequest, wValue, wIndex, wLength, pData, 0};
    return (*deviceIntf)->DeviceRequest(deviceIntf, &request);
}

int USBBridge::isUSB2Device() {
    return _ioDevice ? (_ioDevice->isUSB2Device() ? 1 : 0) : -1;
}

const char* USBBridge::getProductString() {
    return _ioDevice ? _ioDevice->getProductString() : nullptr;
}

uint16_t USBBridge::getPID() {
    return _ioDescriptor.m_uProduct;
}

void IODriverCallback(void* context, USBDevice* device, QNAPI_CBEvent event) {
    auto* bridge = static_cast<USBBridge*>(context);
    switch (event) {
    case QNAPI_CBEvent_DeviceAttached:
        std::printf("IODriverCallback Device attached...\n");
        if (!device || _ioDevice) return;
        _ioDevice = device;
        _ioDevice->retain();
        if (!_ioDevice->open(false)) {
            _ioDevice->release();
            _ioDevice = nullptr;
            return;
        }
        _ioDescriptor.clear();
        _ioDevice->getDeviceDescriptor(_ioDescriptor);
        if (bridge && bridge->controller) bridge->controller->driverConnect();
        return;
    case QNAPI_CBEvent_DeviceDetached:
        std::printf("IODriverCallback Device detached...\n");
        if (!device || device != _ioDevice) return;
        _ioDescriptor.clear();
        _ioDevice->close();
        _ioDevice->release();
        _ioDevice = nullptr;
        if (bridge && bridge->controller) bridge->controller->driverDisconnect();
        return;
    default:
        return;
    }
}

void DeviceAdded(void* refcon, io_iterator_t iterator) {
    auto* bridge = static_cast<USBBridge*>(refcon);
    while (io_service_t service = IOIteratorNext(iterator)) {
        if (bridge->testAddedDevice(service) != kIOReturnSuccess)
            IOObjectRelease(service);
        else
            std::printf("Device 0x%08x added.\n", unsigned(service));
    }
}

void RemoveDeviceNotification(void* refcon, io_service_t service, uint32_t messageType, void*) {
    if (messageType != kServiceTerminated) return;
    auto* bridge = static_cast<USBBridge*>(refcon);
    std::printf("Device 0x%08x removed.\n", unsigned(service));
    if (service != bridge->usbDevice || !bridge->deviceConnected) {
        // A device beside the connected one: only its own handle and service go.
        for (auto it = bridge->others.begin(); it != bridge->others.end(); ++it) {
            if (it->service != service) continue;
            const USBBridge::Other gone = *it;
            bridge->others.erase(it);
            IOObjectRelease(gone.notification);
            IOObjectRelease(gone.service);
            break;
        }
        return;
    }
    if (bridge->deviceIntf) (*bridge->deviceIntf)->Release(bridge->deviceIntf);
    IOObjectRelease(bridge->removeNotification);
    IOObjectRelease(bridge->usbDevice);
    bridge->removeNotification = 0;
    bridge->usbDevice = 0;
    bridge->deviceConnected = false;
    bridge->streamingSuspended = false;
    bridge->deviceIntf = nullptr;
    if (bridge->controller) bridge->controller->usbDisconnect();
}
