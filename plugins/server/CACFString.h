// A holder of one CFString, and the conversions the plug-in uses to turn CF
// strings into C and UTF-16 text.
#pragma once

#include "platform/cf/CoreFoundation.h"

class CACFString {
public:
    CACFString() = default;
    // Takes over the caller's reference when inWillRelease is set.
    explicit CACFString(CFStringRef inString, bool inWillRelease = true)
        : mCFString(inString), mWillRelease(inWillRelease) {}
    CACFString(const CACFString& inOther);
    ~CACFString();

    CACFString& operator=(const CACFString& inOther);
    // Releases what it owned (when different), retains the new string and
    // owns it.
    CACFString& operator=(CFStringRef inString);

    bool IsValid() const { return mCFString != nullptr; }
    bool WillRelease() const { return mWillRelease; }
    CFStringRef GetCFString() const { return mCFString; }
    CFStringRef CopyCFString() const;

    // Bytes the whole string converts to (stopping at the first character
    // without a form); 0 for null.
    static UInt32 GetStringByteLength(CFStringRef inCFString, CFStringEncoding inEncoding);
    // ioLength: the buffer size in, the bytes written with the NUL out.
    static void GetCString(CFStringRef inCFString, char* outString, UInt32& ioStringSize,
                           CFStringEncoding inEncoding);
    // ioLength: capacity in UTF-16 units in, units copied (no NUL) out.
    static void GetUnicodeString(CFStringRef inCFString, UInt16* outUString, UInt32& ioUStringSize);

private:
    CFStringRef mCFString = nullptr;
    bool mWillRelease = true;
};
