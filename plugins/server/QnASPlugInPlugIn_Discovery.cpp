// Discovery of the kernel device services: IOKit matching on the kernel
// driver's service class makes a device object per published service, each
// listed device keeps its interest and system-power registrations, a
// terminated service retires its device, and the kernel's state changes and
// the system's sleep and wake messages reach the device they concern. Every
// notification arrives on the plug-in's queue; only the first matching pass
// runs on the thread that starts the notifications.
#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/iokit/IOPMLib.h"
#include "plugins/server/CADebugMacros.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace {

constexpr const char* kServiceClass = "ZrKernelDeviceKorvexHX5100";
constexpr const char* kFirstPublish = kIOFirstPublishNotification;
constexpr OSStatus kUnspecified = OSStatus(0x77686174); // 'what'
constexpr UInt32 kStateChangeRecordBytes = 36;

std::atomic<OSStatus> gFailNextActivate{0};

void* contextOf(UInt64 inValue) {
    return reinterpret_cast<void*>(static_cast<uintptr_t>(inValue));
}

UInt64 valueOf(void* inContext) {
    return static_cast<UInt64>(reinterpret_cast<uintptr_t>(inContext));
}

// The plug-in object behind an ID, with one reference; null when none.
QnASPlugInPlugIn* copyPlugIn(UInt32 inObjectID) {
    QnASPlugInObject* object = QnASPlugInObjectMap::CopyObjectByObjectID(inObjectID);
    if (!object) return nullptr;
    auto* plugIn = dynamic_cast<QnASPlugInPlugIn*>(object);
    if (!plugIn) QnASPlugInObjectMap::ReleaseObject(object);
    return plugIn;
}

} // namespace

void QnASPlugInPlugIn::TestHook_FailNextActivate(OSStatus inStatus) {
    gFailNextActivate = inStatus;
}

void QnASPlugInPlugIn::_StartDeviceListNotifications() {
    io_iterator_t iterator = 0;
    {
        CAMutexLocker locker(mMutex);
        if (mNotificationPort || mMatchingIterator != 0) return;
        try {
            mach_port_t masterPort = 0;
            const kern_return_t master = IOMasterPort(bootstrap_port, &masterPort);
            if (master != 0) throw CAException(master);
            mNotificationPort = IONotificationPortCreate(masterPort);
            if (!mNotificationPort) throw CAException(kUnspecified);
            IONotificationPortSetDispatchQueue(mNotificationPort,
                                               mDispatchQueue.GetDispatchQueue());
            CFMutableDictionaryRef matching = IOServiceMatching(kServiceClass);
            if (!matching) throw CAException(kUnspecified);
            const kern_return_t added = IOServiceAddMatchingNotification(
                mNotificationPort, kFirstPublish, matching, &IOServiceMatchingHandler,
                contextOf(GetObjectID()), &mMatchingIterator);
            if (added != 0) throw CAException(added);
            iterator = mMatchingIterator;
        } catch (...) {
            if (mMatchingIterator != 0) {
                IOObjectRelease(mMatchingIterator);
                mMatchingIterator = 0;
            }
            if (mNotificationPort) {
                IONotificationPortDestroy(mNotificationPort);
                mNotificationPort = nullptr;
            }
            throw;
        }
    }
    // The services already present, and the notification armed.
    IOServiceMatchingHandler(contextOf(GetObjectID()), iterator);
}

void QnASPlugInPlugIn::IOServiceMatchingHandler(void* inContext, io_iterator_t inIterator) {
    QnASPlugInPlugIn* plugIn = copyPlugIn(UInt32(valueOf(inContext)));
    if (!plugIn) return;
    try {
        plugIn->HandleMatchingServices(inIterator);
    } catch (...) {
    }
    QnASPlugInObjectMap::ReleaseObject(plugIn);
}

void QnASPlugInPlugIn::HandleMatchingServices(io_iterator_t inIterator) {
    int added = 0;
    while (io_object_t service = IOIteratorNext(inIterator)) {
        if (IOObjectConformsTo(service, kServiceClass)) {
            QnASPlugInDevice* device = nullptr;
            try {
                device = new QnASPlugInDevice(QnASPlugInObjectMap::GetNextObjectID(), service);
            } catch (...) {
                device = nullptr;
            }
            if (device) {
                bool mapped = false;
                try {
                    if (!QnASPlugInObjectMap::MapObject(device->GetObjectID(), device))
                        throw CAException(kUnspecified);
                    mapped = true;
                    AddDevice(device, service);
                    if (const OSStatus failure = gFailNextActivate.exchange(0))
                        throw CAException(failure);
                    device->Activate();
                    ++added;
                } catch (...) {
                    RemoveDevice(device);
                    if (mapped)
                        QnASPlugInObjectMap::ReleaseObject(device); // deletes it
                    else
                        delete device;
                }
            }
        }
        IOObjectRelease(service);
    }
    if (added > 0) TellHostDeviceListChanged();
}

void QnASPlugInPlugIn::TellHostDeviceListChanged() {
    AudioServerPlugInHostRef host = sHost.load();
    if (!host) return;
    const AudioObjectPropertyAddress addresses[2] = {
        {kAudioObjectPropertyOwnedObjects, kAudioObjectPropertyScopeGlobal,
         kAudioObjectPropertyElementMaster},
        {kAudioPlugInPropertyDeviceList, kAudioObjectPropertyScopeGlobal,
         kAudioObjectPropertyElementMaster},
    };
    host->PropertiesChanged(host, GetObjectID(), 2, addresses);
}

// The device's registrations: general interest, its own system-power
// registration, and the service's power-state interest on the port that
// registration made. A failure of any of them refuses the device (the
// caller unlists and frees it): a null root power connection throws code 0,
// an interest registration throws its status. What this call registered
// before the failure is released with it, so a refused device leaves no
// registration behind that would outlive it.
void QnASPlugInPlugIn::AddDevice(QnASPlugInDevice* inDevice, io_service_t inService) {
    CAMutexLocker locker(mMutex);
    DeviceInfo info{inDevice->GetObjectID(), 0, 0};
    auto refuse = [&](OSStatus inStatus) {
        ReleaseRegistrations(info);
        throw CAException(inStatus);
    };
    const kern_return_t general = IOServiceAddInterestNotification(
        mNotificationPort, inService, kIOGeneralInterest, &IOServiceInterestHandler,
        contextOf(GetObjectID()), &info.mInterestNotification);
    if (general != 0) refuse(general);
    const UInt64 powerContext = (UInt64(GetObjectID()) << 32) | UInt64(inService);
    info.mRootPowerConnection =
        IORegisterForSystemPower(contextOf(powerContext), &info.mPowerPort,
                                 &IOServiceInterestHandler, &info.mSystemPowerNotifier);
    if (info.mRootPowerConnection == 0) {
        LogError("AddDevice: no system power registration for device %u\n",
                 unsigned(info.mDeviceObjectID));
        refuse(0);
    }
    const kern_return_t power = IOServiceAddInterestNotification(
        info.mPowerPort ? info.mPowerPort : mNotificationPort, inService,
        kIOPriorityPowerStateInterest, &IOServiceInterestHandler, contextOf(GetObjectID()),
        &info.mPowerStateNotification);
    if (power != 0) {
        LogError("AddDevice: no power-state interest for device %u (%08X)\n",
                 unsigned(info.mDeviceObjectID), unsigned(power));
        info.mPowerStateNotification = 0;
        refuse(power);
    }
    mRootPowerConnection = info.mRootPowerConnection;
    if (info.mPowerPort)
        IONotificationPortSetDispatchQueue(info.mPowerPort, mDispatchQueue.GetDispatchQueue());
    mDeviceInfoList.push_back(info);
}

void QnASPlugInPlugIn::ReleaseRegistrations(DeviceInfo& ioInfo) {
    if (ioInfo.mInterestNotification != 0) {
        IOObjectRelease(ioInfo.mInterestNotification);
        ioInfo.mInterestNotification = 0;
    }
    if (ioInfo.mPowerStateNotification != 0) {
        IOObjectRelease(ioInfo.mPowerStateNotification);
        ioInfo.mPowerStateNotification = 0;
    }
    if (ioInfo.mSystemPowerNotifier != 0) {
        IODeregisterForSystemPower(&ioInfo.mSystemPowerNotifier);
        ioInfo.mSystemPowerNotifier = 0;
    }
    if (ioInfo.mRootPowerConnection != 0) {
        IOServiceClose(ioInfo.mRootPowerConnection);
        ioInfo.mRootPowerConnection = 0;
    }
    if (ioInfo.mPowerPort) {
        IONotificationPortDestroy(ioInfo.mPowerPort);
        ioInfo.mPowerPort = nullptr;
    }
}

void QnASPlugInPlugIn::RemoveDevice(QnASPlugInDevice* inDevice) {
    if (!inDevice) return;
    CAMutexLocker locker(mMutex);
    const AudioObjectID deviceID = inDevice->GetObjectID();
    for (auto it = mDeviceInfoList.begin(); it != mDeviceInfoList.end(); ++it) {
        if (it->mDeviceObjectID != deviceID) continue;
        LogWarning("_RemoveDevice: found device %u\n", unsigned(deviceID));
        it->mDeviceObjectID = 0;
        LogWarning("_RemoveDevice: removed device %u\n", unsigned(deviceID));
        if (mRootPowerConnection == it->mRootPowerConnection) mRootPowerConnection = 0;
        ReleaseRegistrations(*it);
        mDeviceInfoList.erase(it);
        return;
    }
}

// Devices are asked outside the plug-in's mutex (the map's mutex comes
// first), each held by a reference of its own.
QnASPlugInDevice* QnASPlugInPlugIn::CopyDeviceByIOObject(io_service_t inService) {
    CFStringRef uid = QnASPlugInDevice::HW_CopyDeviceUID(inService);
    if (!uid) return nullptr;
    QnASPlugInDevice* found = nullptr;
    for (AudioObjectID id : CopyDeviceIDs()) {
        if (id == 0) continue;
        QnASPlugInObject* object = QnASPlugInObjectMap::CopyObjectByObjectID(id);
        if (!object) continue;
        auto* device = dynamic_cast<QnASPlugInDevice*>(object);
        if (device && device->deviceUID() && CFEqual(device->deviceUID(), uid)) {
            found = device;
            break;
        }
        QnASPlugInObjectMap::ReleaseObject(object);
    }
    CFRelease(uid);
    return found;
}

void QnASPlugInPlugIn::RetireDevice(io_service_t inService) {
    QnASPlugInDevice* device = CopyDeviceByIOObject(inService);
    if (!device) return;
    try {
        RemoveDevice(device);
        device->Deactivate();
    } catch (...) {
    }
    QnASPlugInObjectMap::ReleaseObject(device); // the map's own reference
    try {
        TellHostDeviceListChanged();
    } catch (...) {
    }
    QnASPlugInObjectMap::ReleaseObject(device); // ours: deleted on the global serial queue
}

void QnASPlugInPlugIn::IOServiceInterestHandler(void* inContext, io_service_t inService,
                                                natural_t inMessageType, void* inMessageArgument) {
    if (inService == 0 || inService == 0xFFFFFFFF) return;
    const UInt64 context = valueOf(inContext);
    const UInt32 high = UInt32(context >> 32), low = UInt32(context);
    switch (inMessageType) {
    case kIOMessageServiceIsTerminated: {
        QnASPlugInPlugIn* plugIn = copyPlugIn(low);
        if (!plugIn) return;
        try {
            plugIn->RetireDevice(inService);
        } catch (...) {
        }
        QnASPlugInObjectMap::ReleaseObject(plugIn);
        return;
    }
    case kIOMessageServicePropertyChange: {
        if (!inMessageArgument) return;
        UInt32 words[2] = {0, 0};
        std::memcpy(&words[0], inMessageArgument, sizeof words[0]);
        if (words[0] != kStateChangeRecordBytes) return;
        std::memcpy(&words[1], static_cast<const UInt8*>(inMessageArgument) + 4, sizeof words[1]);
        QnASPlugInPlugIn* plugIn = copyPlugIn(low);
        if (!plugIn) return;
        QnASPlugInDevice* device = nullptr;
        try {
            device = plugIn->CopyDeviceByIOObject(inService);
            if (!device)
                LogError("IOServiceInterestHandler, Device NULL, returning. Message was "
                         "PropertyChange:%03X\n",
                         unsigned(words[1]));
            else
                device->PropertyNotificationHandler(inMessageType, inMessageArgument);
        } catch (...) {
        }
        if (device) QnASPlugInObjectMap::ReleaseObject(device);
        QnASPlugInObjectMap::ReleaseObject(plugIn);
        return;
    }
    case kIOMessageCanSystemSleep:
    case kIOMessageSystemWillSleep:
    case kIOMessageSystemWillNotSleep:
    case kIOMessageSystemHasPoweredOn:
    case kIOMessageSystemWillPowerOn: {
        LogWarning("IOServiceInterestHandler theObject=%d, theService=%d\n", int(high), int(low));
        QnASPlugInPlugIn* plugIn = copyPlugIn(high);
        if (!plugIn) {
            LogError("QnASPlugInPlugIn::IOServiceInterestHandler: no plugin object, receiving %08X",
                     unsigned(inMessageType));
            return;
        }
        QnASPlugInDevice* device = nullptr;
        try {
            device = plugIn->CopyDeviceByIOObject(io_service_t(low));
            if (!device)
                LogError("QnASPlugInPlugIn::IOServiceInterestHandler: no device object, "
                         "receiving %08X",
                         unsigned(inMessageType));
            else
                device->PropertyNotificationHandler(inMessageType, nullptr);
        } catch (...) {
        }
        if (device) QnASPlugInObjectMap::ReleaseObject(device);
        QnASPlugInObjectMap::ReleaseObject(plugIn);
        return;
    }
    default:
        return;
    }
}
