// The user-space object of one device of the kernel driver, shared by every
// user-space deliverable that plays, records or watches the device. It owns
// the connection to the audio user client, the mapped shared areas, the audio
// thread that moves one buffer per cycle between the rings and the clients'
// IO procedures, the IO-procedure registry, the settings stores, and the
// values clients read: names, frame size, latencies and write-ahead.
//
// Split by concern: ZrOSXDevice.cpp (life cycle, opening, names, restore),
// _Thread (audio thread and cycle), _IOProcs (registry, start and stop, the
// per-cycle calls), _Frames (frame size, IO buffers, hardware preparation),
// _Notify (latencies, property notices, time), _Vendor (USB control requests
// and the vendor transport), _Family (the family record and the logic the
// later layer fills in), _Host (what the shared device logic asks of it).
//
// The device logic (families, formats, rates, the settings change, frame
// sizes, IO buffers and hardware preparation) is the shared unit
// QnAudioPluginClassCommons, which the device carries as a base and serves
// as its host. Lock order: manager, device mutex, attach lock, connection
// guard. The audio thread never takes the device mutex: buffers asked for
// while the thread runs are handed to it and built at its next pass.
//
// Threads: HAL client threads register, start and stop procedures and change
// the thread state under the attach lock; the audio thread is the only one
// that runs cycles; interest callbacks arrive on the main run loop. Nothing
// a cycle can touch is unmapped or reallocated while a cycle runs: the state
// goes to 0 under the attach lock and waitForAudioThread lets the running
// pass end first.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/AudioSM.h"
#include "abi/QN_StateChange.h"
#include "device/AudioThreadTools.h"
#include "device/DriverConnection.h"
#include "device/PropertyItem.h"
#include "device/QnAudioPluginClassCommons.h"
#include "device/TimestampFilter.h"
#include "device/VendorAsyncTransport.h"
#include "libs/tools/OSXUserThread.h"
#include "libs/tools/ZrObject.h"
#include "libs/tools/ZrString.h"
#include "platform/coreaudio/CoreAudioTypes.h"
#include "platform/coreaudio/HALPropertyChanges.h"

class DeviceManagerClient;
class OSXAsioRegistrySettings;
class OSXDeviceManager;
class OSXAsioRegistry;
class QnIORegistryPrefs;
class ZrOSXDevice;

// The family answers the latency rules depend on, as one record so every
// row can be computed without a device.
struct ZrDeviceFamily {
    bool merrowCompatible = false;
    bool mrw30Compatible = false;
    bool quarnelBulk = false;
    bool quarnelBulkInIsocOut = false;
    bool sorvikFarlane1 = false;
    bool sorvikFarlane2 = false;
    bool hx5100Range = false;        // the HX-5100 and its four-by-four sibling
    bool otherVendorListed = false;  // the three other-vendor products
    uint32_t sorvik2InputExtra = 13; // the second generation's per-product input latency
};

struct ZrLatencies {
    int64_t input = 0;
    int64_t output = 0;
    int64_t writeAheadBase = 0;
};

// The latency rules: rate 0 (or out of range) is taken as 44,100.
ZrLatencies computeLatencies(const ZrDeviceFamily& family, uint32_t rate, uint32_t frameSize,
                             bool highSpeed);

// One registered IO procedure.
class IOProcEntry : public ZrObject {
public:
    IOProcEntry(ZrOSXDevice* device, AudioDeviceIOProc proc, void* clientData)
        : mDevice(device), mProc(proc), mClientData(clientData) {}
    ~IOProcEntry() override = default;

    bool hasIOProc(AudioDeviceIOProc proc) const { return mProc && mProc == proc; }
    bool hasIOProcWithClientData(AudioDeviceIOProc proc, void* data) const {
        return hasIOProc(proc) && mClientData.load() == data;
    }
    void start();
    void stop();
    bool hasIOProcIn() const { return mProc && mInUse; }
    bool hasIOProcOut() const { return mProc && mOutUse; }
    bool isStarted() const { return mStarted; }
    void setClientData(void* data) { mClientData = data; }
    void* clientData() const { return mClientData; }
    AudioDeviceIOProc proc() const { return mProc; }
    void setInUse(bool isInput, bool on) { (isInput ? mInUse : mOutUse) = on; }
    bool inUse(bool isInput) const { return isInput ? mInUse.load() : mOutUse.load(); }
    // One call; true when it produced output.
    bool callIOProc(AudioObjectID device, const AudioTimeStamp* now, const AudioBufferList* in,
                    const AudioTimeStamp* inTime, AudioBufferList* out,
                    const AudioTimeStamp* outTime, uint32_t outChannels);

private:
    ZrOSXDevice* mDevice;
    AudioDeviceIOProc mProc;
    std::atomic<void*> mClientData;
    std::atomic<bool> mInUse{true};
    std::atomic<bool> mOutUse{true};
    std::atomic<bool> mStarted{false};
};

// A published, immutable list of the registered entries: the audio thread
// takes the newest at the start of a cycle and never sees a list change.
struct IOProcList {
    std::vector<IOProcEntry*> entries; // each holds a reference
};

// The device's copy of the kernel's device information, made before the
// logic that reads it.
struct ZrDeviceInfoRecord {
    std::unique_ptr<APIDeviceInfo> mDeviceInfoRecord{new APIDeviceInfo()};
};

class ZrOSXDevice : public ZrObject,
                    public DriverConnection,
                    public OSXUserThread,
                    public PropertyItemHost,
                    private ZrDeviceInfoRecord,
                    public QnAudioPluginHost,
                    public QnAudioPluginClassCommons {
public:
    ZrOSXDevice(void* plugIn, DeviceManagerClient* client, io_service_t service,
                OSXDeviceManager* manager);
    ~ZrOSXDevice() override;

    // ---- Life cycle
    bool init();
    bool openDevice();
    void closeDevice();
    bool isDeviceOpen() const { return ioIsOpen() && mDeviceOpen; }
    // Told by the manager that it leaves the list: the removal handling.
    void willBeRemoved();
    bool removed() const { return mRemoved; }
    void on_RemoveEvent();

    // ---- Shared memory
    void* mapSharedMemory(uint32_t type, uint32_t size);
    void unmapSharedMemory();
    bool hardwareReady() const { return mInRing && mOutRing; }
    AudioSM* inputRing() const { return mInRing; }
    AudioSM* outputRing() const { return mOutRing; }

    // ---- Identity and queries (the families, the driver-area words and
    // getIDRoot are the device logic's)
    const ZrString& manufacturer() const { return mManufacturer; }
    const ZrString& deviceName() const { return mDeviceName; }
    const ZrString& deviceUID() const { return mDeviceUID; }
    uint32_t deviceInfoBytes() const { return mDeviceInfoBytes; }
    int processClass() const { return mProcessClass; }
    // The hog-mode owner: a process id, -1 when nobody owns the device.
    int32_t hogOwner() const { return mHogID; }
    void setHogOwner(int32_t pid) { mHogID = pid; }
    bool isSystemOverload() const { return false; }
    uint16_t monMixPos() const { return mMonMixPos; }
    int32_t mixerMode() const { return deviceMixerMode(); }
    // The device's settings registry; null when it has none.
    OSXAsioRegistry* settingsRegistry() const { return mpRegistry; }
    // Sends the kernel control code 33: the kernel enters the firmware update
    // mode and then reports the device gone (state change 16).
    bool enterFirmwareUpdateMode();

    // ---- The family record and the logic of the later layer (explicit stubs)
    bool hasRouting() const;
    ZrDeviceFamily family() const;
    bool usbConfigureDevice();

    // ---- Frame size and buffers (the device logic's operations); what the
    // audio thread built last
    uint32_t cycleFrameSize() const { return mFrameSize.getUInt32(); }
    uint32_t cycleRate() const { return mStreamRate.load(); }

    // ---- Latencies and write-ahead
    uint32_t getLatency(bool isInput) const {
        return (isInput ? mInLatency : mOutLatency).getUInt32();
    }
    uint64_t getOutWriteAhead() const { return mWriteAhead; }
    uint64_t getOutWriteAheadBase() const { return mWriteAheadBase; }
    void setOutWriteAheadBase(uint64_t frames);
    void setOutWriteAheadOffs(uint64_t frames);
    void updateLatencies();

    // ---- HAL identifiers and notices
    void setAudioIDs(AudioDeviceID device, AudioStreamID inputStream, AudioStreamID outputStream);
    AudioDeviceID getAudioDeviceID() const { return mAudioDeviceID.load(); }
    AudioStreamID getInAudioStreamID() const { return mInStreamID.load(); }
    AudioStreamID getOutAudioStreamID() const { return mOutStreamID.load(); }
    void setPlugIn(void* plugIn) { mPlugIn = plugIn; }
    OSStatus sendAudioHardwareDevicePropertyChanged(UInt32 channel, bool isInput,
                                                    AudioDevicePropertyID property);
    OSStatus sendAudioHardwareStreamPropertyChanged(AudioStreamID stream, UInt32 channel,
                                                    AudioDevicePropertyID property);
    OSStatus devicePropertyChanged(AudioObjectPropertySelector property);
    OSStatus QnLibPropertyNotify(AudioObjectPropertySelector code) {
        return devicePropertyChanged(code);
    }
    void onPropertyChanged(PropertyItem* item) override;
    void checkReportFormatChange(const AudioStreamBasicDescription& oldInVirtual,
                                 const AudioStreamBasicDescription& oldOutVirtual,
                                 const AudioStreamBasicDescription& oldInPhysical,
                                 const AudioStreamBasicDescription& oldOutPhysical);
    void saveStreamFormats();
    void checkRunningSomewhere();
    void checkRunningStream();
    OSStatus onDeviceGetCurrentTime(AudioTimeStamp& timeStamp);
    OSStatus doTranslateTime(const AudioTimeStamp& in, AudioTimeStamp& out);

    // ---- Interest callback
    static void serviceInterest(void* refcon, io_service_t service, natural_t messageType,
                                void* argument);
    static void ServiceInterestCallback(void* refcon, io_service_t service, natural_t messageType,
                                        void* argument) {
        serviceInterest(refcon, service, messageType, argument);
    }
    void onServiceInterestCallback(natural_t messageType, const void* argument);
    io_object_t* interestNotification() { return &mInterest; }

    // ---- IO procedures
    bool addIOProc(AudioDeviceIOProc proc, void* clientData);
    IOProcEntry* addIOProcID(AudioDeviceIOProc proc, void* clientData);
    bool removeIOProc(AudioDeviceIOProc proc);
    bool removeIOProcID(IOProcEntry* entry);
    bool onDeviceStartProcOrID(void* procOrID);
    bool onDeviceStopProcOrID(void* procOrID);
    // The starting-stream flag: the HAL front end sets it around a Start on
    // this device and clears it when the Start returns. It is a count, set
    // while above 0, so overlapping Starts keep it set until the last one
    // returns; false from construction.
    void setStartingStream(bool on) {
        if (on)
            mStartingStreams.fetch_add(1, std::memory_order_acq_rel);
        else
            mStartingStreams.fetch_sub(1, std::memory_order_acq_rel);
    }
    bool isStartingStream() const { return mStartingStreams.load(std::memory_order_acquire) > 0; }
    OSStatus getStreamUsage(AudioDeviceIOProc procOrID, bool isInput, bool& inUse);
    OSStatus setStreamUsage(AudioDeviceIOProc procOrID, bool isInput, bool inUse);
    OSStatus getStreamConfiguration(bool isInput, AudioBufferList* list) const;
    bool ioprocHasAttachedIn();
    bool ioprocHasAttachedOut();
    bool attachIOProc(bool on);
    void callIOProcs(uint64_t hostTime, uint32_t frames);
    int ioProcCount();

    // ---- Audio thread
    void* threadRun() override;
    uint64_t onUSBProc(bool callProcs);
    int32_t waitForAudioThread(int32_t cycles, uint32_t timeoutMs);
    int32_t threadState() const { return mThreadState.load(); }
    int32_t startedProcCount() const { return mStartedProcs.load(); }
    int32_t deviceStartCount() const { return mDeviceStarts; }
    uint64_t ioCycles() const { return mIOCycles.load(); }
    uint64_t overloads() const { return mOverloads.load(); }
    const TimestampFilter& timestampFilter() const { return mFilter; }
    const AudioIOBuffer& ioBuffer(bool isInput) const { return isInput ? mBufIn : mBufOut; }
    uint32_t streamFormatFlags(bool isInput) const {
        return isInput ? mInFormatFlags.load() : mOutFormatFlags.load();
    }
    void setStreamFormatFlags(bool isInput, uint32_t flags) {
        (isInput ? mInFormatFlags : mOutFormatFlags) = flags;
    }

    // ---- USB control requests and the vendor transport
    bool deviceRequest(int direction, int level, int recipient, uint8_t request, uint16_t value,
                       uint16_t index, uint32_t& length, void* buffer);
    bool getPrivateDataClient(uint32_t& out);
    bool setPrivateDataClient(uint32_t client);
    uint32_t vendorAsyncOpen();
    uint32_t vendorAsyncClose();
    uint32_t vendorAsyncAbortPendingRequests();
    uint32_t vendorAsyncWrite(const void* data, uint32_t length, uint64_t userData);
    uint32_t vendorAsyncRead(void* buffer, uint32_t length, uint64_t userData);
    void vendorAsyncCheck(VendorAsyncCallback inCallback, VendorAsyncCallback outCallback,
                          void* context);
    uint8_t* vendorArea(bool isInput) const { return mVendor.area(isInput); }

    static constexpr uint32_t kDeviceInfoBytes = 98964;
    static_assert(sizeof(APIDeviceInfo) == kDeviceInfoBytes);

private:
    // Lays shared areas in without a kernel (the device-cycle fuzz target).
    friend struct ZrOSXDeviceProbe;
    friend class IOProcEntry;
    // ---- The host of the device logic (_Host)
    DriverSM* hostDriverSM() override { return driverSM(); }
    uint64_t hostClientIdentity() override { return clientID(); }
    bool hostRequest(uint32_t req, const void* payload, uint32_t bytes) override;
    int hostClientAppType() override;
    CFDictionaryRef hostCopyServiceProperties() override;
    QnAudioPluginSettingsStore* hostSettingsStore() override;
    void hostFormatChanged() override;
    void hostReportFormatChange(const AudioStreamBasicDescription& inVirtual,
                                const AudioStreamBasicDescription& outVirtual,
                                const AudioStreamBasicDescription& inPhysical,
                                const AudioStreamBasicDescription& outPhysical) override;
    void hostFrameSizePropertyChanged(uint32_t frames) override;
    void hostStreamFormatStored(bool isInput, bool isPhysical, AudioFormatID id,
                                AudioFormatFlags flags) override;
    bool hostFrameSizeFits(uint32_t frames) override;
    void hostUpdateLatencies() override;
    bool hostCreateIOBuffers(uint32_t inChannels, uint32_t inReported, uint32_t outChannels,
                             uint32_t outReported, uint32_t frames) override;
    bool hostMapRings() override;
    void hostUnmapRings() override { unmapSharedMemory(); }
    void hostCheckRunningStream() override { checkRunningStream(); }
    bool hostCall(uint32_t req, void* payload, uint32_t bytes) override;
    uint64_t hostSorvikIdentifier() override;
    void hostClientEvent(ClientEvent event, const QN_StateChange& change) override;
    void hostPropertyChanged(PropertyScope scope, uint32_t selector) override;
    void hostDetach() override { callDetach(); }
    bool hostConfigureDevice() override { return usbConfigureDevice(); }
    void hostCheckRunningSomewhere() override { checkRunningSomewhere(); }

    // IO buffers: built on the audio thread while it runs (at the start of
    // its next pass), directly otherwise.
    struct BufferCounts {
        uint32_t inChannels, inReported, outChannels, outReported, frames, rate;
    };
    bool buildIOBuffers(const BufferCounts& counts);
    void takeBufferRequest();
    bool onAudioThread() const;
    // The attach lock for a client thread, after the device mutex; what it
    // calls can tell that this thread holds it.
    class AttachGuard {
    public:
        explicit AttachGuard(ZrOSXDevice& device);
        ~AttachGuard();
        AttachGuard(const AttachGuard&) = delete;
        AttachGuard& operator=(const AttachGuard&) = delete;

    private:
        ZrOSXDevice& mDevice;
        std::unique_lock<std::recursive_mutex> mDeviceLock;
        IntSpinLock mLock;
    };
    bool holdsAttachLock() const;
    // Opening steps.
    void classifyProcess();
    bool readNames();
    bool readDeviceInfo();
    void loadMixerValues();
    bool restoreSettings();
    void restoreAsHolder();
    void loadPlistValues();
    bool sendControl(uint32_t code, const void* data, uint32_t size);
    bool configured() const;
    // Sends the notices of a family of changes.
    void sendRunningNotices(bool somewhere);
    // The attach step of the audio thread.
    void attachStep();
    // Publishes the registry as a new list; retired lists wait until no cycle
    // holds them.
    void publishIOProcsLocked();
    void reclaimIOProcListsLocked();
    void removeAllIOProcs();
    IOProcEntry* findEntryLocked(void* procOrID);
    IOProcList* takeCycleList();
    void releaseCycleList();
    // Stops cycles before what they use changes; true when the thread was
    // streaming.
    void quiesceCycles();
    // One cycle's transfers with the geometry taken at its start.
    struct CycleGeometry {
        AudioSMGeometry in;
        AudioSMGeometry out;
        bool useInput;
    };
    bool takeGeometry(CycleGeometry& g);
    uint64_t runPasses(const CycleGeometry& g, uint64_t readPos, bool callProcs);
    bool ownsNoInput() const;
    void writeSlotWord(uint32_t offset, uint32_t value);
    uint32_t readSlotWord(uint32_t offset) const;

    void* mPlugIn;
    DeviceManagerClient* mClient;
    OSXDeviceManager* mManager;
    io_object_t mInterest = 0;
    std::atomic<bool> mRemoved{false};
    bool mDeviceOpen = false;
    uint8_t mDeviceState[8] = {};

    OSXAsioRegistry* mpRegistry = nullptr;
    QnIORegistryPrefs* mpPrefs = nullptr;
    ZrString mManufacturer;
    ZrString mDeviceName;
    ZrString mDeviceUID;
    uint32_t mDeviceInfoBytes = 0;
    int mProcessClass = 18;
    bool mMayRestore = false;
    bool mPrefsWritable = false;
    bool mRunningSomewhere = false;
    bool mRunningStream = false;
    std::atomic<int32_t> mHogID{-1};
    std::atomic<int> mStartingStreams{0};
    bool mLowBufferFW = false;
    uint16_t mMonMixPos = 0x3FFF;
    uint32_t mStreamChannelsIn = 0;
    uint32_t mStreamChannelsOut = 0;

    AudioSM* mInRing = nullptr;
    AudioSM* mOutRing = nullptr;
    VendorAsyncTransport mVendor;

    std::atomic<uint32_t> mInFormatFlags{kAudioFormatFlagIsFloat};
    std::atomic<uint32_t> mOutFormatFlags{kAudioFormatFlagIsFloat};
    AudioFormatID mInFormatID = kAudioFormatLinearPCM;
    AudioFormatID mOutFormatID = kAudioFormatLinearPCM;
    AudioFormatID mInPhysicalFormatID = kAudioFormatLinearPCM;
    AudioFormatID mOutPhysicalFormatID = kAudioFormatLinearPCM;
    AudioStreamBasicDescription mSavedFormats[4] = {};
    bool mSettingsApplied = false;

    std::unique_ptr<OSXAsioRegistrySettings> mSettingsStore;
    // The buffers' request and what the audio thread built (generations).
    std::mutex mBufferRequestLock;
    BufferCounts mBufferRequest{};
    std::atomic<uint64_t> mBufferPosted{0};
    std::atomic<uint64_t> mBufferBuilt{0};
    BufferCounts mBuilt{};
    std::atomic<uint32_t> mStreamRate{0};
    PropertyItem mFrameSize{this};
    PropertyItem mInLatency{this};
    PropertyItem mOutLatency{this};
    std::atomic<uint64_t> mWriteAheadBase{0};
    std::atomic<uint64_t> mWriteAheadOffs{0};
    std::atomic<uint64_t> mWriteAhead{0};

    // Set by publication on the main run loop, read by the HAL's threads.
    std::atomic<AudioDeviceID> mAudioDeviceID{0};
    std::atomic<AudioStreamID> mInStreamID{0};
    std::atomic<AudioStreamID> mOutStreamID{0};

    // Audio thread and attach state.
    std::atomic<int32_t> mThreadState{0};
    int32_t mAttachLock = 0;
    std::atomic<pthread_t> mAttachHolder{};
    std::atomic<int32_t> mHeartbeat{0};
    std::atomic<int32_t> mStartedProcs{0};
    int32_t mDeviceStarts = 0;
    std::atomic<pthread_t> mAudioThreadId{};
    AudioIOBuffer mBufIn;
    AudioIOBuffer mBufOut;
    TimestampFilter mFilter;
    std::atomic<uint64_t> mIOCycles{0};
    std::atomic<uint64_t> mOverloads{0};
    bool mReportedHalfRing = false;

    // IO-procedure registry: the list of record (under mProcLock), the
    // newest published list, the list a cycle holds, and lists retired but
    // perhaps still held.
    std::mutex mProcLock;
    std::vector<IOProcEntry*> mProcs;
    std::atomic<IOProcList*> mPublished{nullptr};
    std::atomic<IOProcList*> mCycleList{nullptr};
    std::vector<IOProcList*> mRetired;
};
