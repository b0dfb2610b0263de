#include "tests/platform/coreaudio/ScriptedServerPlugIn.h"

#include <cmath>
#include <cstring>

#include "platform/base/HXClock.h"
#include "platform/cf/CoreFoundation.h"

namespace hx::coreaudio::test {

namespace {

using P = ScriptedServerPlugIn;

template <class T> OSStatus put(const T& value, UInt32 size, UInt32* outSize, void* out) {
    if (size < sizeof(T)) return kAudioHardwareBadPropertySizeError;
    std::memcpy(out, &value, sizeof(T));
    *outSize = sizeof(T);
    return 0;
}

UInt32 sizeOf(P& p, AudioObjectID object, const AudioObjectPropertyAddress* a) {
    switch (a->mSelector) {
    case kAudioPlugInPropertyDeviceList:
        return p.listDevice ? 4 : 0;
    case kAudioDevicePropertyStreams:
        return 4;
    case kAudioDevicePropertyDeviceUID:
        return sizeof(CFStringRef);
    case kAudioDevicePropertyNominalSampleRate:
        return 8;
    case kAudioStreamPropertyPhysicalFormat:
        return sizeof(AudioStreamBasicDescription);
    default:
        return object ? 4 : 0;
    }
}

HRESULT queryInterface(void* driver, REFIID uuid, LPVOID* out) {
    P* p = P::from(driver);
    p->record("QueryInterface");
    if (!(uuid == uuidBytes(kAudioServerPlugInDriverInterfaceUUIDText))) return E_NOINTERFACE;
    p->mRefCount++;
    *out = driver;
    return 0;
}

ULONG addRef(void* driver) {
    return ++P::from(driver)->mRefCount;
}

ULONG release(void* driver) {
    P* p = P::from(driver);
    p->record("Release");
    return --p->mRefCount;
}

OSStatus initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    P* p = P::from(driver);
    p->record("Initialize");
    p->mHost = host;
    return 0;
}

OSStatus createDevice(AudioServerPlugInDriverRef, CFDictionaryRef,
                      const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus destroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus addClient(AudioServerPlugInDriverRef driver, AudioObjectID,
                   const AudioServerPlugInClientInfo* info) {
    P::from(driver)->record("AddDeviceClient " + std::to_string(info->mClientID));
    return 0;
}

OSStatus removeClient(AudioServerPlugInDriverRef driver, AudioObjectID,
                      const AudioServerPlugInClientInfo* info) {
    P::from(driver)->record("RemoveDeviceClient " + std::to_string(info->mClientID));
    return 0;
}

OSStatus perform(AudioServerPlugInDriverRef driver, AudioObjectID, UInt64 action, void* info) {
    P* p = P::from(driver);
    p->record("Perform " + std::to_string(action));
    p->mChangeInfo = info;
    return 0;
}

OSStatus abortChange(AudioServerPlugInDriverRef driver, AudioObjectID, UInt64 action, void*) {
    P::from(driver)->record("Abort " + std::to_string(action));
    return 0;
}

Boolean hasProperty(AudioServerPlugInDriverRef, AudioObjectID, pid_t,
                    const AudioObjectPropertyAddress*) {
    return true;
}

OSStatus isSettable(AudioServerPlugInDriverRef, AudioObjectID, pid_t,
                    const AudioObjectPropertyAddress*, Boolean* out) {
    *out = false;
    return 0;
}

OSStatus getSize(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32, const void*, UInt32* out) {
    *out = sizeOf(*P::from(driver), object, a);
    return 0;
}

OSStatus getData(AudioServerPlugInDriverRef driver, AudioObjectID object, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32, const void*, UInt32 size,
                 UInt32* outSize, void* out) {
    P* p = P::from(driver);
    const bool input = a->mScope == kAudioDevicePropertyScopeInput;
    switch (a->mSelector) {
    case kAudioPlugInPropertyDeviceList:
        if (!p->listDevice) {
            *outSize = 0;
            return 0;
        }
        return put(P::kDevice, size, outSize, out);
    case kAudioDevicePropertyDeviceUID:
        p->record("read uid");
        return put(CFStringCreateWithCString(nullptr, "HX5100-SCRIPTED", kCFStringEncodingUTF8),
                   size, outSize, out);
    case kAudioDevicePropertyNominalSampleRate:
        return put(p->sampleRate, size, outSize, out);
    case kAudioDevicePropertyZeroTimeStampPeriod:
        return put(p->ringPeriod, size, outSize, out);
    case kAudioDevicePropertyStreams:
        return put(input ? P::kInputStream : P::kOutputStream, size, outSize, out);
    case kAudioDevicePropertySafetyOffset:
        return put(p->safetyOffset[input ? 0 : 1], size, outSize, out);
    case kAudioDevicePropertyLatency:
        return put(p->latency[input ? 0 : 1], size, outSize, out);
    case kAudioStreamPropertyPhysicalFormat: {
        AudioStreamBasicDescription f{};
        f.mSampleRate = p->sampleRate;
        f.mFormatID = kAudioFormatLinearPCM;
        f.mFormatFlags = kAudioFormatFlagIsSignedInteger;
        f.mBytesPerPacket = p->bytesPerFrame;
        f.mFramesPerPacket = 1;
        f.mBytesPerFrame = p->bytesPerFrame;
        f.mChannelsPerFrame = p->channels;
        f.mBitsPerChannel = p->channels ? 8 * p->bytesPerFrame / p->channels : 0;
        return put(f, size, outSize, out);
    }
    default:
        (void)object;
        return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus setData(AudioServerPlugInDriverRef, AudioObjectID, pid_t,
                 const AudioObjectPropertyAddress*, UInt32, const void*, UInt32, const void*) {
    return kAudioHardwareUnsupportedOperationError;
}

OSStatus startIO(AudioServerPlugInDriverRef driver, AudioObjectID, UInt32) {
    P* p = P::from(driver);
    p->record("StartIO");
    if (p->mStarts++ == 0) p->mAnchorHost = mach_absolute_time();
    return 0;
}

OSStatus stopIO(AudioServerPlugInDriverRef driver, AudioObjectID, UInt32) {
    P* p = P::from(driver);
    p->record("StopIO");
    p->mStarts--;
    return 0;
}

// Stamps every ring period from the first start, on the platform clock.
OSStatus zeroTimeStamp(AudioServerPlugInDriverRef driver, AudioObjectID, UInt32, Float64* sample,
                       UInt64* host, UInt64* seed) {
    P* p = P::from(driver);
    const int call = p->mStampCalls++;
    const Float64 ticksPerFrame = 1e9 / p->sampleRate;
    const Float64 elapsed = Float64(mach_absolute_time() - p->mAnchorHost) / ticksPerFrame;
    Float64 s = std::floor(elapsed / p->ringPeriod) * p->ringPeriod;
    if (call == p->stampOffsetOnCall) s += p->ringPeriod / 2.0;
    if (call == p->stampBackOnCall) s -= p->ringPeriod;
    *sample = s;
    *host = p->mAnchorHost + UInt64(std::llround(s * ticksPerFrame));
    *seed = 1;
    return 0;
}

OSStatus willDo(AudioServerPlugInDriverRef driver, AudioObjectID, UInt32, UInt32 op,
                Boolean* willDo, Boolean* inPlace) {
    P::from(driver)->record(op == kAudioServerPlugInIOOperationReadInput ? "WillDo read"
                                                                         : "WillDo rite");
    *willDo =
        op == kAudioServerPlugInIOOperationReadInput || op == kAudioServerPlugInIOOperationWriteMix;
    *inPlace = true;
    return 0;
}

OSStatus beginIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
                 const AudioServerPlugInIOCycleInfo*) {
    return 0;
}

OSStatus doIO(AudioServerPlugInDriverRef driver, AudioObjectID, AudioObjectID, UInt32, UInt32 op,
              UInt32 frames, const AudioServerPlugInIOCycleInfo* cycle, void* main, void*) {
    P* p = P::from(driver);
    const UInt32 bytes = frames * p->bytesPerFrame;
    {
        std::lock_guard<std::mutex> lock(p->mMutex);
        p->mCalls.push_back(op == kAudioServerPlugInIOOperationReadInput ? "Do read" : "Do rite");
        p->mDoBytes.push_back(bytes);
        if (op == kAudioServerPlugInIOOperationReadInput)
            p->mInputTimes.push_back(cycle->mInputTime.mSampleTime);
        else
            p->mOutputTimes.push_back(cycle->mOutputTime.mSampleTime);
    }
    if (op == kAudioServerPlugInIOOperationReadInput) {
        std::memset(main, 0x3C, bytes);
        return 0;
    }
    const int n = p->mCycle++;
    const bool past = n == p->writePastOnCycle;
    std::memset(main, 0x5A, bytes + (past ? 1 : 0));
    if (n == p->sleepOnCycle) hx::clock::sleepFor(UInt64(3.5 * frames * 1e9 / p->sampleRate));
    return 0;
}

OSStatus endIO(AudioServerPlugInDriverRef, AudioObjectID, UInt32, UInt32, UInt32,
               const AudioServerPlugInIOCycleInfo*) {
    return 0;
}

} // namespace

ScriptedServerPlugIn::ScriptedServerPlugIn()
    : mInterfacePtr(&mInterface), mInterface{
                                      nullptr,       &queryInterface, &addRef,        &release,
                                      &initialize,   &createDevice,   &destroyDevice, &addClient,
                                      &removeClient, &perform,        &abortChange,   &hasProperty,
                                      &isSettable,   &getSize,        &getData,       &setData,
                                      &startIO,      &stopIO,         &zeroTimeStamp, &willDo,
                                      &beginIO,      &doIO,           &endIO} {}

ScriptedServerPlugIn* ScriptedServerPlugIn::from(void* driver) {
    return reinterpret_cast<ScriptedServerPlugIn*>(driver);
}

void ScriptedServerPlugIn::record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mMutex);
    mCalls.push_back(call);
}

std::vector<std::string> ScriptedServerPlugIn::calls() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCalls;
}

std::vector<Float64> ScriptedServerPlugIn::outputTimes() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mOutputTimes;
}

std::vector<Float64> ScriptedServerPlugIn::inputTimes() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mInputTimes;
}

std::vector<UInt32> ScriptedServerPlugIn::doBytes() const {
    std::lock_guard<std::mutex> lock(mMutex);
    return mDoBytes;
}

} // namespace hx::coreaudio::test
