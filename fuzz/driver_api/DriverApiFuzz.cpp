// Sequences of driver-API operations with fuzzed arguments against the
// scripted control service answering fuzzed replies (result, output size,
// bytes). Promises: no sanitizer finding, no write outside the caller's
// buffers (guard bytes around each), no request above 256 bytes or with
// stale bytes past its length reaching the service, and every result one of
// its row's answers.
//
// Input: byte 0 picks the device (0 an HX-5100-like service, 1 Sorvik
// product 4, 2 Sorvik product 8); then records of an operation byte and its
// arguments:
//   0 reply     result (0 ok, 1 error, 2 no device), size u16, count u16, bytes
//   1 request   direction, length u16, fill byte
//   2 ioctl     handle, ioctl, out size u16
//   3 cport     count u16
//   4 name      count (≤ 40), bytes
//   5 levels    which (even: in, odd: out)
//   6 update    (updateSorvikConfigAndMap)
//   7 getter    index into a table of the typed requests
//   8 firmware  fromDevice
//   9 read name
// Missing bytes read as zero.
#include "api/QuarnelDriverAPI.h"
#include "api/testing/ScriptedControlService.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOUserConnection.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "driver api fuzz: %s failed at line %d\n", #cond, __LINE__);      \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

constexpr size_t kMaxOps = 64;
constexpr size_t kGuard = 16;
constexpr uint8_t kGuardByte = 0xA5;
constexpr size_t kUnion = 4;

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t u8() { return n ? (--n, *p++) : 0; }
    uint16_t u16() { return uint16_t(u8() | (u8() << 8)); }
};

// A caller buffer between two guard areas.
struct Guarded {
    std::vector<uint8_t> all;
    size_t size;
    explicit Guarded(size_t n, uint8_t fill = 0) : all(n + 2 * kGuard, kGuardByte), size(n) {
        std::memset(all.data() + kGuard, fill, n);
    }
    uint8_t* data() { return all.data() + kGuard; }
    bool intact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (all[i] != kGuardByte || all[kGuard + size + i] != kGuardByte) return false;
        return true;
    }
};

struct Capture {
    USBDevice* device = nullptr;
    static void callback(void* ctx, USBDevice* d, QNAPI_CBEvent e) {
        if (e == QNAPI_CBEvent_DeviceAttached) static_cast<Capture*>(ctx)->device = d;
    }
};

// Every record that reached the service: known code, bounded, no stale bytes.
void checkReceived(QnApiScriptedService* svc, size_t from) {
    const auto got = svc->received();
    for (size_t i = from; i < got.size(); ++i) {
        const std::vector<uint8_t>& r = got[i];
        HX_FUZZ_REQUIRE(r.size() == 1540);
        const uint32_t code = qnReadU32(r.data(), 0);
        HX_FUZZ_REQUIRE(code >= 2 && code <= 76);
        size_t used = 1536;
        if (code == 34) {
            const uint32_t length = qnReadU32(r.data(), kUnion + 256);
            HX_FUZZ_REQUIRE(length <= 256);
            used = 256;
            for (size_t b = length; b < 256; ++b)
                HX_FUZZ_REQUIRE(r[kUnion + b] == 0);
            for (size_t b = 277; b < 1536; ++b)
                HX_FUZZ_REQUIRE(r[kUnion + b] == 0);
            continue;
        }
        if (code == 36) used = 1 + size_t(r[kUnion]);
        if (code == 71) used = 32;
        if (code == 66) used = 64;
        if (code == 68) used = 84;
        if (code == 5) continue; // the code-4 reply sent back as it came
        if (code == 3 || code == 14 || code == 16 || code == 26 || code == 28) used = 4;
        if (code == 40 || code == 41 || code == 42) used = 12;
        if (used == 1536) used = 0;
        for (size_t b = used; b < 1536; ++b)
            HX_FUZZ_REQUIRE(r[kUnion + b] == 0);
    }
}

void reply(Reader& in, QnApiScriptedService* svc) {
    hx::apitest::ScriptedReply r;
    const uint8_t kind = in.u8() % 3;
    r.result = kind == 0 ? kIOReturnSuccess : kind == 1 ? kIOReturnError : kIOReturnNoDevice;
    r.outputSize = in.u16() % 1541;
    r.bytes.resize(in.u16() % 1541);
    for (uint8_t& b : r.bytes)
        b = in.u8();
    svc->queueReply(std::move(r));
}

void run(Reader& in, USBDevice* d, QnApiScriptedService* svc) {
    for (size_t op = 0; op < kMaxOps && in.n; ++op) {
        const size_t before = svc->received().size();
        switch (in.u8() % 10) {
        case 0:
            reply(in, svc);
            break;
        case 1: {
            const bool deviceToHost = in.u8() & 1;
            const uint16_t length = in.u16() % 300;
            Guarded buf(length, in.u8());
            uint16_t moved = 0xFFFF;
            const bool ok =
                d->request(deviceToHost ? kDirIn : kDirOut, kLevelVendor, kRecipientDevice, 0x56, 0,
                           0, reinterpret_cast<char*>(buf.data()), length, &moved);
            HX_FUZZ_REQUIRE(buf.intact());
            HX_FUZZ_REQUIRE(moved <= length && (ok || moved == 0));
            if (length > 256) HX_FUZZ_REQUIRE(!ok && svc->received().size() == before);
            break;
        }
        case 2: {
            const uint32_t handle = in.u8() & 1;
            const int ioctl = in.u8() % 60;
            const size_t outSize = in.u16() % 2100;
            Guarded buf(outSize);
            size_t returned = 99999;
            const bool ok = d->DeviceIoControl(handle, ioctl, nullptr, 0, buf.data(), outSize,
                                               &returned, nullptr);
            HX_FUZZ_REQUIRE(buf.intact());
            HX_FUZZ_REQUIRE(ok ? returned == std::min<size_t>(outSize, 1536)
                               : returned <= 0 || !handle);
            break;
        }
        case 3: {
            const size_t count = in.u16() % 1200;
            std::vector<uint8_t> bytes(count, 0x3C);
            d->sendCPortBytes(count, bytes.data());
            break;
        }
        case 4: {
            const size_t count = in.u8() % 41;
            std::vector<char> name(count + 1, 0);
            for (size_t i = 0; i < count; ++i)
                name[i] = char(in.u8() | 1);
            d->setSorvikDeviceName(name.data());
            break;
        }
        case 5: {
            Guarded buf(32 * 4);
            const bool input = (in.u8() & 1) == 0;
            const bool ok = input ? d->getInLevels(reinterpret_cast<uint32_t*>(buf.data()))
                                  : d->getOutLevels(reinterpret_cast<uint32_t*>(buf.data()));
            (void)ok;
            HX_FUZZ_REQUIRE(buf.intact());
            break;
        }
        case 6:
            d->updateSorvikConfigAndMap();
            break;
        case 7: {
            const uint8_t which = in.u8() % 8;
            long r = 0;
            switch (which) {
            case 0:
                r = d->getCurrentClockSource();
                break;
            case 1:
                r = d->getDigitalOutMode();
                break;
            case 2:
                r = d->setRouting(true, 3, 4);
                break;
            case 3:
                r = d->getWMRegister(1, 2);
                break;
            case 4:
                r = d->setOlvqCpldDigitalMon(true);
                HX_FUZZ_REQUIRE(r == 0 || r == 1);
                break;
            case 5:
                r = d->reenumerateDevice();
                HX_FUZZ_REQUIRE(r == 0 || r == 1);
                break;
            case 6: {
                QN_DeviceConfiguration c{1, 2, 3, 4, 5};
                if (!d->getCurrentConfiguration(c))
                    HX_FUZZ_REQUIRE(c.samplerate == 1 && c.bitsOutput == 5);
                break;
            }
            default: {
                QN_LevelInfo l;
                d->readLevelInfo(l);
                break;
            }
            }
            (void)r;
            break;
        }
        case 8: {
            QnVersion v;
            d->getFirmwareVersion(v, in.u8() & 1);
            HX_FUZZ_REQUIRE(std::memchr(v.text, 0, sizeof v.text) && v.firmware[15] == 0);
            break;
        }
        default: {
            Guarded buf(32);
            d->getSorvikDeviceName(reinterpret_cast<char*>(buf.data()));
            HX_FUZZ_REQUIRE(buf.intact());
            HX_FUZZ_REQUIRE(std::memchr(buf.data(), 0, 32));
            break;
        }
        }
        checkReceived(svc, before);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static hx::clock::VirtualClock clock; // the publish pause costs no time
    Reader in{data, size};
    const uint8_t kind = in.u8() % 3;
    QnApiScriptedService* svc = hx::apitest::publishScriptedService();
    if (kind) {
        svc->setProperty("idVendor", 0x1935ull, 16);
        svc->setProperty("idProduct", kind == 1 ? 4ull : 8ull, 16);
    }
    Capture capture;
    GUID g{};
    std::strncpy(g.name, hx::apitest::kScriptedServiceClassName, sizeof g.name - 1);
    qnapiInit(&Capture::callback, &capture, g);
    if (capture.device && capture.device->open(in.u8() & 1)) {
        svc->clearRecords();
        run(in, capture.device, svc);
    }
    qnapiTerm();
    hx::apitest::unpublish(svc);
    for (int i = 0; i < 3; ++i)
        CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    return 0;
}
