// The audio server device through its whole life against a scripted kernel
// service that answers from the input: activation (the request replies,
// the driver area and rings as the input writes them), IO start (the slot,
// whether the output ring is ever attached, the start's status), cycles of
// fuzzed frame counts and sample times with the zero time stamp, the clock
// fit's data, configuration changes performed as the host would, scribbles
// over the areas between calls, stop and deactivation. The waits run on the
// virtual clock.
//
// Oracle: no sanitizer report; no byte written outside a host buffer of
// exactly frames x advertised bytes per frame (guard bytes on both sides);
// every call returns.
//
// Input:
//   header, 8 bytes: rate choice u8, input channels u8, output channels u8,
//     flags u8 (bit 0 configured, bits 1-2 attach: at start, never, manual,
//     bit 3 start fails, bit 4 open fails), slot u8 (signed), cycles u8
//     (low 4 bits), reply bytes u16: the length of the reply stream that
//     follows;
//   the reply stream: per kernel request, an op u8 (none left: the
//     HX-5100's answer): bits 0-1 0 the HX-5100's answer, 1 an error, 2 a
//     payload (length u8 and bytes), 3 a byte count u32; bit 2 with 2 also
//     sets a count u32; bit 3 a scribble into the driver area (offset u32,
//     length u8, bytes) as the reply is given;
//   then operations until the input ends, each an op u8 (modulo 6): area
//     write (area u8 modulo 3, offset u32, length u8, bytes); cycle (frames
//     u16, sample-time step u16); configuration change (action u8 modulo 14,
//     value u32); clock-fit data; restart; stop and start again.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <vector>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/ProductIdentities.h"
#include "fuzz/common/FuzzInput.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"
#include "plugins/server/CADispatchQueue.h"
#include "plugins/server/CAException.h"
#include "plugins/server/QnASPlugInDevice.h"
#include "plugins/server/QnASPlugInObjectMap.h"
#include "plugins/server/QnASPlugInPlugIn.h"
#include "tests/device/DeviceLogicFixtures.h"
#include "tests/plugins/server/ScriptedKernelService.h"

namespace {

#define HX_FUZZ_REQUIRE(cond)                                                                      \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "server device fuzz: %s failed at line %d\n", #cond, __LINE__);   \
            __builtin_trap();                                                                      \
        }                                                                                          \
    } while (0)

using hx::test::KernelCall;
using hx::test::KernelScript;
using hx::test::ScriptedKernelService;
using hx::test::ScriptedReply;

constexpr UInt32 kRates[] = {44100, 48000, 88200, 96000, 192000, 0, 8000, 400000};
constexpr UInt32 kRead = hx::coreaudio::fourCC("read"), kWrite = hx::coreaudio::fourCC("rite");
constexpr uint8_t kGuard = 0x5A;
constexpr size_t kGuardBytes = 32;
constexpr UInt32 kMaxFrames = 9000;

// Kept for the whole run and never destroyed: the platform's statics may be
// gone at exit.
hx::test::TempRoot* gRoot = nullptr;

// The host's side of configuration changes: requests are recorded and
// performed by the fuzz loop as the host would.
struct ChangeRequest {
    AudioObjectID device;
    UInt64 action;
    void* info;
};
std::mutex gChangesLock;
std::vector<ChangeRequest> gChanges;

OSStatus propertiesChanged(AudioServerPlugInHostRef, AudioObjectID, UInt32,
                           const AudioObjectPropertyAddress*) {
    return 0;
}
OSStatus copyFromStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef* out) {
    if (out) *out = nullptr;
    return 0;
}
OSStatus writeToStorage(AudioServerPlugInHostRef, CFStringRef, CFPropertyListRef) {
    return 0;
}
OSStatus requestChange(AudioServerPlugInHostRef, AudioObjectID device, UInt64 action, void* info) {
    std::lock_guard<std::mutex> g(gChangesLock);
    gChanges.push_back({device, action, info});
    return 0;
}
const AudioServerPlugInHostInterface kHost{&propertiesChanged, &copyFromStorage, &writeToStorage,
                                           &requestChange};

// The HX-5100's answers to request 4: its description in chunks of 256.
const std::vector<std::vector<uint8_t>>& hx5100Chunks() {
    static const std::vector<std::vector<uint8_t>> chunks = [] {
        std::vector<std::vector<uint8_t>> out;
        auto info = devicelogic::hx5100Info(true);
        const auto* bytes = reinterpret_cast<const uint8_t*>(info.get());
        for (size_t at = 0; at < sizeof(APIDeviceInfo); at += 256)
            out.emplace_back(bytes + at, bytes + std::min(sizeof(APIDeviceInfo), at + 256));
        return out;
    }();
    return chunks;
}

// Answers the kernel's requests from the reply stream (under the service's
// lock, on whichever thread asked).
struct ReplyStream {
    hxfuzz::Input in{nullptr, 0};

    void answer(const KernelCall& call, ScriptedReply& reply, uint8_t* area) {
        const uint8_t op = in.u8();
        if (call.request == 4 && (op & 3) == 0) {
            UInt32 chunk = 0;
            if (call.payload.size() >= 4) std::memcpy(&chunk, call.payload.data(), 4);
            const auto& chunks = hx5100Chunks();
            if (chunk < chunks.size())
                reply = {kIOReturnSuccess, chunks[chunk], true, UInt32(chunks[chunk].size())};
            else
                reply = {kIOReturnSuccess, {}, true, 0};
        }
        switch (op & 3) {
        case 1:
            reply.status = kIOReturnError;
            break;
        case 2: {
            const uint8_t length = in.u8();
            reply.payload.clear();
            for (uint8_t k = 0; k < length; ++k)
                reply.payload.push_back(in.u8());
            if (op & 4) {
                reply.setCount = true;
                reply.count = in.u32();
            }
            break;
        }
        case 3:
            reply.setCount = true;
            reply.count = in.u32();
            break;
        default:
            break;
        }
        if ((op & 8) && area) {
            const UInt32 offset = in.u32() % ScriptedKernelService::kDriverAreaBytes;
            size_t length = in.u8();
            length = std::min<size_t>(length, ScriptedKernelService::kDriverAreaBytes - offset);
            for (size_t k = 0; k < length; ++k)
                area[offset + k] = in.u8();
        }
    }
};

// A host buffer of exactly the advertised size between guard bytes.
struct HostBuffer {
    std::vector<uint8_t> bytes;
    size_t size = 0;
    void make(size_t n) {
        size = n;
        bytes.assign(n + 2 * kGuardBytes, 0);
        std::fill(bytes.begin(), bytes.begin() + kGuardBytes, kGuard);
        std::fill(bytes.end() - kGuardBytes, bytes.end(), kGuard);
        for (size_t k = 0; k < n; ++k)
            bytes[kGuardBytes + k] = uint8_t(k * 31 + 7);
    }
    void* data() { return bytes.data() + kGuardBytes; }
    bool intact() const {
        for (size_t k = 0; k < kGuardBytes; ++k)
            if (bytes[k] != kGuard || bytes[bytes.size() - 1 - k] != kGuard) return false;
        return true;
    }
};

void writeArea(ScriptedKernelService& service, uint8_t which, UInt32 offset, hxfuzz::Input& in) {
    static constexpr UInt32 kTypes[3] = {1, 4, 5};
    const UInt32 type = kTypes[which % 3];
    const size_t size =
        type == 1 ? ScriptedKernelService::kDriverAreaBytes : ScriptedKernelService::kRingBytes;
    uint8_t* base = service.area(type);
    offset %= UInt32(size);
    size_t length = std::min<size_t>(in.u8(), size - offset);
    for (size_t k = 0; k < length; ++k)
        base[offset + k] = in.u8();
}

// The advertised bytes per frame the host took at the last start (input,
// output): its buffers keep that size until it starts again.
UInt32 gBytesPerFrame[2] = {0, 0};

void cycle(QnASPlugInDevice& device, UInt32 frames, Float64 sampleTime) {
    Float64 sample = 0;
    UInt64 host = 0, seed = 0;
    try {
        device.GetZeroTimeStamp(sample, host, seed);
    } catch (const CAException&) {
    }
    AudioServerPlugInIOCycleInfo info{};
    info.mInputTime.mSampleTime = sampleTime;
    info.mOutputTime.mSampleTime = sampleTime + frames;
    for (UInt32 op : {kRead, kWrite}) {
        const bool input = op == kRead;
        HostBuffer buffer;
        buffer.make(size_t(frames) * std::min<UInt32>(gBytesPerFrame[input ? 0 : 1], 33 * 4));
        try {
            bool will = false, inPlace = false;
            device.WillDoIOOperation(op, will, inPlace);
            // As the driver interface calls them: Begin and Do only while
            // the device's IO runs.
            if (device.IOState() == 2) {
                device.BeginIOOperation(op, frames, info);
                device.DoIOOperation(device.streamID(input), op, frames, info, buffer.data(),
                                     nullptr);
            }
            device.EndIOOperation(op, frames, info);
        } catch (const CAException&) {
        }
        HX_FUZZ_REQUIRE(buffer.intact());
    }
}

void performChanges(QnASPlugInDevice& device, AudioObjectID id) {
    CADispatchQueue::GetGlobalSerialQueue().Dispatch(true, [] {});
    std::vector<ChangeRequest> changes;
    {
        std::lock_guard<std::mutex> g(gChangesLock);
        changes.swap(gChanges);
    }
    for (const ChangeRequest& c : changes)
        if (c.device == id) {
            try {
                device.PerformConfigChange(c.action, c.info);
            } catch (const CAException&) {
            }
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!gRoot) {
        gRoot = new hx::test::TempRoot;
        std::filesystem::create_directories(hx::path::map("/tmp"));
        hx::sys::setOwnUid(501);
    }
    static ScriptedKernelService* service = ScriptedKernelService::publish("FUZZ-UID");
    if (size < 8) return 0;
    hxfuzz::Input in{data, size};
    const UInt32 rate = kRates[in.u8() % 8];
    const UInt32 inChannels = in.u8() % 40, outChannels = in.u8() % 40;
    const uint8_t flags = in.u8();
    const int8_t slot = int8_t(in.u8());
    const int cycles = in.u8() & 15;
    const UInt32 replyBytes = in.u8() | UInt32(in.u8()) << 8;
    ReplyStream replies;
    replies.in = {in.p, std::min<size_t>(replyBytes, in.n)};
    in.p += replies.in.n;
    in.n -= replies.in.n;

    hx::clock::VirtualClock clock;
    // The areas as the kernel lays them.
    std::memset(service->area(1), 0, ScriptedKernelService::kDriverAreaBytes);
    std::memset(service->area(4), 0, ScriptedKernelService::kRingBytes);
    std::memset(service->area(5), 0, ScriptedKernelService::kRingBytes);
    auto* area = reinterpret_cast<DriverSM*>(service->area(1));
    area->mChannelSettings = QnChannelSettings{rate, inChannels, 24, outChannels, 24, 0};
    area->mHighSpeed = 1;
    std::strcpy(area->mModelName, "HX-5100");
    std::strcpy(area->mDeviceUID, "FUZZ-KERNEL-UID");
    audiosm::store32(&area->mConfigured, flags & 1);
    reinterpret_cast<AudioSM*>(service->area(4))->_layout(inChannels, rate, 0);
    reinterpret_cast<AudioSM*>(service->area(5))->_layout(outChannels, rate, 0);
    service->clearCalls();
    service->script([&](KernelScript& s) {
        s = KernelScript{};
        static constexpr KernelScript::Attach kAttach[4] = {
            KernelScript::Attach::AtStart, KernelScript::Attach::Never,
            KernelScript::Attach::Manual, KernelScript::Attach::AtStart};
        s.attach = kAttach[(flags >> 1) & 3];
        s.startResult = (flags & 8) ? kIOReturnError : kIOReturnSuccess;
        s.openResult = (flags & 16) ? kIOReturnError : kIOReturnSuccess;
        s.slot = slot;
        s.onRequest = [&replies](const KernelCall& call, ScriptedReply& reply, uint8_t* a) {
            replies.answer(call, reply, a);
        };
    });

    QnASPlugInPlugIn::sHost = &kHost;
    QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
    io_object_t entry = it.Next();
    const AudioObjectID id = QnASPlugInObjectMap::GetNextObjectID();
    auto* device = new QnASPlugInDevice(id, entry);
    IOObjectRelease(entry);
    QnASPlugInObjectMap::MapObject(id, device);
    device->Activate();
    bool started = false;
    auto start = [&] {
        try {
            // The host reads the formats, then starts.
            gBytesPerFrame[0] = device->copyPhysicalFormat(true).mBytesPerFrame;
            gBytesPerFrame[1] = device->copyPhysicalFormat(false).mBytesPerFrame;
            device->StartIO();
            started = true;
        } catch (const CAException&) {
            started = false;
        }
    };
    if (device->IsActive()) start();
    Float64 sampleTime = 0;
    double x[1000], y[1000];
    for (int c = 0; c < cycles; ++c)
        cycle(*device, 512, sampleTime), sampleTime += 512;
    while (in.n) {
        switch (in.u8() % 6) {
        case 0: {
            const uint8_t which = in.u8();
            writeArea(*service, which, in.u32(), in);
            break;
        }
        case 1: {
            const UInt32 frames = (in.u8() | UInt32(in.u8()) << 8) % kMaxFrames;
            const UInt32 step = in.u8() | UInt32(in.u8()) << 8;
            cycle(*device, frames, sampleTime);
            sampleTime += step;
            break;
        }
        case 2: {
            const UInt64 action = in.u8() % 14;
            ConfigChangeInfo info{};
            info.v.value = in.u32();
            device->requestConfigChange(action, info);
            performChanges(*device, id);
            break;
        }
        case 3: {
            UInt32 count = 0;
            QnASPlugInDevice::lrDataProvider(device, count, x, y);
            HX_FUZZ_REQUIRE(count <= 1000);
            break;
        }
        case 4:
            if (started) device->RestartIO();
            break;
        default:
            if (started) device->StopIO();
            started = false;
            start();
            break;
        }
    }
    if (started) device->StopIO();
    if (device->IsActive()) device->Deactivate();
    performChanges(*device, id); // leftovers go with the device
    QnASPlugInObjectMap::UnmapObject(id, device);
    CADispatchQueue::GetGlobalSerialQueue().Dispatch(true, [] {});
    QnASPlugInPlugIn::sHost = nullptr;
    service->script([](KernelScript& s) { s.onRequest = nullptr; });
    return 0;
}
