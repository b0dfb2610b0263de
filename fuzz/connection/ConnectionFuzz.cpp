// Drives the kernel end of user connections with arbitrary sequences of
// opens, calls, maps, unmaps, closes and task deaths, on one booted HX-5100
// on the virtual clock that is kept across inputs (and booted again when it
// was unplugged or put into firmware-update mode). After each input a clean
// client must still configure the device, attach its ring and read input.
//
// Input: a sequence of records, each starting with an operation byte:
//   0 open   type
//   1 call   connection, selector, scalar count, in size (u16), out size
//            (u16), then the scalars (u64 each) and the struct input
//   2 map    connection, type
//   3 unmap  mapping
//   4 close  connection
//   5 death  (the task dies; a new one takes its place)
// Missing bytes read as zero.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "driver/clients/ZrUserClients.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/kern/IOUserConnection.h"

namespace {

// A broken promise: say which, then stop.
#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "connection fuzz: %s failed at line %d\n", #cond, __LINE__);      \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

constexpr size_t kMaxConnections = 8;
constexpr size_t kMaxMappings = 16;
constexpr size_t kMaxOps = 64;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i)
            v |= uint64_t(u8()) << (8 * i);
        return v;
    }
    void bytes(uint8_t* out, size_t count) {
        const size_t k = count < n ? count : n;
        std::memcpy(out, p, k);
        std::memset(out + k, 0, count - k);
        p += k;
        n -= k;
    }
};

// Kept for the whole run and never destroyed at exit: the platform's own
// statics (the clock) may already be gone by then.
hx::harness::ClientHarness* gMachine = nullptr;
uint32_t gNextPid = 1000;

hx::harness::ClientHarness& machine() {
    auto stale = [] {
        ZrKernelDeviceKorvexHX5100* s = gMachine->service();
        ZrDevice* d = gMachine->device();
        return !s || s->isInactive() || !d || d->getFwUpdaterState() == kFwUpdaterActive;
    };
    if (gMachine && stale()) {
        delete gMachine;
        gMachine = nullptr;
    }
    if (!gMachine) {
        gMachine = new hx::harness::ClientHarness();
        HX_FUZZ_REQUIRE(gMachine->boot());
    }
    return *gMachine;
}

// A clean client configures the device, attaches its ring and reads input.
void checkCleanClient(hx::harness::ClientHarness& h) {
    task_t t = hx::kern::createTask(int(gNextPid++), "clean", 501);
    io_connect_t c = MACH_PORT_NULL;
    hx::kern::connectionOpen(h.service(), t, 4, &c); // no firmware updater runs: never a client
    HX_FUZZ_REQUIRE(hx::kern::connectionOpen(h.service(), t, 0, &c) == kIOReturnSuccess);
    mach_vm_address_t sm = 0, input = 0, ring = 0;
    mach_vm_size_t size = 0;
    HX_FUZZ_REQUIRE(hx::kern::connectionMap(c, 1, &sm, &size) == kIOReturnSuccess &&
                    size == sizeof(DriverSM));
    const QnChannelSettings cs{48000, 2, 24, 2, 24, 0};
    std::memcpy(reinterpret_cast<uint8_t*>(sm) + offsetof(DriverSM, mChannelSettings), &cs,
                sizeof cs);
    OSXDispatch rec{};
    HX_FUZZ_REQUIRE(hx::harness::callDriver(c, 1, rec) == kIOReturnSuccess);
    HX_FUZZ_REQUIRE(hx::kern::connectionMap(c, 4, &input, &size) == kIOReturnSuccess);
    HX_FUZZ_REQUIRE(hx::kern::connectionMap(c, 5, &ring, &size) == kIOReturnSuccess);
    rec = OSXDispatch{};
    rec.frameSize = 512;
    HX_FUZZ_REQUIRE(hx::harness::callDriver(c, 2, rec) == kIOReturnSuccess);
    auto* in = reinterpret_cast<AudioSM*>(input);
    const uint64_t before = in->getFramePos();
    h.idle(100000);
    auto* mine = reinterpret_cast<AudioSM*>(ring);
    HX_FUZZ_REQUIRE(audiosm::load32(AUDIOSM_CAT(mine, AudioSM, mAttachState), __ATOMIC_ACQUIRE) ==
                    1);
    HX_FUZZ_REQUIRE(in->getFramePos() > before);
    hx::kern::killTask(t);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hx::harness::ClientHarness& h = machine();
    Reader r{data, size};
    task_t task = hx::kern::createTask(int(gNextPid++), "fuzz", 501);
    std::vector<io_connect_t> conns;
    struct Mapping {
        io_connect_t c;
        uint32_t type;
        mach_vm_address_t address;
    };
    std::vector<Mapping> maps;
    static uint8_t in[hx::kern::kMaxCallStructSize + 1];
    static uint8_t out[hx::kern::kMaxCallStructSize + 1];
    for (size_t op = 0; op < kMaxOps && r.n; ++op) {
        switch (r.u8() % 6) {
        case 0: {
            const uint32_t type = r.u8() % 7;
            io_connect_t c = MACH_PORT_NULL;
            if (conns.size() < kMaxConnections &&
                hx::kern::connectionOpen(h.service(), task, type, &c) == 0)
                conns.push_back(c);
            break;
        }
        case 1: {
            const io_connect_t c = conns.empty() ? MACH_PORT_NULL : conns[r.u8() % conns.size()];
            const uint32_t selector = r.u8();
            const uint32_t scalarCount = r.u8() % 17;
            const size_t inSize = r.u16() % (hx::kern::kMaxCallStructSize + 1);
            size_t outSize = r.u16() % (hx::kern::kMaxCallStructSize + 1);
            uint64_t scalars[16], scalarOut[16];
            for (uint32_t i = 0; i < scalarCount; ++i)
                scalars[i] = r.u64();
            r.bytes(in, inSize);
            uint32_t scalarOutCount = scalarCount;
            hx::kern::ConnectionCall call;
            call.scalarInput = scalars;
            call.scalarInputCount = scalarCount;
            call.structInput = in;
            call.structInputSize = inSize;
            call.scalarOutput = scalarOut;
            call.scalarOutputCount = &scalarOutCount;
            call.structOutput = out;
            call.structOutputSize = &outSize;
            hx::kern::connectionCall(c, selector, call);
            break;
        }
        case 2: {
            const io_connect_t c = conns.empty() ? MACH_PORT_NULL : conns[r.u8() % conns.size()];
            const uint32_t type = r.u8() % 9;
            mach_vm_address_t a = 0;
            mach_vm_size_t n = 0;
            if (maps.size() < kMaxMappings && hx::kern::connectionMap(c, type, &a, &n) == 0) {
                // The user touches what it mapped, first and last byte.
                volatile uint8_t* b = reinterpret_cast<uint8_t*>(a);
                b[0] = b[0];
                b[n - 1] = b[n - 1];
                maps.push_back({c, type, a});
            }
            break;
        }
        case 3:
            if (!maps.empty()) {
                const size_t i = r.u8() % maps.size();
                hx::kern::connectionUnmap(maps[i].c, maps[i].type, maps[i].address);
                maps.erase(maps.begin() + long(i));
            }
            break;
        case 4:
            if (!conns.empty()) {
                const size_t i = r.u8() % conns.size();
                hx::kern::connectionClose(conns[i]);
                conns.erase(conns.begin() + long(i));
            }
            break;
        case 5:
            hx::kern::killTask(task);
            task = hx::kern::createTask(int(gNextPid++), "fuzz", 501);
            conns.clear();
            maps.clear();
            break;
        }
        // Unplugged (a re-enumeration) or in firmware-update mode: the rest
        // of the input has no device to talk to.
        if (!h.service() || h.service()->isInactive()) break;
    }
    hx::kern::killTask(task);
    // A re-enumeration (Req 34) ends the service only after the request was
    // answered: let it finish, so a gone service is seen and rebuilt.
    hx::kern::waitQuiet();
    checkCleanClient(machine());
    return 0;
}
