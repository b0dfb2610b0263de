// Version records: the kernel's version words (one number per byte) turned
// into QnVersion's numbers and text, and the firmware version read from the
// device itself when the kernel does not know it.
#include "api/QuarnelDriverAPI.h"

#include "abi/QN_RequestCodes.h"
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kFirmwareInfoRequest = 0x56;
constexpr uint64_t kStageRelease = 4;

const char* stageLetters(uint64_t stage) {
    switch (stage) {
    case 1:
        return "a";
    case 2:
        return "b";
    case 3:
        return "rc";
    default:
        return "d";
    }
}

} // namespace

void _qnapiMakeVersionString(QnVersion& v) {
    char middle[48];
    if (v.minor == 15)
        std::snprintf(middle, sizeof middle, "%02d", int(v.sub));
    else
        std::snprintf(middle, sizeof middle, "%d.%d", int(v.minor), int(v.sub));
    if (v.stage == kStageRelease)
        std::snprintf(v.text, sizeof v.text, "%d.%s", int(v.major), middle);
    else
        std::snprintf(v.text, sizeof v.text, "%d.%s.%s%d", int(v.major), middle,
                      stageLetters(v.stage), int(v.build));
}

void _qnapiMakeVersionStringStd(QnVersion& v) {
    std::snprintf(v.text, sizeof v.text, "%d.%d.%d", int(v.major), int(v.sub), int(v.stage));
}

void _qnapiMakeVersionStringFirmware(QnVersion& v) {
    _qnapiMakeVersionStringStd(v);
}

bool USBDevice::getDriverVersion(QnVersion& version) {
    std::memset(&version, 0, sizeof version);
    if (!isOpen()) return false;
    uint32_t w = 0;
    if (!DeviceIoControl(mConnection, 41, nullptr, 0, &w, sizeof w, nullptr, nullptr)) return false;
    version.major = w >> 24;
    version.minor = (w >> 16) & 0xFF;
    version.sub = (w >> 8) & 0xFF;
    version.stage = kStageRelease;
    version.build = 0;
    version.tag = '0';
    _qnapiMakeVersionString(version);
    return true;
}

bool USBDevice::getFirmwareVersion(QnVersion& version, bool fromDevice) {
    std::memset(&version, 0, sizeof version);
    if (!isOpen()) return false;
    uint32_t w = 0;
    if (!fromDevice) {
        QN_Dispatch d;
        if (!simple(EQN_GetFirmwareVersion, 0, false, d)) return false;
        w = d.data.ulValue;
        fromDevice = w == 0;
    }
    if (fromDevice) {
        char b[3] = {};
        if (!request(kDirIn, kLevelVendor, kRecipientDevice, kFirmwareInfoRequest, 0, 0, b,
                     sizeof b, nullptr))
            return false;
        const uint8_t* u = reinterpret_cast<const uint8_t*>(b);
        w = uint32_t(u[1]) << 24 | uint32_t(u[2] / 10) << 16 | uint32_t(u[2] % 10) << 8 | u[0];
        std::printf("fwupdater %08X\n", unsigned(w));
    }
    std::printf("uFirmwareVersion %08X\n", unsigned(w));
    version.major = w >> 24;
    version.sub = (w >> 16) & 0xFF;
    version.stage = (w >> 8) & 0xFF;
    version.build = w & 0xFF;
    version.tag = char(w & 0xFF);
    _qnapiMakeVersionStringFirmware(version);
    QN_Dispatch text;
    if (simple(EQN_GetFirmwareVersionString, 0, false, text)) {
        std::memcpy(version.firmware, text.data.cString, sizeof version.firmware);
        version.firmware[sizeof version.firmware - 1] = 0;
    }
    return true;
}
