// Base types of the property-list object model and the calls every object
// answers: retain/release, type ids, equality, hashing and descriptions.
//
// Objects are reference counted; a Create or Copy call hands its caller one
// reference. Every call accepts a null or wrong-typed reference and answers
// false, 0 or null instead of crashing (the suite reads settings and
// registry properties it cannot trust).
#pragma once

#include "platform/base/MacTypes.h"

#include <cstdarg>

typedef long CFIndex;
typedef unsigned long CFTypeID;
typedef unsigned long CFHashCode;
typedef unsigned long CFOptionFlags;
typedef const void* CFTypeRef;
typedef CFTypeRef CFPropertyListRef;
typedef UInt32 CFStringEncoding;
typedef double CFTimeInterval;
typedef CFTimeInterval CFAbsoluteTime;

typedef const struct HXCFAllocator* CFAllocatorRef;
typedef const struct HXCFString* CFStringRef;
typedef struct HXCFString* CFMutableStringRef;
typedef const struct HXCFNumber* CFNumberRef;
typedef const struct HXCFBoolean* CFBooleanRef;
typedef const struct HXCFData* CFDataRef;
typedef struct HXCFData* CFMutableDataRef;
typedef const struct HXCFArray* CFArrayRef;
typedef struct HXCFArray* CFMutableArrayRef;
typedef const struct HXCFDictionary* CFDictionaryRef;
typedef struct HXCFDictionary* CFMutableDictionaryRef;
typedef const struct HXCFURL* CFURLRef;
typedef struct HXCFBundle* CFBundleRef;
typedef struct HXCFError* CFErrorRef;

struct CFRange {
    CFIndex location;
    CFIndex length;
};
inline CFRange CFRangeMake(CFIndex location, CFIndex length) {
    return CFRange{location, length};
}

enum { kCFNotFound = -1 };

typedef CFIndex CFComparisonResult;
enum { kCFCompareLessThan = -1, kCFCompareEqualTo = 0, kCFCompareGreaterThan = 1 };

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

extern "C" {

// Allocators are accepted and ignored: every object comes from the C++ heap.
extern const CFAllocatorRef kCFAllocatorDefault; // null
extern const CFAllocatorRef kCFAllocatorSystemDefault;
extern const CFAllocatorRef kCFAllocatorMalloc;
extern const CFAllocatorRef kCFAllocatorNull;

CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFIndex CFGetRetainCount(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2);
CFHashCode CFHash(CFTypeRef cf);
CFStringRef CFCopyDescription(CFTypeRef cf);
// Writes the object's description and a newline to the log sink.
void CFShow(CFTypeRef obj);

// Seconds on the platform clock (platform/base HXClock.h), so timers and
// time stamps follow virtual time in tests.
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
}
