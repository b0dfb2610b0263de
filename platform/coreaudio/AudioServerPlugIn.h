// The audio server's plug-in interface: the driver interface a server
// plug-in hands the host (23 slots, the first reserved), the host interface
// the plug-in calls back (property changes, storage, configuration-change
// requests), the client and IO-cycle records, the custom-property record and
// the status and operation codes of the IO cycle. Declared from what the
// server plug-in and the server host use; every record's size is pinned.
#pragma once

#include <sys/types.h>

#include "platform/base/MacTypes.h"
#include "platform/cf/CFBase.h"
#include "platform/coreaudio/CoreAudioTypes.h"

typedef UInt32 AudioClassID;

// A UUID as its sixteen bytes, the form QueryInterface takes.
struct AudioServerPlugInUUIDBytes {
    UInt8 byte[16];
};
static_assert(sizeof(AudioServerPlugInUUIDBytes) == 16);
constexpr bool operator==(const AudioServerPlugInUUIDBytes& a,
                          const AudioServerPlugInUUIDBytes& b) {
    for (int i = 0; i < 16; ++i)
        if (a.byte[i] != b.byte[i]) return false;
    return true;
}

typedef AudioServerPlugInUUIDBytes REFIID;
typedef void* LPVOID;
typedef SInt32 HRESULT;
typedef UInt32 ULONG;

inline constexpr HRESULT E_NOINTERFACE = HRESULT(0x80000004);

struct AudioServerPlugInHostInterface;
typedef const AudioServerPlugInHostInterface* AudioServerPlugInHostRef;
struct AudioServerPlugInDriverInterface;
typedef AudioServerPlugInDriverInterface** AudioServerPlugInDriverRef;

// Who a client of a device is.
struct AudioServerPlugInClientInfo {
    UInt32 mClientID;
    pid_t mProcessID;
    Boolean mIsNativeEndian;
    CFStringRef mBundleID; // may be null
};
static_assert(sizeof(AudioServerPlugInClientInfo) == 24);

// One IO cycle's times, handed to every IO operation of the cycle.
struct AudioServerPlugInIOCycleInfo {
    UInt64 mIOCycleCounter;
    UInt32 mNominalIOBufferFrameSize;
    UInt32 mReserved;
    AudioTimeStamp mCurrentTime;
    AudioTimeStamp mInputTime;
    AudioTimeStamp mOutputTime;
    Float64 mMainHostTicksPerFrame;
    Float64 mDeviceHostTicksPerFrame;
};
static_assert(sizeof(AudioServerPlugInIOCycleInfo) == 224);

// A custom property the plug-in announces: selector, value type and
// qualifier type (four-character codes).
struct AudioServerPlugInCustomPropertyInfo {
    AudioObjectPropertySelector mSelector;
    UInt32 mPropertyDataType;
    UInt32 mQualifierDataType;
};
static_assert(sizeof(AudioServerPlugInCustomPropertyInfo) == 12);

// The host's calls, in this order.
struct AudioServerPlugInHostInterface {
    OSStatus (*PropertiesChanged)(AudioServerPlugInHostRef inHost, AudioObjectID inObjectID,
                                  UInt32 inNumberAddresses,
                                  const AudioObjectPropertyAddress* inAddresses);
    OSStatus (*CopyFromStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                                CFPropertyListRef* outData);
    OSStatus (*WriteToStorage)(AudioServerPlugInHostRef inHost, CFStringRef inKey,
                               CFPropertyListRef inData);
    OSStatus (*RequestDeviceConfigurationChange)(AudioServerPlugInHostRef inHost,
                                                 AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
};
static_assert(sizeof(AudioServerPlugInHostInterface) == 4 * sizeof(void*));

// The plug-in's entries, in this order; slot 0 is reserved (null).
struct AudioServerPlugInDriverInterface {
    void* _reserved;
    HRESULT (*QueryInterface)(void* inDriver, REFIID inUUID, LPVOID* outInterface);
    ULONG (*AddRef)(void* inDriver);
    ULONG (*Release)(void* inDriver);
    OSStatus (*Initialize)(AudioServerPlugInDriverRef inDriver, AudioServerPlugInHostRef inHost);
    OSStatus (*CreateDevice)(AudioServerPlugInDriverRef inDriver, CFDictionaryRef inDescription,
                             const AudioServerPlugInClientInfo* inClientInfo,
                             AudioObjectID* outDeviceObjectID);
    OSStatus (*DestroyDevice)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID);
    OSStatus (*AddDeviceClient)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                                const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*RemoveDeviceClient)(AudioServerPlugInDriverRef inDriver,
                                   AudioObjectID inDeviceObjectID,
                                   const AudioServerPlugInClientInfo* inClientInfo);
    OSStatus (*PerformDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                                 AudioObjectID inDeviceObjectID,
                                                 UInt64 inChangeAction, void* inChangeInfo);
    OSStatus (*AbortDeviceConfigurationChange)(AudioServerPlugInDriverRef inDriver,
                                               AudioObjectID inDeviceObjectID,
                                               UInt64 inChangeAction, void* inChangeInfo);
    Boolean (*HasProperty)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                           pid_t inClientProcessID, const AudioObjectPropertyAddress* inAddress);
    OSStatus (*IsPropertySettable)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                   pid_t inClientProcessID,
                                   const AudioObjectPropertyAddress* inAddress,
                                   Boolean* outIsSettable);
    OSStatus (*GetPropertyDataSize)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                    pid_t inClientProcessID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                    UInt32* outDataSize);
    OSStatus (*GetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, UInt32* outDataSize, void* outData);
    OSStatus (*SetPropertyData)(AudioServerPlugInDriverRef inDriver, AudioObjectID inObjectID,
                                pid_t inClientProcessID,
                                const AudioObjectPropertyAddress* inAddress,
                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                UInt32 inDataSize, const void* inData);
    OSStatus (*StartIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                        UInt32 inClientID);
    OSStatus (*StopIO)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                       UInt32 inClientID);
    OSStatus (*GetZeroTimeStamp)(AudioServerPlugInDriverRef inDriver,
                                 AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                 Float64* outSampleTime, UInt64* outHostTime, UInt64* outSeed);
    OSStatus (*WillDoIOOperation)(AudioServerPlugInDriverRef inDriver,
                                  AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                  UInt32 inOperationID, Boolean* outWillDo,
                                  Boolean* outWillDoInPlace);
    OSStatus (*BeginIOOperation)(AudioServerPlugInDriverRef inDriver,
                                 AudioObjectID inDeviceObjectID, UInt32 inClientID,
                                 UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                                 const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
    OSStatus (*DoIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                              AudioObjectID inStreamObjectID, UInt32 inClientID,
                              UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                              const AudioServerPlugInIOCycleInfo* inIOCycleInfo, void* ioMainBuffer,
                              void* ioSecondaryBuffer);
    OSStatus (*EndIOOperation)(AudioServerPlugInDriverRef inDriver, AudioObjectID inDeviceObjectID,
                               UInt32 inClientID, UInt32 inOperationID, UInt32 inIOBufferFrameSize,
                               const AudioServerPlugInIOCycleInfo* inIOCycleInfo);
};
static_assert(sizeof(AudioServerPlugInDriverInterface) == 23 * sizeof(void*));

// The factory type of a server plug-in and the interfaces QueryInterface
// answers (as text; the bytes are the hexadecimal digits in order).
inline constexpr const char* kAudioServerPlugInTypeUUIDText =
    "443ABAB8-E7B3-491A-B985-BEB9187030DB";
inline constexpr const char* kAudioServerPlugInDriverInterfaceUUIDText =
    "EEA5773D-CC43-49F1-8E00-8F96E7D23B17";
inline constexpr const char* kIUnknownUUIDText = "00000000-0000-0000-C000-000000000046";

// The IO operations of a cycle.
enum : UInt32 {
    kAudioServerPlugInIOOperationThread = hx::coreaudio::fourCC("thrd"),
    kAudioServerPlugInIOOperationCycle = hx::coreaudio::fourCC("cycl"),
    kAudioServerPlugInIOOperationReadInput = hx::coreaudio::fourCC("read"),
    kAudioServerPlugInIOOperationConvertInput = hx::coreaudio::fourCC("cinp"),
    kAudioServerPlugInIOOperationProcessInput = hx::coreaudio::fourCC("pinp"),
    kAudioServerPlugInIOOperationProcessOutput = hx::coreaudio::fourCC("pout"),
    kAudioServerPlugInIOOperationMixOutput = hx::coreaudio::fourCC("mixo"),
    kAudioServerPlugInIOOperationProcessMix = hx::coreaudio::fourCC("pmix"),
    kAudioServerPlugInIOOperationConvertMix = hx::coreaudio::fourCC("cmix"),
    kAudioServerPlugInIOOperationWriteMix = hx::coreaudio::fourCC("rite"),
};

// Object classes and the properties of the object model the server plug-in
// and its host use.
enum : UInt32 {
    kAudioObjectClassID = hx::coreaudio::fourCC("aobj"),
    kAudioPlugInClassID = hx::coreaudio::fourCC("aplg"),
    kAudioDeviceClassID = hx::coreaudio::fourCC("adev"),
    kAudioStreamClassID = hx::coreaudio::fourCC("astr"),
};
enum : AudioObjectPropertySelector {
    kAudioObjectPropertyBaseClass = hx::coreaudio::fourCC("bcls"),
    kAudioObjectPropertyClass = hx::coreaudio::fourCC("clas"),
    kAudioObjectPropertyOwner = hx::coreaudio::fourCC("stdv"),
    kAudioObjectPropertyOwnedObjects = hx::coreaudio::fourCC("ownd"),
    kAudioObjectPropertyManufacturer = hx::coreaudio::fourCC("lmak"),
    kAudioPlugInPropertyDeviceList = hx::coreaudio::fourCC("dev#"),
    kAudioPlugInPropertyTranslateUIDToDevice = hx::coreaudio::fourCC("uidd"),
    kAudioPlugInPropertyResourceBundle = hx::coreaudio::fourCC("rsrc"),
    kAudioDevicePropertyDeviceUID = hx::coreaudio::fourCC("uid "),
    kAudioDevicePropertyZeroTimeStampPeriod = hx::coreaudio::fourCC("ring"),
    kAudioDevicePropertyStreams = hx::coreaudio::fourCC("stm#"),
};

// The plug-in object's fixed ID.
inline constexpr AudioObjectID kAudioObjectPlugInObject = 1;

namespace hx::coreaudio {

// The sixteen bytes of a UUID written as text ("XXXXXXXX-XXXX-..."); all
// zeros for text that is not one.
constexpr AudioServerPlugInUUIDBytes uuidBytes(const char* text) {
    AudioServerPlugInUUIDBytes bytes{};
    int n = 0;
    int high = -1;
    for (const char* p = text; *p && n < 16; ++p) {
        const char c = *p;
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c == '-')
            continue;
        else
            return AudioServerPlugInUUIDBytes{};
        if (high < 0) {
            high = v;
        } else {
            bytes.byte[n++] = UInt8(high << 4 | v);
            high = -1;
        }
    }
    return n == 16 ? bytes : AudioServerPlugInUUIDBytes{};
}

} // namespace hx::coreaudio
