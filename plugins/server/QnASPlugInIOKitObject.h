// The plug-in's hold on the kernel driver: one IOKit registry entry (the
// kernel service of one device) with at most one user-client connection to
// it - property reads through a cached snapshot, property writes, opening
// the connection, mapping the kernel's shared memory, and the method,
// fixed-record and trap calls - and an iterator holder. Both only hold
// handles and references: no lock, no thread.
#pragma once

#include "abi/QN_Dispatch.h"
#include "platform/iokit/IOKitLib.h"
#include "plugins/server/CACFDictionary.h"
#include "plugins/server/CACFObject.h"
#include "plugins/server/CACFString.h"

#ifndef IO_OBJECT_NULL
#define IO_OBJECT_NULL (static_cast<io_object_t>(0))
#endif

class QnASPlugInIOKitObject {
public:
    QnASPlugInIOKitObject();
    // Takes over the caller's reference.
    explicit QnASPlugInIOKitObject(io_object_t inObject);
    // Takes over the caller's reference; answers from it alone, never alive.
    explicit QnASPlugInIOKitObject(CFDictionaryRef inProperties);
    QnASPlugInIOKitObject(const QnASPlugInIOKitObject& inObject);
    QnASPlugInIOKitObject& operator=(const QnASPlugInIOKitObject& inObject);
    QnASPlugInIOKitObject& operator=(io_object_t inObject);
    virtual ~QnASPlugInIOKitObject();

    virtual void PropertiesChanged();
    virtual void CacheProperties() const;
    virtual void Retain();
    virtual void Release();

    io_object_t GetObject() const { return mObject; }
    io_object_t CopyObject();
    bool IsValid() const { return mObject != IO_OBJECT_NULL; }
    bool IsEqualTo(io_object_t inObject) const;
    bool ConformsTo(const char* inClassName) const;
    bool IsServiceAlive() const { return mAlive; }
    void ServiceWasTerminated() { mAlive = false; }
    static bool TestForLiveness(io_object_t inObject);

    CFDictionaryRef CopyProperties() const;
    bool HasProperty(CFStringRef inKey) const;
    bool CopyProperty_bool(CFStringRef inKey, bool& outValue) const;
    bool CopyProperty_SInt32(CFStringRef inKey, SInt32& outValue) const;
    bool CopyProperty_UInt32(CFStringRef inKey, UInt32& outValue) const;
    bool CopyProperty_UInt64(CFStringRef inKey, UInt64& outValue) const;
    bool CopyProperty_Fixed32(CFStringRef inKey, Float32& outValue) const;
    bool CopyProperty_Fixed64(CFStringRef inKey, Float64& outValue) const;
    bool CopyProperty_CFString(CFStringRef inKey, CFStringRef& outValue) const;
    bool CopyProperty_CFArray(CFStringRef inKey, CFArrayRef& outValue) const;
    bool CopyProperty_CFDictionary(CFStringRef inKey, CFDictionaryRef& outValue) const;
    bool CopyProperty_CFType(CFStringRef inKey, CFTypeRef& outValue) const;
    bool CopyProperty_CACFString(CFStringRef inKey, CACFString& outValue) const;
    bool CopyProperty_CACFArray(CFStringRef inKey, CACFArray& outValue) const;
    bool CopyProperty_CACFDictionary(CFStringRef inKey, CACFDictionary& outValue) const;
    bool CopyProperty_CACFType(CFStringRef inKey, CACFType& outValue) const;

    static bool CopyProperty_bool(io_object_t inObject, CFStringRef inKey, bool& outValue);
    static bool CopyProperty_SInt32(io_object_t inObject, CFStringRef inKey, SInt32& outValue);
    static bool CopyProperty_UInt32(io_object_t inObject, CFStringRef inKey, UInt32& outValue);
    static bool CopyProperty_CFString(io_object_t inObject, CFStringRef inKey,
                                      CFStringRef& outValue);
    static bool CopyProperty_CFArray(io_object_t inObject, CFStringRef inKey, CFArrayRef& outValue);
    static bool CopyProperty_CFDictionary(io_object_t inObject, CFStringRef inKey,
                                          CFDictionaryRef& outValue);
    static void CopyProperty_CACFString(io_object_t inObject, CFStringRef inKey,
                                        CACFString& outValue);

    // Throw CAException with the IOKit result.
    void SetProperty(CFStringRef inKey, CFTypeRef inValue);
    void SetProperty_bool(CFStringRef inKey, bool inValue);
    void SetProperty_SInt32(CFStringRef inKey, SInt32 inValue);
    void SetProperty_UInt32(CFStringRef inKey, UInt32 inValue);

    bool IsConnectionOpen() const { return mConnection != IO_OBJECT_NULL; }
    bool OpenConnection(UInt32 inUserClientType);
    void CloseConnection();
    void SetConnectionNotificationPort(UInt32 inType, mach_port_t inPort, void* inUserData);
    void* MapMemory(UInt32 inType, UInt32 inOptions, UInt32& ioSize);
    void ReleaseMemory(void* inMemory, UInt32 inType);
    kern_return_t CallMethod(UInt32 inSelector, const UInt64* inInputItems,
                             UInt32 inNumberInputItems, const void* inRawInput,
                             size_t inRawInputSize, UInt64* outOutputItems,
                             UInt32* outNumberOutputItems, void* outRawOutput,
                             size_t* ioRawOutputSize);
    bool CallDriver(UInt32 inRequest, OSXDispatch& ioRecord);
    bool CallDetach(OSXDispatch& ioRecord) { return CallDriver(3, ioRecord); }
    kern_return_t CallTrap(UInt32 inIndex);

    static io_object_t CopyMatchingObjectWithPropertyValue(CFDictionaryRef inMatchingDictionary,
                                                           CFStringRef inKey, CFTypeRef inValue);
    static io_object_t CopyChildWithIntegerPropertyValues(io_object_t inParent, CFStringRef inKey1,
                                                          UInt32 inValue1, CFStringRef inKey2,
                                                          UInt32 inValue2);
    static io_object_t CopyParentByClassName(io_object_t inChild, const char* inClassName,
                                             const char* inPlaneName);

private:
    io_object_t mObject = IO_OBJECT_NULL;
    io_connect_t mConnection = IO_OBJECT_NULL;
    mutable CACFDictionary mProperties;
    bool mAlwaysLoadPropertiesIfStale = true;
    bool mAlive = true;
};

class QnASPlugInIOKitIterator {
public:
    QnASPlugInIOKitIterator() = default;
    QnASPlugInIOKitIterator(io_iterator_t inIterator, bool inWillRelease);
    QnASPlugInIOKitIterator(io_object_t inParent, const io_name_t inPlane);
    QnASPlugInIOKitIterator(io_object_t inChild, const io_name_t inPlane, bool inSearchParents);
    // The lookup consumes the caller's reference to the dictionary.
    explicit QnASPlugInIOKitIterator(CFMutableDictionaryRef inMatchingDictionary);
    QnASPlugInIOKitIterator(const QnASPlugInIOKitIterator& inIterator);
    QnASPlugInIOKitIterator& operator=(io_iterator_t inIterator);
    QnASPlugInIOKitIterator& operator=(const QnASPlugInIOKitIterator& inIterator);
    ~QnASPlugInIOKitIterator();

    io_iterator_t GetIterator() const { return mIterator; }
    bool IsValid() const { return mIterator != IO_OBJECT_NULL; }
    void SetWillRelease(bool inWillRelease) { mWillRelease = inWillRelease; }
    io_object_t Next();
    void Retain();
    void Release();

private:
    io_iterator_t mIterator = IO_OBJECT_NULL;
    bool mWillRelease = true;
};
