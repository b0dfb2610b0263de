// The control request dispatcher: every control operation user space asks of
// a device (other than opening streams) arrives as one QN_Dispatch record,
// served in place: the same record is the reply.
//
// The record is the kernel's own copy, and the callers hold the service's
// dispatch lock, which serialises all requests of one device; nothing here
// takes a lock of its own. A request copies device data into the union with
// exactly the sizes given; the rest of the union stays as the requester sent
// it. Every field of the record is untrusted: counts, indexes and texts are
// bounded before use.
#include <algorithm>
#include "driver/engine/ZrDeviceRequests.h"
#include <cstring>
#include <string>

#include "abi/QN_RequestCodes.h"
#include "abi/QN_StateChange.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint32_t kDriverVersion = 0x03040D00;
constexpr const char kDriverVersionText[] = "v3.4.13";

// Bandwidth of a Sorvik stream by release table, width row and channel
// count 0..8 (65535: does not fit at all).
constexpr uint16_t kSorvikBandwidth[2][2][9] = {
    {{54, 250, 250, 446, 446, 642, 642, 838, 838},
     {54, 348, 348, 642, 642, 936, 936, 65535, 65535}},
    {{22, 218, 218, 414, 414, 610, 610, 806, 806},
     {86, 380, 380, 674, 674, 968, 968, 65535, 65535}},
};

// A configuration the device could run: a rate in range and at most
// maxChannels each way.
bool configurationPlausible(const QN_DeviceConfiguration& c, uint32_t maxChannels) {
    return ZrRateInRange(c.samplerate) && c.numInputs <= maxChannels && c.numOutputs <= maxChannels;
}

// A text of the user-writable shared area: at most 255 characters and a NUL.
void copySharedText(char (&out)[256], const char* source) {
    size_t n = 0;
    while (n < 255 && source[n])
        ++n;
    std::memcpy(out, source, n);
    out[n] = 0;
}

// The client mixer's 32 fraction pairs (zeros without it).
QN_MixerFractions mixerFractions(const DriverData* dd) {
    QN_MixerFractions all{};
    if (dd)
        for (uint32_t c = 0; c < 32; ++c) {
            all.mMixerFractionLeft[c] = dd->leftFraction(c);
            all.mMixerFractionRight[c] = dd->rightFraction(c);
        }
    return all;
}

} // namespace

IOReturn ZrDevice::onDispatch(QN_Dispatch* pDispatch) {
    return dispatchFunction(nullptr, pDispatch);
}

IOReturn ZrDevice::onDispatchStreaming(IOUserClient* client, QN_Dispatch* pDispatch) {
    return dispatchFunction(client, pDispatch);
}

void ZrDevice::setOwner(uint64_t& owner, uint64_t value) {
    __atomic_store_n(&owner, value, __ATOMIC_SEQ_CST);
    publishOwners();
}

// The shared area shows copies of the owners; the mixer takes them from here.
void ZrDevice::publishOwners() {
    if (mpDriverData) mpDriverData->setOwners(getOutputsOwner(), getPrivateDataOwner());
    if (!mpDriverSM) return;
    uint8_t* base = reinterpret_cast<uint8_t*>(mpDriverSM);
    const uint64_t in = getInputsOwner(), out = getOutputsOwner(), priv = getPrivateDataOwner();
    std::memcpy(base + offsetof(DriverSM, mExclusiveInputOwner), &in, sizeof in);
    std::memcpy(base + offsetof(DriverSM, mExclusiveOutputOwner), &out, sizeof out);
    std::memcpy(base + offsetof(DriverSM, mPrivateDataOwner), &priv, sizeof priv);
}

IOReturn ZrDevice::dispatchFunction(IOUserClient* client, QN_Dispatch* pDispatch) {
    if (!pDispatch) return kIOReturnBadArgument;
    QN_Dispatch& d = *pDispatch;
    auto& u = d.data;
    const uint32_t code = d.code;
    if (code > EQN_Last) return kIOReturnBadArgument;
    const uint64_t requester = client ? mService.clientIdentifier(client) : 0;
    const bool gateOpen = getFwUpdaterState() == kFwUpdaterNotActive;
    auto publish = [this] { mService.setAjExtDataProperty(); };
    auto bytesProperty = [this](const char* key, const void* bytes, unsigned length) {
        mService.setProperty(key, bytes, length);
    };
    auto numberProperty = [this](const char* key, uint32_t value) {
        mService.setProperty(key, (unsigned long long)value, 32);
    };
    QnAjExtData& aj = getAjExtData();

    switch (code) {
    case EQN_None0:
    case EQN_None1:
        return kIOReturnSuccess;

    case EQN_GetDigitalOutSelector:
        u.ulValue = aj.mDigitalOutSelector;
        return kIOReturnSuccess;
    case EQN_SetDigitalOutSelector:
        if (gateOpen) {
            setDigitalOutSelector(u.ulValue);
            publish();
        }
        return kIOReturnSuccess;
    case EQN_GetOlvqCpldByte:
        u.cValue = getOlvqCpldByte();
        return kIOReturnSuccess;
    case EQN_SetOlvqCpldByte:
        if (gateOpen) setOlvqCpldByte(u.cValue);
        return kIOReturnSuccess;

    case EQN_GetCurrentConfig: {
        const QnChannelSettings& s = getCurrentSettings();
        u.cConfig = {s.Frequency, s.InChannels, s.InResolution, s.OutChannels, s.OutResolution};
        return kIOReturnSuccess;
    }
    case EQN_SetCurrentConfig: {
        if (!gateOpen) return kIOReturnSuccess;
        if (!mpDriverSM) return kIOReturnIOError;
        const QN_DeviceConfiguration c = u.cConfig;
        if (!configurationPlausible(c, 32)) return kIOReturnBadArgument;
        QnChannelSettings& s = mpDriverSM->mChannelSettings;
        s.Frequency = c.samplerate;
        s.InChannels = c.numInputs;
        s.InResolution = c.bitsInput;
        s.OutChannels = c.numOutputs;
        s.OutResolution = c.bitsOutput;
        s.Configuration = 0;
        if (mService.reqConfigureDevice("ZrDevice::dispatch->EQN_SetCurrentConfig") !=
            kIOReturnSuccess)
            return kIOReturnIOError;
        startStreamAfterConfig();
        return kIOReturnSuccess;
    }

    case EQN_GetCountBufferSizes:
        u.ulValue = 3;
        return kIOReturnSuccess;
    case EQN_GetBufferSize:
        u.ulValue = u.ulValue * 4;
        return kIOReturnSuccess;
    case EQN_GetCurrentBufferSize:
        u.ulValue = 8;
        return kIOReturnSuccess;
    case EQN_Twelve:
        u.ulValue = 12;
        return kIOReturnSuccess;

    case EQN_CanClockSource:
        if (u.ulValue > 2) return kIOReturnBadArgument;
        u.ulValue = mDeviceData.mClockSourceAvailable[u.ulValue];
        return kIOReturnSuccess;
    case EQN_GetClockSource:
        u.ulValue = aj.mClockSource;
        return kIOReturnSuccess;
    case EQN_SetClockSource:
        IOLog("EQN_SetClockSource:%d\n", int(u.ulValue));
        if (!gateOpen) return kIOReturnBadArgument;
        u.ulValue = setClockSource(u.ulValue);
        publish();
        stcNotify(STC_SampleCkSrcChanged, 0);
        return kIOReturnSuccess;
    case EQN_GetDigitalStatus:
        if (aj.mDigitalLock) {
            u.cDigitalStatus.eStatus = 2;
            u.cDigitalStatus.uFreq = aj.mDigitalLockFrequency;
        } else {
            u.cDigitalStatus.eStatus = 1;
            u.cDigitalStatus.uFreq = getCurrentSettings().Frequency;
        }
        return kIOReturnSuccess;
    case EQN_GetDriverString:
    case EQN_GetProductString:
        if (!mpDriverSM)
            u.cString[0] = 0;
        else
            copySharedText(u.cString, code == EQN_GetDriverString ? mpDriverSM->mVendorString
                                                                  : mpDriverSM->mModelName);
        return kIOReturnSuccess;
    case EQN_GetIsUSB2Device:
        u.ulValue = mIsUSB2 ? 1 : 0;
        return kIOReturnSuccess;
    case EQN_GetDeviceDescriptor:
        std::memcpy(&u.cDevDesc, &mDescriptor, sizeof u.cDevDesc);
        return kIOReturnSuccess;
    case EQN_GetDriverVersion:
        u.ulValue = kDriverVersion;
        return kIOReturnSuccess;
    case EQN_GetFirmwareVersion:
        u.ulValue = mFirmwareVersion;
        return kIOReturnSuccess;
    case EQN_GetFirmwareVersionString: {
        // The text starts at byte 4 of the 16-byte buffer: 11 characters at most.
        char text[16] = {};
        const char* from = reinterpret_cast<const char*>(mFirmwareBuffer + 4);
        for (int i = 0; i < 11 && from[i]; ++i)
            text[i] = from[i];
        std::memcpy(u.cString, text, sizeof text);
        return kIOReturnSuccess;
    }
    case EQN_GetUSB1Mode:
        u.ulValue = aj.mUSB1Mode;
        return kIOReturnSuccess;
    case EQN_SetUSB1Mode:
        u.ulValue = setUSB1Mode(u.ulValue);
        publish();
        return kIOReturnSuccess;
    case EQN_GetDigitalOutMode:
        u.ulValue = aj.mDigitalOutMode;
        return kIOReturnSuccess;
    case EQN_SetDigitalOutMode:
        if (!gateOpen) return kIOReturnBadArgument;
        u.ulValue = setDigitalOutMode(u.ulValue);
        publish();
        stcNotify(STC_DigiOutModeChanged, 0);
        return kIOReturnSuccess;

    case EQN_GetInputsExclusive:
    case EQN_GetOutputsExclusive:
    case EQN_GetPrivateDataClient: {
        if (!requester) return kIOReturnNotOpen;
        const uint64_t owner = code == EQN_GetInputsExclusive    ? getInputsOwner()
                               : code == EQN_GetOutputsExclusive ? getOutputsOwner()
                                                                 : getPrivateDataOwner();
        u.ulValue = mpDriverSM && owner == requester ? 1 : 0;
        return kIOReturnSuccess;
    }
    case EQN_SetInputsExclusive:
    case EQN_SetOutputsExclusive: {
        if (!requester) return kIOReturnNotOpen;
        if (!mpDriverSM) {
            u.ulValue = 0;
            return kIOReturnSuccess;
        }
        uint64_t& owner = code == EQN_SetInputsExclusive ? mInputsOwner : mOutputsOwner;
        setOwner(owner, u.ulValue ? requester : 0);
        u.ulValue = __atomic_load_n(&owner, __ATOMIC_SEQ_CST) == requester ? 1 : 0;
        return kIOReturnSuccess;
    }
    case EQN_SetPrivateDataClient: {
        if (!requester) return kIOReturnNotOpen;
        const uint64_t owner = getPrivateDataOwner();
        if (!mpDriverSM || owner) {
            // Only the owner gives the private data up; nobody takes it over.
            if (mpDriverSM && owner == requester && u.ulValue == 0) setOwner(mPrivateDataOwner, 0);
            u.ulValue = 0;
            return kIOReturnSuccess;
        }
        if (u.ulValue) setOwner(mPrivateDataOwner, requester);
        u.ulValue = getPrivateDataOwner() == requester ? 1 : 0;
        return kIOReturnSuccess;
    }

    case EQN_EnterFirmwareUpdateMode:
        initFirmwareUpdateMode();
        return kIOReturnSuccess;

    case EQN_DeviceRequest: {
        QN_VendorOrClassRequest& r = u.cDevRequest;
        if (r.uLength > sizeof r.data || (r.eIn != 0 && r.eIn != 0x80) ||
            (r.eType != 0 && r.eType != 0x20 && r.eType != 0x40) || r.eRecipient < 0 ||
            r.eRecipient > 3)
            return kIOReturnBadArgument;
        const bool in = r.eIn == 0x80;
        if (in) std::memset(r.data, 0, r.uLength);
        uint32_t length = r.uLength;
        const IOReturn st = mService.deviceRequestStd(in ? kDirIn : kDirOut, EDRQ_Level(r.eType),
                                                      EDRQ_Recipient(r.eRecipient), r.bRequest,
                                                      r.wValue, r.wIndex, r.data, length, 5);
        if (st == kIOReturnSuccess) r.uLength = length;
        return st;
    }
    case EQN_GetLevels:
        mAJ.getLevelInfo(&u.cLvl);
        return kIOReturnSuccess;
    case EQN_SendCPort:
        // The first byte counts the bytes that follow it.
        return mAJ.sendCPort(u.cCPortData + 1,
                             std::min<uint32_t>(u.cCPortData[0], sizeof u.cCPortData - 1)) ==
                       kIOReturnSuccess
                   ? kIOReturnSuccess
                   : kIOReturnBadArgument;
    case EQN_ResumeStreaming:
        // A stream that runs unsuspended keeps its transports: laying the
        // ring out again under them would tear the running audio.
        if (isStreamingSuspended() || (!isStreamingStarted() && isConfigured())) resumeStreaming();
        return kIOReturnSuccess;
    case EQN_SuspendStreaming:
        u.ulValue = suspendStreaming() ? 1 : 0;
        return kIOReturnSuccess;

    case EQN_GetRouting:
    case EQN_SetRouting: {
        QN_RoutingRequest& r = u.cRoutingRequest;
        const bool input = r.nInput != 0;
        const uint32_t pair = r.nChannelPairHost;
        uint32_t* word = input ? (pair < 3 ? &aj.mRoutingIn[pair] : nullptr)
                               : (pair < 2 ? &aj.mRoutingOut[pair] : nullptr);
        if (code == EQN_GetRouting) {
            r.nChannelPairDevice = word ? *word : pair;
            return kIOReturnSuccess;
        }
        if (word) *word = r.nChannelPairDevice;
        if (mpConfigControls) {
            if (!input)
                mpConfigControls->chooseISOOutEncoder();
            else if (mpConfigControls->traits().is(kZrProductLX610))
                mpConfigControls->choose6InputPostprocessor();
            else
                mpConfigControls->chooseInputPostprocessor();
        }
        publish();
        return kIOReturnSuccess;
    }

    case EQN_GetWolfsonRegister:
    case EQN_SetWolfsonRegister: {
        QN_WMCodecRequest& r = u.cWMCodecRequest;
        if (r.nCodec >= kCodecs || r.nRegister >= kCodecRegisters ||
            (code == EQN_SetWolfsonRegister && r.nValue > 0x1FF))
            return kIOReturnBadArgument;
        if (code == EQN_GetWolfsonRegister) {
            r.nValue = mCodecMirror[r.nCodec][r.nRegister];
            return kIOReturnSuccess;
        }
        // The write reports through its own state change; the mirror keeps
        // what the client asked for either way.
        writeWolfsonRegister(r.nCodec, r.nRegister, r.nValue);
        mCodecMirror[r.nCodec][r.nRegister] = r.nValue;
        bytesProperty("WolfsonRegisters", mCodecMirror, sizeof mCodecMirror);
        return kIOReturnSuccess;
    }

    case EQN_GetHogID:
        u.cHogID = mHogOwner;
        return kIOReturnSuccess;
    case EQN_SetHogID:
        mHogOwner = u.cHogID;
        IOLog("EQN_SetHogID %d\n", int(mHogOwner));
        stcNotify(STC_HogOwnerChanged, 0);
        return kIOReturnSuccess;
    case EQN_GetStatus: {
        const IOReturn status = mService.getConfigureStatus();
        IOLog("Requesting status: 0x%08x\n", unsigned(status));
        u.ulValue = uint32_t(status);
        return kIOReturnSuccess;
    }
    case EQN_GetPortConfig:
    case EQN_GetPortConfig2: {
        const unsigned set = code == EQN_GetPortConfig ? 0 : 1;
        uint8_t out[4] = {3, 0, 0, 0};
        for (unsigned w = 0; w < 3; ++w)
            out[1 + w] = uint8_t(getPortConfigWord(set, w));
        std::memcpy(&u, out, sizeof out);
        return kIOReturnSuccess;
    }

    case EQN_TakeOutputLevels:
    case EQN_GetOutputLevels: {
        int32_t levels[32] = {};
        if (DriverData* dd = mpDriverData) {
            dd->retain();
            if (code == EQN_TakeOutputLevels)
                dd->readOutputPeaks(levels, 32);
            else
                dd->peekOutputPeaks(levels, 32);
            dd->release();
        }
        std::memcpy(u.iLevels, levels, sizeof levels);
        return kIOReturnSuccess;
    }
    case EQN_TakeInputLevels: {
        int32_t levels[32];
        takeInputLevels(levels);
        std::memcpy(u.iLevels, levels, sizeof levels);
        return kIOReturnSuccess;
    }

    case EQN_GetFootSwitchMode:
    case EQN_GetFootSwitchProtocol:
        u.ulValue = uint32_t(code == EQN_GetFootSwitchMode ? mFootswitchMode : mFootswitchProtocol);
        return kIOReturnSuccess;
    case EQN_SetFootSwitchMode:
    case EQN_SetFootSwitchProtocol: {
        const bool mode = code == EQN_SetFootSwitchMode;
        (mode ? mFootswitchMode : mFootswitchProtocol) = int32_t(u.ulValue);
        numberProperty(mode ? "FootswitchMode" : "FootswitchProtocol", u.ulValue);
        stcNotify(mode ? STC_FootswitchModeStored : STC_FootswitchProtocolStored, 0);
        return kIOReturnSuccess;
    }

    case EQN_SetMixerFraction: {
        QN_MixerFraction f = u.cMixerFraction;
        if (f.nChannel < 0 || f.nChannel > 31 || !mpDriverData) return kIOReturnBadArgument;
        mpDriverData->setMixerFraction(f);
        const QN_MixerFractions all = mixerFractions(mpDriverData);
        std::memcpy(&u.cMixerFractions, &all, sizeof all);
        bytesProperty("MixerFractions", &all, sizeof all);
        stcNotify(STC_MixerFractionsStored, 0);
        return kIOReturnSuccess;
    }
    case EQN_GetMixerFractions: {
        const QN_MixerFractions all = mixerFractions(mpDriverData);
        std::memcpy(&u.cMixerFractions, &all, sizeof all);
        return kIOReturnSuccess;
    }
    case EQN_SetMixerFractions: {
        QN_MixerFractions all;
        std::memcpy(&all, &u.cMixerFractions, sizeof all);
        if (mpDriverData) mpDriverData->setMixerFractions(all);
        bytesProperty("MixerFractions", &u.cMixerFractions, sizeof all);
        stcNotify(STC_MixerFractionsStored, 0);
        return kIOReturnSuccess;
    }
    case EQN_SetRoutingMatrix:
        if (mpDriverData)
            mpDriverData->setRoutingMatrix(reinterpret_cast<const char*>(u.cRoutingMatrix));
        bytesProperty("RoutingMatrix", u.cRoutingMatrix, sizeof u.cRoutingMatrix);
        stcNotify(STC_RoutingMatrixStored, 0);
        return kIOReturnSuccess;
    case EQN_GetRoutingMatrix:
        if (mpDriverData)
            std::memcpy(u.cRoutingMatrix, mpDriverData->routingMap(), sizeof u.cRoutingMatrix);
        else
            std::memset(u.cRoutingMatrix, 0, sizeof u.cRoutingMatrix);
        return kIOReturnSuccess;

    case EQN_SendReverbBuffers:
        setReverbBuffers(&u.cReverbBuffers[0][0]);
        bytesProperty("ReverbBuffers", mReverbBuffers, sizeof mReverbBuffers);
        stcNotify(STC_ReverbBuffersStored, 0);
        return kIOReturnSuccess;
    case EQN_GetReverbBuffers:
        if (mReverbPresent) {
            std::memcpy(u.cReverbBuffers, mReverbBuffers, sizeof mReverbBuffers);
            d.code = 0;
        } else {
            d.code = 0xFFFFFFFF;
        }
        return kIOReturnSuccess;

    case EQN_SendMixerBuffer: {
        setMixerBuffer(u.cMixerBuffer);
        uint8_t out[64];
        std::memcpy(out, getMixerBuffer(), sizeof out);
        uint32_t length = sizeof out;
        const IOReturn st = mService.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice,
                                                      kReqMixer, 0, 0, out, length, 5);
        if (st != kIOReturnSuccess) IOLog("Could not write mixer buffer (0x%08X)\n", unsigned(st));
        bytesProperty("MixerBuffer", getMixerBuffer(), 64);
        stcNotify(STC_MixerBufferStored, 0);
        return kIOReturnSuccess;
    }
    case EQN_GetMixerBuffer:
        std::memcpy(u.cMixerBuffer, getMixerBuffer(), sizeof u.cMixerBuffer);
        return kIOReturnSuccess;

    case EQN_GetDriverVersionString: {
        // The requester's text (to its NUL, 15 characters at most) with the
        // version appended, cut to 15 characters and a NUL.
        char text[16 + sizeof kDriverVersionText] = {};
        size_t n = 0;
        while (n < 15 && u.cString[n])
            text[n] = u.cString[n], ++n;
        std::memcpy(text + n, kDriverVersionText, sizeof kDriverVersionText);
        text[15] = 0;
        std::memcpy(u.cString, text, 16);
        return kIOReturnSuccess;
    }

    case EQN_GetSorvikChannelMap: {
        QN_Sorvik_ChannelMap map{};
        getSorvikChannelMap(map);
        std::memcpy(&u.cQN_Sorvik_ChannelMap, &map, sizeof map);
        return kIOReturnSuccess;
    }
    case EQN_SetSorvikChannelMap: {
        if (!mpDriverSM) return kIOReturnSuccess;
        QN_Sorvik_ChannelMap map;
        std::memcpy(&map, &u.cQN_Sorvik_ChannelMap, sizeof map);
        setSorvikChannelMap(map, true);
        getSorvikChannelMap(map);
        std::memcpy(&u.cQN_Sorvik_ChannelMap, &map, sizeof map);
        return kIOReturnSuccess;
    }
    case EQN_GetSorvikUID:
        std::memcpy(&u, mSorvikUID, sizeof mSorvikUID);
        return kIOReturnSuccess;
    case EQN_SetSorvikConfigAndMap: {
        QN_Sorvik_ConfigAndMap requested;
        std::memcpy(&requested, &u.cQN_Sorvik_ConfigAndMap, sizeof requested);
        QN_Sorvik_ConfigAndMap fallback{};
        getSorvikConfigAndChannelMap(fallback);
        auto answerCurrent = [&] {
            QN_Sorvik_ConfigAndMap now{};
            getSorvikConfigAndChannelMap(now);
            std::memcpy(&u.cQN_Sorvik_ConfigAndMap, &now, sizeof now);
        };
        const QN_DeviceConfiguration& c = requested.cConfig;
        if (!mpDriverSM || !configurationPlausible(c, 8)) {
            answerCurrent();
            return kIOReturnBadArgument;
        }
        const auto& table = kSorvikBandwidth[mDescriptor.m_uBcdDevice < 2 ? 0 : 1];
        const uint32_t inBw = table[c.bitsInput == 16 ? 0 : 1][c.numInputs];
        const uint32_t outBw = table[c.bitsOutput == 16 ? 0 : 1][c.numOutputs];
        const uint32_t total = inBw + outBw;
        const uint64_t segments =
            uint64_t(c.numInputs) * c.bitsInput / 8 + uint64_t(c.numOutputs) * c.bitsOutput / 8;
        IOLog("Sorvik: Requested bandwidth in %d, out %d total %d, totalChannels %d segments %d\n",
              int(inBw), int(outBw), int(total), int(c.numInputs + c.numOutputs),
              int(std::min<uint64_t>(segments, 0x7FFFFFFF)));
        if (inBw > 1023 || outBw > 1023 || total > 1308 || segments >= 21) {
            answerCurrent();
            return kIOReturnBadArgument;
        }
        setSorvikConfigAndChannelMap(requested);
        const bool configured = isConfigured();
        IOLog(
            "Set_Sorvik_ConfigAndChannelMap after setSorvikConfigAndChannelMap bIsConfigured=%d\n",
            configured ? 1 : 0);
        if (configured) {
            answerCurrent();
            return kIOReturnSuccess;
        }
        setSorvikConfigAndChannelMap(fallback);
        answerCurrent();
        return kIOReturnBadArgument;
    }
    case EQN_GetSorvikConfigAndMap: {
        QN_Sorvik_ConfigAndMap now{};
        getSorvikConfigAndChannelMap(now);
        std::memcpy(&u.cQN_Sorvik_ConfigAndMap, &now, sizeof now);
        return kIOReturnSuccess;
    }
    case EQN_GetSorvikDeviceName: {
        uint8_t out[33] = {};
        std::memcpy(out, mSorvikName, sizeof mSorvikName);
        std::memcpy(&u, out, sizeof out);
        return kIOReturnSuccess;
    }
    case EQN_SetSorvikDeviceName:
        u.cString[255] = 0;
        return setSorvikDeviceName(u.cString);

    case EQN_ReEnumerateDevice:
        IOLog("EQN_ReEnumerateDevice\n");
        reEnumerateDevice();
        return kIOReturnSuccess;

    default:
        // 6, 7, 46, 47, 64 and 73 are not served.
        return kIOReturnBadArgument;
    }
}
