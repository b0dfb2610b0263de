// The HAL plug-in's driver object: one per factory call, behind the
// 30-slot function table the HAL calls. It owns the device manager and the
// list of devices it published, turns each table call into a call on one
// device object, and tells the HAL of devices, streams and their changes.
//
// Split by concern: ZrAsioDriver.cpp (factory, table, reference counting,
// Initialize and Teardown), _Devices (publication and change notices),
// _IO (IO procedures and timing), _Properties (the property calls and
// the standard selectors), _StreamFormats (stream-format and source
// selectors), _Custom (custom selectors).
//
// Threads: the HAL calls the table from its own threads; the device manager
// calls back on the thread running the main run loop, and on the caller of
// Initialize for devices found before. One lock, always taken innermost,
// covers finding a device and taking its reference, and adding to and
// removing from the device list; the reference count is atomic. Every call
// starts with that look-up, so the lock is a small spin lock: it is held
// only for a walk of the list or a change to it, never across a call out.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <thread>

#include "device/DeviceManagerClient.h"
#include "libs/tools/ZrCollection.h"
#include "platform/coreaudio/AudioHardwarePlugIn.h"

class OSXDeviceManager;
class ZrOSXDevice;

// The device list's lock (see above). A taker spins a few times, then
// yields its processor to the holder.
class ZrListLock {
public:
    void lock() noexcept {
        for (int tries = 0; mHeld.exchange(true, std::memory_order_acquire); ++tries)
            while (mHeld.load(std::memory_order_relaxed))
                if (++tries > kSpinsBeforeYield) std::this_thread::yield();
    }
    void unlock() noexcept { mHeld.store(false, std::memory_order_release); }

private:
    static constexpr int kSpinsBeforeYield = 64;
    std::atomic<bool> mHeld{false};
};

class ZrAsioDriver : public DeviceManagerClient {
public:
    explicit ZrAsioDriver(CFUUIDRef plugInUUID);
    ~ZrAsioDriver() override;
    ZrAsioDriver(const ZrAsioDriver&) = delete;
    ZrAsioDriver& operator=(const ZrAsioDriver&) = delete;

    static ZrAsioDriver* fromRef(void* ref);
    AudioHardwarePlugInRef plugin() { return &mInterface; }

    // ---- Life cycle
    ULONG retain();
    ULONG release();
    OSStatus onInitialize(UInt32 objectID);
    OSStatus onInitializeWithObjectID(UInt32 objectID);
    OSStatus onTeardown();
    void onObjectShow(UInt32 objectID);

    // ---- Devices
    ZrOSXDevice* getDeviceAndRetain(AudioDeviceID deviceID);
    ZrOSXDevice* getDeviceAndRetainFromStreamID(AudioStreamID streamID);
    void deviceRemoved(ZrOSXDevice* device) override;
    void deviceAdded(ZrOSXDevice* device) override;
    void onFramesizeChanged(ZrOSXDevice*) override {}
    void onLatencyChanged(ZrOSXDevice*) override {}
    void onFormatChanged(ZrOSXDevice*) override {}
    void onFrequencyChanged(ZrOSXDevice* device) override { onFormatChanged(device); }
    void onVolumeChanged(ZrOSXDevice* device) override;
    void onMuteChanged(ZrOSXDevice* device) override;
    void onMonitorChanged(ZrOSXDevice* device) override;
    void onDataSourceChanged(ZrOSXDevice* device) override;
    void onDeviceStopped(ZrOSXDevice* device) override;
    void onOtherClientAttached(ZrOSXDevice*) override {}
    void onOtherClientDetached(ZrOSXDevice*) override {}
    void onQN_StateChange(ZrOSXDevice*, const QN_StateChange*) override {}
    void deviceWillBeRemoved(ZrOSXDevice* device) override { deviceRemoved(device); }

    // ---- IO procedures and timing
    OSStatus onDeviceAddIOProc(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData);
    OSStatus onDeviceRemoveIOProc(AudioDeviceID device, AudioDeviceIOProc proc);
    OSStatus onDeviceStartProcOrID(AudioDeviceID device, AudioDeviceIOProc procOrID);
    OSStatus onDeviceStopProcOrID(AudioDeviceID device, AudioDeviceIOProc procOrID);
    OSStatus onDeviceRead(AudioDeviceID device, const AudioTimeStamp* startTime,
                          AudioBufferList* data);
    OSStatus onDeviceGetCurrentTime(AudioDeviceID device, AudioTimeStamp* stamp);
    OSStatus onDeviceTranslateTime(AudioDeviceID device, const AudioTimeStamp* inTime,
                                   AudioTimeStamp* outTime);
    OSStatus onDeviceStartAtTimeProcOrID(AudioDeviceID device, AudioDeviceIOProc procOrID,
                                         AudioTimeStamp* time, UInt32 flags);
    OSStatus onDeviceGetNearestStartTime(AudioDeviceID device, AudioTimeStamp* time, UInt32 flags);
    OSStatus onDeviceCreateIOProcID(AudioDeviceID device, AudioDeviceIOProc proc, void* clientData,
                                    AudioDeviceIOProcID* outID);
    OSStatus onDeviceDestroyIOProcID(AudioDeviceID device, AudioDeviceIOProcID procID);

    // ---- Property calls
    OSStatus onDeviceGetPropertyInfo(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                     AudioDevicePropertyID property, UInt32* outSize,
                                     Boolean* outWritable);
    OSStatus onDeviceGetProperty(AudioDeviceID device, UInt32 channel, Boolean isInput,
                                 AudioDevicePropertyID property, UInt32* ioSize, void* outData);
    OSStatus onDeviceSetProperty(AudioDeviceID device, const AudioTimeStamp* when, UInt32 channel,
                                 Boolean isInput, AudioDevicePropertyID property, UInt32 size,
                                 const void* data);
    OSStatus onStreamGetPropertyInfo(AudioStreamID stream, UInt32 channel,
                                     AudioDevicePropertyID property, UInt32* outSize,
                                     Boolean* outWritable);
    OSStatus onStreamGetProperty(AudioStreamID stream, UInt32 channel,
                                 AudioDevicePropertyID property, UInt32* ioSize, void* outData);
    OSStatus onStreamSetProperty(AudioStreamID stream, const AudioTimeStamp* when, UInt32 channel,
                                 AudioDevicePropertyID property, UInt32 size, const void* data);
    Boolean onObjectHasProperty(AudioObjectID object, const AudioObjectPropertyAddress* address);
    OSStatus onObjectIsPropertySettable(AudioObjectID object,
                                        const AudioObjectPropertyAddress* address,
                                        Boolean* outSettable);
    OSStatus onObjectGetPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress* address,
                                         UInt32 qualifierSize, const void* qualifier,
                                         UInt32* outSize);
    OSStatus onObjectGetPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress* address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32* ioSize,
                                     void* outData);
    OSStatus onObjectSetPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress* address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 size,
                                     const void* data);

    // ---- Selector groups the device property methods hand on to, after the
    // device is found (each answers kAudioHardwareUnknownPropertyError for a
    // selector it does not own). _StreamFormats: the stream-format and
    // source selectors; _Custom: the custom 'Qn..' selectors.
    static bool isFormatProperty(AudioDevicePropertyID property);
    OSStatus formatPropertyInfo(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                                AudioDevicePropertyID property, UInt32* outSize,
                                Boolean* outWritable);
    OSStatus formatGetProperty(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                               AudioDevicePropertyID property, UInt32* ioSize, void* outData);
    OSStatus formatSetProperty(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                               AudioDevicePropertyID property, UInt32 size, const void* data);
    static bool isCustomProperty(AudioDevicePropertyID property);
    OSStatus customPropertyInfo(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                                AudioDevicePropertyID property, UInt32* outSize,
                                Boolean* outWritable);
    OSStatus customGetProperty(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                               AudioDevicePropertyID property, UInt32* ioSize, void* outData);
    OSStatus customSetProperty(ZrOSXDevice* device, UInt32 channel, Boolean isInput,
                               AudioDevicePropertyID property, UInt32 size, const void* data);

    static const AudioHardwarePlugInInterface sTable;

private:
    // Retains the device an object ID names (device first, then stream).
    ZrOSXDevice* getObjectAndRetain(AudioObjectID object);
    // The first listed device with this AudioDeviceID, or null; the caller
    // holds mListLock.
    ZrOSXDevice* findListed(AudioDeviceID deviceID) const;
    // Takes the listed devices out of the list, their IDs cleared (their
    // references go to the caller).
    void takeDeviceList(ZrCollection& out);
    void listRemove(ZrOSXDevice* device);
    void notify(ZrOSXDevice* device, UInt32 element, bool isInput, AudioDevicePropertyID selector);

    ZrCollection mDevices;
    AudioHardwarePlugInInterface* mInterface; // its address is the reference
    std::atomic<ULONG> mRefCount{1};
    CFUUIDRef mPlugInUUID;
    OSXDeviceManager* mManager = nullptr;

    ZrListLock mListLock; // innermost
    std::atomic<bool> mTearingDown{false};
};
