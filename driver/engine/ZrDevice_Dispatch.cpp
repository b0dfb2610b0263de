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
#include <array>
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

void ZrDevice::publishAjExtData() {
    mService.setAjExtDataProperty();
}

void ZrDevice::setBytesProperty(const char* key, const void* bytes, unsigned length) {
    mService.setProperty(key, bytes, length);
}

void ZrDevice::setNumberProperty(const char* key, uint32_t value) {
    mService.setProperty(key, (unsigned long long)value, 32);
}

// Each request code and the handler of its concern; 6, 7, 46, 47, 64 and 73
// are not served.
struct ZrDispatchRoutes {
    struct Route {
        uint32_t code;
        ZrDevice::DispatchHandler handler;
    };
    static constexpr Route kRoutes[] = {
        {EQN_None0, &ZrDevice::dispatchSettings},
        {EQN_None1, &ZrDevice::dispatchSettings},
        {EQN_GetDigitalOutSelector, &ZrDevice::dispatchSettings},
        {EQN_SetDigitalOutSelector, &ZrDevice::dispatchSettings},
        {EQN_GetOlvqCpldByte, &ZrDevice::dispatchSettings},
        {EQN_SetOlvqCpldByte, &ZrDevice::dispatchSettings},
        {EQN_GetCurrentConfig, &ZrDevice::dispatchSettings},
        {EQN_SetCurrentConfig, &ZrDevice::dispatchSettings},
        {EQN_GetCountBufferSizes, &ZrDevice::dispatchSettings},
        {EQN_GetBufferSize, &ZrDevice::dispatchSettings},
        {EQN_GetCurrentBufferSize, &ZrDevice::dispatchSettings},
        {EQN_Twelve, &ZrDevice::dispatchSettings},
        {EQN_CanClockSource, &ZrDevice::dispatchClockAndModes},
        {EQN_GetClockSource, &ZrDevice::dispatchClockAndModes},
        {EQN_SetClockSource, &ZrDevice::dispatchClockAndModes},
        {EQN_GetDigitalStatus, &ZrDevice::dispatchClockAndModes},
        {EQN_GetDriverString, &ZrDevice::dispatchIdentity},
        {EQN_GetProductString, &ZrDevice::dispatchIdentity},
        {EQN_GetIsUSB2Device, &ZrDevice::dispatchIdentity},
        {EQN_GetDeviceDescriptor, &ZrDevice::dispatchIdentity},
        {EQN_GetDriverVersion, &ZrDevice::dispatchIdentity},
        {EQN_GetFirmwareVersion, &ZrDevice::dispatchIdentity},
        {EQN_GetFirmwareVersionString, &ZrDevice::dispatchIdentity},
        {EQN_GetUSB1Mode, &ZrDevice::dispatchClockAndModes},
        {EQN_SetUSB1Mode, &ZrDevice::dispatchClockAndModes},
        {EQN_GetDigitalOutMode, &ZrDevice::dispatchClockAndModes},
        {EQN_SetDigitalOutMode, &ZrDevice::dispatchClockAndModes},
        {EQN_GetInputsExclusive, &ZrDevice::dispatchOwnership},
        {EQN_GetOutputsExclusive, &ZrDevice::dispatchOwnership},
        {EQN_GetPrivateDataClient, &ZrDevice::dispatchOwnership},
        {EQN_SetInputsExclusive, &ZrDevice::dispatchOwnership},
        {EQN_SetOutputsExclusive, &ZrDevice::dispatchOwnership},
        {EQN_SetPrivateDataClient, &ZrDevice::dispatchOwnership},
        {EQN_EnterFirmwareUpdateMode, &ZrDevice::dispatchDeviceAccess},
        {EQN_DeviceRequest, &ZrDevice::dispatchDeviceAccess},
        {EQN_GetLevels, &ZrDevice::dispatchLevelsAndRouting},
        {EQN_SendCPort, &ZrDevice::dispatchDeviceAccess},
        {EQN_ResumeStreaming, &ZrDevice::dispatchDeviceAccess},
        {EQN_SuspendStreaming, &ZrDevice::dispatchDeviceAccess},
        {EQN_GetRouting, &ZrDevice::dispatchLevelsAndRouting},
        {EQN_SetRouting, &ZrDevice::dispatchLevelsAndRouting},
        {EQN_GetWolfsonRegister, &ZrDevice::dispatchDeviceAccess},
        {EQN_SetWolfsonRegister, &ZrDevice::dispatchDeviceAccess},
        {EQN_GetHogID, &ZrDevice::dispatchIdentity},
        {EQN_SetHogID, &ZrDevice::dispatchIdentity},
        {EQN_GetStatus, &ZrDevice::dispatchIdentity},
        {EQN_GetPortConfig, &ZrDevice::dispatchIdentity},
        {EQN_GetPortConfig2, &ZrDevice::dispatchIdentity},
        {EQN_TakeOutputLevels, &ZrDevice::dispatchLevelsAndRouting},
        {EQN_GetOutputLevels, &ZrDevice::dispatchLevelsAndRouting},
        {EQN_TakeInputLevels, &ZrDevice::dispatchLevelsAndRouting},
        {EQN_GetFootSwitchMode, &ZrDevice::dispatchClockAndModes},
        {EQN_GetFootSwitchProtocol, &ZrDevice::dispatchClockAndModes},
        {EQN_SetFootSwitchMode, &ZrDevice::dispatchClockAndModes},
        {EQN_SetFootSwitchProtocol, &ZrDevice::dispatchClockAndModes},
        {EQN_SetMixerFraction, &ZrDevice::dispatchMixer},
        {EQN_GetMixerFractions, &ZrDevice::dispatchMixer},
        {EQN_SetMixerFractions, &ZrDevice::dispatchMixer},
        {EQN_SetRoutingMatrix, &ZrDevice::dispatchMixer},
        {EQN_GetRoutingMatrix, &ZrDevice::dispatchMixer},
        {EQN_SendReverbBuffers, &ZrDevice::dispatchMixer},
        {EQN_GetReverbBuffers, &ZrDevice::dispatchMixer},
        {EQN_SendMixerBuffer, &ZrDevice::dispatchMixer},
        {EQN_GetMixerBuffer, &ZrDevice::dispatchMixer},
        {EQN_GetDriverVersionString, &ZrDevice::dispatchIdentity},
        {EQN_GetSorvikChannelMap, &ZrDevice::dispatchSorvik},
        {EQN_SetSorvikChannelMap, &ZrDevice::dispatchSorvik},
        {EQN_GetSorvikUID, &ZrDevice::dispatchSorvik},
        {EQN_SetSorvikConfigAndMap, &ZrDevice::dispatchSorvik},
        {EQN_GetSorvikConfigAndMap, &ZrDevice::dispatchSorvik},
        {EQN_GetSorvikDeviceName, &ZrDevice::dispatchSorvik},
        {EQN_SetSorvikDeviceName, &ZrDevice::dispatchSorvik},
        {EQN_ReEnumerateDevice, &ZrDevice::dispatchDeviceAccess},
    };

    static constexpr bool unique() {
        for (size_t i = 0; i < std::size(kRoutes); ++i)
            for (size_t j = i + 1; j < std::size(kRoutes); ++j)
                if (kRoutes[i].code == kRoutes[j].code) return false;
        return true;
    }
    static constexpr std::array<ZrDevice::DispatchHandler, EQN_Last + 1> byCode() {
        std::array<ZrDevice::DispatchHandler, EQN_Last + 1> handlers{};
        for (const Route& r : kRoutes)
            handlers[r.code] = r.handler;
        return handlers;
    }
};
static_assert(ZrDispatchRoutes::unique(), "a request code is routed twice");

ZrDevice::DispatchHandler ZrDevice::dispatchHandler(uint32_t code) {
    static constexpr auto kByCode = ZrDispatchRoutes::byCode();
    return code < kByCode.size() ? kByCode[code] : nullptr;
}

IOReturn ZrDevice::dispatchFunction(IOUserClient* client, QN_Dispatch* pDispatch) {
    if (!pDispatch) return kIOReturnBadArgument;
    const uint32_t code = pDispatch->code;
    if (code > EQN_Last) return kIOReturnBadArgument;
    const DispatchHandler handler = dispatchHandler(code);
    if (!handler) return kIOReturnBadArgument;
    DispatchCall call{*pDispatch, code, client ? mService.clientIdentifier(client) : 0,
                      getFwUpdaterState() == kFwUpdaterNotActive};
    return (this->*handler)(call);
}

// The selectors and the channel configuration.
IOReturn ZrDevice::dispatchSettings(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    const bool gateOpen = call.gateOpen;
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
            publishAjExtData();
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
    default:
        return kIOReturnBadArgument;
    }
}

// The clock source, the digital status and the device modes.
IOReturn ZrDevice::dispatchClockAndModes(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    const bool gateOpen = call.gateOpen;
    QnAjExtData& aj = getAjExtData();
    switch (code) {
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
        publishAjExtData();
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
    case EQN_GetUSB1Mode:
        u.ulValue = aj.mUSB1Mode;
        return kIOReturnSuccess;
    case EQN_SetUSB1Mode:
        u.ulValue = setUSB1Mode(u.ulValue);
        publishAjExtData();
        return kIOReturnSuccess;
    case EQN_GetDigitalOutMode:
        u.ulValue = aj.mDigitalOutMode;
        return kIOReturnSuccess;
    case EQN_SetDigitalOutMode:
        if (!gateOpen) return kIOReturnBadArgument;
        u.ulValue = setDigitalOutMode(u.ulValue);
        publishAjExtData();
        stcNotify(STC_DigiOutModeChanged, 0);
        return kIOReturnSuccess;
    case EQN_GetFootSwitchMode:
    case EQN_GetFootSwitchProtocol:
        u.ulValue = uint32_t(code == EQN_GetFootSwitchMode ? mFootswitchMode : mFootswitchProtocol);
        return kIOReturnSuccess;
    case EQN_SetFootSwitchMode:
    case EQN_SetFootSwitchProtocol: {
        const bool mode = code == EQN_SetFootSwitchMode;
        (mode ? mFootswitchMode : mFootswitchProtocol) = int32_t(u.ulValue);
        setNumberProperty(mode ? "FootswitchMode" : "FootswitchProtocol", u.ulValue);
        stcNotify(mode ? STC_FootswitchModeStored : STC_FootswitchProtocolStored, 0);
        return kIOReturnSuccess;
    }
    default:
        return kIOReturnBadArgument;
    }
}

// What the driver and device are, and who hogs the device.
IOReturn ZrDevice::dispatchIdentity(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    switch (code) {
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
    default:
        return kIOReturnBadArgument;
    }
}

// Exclusive use of the inputs, the outputs and the private data, per requester.
IOReturn ZrDevice::dispatchOwnership(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    const uint64_t requester = call.requester;
    switch (code) {
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
    default:
        return kIOReturnBadArgument;
    }
}

// Requests that reach the device: firmware update, raw requests, the control port, streaming
// suspension, the codecs, re-enumeration.
IOReturn ZrDevice::dispatchDeviceAccess(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    switch (code) {
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
        setBytesProperty("WolfsonRegisters", mCodecMirror, sizeof mCodecMirror);
        return kIOReturnSuccess;
    }
    case EQN_ReEnumerateDevice:
        IOLog("EQN_ReEnumerateDevice\n");
        reEnumerateDevice();
        return kIOReturnSuccess;
    default:
        return kIOReturnBadArgument;
    }
}

// Level meters and the routing of channel pairs.
IOReturn ZrDevice::dispatchLevelsAndRouting(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    QnAjExtData& aj = getAjExtData();
    switch (code) {
    case EQN_GetLevels:
        mAJ.getLevelInfo(&u.cLvl);
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
        publishAjExtData();
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
    default:
        return kIOReturnBadArgument;
    }
}

// The mixer's fractions, routing matrix, reverb and mixer buffers.
IOReturn ZrDevice::dispatchMixer(DispatchCall& call) {
    QN_Dispatch& d = call.record;
    auto& u = call.record.data;
    const uint32_t code = call.code;
    switch (code) {
    case EQN_SetMixerFraction: {
        QN_MixerFraction f = u.cMixerFraction;
        if (f.nChannel < 0 || f.nChannel > 31 || !mpDriverData) return kIOReturnBadArgument;
        mpDriverData->setMixerFraction(f);
        const QN_MixerFractions all = mixerFractions(mpDriverData);
        std::memcpy(&u.cMixerFractions, &all, sizeof all);
        setBytesProperty("MixerFractions", &all, sizeof all);
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
        setBytesProperty("MixerFractions", &u.cMixerFractions, sizeof all);
        stcNotify(STC_MixerFractionsStored, 0);
        return kIOReturnSuccess;
    }
    case EQN_SetRoutingMatrix:
        if (mpDriverData)
            mpDriverData->setRoutingMatrix(reinterpret_cast<const char*>(u.cRoutingMatrix));
        setBytesProperty("RoutingMatrix", u.cRoutingMatrix, sizeof u.cRoutingMatrix);
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
        setBytesProperty("ReverbBuffers", mReverbBuffers, sizeof mReverbBuffers);
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
        setBytesProperty("MixerBuffer", getMixerBuffer(), 64);
        stcNotify(STC_MixerBufferStored, 0);
        return kIOReturnSuccess;
    }
    case EQN_GetMixerBuffer:
        std::memcpy(u.cMixerBuffer, getMixerBuffer(), sizeof u.cMixerBuffer);
        return kIOReturnSuccess;
    default:
        return kIOReturnBadArgument;
    }
}

// The Sorvik devices' channel map, configuration and name.
IOReturn ZrDevice::dispatchSorvik(DispatchCall& call) {
    auto& u = call.record.data;
    const uint32_t code = call.code;
    switch (code) {
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
    default:
        return kIOReturnBadArgument;
    }
}
