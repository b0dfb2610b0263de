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

class QnASPlugInDevice;

class QnASPlugInPlugIn : public QnASPlugInObject {
public:
    // A listed device and the IOKit registrations it holds: its general and
    // power-state interest notifications, and its own system-power
    // registration (port, notifier, root connection). Removal releases
    // exactly these; the matching port stays the plug-in's.
    struct DeviceInfo {
        AudioObjectID mDeviceObjectID;
        io_object_t mInterestNotification;
        io_object_t mSystemPowerNotifier;
        io_object_t mPowerStateNotification = 0;
        IONotificationPortRef mPowerPort = nullptr;
        io_connect_t mRootPowerConnection = 0;
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

    // Starts IOKit matching on the kernel device service (once; throws on
    // IOKit failures, leaving no port or iterator); the services present are
    // handled at once on the caller's thread, later ones on the plug-in's
    // queue.
    void _StartDeviceListNotifications();
    // Releases the matching iterator and destroys the notification port,
    // each when set.
    void _StopDeviceListNotifications();

    static void IOServiceMatchingHandler(void* inContext, io_iterator_t inIterator);
    static void IOServiceInterestHandler(void* inContext, io_service_t inService,
                                         natural_t inMessageType, void* inMessageArgument);
    void AddDevice(QnASPlugInDevice* inDevice, io_service_t inService);
    void RemoveDevice(QnASPlugInDevice* inDevice);
    // The listed device whose UID is the service's "deviceUID", with one
    // reference for the caller; null when none.
    QnASPlugInDevice* CopyDeviceByIOObject(io_service_t inService);

    // The device list as it stands (tests and diagnostics).
    std::vector<DeviceInfo> CopyDeviceList() const;
    // Test seam for the device tests that map objects of their own, until
    // they reach the device through discovery: lists an ID without IOKit
    // registrations.
    void TestSeam_AddDevice(AudioObjectID inDeviceObjectID);

    // Test hook: the next device activation in discovery throws this status
    // (0: no failure).
    static void TestHook_FailNextActivate(OSStatus inStatus);

    CADispatchQueue& GetDispatchQueue() { return mDispatchQueue; }

    static std::atomic<QnASPlugInPlugIn*> sInstance;
    static std::atomic<AudioServerPlugInHostRef> sHost;

private:
    QnASPlugInPlugIn();
    static void StaticInitializer();
    void _RemoveAllDevices();
    void HandleMatchingServices(io_iterator_t inIterator);
    void RetireDevice(io_service_t inService);
    void TellHostDeviceListChanged();
    static void ReleaseRegistrations(DeviceInfo& ioInfo);
    std::vector<AudioObjectID> CopyDeviceIDs() const;
    AudioObjectID TranslateUIDToDevice(CFStringRef inUID) const;

    std::vector<DeviceInfo> mDeviceInfoList;
    IONotificationPortRef mNotificationPort = nullptr;
    io_connect_t mRootPowerConnection = 0; // the latest device's
    io_iterator_t mMatchingIterator = 0;
    CADispatchQueue mDispatchQueue;
    mutable CAMutex mMutex;
    const UInt32 mSampleRatePolicy = 1;
};
