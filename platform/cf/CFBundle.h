// Bundles and their Info dictionaries.
//
// A bundle is a folder under the path root holding "Contents/Info.plist"
// (or "Info.plist"). CFBundleGetBundleWithIdentifier finds the bundles a
// program or test registered (hx::cf::registerBundle) and those installed
// in the usual folders under the root (hx::cf::bundleSearchFolders). An
// Info file that cannot be read gives an empty Info dictionary and one log
// line naming it.
#pragma once

#include "platform/cf/CFBase.h"

extern "C" {
extern const CFStringRef kCFBundleIdentifierKey;
extern const CFStringRef kCFBundleNameKey;
extern const CFStringRef kCFBundleVersionKey;
extern const CFStringRef kCFBundleExecutableKey;
extern const CFStringRef kCFBundleInfoDictionaryVersionKey;

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
