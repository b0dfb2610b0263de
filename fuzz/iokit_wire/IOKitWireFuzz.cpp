// The kernel host protocol's decoders on arbitrary datagrams: the header,
// then the payload as the kind says (a call, a call reply, a notification
// record, a property tree). Whatever a decoder accepts must encode back to a
// payload that decodes to the same thing.
#include <cstddef>
#include <cstdint>

#include "platform/iokit/KernelHostWire.h"

namespace wire = hx::iokit::wire;

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
    return 0;
}
