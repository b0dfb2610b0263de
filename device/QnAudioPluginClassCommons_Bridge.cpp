// The kernel-driver settings bridge: each setting the kernel keeps (clock
// source, digital output, routing, mixer, levels, foot switch, codec
// registers, versions) is one small request. Values handed in as CF objects
// are checked for type and length before anything is sent; a failed call
// gives -1, 0, zeros or an empty value, never a stale reply.
#include "device/QnAudioPluginClassCommons.h"

#include <algorithm>
#include <cstring>
#include <syslog.h>

#include "abi/DeviceFamilies.h"
#include "device/QnAudioPluginClassCommons_Requests.h"

using namespace qnrequests;

namespace {

// Dispatch codes of request 35.
enum : uint32_t {
    kGetDigitalOutSelector = 2,
    kSetDigitalOutSelector = 3,
    kGetClockSource = 15,
    kSetClockSource = 16,
    kGetDigitalStatus = 17,
    kGetDriverVersion = 22,
    kGetFirmwareVersion = 23,
    kGetFirmwareVersionString = 24,
    kGetUSB1Mode = 25,
    kSetUSB1Mode = 26,
    kGetDigitalOutMode = 27,
    kSetDigitalOutMode = 28,
    kGetInputsExclusive = 29,
    kSetInputsExclusive = 30,
    kGetOutputsExclusive = 31,
    kSetOutputsExclusive = 32,
    kGetInputLevels = 35,
    kResumeStreaming = 37,
    kSuspendStreaming = 38,
    kGetRouting = 39,
    kSetRouting = 40,
    kGetWolfsonRegister = 41,
    kSetWolfsonRegister = 42,
    kGetHogID = 43,
    kSetHogID = 44,
    kGetPortConfig = 48,
    kSetFootSwitchMode = 52,
    kSetFootSwitchProtocol = 54,
    kSetMixerFractions = 55,
    kSetRoutingMatrix = 56,
    kGetRoutingMatrix = 57,
    kSendReverbBuffers = 58,
    kGetOutputLevels = 60,
    kSendMixerBuffer = 61,
    kGetDriverVersionString = 63,
    kGetSerialNumberString = 64,
};

constexpr uint32_t kRoutingMatrixBytes = 32;
constexpr uint32_t kReverbBufferBytes = 6 * 256;
constexpr uint32_t kMixerBufferBytes = 64;

CFNumberRef makeNumber(int32_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
}

CFDataRef makeData(const uint8_t* bytes, uint32_t length) {
    return CFDataCreate(nullptr, bytes, CFIndex(length));
}

// A number of the dictionary, false when absent or not a number.
bool numberFor(CFDictionaryRef dictionary, CFStringRef key, int32_t* value) {
    CFTypeRef v = CFDictionaryGetValue(dictionary, key);
    if (!v || CFGetTypeID(v) != CFNumberGetTypeID()) return false;
    return CFNumberGetValue(CFNumberRef(v), kCFNumberSInt32Type, value);
}

void setNumber(CFMutableDictionaryRef dictionary, CFStringRef key, int32_t value) {
    CFNumberRef n = makeNumber(value);
    CFDictionarySetValue(dictionary, key, n);
    CFRelease(n);
}

CFMutableDictionaryRef makeDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

bool isDataOfAtLeast(CFDataRef data, uint32_t bytes) {
    return data && CFGetTypeID(data) == CFDataGetTypeID() &&
           CFDataGetLength(data) >= CFIndex(bytes);
}

} // namespace

// ---- Helpers

int32_t QnAudioPluginClassCommons::dispatchWord(uint32_t code) {
    Reply reply;
    return dispatch(code, reply) ? int32_t(reply.unionWord(0)) : -1;
}

bool QnAudioPluginClassCommons::dispatchSetWord(uint32_t code, uint32_t value) {
    Reply reply;
    return dispatch(code, reply, &value, sizeof value);
}

bool QnAudioPluginClassCommons::dispatchData(uint32_t code, uint32_t bytes, CFDataRef* data,
                                             const char* failLog) {
    Reply reply;
    const bool ok = dispatch(code, reply);
    if (!ok) {
        std::memset(reply.payload, 0, sizeof reply.payload);
        if (failLog) syslog(LOG_WARNING, failLog, int(kIOReturnError));
    }
    if (data) *data = makeData(reply.unionBytes(), bytes);
    return ok;
}

bool QnAudioPluginClassCommons::dispatchString(uint32_t code, uint32_t limit, CFStringRef* string,
                                               const char* log) {
    Reply reply;
    const bool ok = dispatch(code, reply);
    const char* text = reinterpret_cast<const char*>(reply.unionBytes());
    const size_t length = ok ? strnlen(text, limit) : 0;
    std::string value(text, length);
    syslog(LOG_WARNING, log, value.c_str());
    if (string)
        *string = CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(value.data()),
                                          CFIndex(length), kCFStringEncodingASCII, false);
    return ok;
}

bool QnAudioPluginClassCommons::sendData(uint32_t code, CFDataRef data, uint32_t bytes) {
    if (!isDataOfAtLeast(data, bytes)) return false;
    Reply reply;
    return dispatch(code, reply, CFDataGetBytePtr(data), bytes);
}

// ---- Dispatch-code operations

int32_t QnAudioPluginClassCommons::getDigitalOutSelector() {
    return dispatchWord(kGetDigitalOutSelector);
}
bool QnAudioPluginClassCommons::setDigitalOutSelector(uint32_t selector) {
    return dispatchSetWord(kSetDigitalOutSelector, selector);
}
int32_t QnAudioPluginClassCommons::getCurrentClockSource() {
    return dispatchWord(kGetClockSource);
}
bool QnAudioPluginClassCommons::setClockSource(uint32_t source) {
    return dispatchSetWord(kSetClockSource, source);
}

uint32_t QnAudioPluginClassCommons::getDigitalStatus(CFDictionaryRef* dictionary) {
    Reply reply;
    const bool ok = dispatch(kGetDigitalStatus, reply);
    if (dictionary) {
        CFMutableDictionaryRef d = makeDictionary();
        setNumber(d, CFSTR("DigitalStatus"), int32_t(ok ? reply.unionWord(0) : 0));
        setNumber(d, CFSTR("DigitalFreq"), int32_t(ok ? reply.unionWord(1) : 0));
        *dictionary = d;
    }
    return ok ? reply.unionWord(0) : 1;
}

bool QnAudioPluginClassCommons::getDriverVersion(CFNumberRef* number) {
    Reply reply;
    const bool ok = dispatch(kGetDriverVersion, reply);
    if (number) *number = makeNumber(ok ? int32_t(reply.unionWord(0)) : 0);
    return ok;
}

bool QnAudioPluginClassCommons::getFirmwareVersion(CFNumberRef* number) {
    Reply reply;
    const bool ok = dispatch(kGetFirmwareVersion, reply);
    const uint32_t version = ok ? reply.unionWord(0) : 0;
    syslog(LOG_WARNING, "Firmware Version: %ul %d", version, int(version));
    if (number) *number = makeNumber(int32_t(version));
    return ok;
}

bool QnAudioPluginClassCommons::getFirmwareVersionString(CFStringRef* string) {
    return dispatchString(kGetFirmwareVersionString, 16, string, "Firmware Version: %s\n");
}

int32_t QnAudioPluginClassCommons::getUSB1Mode() {
    return dispatchWord(kGetUSB1Mode);
}
bool QnAudioPluginClassCommons::setUSB1Mode(uint32_t mode) {
    return dispatchSetWord(kSetUSB1Mode, mode);
}
int32_t QnAudioPluginClassCommons::getDigitalOutMode() {
    return dispatchWord(kGetDigitalOutMode);
}
bool QnAudioPluginClassCommons::setDigitalOutMode(uint32_t mode) {
    return dispatchSetWord(kSetDigitalOutMode, mode);
}
int32_t QnAudioPluginClassCommons::getInputsExclusive() {
    return dispatchWord(kGetInputsExclusive);
}
bool QnAudioPluginClassCommons::setInputsExclusive(uint32_t owner) {
    return dispatchSetWord(kSetInputsExclusive, owner);
}
int32_t QnAudioPluginClassCommons::getOutputsExclusive() {
    return dispatchWord(kGetOutputsExclusive);
}
bool QnAudioPluginClassCommons::setOutputsExclusive(uint32_t owner) {
    return dispatchSetWord(kSetOutputsExclusive, owner);
}

bool QnAudioPluginClassCommons::getInputLevels(CFDataRef* data) {
    return dispatchData(kGetInputLevels, 32, data, "Level error %d");
}

bool QnAudioPluginClassCommons::resumeStreaming() {
    Reply reply;
    return dispatch(kResumeStreaming, reply);
}
bool QnAudioPluginClassCommons::suspendStreaming() {
    Reply reply;
    return dispatch(kSuspendStreaming, reply);
}

bool QnAudioPluginClassCommons::getRouting(uint32_t a, uint32_t b, uint32_t* value) {
    const uint32_t words[3] = {a, b, value ? *value : 0};
    Reply reply;
    const bool ok = dispatch(kGetRouting, reply, words, sizeof words);
    if (!ok) syslog(LOG_WARNING, "getRouting failed\n");
    if (value) *value = ok ? reply.unionWord(2) : 0;
    return ok;
}

bool QnAudioPluginClassCommons::setRouting(uint32_t a, uint32_t b, uint32_t value) {
    const uint32_t words[3] = {a, b, value};
    Reply reply;
    return dispatch(kSetRouting, reply, words, sizeof words);
}

int32_t QnAudioPluginClassCommons::getWolfsonRegister(uint32_t codec, uint32_t reg) {
    const uint16_t halves[3] = {uint16_t(codec), uint16_t(reg), 0};
    Reply reply;
    if (!dispatch(kGetWolfsonRegister, reply, halves, sizeof halves)) return -1;
    return reply.unionHalf(2);
}

bool QnAudioPluginClassCommons::setWolfsonRegister(uint32_t codec, uint32_t reg, uint32_t value) {
    const uint16_t halves[3] = {uint16_t(codec), uint16_t(reg), uint16_t(value)};
    Reply reply;
    return dispatch(kSetWolfsonRegister, reply, halves, sizeof halves);
}

bool QnAudioPluginClassCommons::getHogID(int32_t* pid) {
    Reply reply;
    const bool ok = dispatch(kGetHogID, reply);
    if (!ok) syslog(LOG_WARNING, "getHogID failed\n");
    if (pid) *pid = ok ? int32_t(reply.unionWord(0)) : -1;
    return ok;
}

bool QnAudioPluginClassCommons::setHogID(int32_t pid) {
    const bool ok = dispatchSetWord(kSetHogID, uint32_t(pid));
    syslog(LOG_WARNING, "AUDIO_PLUGIN_CLASS::setHogID %d -> %d\n", int(pid), int(ok));
    return ok;
}

bool QnAudioPluginClassCommons::getPortConfig(CFDataRef* data) {
    return dispatchData(kGetPortConfig, 4, data, "getPortConfig error %d");
}

bool QnAudioPluginClassCommons::setFootSwitchMode(uint32_t mode) {
    const bool ok = dispatchSetWord(kSetFootSwitchMode, mode);
    if (!ok) syslog(LOG_WARNING, "setFootSwitchMode failed\n");
    return ok;
}

bool QnAudioPluginClassCommons::setFootSwitchProtocol(uint32_t protocol) {
    const bool ok = dispatchSetWord(kSetFootSwitchProtocol, protocol);
    if (!ok) syslog(LOG_WARNING, "setFootSwitchProtocol failed\n");
    return ok;
}

bool QnAudioPluginClassCommons::setMixerFractions(CFDictionaryRef dictionary) {
    if (!dictionary || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return false;
    static const CFStringRef kKeys[] = {
        CFSTR("MixerFractionChannel"), CFSTR("MixerFractionLNumerator"),
        CFSTR("MixerFractionLDenominator"), CFSTR("MixerFractionRNumerator"),
        CFSTR("MixerFractionRDenominator")};
    int32_t values[5];
    for (int k = 0; k < 5; ++k)
        if (!numberFor(dictionary, kKeys[k], &values[k])) return false;
    Reply reply;
    return dispatch(kSetMixerFractions, reply, values, sizeof values);
}

bool QnAudioPluginClassCommons::setRoutingMatrix(CFDataRef data) {
    return sendData(kSetRoutingMatrix, data, kRoutingMatrixBytes);
}

bool QnAudioPluginClassCommons::getRoutingMatrix(CFDataRef* data) {
    return dispatchData(kGetRoutingMatrix, kRoutingMatrixBytes, data, nullptr);
}

bool QnAudioPluginClassCommons::sendReverbBuffers(CFDataRef data) {
    return sendData(kSendReverbBuffers, data, kReverbBufferBytes);
}

bool QnAudioPluginClassCommons::getOutputLevels(CFDataRef* data) {
    return dispatchData(kGetOutputLevels, 128, data, nullptr);
}

bool QnAudioPluginClassCommons::sendMixerBuffer(CFDataRef data) {
    return sendData(kSendMixerBuffer, data, kMixerBufferBytes);
}

bool QnAudioPluginClassCommons::getDriverVersionString(CFStringRef* string) {
    return dispatchString(kGetDriverVersionString, 16, string, "Driver Version: %s\n");
}

bool QnAudioPluginClassCommons::getSerialNumberString(CFStringRef* string) {
    return dispatchString(kGetSerialNumberString, 256, string, "Serial Number: %s\n");
}

bool QnAudioPluginClassCommons::hasLowBufferFW() {
    Reply reply;
    const uint32_t firmware = dispatch(kGetFirmwareVersion, reply) ? reply.unionWord(0) : 0;
    syslog(LOG_WARNING, "Firmware Version: %ul %08X\n", firmware, firmware);
    if (mLowBuffFWVersion == 0 || mLowBuffFWVersion > firmware) return false;
    syslog(LOG_WARNING, "hasLowBufferFW\n");
    return true;
}

// ---- The audio client's own requests

int32_t QnAudioPluginClassCommons::getConfigStatus() {
    Reply reply;
    return audioRequest(kReqConfigStatus, reply) ? int32_t(reply.word(0)) : -1;
}

int32_t QnAudioPluginClassCommons::getBandWidthAvailable() {
    Reply reply;
    return audioRequest(kReqBandWidthAvailable, reply) ? int32_t(reply.word(0)) : -1;
}

uint32_t QnAudioPluginClassCommons::getVersionHAL() {
    Reply reply;
    return audioRequest(kReqVersionHAL, reply) ? reply.word(0) : 0;
}

uint32_t QnAudioPluginClassCommons::getVersionUSB() {
    Reply reply;
    return audioRequest(kReqVersionUSB, reply) ? reply.word(0) : 0;
}

IOReturn QnAudioPluginClassCommons::getTolvaneRouting(uint32_t* value) {
    if (!DeviceFamilies::contains(DeviceFamilies::kTolvane, vendor(), product()))
        return kIOReturnError;
    if (value) *value = 0;
    Reply reply;
    if (!audioRequest(kReqGetTolvaneRouting, reply)) return kIOReturnError;
    if (value) *value = reply.word(0);
    return kIOReturnSuccess;
}

bool QnAudioPluginClassCommons::setTolvaneRouting(uint32_t value) {
    if (!DeviceFamilies::contains(DeviceFamilies::kTolvane, vendor(), product())) return false;
    Reply reply;
    return audioRequest(kReqSetTolvaneRouting, reply, &value, sizeof value);
}

bool QnAudioPluginClassCommons::getMixerValues(CFDictionaryRef* dictionary) {
    Reply reply;
    const bool ok = audioRequest(kReqGetMixerValues, reply);
    const uint16_t bitmap = ok ? reply.half(0) : 0;
    const uint16_t knob = ok ? reply.half(2) : 0;
    syslog(LOG_NOTICE, "getMixerValues bitmapValue %d knob %d\n", int(bitmap), int(knob));
    if (ok && dictionary) {
        CFMutableDictionaryRef d = makeDictionary();
        setNumber(d, CFSTR("MixerBitmap"), bitmap);
        setNumber(d, CFSTR("MixerKnob"), knob);
        *dictionary = d;
    }
    return ok;
}

bool QnAudioPluginClassCommons::setMixerValues(CFDictionaryRef dictionary) {
    if (!dictionary || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return false;
    int32_t bitmap = 0, knob = 0;
    if (!numberFor(dictionary, CFSTR("MixerBitmap"), &bitmap) ||
        !numberFor(dictionary, CFSTR("MixerKnob"), &knob))
        return false;
    const uint16_t halves[2] = {uint16_t(bitmap), uint16_t(knob)};
    Reply reply;
    const bool ok = audioRequest(kReqSetMixerValues, reply, halves, sizeof halves);
    syslog(LOG_NOTICE, "SetMixerValues bitmapValue %d knob %d\n", int(halves[0]), int(halves[1]));
    if (QnAudioPluginSettingsStore* registry = mHost.hostSettingsStore()) {
        registry->setUInt16Value(halves[0], "AnalogInState");
        registry->setUInt16Value(halves[1], "MonMixPos");
    }
    return ok;
}

bool QnAudioPluginClassCommons::setMixerMode(uint32_t number) {
    uint8_t sent[4] = {1, uint8_t(number == 0 ? 2 : 0), 0xFF, 0xFF};
    Reply reply;
    const bool ok = audioRequest(Req_SetMixerMode, reply, sent, sizeof sent);
    syslog(LOG_NOTICE, "SetMixerMode %d\n", int(number));
    return ok;
}
