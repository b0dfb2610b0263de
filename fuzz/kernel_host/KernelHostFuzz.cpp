// The kernel host's frame handling without sockets: each input is a series
// of datagrams fed to one socket's channel, either a fresh one (its first
// frame binds the role) or a connection already bound for a clean session.
// One booted HX-5100 on the virtual clock serves every input. A malformed
// frame may end only its own channel; afterwards a clean session must still
// find the service, open a client, call it and map its memory.
//
// Input: one selector byte (even: a fresh channel; odd: a bound connection),
// then datagrams, each a little-endian u16 length and that many bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "abi/QN_Dispatch.h"
#include "driver/clients/harness/ClientHarness.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFString.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/KernelHostWire.h"

namespace {

namespace wire = hx::iokit::wire;

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "kernel host fuzz: %s failed at line %d\n", #cond, __LINE__);     \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

constexpr int kPid = 4242;

// Kept for the whole run and never destroyed: the platform's statics may be
// gone at exit.
hx::harness::ClientHarness* gMachine = nullptr;
hx::iokit::KernelHost* gHost = nullptr;

void boot() {
    if (gMachine) return;
    hx::harness::HarnessOptions o;
    o.clockMode = hx::harness::ClockMode::Virtual;
    gMachine = new hx::harness::ClientHarness(o);
    HX_FUZZ_REQUIRE(gMachine->boot());
    gHost = new hx::iokit::KernelHost("", nullptr);
}

// One frame through a feed; the reply's payload (empty when the channel
// ended or nothing came back).
std::vector<uint8_t> exchange(hx::iokit::KernelHost::Feed& feed, uint16_t kind,
                              const std::vector<uint8_t>& payload) {
    std::vector<std::vector<uint8_t>> replies;
    const auto frame = wire::encodeFrame(kind, 1, payload);
    if (!feed.frame(frame.data(), frame.size(), replies) || replies.size() != 1) return {};
    wire::Frame f;
    if (wire::decodeFrame(replies[0].data(), replies[0].size(), f) != wire::FrameError::None)
        return {};
    return f.payload;
}

// A clean session: its token, task and the first service.
struct Clean {
    std::unique_ptr<hx::iokit::KernelHost::Feed> session = gHost->feed(kPid, 501, "fuzzclient");
    uint64_t token = 0;
    uint32_t task = 0, service = 0, kr = 1, count = 0;

    bool start() {
        wire::Writer h;
        h.u8(uint8_t(wire::Role::Session));
        auto p = exchange(*session, wire::kHello, h.data());
        wire::Reader r(p);
        if (!r.u32(kr) || kr || !r.u64(token) || !r.u32(task)) return false;
        wire::Writer m;
        CFMutableDictionaryRef d = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        CFDictionarySetValue(d, CFSTR("IOProviderClass"), CFSTR("ZrKernelDeviceKorvexHX5100"));
        m.tree(d);
        CFRelease(d);
        p = exchange(*session, wire::kGetMatchingServices, m.data());
        wire::Reader s(p);
        return s.u32(kr) && !kr && s.u32(count) && count == 1 && s.u32(service);
    }

    // A connection of the type bound to a new feed, or null.
    std::unique_ptr<hx::iokit::KernelHost::Feed> open(uint32_t type) {
        wire::Writer w;
        w.u32(service), w.u32(task), w.u32(type);
        auto p = exchange(*session, wire::kOpen, w.data());
        wire::Reader r(p);
        uint32_t connection = 0;
        if (!r.u32(kr) || kr || !r.u32(connection)) return nullptr;
        auto c = gHost->feed(kPid, 501, "fuzzclient");
        wire::Writer h;
        h.u8(uint8_t(wire::Role::Connection)), h.u64(token), h.u32(connection);
        p = exchange(*c, wire::kHello, h.data());
        wire::Reader b(p);
        return b.u32(kr) && !kr ? std::move(c) : nullptr;
    }
};

void feedAll(hx::iokit::KernelHost::Feed& feed, const uint8_t* data, size_t size) {
    std::vector<std::vector<uint8_t>> replies;
    while (size >= 2) {
        const size_t n = std::min<size_t>(size - 2, size_t(data[0] | data[1] << 8));
        if (!feed.frame(data + 2, n, replies)) return;
        data += 2 + n;
        size -= 2 + n;
    }
}

// A clean client opens, calls and maps.
void checkCleanClient() {
    Clean c;
    HX_FUZZ_REQUIRE(c.start());
    c.open(4); // no firmware updater runs: never a client
    auto conn = c.open(0);
    HX_FUZZ_REQUIRE(conn != nullptr);
    OSXDispatch rec{};
    rec.iReq = 27;
    wire::CallRequest call;
    call.structInput.assign(reinterpret_cast<uint8_t*>(&rec),
                            reinterpret_cast<uint8_t*>(&rec) + sizeof rec);
    call.structOutputCapacity = sizeof rec;
    auto p = exchange(*conn, wire::kCall, wire::encodeCall(call));
    wire::CallReply reply;
    HX_FUZZ_REQUIRE(wire::decodeCallReply(p, call, reply));
    HX_FUZZ_REQUIRE(reply.result == 0 && reply.structOutput.size() == sizeof rec);
    wire::Writer m;
    m.u32(1);
    p = exchange(*conn, wire::kMap, m.data());
    wire::Reader r(p);
    uint32_t kr = 1;
    uint64_t address = 0, offset = 0, size = 0;
    HX_FUZZ_REQUIRE(r.u32(kr) && kr == 0 && r.u64(address) && r.u64(offset) && r.u64(size));
    HX_FUZZ_REQUIRE(size == 30744);
    p = exchange(*conn, wire::kClose, {});
    HX_FUZZ_REQUIRE(p.size() == 4 && p[0] == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    boot();
    if (size == 0) return 0;
    if (data[0] & 1) {
        Clean c;
        HX_FUZZ_REQUIRE(c.start());
        c.open(4);
        if (auto conn = c.open(data[0] & 2 ? 2 : 0)) feedAll(*conn, data + 1, size - 1);
    } else {
        auto feed = gHost->feed(kPid + 1, 501, "fuzzstranger");
        feedAll(*feed, data + 1, size - 1);
    }
    checkCleanClient();
    return 0;
}
