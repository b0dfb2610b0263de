// USBDevice's life: construction from a service, references, the control
// connection, the record transport and the state-change messages.
#include "api/USBDevice.h"

#include "abi/QN_RequestCodes.h"
#include "abi/QN_StateChange.h"
#include "api/QuarnelDriverAPI.h"
#include "platform/cf/CFNumber.h"

#include <cstring>

namespace {

// The control user client: plain (2) and the one that also puts the device
// into firmware-update mode (5).
constexpr uint32_t kControlClientType = 2;
constexpr uint32_t kControlClientExclusiveType = 5;
constexpr uint32_t kDispatchSelector = 0;

// A registry number read as a signed 16-bit value; absent or of another
// type: the fallback.
uint16_t registryShort(CFDictionaryRef properties, CFStringRef key, uint16_t fallback) {
    CFTypeRef v = CFDictionaryGetValue(properties, key);
    int16_t n = 0;
    if (!v || CFGetTypeID(v) != CFNumberGetTypeID() ||
        !CFNumberGetValue(CFNumberRef(v), kCFNumberSInt16Type, &n))
        return fallback;
    return uint16_t(n);
}

// Which QNAPI event a kernel state change raises (0: none).
QNAPI_CBEvent eventFor(uint32_t code) {
    switch (code) {
    case STC_NewConfig:
    case STC_DigiOutModeChanged:
    case STC_SampleCkSrcChanged:
    case 55:
    case 56:
        return QNAPI_CBEvent_ConfigurationChanged;
    case STC_ChannelModeChanged:
        return QNAPI_CBEvent_UserConfigurationChanged;
    case STC_ConfigurationDone:
        return QNAPI_CBEvent_HogModeChanged;
    case STC_LAUNCHCONTROLPANEL:
        return QNAPI_CBEvent_LaunchControlPanel;
    case STC_MixerValuesChanged:
        return QNAPI_CBEvent_MixerValuesChanged;
    default:
        return QNAPI_CBEvent(0);
    }
}

} // namespace

USBDevice::USBDevice(io_service_t service) {
    if (!service) return;
    mService = service;
    IOObjectRetain(mService);
    if (getIORegistryProperties() == KERN_SUCCESS && mRegistryProperties) {
        mIdProduct = registryShort(mRegistryProperties, CFSTR("idProduct"), 0xFFFF);
        mIdVendor = registryShort(mRegistryProperties, CFSTR("idVendor"), 0xFFFF);
    }
}

USBDevice::~USBDevice() {
    close();
    if (mNotification) IOObjectRelease(mNotification);
    if (mService) IOObjectRelease(mService);
    if (mRegistryProperties) CFRelease(mRegistryProperties);
}

void USBDevice::retain() {
    ++mReferences;
}

uint64_t USBDevice::release() {
    const uint64_t left = --mReferences;
    if (left == 0) delete this;
    return left;
}

kern_return_t USBDevice::getIORegistryProperties() {
    CFMutableDictionaryRef properties = nullptr;
    const kern_return_t kr =
        IORegistryEntryCreateCFProperties(mService, &properties, kCFAllocatorDefault, 0);
    if (kr != KERN_SUCCESS) return kr;
    if (mRegistryProperties) CFRelease(mRegistryProperties);
    mRegistryProperties = properties;
    return kr;
}

bool USBDevice::open(bool exclusive) {
    if (isOpen()) return true;
    if (!mService) return false;
    io_connect_t connection = 0;
    kern_return_t kr = kIOReturnError;
    if (exclusive)
        kr = IOServiceOpen(mService, mach_task_self(), kControlClientExclusiveType, &connection);
    if (kr != KERN_SUCCESS)
        kr = IOServiceOpen(mService, mach_task_self(), kControlClientType, &connection);
    if (kr != KERN_SUCCESS) {
        mConnection = 0;
        return false;
    }
    mConnection = connection;
    if (!getDriverVersion(mDriverVersion)) {
        close();
        return false;
    }
    DeviceIoControl(mConnection, 0, nullptr, 0, mDeviceString, sizeof mDeviceString, nullptr,
                    nullptr);
    DeviceIoControl(mConnection, 1, nullptr, 0, mProductName, sizeof mProductName, nullptr,
                    nullptr);
    uint64_t usb2 = 0;
    DeviceIoControl(mConnection, 39, nullptr, 0, &usb2, sizeof usb2, nullptr, nullptr);
    QN_Dispatch state{};
    state.code = EQN_GetSorvikUID;
    mDeviceState = dispatch(state, true) ? qnReadU64(&state.data, 0) : 0;
    updateSorvikConfigAndMap();
    mUSB2 = usb2 != 0;
    return true;
}

void USBDevice::close() {
    CloseHandle(mConnection);
    mConnection = 0;
}

void USBDevice::CloseHandle(uint32_t connection) {
    if (connection) IOServiceClose(connection);
}

bool USBDevice::dispatch(QN_Dispatch& record, bool checkSize) {
    if (!isOpen()) return false;
    // The record goes in and the reply comes back over it; the input is a
    // copy so the two never alias inside the call.
    const QN_Dispatch sent = record;
    size_t outSize = sizeof record;
    const kern_return_t kr = IOConnectCallStructMethod(mConnection, kDispatchSelector, &sent,
                                                       sizeof sent, &record, &outSize);
    return kr == KERN_SUCCESS && (!checkSize || outSize == sizeof record);
}

void USBDevice::ServiceInterestCallback(void* refcon, io_service_t, natural_t messageType,
                                        void* argument) {
    if (refcon) static_cast<USBDevice*>(refcon)->onServiceInterestCallback(messageType, argument);
}

void USBDevice::onServiceInterestCallback(uint32_t messageType, void* argument) {
    if (messageType != kQnStateChangeMessage || !argument) return;
    if (qnReadU32(argument, offsetof(QN_StateChange, mSize)) != sizeof(QN_StateChange)) return;
    const QNAPI_CBEvent event = eventFor(qnReadU32(argument, offsetof(QN_StateChange, mCode)));
    if (event) _qnapiReport(this, event);
}
