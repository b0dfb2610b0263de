// The plug-in object (ID 1, class 'aplg'), one per process: the list of
// device objects, the plug-in properties (device list, owned objects,
// manufacturer, resource bundle, UID translation), the host interface that
// Initialize stores, and the plug-in's access to the host's storage. Its
// queue serialises the IOKit notifications; its mutex guards the device
// list and the notification fields.
#pragma once

#include <atomic>
#include <vector>

#include "platform/iokit/IOKitLib.h"
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/CAMutex.h"
#include "plugins/server/QnASPlugInObject.h"

class QnASPlugInPlugIn : public QnASPlugInObject {
public:
    struct DeviceInfo {
        AudioObjectID mDeviceObjectID;
        io_object_t mInterestNotification;
        io_object_t mSystemPowerNotifier;
    };

    static QnASPlugInPlugIn* GetInstance();

    static OSStatus CopyFromStorage(CFStringRef inKey, CFPropertyListRef* outValue);
    static OSStatus WriteToStorage(CFStringRef inKey, CFPropertyListRef inValue);
    // Asks the host for a configuration change of a device; nothing without
    // a stored host. Requesters call it from the global serial queue.
    static void Host_RequestDeviceConfigurationChange(AudioObjectID inDeviceObjectID,
                                                      UInt64 inChangeAction, void* inChangeInfo);

    bool allowCurrentSROnly() const { return mSampleRatePolicy == 4; }

    void Deactivate() override;
    ~QnASPlugInPlugIn() override;

    bool HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                     const AudioObjectPropertyAddress& inAddress) const override;
    bool IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                            const AudioObjectPropertyAddress& inAddress) const override;
    UInt32 GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                               const AudioObjectPropertyAddress& inAddress,
                               UInt32 inQualifierDataSize,
                               const void* inQualifierData) const override;
    void GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                         const AudioObjectPropertyAddress& inAddress, UInt32 inQualifierDataSize,
                         const void* inQualifierData, UInt32 inDataSize, UInt32& outDataSize,
                         void* outData) const override;

    // Unlists a device (its entry's interest notification released);
    // nothing when it is not listed.
    void RemoveDevice(QnASPlugInObject* inDevice);

    // Releases the matching iterator and destroys the notification port,
    // each when set.
    void _StopDeviceListNotifications();

    // Until discovery lands, tests fill the device list here (IDs of objects
    // they mapped themselves).
    void TestSeam_AddDevice(AudioObjectID inDeviceObjectID);
    std::vector<DeviceInfo> TestSeam_CopyDeviceList() const;

    CADispatchQueue& GetDispatchQueue() { return mDispatchQueue; }

    static std::atomic<QnASPlugInPlugIn*> sInstance;
    static std::atomic<AudioServerPlugInHostRef> sHost;

private:
    QnASPlugInPlugIn();
    static void StaticInitializer();
    void _RemoveAllDevices();
    std::vector<AudioObjectID> CopyDeviceIDs() const;
    AudioObjectID TranslateUIDToDevice(CFStringRef inUID) const;

    std::vector<DeviceInfo> mDeviceInfoList;
    IONotificationPortRef mNotificationPort = nullptr;
    [[maybe_unused]] io_connect_t mRootPowerConnection = 0; // discovery's power registrations
    io_iterator_t mMatchingIterator = 0;
    CADispatchQueue mDispatchQueue;
    mutable CAMutex mMutex;
    const UInt32 mSampleRatePolicy = 1;
};
