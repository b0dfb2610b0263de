#include "plugins/server/CACFDictionary.h"

#include <cmath>
#include <cstdlib>

#include "plugins/server/CACFString.h"

namespace {

// Numbers read through the platform's conversion, which saturates out of
// range and reads NaN as 0; its exactness answer does not matter here.
template <class T> T readNumber(CFNumberRef number, CFNumberType type) {
    T value{};
    CFNumberGetValue(number, type, &value);
    return value;
}

} // namespace

CACFDictionary::CACFDictionary(bool inWillRelease)
    : mCFDictionary(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks)),
      mWillRelease(inWillRelease), mMutable(true) {}

CACFDictionary::CACFDictionary(CFDictionaryRef inDictionary, bool inWillRelease)
    : mCFDictionary(inDictionary), mWillRelease(inWillRelease), mMutable(false) {}

CACFDictionary::CACFDictionary(CFMutableDictionaryRef inDictionary, bool inWillRelease)
    : mCFDictionary(inDictionary), mWillRelease(inWillRelease), mMutable(true) {}

CACFDictionary::CACFDictionary(const CACFDictionary& inOther)
    : mCFDictionary(inOther.mCFDictionary), mWillRelease(inOther.mWillRelease),
      mMutable(inOther.mMutable) {
    if (mWillRelease && mCFDictionary) CFRetain(mCFDictionary);
}

CACFDictionary::~CACFDictionary() {
    if (mWillRelease && mCFDictionary) CFRelease(mCFDictionary);
}

CACFDictionary& CACFDictionary::operator=(const CACFDictionary& inOther) {
    if (this == &inOther) return *this;
    if (inOther.mWillRelease && inOther.mCFDictionary) CFRetain(inOther.mCFDictionary);
    if (mWillRelease && mCFDictionary) CFRelease(mCFDictionary);
    mCFDictionary = inOther.mCFDictionary;
    mWillRelease = inOther.mWillRelease;
    mMutable = inOther.mMutable;
    return *this;
}

CACFDictionary& CACFDictionary::operator=(CFDictionaryRef inDictionary) {
    Assign(inDictionary, false);
    return *this;
}

CACFDictionary& CACFDictionary::operator=(CFMutableDictionaryRef inDictionary) {
    Assign(inDictionary, true);
    return *this;
}

void CACFDictionary::Assign(CFDictionaryRef inDictionary, bool inMutable) {
    if (mWillRelease) {
        // Retain first: the new dictionary may be the one held now.
        if (inDictionary) CFRetain(inDictionary);
        if (mCFDictionary) CFRelease(mCFDictionary);
    }
    mCFDictionary = inDictionary;
    mMutable = inMutable;
}

CFDictionaryRef CACFDictionary::CopyCFDictionary() const {
    if (mCFDictionary) CFRetain(mCFDictionary);
    return mCFDictionary;
}

bool CACFDictionary::HasKey(CFStringRef inKey) const {
    return mCFDictionary && inKey && CFDictionaryContainsKey(mCFDictionary, inKey);
}

UInt32 CACFDictionary::Size() const {
    return mCFDictionary ? UInt32(CFDictionaryGetCount(mCFDictionary)) : 0;
}

void CACFDictionary::GetKeys(const void** keys) const {
    if (mCFDictionary) CFDictionaryGetKeysAndValues(mCFDictionary, keys, nullptr);
}

void CACFDictionary::GetKeysAndValues(const void** keys, const void** values) const {
    if (mCFDictionary) CFDictionaryGetKeysAndValues(mCFDictionary, keys, values);
}

CFTypeRef CACFDictionary::Value(CFStringRef inKey, CFTypeID inType) const {
    if (!mCFDictionary || !inKey) return nullptr;
    CFTypeRef value = CFDictionaryGetValue(mCFDictionary, inKey);
    if (!value || CFGetTypeID(value) != inType) return nullptr;
    return value;
}

bool CACFDictionary::GetBool(CFStringRef inKey, bool& outValue) const {
    if (CFTypeRef b = Value(inKey, CFBooleanGetTypeID())) {
        outValue = CFBooleanGetValue(static_cast<CFBooleanRef>(b));
        return true;
    }
    if (CFTypeRef n = Value(inKey, CFNumberGetTypeID())) {
        outValue = readNumber<SInt32>(static_cast<CFNumberRef>(n), kCFNumberSInt32Type) != 0;
        return true;
    }
    return false;
}

bool CACFDictionary::GetSInt32(CFStringRef inKey, SInt32& outValue) const {
    CFTypeRef n = Value(inKey, CFNumberGetTypeID());
    if (!n) return false;
    outValue = readNumber<SInt32>(static_cast<CFNumberRef>(n), kCFNumberSInt32Type);
    return true;
}

bool CACFDictionary::GetUInt32(CFStringRef inKey, UInt32& outValue) const {
    SInt32 value = 0;
    if (!GetSInt32(inKey, value)) return false;
    outValue = UInt32(value);
    return true;
}

bool CACFDictionary::GetSInt64(CFStringRef inKey, SInt64& outValue) const {
    CFTypeRef n = Value(inKey, CFNumberGetTypeID());
    if (!n) return false;
    outValue = readNumber<SInt64>(static_cast<CFNumberRef>(n), kCFNumberSInt64Type);
    return true;
}

bool CACFDictionary::GetUInt64(CFStringRef inKey, UInt64& outValue) const {
    SInt64 value = 0;
    if (!GetSInt64(inKey, value)) return false;
    outValue = UInt64(value);
    return true;
}

bool CACFDictionary::GetFloat32(CFStringRef inKey, Float32& outValue) const {
    CFTypeRef n = Value(inKey, CFNumberGetTypeID());
    if (!n) return false;
    outValue = readNumber<Float32>(static_cast<CFNumberRef>(n), kCFNumberFloat32Type);
    return true;
}

bool CACFDictionary::GetFloat64(CFStringRef inKey, Float64& outValue) const {
    CFTypeRef n = Value(inKey, CFNumberGetTypeID());
    if (!n) return false;
    outValue = readNumber<Float64>(static_cast<CFNumberRef>(n), kCFNumberFloat64Type);
    return true;
}

bool CACFDictionary::GetFixed32(CFStringRef inKey, Float32& outValue) const {
    SInt32 value = 0;
    if (!GetSInt32(inKey, value)) return false;
    // The magnitude in 64 bits: the most negative 32-bit value has no
    // positive 32-bit counterpart.
    const Float32 sign = value < 0 ? -1.0f : 1.0f;
    const SInt64 magnitude = std::llabs(SInt64(value));
    const Float32 whole = Float32((magnitude >> 16) & 0x7FFF);
    const Float32 fraction = Float32(magnitude & 0xFFFF) / 65536.0f;
    outValue = sign * (whole + fraction);
    return true;
}

bool CACFDictionary::GetFixed64(CFStringRef inKey, Float64& outValue) const {
    SInt64 value = 0;
    if (!GetSInt64(inKey, value)) return false;
    const SInt32 whole = SInt32(UInt32(UInt64(value) >> 32));
    const UInt32 fraction = UInt32(UInt64(value) & 0xFFFFFFFFu);
    outValue = Float64(whole) + Float64(fraction) / 4294967296.0;
    return true;
}

bool CACFDictionary::Get4CC(CFStringRef inKey, UInt32& outValue) const {
    SInt32 number = 0;
    if (GetSInt32(inKey, number)) {
        outValue = UInt32(number);
        return true;
    }
    CFTypeRef s = Value(inKey, CFStringGetTypeID());
    if (!s || CFStringGetLength(static_cast<CFStringRef>(s)) != 4) return false;
    char text[5] = {};
    if (!CFStringGetCString(static_cast<CFStringRef>(s), text, sizeof text, kCFStringEncodingASCII))
        return false;
    outValue = UInt32(UInt8(text[0])) << 24 | UInt32(UInt8(text[1])) << 16 |
               UInt32(UInt8(text[2])) << 8 | UInt32(UInt8(text[3]));
    return true;
}

#define HX_CACF_TYPED_GETTER(Name, RefType, TypeIDCall)                                            \
    bool CACFDictionary::Name(CFStringRef inKey, RefType& outValue) const {                        \
        CFTypeRef value = Value(inKey, TypeIDCall());                                              \
        if (!value) return false;                                                                  \
        outValue = static_cast<RefType>(value);                                                    \
        return true;                                                                               \
    }

HX_CACF_TYPED_GETTER(GetString, CFStringRef, CFStringGetTypeID)
HX_CACF_TYPED_GETTER(GetArray, CFArrayRef, CFArrayGetTypeID)
HX_CACF_TYPED_GETTER(GetDictionary, CFDictionaryRef, CFDictionaryGetTypeID)
HX_CACF_TYPED_GETTER(GetData, CFDataRef, CFDataGetTypeID)
HX_CACF_TYPED_GETTER(GetURL, CFURLRef, CFURLGetTypeID)
#undef HX_CACF_TYPED_GETTER

bool CACFDictionary::GetCFType(CFStringRef inKey, CFTypeRef& outValue) const {
    if (!mCFDictionary || !inKey) return false;
    outValue = CFDictionaryGetValue(mCFDictionary, inKey);
    return outValue != nullptr;
}

bool CACFDictionary::GetCFTypeWithCStringKey(const char* inKey, CFTypeRef& outValue) const {
    if (!mCFDictionary || !inKey) return false;
    CFStringRef key = CFStringCreateWithCString(nullptr, inKey, kCFStringEncodingASCII);
    if (!key) return false;
    const bool found = GetCFType(key, outValue);
    CFRelease(key);
    return found;
}

void CACFDictionary::GetCACFString(CFStringRef inKey, CACFString& outValue) const {
    outValue = static_cast<CFStringRef>(nullptr);
    CFStringRef value = nullptr;
    if (GetString(inKey, value)) outValue = value;
}

void CACFDictionary::GetCACFArray(CFStringRef inKey, CACFArray& outValue) const {
    outValue = static_cast<CFArrayRef>(nullptr);
    CFArrayRef value = nullptr;
    if (GetArray(inKey, value)) outValue = value;
}

void CACFDictionary::GetCACFDictionary(CFStringRef inKey, CACFDictionary& outValue) const {
    outValue = static_cast<CFDictionaryRef>(nullptr);
    CFDictionaryRef value = nullptr;
    if (GetDictionary(inKey, value)) outValue = value;
}

bool CACFDictionary::AddCFType(CFStringRef inKey, CFTypeRef inValue) {
    if (!CanModify() || !inKey || !inValue) return false;
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(mCFDictionary), inKey, inValue);
    return true;
}

// Stores a value made for the call; the dictionary keeps the only
// reference.
bool CACFDictionary::AddNewValue(CFStringRef inKey, CFTypeRef inCreated) {
    const bool added = AddCFType(inKey, inCreated);
    if (inCreated) CFRelease(inCreated);
    return added;
}

bool CACFDictionary::AddBool(CFStringRef inKey, bool inValue) {
    return AddCFType(inKey, inValue ? kCFBooleanTrue : kCFBooleanFalse);
}

bool CACFDictionary::AddSInt32(CFStringRef inKey, SInt32 inValue) {
    if (!CanModify()) return false;
    return AddNewValue(inKey, CFNumberCreate(nullptr, kCFNumberSInt32Type, &inValue));
}

bool CACFDictionary::AddUInt32(CFStringRef inKey, UInt32 inValue) {
    return AddSInt32(inKey, SInt32(inValue));
}

bool CACFDictionary::AddSInt64(CFStringRef inKey, SInt64 inValue) {
    if (!CanModify()) return false;
    return AddNewValue(inKey, CFNumberCreate(nullptr, kCFNumberSInt64Type, &inValue));
}

bool CACFDictionary::AddUInt64(CFStringRef inKey, UInt64 inValue) {
    return AddSInt64(inKey, SInt64(inValue));
}

bool CACFDictionary::AddFloat32(CFStringRef inKey, Float32 inValue) {
    if (!CanModify()) return false;
    return AddNewValue(inKey, CFNumberCreate(nullptr, kCFNumberFloat32Type, &inValue));
}

bool CACFDictionary::AddFloat64(CFStringRef inKey, Float64 inValue) {
    if (!CanModify()) return false;
    return AddNewValue(inKey, CFNumberCreate(nullptr, kCFNumberFloat64Type, &inValue));
}

bool CACFDictionary::AddNumber(CFStringRef inKey, CFNumberRef inValue) {
    return AddCFType(inKey, inValue);
}
bool CACFDictionary::AddString(CFStringRef inKey, CFStringRef inValue) {
    return AddCFType(inKey, inValue);
}
bool CACFDictionary::AddArray(CFStringRef inKey, CFArrayRef inValue) {
    return AddCFType(inKey, inValue);
}
bool CACFDictionary::AddDictionary(CFStringRef inKey, CFDictionaryRef inValue) {
    return AddCFType(inKey, inValue);
}
bool CACFDictionary::AddData(CFStringRef inKey, CFDataRef inValue) {
    return AddCFType(inKey, inValue);
}
bool CACFDictionary::AddURL(CFStringRef inKey, CFURLRef inValue) {
    return AddCFType(inKey, inValue);
}

bool CACFDictionary::AddCString(CFStringRef inKey, const char* inValue) {
    if (!CanModify() || !inValue) return false;
    return AddNewValue(inKey, CFStringCreateWithCString(nullptr, inValue, kCFStringEncodingASCII));
}

bool CACFDictionary::AddCFTypeWithCStringKey(const char* inKey, CFTypeRef inValue) {
    if (!CanModify() || !inKey || !inValue) return false;
    CFStringRef key = CFStringCreateWithCString(nullptr, inKey, kCFStringEncodingASCII);
    if (!key) return false;
    const bool added = AddCFType(key, inValue);
    CFRelease(key);
    return added;
}

CACFArray::CACFArray(const CACFArray& inOther)
    : mCFArray(inOther.mCFArray), mWillRelease(inOther.mWillRelease), mMutable(inOther.mMutable) {
    if (mWillRelease && mCFArray) CFRetain(mCFArray);
}

CACFArray::~CACFArray() {
    if (mWillRelease && mCFArray) CFRelease(mCFArray);
}

CACFArray& CACFArray::operator=(const CACFArray& inOther) {
    if (this != &inOther) *this = inOther.mCFArray;
    return *this;
}

CACFArray& CACFArray::operator=(CFArrayRef inArray) {
    if (mWillRelease) {
        if (inArray) CFRetain(inArray);
        if (mCFArray) CFRelease(mCFArray);
    }
    mCFArray = inArray;
    mMutable = false;
    return *this;
}
