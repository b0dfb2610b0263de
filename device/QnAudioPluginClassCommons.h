// The device logic every user-space device object carries: device families
// and specific features, the device description scan, stream formats, the
// capability record and sample-rate choice, the settings change, frame sizes
// and IO-buffer preparation. It reaches its device only through
// QnAudioPluginHost, so the HAL build's device and the audio server's device
// carry the same code.
#pragma once

#include <cstdint>
#include <atomic>
#include <mutex>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "device/RIAA.h"
#include "platform/base/MacErrors.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/CoreAudioTypes.h"

// The settings store as the device logic uses it: the named settings it
// mirrors from the kernel and the values it reads back. Each build adapts
// its own preference-domain class (the HAL build's and the audio server's
// keep the same domain and keys).
class QnAudioPluginSettingsStore {
public:
    virtual ~QnAudioPluginSettingsStore() = default;
    virtual bool setUInt16Value(uint16_t value, const char* key) = 0;
    virtual bool getUInt16Value(uint16_t& value, const char* key) = 0;
    virtual void setWolfsonRegister(int codec, int reg, uint32_t value) = 0;
    virtual void setSampleRate(uint32_t rate) = 0;
    virtual void setFootSwitchMode(uint32_t mode) = 0;
    virtual void setFootSwitchProtocol(uint32_t protocol) = 0;
    virtual void setMixerFractions(const void* bytes) = 0;
    virtual void setRoutingMatrix(const void* bytes) = 0;
    virtual void setDigitalOutMode(uint32_t mode) = 0;
    virtual void setClockSource(uint32_t source) = 0;
    virtual void setMixerMode(int32_t mode) = 0;
    virtual void setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap& record,
                                           uint64_t identifier) = 0;
    virtual bool getRouting(int first, int second, uint32_t& value) = 0;
    virtual void setRouting(int first, int second, uint32_t value) = 0;
    // Writes the domain out.
    virtual void store() = 0;
};

// What the device logic needs of the device that carries it: the driver
// area, the request call, the client-application type, the settings store
// and the change sink.
class QnAudioPluginHost {
public:
    virtual ~QnAudioPluginHost() = default;
    // The mapped driver area, or null.
    virtual DriverSM* hostDriverSM() = 0;
    // This connection's client identity (request 27).
    virtual uint64_t hostClientIdentity() = 0;
    // Sends a request through the connection guard with the payload copied
    // into the request record; false when it fails.
    virtual bool hostRequest(uint32_t req, const void* payload, uint32_t bytes) = 0;
    // The process's client-application type.
    virtual int hostClientAppType() = 0;
    // The kernel service's properties (a copy the caller releases), or null.
    virtual CFDictionaryRef hostCopyServiceProperties() = 0;
    // The device's settings store, or null.
    virtual QnAudioPluginSettingsStore* hostSettingsStore() = 0;
    // Change sink.
    virtual void hostFormatChanged() = 0; // the client's onFormatChanged
    virtual void hostReportFormatChange(const AudioStreamBasicDescription& inVirtual,
                                        const AudioStreamBasicDescription& outVirtual,
                                        const AudioStreamBasicDescription& inPhysical,
                                        const AudioStreamBasicDescription& outPhysical) = 0;
    virtual void hostFrameSizePropertyChanged(uint32_t frames) = 0;
    // A direction's format identifier and flags were stored (the audio
    // cycle converts by the virtual flags).
    virtual void hostStreamFormatStored(bool /*isInput*/, bool /*isPhysical*/, AudioFormatID /*id*/,
                                        AudioFormatFlags /*flags*/) {}
    // Whether a frame size leaves room in the mapped rings (half of each).
    virtual bool hostFrameSizeFits(uint32_t /*frames*/) { return true; }
    virtual void hostUpdateLatencies() = 0;
    // Builds the IO buffers, or hands the counts to the running audio thread,
    // which resizes at the start of its next cycle.
    virtual bool hostCreateIOBuffers(uint32_t inChannels, uint32_t inReported, uint32_t outChannels,
                                     uint32_t outReported, uint32_t frames) = 0;
    // Maps (or unmaps) both streaming rings, stopping the cycle first.
    virtual bool hostMapRings() = 0;
    virtual void hostUnmapRings() = 0;
    virtual void hostCheckRunningStream() = 0;

    // ---- Controls, the settings bridge and the state-change handler. The
    // defaults serve hosts that carry none of these.
    // Sends a request with `bytes` of payload copied in and, when it
    // succeeds, the reply's first `bytes` copied back into the payload.
    virtual bool hostCall(uint32_t req, void* payload, uint32_t bytes) {
        return hostRequest(req, payload, bytes);
    }
    // The device's 64-bit Sorvik identifier (kept at open).
    virtual uint64_t hostSorvikIdentifier() { return 0; }
    // Calls of the device manager's client.
    enum class ClientEvent {
        VolumeChanged,
        MuteChanged,
        MonitorChanged,
        DataSourceChanged,
        OtherClientAttached,
        OtherClientDetached,
        StateChange,
    };
    virtual void hostClientEvent(ClientEvent, const QN_StateChange&) {}
    // HAL property changes of the device (global or one direction) or of a
    // stream.
    enum class PropertyScope { Device, DeviceInput, DeviceOutput, InputStream, OutputStream };
    virtual void hostPropertyChanged(PropertyScope, uint32_t /*selector*/) {}
    // Detaches from the kernel (callDetach).
    virtual void hostDetach() {}
    // Re-configures the device in the kernel (usbConfigureDevice).
    virtual bool hostConfigureDevice() { return false; }
    virtual void hostCheckRunningSomewhere() {}
};

// The volume curve: floor -72 dB, 6 dB per doubling.
float volumeFloatToDB(float x);
float volumeFloatToScalar(float x);
float volumeScalarToDB(float s);
float volumeScalarToFloat(float s);

// Capability grid of one configuration.
struct XsDeviceConfigCaps {
    uint8_t mOut[7][4][32];
    uint8_t mIn[7][4][32];
    int32_t mOutScore[7][4][32];
    int32_t mInScore[7][4][32];
    int32_t mOutBonus[7][4][32];
    int32_t mInBonus[7][4][32];
};
static_assert(sizeof(XsDeviceConfigCaps) == 16128);

struct XsDeviceCapabilitiesEx {
    uint32_t mCount;
    XsDeviceConfigCaps mConfig[4];
};

class QnAudioPluginClassCommons {
public:
    static constexpr uint32_t kRingBytes = 0x83FF0;
    static constexpr uint32_t kMinFrameSize = 64;
    static constexpr uint32_t kMaxFrameSize = 8192;

    QnAudioPluginClassCommons(QnAudioPluginHost& host, APIDeviceInfo& info);

    // Families and features.
    static const char* getIDRoot();
    void setupSpecificFeatures();
    void setSpecFeature(unsigned feature);
    bool isMerrowCompatible() const;
    bool isMRW192Compatible() const;
    bool isMRW30Compatible() const;
    bool isAC3compatible() const;
    bool isQuarnelBulkDevice(bool usb2) const;
    bool isQuarnelBulkInIsocOutDevice(bool usb2) const;
    bool isSorvikFarlane1() const;
    bool isSorvikFarlane2() const;
    bool isSorvikFarlaneDevice() const { return isSorvikFarlane1() || isSorvikFarlane2(); }
    bool isDevice(uint16_t vendor, uint16_t product) const;
    bool isOutputOnly() const;
    uint32_t lowBufferFWVersion() const { return mLowBuffFWVersion; }

    // Driver area words.
    bool isRunningStream() const;
    bool isRunningSomewhere() const;
    bool isUSB2Device() const;
    bool isRateLocked() const;

    // The device description scan (user-space build).
    static APIDeviceInfoScanResult scanAPIDeviceInfo(const APIDeviceInfo& info,
                                                     uint32_t configuration, uint32_t rate,
                                                     uint32_t resolution, uint32_t channels,
                                                     bool discreteOnly, bool isOutput);

    // Stream formats.
    OSStatus getStreamFormat(bool isInput, AudioStreamBasicDescription* description,
                             bool isPhysical, uint32_t maxChannels);
    uint32_t getStreamFormatNum(bool isInput, bool isPhysical);
    OSStatus getStreamFormats(bool isInput, AudioStreamBasicDescription* descriptions,
                              uint32_t count, bool isPhysical, uint32_t maxChannels);
    OSStatus getAvailableFormats(bool isInput, AudioStreamRangedDescription* ranged, uint32_t count,
                                 bool isPhysical, uint32_t maxChannels);
    void preprocessSetStreamFormat(AudioStreamBasicDescription* description, bool isInput,
                                   bool isPhysical);
    OSStatus setStreamFormat(bool isInput, const AudioStreamBasicDescription* description,
                             bool isPhysical);
    bool usbFindConfiguration(bool isInput, APIDeviceInfoScanResult* inResult,
                              APIDeviceInfoScanResult* outResult, QnChannelSettings* settings);
    void updateChannelsToReport(QnChannelSettings* reported, const QnChannelSettings* current);

    // Rates and the settings change.
    void getCaps(XsDeviceCapabilitiesEx* caps);
    bool canSampleRate(uint32_t rate);
    uint32_t getSampleRates(AudioValueRange* ranges, uint32_t count);
    uint32_t getFrequency() const { return mCurrent.Frequency; }
    bool setSampleRate(bool isInput, uint32_t rate, bool* changed, QnChannelSettings* settings);
    bool setFrequency(bool isInput, uint32_t rate);
    IOReturn setSettings(const QnChannelSettings& settings, bool isInput, bool deferred,
                         bool force);
    // Applies a pending change (the device calls it when its IO procedures
    // change their running state): at 88200 or 96000 below USB 2 a stereo
    // pending count of a direction no procedure uses is dropped first.
    IOReturn applyPendingSettings(bool inputAttached = true, bool outputAttached = true);
    static int calcBW(int rateIndex, int resolutionIndex, int channelIndex);

    // Frame sizes, IO buffers and hardware.
    static void getFrameSizeRange(uint32_t rate, uint32_t* minimum, uint32_t* maximum);
    void getFrameSizeRangeInt(uint32_t* minimum, uint32_t* maximum);
    void getFrameSizeRange(double* minimum, double* maximum);
    void getFrameSizeRangeBytes(bool isInput, double* minimum, double* maximum);
    static uint32_t validateMinMaxFrameSize(uint32_t size);
    // Channel counts within a ring's and resolutions the rings carry.
    static bool plausibleSettings(const QnChannelSettings& settings);
    IOReturn setFrameSize(uint32_t size, bool notify, bool force);
    uint32_t getFrameSize() const;
    uint32_t getFrameSizeBytes(bool isInput) const;
    bool createIOBuffers();
    void updateSafetyOffsets() {}
    bool prepareHardware();
    bool hardwarePrepared() const { return mHardwarePrepared; }
    void setHardwarePrepared(bool prepared) { mHardwarePrepared = prepared; }
    void setDefaultFrameSize(uint32_t frames) { mDefaultFrameSize = frames; }
    // The audio thread takes the pending frame size at the start of a cycle;
    // a size above limit is dropped (0), the property keeps its value.
    uint32_t takePendingFrameSize(uint32_t limit = kMaxFrameSize);
    uint32_t pendingFrameSize() const { return mPendingFrameSize.load(); }
    uint32_t defaultFrameSize() const { return mDefaultFrameSize; }

    // State the device reads.
    const QnChannelSettings& currentSettings() const { return mCurrent; }
    const QnChannelSettings& reportedSettings() const { return mReported; }
    const QnChannelSettings& pendingSettings() const { return mPending; }
    uint32_t pendingDirection() const { return mPendingDirection; }
    uint32_t frameSizeProperty() const { return mFrameSizeProperty; }
    const RIAA& riaa(int n) const { return mRIAA[n]; }
    std::recursive_mutex& deviceMutex() { return mDeviceMutex; }
    APIDeviceInfo& deviceInfo() { return mInfo; }

    // ---- Data sources, mute, volume and monitoring (the driver area's
    // control blocks; element 0 is the master).
    uint32_t getNumDataSources(bool isInput);
    uint32_t getDataSourceID(bool isInput);
    IOReturn setDataSource(bool isInput, uint32_t id);
    // A new string the caller releases.
    OSStatus getDataSourcesName(bool isInput, uint32_t id, CFStringRef* name);
    bool canMute(bool isInput, uint32_t element);
    int32_t getMute(bool isInput, uint32_t element);
    bool setMute(bool isInput, uint32_t element, uint32_t value);
    bool canVolume(bool isInput, uint32_t element);
    bool getVolumeDB(bool isInput, uint32_t element, float* dB);
    bool getVolumeScalar(bool isInput, uint32_t element, float* scalar);
    bool setVolumeScalar(bool isInput, uint32_t element, float scalar);
    bool setVolumeDB(bool isInput, uint32_t element, float dB);
    // The raw range (1/256 dB) of an element's volume; false without one.
    bool getVolumeRange(bool isInput, uint32_t element, int16_t* minimum, int16_t* maximum);
    bool canMonitor(bool isInput, uint32_t element);
    OSStatus getMonitor(bool isInput, uint32_t element, uint32_t* value);
    bool setMonitor(bool isInput, uint32_t element, bool on);

    // ---- The kernel-driver settings bridge (request 35 and the audio
    // client's own requests). Numbers, data, strings and dictionaries given
    // back are new objects the caller releases. A setter's bool tells whether
    // the call went through.
    int32_t getDigitalOutSelector();
    bool setDigitalOutSelector(uint32_t selector);
    int32_t getCurrentClockSource();
    // False when the kernel request did not go through.
    bool setClockSource(uint32_t source);
    uint32_t getDigitalStatus(CFDictionaryRef* dictionary);
    bool getDriverVersion(CFNumberRef* number);
    bool getFirmwareVersion(CFNumberRef* number);
    bool getFirmwareVersionString(CFStringRef* string);
    int32_t getUSB1Mode();
    bool setUSB1Mode(uint32_t mode);
    int32_t getDigitalOutMode();
    bool setDigitalOutMode(uint32_t mode);
    int32_t getInputsExclusive();
    bool setInputsExclusive(uint32_t owner);
    int32_t getOutputsExclusive();
    bool setOutputsExclusive(uint32_t owner);
    bool getInputLevels(CFDataRef* data);
    bool resumeStreaming();
    bool suspendStreaming();
    bool getRouting(uint32_t a, uint32_t b, uint32_t* value);
    bool setRouting(uint32_t a, uint32_t b, uint32_t value);
    int32_t getWolfsonRegister(uint32_t codec, uint32_t reg);
    bool setWolfsonRegister(uint32_t codec, uint32_t reg, uint32_t value);
    bool getHogID(int32_t* pid);
    bool setHogID(int32_t pid);
    bool getPortConfig(CFDataRef* data);
    bool setFootSwitchMode(uint32_t mode);
    bool setFootSwitchProtocol(uint32_t protocol);
    bool setMixerFractions(CFDictionaryRef dictionary);
    bool setRoutingMatrix(CFDataRef data);
    bool getRoutingMatrix(CFDataRef* data);
    bool sendReverbBuffers(CFDataRef data);
    bool getOutputLevels(CFDataRef* data);
    bool sendMixerBuffer(CFDataRef data);
    bool getDriverVersionString(CFStringRef* string);
    bool getSerialNumberString(CFStringRef* string);
    int32_t getConfigStatus();
    int32_t getBandWidthAvailable();
    uint32_t getVersionHAL();
    uint32_t getVersionUSB();
    IOReturn getTolvaneRouting(uint32_t* value);
    bool setTolvaneRouting(uint32_t value);
    bool getMixerValues(CFDictionaryRef* dictionary);
    bool setMixerValues(CFDictionaryRef dictionary);
    bool setMixerMode(uint32_t number);
    // The kernel service's properties (a copy the caller releases), or null.
    CFDictionaryRef getProperties() { return mHost.hostCopyServiceProperties(); }
    bool hasLowBufferFW();

    // ---- Channel names and Sorvik channel packing.
    // A new string the caller releases.
    CFStringRef getChannelName(bool isInput, uint32_t element);
    static void packSorvikOutput(void* samples, uint32_t channels, uint32_t frames,
                                 const bool usage[16], uint32_t sampleBytes);
    static void unpackSorvikInput(int32_t* samples, uint32_t channels, uint32_t frames,
                                  const bool usage[16]);
    void patchDescriptor();
    void updateSorvikChannelMap();
    void updateSorvikConfigAndMap();
    // The usage lists as the audio thread takes them at the start of a cycle
    // (bit n of each half: channel n carried).
    void getSorvikUsage(bool inputs[16], bool outputs[16]) const;
    const QN_Sorvik_ConfigAndMap& sorvikConfigAndMap() const { return mSorvikConfigAndMap; }

    // ---- The kernel-driver state-change handler (main run loop, under the
    // device mutex; the waits of codes 2 and 13 hold no lock).
    void KernelDriverNotificationHandler(const QN_StateChange& change);
    int32_t deviceMixerMode() const { return mDeviceMixerMode; }
    void setDeviceMixerMode(int32_t mode) { mDeviceMixerMode = mode; }
    void clearPhonoFlags() { mPhonoCodec[0] = mPhonoCodec[1] = false; }
    bool phonoFlag(int codec) const { return mPhonoCodec[codec ? 1 : 0].load(); }
    void setPhonoFlag(int codec, bool on) { mPhonoCodec[codec ? 1 : 0].store(on); }

private:
    struct DirectionFormat {
        AudioFormatID virtualID = kAudioFormatLinearPCM;
        AudioFormatFlags virtualFlags = kAudioFormatFlagIsFloat;
        AudioFormatID physicalID = kAudioFormatLinearPCM;
        AudioFormatFlags physicalFlags = kAudioFormatFlagIsSignedInteger;
    };

    uint16_t vendor() const { return mInfo.mVendor; }
    uint16_t product() const { return mInfo.mProduct; }
    bool featuresValid() const { return mInfo.mFeatures.mLoaded != 0; }
    bool allowCurrentSROnly() { return mHost.hostClientAppType() == 4; }
    bool isControlPanelOrAudioSetup() {
        int t = mHost.hostClientAppType();
        return t == 1 || t == 2;
    }
    bool isSixChannelProduct() const;
    bool isMonoAtHighRateProduct() const;
    bool isSymmetricProduct() const;
    bool isPhonoProduct() const;
    uint32_t kernelRate() const;
    void readKernelSettings(QnChannelSettings* settings) const;
    void captureFormats(AudioStreamBasicDescription formats[4]);
    bool findWithAdaptedOtherDirection(bool isInput, QnChannelSettings* settings);
    void applyChannelOverrides(bool isInput, uint32_t* channels) const;
    uint32_t listedChannels(bool isInput, uint32_t loopCount, uint32_t maxChannels) const;
    uint32_t walkFormats(bool isInput, bool isPhysical, uint32_t maxChannels,
                         AudioStreamBasicDescription* out, uint32_t capacity);
    OSStatus setStreamFormatLocked(bool isInput, const AudioStreamBasicDescription* description,
                                   bool isPhysical);
    bool chooseCandidate(bool isInput, const AudioStreamBasicDescription& d, bool isPhysical,
                         QnChannelSettings* candidate);
    void sendSettings(const QnChannelSettings& settings);
    void scoreRate(XsDeviceCapabilitiesEx& caps, int rateIndex, const QnChannelSettings& kernel);
    int64_t searchBest(XsDeviceCapabilitiesEx& caps, int rateIndex, int budget, int* best);

    QnAudioPluginHost& mHost;
    APIDeviceInfo& mInfo;
    std::recursive_mutex mDeviceMutex;
    QnChannelSettings mCurrent{};
    QnChannelSettings mReported{};
    QnChannelSettings mPending{};
    uint32_t mPendingDirection = 0;
    DirectionFormat mFormat[2]; // 0 output, 1 input
    uint32_t mLowBuffFWVersion = 0;
    std::atomic<uint32_t> mFrameSizeProperty{0};
    std::atomic<uint32_t> mPendingFrameSize{0};
    uint32_t mDefaultFrameSize = 512;
    bool mHardwarePrepared = false;
    bool mInSetStreamFormat = false;
    RIAA mRIAA[4];
    std::atomic<bool> mPhonoCodec[2] = {false, false}; // read by the audio thread

    // Controls, bridge, names and the handler.
    struct Reply;
    bool dispatch(uint32_t code, Reply& reply, const void* sent = nullptr, uint32_t bytes = 0);
    bool audioRequest(uint32_t req, Reply& reply, const void* sent = nullptr, uint32_t bytes = 0);
    XsControlGroup* controlGroup(bool isInput);
    XsEndpoint* getControlsEndpoint(bool isInput);
    XsVolumeTriplet* volumeEntry(bool isInput, uint32_t element);
    int32_t recordCount(const XsControlGroup& group) const;
    bool directionHasChannels(bool isInput) const;
    void savePreviousControls();
    bool isTrunk() const;
    bool isMonitorModeProduct() const;
    int32_t dispatchWord(uint32_t code);
    bool dispatchSetWord(uint32_t code, uint32_t value);
    bool dispatchData(uint32_t code, uint32_t bytes, CFDataRef* data, const char* failLog);
    bool dispatchString(uint32_t code, uint32_t limit, CFStringRef* string, const char* log);
    bool sendData(uint32_t code, CFDataRef data, uint32_t bytes);
    CFStringRef builtInChannelName(bool isInput, uint32_t element) const;
    void storeUsage(const bool inputs[16], const bool outputs[16]);
    void streamBroken();
    void newConfig();
    void wolfsonMirror(const QN_StateChange& change);
    void dataSourceChanged(const QN_StateChange& change);
    void userConfiguration();
    void mixerModeChanged();
    void launchControlPanel();
    void clockSourceChanged();
    void storeAfterDispatch(uint32_t stateCode);
    bool readUserConfig(uint8_t reply[3]);
    void setInterfaceChannels(uint32_t in, uint32_t out);

    int32_t mDeviceMixerMode = 2;
    std::atomic<uint32_t> mSorvikUsage{0}; // inputs in bits 0..15, outputs 16..31
    QN_Sorvik_ConfigAndMap mSorvikConfigAndMap{};
};
