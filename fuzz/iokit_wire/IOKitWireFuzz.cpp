// The kernel host protocol's decoders on arbitrary datagrams: the header,
// then the payload as the kind says (a call, a call reply, a notification
// record, a property tree). Whatever a decoder accepts must encode back to a
// payload that decodes to the same thing.
//
// The same payload is then read as the user end reads the host's reply to a
// request of that kind: taken or refused, never read past its end, and what
// a taken reply hands over keeps the reply's promises. The header's sequence
// stands for what the user's request said: whether a descriptor came with a
// Map reply, a USB request's direction and length, a call's output
// capacities.
#include <cstddef>
#include <cstdint>

#include "platform/cf/CFDictionary.h"
#include "platform/iokit/KernelHostWire.h"
#include "platform/iokit/UserReplies.h"

namespace wire = hx::iokit::wire;
namespace replies = hx::iokit::replies;
using hx::iokit::Handle;

namespace {

void checkCall(const std::vector<uint8_t>& payload) {
    wire::CallRequest c;
    if (!wire::decodeCall(payload, c)) return;
    if (wire::encodeCall(c) != payload) __builtin_trap();
    // The same bytes read as a reply to a call of the largest capacities.
    wire::CallRequest widest;
    widest.scalarOutputCapacity = wire::kMaxScalars;
    widest.structOutputCapacity = wire::kMaxStruct;
    wire::CallReply r;
    if (wire::decodeCallReply(payload, widest, r) && wire::encodeCallReply(r) != payload)
        __builtin_trap();
}

void checkRecord(const std::vector<uint8_t>& payload) {
    hx::iokit::NotificationRecord r;
    if (wire::decodeRecord(payload, r) && wire::encodeRecord(r) != payload) __builtin_trap();
}

void checkTree(const std::vector<uint8_t>& payload) {
    wire::Reader r(payload);
    CFTypeRef v = nullptr;
    if (!r.tree(&v)) {
        if (v) __builtin_trap(); // a refused tree leaves nothing behind
        return;
    }
    wire::Writer w;
    if (!w.tree(v)) __builtin_trap();
    wire::Reader again(w.data());
    CFTypeRef back = nullptr;
    if (!again.tree(&back) || !CFEqual(v, back)) __builtin_trap();
    CFRelease(back);
    CFRelease(v);
}

// A session reply carrying handles: all of them named, nothing else after
// the result and the count.
void checkHandles(const std::vector<uint8_t>& payload) {
    kern_return_t kr = 0;
    std::vector<Handle> hs;
    if (!replies::session(payload, kr, [&](wire::Reader& r) { return replies::handles(r, hs); }))
        return;
    if (payload.size() != 8 + 4 * hs.size()) __builtin_trap();
    for (Handle h : hs)
        if (h == 0) __builtin_trap();
}

// A tree reply: a taken one hands over its value (a dictionary for
// CopyProperties); a refused one may leave one read, released here as the
// transport does.
void checkTreeReply(const std::vector<uint8_t>& payload, bool dictionary) {
    kern_return_t kr = 0;
    CFTypeRef tree = nullptr;
    const bool ok = replies::session(payload, kr, [&](wire::Reader& r) {
        return dictionary ? replies::properties(r, &tree) : replies::property(r, &tree);
    });
    if (ok && dictionary && (!tree || CFGetTypeID(tree) != CFDictionaryGetTypeID()))
        __builtin_trap();
    if (ok && !dictionary && (payload.size() < 5 || (payload[4] == 1) != (tree != nullptr)))
        __builtin_trap();
    if (tree) CFRelease(tree);
}

void checkUserReply(const wire::Frame& f) {
    const std::vector<uint8_t>& p = f.payload;
    kern_return_t kr = 0;
    switch (f.kind) {
    case wire::kHello: {
        uint64_t token = 0;
        uint32_t task = 0;
        if (replies::sessionHello(p, kr, token, task) && (kr != 0 || p.size() != 16))
            __builtin_trap();
        Handle port = 0;
        if (replies::portHello(p, kr, port) && (kr != 0 || port == 0)) __builtin_trap();
        if (replies::resultOnly(p, kr) && p.size() != 4) __builtin_trap();
        break;
    }
    case wire::kGetMatchingServices:
    case wire::kIterators:
        checkHandles(p);
        break;
    case wire::kCopyProperties:
    case wire::kCopyProperty:
        checkTreeReply(p, f.kind == wire::kCopyProperties);
        break;
    case wire::kSubscribeServices:
    case wire::kSubscribeFirst: {
        Handle sub = 0;
        std::vector<Handle> existing;
        if (replies::session(
                p, kr, [&](wire::Reader& r) { return replies::subscription(r, sub, existing); }) &&
            p.size() != 12 + 4 * existing.size())
            __builtin_trap();
        break;
    }
    case wire::kSystemPower: {
        Handle registration = 0, root = 0;
        if (replies::session(p, kr,
                             [&](wire::Reader& r) {
                                 return replies::systemPowerRegistration(r, registration, root);
                             }) &&
            p.size() != 12)
            __builtin_trap();
        break;
    }
    case wire::kObjectQuery: {
        uint8_t answer = 0;
        uint64_t identity = 0;
        if (replies::session(
                p, kr,
                [&](wire::Reader& r) { return replies::objectAnswer(r, answer, identity); }) &&
            answer > 1)
            __builtin_trap();
        break;
    }
    case wire::kRegistryPath: {
        std::string path;
        if (replies::session(p, kr,
                             [&](wire::Reader& r) { return replies::registryPath(r, path); }) &&
            path.size() > wire::kMaxTreeString)
            __builtin_trap();
        break;
    }
    case wire::kUSBDeviceRequest: {
        const bool in = f.sequence & 1;
        const uint16_t length = uint16_t(f.sequence >> 16) % (wire::kMaxStruct + 1);
        uint32_t done = 0;
        std::vector<uint8_t> data;
        if (replies::session(p, kr,
                             [&](wire::Reader& r) {
                                 return replies::deviceRequest(r, in, length, done, data);
                             }) &&
            (data.size() > length || (!in && !data.empty())))
            __builtin_trap();
        break;
    }
    case wire::kMap: {
        const bool descriptorCame = f.sequence & 1;
        replies::MapReply m;
        if (replies::map(p, descriptorCame, m) && (m.result == 0) != descriptorCame)
            __builtin_trap();
        break;
    }
    case wire::kCall: {
        // The user's call: its capacities, at most the limits.
        wire::CallRequest request;
        request.scalarOutputCapacity = f.sequence % (wire::kMaxScalars + 1);
        request.structOutputCapacity = (f.sequence >> 8) % (wire::kMaxStruct + 1);
        wire::CallReply reply;
        if (wire::decodeCallReply(p, request, reply) &&
            (reply.scalars.size() > request.scalarOutputCapacity ||
             reply.structOutput.size() > request.structOutputCapacity))
            __builtin_trap();
        break;
    }
    default:
        // Replies of a result alone (Close, Unmap, SetNotificationPort,
        // Trap, PropertyWrite, ...) or of one word after it (Open,
        // RetainObject, PidForTask, SubscribeInterest).
        if (replies::resultOnly(p, kr) && p.size() != 4) __builtin_trap();
        uint32_t word = 0;
        if (replies::session(p, kr, [&](wire::Reader& r) { return r.u32(word); }) && p.size() != 8)
            __builtin_trap();
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wire::Frame f;
    if (wire::decodeFrame(data, size, f) != wire::FrameError::None) return 0;
    if (wire::encodeFrame(f.kind, f.sequence, f.payload) != std::vector<uint8_t>(data, data + size))
        __builtin_trap();
    switch (f.kind) {
    case wire::kCall:
        checkCall(f.payload);
        break;
    case wire::kRecord:
        checkRecord(f.payload);
        break;
    default:
        checkTree(f.payload);
        break;
    }
    checkUserReply(f);
    return 0;
}
