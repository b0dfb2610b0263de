// The audio server plug-in's factory and driver interface: the bundle's one
// exported function, QnASPlugInCreate, hands the host the driver reference;
// every entry of the 23-slot interface checks that reference and its
// pointer arguments, finds the addressed object through the object map,
// runs the object's operation, releases the object and answers whatever was
// thrown as the status.
#pragma once

#include "platform/cf/CFUUID.h"
#include "platform/coreaudio/AudioServerPlugIn.h"

// The DJ application AddDeviceClient refuses (compared ignoring case).
inline constexpr const char* kQnPlatterBundleID = "com.platterdj.platter";

extern "C" __attribute__((visibility("default"))) void*
QnASPlugInCreate(CFAllocatorRef inAllocator, CFUUIDRef inRequestedTypeUUID);
