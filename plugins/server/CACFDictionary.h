// A holder of one CFDictionary with typed getters and adders for property
// lists. Getters answer false and leave their out alone when there is no
// dictionary, no such key or a value of another type; adders answer false
// and change nothing when the holder is not mutable, holds nothing, or the
// value is null or could not be made. Number conversions saturate; NaN
// reads as 0.
#pragma once

#include "platform/cf/CoreFoundation.h"

class CACFString;
class CACFArray;

class CACFDictionary {
public:
    // A new, empty, mutable dictionary.
    explicit CACFDictionary(bool inWillRelease = true);
    // Takes over the caller's reference when inWillRelease is set.
    CACFDictionary(CFDictionaryRef inDictionary, bool inWillRelease);
    CACFDictionary(CFMutableDictionaryRef inDictionary, bool inWillRelease);
    CACFDictionary(const CACFDictionary& inOther);
    ~CACFDictionary();

    CACFDictionary& operator=(const CACFDictionary& inOther);
    CACFDictionary& operator=(CFDictionaryRef inDictionary);
    CACFDictionary& operator=(CFMutableDictionaryRef inDictionary);

    bool IsValid() const { return mCFDictionary != nullptr; }
    bool IsMutable() const { return mMutable; }
    bool CanModify() const { return mMutable && mCFDictionary != nullptr; }
    bool WillRelease() const { return mWillRelease; }
    void SetWillRelease(bool inWillRelease) { mWillRelease = inWillRelease; }
    CFDictionaryRef GetDict() const { return mCFDictionary; }
    CFDictionaryRef GetCFDictionary() const { return mCFDictionary; }
    CFDictionaryRef CopyCFDictionary() const;

    bool HasKey(CFStringRef inKey) const;
    UInt32 Size() const;
    void GetKeys(const void** keys) const;
    void GetKeysAndValues(const void** keys, const void** values) const;

    bool GetBool(CFStringRef inKey, bool& outValue) const;
    bool GetSInt32(CFStringRef inKey, SInt32& outValue) const;
    bool GetUInt32(CFStringRef inKey, UInt32& outValue) const;
    bool GetSInt64(CFStringRef inKey, SInt64& outValue) const;
    bool GetUInt64(CFStringRef inKey, UInt64& outValue) const;
    bool GetFloat32(CFStringRef inKey, Float32& outValue) const;
    bool GetFloat64(CFStringRef inKey, Float64& outValue) const;
    bool GetFixed32(CFStringRef inKey, Float32& outValue) const;
    bool GetFixed64(CFStringRef inKey, Float64& outValue) const;
    bool Get4CC(CFStringRef inKey, UInt32& outValue) const;
    bool GetString(CFStringRef inKey, CFStringRef& outValue) const;
    bool GetArray(CFStringRef inKey, CFArrayRef& outValue) const;
    bool GetDictionary(CFStringRef inKey, CFDictionaryRef& outValue) const;
    bool GetData(CFStringRef inKey, CFDataRef& outValue) const;
    bool GetURL(CFStringRef inKey, CFURLRef& outValue) const;
    bool GetCFType(CFStringRef inKey, CFTypeRef& outValue) const;
    bool GetCFTypeWithCStringKey(const char* inKey, CFTypeRef& outValue) const;
    void GetCACFString(CFStringRef inKey, CACFString& outValue) const;
    void GetCACFArray(CFStringRef inKey, CACFArray& outValue) const;
    void GetCACFDictionary(CFStringRef inKey, CACFDictionary& outValue) const;

    bool AddBool(CFStringRef inKey, bool inValue);
    bool AddSInt32(CFStringRef inKey, SInt32 inValue);
    bool AddUInt32(CFStringRef inKey, UInt32 inValue);
    bool AddSInt64(CFStringRef inKey, SInt64 inValue);
    bool AddUInt64(CFStringRef inKey, UInt64 inValue);
    bool AddFloat32(CFStringRef inKey, Float32 inValue);
    bool AddFloat64(CFStringRef inKey, Float64 inValue);
    bool AddNumber(CFStringRef inKey, CFNumberRef inValue);
    bool AddString(CFStringRef inKey, CFStringRef inValue);
    bool AddArray(CFStringRef inKey, CFArrayRef inValue);
    bool AddDictionary(CFStringRef inKey, CFDictionaryRef inValue);
    bool AddData(CFStringRef inKey, CFDataRef inValue);
    bool AddURL(CFStringRef inKey, CFURLRef inValue);
    bool AddCFType(CFStringRef inKey, CFTypeRef inValue);
    bool AddCString(CFStringRef inKey, const char* inValue);
    bool AddCFTypeWithCStringKey(const char* inKey, CFTypeRef inValue);

private:
    void Assign(CFDictionaryRef inDictionary, bool inMutable);
    CFTypeRef Value(CFStringRef inKey, CFTypeID inType) const;
    bool AddNewValue(CFStringRef inKey, CFTypeRef inCreated);

    CFDictionaryRef mCFDictionary = nullptr;
    bool mWillRelease = true;
    bool mMutable = true;
};

// A holder of one CFArray (the same ownership rules).
class CACFArray {
public:
    CACFArray() = default;
    CACFArray(CFArrayRef inArray, bool inWillRelease)
        : mCFArray(inArray), mWillRelease(inWillRelease) {}
    CACFArray(const CACFArray& inOther);
    ~CACFArray();
    CACFArray& operator=(const CACFArray& inOther);
    CACFArray& operator=(CFArrayRef inArray);

    bool IsValid() const { return mCFArray != nullptr; }
    bool IsMutable() const { return mMutable; }
    bool WillRelease() const { return mWillRelease; }
    CFArrayRef GetCFArray() const { return mCFArray; }
    UInt32 GetNumberItems() const { return mCFArray ? UInt32(CFArrayGetCount(mCFArray)) : 0; }

private:
    CFArrayRef mCFArray = nullptr;
    bool mWillRelease = true;
    bool mMutable = false;
};
