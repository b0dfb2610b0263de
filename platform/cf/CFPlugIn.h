// Plug-in factories: a bundle names its factories in its Info dictionary
// ("CFPlugInFactories": factory UUID -> function name; "CFPlugInTypes":
// type UUID -> [factory UUIDs]), and its executable
// ("Contents/MacOS/<CFBundleExecutable>") is a shared library exporting
// those functions. Both audio hosts load their plug-ins through here.
//
// Loading opens the executable with RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE:
// every symbol resolves at once, none leaks into the host's namespace, and
// the code stays mapped for the life of the process (a plug-in's libraries
// may keep threads or callbacks that have no end call). The library links
// the shared platform libraries the host has already loaded, so it uses the
// host's platform, not a copy.
//
// Each factory instance a plug-in makes announces itself with
// CFPlugInAddInstanceForFactory and goes with CFPlugInRemoveInstanceForFactory;
// the count per factory UUID is readable.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/cf/CFUUID.h"

#include <string>
#include <vector>

extern "C" {
void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID);
void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID);
}

namespace hx::cf {

// Live instances announced for a factory UUID (0 for an unknown one).
long plugInInstanceCount(CFUUIDRef factoryID);

// The signature of a factory function: (allocator, requested type) -> the
// instance's interface reference or null.
typedef void* (*PlugInFactoryFunction)(CFAllocatorRef allocator, CFUUIDRef typeID);

// One factory of a bundle for a type.
struct PlugInFactory {
    std::string factoryID; // the UUID's text as the Info dictionary gives it
    std::string function;  // the exported function's name
};

// The factories a bundle (a path of the other system, under the root) lists
// for a type, in the order of its "CFPlugInTypes" entry; only those
// "CFPlugInFactories" names. The Info file is read afresh.
std::vector<PlugInFactory> factoriesForType(const std::string& bundlePath, CFUUIDRef typeID);

// The bundles one level deep in a folder (a path of the other system)
// listing at least one factory for the type, in name order.
std::vector<std::string> plugInsForType(const std::string& folder, CFUUIDRef typeID);

// A factory found in a loaded executable.
struct LoadedFactory {
    void* library = nullptr; // the dlopen handle (never closed)
    PlugInFactoryFunction function = nullptr;
    std::string factoryID;
    std::string error; // why nothing was loaded
};

// Loads the bundle's executable and finds its first factory for the type.
// On failure function is null and error says why (also logged).
LoadedFactory loadFactory(const std::string& bundlePath, CFUUIDRef typeID);

} // namespace hx::cf
