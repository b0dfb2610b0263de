#include "plugins/server/QnASPlugInIOKitObject.h"

#include <syslog.h>

#include "device/FWUpdaterDetection.h"
#include "platform/base/MachPort.h"
#include "plugins/server/CAException.h"

namespace {

constexpr const char* kOpenConnection = "bool QnASPlugInIOKitObject::OpenConnection(UInt32)";
constexpr UInt32 kCallDriverSelector = 6;
// Client type 4 opens nothing: it tells the kernel no firmware updater runs.
constexpr UInt32 kNoUpdaterClientType = 4;
constexpr OSStatus kStop = OSStatus(0x73746F70); // 'stop'

CFTypeRef readProperty(io_object_t entry, CFStringRef key) {
    return entry ? IORegistryEntryCreateCFProperty(entry, key, kCFAllocatorDefault, 0) : nullptr;
}

template <class Ref> bool copyTyped(io_object_t entry, CFStringRef key, Ref& out, CFTypeID type) {
    CFTypeRef value = readProperty(entry, key);
    if (!value) return false;
    if (CFGetTypeID(value) != type) {
        CFRelease(value);
        return false;
    }
    out = static_cast<Ref>(value);
    return true;
}

} // namespace

// ---- Construction, assignment, identity

QnASPlugInIOKitObject::QnASPlugInIOKitObject()
    : mProperties(static_cast<CFMutableDictionaryRef>(nullptr), true) {}

QnASPlugInIOKitObject::QnASPlugInIOKitObject(io_object_t inObject)
    : mObject(inObject), mProperties(static_cast<CFMutableDictionaryRef>(nullptr), true) {}

QnASPlugInIOKitObject::QnASPlugInIOKitObject(CFDictionaryRef inProperties)
    : mProperties(inProperties, true), mAlive(false) {}

QnASPlugInIOKitObject::QnASPlugInIOKitObject(const QnASPlugInIOKitObject& inObject)
    : mObject(inObject.mObject), mProperties(inObject.mProperties),
      mAlwaysLoadPropertiesIfStale(inObject.mAlwaysLoadPropertiesIfStale), mAlive(inObject.mAlive) {
    Retain();
}

QnASPlugInIOKitObject& QnASPlugInIOKitObject::operator=(const QnASPlugInIOKitObject& inObject) {
    // Assigning itself changes nothing: releasing first would drop what it
    // then copies.
    if (this == &inObject) return *this;
    CloseConnection();
    Release();
    mObject = inObject.mObject;
    mAlwaysLoadPropertiesIfStale = inObject.mAlwaysLoadPropertiesIfStale;
    mAlive = inObject.mAlive;
    mProperties = inObject.mProperties;
    Retain();
    return *this;
}

QnASPlugInIOKitObject& QnASPlugInIOKitObject::operator=(io_object_t inObject) {
    CloseConnection();
    Release();
    mObject = inObject;
    mAlive = true;
    return *this;
}

QnASPlugInIOKitObject::~QnASPlugInIOKitObject() {
    if (IsConnectionOpen()) CloseConnection();
    Release();
}

void QnASPlugInIOKitObject::Retain() {
    if (mObject != IO_OBJECT_NULL) IOObjectRetain(mObject);
}

void QnASPlugInIOKitObject::Release() {
    if (mObject != IO_OBJECT_NULL) {
        IOObjectRelease(mObject);
        mObject = IO_OBJECT_NULL;
    }
    mProperties = static_cast<CFMutableDictionaryRef>(nullptr);
}

io_object_t QnASPlugInIOKitObject::CopyObject() {
    Retain();
    return mObject;
}

bool QnASPlugInIOKitObject::IsEqualTo(io_object_t inObject) const {
    return IOObjectIsEqualTo(mObject, inObject);
}

bool QnASPlugInIOKitObject::ConformsTo(const char* inClassName) const {
    return IOObjectConformsTo(mObject, inClassName);
}

bool QnASPlugInIOKitObject::TestForLiveness(io_object_t inObject) {
    if (inObject == IO_OBJECT_NULL) return false;
    CFMutableDictionaryRef properties = nullptr;
    const bool read =
        IORegistryEntryCreateCFProperties(inObject, &properties, kCFAllocatorDefault, 0) == 0;
    if (properties) CFRelease(properties);
    return read;
}

// ---- Cached properties

void QnASPlugInIOKitObject::CacheProperties() const {
    if (mObject == IO_OBJECT_NULL) return;
    if (mProperties.IsValid() && !mAlwaysLoadPropertiesIfStale) return;
    CFMutableDictionaryRef read = nullptr;
    if (IORegistryEntryCreateCFProperties(mObject, &read, kCFAllocatorDefault, 0) != 0 || !read) {
        mProperties = static_cast<CFMutableDictionaryRef>(nullptr);
        return;
    }
    mProperties = static_cast<CFDictionaryRef>(read); // the holder takes its own reference
    CFRelease(read);
}

void QnASPlugInIOKitObject::PropertiesChanged() {
    mProperties = static_cast<CFMutableDictionaryRef>(nullptr);
}

CFDictionaryRef QnASPlugInIOKitObject::CopyProperties() const {
    CacheProperties();
    return mProperties.CopyCFDictionary();
}

bool QnASPlugInIOKitObject::HasProperty(CFStringRef inKey) const {
    CacheProperties();
    return mProperties.HasKey(inKey);
}

#define HX_CACHED_GETTER(Name, Type, Getter)                                                       \
    bool QnASPlugInIOKitObject::Name(CFStringRef inKey, Type& outValue) const {                    \
        CacheProperties();                                                                         \
        return mProperties.Getter(inKey, outValue);                                                \
    }

HX_CACHED_GETTER(CopyProperty_bool, bool, GetBool)
HX_CACHED_GETTER(CopyProperty_SInt32, SInt32, GetSInt32)
HX_CACHED_GETTER(CopyProperty_UInt32, UInt32, GetUInt32)
HX_CACHED_GETTER(CopyProperty_UInt64, UInt64, GetUInt64)
HX_CACHED_GETTER(CopyProperty_Fixed32, Float32, GetFixed32)
HX_CACHED_GETTER(CopyProperty_Fixed64, Float64, GetFixed64)
#undef HX_CACHED_GETTER

#define HX_CACHED_REF_GETTER(Name, Type, Getter)                                                   \
    bool QnASPlugInIOKitObject::Name(CFStringRef inKey, Type& outValue) const {                    \
        CacheProperties();                                                                         \
        if (!mProperties.Getter(inKey, outValue)) return false;                                    \
        if (outValue) CFRetain(outValue);                                                          \
        return true;                                                                               \
    }

HX_CACHED_REF_GETTER(CopyProperty_CFString, CFStringRef, GetString)
HX_CACHED_REF_GETTER(CopyProperty_CFArray, CFArrayRef, GetArray)
HX_CACHED_REF_GETTER(CopyProperty_CFDictionary, CFDictionaryRef, GetDictionary)
HX_CACHED_REF_GETTER(CopyProperty_CFType, CFTypeRef, GetCFType)
#undef HX_CACHED_REF_GETTER

bool QnASPlugInIOKitObject::CopyProperty_CACFString(CFStringRef inKey, CACFString& outValue) const {
    CFStringRef s = nullptr;
    CacheProperties();
    if (!mProperties.GetString(inKey, s)) return false;
    outValue = s;
    return true;
}

bool QnASPlugInIOKitObject::CopyProperty_CACFArray(CFStringRef inKey, CACFArray& outValue) const {
    CFArrayRef a = nullptr;
    CacheProperties();
    if (!mProperties.GetArray(inKey, a)) return false;
    outValue = a;
    return true;
}

bool QnASPlugInIOKitObject::CopyProperty_CACFDictionary(CFStringRef inKey,
                                                        CACFDictionary& outValue) const {
    CFDictionaryRef d = nullptr;
    CacheProperties();
    if (!mProperties.GetDictionary(inKey, d)) return false;
    outValue = d;
    return true;
}

bool QnASPlugInIOKitObject::CopyProperty_CACFType(CFStringRef inKey, CACFType& outValue) const {
    CFTypeRef t = nullptr;
    CacheProperties();
    if (!mProperties.GetCFType(inKey, t)) return false;
    outValue = t;
    return true;
}

// ---- Straight from an entry

bool QnASPlugInIOKitObject::CopyProperty_bool(io_object_t inObject, CFStringRef inKey,
                                              bool& outValue) {
    CFTypeRef value = readProperty(inObject, inKey);
    if (!value) return false;
    bool known = true;
    if (CFGetTypeID(value) == CFBooleanGetTypeID()) {
        outValue = CFBooleanGetValue(static_cast<CFBooleanRef>(value));
    } else if (CFGetTypeID(value) == CFNumberGetTypeID()) {
        SInt32 n = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &n);
        outValue = n != 0;
    } else {
        known = false;
    }
    CFRelease(value);
    return known;
}

bool QnASPlugInIOKitObject::CopyProperty_SInt32(io_object_t inObject, CFStringRef inKey,
                                                SInt32& outValue) {
    CFNumberRef n = nullptr;
    if (!copyTyped(inObject, inKey, n, CFNumberGetTypeID())) return false;
    CFNumberGetValue(n, kCFNumberSInt32Type, &outValue);
    CFRelease(n);
    return true;
}

bool QnASPlugInIOKitObject::CopyProperty_UInt32(io_object_t inObject, CFStringRef inKey,
                                                UInt32& outValue) {
    SInt32 v = 0;
    if (!CopyProperty_SInt32(inObject, inKey, v)) return false;
    outValue = UInt32(v);
    return true;
}

bool QnASPlugInIOKitObject::CopyProperty_CFString(io_object_t inObject, CFStringRef inKey,
                                                  CFStringRef& outValue) {
    return copyTyped(inObject, inKey, outValue, CFStringGetTypeID());
}

bool QnASPlugInIOKitObject::CopyProperty_CFArray(io_object_t inObject, CFStringRef inKey,
                                                 CFArrayRef& outValue) {
    return copyTyped(inObject, inKey, outValue, CFArrayGetTypeID());
}

bool QnASPlugInIOKitObject::CopyProperty_CFDictionary(io_object_t inObject, CFStringRef inKey,
                                                      CFDictionaryRef& outValue) {
    return copyTyped(inObject, inKey, outValue, CFDictionaryGetTypeID());
}

void QnASPlugInIOKitObject::CopyProperty_CACFString(io_object_t inObject, CFStringRef inKey,
                                                    CACFString& outValue) {
    CFStringRef s = nullptr;
    if (copyTyped(inObject, inKey, s, CFStringGetTypeID())) {
        outValue = s;
        CFRelease(s);
    } else {
        outValue = static_cast<CFStringRef>(nullptr);
    }
}

// ---- Property writes

void QnASPlugInIOKitObject::SetProperty(CFStringRef inKey, CFTypeRef inValue) {
    const kern_return_t result = IORegistryEntrySetCFProperty(mObject, inKey, inValue);
    if (result != 0) throw CAException(result);
}

void QnASPlugInIOKitObject::SetProperty_SInt32(CFStringRef inKey, SInt32 inValue) {
    CACFNumber number(
        CFNumberCreate(nullptr, kCFNumberSInt32Type, &inValue)); // released also when it throws
    SetProperty(inKey, number.GetCFObject());
}

void QnASPlugInIOKitObject::SetProperty_bool(CFStringRef inKey, bool inValue) {
    SetProperty_SInt32(inKey, inValue);
}

void QnASPlugInIOKitObject::SetProperty_UInt32(CFStringRef inKey, UInt32 inValue) {
    SetProperty_SInt32(inKey, SInt32(inValue));
}

// ---- The connection

bool QnASPlugInIOKitObject::OpenConnection(UInt32 inUserClientType) {
    if (mObject == IO_OBJECT_NULL) {
        syslog(LOG_ERR, "%s mObject == IO_OBJECT_NULL\n", kOpenConnection);
        return false;
    }
    if (IsConnectionOpen()) return true;
    if (fwUpdaterActive()) {
        syslog(LOG_ERR, "%s fwUpdaterActive\n", kOpenConnection);
        return false;
    }
    kern_return_t result = IOServiceOpen(mObject, mach_task_self(), inUserClientType, &mConnection);
    syslog(LOG_ERR, "%s IOServiceOpen returned %08X\n", kOpenConnection, unsigned(result));
    if (result == 0) return true;
    mConnection = IO_OBJECT_NULL;
    io_connect_t none = IO_OBJECT_NULL;
    IOServiceOpen(mObject, mach_task_self(), kNoUpdaterClientType, &none);
    result = IOServiceOpen(mObject, mach_task_self(), inUserClientType, &mConnection);
    syslog(LOG_ERR, "%s 2nd attempt IOServiceOpen returned %08X\n", kOpenConnection,
           unsigned(result));
    if (result != 0) mConnection = IO_OBJECT_NULL;
    return result == 0;
}

void QnASPlugInIOKitObject::CloseConnection() {
    if (IsConnectionOpen()) IOServiceClose(mConnection);
    mConnection = IO_OBJECT_NULL;
}

void QnASPlugInIOKitObject::SetConnectionNotificationPort(UInt32 inType, mach_port_t inPort,
                                                          void* inUserData) {
    if (!IsConnectionOpen()) return;
    const kern_return_t result = IOConnectSetNotificationPort(
        mConnection, inType, inPort, reinterpret_cast<uintptr_t>(inUserData));
    // Clearing a port never throws.
    if (result != 0 && inPort != MACH_PORT_NULL) throw CAException(result);
}

void* QnASPlugInIOKitObject::MapMemory(UInt32 inType, UInt32, UInt32& ioSize) {
    vm_address_t address = 0;
    vm_size_t size = 0;
    if (IOConnectMapMemory(mConnection, inType, mach_task_self(), &address, &size,
                           kIOMapAnywhere) != 0)
        return nullptr;
    if (size != ioSize) {
        IOConnectUnmapMemory(mConnection, inType, mach_task_self(), address);
        return nullptr;
    }
    return reinterpret_cast<void*>(address);
}

void QnASPlugInIOKitObject::ReleaseMemory(void* inMemory, UInt32 inType) {
    if (!inMemory || !IsConnectionOpen()) return;
    IOConnectUnmapMemory64(mConnection, inType, mach_task_self(),
                           reinterpret_cast<mach_vm_address_t>(inMemory));
}

kern_return_t QnASPlugInIOKitObject::CallMethod(UInt32 inSelector, const UInt64* inInputItems,
                                                UInt32 inNumberInputItems, const void* inRawInput,
                                                size_t inRawInputSize, UInt64* outOutputItems,
                                                UInt32* outNumberOutputItems, void* outRawOutput,
                                                size_t* ioRawOutputSize) {
    if (!IsConnectionOpen() || !mAlive) return kStop;
    return IOConnectCallMethod(mConnection, inSelector, inInputItems, inNumberInputItems,
                               inRawInput, inRawInputSize, outOutputItems, outNumberOutputItems,
                               outRawOutput, ioRawOutputSize);
}

bool QnASPlugInIOKitObject::CallDriver(UInt32 inRequest, OSXDispatch& ioRecord) {
    ioRecord.iReq = inRequest; // even when the call is then refused
    if (!IsConnectionOpen() || !mAlive) return false;
    size_t outSize = sizeof ioRecord;
    return IOConnectCallStructMethod(mConnection, kCallDriverSelector, &ioRecord, sizeof ioRecord,
                                     &ioRecord, &outSize) == 0;
}

kern_return_t QnASPlugInIOKitObject::CallTrap(UInt32 inIndex) {
    if (!IsConnectionOpen() || !mAlive) return kStop;
    return IOConnectTrap0(mConnection, inIndex);
}

// ---- Registry searches

io_object_t
QnASPlugInIOKitObject::CopyMatchingObjectWithPropertyValue(CFDictionaryRef inMatchingDictionary,
                                                           CFStringRef inKey, CFTypeRef inValue) {
    if (!inMatchingDictionary || !inKey || !inValue) return IO_OBJECT_NULL;
    mach_port_t master = MACH_PORT_NULL;
    const kern_return_t result = IOMasterPort(bootstrap_port, &master);
    if (result != 0) throw CAException(result);
    CFRetain(inMatchingDictionary); // the lookup consumes one; the caller keeps its own
    io_iterator_t iterator = IO_OBJECT_NULL;
    if (IOServiceGetMatchingServices(master, inMatchingDictionary, &iterator) != 0 || !iterator)
        return IO_OBJECT_NULL;
    QnASPlugInIOKitIterator services(iterator, true);
    io_object_t answer = IO_OBJECT_NULL;
    while (io_object_t service = services.Next()) {
        QnASPlugInIOKitObject entry(service); // owns the iterator's reference
        CACFType value;
        if (entry.CopyProperty_CACFType(inKey, value) && CFEqual(value.GetCFObject(), inValue)) {
            answer = entry.CopyObject();
            break;
        }
    }
    return answer;
}

io_object_t QnASPlugInIOKitObject::CopyChildWithIntegerPropertyValues(io_object_t inParent,
                                                                      CFStringRef inKey1,
                                                                      UInt32 inValue1,
                                                                      CFStringRef inKey2,
                                                                      UInt32 inValue2) {
    if (inParent == IO_OBJECT_NULL || !inKey1 || !inKey2) return IO_OBJECT_NULL;
    QnASPlugInIOKitIterator children(inParent, "IOService");
    if (!children.IsValid()) return IO_OBJECT_NULL;
    while (io_object_t child = children.Next()) {
        QnASPlugInIOKitObject entry(child);
        UInt32 v1 = 0, v2 = 0;
        if (entry.CopyProperty_UInt32(inKey1, v1) && entry.CopyProperty_UInt32(inKey2, v2) &&
            v1 == inValue1 && v2 == inValue2)
            return entry.CopyObject();
    }
    return IO_OBJECT_NULL;
}

io_object_t QnASPlugInIOKitObject::CopyParentByClassName(io_object_t inChild,
                                                         const char* inClassName,
                                                         const char* inPlaneName) {
    QnASPlugInIOKitIterator parents(inChild, inPlaneName, true);
    if (!parents.IsValid()) return IO_OBJECT_NULL;
    while (io_object_t parent = parents.Next()) {
        if (IOObjectConformsTo(parent, inClassName))
            return parent; // the iterator's reference is the caller's
        IOObjectRelease(parent);
    }
    return IO_OBJECT_NULL;
}

// ---- Iterator

QnASPlugInIOKitIterator::QnASPlugInIOKitIterator(io_iterator_t inIterator, bool inWillRelease)
    : mIterator(inIterator), mWillRelease(inWillRelease) {}

QnASPlugInIOKitIterator::QnASPlugInIOKitIterator(io_object_t inParent, const io_name_t inPlane) {
    if (IORegistryEntryGetChildIterator(inParent, inPlane, &mIterator) != 0)
        mIterator = IO_OBJECT_NULL;
}

QnASPlugInIOKitIterator::QnASPlugInIOKitIterator(io_object_t inChild, const io_name_t inPlane,
                                                 bool) {
    if (IORegistryEntryGetParentIterator(inChild, inPlane, &mIterator) != 0)
        mIterator = IO_OBJECT_NULL;
}

QnASPlugInIOKitIterator::QnASPlugInIOKitIterator(CFMutableDictionaryRef inMatchingDictionary) {
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, inMatchingDictionary, &mIterator) != 0)
        mIterator = IO_OBJECT_NULL;
}

QnASPlugInIOKitIterator::QnASPlugInIOKitIterator(const QnASPlugInIOKitIterator& inIterator)
    : mIterator(inIterator.mIterator), mWillRelease(inIterator.mWillRelease) {
    Retain();
}

QnASPlugInIOKitIterator& QnASPlugInIOKitIterator::operator=(io_iterator_t inIterator) {
    if (inIterator == mIterator) return *this; // releasing first would drop what it then holds
    Release();
    mIterator = inIterator;
    Retain();
    return *this;
}

QnASPlugInIOKitIterator&
QnASPlugInIOKitIterator::operator=(const QnASPlugInIOKitIterator& inIterator) {
    if (this == &inIterator) return *this;
    return *this = inIterator.mIterator;
}

QnASPlugInIOKitIterator::~QnASPlugInIOKitIterator() {
    Release();
}

io_object_t QnASPlugInIOKitIterator::Next() {
    return mIterator ? IOIteratorNext(mIterator) : IO_OBJECT_NULL;
}

void QnASPlugInIOKitIterator::Retain() {
    if (mIterator != IO_OBJECT_NULL) IOObjectRetain(mIterator);
}

void QnASPlugInIOKitIterator::Release() {
    if (mWillRelease && mIterator != IO_OBJECT_NULL) {
        IOObjectRelease(mIterator);
        mIterator = IO_OBJECT_NULL;
    }
}
