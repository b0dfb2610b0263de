// UUIDs: 16 bytes, made from bytes or from their text form
// ("F8BB1C28-BAE8-11D6-9C31-00039315CD46", either case). Two UUIDs with the
// same bytes are CFEqual. A constant UUID is one immortal object per byte
// pattern, valid for the life of the process.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFString.h"

typedef const struct HXCFUUID* CFUUIDRef;

struct CFUUIDBytes {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};
static_assert(sizeof(CFUUIDBytes) == 16);

extern "C" {
CFTypeID CFUUIDGetTypeID(void);
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
CFUUIDRef CFUUIDCreateWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1, UInt8 byte2,
                                UInt8 byte3, UInt8 byte4, UInt8 byte5, UInt8 byte6, UInt8 byte7,
                                UInt8 byte8, UInt8 byte9, UInt8 byte10, UInt8 byte11, UInt8 byte12,
                                UInt8 byte13, UInt8 byte14, UInt8 byte15);
// Null when the text is not a UUID.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, CFStringRef uuidStr);
// Not retained; never released.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1,
                                         UInt8 byte2, UInt8 byte3, UInt8 byte4, UInt8 byte5,
                                         UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15);
// All zero for a null or wrong-typed reference.
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
// Upper-case text with dashes; null for a non-UUID.
CFStringRef CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
}
