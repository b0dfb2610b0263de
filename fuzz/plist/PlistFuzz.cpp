// Property-list reader on arbitrary bytes: whatever it accepts is written,
// read again and must come back equal; writing that must give the same
// text again.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/cf/CoreFoundation.h"

namespace {

CFDataRef write(CFPropertyListRef p) {
    return CFPropertyListCreateData(nullptr, p, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CFDataRef input = CFDataCreate(nullptr, data, CFIndex(size));
    CFPropertyListRef first = CFPropertyListCreateWithData(
        nullptr, input, kCFPropertyListMutableContainersAndLeaves, nullptr, nullptr);
    CFRelease(input);
    if (!first) return 0;
    CFDataRef text = write(first);
    if (!text) __builtin_trap(); // everything the reader makes, the writer writes
    CFPropertyListRef second =
        CFPropertyListCreateWithData(nullptr, text, kCFPropertyListImmutable, nullptr, nullptr);
    if (!second || !CFEqual(first, second) || !CFEqual(second, first)) __builtin_trap();
    CFDataRef again = write(second);
    if (!again || CFDataGetLength(again) != CFDataGetLength(text) ||
        std::memcmp(CFDataGetBytePtr(again), CFDataGetBytePtr(text),
                    std::size_t(CFDataGetLength(text))) != 0)
        __builtin_trap();
    CFRelease(again);
    CFRelease(second);
    CFRelease(text);
    CFRelease(first);
    return 0;
}
