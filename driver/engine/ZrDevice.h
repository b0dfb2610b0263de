// The per-device model and control object of the kernel driver: the
// device's identity and descriptor data, the driver shared area and the
// device ring, the specific features from the driver's personality, the
// firmware-updater state and the start-up and teardown of the device side.
//
// It also carries the device side of a configuration: the chosen pipes, the
// bindings of the chosen interface and endpoint records to the stack's
// objects, the converter and selector choices (ZrConfigControls) and the
// client mixer (DriverData) they feed.
//
// The real-time thread and the isochronous transport are the transport's
// classes (driver/engine/transport), owned here. A neighbour that is not
// built yet is a small stub that records each call in the device's stub
// trace (recordStub), the one place tests look for what it was handed.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/QN_DeviceDescriptor.h"
#include "abi/QN_Dispatch.h"
#include "driver/engine/SharedMemory.h"
#include "driver/engine/ZrPipeSet.h"
#include "driver/engine/ZrDeviceTraits.h"
#include "driver/engine/ZrUsbBindings.h"
#include "driver/engine/config/ZrConfigControls.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "driver/clients/AJ.h"
#include "driver/clients/VendorAsyncPort.h"
#include "driver/engine/transport/KeThread.h"
#include "driver/engine/transport/LevelMeters.h"
#include "driver/engine/transport/ZrBulkStreaming.h"
#include "driver/engine/transport/ZrIsocStreaming.h"
#include "driver/engine/transport/ZrStreamRecovery.h"
#include "driver/transcoders/PCMConvert.h"
#include "platform/usb/IOUSBHostFamily.h"

class ZrKernelDeviceKorvexHX5100;
class USBByteBuffer;
class IOUserClient;
class DriverData;

constexpr uint32_t kDeviceInfoSize = sizeof(APIDeviceInfo);
constexpr uint32_t kBufferMemoryBytes = 8192;

// Firmware-updater state.
enum : uint32_t { kFwUpdaterUnknown = 0, kFwUpdaterActive = 1, kFwUpdaterNotActive = 2 };

// Copies a USB string descriptor's low bytes into out; never reads past the
// bytes received nor writes past size - 1 characters; does not terminate.
void copyUsbStringToCString(const uint8_t* desc, uint32_t received, char* out, int size);

// The channel counts a device reports in its 5-byte firmware information:
// outputs from byte 3, inputs from byte 4 (pairs, at most 16 and 32).
void ZrFirmwareChannelCounts(const uint8_t reply[5], uint32_t& inputs, uint32_t& outputs);

// The PIC microcontroller's rate command: 48, 44.1 and 32 kHz have one
// each; another rate gives 0 when strict, else the 44.1 kHz command.
uint8_t picCommandForRate(uint32_t rate, bool strict);

// The device's streaming state: stopped, running, or suspended (stopped so
// that a resume lays the clients' rings out again as they were). Running and
// suspended are one bit each: a stream being suspended, or started again
// before its resume, runs with the suspension noted and stops into Suspended.
enum class ZrStreamingState : uint8_t {
    Stopped = 0,
    Running = 1,
    Suspended = 2,
    RunningSuspended = 3,
};

class ZrDevice : private AJDevice, private VendorAsyncDevice {
public:
    explicit ZrDevice(ZrKernelDeviceKorvexHX5100& service);
    virtual ~ZrDevice();
    ZrDevice(const ZrDevice&) = delete;
    ZrDevice& operator=(const ZrDevice&) = delete;

    bool onServiceStart(IOUSBHostDevice* usbDevice);
    void terminate();
    // Forgets a closing client: the owner words it holds (by its opaque
    // identifier), the vendor port, and the hog owner when the identifier the
    // client registered (hogId, -1: none) is it. Nothing for a null client.
    void onClientClosed(const IOUserClient* client, int64_t hogId);
    uint32_t getLocationID(IOUSBHostDevice* usbDevice);

    bool scanDeviceDescriptor(USBByteBuffer& buffer);
    // What the descriptor scan knows of every device before its firmware
    // or descriptors say more: clock sources 0 and 1, 2 + 2 channels, no
    // start-up wait.
    void initDeviceSpecificData();
    void scanFirmwareVersion();
    // Device-specific data (the descriptor model keeps its own channel
    // counts, which only the firmware's answer sets).
    struct SpecificData {
        uint8_t mClockSourceAvailable[3] = {0, 0, 0};
        uint8_t mEnabled = 0;
        bool mUSB3 = false;
        uint32_t mInputChannels = 0;
        uint32_t mOutputChannels = 0;
        uint32_t mStartupWaitMs = 0;
        bool mPendingChange = false; // channel counts changed while streaming
    };
    const SpecificData& getSpecificData() const { return mDeviceData; }
    // The pending-change flag: set when the channel counts change while
    // streaming; the next input completion takes it and breaks the stream.
    void setPendingChange() {
        __atomic_store_n(&mDeviceData.mPendingChange, true, __ATOMIC_SEQ_CST);
    }
    bool takePendingChange() {
        return __atomic_exchange_n(&mDeviceData.mPendingChange, false, __ATOMIC_SEQ_CST);
    }
    bool isPendingChange() const {
        return __atomic_load_n(&mDeviceData.mPendingChange, __ATOMIC_SEQ_CST);
    }
    // Commands to the listed device's microcontroller (false, with nothing
    // sent, for every other device): set writes the command byte, get reads
    // the answer byte, and sendPicCommand repeats set and get until a get
    // succeeds.
    bool sendSetPicCommand(uint8_t cmd);
    bool sendGetPicCommand(uint8_t cmd);
    bool sendPicCommand(uint8_t cmd);
    void doDelay(uint32_t ms);
    void initialSettings(const APISpecificFeatures* features);
    void setCustomName(const char* text);
    const char* getCustomName() const { return mCustomName; }

    void stcNotify(uint32_t code, uint32_t param1);
    void stcNotifyFromClient(uint32_t code, uint64_t client, uint32_t param1 = 0);
    void stcNotifyStreaming(uint32_t code, uint32_t param1);
    bool isStreamBroken() const { return mIsocStreaming.streamBrokenWord() != 0; }

    uint32_t getHALVersion() const { return mHALVersion; }
    void setHALVersion(uint32_t v);
    static uint32_t getUSBVersion() { return kDriverVersionWord; }
    void storeSettings();

    // Control blocks a client wrote into the shared area: applied to the
    // device, then announced with the client as originator.
    void UpdateMuteStatus(uint64_t client);
    void UpdateDataSourceSelector(uint64_t client);
    void UpdateVolumeStatus(bool skip, uint64_t client);
    void UpdateMonitorStatus(int value, uint64_t client);
    void UpdateTolvaneRouting(int value, uint64_t client);
    bool getCanMonitor() const;
    uint32_t getMonitorValue() const;
    uint32_t getTolvaneRoutingValue() const;
    // Copies the controls last applied, when there are any.
    void deviceSettingsLoadControls(XsDeviceControls& controls, uint16_t vendor,
                                    uint16_t product) const;
    // Applies a control block to the device against the current (kernel)
    // block; what was applied becomes current and saved, and is published in
    // the shared area at 7028 and 10872. A change that needs a new stream
    // configuration stops, unconfigures and (Trunk products) restarts.
    void setSelectors(const XsDeviceControls& controls);
    // Copies the current block out.
    void getSelectors(XsDeviceControls& controls) const;
    const XsDeviceControls& currentControls() const { return mCurrentControls; }
    // After a configuration: fill the current block from the device (when
    // its features say it is class-compliant), then apply the saved settings.
    void configureDeviceControls();
    // The Halvard Trunk start-ups at stream start.
    void initHalVardTrunk();
    void initHalVardTrunk2();
    bool isHalvardTrunkProduct() const;
    // The one product whose output path choice is a choice of USB interface:
    // the output stream moves to the chosen endpoint's interface (a stream
    // that ran is started again on it).
    void usbApplyInterfaceSelector(const XsDeviceControls& requested);
    // The deep-sleep command (true when the device took it).
    bool sendDeepSleep();
    // System sleep and wake-up: set at wake-up, read and cleared by stream
    // recovery.
    void setWasPowerDownMode() { __atomic_store_n(&mbWasPowerDownMode, true, __ATOMIC_SEQ_CST); }
    bool wasPowerDownMode() const { return __atomic_load_n(&mbWasPowerDownMode, __ATOMIC_SEQ_CST); }

    QnChannelSettings& getCurrentSettings();
    QnAjExtData& getAjExtData();
    DriverSM* getDriverSM() const { return mpDriverSM; }

    // Firmware-updater state and firmware-update mode.
    uint32_t getFwUpdaterState() const {
        return __atomic_load_n(&mFwUpdaterState, __ATOMIC_SEQ_CST);
    }
    void setFwUpdaterState(uint32_t s) { __atomic_store_n(&mFwUpdaterState, s, __ATOMIC_SEQ_CST); }
    void initFirmwareUpdateMode();

    // Descriptor model and device information.
    bool scanConfigurationDescriptors(USBByteBuffer& buffer);
    bool buildInternalAPIDeviceInfo();
    // The descriptor model's configurations and device information record.
    ZrConfigurationDescriptor* getConfigurationDescriptor(int i) const {
        return mConfigurations.getConfigurationDescriptor(i);
    }
    int getCountConfigurationDescriptors() const {
        return mConfigurations.getCountConfigurationDescriptors();
    }
    void getAPIDeviceInfo(APIDeviceInfo& info) const { mConfigurations.getAPIDeviceInfo(info); }
    // Drop every streaming format (or rate) the specific features exclude.
    void disableAllByFrequency(unsigned rate) { mConfigurations.disableAllByFrequency(rate); }
    void disableAllByResolution(int bits) { mConfigurations.disableAllByResolution(bits); }
    void disableAllByChannels(unsigned char channels) {
        mConfigurations.disableAllByChannels(channels);
    }
    APIDeviceInfo* getAPIDeviceInfoPtr() { return reinterpret_cast<APIDeviceInfo*>(mpDeviceInfo); }
    uint32_t getConfigurationCount() const { return mConfigurationCount; }
    void setConfigurationCount(uint32_t n) { mConfigurationCount = n; }

    // Configuration. onPrepareNewConfig switches to a new channel setting
    // for the client `from` (its opaque identifier) and returns the
    // configured flag; result, when given, receives why it failed
    // (kIOReturnBadArgument for a rate the driver refuses: nothing changed).
    bool onPrepareNewConfig(const QnChannelSettings& requested, uint64_t from, bool force,
                            IOReturn* result = nullptr);
    // False when the isochronous transport cannot stream the chosen
    // alternates (the configuration then fails).
    bool configurationDone(char flag, USB_DEC_FNC decoder);
    void onUnconfigure();
    void startStreamAfterConfig();
    bool isConfigured() const;
    bool isStreamingStarted() const {
        return (uint8_t(mStreamingState.load()) & uint8_t(ZrStreamingState::Running)) != 0;
    }
    // Sets the bandwidth of an isochronous pipe for rate (0: the current
    // one): stored in the pipe, handed to the service; the service's result
    // (0 for a null pipe or one whose bandwidth is fixed).
    IOReturn checkBandwidthForPipe(ZrPipeDescriptor* pipe, int rate);
    // Sampling-frequency control of the input pipe's endpoint (else the
    // output's).
    bool setFrequency(ZrPipeDescriptor* in, ZrPipeDescriptor* out, int rate);
    uint32_t getFrequency(ZrPipeDescriptor* in, ZrPipeDescriptor* out);
    void startupHalVardTrunk2();
    bool isTrunk2Product() const;
    // Devices that refuse the sampling frequency while they start and need
    // the request repeated.
    bool needsSetFrequencyRepeats() const;
    // Whether the device is on one of the product table's lists.
    bool isListed(ZrProductList list) const { return mTraits.has(list); }
    const ZrDeviceTraits& traits() const { return mTraits; }
    ZrUsbBindings& getBindings() { return mBindings; }
    ZrConfigControls* getConfigControls() { return mpConfigControls.get(); }
    DriverData* getDriverData() const { return mpDriverData; }
    // The input decoder of the current configuration (what the isochronous
    // input takes).
    USB_DEC_FNC getInputConverter() const { return mInputConverter; }
    ZrDeviceTraits getConfigTraits() const;

    // The streaming parts: the transport, its real-time thread, the input
    // ring (the kernel's writer of the device's audio area) and the frame
    // pattern.
    ZrIsocStreaming& getIsocStreaming() { return mIsocStreaming; }
    // The bulk and interrupt transports.
    ZrBulkStreaming& getBulkStreaming() { return mBulkStreaming; }
    // The DMA register: 8-bit units up to 16 inputs (Brava always), 16-bit
    // units above; the DMA word width that follows (16 or 32).
    uint32_t setAJDMAInputChannels(uint32_t inChannels);
    // The request-block arrays of the configuration (64 blocks of 512 bytes
    // when filled; a filled array stays as it is), emptied when it goes.
    void initBulkRqBs(char flag, ZrSimpleArray& array);
    void initInterruptRqBs(char flag, ZrSimpleArray& array);
    void terminateBulkRqBs(ZrSimpleArray& array) { ZrTerminateRqBs(array); }
    void terminateInterruptRqBs(ZrSimpleArray& array) { ZrTerminateRqBs(array); }
    BulkRB* findFreeBulkRqB(ZrSimpleArray& array) { return ZrFindFreeBulkRqB(array, 0); }
    ZrSimpleArray mBulkRqBsIn, mBulkRqBsOut, mInterruptRqBsIn, mInterruptRqBsOut;
    KeThread& getRTThread() { return mRTThread; }
    SharedMemory& getAudioSMArea() { return mAudioSMArea; }
    SharedMemory& getDriverSMArea() { return mDriverSMArea; }
    AudioSMWriter& getInputRing() { return mInputRing; }
    ZrFramePatternObserver& getFramePattern() { return mFramePattern; }

    // The pipes of the current configuration; the configuration hands over
    // its choice of all of them at once.
    const ZrPipeSet& pipes() const { return mPipes; }
    void adoptPipes(const ZrPipeSet& chosen) { mPipes = chosen; }
    bool mUseInterruptTransfers = false;

    void stopStreaming(bool wait);
    // Other makers' meters (product rows of the class-compliant devices),
    // for the start's meter choice.
    void chooseClassDeviceMeters(uint32_t inChannels, LevelProcessorFnc& input,
                                 LevelProcessorFnc& output) const;
    // The level meters chosen at stream start (null: none).
    LevelProcessorFnc getInputMeter() const { return mInputMeter; }
    LevelProcessorFnc getOutputMeter() const { return mOutputMeter; }
    // Starts the isochronous streams and the real-time service; a start that
    // cannot run leaves streaming stopped.
    void startStreaming();
    // A stream start asked for while the device could not start: the end of
    // the next configuration starts streaming (and clears the flag); a new
    // control block clears it too.
    void setStartPending(bool pending) {
        __atomic_store_n(&mStartPending, pending, __ATOMIC_SEQ_CST);
    }
    bool isStartPending() const { return __atomic_load_n(&mStartPending, __ATOMIC_SEQ_CST); }
    // The 8,192-byte page-aligned buffer the device keeps from construction
    // to destruction.
    IOBufferMemoryDescriptor* getBufferMemory() const { return mpBufferMemory; }
    // Recovery of a broken stream: stage 1 claims the break (true once per
    // break), stops and unconfigures; any other stage configures again,
    // restarts streaming and tells the clients.
    bool handleStreamBroken(int stage);
    // Stops the transport and makes it forget its pipes, before they close.
    void releaseIsocPipes();
    // Recovery after a system power-down: the requests that wake the
    // device's streaming interfaces (Merrow devices of neither the MRW192
    // nor the MRW30 kind) or its configuration (Farlane-2 products).
    void powerDownRequests();
    void stopRealtimeThread();
    void detachAllClients();
    void terminateIsocRqBs();
    // Teardown after the stop: the vendor port of its owner aborted and
    // closed, the request blocks of every transport released.
    void releaseForTeardown();

    bool isUSB2Device() const { return mIsUSB2; }
    void setIsUSB2Device(bool usb2) {
        mIsUSB2 = usb2;
        mConfigurations.setIsUSB2Device(usb2);
        shareTransportKind();
    }
    // Tells the interface choice whether this device streams over bulk.
    void shareTransportKind() {
        mConfigurations.setBulkTransport(isQuarnelBulkDevice(), isQuarnelBulkInIsocOutDevice());
    }
    bool isUSB3Device() const { return mIsUSB3; }
    void setIsUSB3Device(bool usb3) { mIsUSB3 = usb3; }
    bool hasBadFrameNumber() const { return __atomic_load_n(&mBadFrameNumber, __ATOMIC_SEQ_CST); }
    void setBadFrameNumber() { __atomic_store_n(&mBadFrameNumber, true, __ATOMIC_SEQ_CST); }
    const QN_DeviceDescriptor& getDeviceDescriptorRecord() const { return mDescriptor; }
    uint32_t getFirmwareVersion() const { return mFirmwareVersion; }
    const char* getFirmwareVersionText() const {
        return reinterpret_cast<const char*>(mFirmwareBuffer + 4);
    }
    int32_t getHogOwner() const { return mHogOwner; }
    void setHogOwner(int32_t id) { mHogOwner = id; }
    bool hasSpecificFeatures() const { return mHasSpecificFeatures; }
    // Capability answers, from the product identity, the link speed and the
    // specific features.
    bool isMerrowCompatible() const;
    bool isQuarnelBulkDevice() const;
    bool isQuarnelBulkInIsocOutDevice() const;
    bool isPureBulkDevice() const;
    bool isMerrowCompatibleWithRawMidi() const;
    bool isMerrowCompatibleWithRegularMidi() const;
    bool isMRW192Compatible() const;
    bool isMRW30Compatible() const;
    bool canHandleRequestsWhileStreaming() const;
    bool ajHasNoDigital() const;
    bool setFreqOnOutPipe() const;
    bool can192() const;
    bool preventUSB1Mode() const;

    // The descriptor model: scanned configurations and chosen interfaces.
    ZrDeviceConfigurations& getConfigurations() { return mConfigurations; }
    const ZrDeviceConfigurations& getConfigurations() const { return mConfigurations; }

    // Interfaces opened by hand for the Trunk 2 product, one entry per
    // interface number below 8; each entry keeps its interface retained and
    // open for its opener until closed.
    class Trunk2Interfaces {
    public:
        static constexpr int kCount = 8;
        struct Entry {
            IOUSBHostInterface* mpIF = nullptr;
            IOService* mpOpener = nullptr;
            bool isFree() const { return mpIF == nullptr; }
            void close();
        };
        Trunk2Interfaces() = default;
        Trunk2Interfaces(const Trunk2Interfaces&) = delete;
        Trunk2Interfaces& operator=(const Trunk2Interfaces&) = delete;
        ~Trunk2Interfaces() { closeAll(); }
        bool add(IOUSBHostInterface* intf, IOService* opener);
        bool setIfAlt(int nInterface, int alternate);
        void close(int nInterface);
        void closeAll();
        const Entry& entry(int n) const { return mEntry[n]; }

    private:
        Entry mEntry[kCount];
    };
    Trunk2Interfaces& getTrunk2Interfaces() { return mTrunk2Interfaces; }

    // Personality values ("QnSpecific").
    uint32_t mMsWait = 0;
    uint32_t mInACR = 255;
    uint8_t mClockSourceSettings[3] = {0, 0, 0};

    // Control requests (one QN_Dispatch record, served in place). The
    // control client's entry has no requester; the streaming clients' entry
    // passes the calling client. Both run under the caller's dispatch lock.
    IOReturn onDispatch(QN_Dispatch* pDispatch);
    IOReturn onDispatchStreaming(IOUserClient* client, QN_Dispatch* pDispatch);
    IOReturn dispatchFunction(IOUserClient* client, QN_Dispatch* pDispatch);

    // ---- What the user clients read and set (ZrDevice_Clients.cpp).
    // DriverData with one more reference for the caller; null without.
    DriverData* getAndRetainDriverData();
    // New channel counts for the next configuration.
    void setReadChannels(int in, int out);
    // Extra bytes per frame a client ring carries for this product.
    uint32_t clientRingExtraBytes() const;
    // The two products with a mixer mode: channel counts of modes 1 and 2.
    bool isMixerModeProduct(int* ins = nullptr, int* outs = nullptr) const;
    // The user-configuration flag (set by a mixer-mode change, read and
    // cleared by the client that asks), the mixer status byte, the mixer
    // mode and the mixer values.
    bool takeUserConfigFlag() {
        return __atomic_exchange_n(&mUserConfigFlag, false, __ATOMIC_SEQ_CST);
    }
    void setUserConfigFlag() { __atomic_store_n(&mUserConfigFlag, true, __ATOMIC_SEQ_CST); }
    uint8_t getMixerStatus() const { return mMixerStatus; }
    void setMixerStatus(uint8_t v) { mMixerStatus = v; }
    uint32_t getMixerMode() const { return mMixerModeWord; }
    void setMixerMode(uint32_t v) { mMixerModeWord = v; }
    uint16_t getMixerBitmap() const { return mMixerBitmap; }
    uint16_t getMixerKnob() const { return mMixerKnob; }
    void setMixerValues(uint16_t bitmap, uint16_t knob) {
        mMixerBitmap = bitmap;
        mMixerKnob = knob;
    }
    // The vendor port: its area is the device's input area (memory type 6).
    SharedMemory& getVendorAsyncArea() { return mVendorAsyncPort; }
    VendorAsyncPort& getVendorAsyncPort() { return mVendorAsyncPort; }
    VendorAsyncDevice* vendorAsyncDevice() { return this; }
    uint32_t vendorPortOpen(VendorAsyncClient* client) { return mVendorAsyncPort.open(client); }
    uint32_t vendorPortClose(VendorAsyncClient* client, bool wait) {
        return mVendorAsyncPort.close(client, wait);
    }
    uint32_t vendorPortAbort(VendorAsyncClient* client, bool wait) {
        return mVendorAsyncPort.abort(client, wait);
    }

    // ---- Device controls (ZrDevice_Controls.cpp) ----
    // Settings words of the shared record; each setter returns the word now
    // in force.
    uint32_t getClockSource() { return getAjExtData().mClockSource; }
    uint32_t getUSB1Mode() { return getAjExtData().mUSB1Mode; }
    uint32_t getDigitalOutMode() { return getAjExtData().mDigitalOutMode; }
    uint32_t getDigitalOutSelector() { return getAjExtData().mDigitalOutSelector; }
    uint32_t setClockSource(uint32_t source);
    uint32_t setUSB1Mode(uint32_t mode);
    uint32_t setDigitalOutMode(uint32_t mode);
    void setDigitalOutSelector(uint32_t selector);
    IOReturn writeDigitalOutMode();
    uint32_t updateAjInputSelector(uint32_t* result);
    // Codec registers: the write's status, or 0xFFFFFFFF when streaming is
    // busy (nothing sent). The mirror keeps what the clients stored.
    IOReturn writeWolfsonRegister(uint16_t codec, uint16_t reg, uint16_t value);
    static constexpr unsigned kCodecs = 4, kCodecRegisters = 22;
    uint16_t getWolfsonMirror(unsigned codec, unsigned reg) const {
        return mCodecMirror[codec][reg];
    }
    void setOlvqCpldByte(uint8_t value);
    uint8_t getOlvqCpldByte() const;
    bool sendReplugCommand();
    // The device leaves the bus and comes back on its port once the call
    // has returned; false without a device.
    bool reEnumerateDevice();
    // The mixer buffer (the one the port-register read completes).
    const uint8_t* getMixerBuffer() const;
    void setMixerBuffer(const uint8_t buffer[64]);

    // ---- Streaming control (ZrDevice_Streaming.cpp) ----
    bool suspendStreaming();
    void resumeStreaming();
    bool isStreamingSuspended() const {
        return (uint8_t(mStreamingState.load()) & uint8_t(ZrStreamingState::Suspended)) != 0;
    }
    // The DSP parameter blocks clients store (four rates of 256 bytes, two
    // more kept as sent).
    static constexpr size_t kReverbBytes = 6 * 256;
    bool hasReverbBuffers() const { return mReverbPresent; }
    const uint8_t* getReverbBuffers() const { return mReverbBuffers; }
    void setReverbBuffers(const uint8_t* data);

    // ---- Sorvik map and name (ZrDevice_Sorvik.cpp) ----
    bool isSorvikMapCapable() const;
    bool isSorvikNamed() const;
    void setSorvikChannelMap(const QN_Sorvik_ChannelMap& map, bool send);
    void sendSorvikChannelMap();
    void getSorvikChannelMap(QN_Sorvik_ChannelMap& map) const;
    IOReturn setSorvikConfigAndChannelMap(const QN_Sorvik_ConfigAndMap& cfg);
    void getSorvikConfigAndChannelMap(QN_Sorvik_ConfigAndMap& out);
    IOReturn setSorvikDeviceName(const char* text);
    const uint8_t* getSorvikUID() const { return mSorvikUID; }
    const uint8_t* getSorvikDeviceName() const { return mSorvikName; }

    // ---- Levels and port words ----
    // The input level block: the real-time side raises entries, requests
    // take them; every entry is read and cleared atomically.
    void raiseInputLevel(unsigned channel, int32_t value);
    void takeInputLevels(int32_t out[32]);
    AJ& getAJ() { return mAJ; }
    // The USB-MIDI object of devices with raw MIDI; null for others.
    USBMidiDevice* getUSBMidiDevice() const { return mpUSBMidiDevice; }
    // Port-configuration words kept by the status parsers (two sets of
    // three); word 3 of set 1 is the port register the configuration reads.
    uint16_t getPortConfigWord(unsigned set, unsigned word) const;
    void setPortConfigWord(unsigned set, unsigned word, uint16_t value);

    // ---- Exclusive use (kernel-private owners; the shared words are copies) ----
    uint64_t getInputsOwner() const { return __atomic_load_n(&mInputsOwner, __ATOMIC_SEQ_CST); }
    uint64_t getOutputsOwner() const { return __atomic_load_n(&mOutputsOwner, __ATOMIC_SEQ_CST); }
    uint64_t getPrivateDataOwner() const {
        return __atomic_load_n(&mPrivateDataOwner, __ATOMIC_SEQ_CST);
    }

    // Every call a stub received, in order ("name arg=value ...").
    std::vector<std::string> stubTrace() const;

    void recordStub(const std::string& line) const;

private:
    bool readDeviceDescriptorWithRetries();
    // The one place the streaming state changes: sets and clears bits of the
    // state as it is, in one compare-exchange; returns the state before.
    ZrStreamingState changeStreamingState(ZrStreamingState set, ZrStreamingState clear);
    void setStreamingRunning(bool running) {
        changeStreamingState(running ? ZrStreamingState::Running : ZrStreamingState::Stopped,
                             running ? ZrStreamingState::Stopped : ZrStreamingState::Running);
    }
    void setStreamingSuspended(bool suspended) {
        changeStreamingState(suspended ? ZrStreamingState::Suspended : ZrStreamingState::Stopped,
                             suspended ? ZrStreamingState::Stopped : ZrStreamingState::Suspended);
    }
    // The steps of onServiceStart, in their order: the shared areas, the
    // identity and strings user space reads, the descriptor model, the
    // settings the personality gives, and the real-time thread.
    IOReturn createSharedAreas(const uint8_t* deviceDescriptor);
    IOReturn publishDeviceIdentity(IOUSBHostDevice* usbDevice, const uint8_t* deviceDescriptor);
    IOReturn loadDescriptorModel();
    void applyInitialSettings();
    IOReturn startRealTime();
    // Where the isochronous transport prepares its request blocks for a
    // pipe of the new configuration (the transport's IsocData::initForPipe).
    // Binds the transport to the isochronous input and output pipes of the
    // configuration with its settings; false when it cannot stream them.
    bool isocDataInitForPipe(ZrPipeDescriptor* in, ZrPipeDescriptor* out, USB_DEC_FNC decoder);
    void createConfigControls();
    // Takes the client's block into the private one, shows the saved state
    // in the shared block again and applies the private one; false without
    // a shared area.
    bool takeClientControls();
    // "No features" means no loaded specific-features record.
    bool hasFeatures() const { return mHasSpecificFeatures && mFeatures.mLoaded; }
    bool hasFeature(unsigned n) const { return hasFeatures() && mFeatures.hasFlag(n); }

    ZrKernelDeviceKorvexHX5100& mService;
    QN_DeviceDescriptor mDescriptor{};
    // The product row's traits, read when the device descriptor is scanned.
    ZrDeviceTraits mTraits = ZrReadDeviceTraits(0, 0, 0);
    APISpecificFeatures mFeatures{};
    bool mHasSpecificFeatures = false;
    APISpecificFeatures mInitialSettings{};
    char mCustomName[65] = {};
    uint8_t* mpDeviceInfo = nullptr;
    SharedMemory mDriverSMArea;
    SharedMemory mAudioSMArea;
    DriverSM* mpDriverSM = nullptr;
    DriverData* mpDriverData = nullptr;
    std::unique_ptr<ZrConfigControls> mpConfigControls;
    ZrUsbBindings mBindings;
    USB_DEC_FNC mInputConverter = nullptr;
    uint32_t mHALVersion = 0;
    int32_t mHogOwner = -1;
    bool mSettingsSaved = false;
    XsDeviceControls mSavedControls{};
    // The block being applied: taken from the shared area once, so a client
    // rewriting the shared block cannot change it halfway.
    XsDeviceControls mPrivateControls{};
    // The state last applied to the device: kernel-private, never read back
    // from the shared area.
    XsDeviceControls mCurrentControls{};
    uint32_t mFwUpdaterState = kFwUpdaterUnknown;
    bool mIsUSB2 = false;
    bool mIsUSB3 = false;
    bool mBadFrameNumber = false;
    bool mDescriptorScanned = false;
    bool mDescriptorMarksBadFrame = false;
    uint32_t mConfigurationCount = 0;
    // Reads mFeatures through a pointer: declared after it so it goes first.
    ZrDeviceConfigurations mConfigurations;
    uint32_t mFirmwareVersion = 0;
    uint8_t mFirmwareBuffer[16] = {};
    SpecificData mDeviceData;
    bool mRTThreadRunning = false;
    bool mbWasPowerDownMode = false;

    // What the transport and recovery ask of the device.
    class StreamHost : public IsocStreamHost, public StreamRecoveryHost, public BulkStreamHost {
    public:
        explicit StreamHost(ZrDevice& device) : mDevice(device) {}
        void stopStreaming(bool wait) override { mDevice.stopStreaming(wait); }
        void stcNotifyStreaming(uint32_t code) override { mDevice.stcNotifyStreaming(code, 0); }
        bool lockInputRing() override;
        void unlockInputRing() override;
        bool takePendingChange() override { return mDevice.takePendingChange(); }
        void powerDownRequests() override { mDevice.powerDownRequests(); }
        bool isStreamingStarted() override { return mDevice.isStreamingStarted(); }
        void unconfigureDevice(const char* reason) override;
        bool hasDriverData() override { return mDevice.mpDriverData != nullptr; }
        uint8_t digitalLock() override;
        bool prepareNewConfig() override;
        void reinitClientsForStreaming() override;
        void startStreaming() override { mDevice.startStreaming(); }
        void stcNotify(uint32_t code) override { mDevice.stcNotify(code, 0); }
        bool readDmaRegister(uint8_t& value) override;
        void writeDmaRegister(uint8_t value) override;
        void setPipeRates(uint32_t rate) override;
        uint32_t setAJDMAInputChannels(uint32_t inChannels, bool) override {
            return mDevice.setAJDMAInputChannels(inChannels);
        }
        bool nextMidiSlotFlagged() override { return mDevice.mAJ.nextBulkSlot(); }
        bool takeMidiByte(uint8_t& byte) override { return mDevice.mAJ.takeBulkMidiByte(byte); }
        bool takeControlByte(uint8_t& byte) override {
            return mDevice.mAJ.takeBulkControlByte(byte);
        }

    private:
        ZrDevice& mDevice;
    };
    StreamHost mStreamHost{*this};
    AudioSMWriter mInputRing;
    ZrFramePatternObserver mFramePattern;
    // The thread outlives the transport, whose stop waits on its barrier.
    KeThread mRTThread;
    ZrIsocStreaming mIsocStreaming{mStreamHost, mRTThread};
    ZrBulkStreaming mBulkStreaming{mStreamHost, mRTThread};
    // Binds the bulk or interrupt transport to the configuration's pipes;
    // false when its counts disagree.
    bool bulkStreamingPrepare(char flag);

    Trunk2Interfaces mTrunk2Interfaces;

    // Device controls, levels, Sorvik and ownership state.
    void publishOwners();
    void setOwner(uint64_t& owner, uint64_t value);

    // The control requests' handlers, one per concern (ZrDevice_Dispatch.cpp);
    // dispatchHandler routes each request code to its handler.
    struct DispatchCall {
        QN_Dispatch& record;
        uint32_t code;
        uint64_t requester; // the client's opaque identifier, 0 without a client
        bool gateOpen;      // no firmware update in progress
    };
    using DispatchHandler = IOReturn (ZrDevice::*)(DispatchCall&);
    friend struct ZrDispatchRoutes;
    static DispatchHandler dispatchHandler(uint32_t code);
    IOReturn dispatchSettings(DispatchCall& call);
    IOReturn dispatchClockAndModes(DispatchCall& call);
    IOReturn dispatchIdentity(DispatchCall& call);
    IOReturn dispatchOwnership(DispatchCall& call);
    IOReturn dispatchDeviceAccess(DispatchCall& call);
    IOReturn dispatchLevelsAndRouting(DispatchCall& call);
    IOReturn dispatchMixer(DispatchCall& call);
    IOReturn dispatchSorvik(DispatchCall& call);
    void publishAjExtData();
    void setBytesProperty(const char* key, const void* bytes, unsigned length);
    void setNumberProperty(const char* key, uint32_t value);

    uint16_t mCodecMirror[kCodecs][kCodecRegisters] = {};
    uint16_t mPortConfig[2][3] = {{0xFFFF, 0xFFFF, 0xFFFF}, {0, 0, 0}};
    int32_t mInputLevels[32] = {};
    int32_t mFootswitchMode = 0;
    int32_t mFootswitchProtocol = 0;
    uint8_t mReverbBuffers[kReverbBytes] = {};
    bool mReverbPresent = false;
    uint8_t mLocalMixerBuffer[64] = {};
    uint64_t mInputsOwner = 0;
    uint64_t mOutputsOwner = 0;
    uint64_t mPrivateDataOwner = 0;
    uint8_t mSorvikUID[8] = {};
    uint8_t mSorvikName[32] = {};
    // Changed only through changeStreamingState.
    std::atomic<ZrStreamingState> mStreamingState{ZrStreamingState::Stopped};
    bool mStartPending = false;
    IOBufferMemoryDescriptor* mpBufferMemory = nullptr;
    LevelProcessorFnc mInputMeter = nullptr;
    LevelProcessorFnc mOutputMeter = nullptr;
    AJ mAJ;
    USBMidiDevice* mpUSBMidiDevice = nullptr;
    void readSorvikIdentity();
    // Runs an exchange with streaming suspended, resuming when it ran.
    void exchangeSuspended(const std::function<void()>& exchange);
    // Start steps around the transports.
    void chooseMeters();
    void reselectOutAlternate();
    // The start on a device whose pipes are open (the end of a configuration
    // or a start on a configured device).
    void startConfiguredStreaming();
    void writeCurrentDspBlock();
    void startTransports();
    // The real-time service of isochronous output beside bulk input: the
    // output fill, then the bulk input processing, in one cycle.
    static void rtsIsocOutBulkIn(void* device);

    // ---- The MIDI and control port's view of the device (ZrDevice_Midi.cpp).
    uint16_t ajVendorID() const override;
    uint16_t ajProductID() const override;
    uint32_t ajProductFlags() const override;
    uint32_t ajFamilyCode() const override { return mInACR; }
    void ajSetFamilyCode(uint32_t code) override { mInACR = code; }
    bool ajHasRegularMidi() const override;
    bool ajIsBulkProtocol() const override { return isQuarnelBulkDevice(); }
    int ajSorvikGroup() const override;
    bool ajIsBrava() const override;
    int ajOtherMaker() const override;
    bool ajIsHighSpeed() const override { return mIsUSB2; }
    uint32_t ajSampleRate() const override;
    bool ajAudioInIsInterrupt1024() const override;
    DriverSM* ajDriverSM() const override { return mpDriverSM; }
    ZrInterfaceDescriptor* ajMidiInterface() const override;
    bool ajInitPipe(ZrPipeDescriptor* pipe, const char* name) override;
    IOUSBHostPipe* ajGetPipe(ZrPipeDescriptor* pipe) const override;
    void ajClosePipe(ZrPipeDescriptor* pipe) override;
    uint16_t ajPortWord(unsigned word) const override { return getPortConfigWord(0, word); }
    void ajSetPortWord(unsigned word, uint16_t value) override {
        setPortConfigWord(0, word, value);
    }
    uint32_t ajFootswitchMode() const override { return uint32_t(mFootswitchMode); }
    uint32_t ajFootswitchProtocol() const override { return uint32_t(mFootswitchProtocol); }
    int32_t* ajLevels() override { return mInputLevels; }
    void ajStateChange(uint32_t code) override { stcNotify(code, 0); }
    void ajSetReadChannels(int in, int out) override { setReadChannels(in, out); }

    // ---- The vendor port's view of the device (ZrDevice_Midi.cpp).
    bool vendorIsFarlane() const override;
    bool vendorMatchInterface(ZrInterfaceDescriptor*& intf) override;
    void vendorCloseInterface(ZrInterfaceDescriptor* intf) override;
    bool vendorInitPipe(ZrPipeDescriptor* pipe, const char* name) override;
    void vendorClosePipe(ZrPipeDescriptor* pipe) override;
    bool vendorHasUSBPipe(ZrPipeDescriptor* pipe) const override;
    IOReturn vendorIO(ZrPipeDescriptor* pipe, IOMemoryDescriptor* buffer, uint32_t length,
                      IOUSBHostCompletion* completion, uint32_t timeoutMs) override;
    void vendorAbortPipe(ZrPipeDescriptor* pipe) override;

    ZrPipeSet mPipes;
    mutable std::mutex mStubLock;
    mutable std::vector<std::string> mStubTrace;

    // ---- User-client side (ZrDevice_Clients.cpp).
    bool mUserConfigFlag = false;
    uint8_t mMixerStatus = 0;
    uint32_t mMixerModeWord = 0;
    uint16_t mMixerBitmap = 0;
    uint16_t mMixerKnob = 0;
    VendorAsyncPort mVendorAsyncPort;
};
