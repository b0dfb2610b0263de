// Preference domains of the current user, for any host: one XML property
// list per domain ("<domain>.plist") in the emulated user's Preferences
// folder (hx::sys::userPreferencesFolder) under the path root, shared by
// every process of the simulated machine.
//
// Sets and removals stay in this process until Synchronize, which locks
// "<domain>.plist.lock" beside the file, re-reads the file, applies only this
// process's own changes, and writes a temporary file renamed over it. Reads
// see another process's synchronised changes. A malformed, binary or
// oversized file is logged once, read as empty and set aside as "*.bad"
// before the next write.
//
// The app-value forms with kCFPreferencesCurrentApplication use the main
// bundle's identifier (CFBundleGetMainBundle); without one they do nothing.
// Other users and hosts than (current user, any host) are not kept.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFString.h"

// Constant keys are constant strings, valid even in another file's static
// initialisers.
#define kCFPreferencesAnyApplication CFSTR("kCFPreferencesAnyApplication")
#define kCFPreferencesCurrentApplication CFSTR("kCFPreferencesCurrentApplication")
#define kCFPreferencesAnyHost CFSTR("kCFPreferencesAnyHost")
#define kCFPreferencesCurrentHost CFSTR("kCFPreferencesCurrentHost")
#define kCFPreferencesAnyUser CFSTR("kCFPreferencesAnyUser")
#define kCFPreferencesCurrentUser CFSTR("kCFPreferencesCurrentUser")

extern "C" {
// value null removes the key.
void CFPreferencesSetValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID,
                           CFStringRef userName, CFStringRef hostName);
CFPropertyListRef CFPreferencesCopyValue(CFStringRef key, CFStringRef applicationID,
                                         CFStringRef userName, CFStringRef hostName);
Boolean CFPreferencesSynchronize(CFStringRef applicationID, CFStringRef userName,
                                 CFStringRef hostName);
CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName);

void CFPreferencesSetAppValue(CFStringRef key, CFPropertyListRef value, CFStringRef applicationID);
CFPropertyListRef CFPreferencesCopyAppValue(CFStringRef key, CFStringRef applicationID);
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);
CFIndex CFPreferencesGetAppIntegerValue(CFStringRef key, CFStringRef applicationID,
                                        Boolean* keyExistsAndHasValidFormat);
Boolean CFPreferencesGetAppBooleanValue(CFStringRef key, CFStringRef applicationID,
                                        Boolean* keyExistsAndHasValidFormat);
}
