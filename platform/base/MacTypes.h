// Fixed-width types and result-code types of the host system, declared here
// from what the suite uses.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;
typedef float Float32;
typedef double Float64;
typedef unsigned char Boolean;
typedef int32_t OSStatus;
typedef int32_t OSErr;
typedef int kern_return_t;
typedef kern_return_t IOReturn;
typedef uint32_t FourCharCode;
typedef FourCharCode OSType;
typedef unsigned char Str255[256];
typedef UInt16 UniChar; // one UTF-16 code unit
