// The typed requests of USBDevice: each writes a zeroed QN_Dispatch record
// with its code and arguments, sends it over the control connection and
// reads its answer from the reply. Bounds the kernel never sees: a USB
// request carries at most 256 bytes, an ioctl copies at most the union's
// 1,536 bytes, texts handed out end inside their fields.
#include "api/USBDevice.h"

#include "abi/ProductIdentities.h"
#include "abi/QN_RequestCodes.h"
#include "platform/cf/CFNumber.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstring>

namespace {

constexpr size_t kMaxDeviceRequest = 256;
constexpr size_t kUnionSize = sizeof(QN_Dispatch::data);
constexpr size_t kCPortBlock = 255;
constexpr size_t kSorvikNameSize = 32;
constexpr uint8_t kReplugRequest = 0x52;
constexpr uint32_t kCpldMixOutSelBit = 3;
constexpr uint32_t kCpldDigitalMonBit = 4;

QN_Dispatch zeroed(uint32_t code) {
    QN_Dispatch d;
    std::memset(&d, 0, sizeof d);
    d.code = code;
    return d;
}

// The ioctls of DeviceIoControl and the code each sends.
struct IoctlRow {
    int ioctl;
    uint32_t code;
    bool text; // the last copied byte is a terminator
};
constexpr IoctlRow kIoctls[] = {
    {0, EQN_GetDriverString, true},       {1, EQN_GetProductString, true},
    {38, EQN_GetDeviceDescriptor, false}, {39, EQN_GetIsUSB2Device, false},
    {41, EQN_GetDriverVersion, false},    {56, EQN_GetPortConfig, false},
};

} // namespace

bool USBDevice::simple(uint32_t code, uint32_t value, bool checkSize, QN_Dispatch& record) {
    record = zeroed(code);
    record.data.ulValue = value;
    return dispatch(record, checkSize);
}

long USBDevice::getDigitalOutSelector() {
    QN_Dispatch d;
    return simple(EQN_GetDigitalOutSelector, 0, true, d) ? long(d.data.ulValue) : -1;
}

bool USBDevice::setDigitalOutSelector(long value) {
    QN_Dispatch d;
    return simple(EQN_SetDigitalOutSelector, uint32_t(value), false, d);
}

bool USBDevice::getOlvqCpldMixOutSel() {
    QN_Dispatch d;
    return simple(EQN_GetOlvqCpldByte, 0, false, d) && (d.data.ulValue >> kCpldMixOutSelBit & 1);
}

bool USBDevice::getOlvqCpldDigitalMon() {
    QN_Dispatch d;
    return simple(EQN_GetOlvqCpldByte, 0, false, d) && (d.data.ulValue >> kCpldDigitalMonBit & 1);
}

// The write is the read's reply sent back with code 5 and one bit changed.
bool USBDevice::setCpldBit(uint8_t bit, bool on) {
    QN_Dispatch d;
    if (!simple(EQN_GetOlvqCpldByte, 0, false, d)) return false;
    d.code = EQN_SetOlvqCpldByte;
    if (on)
        d.data.cValue |= uint8_t(1u << bit);
    else
        d.data.cValue &= uint8_t(~(1u << bit));
    return dispatch(d, false);
}

bool USBDevice::setOlvqCpldMixOutSel(bool on) {
    return setCpldBit(kCpldMixOutSelBit, on);
}
bool USBDevice::setOlvqCpldDigitalMon(bool on) {
    return setCpldBit(kCpldDigitalMonBit, on);
}

uint32_t USBDevice::getCountConfigurations() {
    QN_Dispatch d;
    return simple(EQN_GetCountConfigs, 0, true, d) ? d.data.ulValue : 0;
}

bool USBDevice::getConfiguration(uint32_t index, QN_DeviceConfiguration& config) {
    QN_Dispatch d;
    if (!simple(EQN_GetConfig, index, true, d)) return false;
    config = d.data.cConfig;
    return true;
}

bool USBDevice::getCurrentConfiguration(QN_DeviceConfiguration& config) {
    QN_Dispatch d;
    if (!simple(EQN_GetCurrentConfig, 0, true, d)) return false;
    config = d.data.cConfig;
    return true;
}

bool USBDevice::setConfiguration(QN_DeviceConfiguration wanted, QN_DeviceConfiguration& result) {
    QN_Dispatch d = zeroed(EQN_SetCurrentConfig);
    d.data.cConfig = wanted;
    if (!dispatch(d, true)) return false;
    result = d.data.cConfig;
    return true;
}

uint32_t USBDevice::getCountBufferSizes() {
    QN_Dispatch d;
    return simple(EQN_GetCountBufferSizes, 0, true, d) ? d.data.ulValue : 0;
}

uint32_t USBDevice::getBufferSize(uint32_t index) {
    QN_Dispatch d;
    return simple(EQN_GetBufferSize, index, true, d) ? d.data.ulValue : 0;
}

uint32_t USBDevice::getCurrentBufferSize() {
    QN_Dispatch d;
    return simple(EQN_GetCurrentBufferSize, 0, true, d) ? d.data.ulValue : 0;
}

// No request of this kernel changes the buffer size (code 9 would take the
// size as a new configuration): nothing is sent, the answer is the failure
// value.
uint32_t USBDevice::setBufferSize(uint32_t) {
    return 0;
}

// No request of this kernel reports a configuration status (code 38 would
// suspend streaming): nothing is sent, the answer is the failure value.
uint32_t USBDevice::getConfigStatus() {
    return 0;
}

bool USBDevice::canClockSource(QNE_ClockSource source) {
    QN_Dispatch d;
    return simple(EQN_CanClockSource, uint32_t(source), true, d) && d.data.ulValue == 1;
}

long USBDevice::getCurrentClockSource() {
    QN_Dispatch d;
    return simple(EQN_GetClockSource, 0, true, d) ? long(d.data.ulValue) : -1;
}

long USBDevice::setClockSource(QNE_ClockSource source) {
    QN_Dispatch d;
    return simple(EQN_SetClockSource, uint32_t(source), true, d) ? long(d.data.ulValue) : -1;
}

bool USBDevice::getDigitalStatus(QN_DigitalStatus& status) {
    QN_Dispatch d;
    if (!simple(EQN_GetDigitalStatus, 0, true, d)) return false;
    status = d.data.cDigitalStatus;
    return true;
}

bool USBDevice::getDeviceDescriptor(QN_DeviceDescriptor& descriptor) {
    if (!isOpen()) return false;
    descriptor.clear();
    QN_Dispatch d = zeroed(EQN_GetDeviceDescriptor);
    if (!dispatch(d, true)) return false;
    std::memcpy(&descriptor, &d.data, sizeof descriptor);
    return true;
}

long USBDevice::getUSB1Mode() {
    QN_Dispatch d;
    return simple(EQN_GetUSB1Mode, 0, true, d) ? long(d.data.ulValue) : -1;
}

long USBDevice::setUSB1Mode(QNE_USB1Mode mode) {
    QN_Dispatch d;
    return simple(EQN_SetUSB1Mode, uint32_t(mode), true, d) ? long(d.data.ulValue) : -1;
}

long USBDevice::getDigitalOutMode() {
    QN_Dispatch d;
    return simple(EQN_GetDigitalOutMode, 0, true, d) ? long(d.data.ulValue) : -1;
}

long USBDevice::setDigitalOutMode(QNE_DigitalOutMode mode) {
    QN_Dispatch d;
    return simple(EQN_SetDigitalOutMode, uint32_t(mode), true, d) ? long(d.data.ulValue) : -1;
}

bool USBDevice::prepareFirmwareUpdate() {
    QN_Dispatch d;
    return simple(EQN_EnterFirmwareUpdateMode, 0, true, d);
}

bool USBDevice::request(EDirection direction, EDRQ_Level type, EDRQ_Recipient recipient,
                        uint8_t bRequest, uint16_t wValue, uint16_t wIndex, char* data,
                        uint16_t length, uint16_t* transferred) {
    uint16_t none = 0;
    uint16_t& count = transferred ? *transferred : none;
    count = 0;
    if (!isOpen() || length > kMaxDeviceRequest) return false;
    QN_Dispatch d = zeroed(EQN_DeviceRequest);
    QN_VendorOrClassRequest& r = d.data.cDevRequest;
    r.eIn = direction;
    r.eType = type;
    r.eRecipient = recipient;
    r.bRequest = bRequest;
    r.wValue = wValue;
    r.wIndex = wIndex;
    r.uLength = length;
    if (length && data) std::memcpy(r.data, data, length);
    if (!dispatch(d, true)) return false;
    if (direction == kDirIn && data) {
        const size_t n = std::min<size_t>({d.data.cDevRequest.uLength, kMaxDeviceRequest, length});
        std::memcpy(data, d.data.cDevRequest.data, n);
        count = uint16_t(n);
    }
    return true;
}

bool USBDevice::readLevelInfo(QN_LevelInfo& info) {
    if (!isOpen()) return false;
    QN_Dispatch d = zeroed(EQN_GetLevels);
    const bool ok = dispatch(d, true);
    if (ok)
        info = d.data.cLvl;
    else
        std::memset(&info, 0, sizeof info);
    return ok;
}

bool USBDevice::sendCPortBytes(size_t count, const uint8_t* bytes) {
    if (!isOpen()) return false;
    if (count == 0 || !bytes) return true;
    for (size_t at = 0; at < count; at += kCPortBlock) {
        const size_t n = std::min(kCPortBlock, count - at);
        QN_Dispatch d = zeroed(EQN_SendCPort);
        d.data.cCPortData[0] = uint8_t(n);
        std::memcpy(d.data.cCPortData + 1, bytes + at, n);
        if (!dispatch(d, false)) return false;
    }
    return true;
}

bool USBDevice::sendCPortBytesStatic(void* context, const uint8_t* bytes, size_t count) {
    return context && static_cast<USBDevice*>(context)->sendCPortBytes(count, bytes);
}

bool USBDevice::resumeStreaming() {
    QN_Dispatch d;
    return simple(EQN_ResumeStreaming, 0, true, d);
}

bool USBDevice::suspendStreaming() {
    QN_Dispatch d;
    return simple(EQN_SuspendStreaming, 0, true, d) && d.data.ulValue != 0;
}

int USBDevice::setRouting(bool input, int hostPair, int devicePair) {
    QN_Dispatch d = zeroed(EQN_SetRouting);
    d.data.cRoutingRequest.nInput = input ? 1 : 0;
    d.data.cRoutingRequest.nChannelPairHost = uint32_t(hostPair);
    d.data.cRoutingRequest.nChannelPairDevice = uint32_t(devicePair);
    return dispatch(d, true) ? int(d.data.cRoutingRequest.nChannelPairDevice) : hostPair;
}

int USBDevice::getRouting(bool input, int index) {
    if (!mService) return -1;
    const kern_return_t kr = getIORegistryProperties();
    if (kr != KERN_SUCCESS || !mRegistryProperties) {
        std::printf("Error %x\n", unsigned(kr));
        return -1;
    }
    CFTypeRef aj = CFDictionaryGetValue(mRegistryProperties, CFSTR("AjExtData"));
    if (!aj || CFGetTypeID(aj) != CFDictionaryGetTypeID()) {
        std::printf("Error No AjExtData");
        return -1;
    }
    char key[32];
    const int n = std::snprintf(key, sizeof key, "Routing%s%d", input ? "In" : "Out", index);
    if (n <= 0 || size_t(n) >= sizeof key) return -1;
    CFStringRef k = CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8);
    CFTypeRef v = k ? CFDictionaryGetValue(CFDictionaryRef(aj), k) : nullptr;
    if (k) CFRelease(k);
    int32_t value = 0;
    if (!v || CFGetTypeID(v) != CFNumberGetTypeID() ||
        !CFNumberGetValue(CFNumberRef(v), kCFNumberSInt32Type, &value))
        return -1;
    std::printf("getRouting %s returns: %d\n", key, int(value));
    return value;
}

uint16_t USBDevice::getWMRegister(uint16_t codec, uint16_t reg) {
    QN_Dispatch d = zeroed(EQN_GetWolfsonRegister);
    d.data.cWMCodecRequest.nCodec = codec;
    d.data.cWMCodecRequest.nRegister = reg;
    return dispatch(d, true) ? d.data.cWMCodecRequest.nValue : 0;
}

uint16_t USBDevice::setWMRegister(uint16_t codec, uint16_t reg, uint16_t value) {
    QN_Dispatch d = zeroed(EQN_SetWolfsonRegister);
    d.data.cWMCodecRequest.nCodec = codec;
    d.data.cWMCodecRequest.nRegister = reg;
    d.data.cWMCodecRequest.nValue = value;
    return dispatch(d, true) ? d.data.cWMCodecRequest.nValue : 0;
}

bool USBDevice::isSorvikMapped() const {
    if (mIdVendor != kSorvikVendorID) return false;
    return std::find(std::begin(kSorvikFarlane1ProductIDs), std::end(kSorvikFarlane1ProductIDs),
                     mIdProduct) != std::end(kSorvikFarlane1ProductIDs);
}

// A Sorvik device reports only the channels in use, in order: they go back
// to the slots whose map entry is not 0xFF. The map holds 8 entries per
// direction; product 8's slots beyond them have no entry and take the
// remaining levels in order.
void USBDevice::spreadLevels(const int32_t* reply, uint32_t* levels, bool input) const {
    constexpr uint32_t kMapEntries = 8;
    constexpr uint32_t kMaxChannels = 32;
    const bool wide = mIdProduct == 8;
    const uint32_t slots = input ? (wide ? 10 : 8) : (wide ? 12 : 6);
    std::fill(levels, levels + (input ? slots : kMaxChannels), 0u);
    const QN_DeviceConfiguration& config = mSorvikConfigAndMap.cConfig;
    const uint32_t channels = std::min(input ? config.numInputs : config.numOutputs, kMaxChannels);
    const int32_t* map = input ? mSorvikConfigAndMap.cMap.mIn : mSorvikConfigAndMap.cMap.mOut;
    uint32_t slot = 0;
    for (uint32_t i = 0; i < channels && slot < slots; ++i) {
        while (slot < slots && slot < kMapEntries && (map[slot] & 0xFF) == 0xFF)
            ++slot;
        if (slot == slots) break;
        levels[slot++] = uint32_t(reply[i]);
    }
}

bool USBDevice::levels(uint32_t code, uint32_t levels[32], bool input) {
    QN_Dispatch d = zeroed(code);
    if (!dispatch(d, true)) return false;
    if (isSorvikMapped())
        spreadLevels(d.data.iLevels, levels, input);
    else
        std::memcpy(levels, d.data.iLevels, sizeof d.data.iLevels);
    return true;
}

bool USBDevice::getOutLevels(uint32_t levelsOut[32]) {
    return levels(EQN_TakeOutputLevels, levelsOut, false);
}
bool USBDevice::getInLevels(uint32_t levelsIn[32]) {
    return levels(EQN_TakeInputLevels, levelsIn, true);
}

bool USBDevice::getChannelMap(QN_Sorvik_ChannelMap& map) {
    QN_Dispatch d = zeroed(EQN_GetSorvikChannelMap);
    if (!dispatch(d, true)) return false;
    std::memcpy(&map, &d.data.cQN_Sorvik_ChannelMap, sizeof map);
    return true;
}

bool USBDevice::setChannelMap(QN_Sorvik_ChannelMap map) {
    QN_Dispatch d = zeroed(EQN_SetSorvikChannelMap);
    std::memcpy(&d.data.cQN_Sorvik_ChannelMap, &map, sizeof map);
    return dispatch(d, false);
}

bool USBDevice::setConfigurationAndChannelMap(QN_Sorvik_ConfigAndMap wanted,
                                              QN_Sorvik_ConfigAndMap& result) {
    QN_Dispatch d = zeroed(EQN_SetSorvikConfigAndMap);
    std::memcpy(&d.data.cQN_Sorvik_ConfigAndMap, &wanted, sizeof wanted);
    if (!dispatch(d, true)) return false;
    std::memcpy(&result, &d.data.cQN_Sorvik_ConfigAndMap, sizeof result);
    std::memcpy(&mSorvikConfigAndMap, &d.data.cQN_Sorvik_ConfigAndMap, sizeof mSorvikConfigAndMap);
    return true;
}

bool USBDevice::getConfigurationAndChannelMap(QN_Sorvik_ConfigAndMap& result) {
    QN_Dispatch d = zeroed(EQN_GetSorvikConfigAndMap);
    if (!dispatch(d, true)) return false;
    std::memcpy(&result, &d.data.cQN_Sorvik_ConfigAndMap, sizeof result);
    return true;
}

void USBDevice::updateSorvikConfigAndMap() {
    QN_Dispatch d = zeroed(EQN_GetSorvikConfigAndMap);
    if (dispatch(d, true))
        std::memcpy(&mSorvikConfigAndMap, &d.data.cQN_Sorvik_ConfigAndMap,
                    sizeof mSorvikConfigAndMap);
}

bool USBDevice::getSorvikDeviceName(char name[32]) {
    QN_Dispatch d = zeroed(EQN_GetSorvikDeviceName);
    if (!dispatch(d, false)) {
        name[0] = 0;
        return false;
    }
    std::memcpy(name, d.data.cString, kSorvikNameSize);
    name[kSorvikNameSize - 1] = 0;
    return true;
}

bool USBDevice::setSorvikDeviceName(const char* name) {
    if (!name) return false;
    QN_Dispatch d = zeroed(EQN_SetSorvikDeviceName);
    std::memcpy(d.data.cString, name, ::strnlen(name, kSorvikNameSize));
    return dispatch(d, false);
}

// The kernel answers before the device leaves the bus; a connection lost
// because it already left counts as done too.
bool USBDevice::reenumerateDevice() {
    if (!isOpen()) return false;
    const QN_Dispatch sent = zeroed(EQN_ReEnumerateDevice);
    QN_Dispatch reply = sent;
    size_t outSize = sizeof reply;
    const kern_return_t kr =
        IOConnectCallStructMethod(mConnection, 0, &sent, sizeof sent, &reply, &outSize);
    return kr == KERN_SUCCESS || kr == kIOReturnNoDevice;
}

bool USBDevice::replugDevice() {
    if (!isOpen()) return false;
    return request(kDirOut, kLevelVendor, kRecipientDevice, kReplugRequest, 0, 0, nullptr, 0,
                   nullptr);
}

bool USBDevice::levelInfoExAttach() {
    return true;
}
bool USBDevice::levelInfoExDetach() {
    return true;
}
bool USBDevice::readLevelInfoExtended1(QN_LevelInfoExtended1&) {
    return true;
}

bool USBDevice::readLevelInfoEx(QN_LevelInfo32& info) {
    getInLevels(reinterpret_cast<uint32_t*>(info.lvlIn));
    getOutLevels(reinterpret_cast<uint32_t*>(info.lvlOut));
    return true;
}

bool USBDevice::writeAJData(AJCPortBase*, size_t) {
    return false;
}

bool USBDevice::DeviceIoControl(uint32_t handle, int ioctl, void*, size_t, void* out,
                                size_t outSize, size_t* bytesReturned, void*) {
    if (!handle) return false;
    const size_t n = out ? std::min(outSize, kUnionSize) : 0;
    if (bytesReturned) *bytesReturned = 0;
    const IoctlRow* row = std::find_if(std::begin(kIoctls), std::end(kIoctls),
                                       [ioctl](const IoctlRow& r) { return r.ioctl == ioctl; });
    if (row == std::end(kIoctls)) return false;
    QN_Dispatch d = zeroed(row->code);
    if (!dispatch(d, true)) return false;
    if (n) {
        std::memcpy(out, &d.data, n);
        if (row->text) static_cast<char*>(out)[n - 1] = 0;
    }
    if (bytesReturned) *bytesReturned = n;
    return true;
}
