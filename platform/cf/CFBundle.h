// Bundles and their Info dictionaries.
//
// A bundle is a folder under the path root holding "Contents/Info.plist"
// (or "Info.plist"). CFBundleGetBundleWithIdentifier finds the bundles a
// program or test registered (hx::cf::registerBundle) and those installed
// one level deep in the usual folders under the root (the HAL plug-in and
// component folders, extensions, frameworks, applications). An
// Info file that cannot be read gives an empty Info dictionary and one log
// line naming it.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFString.h"

// Constant keys are constant strings, valid even in another file's static
// initialisers.
#define kCFBundleIdentifierKey CFSTR("CFBundleIdentifier")
#define kCFBundleNameKey CFSTR("CFBundleName")
#define kCFBundleVersionKey CFSTR("CFBundleVersion")
#define kCFBundleExecutableKey CFSTR("CFBundleExecutable")
#define kCFBundleInfoDictionaryVersionKey CFSTR("CFBundleInfoDictionaryVersion")

extern "C" {
CFTypeID CFBundleGetTypeID(void);
// The program's own bundle; its identifier is what the program set at
// start (hx::cf::setMainBundleIdentifier), else none.
CFBundleRef CFBundleGetMainBundle(void);
// Not retained: a found bundle lives as long as the process.
CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
}
