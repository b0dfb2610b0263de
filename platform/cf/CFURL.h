// File URLs. A URL holds a path of the other system ("/Users/Shared/..."),
// which reaches the file system under the path root (platform/base HXPath.h).
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFString.h"

typedef CFIndex CFURLPathStyle;
enum { kCFURLPOSIXPathStyle = 0 };

// Error codes of CFURLWriteDataAndPropertiesToResource.
enum {
    kCFURLUnknownError = -10,
    kCFURLUnknownSchemeError = -11,
    kCFURLResourceNotFoundError = -12,
    kCFURLResourceAccessViolationError = -13,
    kCFURLRemoteHostUnavailableError = -14,
    kCFURLImproperArgumentsError = -15,
    kCFURLUnknownPropertyKeyError = -16,
    kCFURLPropertyKeyUnavailableError = -17,
    kCFURLTimeoutError = -18
};

// Resource property: the POSIX mode (a number) given to a written file or
// folder. Set-user-id and set-group-id bits are never applied.
#define kCFURLFilePOSIXMode CFSTR("kCFURLFilePOSIXMode")

extern "C" {
CFTypeID CFURLGetTypeID(void);
CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                       CFURLPathStyle pathStyle, Boolean isDirectory);
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                 CFIndex bufLen, Boolean isDirectory);
CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                               CFStringRef pathComponent, Boolean isDirectory);
CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);
// The path of the other system.
CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
CFStringRef CFURLGetString(CFURLRef anURL);
Boolean CFURLHasDirectoryPath(CFURLRef anURL);
// The path on this machine (under the root), NUL-terminated.
Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                         CFIndex maxBufLen);
// A folder URL creates the folder (and missing parents); a file URL writes
// the data through a temporary file and a rename, so a failed write keeps
// the earlier file. properties may carry kCFURLFilePOSIXMode.
Boolean CFURLWriteDataAndPropertiesToResource(CFURLRef url, CFDataRef dataToWrite,
                                              CFDictionaryRef propertiesToWrite, SInt32* errorCode);
// Reads a file URL's bytes (at most 64 MiB); properties are not supported.
Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef alloc, CFURLRef url,
                                                 CFDataRef* resourceData,
                                                 CFDictionaryRef* properties,
                                                 CFArrayRef desiredProperties, SInt32* errorCode);
}
