// The audio server plug-in's device object, one per kernel device service:
// the kernel connection (the audio-server user client, its request block
// and the three shared areas), the shared device logic carried through its
// host interface, latencies and safety offsets, IO start and stop with the
// zero time stamps, and the IO cycle between the host's buffers and the
// kernel's rings.
//
// Locking: "Device State" guards configuration and start/stop; "Device IO"
// guards the ring mappings for the whole of every IO call and every unmap
// or remap; "Device Attach Detach" the connection's life. Order: state, IO,
// attach, then the request block's own guard (never taken on the IO thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "device/PropertyItem.h"
#include "device/QnAudioPluginClassCommons.h"
#include "device/QnIORegistryPrefs.h"
#include "platform/base/HXClock.h"
#include "plugins/server/CAMutex.h"
#include "plugins/server/CAVolumeCurve.h"
#include "plugins/server/OSXAsioRegistry.h"
#include "plugins/server/QnASRegistrySettings.h"
#include "plugins/server/QnASPlugInIOKitObject.h"
#include "plugins/server/QnASPlugInObject.h"
#include "plugins/server/QnStoragePrefs.h"

// What a configuration-change request carries: the direction (1 input, 0
// output) at byte 0 and the value from byte 8 (a u64 rate, a stream format,
// or a u32 data-source or clock-source value).
struct ConfigChangeInfo {
    UInt8 isInput;
    UInt8 reserved[7];
    union {
        UInt64 rate;
        AudioStreamBasicDescription format;
        UInt32 value;
    } v;
};
static_assert(offsetof(ConfigChangeInfo, v) == 8);

enum : UInt64 {
    kQnConfigWakeUp = 0,
    kQnConfigChangeSampleRate = 1,
    kQnConfigChangeStreamFormat = 2,
    kQnConfigChangePhysicalFormat = 3,
    kQnConfigChangeNewConfig = 4,
    kQnConfigChangeMixerMode = 5,
    kQnConfigChangeInputDataSource = 6,
    kQnConfigChangeOutputDataSource = 7,
    kQnConfigChangeDigitalOutMode = 8,
    kQnConfigChangeClockSource = 9,
    kQnConfigChangeFarlaneConfig = 10,
    kQnConfigChangeFarlaneConfig2 = 11,
};

class QnASPlugInDevice : public QnASPlugInObject,
                         public PropertyItemHost,
                         public QnIORegistryPrefs,
                         public QnStoragePrefs,
                         private QnAudioPluginHost {
public:
    static constexpr UInt32 kDriverAreaBytes = 30744;
    static constexpr UInt32 kRingBytes = 0x83FF0;
    static constexpr UInt32 kMaxIOFrames = 8192;
    static constexpr UInt32 kMaxIOChannels = 32;
    static constexpr UInt32 kNotSet = 0xFFFFFFFF;
    static constexpr int kZeroStampRetries = 64;

    QnASPlugInDevice(AudioObjectID inObjectID, io_object_t inService);
    ~QnASPlugInDevice() override;

    void onPropertyChanged(PropertyItem* inItem) override;

    // ---- Kernel requests and shared memory
    static CFStringRef HW_CopyDeviceUID(io_object_t inService);
    static Float32 volFromUInt(UInt32 inValue);
    // Sends a request through the device's one request block: `fill` writes
    // the payload (zeroed first), `read` sees the reply; both under the
    // block's guard. False when the kernel refused.
    template <typename Fill, typename Read> bool request(UInt32 inRequest, Fill fill, Read read);
    bool callDriver(UInt32 inRequest);
    void* mapSharedMemory(UInt32 inType, UInt32& ioSize);
    void unmapSharedMemory();
    void _HW_UnMapMemory(void* inAddress, UInt32 inType);
    UInt64 _HW_GetUserClassID();
    UInt32 _HW_GetSampleRate();
    bool _HW_StreamingStarted();

    // ---- Connection
    // Maps (unmaps) the device under its eight sub-object IDs: streams,
    // volumes, mutes, data sources.
    void mapSubObjects();
    void unmapSubObjects();
    bool _HW_Open();
    // The user client opened and the driver area mapped, under "Device IO".
    bool openConnectionAndArea();
    void _HW_Close();
    void Activate() override;
    void Deactivate() override;
    void getApiDeviceInfo();
    void usbConfigureDevice();
    const std::string& deviceName() const { return mDeviceName; }
    const std::string& productName() const { return mProductName; }
    const std::string& coreAudioUID() const { return mCoreAudioUID; }
    UInt32 userMixerMode() const { return mUserMixerMode; }
    bool isOpen() const { return mDriverArea.load() != nullptr; }
    // The Farlane device state read at activation (the key of its stored
    // Sorvik configuration and map).
    const UInt8* farlaneState() const { return mFarlaneState; }

    // ---- Latencies and safety offsets
    void updateLatencies();
    void updateSafetyOffsets();
    UInt32 getLatency(bool inIsInput);
    UInt32 getSafetyOffset(bool inIsInput);
    void loadPlistValues();
    // The debug overrides ('DbSI', 'DbSO', 'DbLI', 'DbLO', 'DbWA'; kNotSet clears).
    void setDebugOverride(UInt32 inSelector, UInt32 inValue);
    void setLatencyExtraMs(UInt32 inMs) { mLatencyExtraMs = inMs; }
    void setLowBufferFirmware(bool inLow) { mLowBufferFW = inLow; }
    bool lowBufferFirmware() const { return mLowBufferFW; }
    // A direction's data-source count as InitComplete read it.
    UInt32 numDataSources(bool inIsInput) const {
        return mNumDataSources[inIsInput ? 1 : 0].load();
    }
    void setAddedValues(SInt32 inWriteAhead, SInt32 inInOffset, SInt32 inOutOffset);

    // ---- IO start and stop, zero time stamps
    void StartIO();
    void StopIO();
    void RestartIO();
    void GetZeroTimeStamp(Float64& outSampleTime, UInt64& outHostTime, UInt64& outSeed);
    UInt32 _HW_StartIO();
    UInt32 _HW_StopIO();
    UInt32 _HW_Reattach();
    bool _HW_GetTimeStamps();
    static void lrDataProvider(void* inDevice, UInt32& outCount, double* outX, double* outY);

    // ---- The IO cycle
    void WillDoIOOperation(UInt32 inOperationID, bool& outWillDo, bool& outWillDoInPlace) const;
    void BeginIOOperation(UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                          const AudioServerPlugInIOCycleInfo& inIOCycleInfo);
    OSStatus DoIOOperation(AudioObjectID inStreamObjectID, UInt32 inOperationID,
                           UInt32 inIOBufferFrameSize,
                           const AudioServerPlugInIOCycleInfo& inIOCycleInfo, void* ioMainBuffer,
                           void* ioSecondaryBuffer);
    void EndIOOperation(UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                        const AudioServerPlugInIOCycleInfo& inIOCycleInfo);
    OSStatus ReadInputData(UInt32 inFrames, Float64 inSampleTime, void* outBuffer);
    OSStatus WriteOutputData(UInt32 inFrames, Float64 inSampleTime, void* inBuffer);

    // ---- Host notices
    void QnLibPropertyNotify(AudioObjectPropertySelector inSelector);

    // ---- Configuration changes
    // Makes one zeroed record for a request and hands it, with the action,
    // to the host from the global serial queue.
    void requestConfigChange(UInt64 inAction, const ConfigChangeInfo& inInfo);
    void PerformConfigChange(UInt64 inAction, void* inInfo);
    void AbortConfigChange(UInt64 inAction, void* inInfo);
    void checkReportFormatChange(const AudioStreamBasicDescription& inOldIn,
                                 const AudioStreamBasicDescription& inOldOut, bool inLockChanged);
    void handleNewConfig();
    void PropertyNotificationHandler(UInt32 inMessage, void* inArgument);
    void checkRunningSomewhere();
    void checkRunningStream();
    // Finishes start-up: the driver area's settings become the current ones,
    // latencies reset, the frame size set; then initialised.
    OSStatus InitComplete();
    bool isInitialised() const { return mInitialised.load(); }
    UInt32 mixerMode() const { return mMixerMode; }
    size_t outstandingConfigChanges();

    // ---- State the driver interface and tests read
    UInt32 IOState() const { return mIOState.load(); }
    UInt32 IOStartCount() const { return mIOStartCount; }
    SInt32 clientSlot() const { return mClientSlot; }
    UInt32 ringFrames() const { return mRingFrames.load(); }
    UInt64 zeroBase() const { return mZeroBase.load(); }
    UInt32 startOffset() const { return mStartOffset.load(); }
    UInt32 latencyExtraMs() const { return mLatencyExtraMs; }
    UInt32 WriteAheadBase() const { return mWriteAheadBase.load(); }
    struct Counters {
        UInt32 outUnderruns, outOverloads, inUnderruns, inOverloads;
        UInt64 inCycles, outCycles;
    };
    Counters counters() const;
    void setStreamingSuspended(bool inSuspended) { mInStreamingSuspended = inSuspended; }
    // The physical format of a direction as the host is told it (its 'pft '):
    // the host sizes its buffers by it, so the IO path takes the host frame
    // from the last one told, never from settings read later.
    AudioStreamBasicDescription copyPhysicalFormat(bool inIsInput);
    // The bytes of one sample of the host's buffers (the advertised format).
    UInt32 hostBytesPerSample(bool inIsInput) const;
    AudioObjectID streamID(bool inIsInput) const {
        return inIsInput ? mInputStreamID : mOutputStreamID;
    }
    AudioObjectID subObjectID(int inIndex) const { return mSubObjectIDs[inIndex]; }
    QnAudioPluginClassCommons& logic() { return mLogic; }
    APIDeviceInfo& deviceInfo() { return *mDeviceInfo; }
    CFStringRef deviceUID() const { return mDeviceUID; }
    QnASPlugInIOKitObject& ioKitObject() { return mIOKitObject; }
    DriverSM* driverArea() const { return mDriverArea.load(); }

    // ---- Properties: the host's questions about the device and its eight
    // sub-objects, routed by object ID (any other ID '!obj').
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
    void SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                         const AudioObjectPropertyAddress& inAddress, UInt32 inQualifierDataSize,
                         const void* inQualifierData, UInt32 inDataSize,
                         const void* inData) override;
    bool Device_HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                            const AudioObjectPropertyAddress& inAddress) const;
    bool Device_IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                   const AudioObjectPropertyAddress& inAddress) const;
    UInt32 Device_GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                      const AudioObjectPropertyAddress& inAddress,
                                      UInt32 inQualifierDataSize,
                                      const void* inQualifierData) const;
    void Device_GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                const AudioObjectPropertyAddress& inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, UInt32& outDataSize, void* outData);
    void Device_SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                const AudioObjectPropertyAddress& inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, const void* inData);
    // The clock source the device reports ('csrc', 'QnCS'); -1 until known.
    SInt32 storedClockSource() const { return mStoredClockSource.load(); }
    void storeClockSource(SInt32 inSource) { mStoredClockSource = inSource; }

    // ---- Device clients
    // The client-application type from the own process's name; the client
    // information is not looked at. Remove does nothing.
    void AddDeviceClient(const AudioServerPlugInClientInfo* inClientInfo);
    void RemoveDeviceClient(const AudioServerPlugInClientInfo* inClientInfo);
    int clientAppType() const { return mClientAppType.load(); }

    // ---- Stream objects (QnASPlugInStream.cpp)
    bool isStreamID(AudioObjectID inObjectID) const;
    bool Stream_HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                            const AudioObjectPropertyAddress& inAddress);
    bool Stream_IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                   const AudioObjectPropertyAddress& inAddress);
    UInt32 Stream_GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                      const AudioObjectPropertyAddress& inAddress,
                                      UInt32 inQualifierDataSize, const void* inQualifierData);
    void Stream_GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                const AudioObjectPropertyAddress& inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, UInt32& outDataSize, void* outData);
    void Stream_SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                const AudioObjectPropertyAddress& inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, const void* inData);
    bool streamActive(bool inIsInput) const { return mStreamActive[inIsInput ? 1 : 0].load(); }

    // ---- Control objects (QnASPlugInControl.cpp)
    bool isControlID(AudioObjectID inObjectID) const;
    bool Control_HasProperty(AudioObjectID inObjectID, pid_t inClientPID,
                             const AudioObjectPropertyAddress& inAddress);
    bool Control_IsPropertySettable(AudioObjectID inObjectID, pid_t inClientPID,
                                    const AudioObjectPropertyAddress& inAddress);
    UInt32 Control_GetPropertyDataSize(AudioObjectID inObjectID, pid_t inClientPID,
                                       const AudioObjectPropertyAddress& inAddress,
                                       UInt32 inQualifierDataSize, const void* inQualifierData);
    void Control_GetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                 const AudioObjectPropertyAddress& inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData,
                                 UInt32 inDataSize, UInt32& outDataSize, void* outData);
    void Control_SetPropertyData(AudioObjectID inObjectID, pid_t inClientPID,
                                 const AudioObjectPropertyAddress& inAddress,
                                 UInt32 inQualifierDataSize, const void* inQualifierData,
                                 UInt32 inDataSize, const void* inData);
    // The current item of a direction's data-source selector (1 ..).
    UInt32 currentDataSource(bool inIsInput) const {
        return mCurrentDataSource[inIsInput ? 1 : 0].load();
    }

    // ---- Kernel state changes (QnASPlugInDevice_StateChange.cpp)
    void KernelDriverNotificationHandler(const QN_StateChange& inChange);
    // The stored clock source (kNotSet until known).
    UInt32 clockSource() const { return UInt32(mStoredClockSource.load()); }

protected:
    // QnAudioPluginHost
    DriverSM* hostDriverSM() override { return mDriverArea.load(); }
    uint64_t hostClientIdentity() override { return mClientObject; }
    bool hostRequest(uint32_t inRequest, const void* inPayload, uint32_t inBytes) override;
    // As hostRequest, the reply's payload copied back on success.
    bool hostCall(uint32_t inRequest, void* ioPayload, uint32_t inBytes) override;
    int hostClientAppType() override { return mClientAppType.load(); }
    CFDictionaryRef hostCopyServiceProperties() override;
    QnAudioPluginSettingsStore* hostSettingsStore() override { return mSettingsStore.get(); }
    void hostFormatChanged() override {}
    void hostReportFormatChange(const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription&) override {}
    void hostFrameSizePropertyChanged(uint32_t) override {}
    void hostUpdateLatencies() override { updateLatencies(); }
    bool hostCreateIOBuffers(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) override {
        return true;
    }
    bool hostMapRings() override;
    void hostUnmapRings() override;
    void hostCheckRunningStream() override {}

private:
    // What the IO thread reads of one direction, taken at StartIO.
    struct IODirection {
        AudioSMGeometry ring{};
        UInt32 ringChannels = 0; // 0: the ring's channel word was absurd
        UInt32 hostChannels = 0; // 0: the host frame was absurd
        UInt32 hostBytesPerSample = 4;
        AudioCopyFunc converter = audioInt32CopySet;
    };

    UInt32 rate() const;
    void notify(AudioObjectPropertySelector inSelector, AudioObjectPropertyScope inScope);
    void notifyObject(AudioObjectID inObject, AudioObjectPropertySelector inSelector);
    void takeIOGeometry();
    bool mapRingsLocked();
    void unmapRingsLocked();
    void chooseConverters();
    UInt32 ioCapacity(const IODirection& inDir) const;
    void readRing(AudioSM* inRing, const IODirection& inDir, UInt64& ioReadPos, UInt32 inOffset,
                  UInt32 inFrames);
    void toHost(const IODirection& inDir, const int32_t* inStaging, void* outBuffer,
                UInt32 inFrames) const;
    void fromHost(const IODirection& inDir, const void* inBuffer, int32_t* outStaging,
                  UInt32 inFrames) const;
    void zeroHost(const IODirection& inDir, void* outBuffer, UInt32 inFrames) const;
    OSStatus doRead(UInt32 inFrames, const AudioServerPlugInIOCycleInfo& inInfo, void* ioBuffer);
    OSStatus doWrite(UInt32 inFrames, const AudioServerPlugInIOCycleInfo& inInfo, void* ioBuffer);
    void computeLatencies(UInt32& outIn, UInt32& outOut);
    bool takeConfigChangeInfo(void* inInfo, ConfigChangeInfo& outInfo);
    bool controlRequest(UInt32 inCode, const void* inData, UInt32 inBytes, void* outAnswer,
                        UInt32 inAnswerBytes);
    void activateFromDriverArea();
    void restoreSettings();
    void performAction(UInt64 inAction, const ConfigChangeInfo& inInfo, bool inKnown,
                       const AudioStreamBasicDescription& inOldIn,
                       const AudioStreamBasicDescription& inOldOut);
    void newConfigFromKernel(const AudioStreamBasicDescription& inOldIn,
                             const AudioStreamBasicDescription& inOldOut);
    void setInterfaceChannels(UInt32 inOutput, UInt32 inInput);
    // Reads the Farlane device state and stores the Sorvik configuration and
    // map under it (host storage and the preferences registry).
    void refreshFarlaneConfig();
    // A first-generation Farlane device keeps its current Sorvik
    // configuration and map in host storage under its device state.
    void storeFarlaneConfig();
    // The stored Sorvik configuration and map sent back to a first-generation
    // Farlane device, then its channel-usage lists.
    void restoreSorvikConfig();
    // The LX-420's mixer mode and interface channel counts.
    void restoreLX420Mode();
    // The driver area's "configured" word is set.
    bool deviceConfigured();

    // Locking
    CAMutex mStateMutex{"Device State"};
    CAMutex mIOMutex{"Device IO"};
    CAMutex mAttachMutex{"Device Attach Detach"};
    std::mutex mRequestGuard;

    // Kernel
    QnASPlugInIOKitObject mIOKitObject;
    OSXDispatch mRequest{};
    CFStringRef mDeviceUID = nullptr;
    std::atomic<DriverSM*> mDriverArea{nullptr};
    std::atomic<AudioSM*> mInputRing{nullptr};
    std::atomic<AudioSM*> mOutputRing{nullptr};
    SInt32 mClientSlot = -1;
    UInt64 mClientObject = 0;
    UInt64 mUserClassID = 0;
    UInt32 mCachedRate = 44100;

    // Shared device logic and its records
    std::unique_ptr<APIDeviceInfo> mDeviceInfo;
    QnAudioPluginClassCommons mLogic;

    // State
    std::atomic<bool> mInitialised{false};
    std::atomic<bool> mPerformConfigChange{false};
    std::atomic<bool> mInStreamingSuspended{false};
    bool mLowBufferFW = false;

    // IO
    UInt32 mIOStartCount = 0;
    std::atomic<UInt32> mIOState{0};
    std::atomic<bool> mFirstCycle{false};
    std::atomic<UInt64> mZeroBase{0};
    std::atomic<UInt32> mStartOffset{0};
    std::atomic<UInt32> mRingFrames{0};
    UInt32 mOutUnderruns = 0, mOutOverloads = 0, mInUnderruns = 0, mInOverloads = 0;
    UInt64 mInCycles = 0, mOutCycles = 0;
    Float64 mLastInSampleTime = 0, mLastInFrames = 0, mLastOutSampleTime = 0, mLastOutFrames = 0;
    IODirection mIn, mOut;
    std::mutex mAdvertisedLock;
    AudioStreamBasicDescription mAdvertised[2] = {}; // output, input
    bool mAdvertisedRead[2] = {false, false};        // a format was handed out
    std::vector<int32_t> mStaging; // kMaxIOFrames x kMaxIOChannels, made at construction
    UInt64 mLastStampHost = 0;
    Float64 mLastStampSample = 0;
    UInt64 mDebugStartMs = 0;

    // Latencies
    PropertyItem mInputLatency{this};
    PropertyItem mOutputLatency{this};
    UInt32 mInputSafetyOffset = 0, mOutputSafetyOffset = 0;
    SInt32 mAddWriteAhead = 0, mAddedInSafetyOffset = 0, mAddedOutSafetyOffset = 0;
    std::atomic<UInt32> mWriteAheadBase{500};
    UInt32 mLatencyExtraMs = 3;
    UInt32 mDbSI = kNotSet, mDbSO = kNotSet, mDbLI = kNotSet, mDbLO = kNotSet, mDbWA = kNotSet;

    // Activation
    std::unique_ptr<qnas::OSXAsioRegistry> mRegistry;
    std::unique_ptr<QnASRegistrySettings> mSettingsStore;
    std::string mDeviceName, mProductName, mCoreAudioUID;
    UInt32 mUserMixerMode = 0, mMixerKnob = 0;
    UInt8 mFarlaneState[8] = {};

    // Configuration changes
    std::mutex mConfigRecordsLock;
    std::vector<std::unique_ptr<ConfigChangeInfo>> mConfigRecords;
    UInt32 mMixerMode = 0;
    UInt8 mDigitalLock = 0;
    bool mRunningSomewhere = false, mRunningStream = false;

    // Properties and clients
    std::atomic<SInt32> mStoredClockSource{-1};
    std::atomic<int> mClientAppType{0};

    // Streams, controls and kernel state (host threads and the plug-in's
    // queue change them: atomic)
    std::atomic<bool> mStreamActive[2] = {true, true};  // output, input
    std::atomic<UInt32> mCurrentDataSource[2] = {1, 1}; // output, input
    std::atomic<UInt32> mNumDataSources[2] = {0, 0};    // output, input
    void streamBroken();
    void stateNewConfig(const QN_StateChange& inChange);
    void stateWolfson(const QN_StateChange& inChange);
    void stateLeavePlugIn();
    void stateUserConfig();
    void stateDigitalOutMode(const QN_StateChange& inChange);
    void stateClockSource(const QN_StateChange& inChange);
    void stateInitComplete();
    void stateSettingsStored();
    void controlValueChanged(AudioObjectID inControl);

    // Objects
    AudioObjectID mInputStreamID = 0, mOutputStreamID = 0;
    AudioObjectID mSubObjectIDs[8] = {};
    CAVolumeCurve mVolumeCurve;
};

template <typename Fill, typename Read>
bool QnASPlugInDevice::request(UInt32 inRequest, Fill fill, Read read) {
    std::unique_lock<std::mutex> guard(mRequestGuard, std::try_to_lock);
    if (!guard.owns_lock()) {
        // The holder's request may wait on the platform clock (a
        // reconfiguration sleeps in the kernel): waiting here must not hold
        // time back, or that wait never ends.
        hx::clock::Idle idle;
        guard.lock();
    }
    std::memset(&mRequest, 0, sizeof mRequest);
    fill(mRequest);
    const bool ok = mIOKitObject.CallDriver(inRequest, mRequest);
    read(mRequest, ok);
    return ok;
}
