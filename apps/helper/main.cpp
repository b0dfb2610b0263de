// HXHelper: runs without a window while the user is logged in. The main
// thread performs initApp from its run loop and runs that loop for the life
// of the process; SIGTERM ends it.
#include <cstdio>

#include "apps/helper/AppObject.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/HXCF.h"
#include "platform/iokit/HXIOKit.h"

namespace {

void performInitApp(void* info) {
    static_cast<AppObject*>(info)->initApp();
}

} // namespace

int main() {
    // Each printed line reaches a log file as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    hx::cf::setMainThread();
    auto* app = new AppObject();
    CFRunLoopSourceContext context{};
    context.info = app;
    context.perform = performInitApp;
    CFRunLoopSourceRef init = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    CFRunLoopAddSource(CFRunLoopGetMain(), init, kCFRunLoopDefaultMode);
    CFRunLoopSourceSignal(init);
    CFRunLoopRun();
    CFRunLoopSourceInvalidate(init);
    CFRelease(init);
    delete app;
    return 0;
}
