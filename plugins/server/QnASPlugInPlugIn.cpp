#include "plugins/server/QnASPlugInPlugIn.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <syslog.h>

#include "platform/base/HXLog.h"
#include "plugins/server/CADebugMacros.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInObjectMap.h"

namespace {

std::once_flag sOnce;

bool isGlobalMain(const AudioObjectPropertyAddress& a) {
    return a.mScope == kAudioObjectPropertyScopeGlobal &&
           a.mElement == kAudioObjectPropertyElementMaster;
}

bool isPlugInSelector(AudioObjectPropertySelector selector) {
    switch (selector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects:
    case kAudioObjectPropertyManufacturer:
    case kAudioPlugInPropertyResourceBundle:
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return true;
    default:
        return false;
    }
}

// A constant string handed out without a retain (the caller does not own it).
void putString(CFStringRef value, UInt32 inDataSize, UInt32& outDataSize, void* outData) {
    if (inDataSize < sizeof(CFStringRef)) throw CAException(kAudioHardwareBadPropertySizeError);
    std::memcpy(outData, &value, sizeof value);
    outDataSize = sizeof value;
}

} // namespace

std::atomic<QnASPlugInPlugIn*> QnASPlugInPlugIn::sInstance{nullptr};
std::atomic<AudioServerPlugInHostRef> QnASPlugInPlugIn::sHost{nullptr};

QnASPlugInPlugIn::QnASPlugInPlugIn()
    : QnASPlugInObject(kAudioObjectPlugInObject, kAudioPlugInClassID, kAudioObjectClassID, 0),
      mDispatchQueue("QnASPlugInPlugIn"), mMutex("QnASPlugInPlugIn") {}

QnASPlugInPlugIn::~QnASPlugInPlugIn() = default;

void QnASPlugInPlugIn::StaticInitializer() {
    QnASPlugInPlugIn* plugIn = nullptr;
    try {
        plugIn = new QnASPlugInPlugIn();
        sInstance = plugIn;
        if (!QnASPlugInObjectMap::MapObject(kAudioObjectPlugInObject, plugIn))
            throw CAException(kAudioHardwareIllegalOperationError);
        plugIn->Activate();
    } catch (...) {
        delete plugIn;
        sInstance = nullptr;
    }
}

QnASPlugInPlugIn* QnASPlugInPlugIn::GetInstance() {
    std::call_once(sOnce, &QnASPlugInPlugIn::StaticInitializer);
    return sInstance;
}

OSStatus QnASPlugInPlugIn::CopyFromStorage(CFStringRef inKey, CFPropertyListRef* outValue) {
    AudioServerPlugInHostRef host = sHost;
    if (!host) {
        LogError("CopyFromStorage: Can't get host.(%p, %p)", static_cast<void*>(nullptr),
                 reinterpret_cast<void*>(sInstance.load() ? 0 : 0xFFFF));
        return -1;
    }
    return host->CopyFromStorage(host, inKey, outValue);
}

OSStatus QnASPlugInPlugIn::WriteToStorage(CFStringRef inKey, CFPropertyListRef inValue) {
    AudioServerPlugInHostRef host = sHost;
    if (!inValue || !host) return -1;
    return host->WriteToStorage(host, inKey, inValue);
}

void QnASPlugInPlugIn::Deactivate() {
    CAMutexLocker locker(mMutex);
    QnASPlugInObject::Deactivate();
    _StopDeviceListNotifications();
    _RemoveAllDevices();
}

void QnASPlugInPlugIn::_StopDeviceListNotifications() {
    CAMutexLocker locker(mMutex);
    if (mMatchingIterator != 0) {
        IOObjectRelease(mMatchingIterator);
        mMatchingIterator = 0;
    }
    if (mNotificationPort) {
        IONotificationPortDestroy(mNotificationPort);
        mNotificationPort = nullptr;
    }
}

void QnASPlugInPlugIn::_RemoveAllDevices() {
    CAMutexLocker locker(mMutex);
    for (DeviceInfo& info : mDeviceInfoList) {
        ReleaseRegistrations(info);
        const AudioObjectID deviceID = info.mDeviceObjectID;
        info.mDeviceObjectID = 0;
        CADispatchQueue::GetGlobalSerialQueue().Dispatch(false, [deviceID] {
            QnASPlugInObject* device = QnASPlugInObjectMap::CopyObjectByObjectID(deviceID);
            if (!device) return;
            device->Deactivate();
            QnASPlugInObjectMap::ReleaseObject(device); // the map's own reference
            QnASPlugInObjectMap::ReleaseObject(device); // this block's
        });
    }
    // Every retirement is queued: the list would only hold zeroed entries.
    mDeviceInfoList.clear();
}

void QnASPlugInPlugIn::TestSeam_AddDevice(AudioObjectID inDeviceObjectID) {
    CAMutexLocker locker(mMutex);
    mDeviceInfoList.push_back(DeviceInfo{inDeviceObjectID, 0, 0});
}

std::vector<QnASPlugInPlugIn::DeviceInfo> QnASPlugInPlugIn::CopyDeviceList() const {
    CAMutexLocker locker(mMutex);
    return mDeviceInfoList;
}

std::vector<AudioObjectID> QnASPlugInPlugIn::CopyDeviceIDs() const {
    CAMutexLocker locker(mMutex);
    std::vector<AudioObjectID> ids;
    ids.reserve(mDeviceInfoList.size());
    for (const DeviceInfo& info : mDeviceInfoList)
        ids.push_back(info.mDeviceObjectID);
    return ids;
}

bool QnASPlugInPlugIn::HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                                   const AudioObjectPropertyAddress& inAddress) const {
    if (isPlugInSelector(inAddress.mSelector)) return isGlobalMain(inAddress);
    return QnASPlugInObject::HasProperty(inObjectID, inClientPID, inAddress);
}

bool QnASPlugInPlugIn::IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                          const AudioObjectPropertyAddress& inAddress) const {
    if (isPlugInSelector(inAddress.mSelector)) return false;
    return QnASPlugInObject::IsPropertySettable(inObjectID, inClientPID, inAddress);
}

UInt32 QnASPlugInPlugIn::GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                             const AudioObjectPropertyAddress& inAddress,
                                             UInt32 inQualifierDataSize,
                                             const void* inQualifierData) const {
    switch (inAddress.mSelector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects: {
        CAMutexLocker locker(mMutex);
        return UInt32(mDeviceInfoList.size() * sizeof(AudioObjectID));
    }
    case kAudioObjectPropertyManufacturer:
    case kAudioPlugInPropertyResourceBundle:
        return sizeof(CFStringRef);
    case kAudioPlugInPropertyTranslateUIDToDevice:
        return sizeof(AudioObjectID);
    default:
        return QnASPlugInObject::GetPropertyDataSize(inObjectID, inClientPID, inAddress,
                                                     inQualifierDataSize, inQualifierData);
    }
}

void QnASPlugInPlugIn::GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData,
                                       UInt32 inDataSize, UInt32& outDataSize,
                                       void* outData) const {
    switch (inAddress.mSelector) {
    case kAudioPlugInPropertyDeviceList:
    case kAudioObjectPropertyOwnedObjects: {
        // The class filter of 'ownd' does not matter: a device is all it owns.
        CAMutexLocker locker(mMutex);
        const std::size_t n =
            std::min<std::size_t>(mDeviceInfoList.size(), inDataSize / sizeof(AudioObjectID));
        auto* ids = static_cast<AudioObjectID*>(outData);
        for (std::size_t i = 0; i < n; ++i)
            ids[i] = mDeviceInfoList[i].mDeviceObjectID;
        outDataSize = UInt32(n * sizeof(AudioObjectID));
        return;
    }
    case kAudioObjectPropertyManufacturer:
        putString(CFSTR("Apple Inc."), inDataSize, outDataSize, outData);
        return;
    case kAudioPlugInPropertyResourceBundle:
        putString(CFSTR(""), inDataSize, outDataSize, outData);
        return;
    case kAudioPlugInPropertyTranslateUIDToDevice: {
        if (inQualifierDataSize < sizeof(CFStringRef) || inDataSize < sizeof(AudioObjectID))
            throw CAException(kAudioHardwareBadPropertySizeError);
        CFStringRef uid = nullptr;
        std::memcpy(&uid, inQualifierData, sizeof uid);
        const AudioObjectID device = TranslateUIDToDevice(uid);
        std::memcpy(outData, &device, sizeof device);
        outDataSize = sizeof device;
        return;
    }
    default:
        QnASPlugInObject::GetPropertyData(inObjectID, inClientPID, inAddress, inQualifierDataSize,
                                          inQualifierData, inDataSize, outDataSize, outData);
    }
}

// The listed device whose 'uid ' equals the string, else 0. Devices are asked
// outside the plug-in's mutex, each held by a reference of its own.
AudioObjectID QnASPlugInPlugIn::TranslateUIDToDevice(CFStringRef inUID) const {
    if (!inUID || CFGetTypeID(inUID) != CFStringGetTypeID()) return 0;
    const AudioObjectPropertyAddress uidAddress{kAudioDevicePropertyDeviceUID,
                                                kAudioObjectPropertyScopeGlobal,
                                                kAudioObjectPropertyElementMaster};
    for (AudioObjectID id : CopyDeviceIDs()) {
        QnASPlugInObject* device = QnASPlugInObjectMap::CopyObjectByObjectID(id);
        if (!device) continue;
        bool equal = false;
        try {
            if (device->HasProperty(id, 0, uidAddress)) {
                CFStringRef deviceUID = nullptr;
                UInt32 size = 0;
                device->GetPropertyData(id, 0, uidAddress, 0, nullptr, sizeof deviceUID, size,
                                        &deviceUID);
                if (size == sizeof deviceUID && deviceUID) {
                    equal = CFEqual(deviceUID, inUID);
                    CFRelease(deviceUID);
                }
            }
        } catch (...) {
            equal = false;
        }
        QnASPlugInObjectMap::ReleaseObject(device);
        if (equal) return id;
    }
    return 0;
}

void QnASPlugInPlugIn::Host_RequestDeviceConfigurationChange(AudioObjectID inDeviceObjectID,
                                                             UInt64 inChangeAction,
                                                             void* inChangeInfo) {
    AudioServerPlugInHostRef host = sHost.load();
    if (!host) return;
    syslog(LOG_WARNING, "Host_RequestDeviceConfigurationChange: shost %p\n",
           static_cast<const void*>(host));
    host->RequestDeviceConfigurationChange(host, inDeviceObjectID, inChangeAction, inChangeInfo);
}
