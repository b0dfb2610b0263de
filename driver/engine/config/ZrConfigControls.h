// The device's selector and register exchanges that a configuration runs
// (input selector with clock, USB1 mode and lock read-back; the LX4xx port
// register and mixer buffer; the digital-out mode and selector; the Olvq
// CPLD byte), the stream start and stop calls, and the transcoder choices
// that complete a configuration.
//
// It holds only the device-side state these exchanges own (channel counts,
// input post-processor, mixer mode and buffer, the port word, the CPLD
// byte); the settings live in the driver shared area and the packer, mixer
// and their channel counts in the client mixer (DriverData). Everything
// reaches the device through one standard-request callable with the
// service's deviceRequestStd parameters, and the neighbours it calls
// (sampling-frequency set, alternate search, stream stop) through optional
// hooks, so the device object wires it in a few lines.
//
// Runs on the requesting thread under the dispatch lock, or in the
// configuration path.
#pragma once

#include <cstdint>
#include <functional>

#include "abi/DriverSM.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/engine/config/ZrTranscoderChoice.h"
#include "platform/base/MacTypes.h"

class DriverData;

// dir: 0 out, 0x80 in; level: 0 standard, 0x20 class, 0x40 vendor;
// recipient: 0 device, 1 interface, 2 endpoint. length is the data size on
// entry and the bytes transferred on return.
using ZrDeviceRequestFn = std::function<IOReturn(uint8_t dir, uint8_t level, uint8_t recipient,
                                                 uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                                                 void* data, uint32_t& length, int retryCount)>;

struct ZrConfigHooks {
    ZrDeviceRequestFn request;
    // The sampling frequency of the input (true) or output pipe.
    std::function<IOReturn(bool input, uint32_t rate)> setFrequency;
    // An input (true) or output alternate setting for rate with the current
    // channels and resolution.
    std::function<bool(bool input, uint32_t rate)> findAlternate;
    // Streaming: busy (cannot take requests now), started; stop bulk
    // streaming; report a broken stream (code 2) so that it restarts; mark a
    // pending format change.
    std::function<bool()> streamingBusy;
    std::function<bool()> streamingStarted;
    std::function<void()> stopBulkStreaming;
    std::function<void(uint32_t code)> reportBrokenStream;
    std::function<void()> setPendingChange;
    // The class-compliant MIDI device and the control port, told of streaming.
    std::function<void(bool started)> midiStreaming;
    std::function<void(bool started)> controlPortStreaming;
};

// Port word value meaning "not read from the device yet".
constexpr uint32_t kZrPortWordUnset = 0xFFFF;
// Clock source word value meaning "never set".
constexpr uint32_t kZrClockSourceUnset = 0xFFFFFFFF;

class ZrConfigControls {
public:
    ZrConfigControls(const ZrDeviceTraits& traits, DriverSM* sharedArea, DriverData& driverData,
                     ZrConfigHooks hooks);

    // Transcoder choices.
    void setReadChannels(int in, int out);
    OUT_MIXER_FNC chooseOutMixer();
    INPUT_POSTPROCESS_FNC chooseInputPostprocessor();
    INPUT_POSTPROCESS_FNC choose6InputPostprocessor();
    USB_ENC_FNC chooseISOOutEncoder();
    // The choices and selector exchanges that finish a new configuration,
    // before its transports are prepared: selector update, locked rate
    // cleared, start-up wait, post-processor, lock flag cleared, packer,
    // second selector update, output mixer, digital-out selector.
    void completeConfiguration(uint32_t msWait);

    // Device exchanges.
    uint32_t updateAjInputSelector(uint32_t* result);
    // The Olvq family's own selector layout; updateAjInputSelector runs it
    // for those products.
    uint32_t updateAjInputSelector_Olvq186(uint32_t* result);
    IOReturn sendOlvqARequest(uint8_t value);
    IOReturn readLX4XXChannelConfig();
    IOReturn writeDigitalOutMode();
    IOReturn writeDigitalOutSelector();
    void setOlvqCpldByte(uint8_t value);
    // Sends the stored byte again (it is cleared first so the write is not
    // skipped as unchanged).
    void resendOlvqCpldByte();
    void onStreamingStarted();
    void onStreamingStopped();

    // State.
    const ZrDeviceTraits& traits() const { return mTraits; }
    // The mixer buffer a client sent (stored as it came).
    void setMixerBuffer(const uint8_t buffer[64]);
    uint32_t inputChannels() const { return mInChannels; }
    uint32_t outputChannels() const { return mOutChannels; }
    INPUT_POSTPROCESS_FNC inputPostProcessor() const { return mInputPostProcessor; }
    uint32_t mixerMode() const { return mMixerMode; }
    const uint8_t* mixerBuffer() const { return mMixerBuffer; }
    uint32_t portWord() const { return mPortWord; }
    uint8_t olvqCpldByte() const { return mOlvqCpldByte; }
    void setPortWord(uint32_t w) { mPortWord = w; }
    void clearOlvqCpldByte() { mOlvqCpldByte = 0; }

private:
    IOReturn vendor(bool in, uint8_t request, uint16_t value, uint16_t index, void* data,
                    uint32_t length, int tries, uint32_t* transferred = nullptr);
    bool readSelector(uint8_t& byte);
    bool readSettledSelector(uint8_t& byte, QnAjExtData& aj);
    // The steps of updateAjInputSelector after the selector read.
    void applySelectorPortModes(uint8_t& byte, QnChannelSettings& s);
    bool applySelectorClock(uint8_t& byte, QnChannelSettings& s, QnAjExtData& aj);
    bool adoptDeviceRate(QnChannelSettings& s, QnAjExtData& aj);
    void resendFrequency(const QnChannelSettings& s, uint32_t rate);
    IOReturn writeSelector(uint8_t byte);
    // GET_CUR of the sampling frequency; a rate outside 8,000..384,000 Hz
    // counts as a failed read.
    bool readSamplingFrequency(uint32_t& rate);
    bool busy() const;
    bool started() const;
    void lockRounds(QnChannelSettings& settings, QnAjExtData& aj);
    void lockRateLoop(QnChannelSettings& settings, QnAjExtData& aj, bool searchAlternates);

    ZrDeviceTraits mTraits;
    DriverSM* mpDriverSM;
    DriverData& mDriverData;
    ZrConfigHooks mHooks;
    QnChannelSettings mLocalSettings{};
    QnAjExtData mLocalAjExt{};

    uint32_t mInChannels = 2;
    uint32_t mOutChannels = 2;
    INPUT_POSTPROCESS_FNC mInputPostProcessor = nullptr;
    uint32_t mMixerMode = 0;
    uint8_t mMixerBuffer[64] = {};
    uint32_t mPortWord = kZrPortWordUnset;
    uint8_t mOlvqCpldByte = 0;
    bool mCpldBusy = false;

    QnChannelSettings& settings() {
        return mpDriverSM ? mpDriverSM->mChannelSettings : mLocalSettings;
    }
    QnAjExtData& ajExt() { return mpDriverSM ? mpDriverSM->mAjExtData : mLocalAjExt; }
};
