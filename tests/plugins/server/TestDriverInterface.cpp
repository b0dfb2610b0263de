// The test-only driver interface. See TestDriverInterface.h.
#include "tests/plugins/server/TestDriverInterface.h"

#include <atomic>
#include <cstring>
#include <string>
#include <syslog.h>

#include "platform/base/HXLog.h"
#include "platform/cf/CoreFoundation.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDriver.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"

namespace hx::test {

namespace {

using hx::coreaudio::fourCC;

constexpr OSStatus kBadObject = OSStatus(0x216F626A), kNope = OSStatus(0x6E6F7065);
constexpr OSStatus kStop = OSStatus(0x73746F70), kWho = OSStatus(0x77686F3F);
constexpr OSStatus kWhat = OSStatus(0x77686174), kBadSize = OSStatus(0x2173697A);

std::atomic<UInt32> gRefCount{1};
extern AudioServerPlugInDriverInterface gInterface;
AudioServerPlugInDriverInterface* gInterfacePtr = &gInterface;

AudioServerPlugInDriverRef self() {
    return &gInterfacePtr;
}

// The entry frame: driver check, lookup (one reference), the call, release,
// and whatever was thrown as the status.
template <typename F> OSStatus frame(void* driver, AudioObjectID id, F call) {
    if (driver != self()) return kBadObject;
    QnASPlugInObject* object = QnASPlugInObjectMap::CopyObjectByObjectID(id);
    if (!object) return kBadObject;
    OSStatus status = 0;
    try {
        status = call(*object);
    } catch (const CAException& e) {
        status = e.GetError();
    } catch (...) {
        status = kWhat;
    }
    QnASPlugInObjectMap::ReleaseObject(object);
    return status;
}

QnASPlugInDevice& deviceOf(QnASPlugInObject& object) {
    auto* device = dynamic_cast<QnASPlugInDevice*>(&object);
    if (!device) throw CAException(kBadObject);
    return *device;
}

OSStatus logged(OSStatus status, const char* format) {
    if (status != 0) syslog(LOG_ERR, format, unsigned(status));
    return status;
}

// ---- Properties the host's enumeration reads

bool isInputScope(const AudioObjectPropertyAddress* a) {
    return a->mScope == kAudioDevicePropertyScopeInput;
}

// Fills out (when given) and answers the size; 0 for a property the device
// does not answer here.
UInt32 deviceProperty(QnASPlugInDevice& d, AudioObjectID id, const AudioObjectPropertyAddress* a,
                      void* out) {
    const bool isStream = id == d.streamID(true) || id == d.streamID(false);
    if (isStream) {
        if (a->mSelector != kAudioStreamPropertyPhysicalFormat) return 0;
        const AudioStreamBasicDescription f = d.copyPhysicalFormat(id == d.streamID(true));
        if (f.mChannelsPerFrame == 0) return 0;
        if (out) std::memcpy(out, &f, sizeof f);
        return sizeof f;
    }
    if (id != d.GetObjectID()) return 0;
    switch (a->mSelector) {
    case kAudioDevicePropertyDeviceUID: {
        if (out) {
            std::string uid = "UNKNOWN";
            char text[256] = {};
            if (d.deviceUID() &&
                CFStringGetCString(d.deviceUID(), text, sizeof text, kCFStringEncodingUTF8))
                uid = text;
            uid += "_CA";
            CFStringRef s = CFStringCreateWithCString(nullptr, uid.c_str(), kCFStringEncodingUTF8);
            std::memcpy(out, &s, sizeof s);
        }
        return sizeof(CFStringRef);
    }
    case kAudioDevicePropertyNominalSampleRate: {
        const Float64 rate = d.logic().getFrequency();
        if (out) std::memcpy(out, &rate, sizeof rate);
        return sizeof rate;
    }
    case kAudioDevicePropertyZeroTimeStampPeriod: {
        const UInt32 ring = d.ringFrames();
        if (out) std::memcpy(out, &ring, 4);
        return 4;
    }
    case kAudioDevicePropertyStreams: {
        const AudioObjectID stream = d.streamID(isInputScope(a));
        if (out) std::memcpy(out, &stream, 4);
        return 4;
    }
    case kAudioDevicePropertySafetyOffset:
    case kAudioDevicePropertyLatency: {
        const UInt32 v = a->mSelector == kAudioDevicePropertyLatency
                             ? d.getLatency(isInputScope(a))
                             : d.getSafetyOffset(isInputScope(a));
        if (out) std::memcpy(out, &v, 4);
        return 4;
    }
    default:
        return 0;
    }
}

UInt32 propertySize(QnASPlugInObject& object, AudioObjectID id,
                    const AudioObjectPropertyAddress* a) {
    if (auto* d = dynamic_cast<QnASPlugInDevice*>(&object))
        return deviceProperty(*d, id, a, nullptr);
    if (!object.HasProperty(id, 0, *a)) return 0;
    return object.GetPropertyDataSize(id, 0, *a, 0, nullptr);
}

// ---- Entries

HRESULT queryInterface(void* driver, REFIID uuid, LPVOID* out) {
    if (driver != self()) return HRESULT(kBadObject);
    if (!out) return HRESULT(kNope);
    using hx::coreaudio::uuidBytes;
    if (!(uuid == uuidBytes(kIUnknownUUIDText)) &&
        !(uuid == uuidBytes(kAudioServerPlugInDriverInterfaceUUIDText)))
        return E_NOINTERFACE;
    ++gRefCount;
    *out = self();
    return 0;
}

ULONG addRef(void* driver) {
    return driver == self() ? ++gRefCount : 0;
}

ULONG release(void* driver) {
    return driver == self() ? --gRefCount : 0;
}

OSStatus initialize(AudioServerPlugInDriverRef driver, AudioServerPlugInHostRef host) {
    if (driver != self()) return kBadObject;
    QnASPlugInPlugIn::sHost = host;
    return 0;
}

constexpr OSStatus kUnop = OSStatus(0x756E6F70);

OSStatus createDevice(AudioServerPlugInDriverRef, CFDictionaryRef,
                      const AudioServerPlugInClientInfo*, AudioObjectID*) {
    return kUnop;
}
OSStatus destroyDevice(AudioServerPlugInDriverRef, AudioObjectID) {
    return kUnop;
}
OSStatus addClient(AudioServerPlugInDriverRef, AudioObjectID, const AudioServerPlugInClientInfo*) {
    return 0;
}

OSStatus perform(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt64 action, void* info) {
    return frame(driver, id, [&](QnASPlugInObject& o) {
        deviceOf(o).PerformConfigChange(action, info);
        return OSStatus(0);
    });
}

OSStatus abortChange(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt64 action,
                     void* info) {
    return frame(driver, id, [&](QnASPlugInObject& o) {
        deviceOf(o).AbortConfigChange(action, info);
        return OSStatus(0);
    });
}

Boolean hasProperty(AudioServerPlugInDriverRef driver, AudioObjectID id, pid_t,
                    const AudioObjectPropertyAddress* a) {
    if (!a) return false;
    bool has = false;
    frame(driver, id, [&](QnASPlugInObject& o) {
        has = propertySize(o, id, a) != 0;
        return OSStatus(0);
    });
    return has;
}

OSStatus isSettable(AudioServerPlugInDriverRef driver, AudioObjectID id, pid_t,
                    const AudioObjectPropertyAddress* a, Boolean* out) {
    if (!a || !out) return kNope;
    return frame(driver, id, [&](QnASPlugInObject& o) {
        if (!propertySize(o, id, a)) return kWho;
        *out = false;
        return OSStatus(0);
    });
}

OSStatus getSize(AudioServerPlugInDriverRef driver, AudioObjectID id, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32, const void*, UInt32* out) {
    if (!a || !out) return kNope;
    return frame(driver, id, [&](QnASPlugInObject& o) {
        const UInt32 n = propertySize(o, id, a);
        if (!n && !o.HasProperty(id, 0, *a)) return kWho;
        *out = n;
        return OSStatus(0);
    });
}

OSStatus getData(AudioServerPlugInDriverRef driver, AudioObjectID id, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32 qs, const void* q, UInt32 size,
                 UInt32* outSize, void* out) {
    if (!a || !outSize || !out) return kNope;
    return frame(driver, id, [&](QnASPlugInObject& o) {
        if (auto* d = dynamic_cast<QnASPlugInDevice*>(&o)) {
            const UInt32 n = deviceProperty(*d, id, a, nullptr);
            if (!n) return kWho;
            if (size < n) return kBadSize;
            *outSize = deviceProperty(*d, id, a, out);
            return OSStatus(0);
        }
        if (!o.HasProperty(id, 0, *a)) return kWho;
        o.GetPropertyData(id, 0, *a, qs, q, size, *outSize, out);
        return OSStatus(0);
    });
}

OSStatus setData(AudioServerPlugInDriverRef driver, AudioObjectID id, pid_t,
                 const AudioObjectPropertyAddress* a, UInt32, const void*, UInt32, const void*) {
    if (!a) return kNope;
    return frame(driver, id, [](QnASPlugInObject& o) { return o.IsActive() ? kWho : kStop; });
}

OSStatus startIO(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt32) {
    return frame(driver, id, [](QnASPlugInObject& o) {
        deviceOf(o).StartIO();
        return OSStatus(0);
    });
}

OSStatus stopIO(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt32) {
    return frame(driver, id, [](QnASPlugInObject& o) {
        deviceOf(o).StopIO();
        return OSStatus(0);
    });
}

OSStatus zeroStamp(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt32, Float64* sample,
                   UInt64* host, UInt64* seed) {
    if (!sample || !host || !seed) return logged(kNope, "QnASPlugInGetZeroTimeStamp returns %X\n");
    return logged(frame(driver, id,
                        [&](QnASPlugInObject& o) {
                            deviceOf(o).GetZeroTimeStamp(*sample, *host, *seed);
                            return OSStatus(0);
                        }),
                  "QnASPlugInGetZeroTimeStamp returns %X\n");
}

OSStatus willDo(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt32, UInt32 op,
                Boolean* willDo, Boolean* inPlace) {
    if (!willDo || !inPlace) return logged(kNope, "QnASPlugInWillDoIOOperation returns %X\n");
    return logged(frame(driver, id,
                        [&](QnASPlugInObject& o) {
                            bool w = false, p = false;
                            deviceOf(o).WillDoIOOperation(op, w, p);
                            *willDo = w;
                            *inPlace = p;
                            return OSStatus(0);
                        }),
                  "QnASPlugInWillDoIOOperation returns %X\n");
}

OSStatus begin(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt32, UInt32 op,
               UInt32 frames, const AudioServerPlugInIOCycleInfo* info) {
    if (!info) return logged(kNope, "QnASPlugInBeginIOOperation returns %X\n");
    return logged(frame(driver, id,
                        [&](QnASPlugInObject& o) {
                            QnASPlugInDevice& d = deviceOf(o);
                            if (d.IOState() != 2) return kStop;
                            d.BeginIOOperation(op, frames, *info);
                            return OSStatus(0);
                        }),
                  "QnASPlugInBeginIOOperation returns %X\n");
}

OSStatus doIO(AudioServerPlugInDriverRef driver, AudioObjectID id, AudioObjectID stream, UInt32,
              UInt32 op, UInt32 frames, const AudioServerPlugInIOCycleInfo* info, void* main,
              void* secondary) {
    if (!info) return logged(kNope, "QnASPlugInDoIOOperation returns %X\n");
    return logged(frame(driver, id,
                        [&](QnASPlugInObject& o) {
                            QnASPlugInDevice& d = deviceOf(o);
                            if (d.IOState() != 2) return kStop;
                            return d.DoIOOperation(stream, op, frames, *info, main, secondary);
                        }),
                  "QnASPlugInDoIOOperation returns %X\n");
}

OSStatus end(AudioServerPlugInDriverRef driver, AudioObjectID id, UInt32, UInt32 op, UInt32 frames,
             const AudioServerPlugInIOCycleInfo* info) {
    if (!info) return logged(kNope, "QnASPlugInEndIOOperation returns %X\n");
    return logged(frame(driver, id,
                        [&](QnASPlugInObject& o) {
                            deviceOf(o).EndIOOperation(op, frames, *info);
                            return OSStatus(0);
                        }),
                  "QnASPlugInEndIOOperation returns %X\n");
}

AudioServerPlugInDriverInterface gInterface = {
    nullptr,        &queryInterface, &addRef,    &release, &initialize,  &createDevice,
    &destroyDevice, &addClient,      &addClient, &perform, &abortChange, &hasProperty,
    &isSettable,    &getSize,        &getData,   &setData, &startIO,     &stopIO,
    &zeroStamp,     &willDo,         &begin,     &doIO,    &end,
};

} // namespace

AudioServerPlugInDriverRef testDriverReference() {
    return self();
}

AudioServerPlugInDriverRef serverDriverReference() {
    CFStringRef typeText =
        CFStringCreateWithCString(nullptr, kAudioServerPlugInTypeUUIDText, kCFStringEncodingASCII);
    CFUUIDRef type = CFUUIDCreateFromString(nullptr, typeText);
    auto driver = static_cast<AudioServerPlugInDriverRef>(QnASPlugInCreate(nullptr, type));
    CFRelease(type);
    CFRelease(typeText);
    return driver;
}

UInt32 testDriverRefCount() {
    return gRefCount.load();
}

} // namespace hx::test
