// Property lists: trees of dictionaries, arrays, strings, data, numbers and
// booleans, read from and written as XML documents (version 1.0 format).
//
// Documents are untrusted: one nested deeper than kHXPropertyListMaxDepth,
// with an integer outside 64 signed bits, in binary form or otherwise
// malformed is refused whole. Dates are not part of this subset.
#pragma once

#include "platform/cf/CFBase.h"

typedef CFOptionFlags CFPropertyListMutabilityOptions;
enum {
    kCFPropertyListImmutable = 0,
    kCFPropertyListMutableContainers = 1,
    kCFPropertyListMutableContainersAndLeaves = 2
};

typedef CFIndex CFPropertyListFormat;
enum {
    kCFPropertyListOpenStepFormat = 1,
    kCFPropertyListXMLFormat_v1_0 = 100,
    kCFPropertyListBinaryFormat_v1_0 = 200
};

// Containers nested deeper than this are refused, reading and writing.
enum { kHXPropertyListMaxDepth = 128 };

extern "C" {
// The error forms answer no error object: *error is set to null.
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                               CFOptionFlags options, CFPropertyListFormat* format,
                                               CFErrorRef* error);
CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags options,
                                   CFErrorRef* error);
// The older forms; errorString (when asked) receives a description the
// caller releases.
CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString);
CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);
CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator,
                                               CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption);
Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);
}
