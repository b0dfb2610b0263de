// What a program (or a test) tells the property-list and run-loop stand-in
// about itself, and the seams tests use.
#pragma once

#include "platform/cf/CFBase.h"

#include <functional>
#include <string>

namespace hx::cf {

// ---- Process identity

// Makes the calling thread the main thread: CFRunLoopGetMain answers its
// loop from then on. By default the main thread is the process's first one.
void setMainThread();
// A process without a main run loop (tests of code that must cope with
// one): CFRunLoopGetMain answers null while set.
void setMainRunLoopAbsent(bool absent);
bool isMainThread();

// Run-loop sources and timers this process holds (made and not yet freed),
// so a test can show that nothing was left behind.
long liveRunLoopSourceCount();
long liveRunLoopTimerCount();

// A file-attribute dictionary holding only kCFURLFilePOSIXMode = mode, for
// the property-list writer; null when it cannot be made. The caller
// releases it.
CFMutableDictionaryRef posixModeAttributes(SInt32 mode);

// The program's bundle identifier, set at start; empty for none.
void setMainBundleIdentifier(const std::string& identifier);

// ---- Bundles

// Registers the bundle folder at otherPath (a path of the other system,
// under the root). Answers it (not retained), or null when the folder has
// no readable Info file with an identifier.
CFBundleRef registerBundle(const std::string& otherPath);
// ---- Files

// Test seam: when set and answering true for a file's path (on this
// machine), a write of that file fails after its temporary file was written
// and before the rename, as a full disk would. nullptr clears it.
void setWriteFailureHook(std::function<bool(const std::string& path)> hook);

// Forgets this process's cached preference domains and pending changes, as
// if the process had just started (tests switching roots).
void resetPreferences();

} // namespace hx::cf
