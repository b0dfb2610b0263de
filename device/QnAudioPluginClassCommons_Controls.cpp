// Data sources, mute, volume and monitoring. The kernel describes a
// direction's USB audio controls in the driver area's control blocks; a
// change edits the block after copying the pair to the previous-state copy,
// and one request has the kernel apply the difference. Every client can
// write the driver area, so counts and names read from it are bounded here.
#include "device/QnAudioPluginClassCommons.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "abi/DeviceFamilies.h"
#include "device/QnAudioPluginClassCommons_Requests.h"

using namespace qnrequests;

namespace {

constexpr int kMaxRecords = 8;
constexpr uint8_t kTrunkSyncDigital = 2;

CFStringRef makeString(const char* text, size_t length) {
    return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(text), CFIndex(length),
                                   kCFStringEncodingASCII, false);
}

CFStringRef makeString(const char* text) {
    return makeString(text, std::strlen(text));
}

// The record a selector byte picks: exactly one of bits 1..7, else record 0.
int recordForSelector(uint8_t selector) {
    for (int n = 1; n < kMaxRecords; ++n)
        if (selector == (1u << n)) return n;
    return 0;
}

int32_t volumeChannelCount(const XsEndpoint& e) {
    return std::clamp<int32_t>(e.mChannels, -1, kMaxRecords);
}

} // namespace

// ---- Block access

XsControlGroup* QnAudioPluginClassCommons::controlGroup(bool isInput) {
    DriverSM* sm = mHost.hostDriverSM();
    if (!sm) return nullptr;
    return isInput ? &sm->mControls.cIn : &sm->mControls.cOut;
}

int32_t QnAudioPluginClassCommons::recordCount(const XsControlGroup& group) const {
    return std::clamp<int32_t>(int32_t(group.mCount), 0, kMaxRecords);
}

XsEndpoint* QnAudioPluginClassCommons::getControlsEndpoint(bool isInput) {
    XsControlGroup* group = controlGroup(isInput);
    if (!group || recordCount(*group) <= 0) return nullptr;
    if (group->mMode == 1) return &group->mEndpoints[0];
    return &group->mEndpoints[recordForSelector(group->iSelector)];
}

bool QnAudioPluginClassCommons::directionHasChannels(bool isInput) const {
    return (isInput ? mCurrent.InChannels : mCurrent.OutChannels) != 0;
}

void QnAudioPluginClassCommons::savePreviousControls() {
    DriverSM* sm = mHost.hostDriverSM();
    if (sm) std::memcpy(&sm->mSavedControls, &sm->mControls, sizeof sm->mControls);
}

bool QnAudioPluginClassCommons::isTrunk() const {
    return DeviceFamilies::contains(DeviceFamilies::kTrunk, vendor(), product());
}

bool QnAudioPluginClassCommons::isMonitorModeProduct() const {
    const DeviceFamilyMember& m = DeviceFamilies::kMonoAtHighRate[0];
    return vendor() == m.vendor && product() == m.product;
}

// ---- Data sources

uint32_t QnAudioPluginClassCommons::getNumDataSources(bool isInput) {
    XsControlGroup* group = controlGroup(isInput);
    if (!group) return 1;
    if (isInput && isOutputOnly()) return 0;
    if (isInput && isTrunk()) return 3;
    const int32_t count = recordCount(*group);
    return count == 0 ? 1 : uint32_t(count);
}

uint32_t QnAudioPluginClassCommons::getDataSourceID(bool isInput) {
    XsControlGroup* group = controlGroup(isInput);
    if (isInput && group && isTrunk()) {
        if (group->iSelector == 2) return 3;
        return mHost.hostDriverSM()->mControls.cSync.mSelection == kTrunkSyncDigital ? 2 : 1;
    }
    if (!group || recordCount(*group) == 0 || group->iSelector == 0) return 1;
    return uint32_t(std::countr_zero(unsigned(group->iSelector))) + 1;
}

IOReturn QnAudioPluginClassCommons::setDataSource(bool isInput, uint32_t id) {
    XsControlGroup* group = controlGroup(isInput);
    if (!group) return kIOReturnNoDevice;
    Reply reply;
    if (isInput && isTrunk()) {
        savePreviousControls();
        group->iSelector = id == 3 ? 2 : 1;
        mHost.hostDriverSM()->mControls.cSync.mSelection = id == 3 || id == 2 ? 2 : 1;
        if (!audioRequest(kReqSetDataSource, reply)) return kIOReturnError;
        mHost.hostConfigureDevice();
        return kIOReturnSuccess;
    }
    // Id 0 would shift by -1: only the ids of existing records are taken.
    if (id < 1 || int64_t(id) > recordCount(*group)) return kIOReturnBadArgument;
    savePreviousControls();
    group->iSelector = uint8_t(1u << (id - 1));
    return audioRequest(kReqSetDataSource, reply) ? kIOReturnSuccess : kIOReturnError;
}

OSStatus QnAudioPluginClassCommons::getDataSourcesName(bool isInput, uint32_t id,
                                                       CFStringRef* name) {
    if (!name) return kIOReturnBadArgument;
    XsControlGroup* group = controlGroup(isInput);
    if (!group) {
        *name = makeString("N/A");
    } else if (isInput && isTrunk()) {
        static const char* const kTrunkNames[] = {"Analog", "Analog - Sync Digital", "SPDIF (RCA)"};
        *name = makeString(id >= 1 && id <= 3 ? kTrunkNames[id - 1] : "Input");
    } else if (id >= 1 && int64_t(id) <= recordCount(*group)) {
        const char* text = group->mEndpoints[id - 1].mName;
        *name = makeString(text, strnlen(text, sizeof group->mEndpoints[0].mName));
    } else {
        *name = makeString(isInput ? "Input" : "Output");
    }
    return kIOReturnSuccess;
}

// ---- Mute

bool QnAudioPluginClassCommons::canMute(bool isInput, uint32_t element) {
    if (!directionHasChannels(isInput)) return false;
    XsEndpoint* e = getControlsEndpoint(isInput);
    return e && e->mMutePresent != 0 && element == 0;
}

int32_t QnAudioPluginClassCommons::getMute(bool isInput, uint32_t element) {
    if (!canMute(isInput, element)) return -1;
    return getControlsEndpoint(isInput)->mMute;
}

bool QnAudioPluginClassCommons::setMute(bool isInput, uint32_t element, uint32_t value) {
    if (!canMute(isInput, element)) return false;
    XsEndpoint* e = getControlsEndpoint(isInput);
    if (uint8_t(value) != e->mMute) {
        savePreviousControls();
        e->mMute = uint8_t(value);
        Reply reply;
        audioRequest(kReqSetMute, reply);
    }
    return true;
}

// ---- Volume

bool QnAudioPluginClassCommons::canVolume(bool isInput, uint32_t element) {
    if (!directionHasChannels(isInput)) return false;
    XsEndpoint* e = getControlsEndpoint(isInput);
    if (!e || e->mVolumePresent == 0) return false;
    const int32_t count = volumeChannelCount(*e);
    if (count == -1) return element == 0;
    return element >= 1 && int64_t(element) <= count;
}

XsVolumeTriplet* QnAudioPluginClassCommons::volumeEntry(bool isInput, uint32_t element) {
    if (!canVolume(isInput, element)) return nullptr;
    return &getControlsEndpoint(isInput)->mVolumes[element == 0 ? 0 : element - 1];
}

bool QnAudioPluginClassCommons::getVolumeDB(bool isInput, uint32_t element, float* dB) {
    XsVolumeTriplet* v = volumeEntry(isInput, element);
    if (!v || !dB) return false;
    *dB = float(v->mCur) / 256.0f;
    return true;
}

bool QnAudioPluginClassCommons::getVolumeScalar(bool isInput, uint32_t element, float* scalar) {
    XsVolumeTriplet* v = volumeEntry(isInput, element);
    if (!v || !scalar) return false;
    // An empty range (maximum at or below the minimum) reads as 0.
    *scalar = v->mMax > v->mMin ? float(v->mCur - v->mMin) / float(v->mMax - v->mMin) : 0.0f;
    return true;
}

bool QnAudioPluginClassCommons::setVolumeScalar(bool isInput, uint32_t element, float scalar) {
    XsVolumeTriplet* v = volumeEntry(isInput, element);
    if (!v || v->mMax <= v->mMin) return false;
    if (std::isnan(scalar)) scalar = 0.0f;
    scalar = std::clamp(scalar, 0.0f, 1.0f);
    const int32_t span = int32_t(v->mMax) - v->mMin;
    const int32_t value =
        std::clamp<int32_t>(v->mMin + int32_t(double(span) * scalar), v->mMin, v->mMax);
    if (value != v->mCur) {
        savePreviousControls();
        v->mCur = int16_t(value);
        const uint32_t word = 0;
        Reply reply;
        audioRequest(kReqSetVolume, reply, &word, sizeof word);
    }
    return true;
}

bool QnAudioPluginClassCommons::getVolumeRange(bool isInput, uint32_t element, int16_t* minimum,
                                               int16_t* maximum) {
    XsVolumeTriplet* v = volumeEntry(isInput, element);
    if (!v || !minimum || !maximum) return false;
    *minimum = v->mMin;
    *maximum = v->mMax;
    return true;
}

bool QnAudioPluginClassCommons::setVolumeDB(bool isInput, uint32_t element, float) {
    return canVolume(isInput, element);
}

// ---- Monitoring

bool QnAudioPluginClassCommons::canMonitor(bool isInput, uint32_t element) {
    if (!isInput) return false;
    Reply reply;
    if (!audioRequest(kReqCanMonitor, reply)) return false;
    if (isMonitorModeProduct()) {
        const uint32_t mode = mCurrent.InChannels;
        if (mode == 4) return element >= 1 && element <= 4;
        return (mode == 2 || mode == 1) && element == 0;
    }
    return reply.word(0) != 0 && element == 0;
}

OSStatus QnAudioPluginClassCommons::getMonitor(bool isInput, uint32_t element, uint32_t* value) {
    if (!value || !canMonitor(isInput, element)) return kIOReturnError;
    *value = 0;
    Reply reply;
    if (!audioRequest(kReqGetMonitor, reply)) return kIOReturnSuccess;
    if (!isMonitorModeProduct()) {
        *value = element == 0 && reply.word(0) != 0;
        return kIOReturnSuccess;
    }
    const uint32_t mode = mCurrent.InChannels;
    uint32_t code = reply.word(0);
    uint32_t corrected = code;
    if (mode == 0)
        corrected = 0;
    else if (mode == 2 && code != 12)
        corrected = code == 1 ? 12 : 0;
    else if (mode == 1 && code != 1)
        corrected = code == 12 ? 1 : 0;
    else if (mode == 4 && code != 12 && code != 34)
        corrected = 12;
    if (corrected != code) {
        Reply set;
        audioRequest(kReqSetMonitor, set, &corrected, sizeof corrected);
        Reply again;
        code = audioRequest(kReqGetMonitor, again) ? again.word(0) : 0;
    }
    const bool on = (code == 1 && element == 0) || (code == 12 && mode == 2 && element == 0) ||
                    (code == 12 && mode == 4 && (element == 1 || element == 2)) ||
                    (code == 34 && mode == 4 && (element == 3 || element == 4));
    *value = on;
    return kIOReturnSuccess;
}

bool QnAudioPluginClassCommons::setMonitor(bool isInput, uint32_t element, bool on) {
    if (!canMonitor(isInput, element)) return false;
    uint32_t code = 0;
    if (isMonitorModeProduct()) {
        const uint32_t mode = mCurrent.InChannels;
        if (on && element == 0 && mode == 2) code = 12;
        if (on && element == 0 && mode == 1) code = 1;
        if (on && mode == 4) code = element <= 2 ? 12 : 34;
    } else if (on) {
        code = 1;
    }
    Reply reply;
    return audioRequest(kReqSetMonitor, reply, &code, sizeof code);
}

// ---- The volume curve

float volumeFloatToDB(float x) {
    if (x == 1.0f) return 0.0f;
    if (x == 0.0f) return -72.0f;
    return -std::min(6.0f * std::log2(1.0f / x), 72.0f);
}

float volumeFloatToScalar(float x) {
    return 1.0f + volumeFloatToDB(x) / 72.0f;
}

float volumeScalarToDB(float s) {
    if (s == 1.0f) return 0.0f;
    return (s - 1.0f) * 72.0f;
}

float volumeScalarToFloat(float s) {
    const float d = volumeScalarToDB(s);
    if (d / 6.0f <= -12.0f) return 0.0f;
    return std::pow(2.0f, d / 6.0f);
}

// ---- Requests: a zeroed payload, filled, sent and read back in place.

bool QnAudioPluginClassCommons::audioRequest(uint32_t req, Reply& reply, const void* sent,
                                             uint32_t bytes) {
    std::memset(reply.payload, 0, sizeof reply.payload);
    if (sent) std::memcpy(reply.payload, sent, std::min<uint32_t>(bytes, sizeof reply.payload));
    return mHost.hostCall(req, reply.payload, sizeof reply.payload);
}

bool QnAudioPluginClassCommons::dispatch(uint32_t code, Reply& reply, const void* sent,
                                         uint32_t bytes) {
    std::memset(reply.payload, 0, sizeof reply.payload);
    std::memcpy(reply.payload, &code, sizeof code);
    if (sent)
        std::memcpy(reply.payload + 4, sent, std::min<uint32_t>(bytes, sizeof reply.payload - 4));
    return mHost.hostCall(kReqDispatch, reply.payload, sizeof reply.payload);
}
