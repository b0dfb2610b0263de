// The OSXDispatch requests the audio (A) and audio-server (S) clients serve,
// under the dispatch lock. The record is the caller's output buffer, which
// starts as a copy of its input; replies are written into it in place.
#include <cinttypes>
#include <cstring>
#include <optional>

#include "abi/APIDeviceInfo.h"
#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrDeviceRequests.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr size_t kValue = kOSXDispatchValueOffset;
constexpr uint32_t kDeviceInfoBytes = 98964;
constexpr uint32_t kDeviceInfoChunk = 256;
constexpr uint32_t kLastDeviceInfoChunk = 386;
constexpr uint32_t kRequestDataMax = 256;
constexpr uint32_t kReplyDataMax = 128;
constexpr int kTries = 5;

// Offsets of a QN_VendorOrClassRequest carried at 8.
constexpr size_t kRqData = kOSXDispatchRecordOffset;
constexpr size_t kRqLength = kRqData + offsetof(QN_VendorOrClassRequest, uLength);
constexpr size_t kRqValue = kRqData + offsetof(QN_VendorOrClassRequest, wValue);
constexpr size_t kRqIndex = kRqData + offsetof(QN_VendorOrClassRequest, wIndex);
constexpr size_t kRqIn = kRqData + offsetof(QN_VendorOrClassRequest, eIn);
constexpr size_t kRqType = kRqData + offsetof(QN_VendorOrClassRequest, eType);
constexpr size_t kRqRecipient = kRqData + offsetof(QN_VendorOrClassRequest, eRecipient);
constexpr size_t kRqRequest = kRqData + offsetof(QN_VendorOrClassRequest, bRequest);

int64_t hostMillis() {
    return int64_t(hx::clock::nowNanos() / 1000000);
}

QnChannelSettings readSettings(const uint8_t* rec) {
    QnChannelSettings s;
    s.Frequency = qnReadU32(rec, 8);
    s.InChannels = qnReadU32(rec, 12);
    s.InResolution = qnReadU32(rec, 16);
    s.OutChannels = qnReadU32(rec, 20);
    s.OutResolution = qnReadU32(rec, 24);
    s.Configuration = qnReadU32(rec, 28);
    return s;
}

} // namespace

IOReturn ZrStreamingClient::serveStreamingRequest(bool s, uint32_t req, uint8_t* rec,
                                                  bool& served) {
    served = true;
    using Group = std::optional<IOReturn> (ZrStreamingClient::*)(bool, uint32_t, uint8_t*);
    static constexpr Group kGroups[] = {
        &ZrStreamingClient::serveStreamRequest, &ZrStreamingClient::serveStatusRequest,
        &ZrStreamingClient::serveDeviceRequest, &ZrStreamingClient::serveMixerRequest,
        &ZrStreamingClient::serveServerRequest};
    for (Group group : kGroups)
        if (const std::optional<IOReturn> r = (this->*group)(s, req, rec)) return *r;
    served = false;
    return kIOReturnBadArgument;
}

// Configuration, the own ring, the device information record.
std::optional<IOReturn> ZrStreamingClient::serveStreamRequest(bool s, uint32_t req, uint8_t* rec) {
    ZrKernelDeviceKorvexHX5100& kd = *mKernelDevice;
    ZrDevice& dev = *kd.getDevice();
    const uint64_t me = identity();
    switch (req) {
    case 1: {
        const IOReturn r = kd.reqConfigureDevice(s ? "AudioServerClient->Req_ConfigureDevice"
                                                   : "AudioUserClient->Req_ConfigureDevice");
        if (r == kIOReturnSuccess) {
            dev.startStreamAfterConfig();
            dev.stcNotifyFromClient(STC_ConfiguredByClient, me);
        }
        return r;
    }
    case 2: {
        if (s) return kIOReturnSuccess;
        int slot = -1;
        const IOReturn r = static_cast<AudioUserClientKorvexHX5100*>(this)->startUSBStream(
            qnReadU32(rec, kValue), slot, qnReadU32(rec, 4));
        qnWriteU32(rec, kValue, r == kIOReturnSuccess ? uint32_t(slot) : 0xFFFFFFFFu);
        return r;
    }
    case 3:
        if (s) {
            static_cast<ASClientKorvexHX5100*>(this)->onStopHardware();
            return kIOReturnSuccess;
        }
        return static_cast<AudioUserClientKorvexHX5100*>(this)->stopUSBStream();
    case 4: {
        // Refused before multiplying: a large index would wrap to chunk 0.
        const uint32_t n = qnReadU32(rec, kValue);
        const APIDeviceInfo* info = kd.getAPIDeviceInfoPtr();
        if (n > kLastDeviceInfoChunk || !info) {
            qnWriteU32(rec, 0, 0);
            return kIOReturnBadArgument;
        }
        const uint32_t offset = n * kDeviceInfoChunk;
        const uint32_t count = std::min(kDeviceInfoBytes - offset, kDeviceInfoChunk);
        qnWriteU32(rec, 0, count);
        std::memcpy(rec + kValue, reinterpret_cast<const uint8_t*>(info) + offset, count);
        return kIOReturnSuccess;
    }
    case 6:
    case 7: {
        if (s && req == 6) IOLog("@%lld Req_PrepareNewConfigRegular\n", (long long)hostMillis());
        if (dev.onPrepareNewConfig(readSettings(rec), req == 6 ? me : 0, false))
            dev.startStreamAfterConfig();
        return kIOReturnSuccess;
    }
    case 8:
        qnWriteU64(rec, kValue, 0);
        return kIOReturnSuccess;
    default:
        break;
    }
    return std::nullopt;
}

// Status words, versions, bandwidth, client registration and stream breaks.
std::optional<IOReturn> ZrStreamingClient::serveStatusRequest(bool s, uint32_t req, uint8_t* rec) {
    ZrKernelDeviceKorvexHX5100& kd = *mKernelDevice;
    ZrDevice& dev = *kd.getDevice();
    const uint64_t me = identity();
    const uint64_t client = s ? 0 : me; // what S passes as "no client"
    switch (req) {
    case 10:
        dev.UpdateMuteStatus(client);
        return kIOReturnSuccess;
    case 11:
        if (!s) dev.UpdateMonitorStatus(int(qnReadU32(rec, kValue)), me);
        return kIOReturnSuccess;
    case 12:
        dev.UpdateVolumeStatus(qnReadU32(rec, kValue) != 0, client);
        return kIOReturnSuccess;
    case 15:
        qnWriteU32(rec, kValue, kd.GetAllocatedBandWidth());
        return kIOReturnSuccess;
    case 16:
        qnWriteU32(rec, kValue, ZrKernelDeviceKorvexHX5100::GetFreeBandWidth());
        return kIOReturnSuccess;
    case 17:
        qnWriteU32(rec, kValue, dev.getCanMonitor() ? 1 : 0);
        return kIOReturnSuccess;
    case 18:
        qnWriteU32(rec, kValue, dev.getMonitorValue());
        return kIOReturnSuccess;
    case 19:
        dev.UpdateDataSourceSelector(client);
        return kIOReturnSuccess;
    case 24:
        dev.setHALVersion(qnReadU32(rec, kValue));
        return kIOReturnSuccess;
    case 25:
        qnWriteU32(rec, kValue, dev.getHALVersion());
        return kIOReturnSuccess;
    case 26:
        qnWriteU32(rec, kValue, ZrDevice::getUSBVersion());
        return kIOReturnSuccess;
    case 27:
        qnWriteU64(rec, kValue, me);
        return kIOReturnSuccess;
    case 29:
        IOLog("Requesting status: 0x%08x\n", unsigned(kd.getConfigureStatus()));
        qnWriteU32(rec, kValue, uint32_t(kd.getConfigureStatus()));
        return kIOReturnSuccess;
    case 30:
        setRegisteredId(qnReadU32(rec, kValue));
        IOLog("*** Connected to client %d ***\n", int(qnReadU32(rec, kValue)));
        return kIOReturnSuccess;
    case 31:
        return dev.handleStreamBroken(1) ? kIOReturnSuccess : kIOReturnNotPrivileged;
    case 32:
        dev.handleStreamBroken(2);
        return kIOReturnSuccess;
    case 33:
        rec[kValue] = dev.takeUserConfigFlag() ? 1 : 0;
        rec[kValue + 1] = dev.getMixerStatus();
        rec[kValue + 2] = uint8_t(dev.getMixerMode());
        return kIOReturnSuccess;
    case 34:
        // The device leaves the bus once this request is answered and comes
        // back on its port; this service ends as on an unplug.
        IOLog("ReEnumerateDevice\n");
        dev.reEnumerateDevice();
        return kIOReturnSuccess;
    default:
        break;
    }
    return std::nullopt;
}

// Requests passed to the device: raw USB requests and control records.
std::optional<IOReturn> ZrStreamingClient::serveDeviceRequest(bool s, uint32_t req, uint8_t* rec) {
    ZrKernelDeviceKorvexHX5100& kd = *mKernelDevice;
    ZrDevice& dev = *kd.getDevice();
    switch (req) {
    case 13: {
        const uint32_t length = qnReadU32(rec, kRqLength);
        const int32_t in = int32_t(qnReadU32(rec, kRqIn));
        const int32_t type = int32_t(qnReadU32(rec, kRqType));
        const int32_t recipient = int32_t(qnReadU32(rec, kRqRecipient));
        if (length > kRequestDataMax || (in != 0 && in != 128) ||
            (type != 0 && type != 32 && type != 64) || recipient < 0 || recipient > 3) {
            IOLog("%s code:%d return kIOReturnBadArgument\n", "method_CallDriver", int(req));
            return kIOReturnBadArgument;
        }
        uint8_t data[kRequestDataMax] = {};
        std::memcpy(data, rec + kRqData, length);
        uint32_t received = length;
        const IOReturn r = kd.deviceRequestStd(
            EDirection(in), EDRQ_Level(type), EDRQ_Recipient(recipient), rec[kRqRequest],
            qnReadU16(rec, kRqValue), qnReadU16(rec, kRqIndex), data, received, kTries);
        if (r != kIOReturnSuccess) {
            IOLog("%s code:%d return kIOReturnBadArgument\n", "method_CallDriver", int(req));
            return kIOReturnBadArgument;
        }
        if (in == 128 && received <= kReplyDataMax) {
            qnWriteU32(rec, kRqLength, received);
            std::memcpy(rec + kRqData, data, received);
        }
        return kIOReturnSuccess;
    }
    case 35: {
        if (!s) {
            // In place; the code word then carries the HAL version, and the
            // call succeeds whatever the dispatcher said.
            QN_Dispatch d;
            std::memcpy(&d, rec + kOSXDispatchRecordOffset, sizeof d);
            dev.onDispatchStreaming(this, &d);
            std::memcpy(rec + kOSXDispatchRecordOffset, &d, sizeof d);
            qnWriteU32(rec, kOSXDispatchRecordOffset, dev.getHALVersion());
            return kIOReturnSuccess;
        }
        QN_Dispatch copy;
        std::memcpy(&copy, rec + kOSXDispatchRecordOffset, sizeof copy);
        const IOReturn r = dev.onDispatchStreaming(this, &copy);
        std::memcpy(rec + kOSXDispatchRecordOffset, &copy, sizeof copy);
        return r;
    }
    default:
        break;
    }
    return std::nullopt;
}

// Routing and the hardware mixer.
std::optional<IOReturn> ZrStreamingClient::serveMixerRequest(bool s, uint32_t req, uint8_t* rec) {
    ZrKernelDeviceKorvexHX5100& kd = *mKernelDevice;
    ZrDevice& dev = *kd.getDevice();
    const uint64_t me = identity();
    switch (req) {
    case 36:
        if (s) break;
        qnWriteU32(rec, kValue, dev.getTolvaneRoutingValue());
        return kIOReturnSuccess;
    case 37:
        if (s) break;
        dev.UpdateTolvaneRouting(int(qnReadU32(rec, kValue)), me);
        return kIOReturnSuccess;
    case 38: {
        const uint8_t notify = rec[kValue];
        const uint8_t mode = rec[kValue + 1];
        IOLog("Req_SetMixerMode %d (was %d)\n", int(mode), int(dev.getMixerMode()));
        uint8_t status = 0;
        uint32_t got = 1;
        if (kd.deviceRequestStd(kDirIn, kLevelVendor, kRecipientDevice, kReqRegister, 0, kRegPort2,
                                &status, got, kTries) != kIOReturnSuccess ||
            got == 0)
            status = 0;
        kd.setProperty("MixerMode", (unsigned long long)mode, 32);
        int ins = 2, outs = 2;
        const bool mixerProduct = dev.isMixerModeProduct(&ins, &outs);
        if ((mode == 1 || mode == 2) && mixerProduct)
            dev.setReadChannels(ins, outs);
        else if (mode == 0)
            dev.setReadChannels(2, 2);
        status = mode == 0 ? uint8_t(status | kPortMixerOff) : uint8_t(status & ~kPortMixerOff);
        dev.setMixerStatus(status);
        if (s || mixerProduct) {
            dev.setUserConfigFlag();
            dev.setMixerMode(mode);
            if (notify == 1) dev.stcNotifyFromClient(STC_MixerModeChanged, me);
        }
        return kIOReturnSuccess;
    }
    case 39:
        qnWriteU16(rec, kValue, dev.getMixerBitmap());
        qnWriteU16(rec, kValue + 2, dev.getMixerKnob());
        return kIOReturnSuccess;
    case 40: {
        const int16_t bitmap = int16_t(qnReadU16(rec, kValue));
        const int16_t knob = int16_t(qnReadU16(rec, kValue + 2));
        dev.setMixerValues(uint16_t(bitmap), uint16_t(knob));
        if (s)
            IOLog("Req_SetMixerValues bitmap %02X (%d) knob %02X (%d)\n",
                  unsigned(uint16_t(bitmap)), int(bitmap), unsigned(uint16_t(knob)), int(knob));
        else
            IOLog("Req_SetMixerValues bitmap %02X knob %02X\n", unsigned(uint16_t(bitmap)),
                  unsigned(uint16_t(knob)));
        uint32_t none = 0;
        kd.deviceRequestStd(kDirOut, kLevelVendor, kRecipientDevice, kReqMixerValues,
                            uint16_t(knob), uint16_t(bitmap), nullptr, none, kTries);
        kd.setProperty("MixerValues", (unsigned long long)(int64_t)bitmap, 16);
        kd.setProperty("MixerKnob", (unsigned long long)(int64_t)knob, 16);
        dev.stcNotifyFromClient(STC_MixerValuesChanged, me);
        return kIOReturnSuccess;
    }
    default:
        break;
    }
    return std::nullopt;
}

// The audio server's time stamps, state and power, and the audio client's vendor port.
std::optional<IOReturn> ZrStreamingClient::serveServerRequest(bool s, uint32_t req, uint8_t* rec) {
    ZrKernelDeviceKorvexHX5100& kd = *mKernelDevice;
    ZrDevice& dev = *kd.getDevice();
    switch (req) {
    case 41:
        if (!s) break;
        if (dev.getAudioSMArea().getMemory() && dev.getDriverSM())
            dev.getInputRing().CopyData(dev.getDriverSM()->mTimeStamps);
        else
            IOLog("Req_GetTimeStamps failed\n");
        return kIOReturnSuccess;
    case 42:
        if (!s) break;
        qnWriteU32(rec, kValue, dev.isStreamingStarted() ? 1 : 0);
        return kIOReturnSuccess;
    case 43:
        if (!s) break;
        kd.systemSleep();
        return kIOReturnSuccess;
    case 44:
        if (!s) break;
        IOLog("Req_SystemWakeUp\n");
        kd.systemWakeUp();
        return kIOReturnSuccess;
    case 45:
        if (s) break;
        IOLog("Req_OpenAsyncVendorInterface\n");
        qnWriteU32(rec, kValue, dev.vendorPortOpen(vendorClient()));
        return kIOReturnSuccess;
    case 46:
        if (s) break;
        qnWriteU32(rec, kValue, dev.vendorPortClose(vendorClient(), true));
        return kIOReturnSuccess;
    case 47:
        if (s) break;
        IOLog("Req_AbortAsyncVendorInterface\n");
        qnWriteU32(rec, kValue, dev.vendorPortAbort(vendorClient(), true));
        return kIOReturnSuccess;
    default:
        break;
    }
    return std::nullopt;
}
