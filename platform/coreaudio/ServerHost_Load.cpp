// The server host's loading of a plug-in bundle: the process identity
// first, then the bundle's factory for the server plug-in type.
#include <filesystem>
#include <syslog.h>

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/cf/CFPlugIn.h"
#include "platform/cf/CoreFoundation.h"
#include "platform/coreaudio/ServerHost.h"
#include "platform/coreaudio/ServerHostImpl.h"
#include "platform/sys/HXProcess.h"

namespace hx::coreaudio {

namespace {

constexpr OSStatus kUnspecified = OSStatus(0x77686174); // 'what'

CFUUIDRef serverPlugInType() {
    CFStringRef text =
        CFStringCreateWithCString(nullptr, kAudioServerPlugInTypeUUIDText, kCFStringEncodingASCII);
    CFUUIDRef type = CFUUIDCreateFromString(nullptr, text);
    CFRelease(text);
    return type;
}

} // namespace

bool ServerHost::installBundle(const std::string& builtBundle) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path from(builtBundle);
    const fs::path to = fs::path(hx::path::map(kServerPlugInFolder)) / from.filename();
    fs::create_directories(to.parent_path(), ec);
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    if (ec)
        hx::log::format("server host: cannot install %s: %s\n", builtBundle.c_str(),
                        ec.message().c_str());
    return !ec;
}

OSStatus ServerHost::load(const std::string& bundlePath) {
    if (mImpl->driver || mImpl->down) return kAudioHardwareIllegalOperationError;
    if (!mImpl->options.release.empty()) hx::sys::setEmulatedRelease(mImpl->options.release);
    CFUUIDRef type = serverPlugInType();
    std::string bundle = bundlePath;
    if (bundle.empty()) {
        const std::vector<std::string> found = hx::cf::plugInsForType(kServerPlugInFolder, type);
        if (found.empty()) {
            hx::log::format("server host: no server plug-in in %s\n", kServerPlugInFolder);
            CFRelease(type);
            return kUnspecified;
        }
        bundle = found.front();
    }
    const hx::cf::LoadedFactory factory = hx::cf::loadFactory(bundle, type);
    void* made = factory.function ? factory.function(nullptr, type) : nullptr;
    CFRelease(type);
    if (!made) {
        hx::log::format("server host: the factory of %s made no driver\n", bundle.c_str());
        return kUnspecified;
    }
    return loadDriver(static_cast<AudioServerPlugInDriverRef>(made));
}

} // namespace hx::coreaudio
