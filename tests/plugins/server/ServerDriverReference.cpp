#include "tests/plugins/server/ServerDriverReference.h"

#include "platform/cf/CoreFoundation.h"
#include "plugins/server/QnASPlugInDriver.h"

namespace hx::test {

AudioServerPlugInDriverRef serverDriverReference() {
    CFStringRef typeText =
        CFStringCreateWithCString(nullptr, kAudioServerPlugInTypeUUIDText, kCFStringEncodingASCII);
    CFUUIDRef type = CFUUIDCreateFromString(nullptr, typeText);
    auto driver = static_cast<AudioServerPlugInDriverRef>(QnASPlugInCreate(nullptr, type));
    CFRelease(type);
    CFRelease(typeText);
    return driver;
}

} // namespace hx::test
