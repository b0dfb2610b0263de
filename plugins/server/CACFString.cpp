#include "plugins/server/CACFString.h"

#include <algorithm>

CACFString::CACFString(const CACFString& inOther)
    : mCFString(inOther.mCFString), mWillRelease(inOther.mWillRelease) {
    if (mWillRelease && mCFString) CFRetain(mCFString);
}

CACFString::~CACFString() {
    if (mWillRelease && mCFString) CFRelease(mCFString);
}

CACFString& CACFString::operator=(const CACFString& inOther) {
    if (this != &inOther) *this = inOther.mCFString;
    return *this;
}

CACFString& CACFString::operator=(CFStringRef inString) {
    if (mCFString != inString) {
        if (mWillRelease && mCFString) CFRelease(mCFString);
        mCFString = inString;
        if (mCFString) CFRetain(mCFString);
    } else if (!mWillRelease && mCFString) {
        // Becoming the owner of a string it only borrowed.
        CFRetain(mCFString);
    }
    mWillRelease = true;
    return *this;
}

CFStringRef CACFString::CopyCFString() const {
    if (mCFString) CFRetain(mCFString);
    return mCFString;
}

UInt32 CACFString::GetStringByteLength(CFStringRef inCFString, CFStringEncoding inEncoding) {
    if (!inCFString) return 0;
    CFIndex used = 0;
    const CFRange whole = CFRangeMake(0, CFStringGetLength(inCFString));
    CFStringGetBytes(inCFString, whole, inEncoding, 0, false, nullptr, 0, &used);
    return UInt32(used);
}

void CACFString::GetCString(CFStringRef inCFString, char* outString, UInt32& ioStringSize,
                            CFStringEncoding inEncoding) {
    if (ioStringSize == 0) return;
    if (!inCFString) {
        outString[0] = 0;
        ioStringSize = 1;
        return;
    }
    CFIndex used = 0;
    const CFRange whole = CFRangeMake(0, CFStringGetLength(inCFString));
    CFStringGetBytes(inCFString, whole, inEncoding, 0, false, reinterpret_cast<UInt8*>(outString),
                     CFIndex(ioStringSize - 1), &used);
    outString[used] = 0;
    ioStringSize = UInt32(used + 1);
}

void CACFString::GetUnicodeString(CFStringRef inCFString, UInt16* outUString,
                                  UInt32& ioUStringSize) {
    if (ioUStringSize == 0) return;
    if (!inCFString) {
        outUString[0] = 0;
        ioUStringSize = 0;
        return;
    }
    const CFIndex count = std::min<CFIndex>(CFIndex(ioUStringSize), CFStringGetLength(inCFString));
    CFStringGetCharacters(inCFString, CFRangeMake(0, count), outUString);
    ioUStringSize = UInt32(count);
}
