// Byte buffers, fixed or growing.
#pragma once

#include "platform/cf/CFBase.h"

extern "C" {
CFTypeID CFDataGetTypeID(void);
CFDataRef CFDataCreate(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length);
CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef alloc, const UInt8* bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator);
CFDataRef CFDataCreateCopy(CFAllocatorRef alloc, CFDataRef theData);
CFMutableDataRef CFDataCreateMutable(CFAllocatorRef alloc, CFIndex capacity);
CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef alloc, CFIndex capacity, CFDataRef theData);
CFIndex CFDataGetLength(CFDataRef theData);
const UInt8* CFDataGetBytePtr(CFDataRef theData);
UInt8* CFDataGetMutableBytePtr(CFMutableDataRef theData);
// Copies the range; nothing when it lies outside the data.
void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8* buffer);
void CFDataSetLength(CFMutableDataRef theData, CFIndex length);
void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength);
void CFDataAppendBytes(CFMutableDataRef theData, const UInt8* bytes, CFIndex length);
void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8* newBytes,
                        CFIndex newLength);
void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range);
}
