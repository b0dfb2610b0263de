// The device object: construction, the kernel connection and its requests,
// latencies and safety offsets, host notices. IO is QnASPlugInDevice_IO.cpp.
#include "abi/DeviceFamilies.h"
#include "plugins/server/QnASPlugInDevice.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "platform/base/HXLog.h"
#include "platform/cf/CFBundle.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "plugins/server/QnAudioServerProbes.h"

namespace {
constexpr UInt32 fcc(const char (&c)[5]) {
    return hx::coreaudio::fourCC(c);
}
constexpr UInt32 kDriverAreaType = 1, kInputRingType = 4, kOutputRingType = 5;
constexpr UInt32 kSelOpen = 0, kSelClose = 1, kSelUserClassID = 7;
constexpr size_t kWordConfiguredAt = 24; // the driver area's word read for the added 3 ms
} // namespace

QnASPlugInDevice::QnASPlugInDevice(AudioObjectID inObjectID, io_object_t inService)
    : QnASPlugInObject(inObjectID, fcc("adev"), fcc("aobj"), 1),
      QnIORegistryPrefs(false, inService, qnIOKitRegistryAccess()), QnStoragePrefs(),
      mIOKitObject(inService), mDeviceInfo(std::make_unique<APIDeviceInfo>()),
      mLogic(*this, *mDeviceInfo) {
    if (inService) IOObjectRetain(inService); // the IOKit object holds its own reference
    std::memset(mDeviceInfo.get(), 0, sizeof(APIDeviceInfo));
    mDeviceUID = HW_CopyDeviceUID(inService);
    mInputStreamID = QnASPlugInObjectMap::GetNextObjectID();
    mOutputStreamID = QnASPlugInObjectMap::GetNextObjectID();
    mSubObjectIDs[0] = mInputStreamID;
    mSubObjectIDs[1] = mOutputStreamID;
    // input volume, output volume, input data source, output data source,
    // input mute, output mute
    for (int i = 2; i < 8; ++i)
        mSubObjectIDs[i] = QnASPlugInObjectMap::GetNextObjectID();
    mVolumeCurve.AddRange(0, 96, -96.0f, 0.0f);
    mStaging.assign(size_t(kMaxIOFrames) * kMaxIOChannels, 0);
}

QnASPlugInDevice::~QnASPlugInDevice() {
    _HW_Close();
    if (mDeviceUID) CFRelease(mDeviceUID);
}

void QnASPlugInDevice::onPropertyChanged(PropertyItem*) {
    std::printf("QnASPlugInDevice::onPropertyChanged unhandled property change");
}

// ---- Kernel requests and shared memory

CFStringRef QnASPlugInDevice::HW_CopyDeviceUID(io_object_t inService) {
    CFStringRef uid = nullptr;
    if (!QnASPlugInIOKitObject::CopyProperty_CFString(inService, CFSTR("deviceUID"), uid))
        return nullptr;
    return uid;
}

Float32 QnASPlugInDevice::volFromUInt(UInt32 inValue) {
    if (inValue == 0) return 0.0f;
    if (inValue == 0xFFFFFFFF) return 1.0f;
    return Float32(double(inValue) / 4294967296.0);
}

bool QnASPlugInDevice::callDriver(UInt32 inRequest) {
    return request(
        inRequest, [](OSXDispatch&) {}, [](const OSXDispatch&, bool) {});
}

bool QnASPlugInDevice::hostRequest(uint32_t inRequest, const void* inPayload, uint32_t inBytes) {
    const uint32_t n =
        inBytes < sizeof(OSXDispatch::payload) ? inBytes : sizeof(OSXDispatch::payload);
    return request(
        inRequest,
        [&](OSXDispatch& r) {
            if (inPayload) std::memcpy(r.payload, inPayload, n);
        },
        [](const OSXDispatch&, bool) {});
}

bool QnASPlugInDevice::hostCall(uint32_t inRequest, void* ioPayload, uint32_t inBytes) {
    const uint32_t n =
        inBytes < sizeof(OSXDispatch::payload) ? inBytes : sizeof(OSXDispatch::payload);
    return request(
        inRequest,
        [&](OSXDispatch& r) {
            if (ioPayload) std::memcpy(r.payload, ioPayload, n);
        },
        [&](const OSXDispatch& r, bool ok) {
            if (ok && ioPayload) std::memcpy(ioPayload, r.payload, n);
        });
}

CFDictionaryRef QnASPlugInDevice::hostCopyServiceProperties() {
    return mIOKitObject.CopyProperties();
}

void* QnASPlugInDevice::mapSharedMemory(UInt32 inType, UInt32& ioSize) {
    return mIOKitObject.MapMemory(inType, 0, ioSize);
}

void QnASPlugInDevice::_HW_UnMapMemory(void* inAddress, UInt32 inType) {
    mIOKitObject.ReleaseMemory(inAddress, inType);
}

void QnASPlugInDevice::unmapSharedMemory() {
    CAMutexLocker io(mIOMutex);
    unmapRingsLocked();
}

UInt64 QnASPlugInDevice::_HW_GetUserClassID() {
    UInt64 id = 0;
    UInt32 count = 1;
    if (mIOKitObject.CallMethod(kSelUserClassID, nullptr, 0, nullptr, 0, &id, &count, nullptr,
                                nullptr) != 0)
        return 0;
    return id;
}

UInt32 QnASPlugInDevice::_HW_GetSampleRate() {
    mCachedRate = mLogic.currentSettings().Frequency;
    return mCachedRate;
}

bool QnASPlugInDevice::_HW_StreamingStarted() {
    UInt32 word = 0;
    const bool ok = request(
        42, [](OSXDispatch&) {},
        [&](const OSXDispatch& r, bool) { std::memcpy(&word, r.payload, 4); });
    return ok && word != 0;
}

bool QnASPlugInDevice::mapRingsLocked() {
    UInt32 size = kRingBytes;
    if (!mInputRing.load()) {
        auto* in = static_cast<AudioSM*>(mapSharedMemory(kInputRingType, size));
        if (!in) {
            syslog(LOG_ERR, "Could not get the input shared memory.\n");
            return false;
        }
        mInputRing = in;
    }
    if (!mOutputRing.load()) {
        size = kRingBytes;
        auto* out = static_cast<AudioSM*>(mapSharedMemory(kOutputRingType, size));
        if (!out) {
            syslog(LOG_ERR, "Could not get the output shared memory.\n");
            return false;
        }
        mOutputRing = out;
    }
    mRingFrames = UInt32(mInputRing.load()->geometry().maxFrames);
    return true;
}

void QnASPlugInDevice::unmapRingsLocked() {
    if (AudioSM* in = mInputRing.exchange(nullptr)) _HW_UnMapMemory(in, kInputRingType);
    if (AudioSM* out = mOutputRing.exchange(nullptr)) _HW_UnMapMemory(out, kOutputRingType);
}

bool QnASPlugInDevice::hostMapRings() {
    CAMutexLocker io(mIOMutex);
    return mapRingsLocked();
}

void QnASPlugInDevice::hostUnmapRings() {
    unmapSharedMemory();
}

// ---- Connection

namespace {
// Map order: input stream, output stream, input volume, output volume,
// input mute, output mute, input data source, output data source (the IDs
// were taken with the data sources before the mutes).
constexpr int kMapOrder[8] = {0, 1, 2, 3, 6, 7, 4, 5};
} // namespace

void QnASPlugInDevice::mapSubObjects() {
    for (int i : kMapOrder)
        QnASPlugInObjectMap::MapObject(mSubObjectIDs[i], this);
}

void QnASPlugInDevice::unmapSubObjects() {
    for (int i : kMapOrder)
        QnASPlugInObjectMap::UnmapObject(mSubObjectIDs[i], this);
}

bool QnASPlugInDevice::openConnectionAndArea() {
    CAMutexLocker io(mIOMutex);
    CAMutexLocker attach(mAttachMutex);
    if (!mIOKitObject.OpenConnection(3)) {
        syslog(LOG_ERR, "QnASPlugInDevice::_HW_Open Could not create user client.\n");
        return false;
    }
    UInt32 size = kDriverAreaBytes;
    auto* area = static_cast<DriverSM*>(mapSharedMemory(kDriverAreaType, size));
    if (!area) {
        syslog(LOG_ERR, "Could not get the driver shared memory.\n");
        return false;
    }
    mDriverArea = area;
    const kern_return_t opened = mIOKitObject.CallMethod(kSelOpen, nullptr, 0, nullptr, 0, nullptr,
                                                         nullptr, nullptr, nullptr);
    if (opened != 0 && UInt32(opened) != 0xE00002C5) {
        syslog(LOG_ERR, "Could not open the device, error=0x%08X.\n", unsigned(opened));
        return false;
    }
    return true;
}

bool QnASPlugInDevice::_HW_Open() {
    if (!openConnectionAndArea()) return false;
    // The driver area's channel settings become the current ones. The
    // logic's mutex is taken outside "Device IO", in the order StartIO
    // takes them (prepareHardware maps the rings under it).
    mLogic.createIOBuffers();
    CAMutexLocker io(mIOMutex);
    CAMutexLocker attach(mAttachMutex);
    if (!mapRingsLocked()) return false;
    _HW_GetSampleRate();
    const pid_t pid = getpid();
    request(
        30, [&](OSXDispatch& r) { std::memcpy(r.payload, &pid, sizeof pid); },
        [](const OSXDispatch&, bool) {});
    request(
        27, [](OSXDispatch&) {},
        [&](const OSXDispatch& r, bool ok) {
            if (ok) std::memcpy(&mClientObject, r.payload, sizeof mClientObject);
        });
    return true;
}

void QnASPlugInDevice::_HW_Close() {
    CAMutexLocker io(mIOMutex);
    CAMutexLocker attach(mAttachMutex);
    mIOState = 0;
    if (DriverSM* area = mDriverArea.exchange(nullptr)) _HW_UnMapMemory(area, kDriverAreaType);
    unmapRingsLocked();
    if (mIOKitObject.IsConnectionOpen()) {
        mIOKitObject.CallMethod(kSelClose, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr,
                                nullptr);
        mIOKitObject.CloseConnection();
    }
    mClientObject = 0;
}

// ---- Host notices

void QnASPlugInDevice::notify(AudioObjectPropertySelector inSelector,
                              AudioObjectPropertyScope inScope) {
    AudioServerPlugInHostRef host = QnASPlugInPlugIn::sHost.load();
    if (!mObjectID || !host) return;
    const AudioObjectPropertyAddress address{inSelector, inScope,
                                             kAudioObjectPropertyElementMaster};
    host->PropertiesChanged(host, mObjectID, 1, &address);
}

void QnASPlugInDevice::notifyObject(AudioObjectID inObject,
                                    AudioObjectPropertySelector inSelector) {
    AudioServerPlugInHostRef host = QnASPlugInPlugIn::sHost.load();
    if (!mObjectID || !host) return;
    const AudioObjectPropertyAddress address{inSelector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMaster};
    host->PropertiesChanged(host, inObject, 1, &address);
}

void QnASPlugInDevice::QnLibPropertyNotify(AudioObjectPropertySelector inSelector) {
    notify(inSelector, kAudioObjectPropertyScopeGlobal);
}

// ---- Latencies and safety offsets

UInt32 QnASPlugInDevice::rate() const {
    const UInt32 r = mLogic.currentSettings().Frequency;
    return r ? r : 44100;
}

void QnASPlugInDevice::setAddedValues(SInt32 inWriteAhead, SInt32 inInOffset, SInt32 inOutOffset) {
    mAddWriteAhead = inWriteAhead;
    mAddedInSafetyOffset = inInOffset;
    mAddedOutSafetyOffset = inOutOffset;
}

void QnASPlugInDevice::setDebugOverride(UInt32 inSelector, UInt32 inValue) {
    switch (inSelector) {
    case fcc("DbSI"):
        mDbSI = inValue;
        break;
    case fcc("DbSO"):
        mDbSO = inValue;
        break;
    case fcc("DbLI"):
        mDbLI = inValue;
        break;
    case fcc("DbLO"):
        mDbLO = inValue;
        break;
    case fcc("DbWA"):
        mDbWA = inValue;
        break;
    default:
        break;
    }
}

void QnASPlugInDevice::computeLatencies(UInt32& outIn, UInt32& outOut) {
    const UInt32 r = rate();
    const double kr = double(r) / 1000.0;
    auto frames = [&](double ms) { return UInt32(std::trunc(ms * double(r) / 1000.0)); };
    double outMs = 10.0, inMs = 5.6;
    if (r == 32000)
        outMs = 9.0, inMs = 4.8;
    else if (r == 44100)
        outMs = 8.5, inMs = 4.8;
    else if (r == 48000)
        outMs = 4.5, inMs = 5.6;
    if (mLogic.isMerrowCompatible())
        inMs = mLatencyExtraMs + ((r == 32000 || r == 44100 || r == 48000) ? 3.0 : 3.5);
    else
        inMs += mLatencyExtraMs;
    const bool usb2 = mLogic.isUSB2Device();
    if (mLogic.isQuarnelBulkDevice(usb2)) {
        outOut = UInt32(std::trunc(533.0 - 2.5 * kr));
        outIn = UInt32(std::trunc(12.56 + 2.56 * kr));
    } else {
        outOut = frames(outMs);
        outIn = frames(inMs);
    }
    if (mLogic.isMRW192Compatible()) {
        outOut = UInt32(std::trunc(668.0 - 0.8 * kr));
        outIn = UInt32(std::trunc(1.2 * kr + 135.0));
        if (mLowBufferFW) {
            double cOut = 0, cIn = 0;
            if (r == 44100 || r == 48000)
                cOut = cIn = -2.0;
            else if (r == 88200 || r == 96000)
                cOut = -1.0, cIn = -0.5;
            outOut = UInt32(SInt32(outOut) + SInt32(std::trunc(cOut * kr)));
            outIn = UInt32(SInt32(outIn) + SInt32(std::trunc(cIn * kr)));
        }
    }
    if (mLogic.isQuarnelBulkInIsocOutDevice(usb2)) {
        outOut = UInt32(std::trunc(500 * 1.1 - 2.48 * kr));
        outIn = UInt32(std::trunc(32.0 + 2.34 * kr));
    }
    if (mLogic.isSorvikFarlaneDevice()) outOut = 496, outIn = 448;
    if (mLogic.isMRW30Compatible()) {
        switch (r) {
        case 44100:
            outOut = 500;
            break;
        case 48000:
            outOut = 490;
            break;
        case 88200:
            outOut = 420;
            break;
        case 96000:
            outOut = 400;
            break;
        case 176400:
            outOut = 390;
            break;
        case 192000:
            outOut = 350;
            break;
        default:
            outOut = 550;
            break;
        }
    }
}

void QnASPlugInDevice::updateLatencies() {
    mWriteAheadBase = 500;
    UInt32 in = 0, out = 0;
    computeLatencies(in, out);
    if (mDbLI != kNotSet) in = mDbLI;
    if (mDbLO != kNotSet) out = mDbLO;
    if (mDbWA != kNotSet) mWriteAheadBase = mDbWA;
    if (QNAUDIOSERVER_LATENCYMONITOR_ENABLED()) QNAUDIOSERVER_LATENCYMONITOR(in, out);
    const bool inChanged = mInputLatency.set(in, false);
    const bool outChanged = mOutputLatency.set(out, false);
    if (inChanged || outChanged) QnLibPropertyNotify(fcc("ltnc"));
}

void QnASPlugInDevice::updateSafetyOffsets() {
    const UInt32 r = rate();
    const UInt16 vendor = mDeviceInfo->mVendor, product = mDeviceInfo->mProduct;
    UInt32 baseMs = mLogic.isSorvikFarlane1() ? 3 : 4;
    if (DeviceFamilies::contains(DeviceFamilies::kFiveMsLatency, vendor, product)) baseMs = 5;
    DriverSM* area = mDriverArea.load();
    UInt32 word = 0;
    if (area) word = audiosm::load32(reinterpret_cast<const char*>(area) + kWordConfiguredAt);
    if (!area || word == 0) baseMs += 3;
    UInt32 in = baseMs * r / 1000;
    if (mLogic.isMerrowCompatible()) in = UInt32(std::trunc(2.7 * double(r) / 1000.0));
    const bool usb2 = mLogic.isUSB2Device();
    if (mLogic.isQuarnelBulkInIsocOutDevice(usb2)) in = r * 15 / 10000;
    if (mLogic.isQuarnelBulkDevice(usb2))
        in = UInt32(std::trunc(1.55 * double(r) / 1000.0 + 10.75));
    if (mLogic.isMRW192Compatible()) in = r * 420 / 100000 + 8;
    if (DeviceFamilies::contains(DeviceFamilies::kSixtyExtraFrames, vendor, product)) in += 60;
    UInt32 out = r / 1000;
    if (mDbSI != kNotSet) in = mDbSI;
    if (mDbSO != kNotSet) out = mDbSO;
    const bool changed = in != mInputSafetyOffset || out != mOutputSafetyOffset;
    mInputSafetyOffset = in;
    mOutputSafetyOffset = out;
    if (changed) QnLibPropertyNotify(fcc("saft"));
}

UInt32 QnASPlugInDevice::getLatency(bool inIsInput) {
    updateLatencies();
    return inIsInput ? mInputLatency.getUInt32() : mOutputLatency.getUInt32();
}

UInt32 QnASPlugInDevice::getSafetyOffset(bool inIsInput) {
    updateSafetyOffsets();
    return inIsInput ? UInt32(mAddedInSafetyOffset + SInt32(mInputSafetyOffset))
                     : UInt32(mAddedOutSafetyOffset + SInt32(mOutputSafetyOffset));
}

namespace {
constexpr const char* kLoadPlist = "void QnASPlugInDevice::loadPlistValues()";

// An Info.plist string value as an integer; false when absent.
bool plistInt(CFBundleRef bundle, const char* key, SInt32& out) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = CFBundleGetValueForInfoDictionaryKey(bundle, k);
    CFRelease(k);
    if (!v || CFGetTypeID(v) != CFStringGetTypeID()) return false;
    out = SInt32(CFStringGetIntValue(CFStringRef(v)));
    return true;
}
} // namespace

void QnASPlugInDevice::loadPlistValues() {
    setAddedValues(0, 0, 0);
    const bool first = mLogic.isSorvikFarlane1();
    if (!first && !mLogic.isSorvikFarlane2()) return;
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(CFSTR("se.sorvik.farlane.coreaudio"));
    if (!bundle) {
        hx::log::format("%s no bundle found\n", kLoadPlist);
        return;
    }
    if (plistInt(bundle, first ? "AddWriteAhead1" : "AddWriteAhead", mAddWriteAhead))
        hx::log::format("%s mAddWriteAhead:%d\n", kLoadPlist, int(mAddWriteAhead));
    else
        hx::log::format("%s mAddWriteAhead not found\n", kLoadPlist);
    plistInt(bundle, first ? "AddInSafetyOffset1" : "AddInSafetyOffset", mAddedInSafetyOffset);
    plistInt(bundle, first ? "AddOutSafetyOffset1" : "AddOutSafetyOffset", mAddedOutSafetyOffset);
}
