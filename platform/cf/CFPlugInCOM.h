// The COM-style conventions of plug-in interfaces: every interface starts
// with QueryInterface, AddRef and Release, interface IDs travel as UUID
// bytes, and results are HRESULTs.
#pragma once

#include "platform/cf/CFUUID.h"

typedef SInt32 HRESULT;
typedef UInt32 ULONG;
typedef void* LPVOID;
typedef CFUUIDBytes REFIID;

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = HRESULT(0x80000004);

// The base interface every plug-in interface answers.
#define IUnknownUUID                                                                               \
    CFUUIDGetConstantUUIDWithBytes(nullptr, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0,  \
                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
