#include "driver/engine/config/ZrConfigControls.h"
#include "driver/engine/ZrDeviceRequests.h"

#include <algorithm>
#include <cstring>

#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"
#include "platform/base/MacErrors.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint8_t kIn = 0x80, kOut = 0x00;
constexpr uint8_t kStandard = 0x00, kClass = 0x20, kVendor = 0x40;
constexpr uint8_t kDevice = 0, kInterface = 1, kEndpoint = 2;

constexpr uint16_t kTransmitterIndex = 0x101;

// The mixer buffer of a device that never had one: two gain blocks, the
// monitor levels, and the routing byte 0x34 (pairs 0, 1, 3).
constexpr uint8_t kDefaultMixer[64] = {
    0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0, 0, 0, 0,
    0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0, 0, 0, 0,
    0x7F, 0xFF, 0x7F, 0xFF, 0x10, 0x40, 0x10, 0x40, 0x40, 0x00, 0x40, 0x00, 0, 0, 0, 0,
    0,    0,    0,    0,    0,    0,    0,    0,    0x34, 0,    0,    0,    0, 0, 0, 0,
};
// The routing part when the port runs without the device's mixer.
constexpr uint8_t kBypassRouting[16] = {0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41, 0x2D, 0x41,
                                        0x10, 0,    0,    0,    0,    0,    0,    0};
constexpr int kRoutingByte = 56;
constexpr int kRoutingPart = 48;

} // namespace

ZrConfigControls::ZrConfigControls(const ZrDeviceTraits& traits, DriverSM* sharedArea,
                                   DriverData& driverData, ZrConfigHooks hooks)
    : mTraits(traits), mpDriverSM(sharedArea), mDriverData(driverData), mHooks(std::move(hooks)) {}

bool ZrConfigControls::busy() const {
    return mHooks.streamingBusy && mHooks.streamingBusy();
}
bool ZrConfigControls::started() const {
    return mHooks.streamingStarted && mHooks.streamingStarted();
}

IOReturn ZrConfigControls::vendor(bool in, uint8_t request, uint16_t value, uint16_t index,
                                  void* data, uint32_t length, int tries, uint32_t* transferred) {
    if (!mHooks.request) return kIOReturnNotAttached;
    uint32_t n = length;
    IOReturn st =
        mHooks.request(in ? kIn : kOut, kVendor, kDevice, request, value, index, data, n, tries);
    if (transferred) *transferred = n;
    return st;
}

bool ZrConfigControls::readSelector(uint8_t& byte) {
    uint8_t b = 0;
    uint32_t n = 0;
    if (vendor(true, kReqRegister, 0, kRegSelector, &b, 1, 2, &n) != kIOReturnSuccess || n != 1)
        return false;
    byte = b;
    return true;
}

IOReturn ZrConfigControls::writeSelector(uint8_t byte) {
    return vendor(false, kReqRegister, byte, kRegSelector, nullptr, 0, 2);
}

bool ZrConfigControls::readSamplingFrequency(uint32_t& rate) {
    if (!mHooks.request) return false;
    uint8_t b[3] = {};
    uint32_t n = sizeof b;
    if (mHooks.request(kIn, kClass, kEndpoint, kZrGetCur, kZrSamplingFrequencyControl, 0, b, n,
                       2) != kIOReturnSuccess ||
        n != 3)
        return false;
    const uint32_t r = b[0] | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16;
    if (!ZrRateInRange(r)) return false;
    rate = r;
    return true;
}

// ---- transcoder choices -------------------------------------------------

void ZrConfigControls::setReadChannels(int in, int out) {
    mInChannels = uint32_t(in);
    mOutChannels = uint32_t(out);
    chooseOutMixer();
    if (mpDriverSM) {
        mpDriverSM->mChannelSettings.InChannels = uint32_t(in);
        mpDriverSM->mChannelSettings.OutChannels = uint32_t(out);
    }
    if (started() && mHooks.setPendingChange) mHooks.setPendingChange();
}

OUT_MIXER_FNC ZrConfigControls::chooseOutMixer() {
    return ZrChooseOutMixer(mOutChannels, mDriverData);
}

INPUT_POSTPROCESS_FNC ZrConfigControls::chooseInputPostprocessor() {
    mInputPostProcessor = ZrChooseInputPostprocessor(mTraits, mInChannels, ajExt());
    return mInputPostProcessor;
}

INPUT_POSTPROCESS_FNC ZrConfigControls::choose6InputPostprocessor() {
    mInputPostProcessor = ZrChoose6InputPostprocessor(mTraits, ajExt());
    return mInputPostProcessor;
}

USB_ENC_FNC ZrConfigControls::chooseISOOutEncoder() {
    return ZrChooseISOOutEncoder(mTraits, mOutChannels, mpDriverSM, mDriverData);
}

void ZrConfigControls::completeConfiguration(uint32_t msWait) {
    IOLog("ZrDevice::configurationDone()\n");
    // Counts asked for while streaming that the interface choice could not
    // give: the configuration's are what the stream carries, and the output
    // mixer must fold into those.
    if (mInChannels != settings().InChannels || mOutChannels != settings().OutChannels) {
        mInChannels = settings().InChannels;
        mOutChannels = settings().OutChannels;
        chooseOutMixer();
    }
    if (!mTraits.noDigital) {
        uint32_t result = 0;
        updateAjInputSelector(&result);
    }
    ajExt().mDigitalLockFrequency = 0;
    if (msWait > 0) IOSleep(std::min<uint32_t>(msWait, 1000));
    if (mTraits.is(kZrProductLX610))
        choose6InputPostprocessor();
    else
        chooseInputPostprocessor();
    ajExt().mDigitalLock = 0;
    if (mTraits.is(kZrProductOlvqCodec))
        vendor(false, kReqCodec, 0x349, kTransmitterIndex, nullptr, 0, 5);
    chooseISOOutEncoder();
    updateAjInputSelector(nullptr);
    IOLog("configurationDone After updateAjInputSelector\n");
    if (mMixerMode != 0) chooseOutMixer();
    writeDigitalOutSelector();
}

// ---- input selector -----------------------------------------------------

void ZrConfigControls::lockRounds(QnChannelSettings& s, QnAjExtData& aj) {
    if (mTraits.is(kZrProductLock44k) && mHooks.setFrequency) mHooks.setFrequency(true, 44100);
    lockRateLoop(s, aj, true);
}

void ZrConfigControls::lockRateLoop(QnChannelSettings& s, QnAjExtData& aj, bool searchAlternates) {
    bool taken = false;
    for (int round = 0; round < 20; ++round) {
        uint32_t rate = 0;
        const bool ok = readSamplingFrequency(rate);
        aj.mDigitalLockFrequency = ok ? rate : 0;
        IOLog("cAjExt.mDigitalLockFrequency: %d\n", int(aj.mDigitalLockFrequency));
        if (!ok) {
            aj.mDigitalLockFrequency = s.Frequency;
            return;
        }
        if (rate != 192000 || mTraits.can192k || !searchAlternates) {
            taken = true;
            break;
        }
        // A device that cannot run 192 kHz with these formats may still have
        // an alternate setting for it.
        if (mHooks.findAlternate && mHooks.findAlternate(true, 192000)) {
            IOLog("...found in 192k\n");
            taken = true;
            break;
        }
        if (mHooks.findAlternate && mHooks.findAlternate(false, 192000)) {
            IOLog("...found out 192k\n");
            taken = true;
            break;
        }
        IOSleep(10);
    }
    if (taken)
        s.Frequency = aj.mDigitalLockFrequency;
    else
        aj.mDigitalLockFrequency = s.Frequency;
}

uint32_t ZrConfigControls::updateAjInputSelector(uint32_t* result) {
    if (mTraits.is(kZrProductOlvqSelector)) return updateAjInputSelector_Olvq186(result);
    if (result) *result = 18;
    if (mTraits.is(kZrProductSelectorFree)) return 1;
    if (!mTraits.merrowCompatible && !mTraits.is(kZrProductSelectorNonMerrow)) return 0;
    IOSleep(5);
    if (busy()) return 0;

    QnChannelSettings& s = settings();
    QnAjExtData& aj = ajExt();
    uint8_t byte = 0;
    bool good = readSettledSelector(byte, aj);
    if (good) applySelectorPortModes(byte, s);

    // One product settles its clock only after its rate has been read.
    if (good && mTraits.is(kZrProductSelectorRateRead) &&
        !mTraits.hasFeature(eSpecFeature_NoDigital)) {
        uint32_t rate = 0;
        readSamplingFrequency(rate);
        IOSleep(100);
        uint8_t again = 0;
        if (readSelector(again)) byte = again;
    }

    const bool rateOk = good ? applySelectorClock(byte, s, aj) : true;

    IOLog("cAjExt.mDigitalLockFrequency: %d\n", int(aj.mDigitalLockFrequency));
    if (result) *result = byte;
    const bool lastRead = adoptDeviceRate(s, aj);
    // A failed selector read reports failure whatever the rate read gave.
    return good && rateOk && lastRead ? 1 : 0;
}

// The port mode bits come from the port register, so the selector follows
// the mode the port was read in. Until the register has been read the word
// is all ones, which would force both mode bits on: the device's own bits
// stay then.
void ZrConfigControls::applySelectorPortModes(uint8_t& byte, QnChannelSettings& s) {
    const bool portKnown = mTraits.is(kZrProductLX4xxFixed18) || mPortWord != kZrPortWordUnset;
    if (portKnown && mTraits.is(kZrProductLX4xxFamily | kZrProductHX5100 | kZrProductLX880)) {
        uint8_t wanted = uint8_t(byte & kSelKeepBits);
        wanted |= mTraits.is(kZrProductLX4xxFixed18) ? kSelFixedPortModes
                                                     : uint8_t(mPortWord & kSelPortModes);
        if (wanted != byte) {
            writeSelector(wanted);
            uint8_t back = 0;
            if (readSelector(back)) byte = back;
            s.InChannels = mInChannels;
            s.OutChannels = mOutChannels;
        }
    }
}

// Writes the clock source (and, where the selector carries it, the USB 1
// mode) and adopts what the device then shows; false when the rate could
// not be read after the write.
bool ZrConfigControls::applySelectorClock(uint8_t& byte, QnChannelSettings& s, QnAjExtData& aj) {
    bool rateOk = true;
    const bool usb1Bit = mTraits.hasFeature(eSpecFeature_USB1ModeInSelector) ||
                         mTraits.is(kZrProductHX5100 | kZrProductLX420);
    uint8_t wanted = aj.mClockSource == 0 ? uint8_t(byte | kSelInternalClock)
                                          : uint8_t(byte & ~kSelInternalClock);
    if (usb1Bit)
        wanted =
            aj.mUSB1Mode == 1 ? uint8_t(wanted | kSelUSB1Mode) : uint8_t(wanted & ~kSelUSB1Mode);
    IOLog("updateAjInputSelector byte should be %02X\n", unsigned(wanted));
    if (wanted != byte) {
        uint32_t rate = 0;
        if (writeSelector(wanted) == kIOReturnSuccess) IOSleep(40);
        if (readSamplingFrequency(rate)) {
            uint8_t back = 0;
            if (readSelector(back)) byte = back;
        }
        rateOk = readSamplingFrequency(rate);
    }
    if (rateOk) {
        aj.mClockSource = (byte & kSelInternalClock) ? 0 : 1;
        if (usb1Bit) aj.mUSB1Mode = byte & kSelUSB1Mode;
        aj.mDigitalLock = (byte & kSelDigitalLock) ? 1 : 0;
        if (mTraits.noDigital)
            aj.mDigitalLock = 0;
        else if (aj.mDigitalLock)
            lockRounds(s, aj);
    }
    return rateOk;
}

// Reads the device's rate: two products take their digital lock's rate and
// the channels it allows; others get the configured rate sent again when
// they run another. False when the rate could not be read.
bool ZrConfigControls::adoptDeviceRate(QnChannelSettings& s, QnAjExtData& aj) {
    uint32_t rate = 0;
    const bool lastRead = readSamplingFrequency(rate);
    if (aj.mDigitalLockFrequency != 0 && lastRead && mTraits.is(kZrProductGarneto)) {
        IOLog("***** PROD_GARNETO_QKD dlf:%d freq:%d in:%d out:%d \n",
              int(aj.mDigitalLockFrequency), int(rate), int(s.InChannels), int(s.OutChannels));
        s.Frequency = aj.mDigitalLockFrequency;
        s.OutChannels = aj.mDigitalLockFrequency <= 96000 ? 6 : 4;
    } else if (aj.mDigitalLockFrequency != 0 && lastRead && mTraits.is(kZrProductBrava)) {
        IOLog("***** Brava dlf:%d freq:%d in:%d out:%d \n", int(aj.mDigitalLockFrequency),
              int(rate), int(s.InChannels), int(s.OutChannels));
        s.Frequency = aj.mDigitalLockFrequency;
        const uint32_t n = aj.mDigitalLockFrequency <= 48000   ? 32
                           : aj.mDigitalLockFrequency <= 96000 ? 16
                                                               : 8;
        s.InChannels = n;
        s.OutChannels = n;
    } else if (lastRead && s.Frequency != rate) {
        resendFrequency(s, rate);
    }
    return lastRead;
}

// The device runs another rate than the configured one: the configured rate
// goes out again (on the output endpoint too where the device takes it).
void ZrConfigControls::resendFrequency(const QnChannelSettings& s, uint32_t rate) {
    IOSleep(50);
    IOLog("***** Device Frequency mismatch expected:%d current:%d \n", int(s.Frequency), int(rate));
    if (mHooks.setFrequency) {
        mHooks.setFrequency(true, s.Frequency);
        if (!mTraits.hasFeatures() || mTraits.hasFeature(eSpecFeature_SetFreqOnOutPipe))
            mHooks.setFrequency(false, s.Frequency);
    }
}

// Reads the selector byte, once more after 20 ms while the device still
// reports its lock bit, and adopts the clock source the byte shows when none
// has been chosen yet.
bool ZrConfigControls::readSettledSelector(uint8_t& byte, QnAjExtData& aj) {
    bool good = readSelector(byte);
    if (good && (byte & kSelDigitalLock)) {
        IOSleep(20);
        good = readSelector(byte);
    }
    if (good && aj.mClockSource == kZrClockSourceUnset && (byte & 0x06) == 0x06)
        aj.mClockSource = 0;
    return good;
}

// The Olvq family's selector byte: bit 7 set means the clock source is
// chosen by bit 1 (internal when set), clear means the third source; the
// clock choice also goes out as the A-request.
uint32_t ZrConfigControls::updateAjInputSelector_Olvq186(uint32_t* result) {
    if (result) *result = 50;
    if (busy()) return 0;
    QnChannelSettings& s = settings();
    QnAjExtData& aj = ajExt();
    uint8_t byte = 0;
    bool good = readSettledSelector(byte, aj);

    bool rateOk = true;
    if (good) {
        const uint8_t sourceBits = aj.mClockSource == 2 ? 0x32 : aj.mClockSource == 1 ? 0xB0 : 0xB2;
        const uint8_t wanted = uint8_t((byte & 0x4C) | sourceBits);
        sendOlvqARequest(aj.mClockSource == 1 ? 1 : 0);
        if (wanted != byte) {
            uint32_t rate = 0;
            if (writeSelector(wanted) == kIOReturnSuccess) IOSleep(200);
            rateOk = readSamplingFrequency(rate);
            if (rateOk) {
                uint8_t back = 0;
                if (readSelector(back)) byte = back;
                rateOk = readSamplingFrequency(rate);
            }
        }
        if (rateOk) {
            aj.mClockSource =
                (byte & kSelDigitalPresent) ? ((byte & kSelInternalClock) ? 0 : 1) : 2;
            aj.mDigitalLock = (byte & kSelDigitalLock) ? 1 : 0;
            if (aj.mDigitalLock) lockRateLoop(s, aj, false);
        }
    }

    IOLog("cAjExt.mDigitalLockFrequency: %d\n", int(aj.mDigitalLockFrequency));
    if (result) *result = byte;
    uint32_t rate = 0;
    const bool lastRead = readSamplingFrequency(rate);
    if (lastRead && s.Frequency != rate) resendFrequency(s, rate);
    return good && rateOk && lastRead ? 1 : 0;
}

IOReturn ZrConfigControls::sendOlvqARequest(uint8_t value) {
    IOLog("WRITE OLVQ A-Request value: %d\n", int(value & 7));
    return vendor(false, kReqCodec, uint16_t(0x348 | (value & 7)), kTransmitterIndex, nullptr, 0,
                  5);
}

// ---- LX4xx port register and mixer buffer -------------------------------

IOReturn ZrConfigControls::readLX4XXChannelConfig() {
    uint8_t* m = mMixerBuffer;
    const uint8_t r = m[kRoutingByte];
    IOLog("ReadLX4XX Routing  %02X, 0=%X 1=%X 2=%X", unsigned(r), unsigned(r & 3),
          unsigned((r >> 2) & 3), unsigned((r >> 4) & 3));
    if (std::all_of(m, m + 64, [](uint8_t b) { return b == 0; }))
        std::memcpy(m, kDefaultMixer, sizeof kDefaultMixer);

    if (mTraits.is(kZrProductLX4xxFamily | kZrProductHX5100 | kZrProductLX880)) {
        const bool onceOnly = mTraits.is(kZrProductHX5100 | kZrProductLX880);
        const char* name = mTraits.is(kZrProductLX880) ? "PROD_VORA_LX880" : "PROD_VORA_HX5100";
        if (onceOnly) {
            if (mPortWord == kZrPortWordUnset) {
                IOLog("%s LX420Registers[2] Uninitilized\n", name);
                uint8_t b = 0;
                uint32_t n = 0;
                if (vendor(true, kReqRegister, 0, kRegPort2, &b, 1, 5, &n) == kIOReturnSuccess &&
                    n == 1)
                    mPortWord = b & ~unsigned(kPortMixerOff);
                IOLog("%s LX420Registers[2]=0x%02X \n", name, unsigned(b));
            }
        } else if (mTraits.is(kZrProductLX420 | kZrProductLX4xxFurther)) {
            if (mTraits.is(kZrProductLX420)) IOSleep(50);
            uint8_t b = 0;
            uint32_t n = 0;
            if (vendor(true, kReqRegister, 0, kRegPort2, &b, 1, 5, &n) == kIOReturnSuccess &&
                n == 1)
                mPortWord = b;
        }

        if (mPortWord & kPortMixerOff) {
            IOLog("Set outMixer NULL \n");
            mDriverData.setOutMixer(nullptr);
            mMixerMode = 0;
            if (m[kRoutingPart] == 0)
                std::memcpy(m + kRoutingPart, kBypassRouting, sizeof kBypassRouting);
        } else if (mTraits.is(kZrProductLX880)) {
            mMixerMode = 2;
            IOLog("Set outMixer2CH \n");
            mDriverData.setOutMixer(outMixer2CH);
            std::memset(m + kRoutingPart, 0, 16);
            m[kRoutingByte] = 0x34;
        } else if (mTraits.is(kZrProductLX4xxFurther)) {
            mMixerMode = 1;
            IOLog("Set outMixer outMixer2CH \n");
            mDriverData.setOutMixer(outMixer2CH);
            std::memset(m + kRoutingPart, 0, 16);
            m[kRoutingByte] = 0x10;
        } else if (mTraits.is(kZrProductHX5100)) {
            mMixerMode = 2;
            IOLog("Set outMixer4CH \n");
            mDriverData.setOutMixer(outMixer4CH);
            std::memset(m + kRoutingPart, 0, 16);
        } else if (mTraits.is(kZrProductLX420)) {
            if (mPortWord & kPortSixChannelMixer) {
                mMixerMode = 1;
                IOLog("Set outMixer6CH \n");
                mDriverData.setOutMixer(outMixer6CH);
                std::memset(m + kRoutingPart, 0, 16);
                m[kRoutingByte] = r ? r : 0x34;
            } else {
                mMixerMode = 2;
                IOLog("Set outMixer4CH \n");
                mDriverData.setOutMixer(outMixer4CH);
                std::memset(m + kRoutingPart, 0, 16);
                uint8_t built = 0;
                for (int f = 0; f < 3; ++f) {
                    uint8_t field = uint8_t((r >> (2 * f)) & 3);
                    built |= uint8_t((field == 3 ? 2 : field) << (2 * f));
                }
                m[kRoutingByte] = r ? built : 0x14;
            }
        }
        if (mTraits.is(kZrProductHX5100)) m[kRoutingByte] = 4;

        if (mTraits.is(kZrProductLX420)) {
            const uint32_t in = (mPortWord & kPortMixerOff)          ? 2
                                : (mPortWord & kPortSixChannelMixer) ? 4
                                                                     : 6;
            const uint32_t out = (mPortWord & kPortMixerOff)          ? 2
                                 : (mPortWord & kPortSixChannelMixer) ? 6
                                                                      : 4;
            mInChannels = in;
            mOutChannels = out;
            settings().InChannels = in;
            settings().OutChannels = out;
            IOLog("Read %d Inputs, %d Outputs for LX-420\n", int(in), int(out));
        }
    }
    return vendor(false, kReqMixer, 0, 0, m, 64, 3);
}

void ZrConfigControls::setMixerBuffer(const uint8_t buffer[64]) {
    std::memcpy(mMixerBuffer, buffer, 64);
}

// ---- digital out, CPLD byte, stream start and stop ----------------------

IOReturn ZrConfigControls::writeDigitalOutMode() {
    if (mTraits.hasFeatures() && busy()) return kIOReturnSuccess;
    if (!mTraits.hasFeature(eSpecFeature_WriteDigitalOutMode) &&
        !mTraits.is(kZrProductHX5100 | kZrProductLX420))
        return kIOReturnSuccess;
    uint8_t read[5] = {};
    uint32_t n = 0;
    IOReturn st = vendor(true, kReqCodec, 0x0D00, kTransmitterIndex, read, sizeof read, 2, &n);
    if (st != kIOReturnSuccess) return st;
    if (n != sizeof read) return kIOReturnUnderrun;

    const uint32_t mode = ajExt().mDigitalOutMode;
    const uint32_t rate = settings().Frequency;
    uint8_t want[5]; // registers 0x0D..0x11
    if (mode == 1) {
        uint8_t r0d = read[0], r11 = 0;
        switch (rate) {
        case 32000:
            r0d = 0xC1;
            break;
        case 44100:
            r0d = 0x41;
            break;
        case 48000:
            r0d = 0x81;
            break;
        case 88200:
            r0d = 0x01;
            r11 = 0x50;
            break;
        case 96000:
            r0d = 0x01;
            r11 = 0x10;
            break;
        case 176400:
            r0d = 0x01;
            r11 = 0x58;
            break;
        case 192000:
            r0d = 0x01;
            r11 = 0x18;
            break;
        default:
            break;
        }
        const uint8_t v[5] = {r0d, 0, 0x2C, 0, r11};
        std::memcpy(want, v, 5);
    } else if (mode == 0) {
        uint8_t code = 0;
        switch (rate) {
        case 32000:
            code = 3;
            break;
        case 48000:
            code = 2;
            break;
        case 88200:
            code = 8;
            break;
        case 96000:
            code = 10;
            break;
        case 176400:
            code = 12;
            break;
        case 192000:
            code = 14;
            break;
        default:
            break;
        }
        const uint8_t v[5] = {0x04, 0, 0, uint8_t((read[3] & 0xF0) | code), 0x0B};
        std::memcpy(want, v, 5);
    } else {
        return kIOReturnSuccess;
    }
    IOReturn result = kIOReturnSuccess;
    for (int i = 0; i < 5; ++i) {
        if (want[i] == read[i]) continue;
        st = vendor(false, kReqCodec, uint16_t((0x0D + i) << 8 | want[i]), kTransmitterIndex,
                    nullptr, 0, 2);
        if (st != kIOReturnSuccess) result = st;
    }
    return result;
}

IOReturn ZrConfigControls::writeDigitalOutSelector() {
    if (busy() || !mTraits.hasFeature(eSpecFeature_WriteDigitalOutSelector))
        return kIOReturnSuccess;
    return vendor(false, kReqRegister, uint16_t(ajExt().mDigitalOutSelector), kRegDigitalOut,
                  nullptr, 0, 2);
}

void ZrConfigControls::setOlvqCpldByte(uint8_t value) {
    if (!mTraits.is(kZrProductOlvq) || mCpldBusy) return;
    const uint8_t byte = uint8_t(value | kSelKeepBits);
    if (byte == mOlvqCpldByte) return;
    // The restart this causes can come back here; the flag keeps it out.
    mCpldBusy = true;
    mOlvqCpldByte = byte;
    const bool wasStarted = started();
    if (wasStarted && mHooks.stopBulkStreaming) mHooks.stopBulkStreaming();
    vendor(false, kReqRegister, byte, kRegPort2, nullptr, 0, 5);
    if (wasStarted && mHooks.reportBrokenStream) mHooks.reportBrokenStream(2);
    mCpldBusy = false;
}

void ZrConfigControls::resendOlvqCpldByte() {
    const uint8_t stored = mOlvqCpldByte;
    mOlvqCpldByte = 0;
    setOlvqCpldByte(stored);
}

void ZrConfigControls::onStreamingStarted() {
    if (mTraits.is(kZrProductStreamingSetCur) && mHooks.request) {
        uint8_t b = settings().OutChannels == 8 ? 2 : 1;
        uint32_t n = 1;
        mHooks.request(kOut, kClass, kInterface, kZrSetCur, 0, 0x1F00, &b, n, 2);
    }
    if (mHooks.midiStreaming) mHooks.midiStreaming(true);
    if (mHooks.controlPortStreaming) mHooks.controlPortStreaming(true);
}

void ZrConfigControls::onStreamingStopped() {
    if (mHooks.midiStreaming) mHooks.midiStreaming(false);
    if (mHooks.controlPortStreaming) mHooks.controlPortStreaming(false);
}
