#include "driver/clients/harness/HarnessClient.h"

#include "driver/engine/ZrIOReturnNames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <sstream>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "abi/ServiceClass.h"
#include "platform/base/HXClock.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/usb/devices/HX5100Stream.h"

namespace {

constexpr uint32_t kAudioClientType = 0;
constexpr uint32_t kNoUpdaterType = 4;
// The memory types the audio client maps.
constexpr uint32_t kMemoryDriverSM = 1;
constexpr uint32_t kMemoryDeviceAudioSM = 4;
constexpr uint32_t kMemoryClientAudioSM = 5;
constexpr uint32_t kRingTag = 1;
constexpr uint32_t kRingFrameSize = 512;
// The requests the harness makes, as a user process makes them.
constexpr uint32_t kReqConfigureDevice = 1;
constexpr uint32_t kReqAttach = 2;
constexpr uint32_t kReqDetach = 3;
constexpr uint32_t kReqIdentity = 27;
constexpr uint32_t kReqConnected = 30;
constexpr uint32_t kReqRecoveryStage1 = 31;
constexpr uint32_t kReqRecoveryStage2 = 32;
constexpr uint32_t kReqDispatch = 35;
// Control request codes the harness sends through Req 35.
constexpr uint32_t kEqnSetRoutingMatrix = 56;
constexpr uint32_t kEqnGetRoutingMatrix = 57;
constexpr uint32_t kEqnGetMixerFractions = 74;
constexpr uint32_t kEqnSetMixerFractions = 75;
constexpr uint32_t kCodeSetSorvikChannelMap = 66;
constexpr uint32_t kCodeSetPrivateDataClient = 78;
constexpr uint32_t kMaxFramesPerCycle = 8192;

// The harness's notification port runs in a mode of its own, so running it
// never runs another source of the thread's loop.
const CFStringRef kHarnessMode = CFSTR("HXHarnessMode");

std::string cString(const char* p, size_t size) {
    return std::string(p, strnlen(p, size));
}

} // namespace

namespace hx::harness {

IOReturn callClient(io_connect_t connect, uint32_t req, void* record, uint32_t selector) {
    auto* rec = static_cast<OSXDispatch*>(record);
    rec->iReq = req;
    size_t outSize = sizeof *rec;
    return IOConnectCallStructMethod(connect, selector, rec, sizeof *rec, rec, &outSize);
}

// One loopback check over a range of recorded frames.
struct LoopbackCheck {
    bool nonSilent = false;
    bool latencyKnown = false;
    int64_t latency = 0;
    uint64_t checked = 0;
    uint64_t mismatches = 0;
    uint64_t silent = 0;
    uint64_t stale = 0;
    int64_t firstMismatch = -1;
    size_t returnStart = 0;      // recorded frame where the checked signal starts
    uint64_t firstPlayedPos = 0; // output position of the frame that came back there
};

struct HarnessClient::Impl {
    Impl(const HarnessOptions& o, task_t t) : options(o), task(t ? t : mach_task_self()) {
        if (options.writeAheadFrames == 0)
            options.writeAheadFrames = defaultWriteAheadFrames(options.rate);
    }
    ~Impl() { closePort(); }

    HarnessOptions options;
    task_t task;
    std::string error;
    std::function<void(uint64_t)> waitUntil = [](uint64_t due) { hx::clock::sleepUntil(due); };
    std::function<void()> firstSound;

    io_service_t service = 0;
    io_connect_t connect = 0;
    uint64_t clientId = 0; // as Req 27 answers it
    int slot = -1;
    // State changes: a general interest notification on the client's port.
    IONotificationPortRef port = nullptr;
    io_object_t interest = 0;
    CFRunLoopRef loop = nullptr;
    mutable std::vector<uint32_t> codes;

    DriverSM* userDriverSM = nullptr;
    AudioSM* userRing = nullptr; // the client's own ring (type 5)
    bool attached = false;
    AudioSM* userInput = nullptr; // the device's input ring (type 4)

    bool running = false; // the ring read state 1
    uint64_t readPos = 0;
    // Where each attachment's input starts: recorded frame index and input
    // frame position (a relayout attaches the ring again elsewhere).
    struct Segment {
        size_t index;
        uint64_t position;
    };
    std::vector<Segment> segments;
    uint64_t framesIn = 0;
    uint64_t framesOut = 0;
    bool soundHeard = false;
    std::vector<int32_t> recorded;
    std::vector<int32_t> scratch;
    std::vector<uint8_t> extraScratch;

    // Reaction to state changes: codes already seen, and the recovery stage
    // due at a time (0: none).
    size_t codesSeen = 0;
    int pendingStage = 0;
    uint64_t stageDue = 0;
    uint32_t recoveries = 0;
    size_t recoveredAt = SIZE_MAX; // recorded frame index of the last recovery
    // The played signal's frame 0 is the first output frame the client
    // writes; a frame position is made relative to it.
    std::optional<uint64_t> playOrigin;

    bool fail(const std::string& e) {
        error = e;
        return false;
    }

    static void onInterest(void* refCon, io_service_t, natural_t type, void* argument) {
        auto* m = static_cast<Impl*>(refCon);
        if (type != kQnStateChangeMessage || !argument) return;
        QN_StateChange r;
        std::memcpy(&r, argument, sizeof r);
        m->codes.push_back(r.mCode);
    }
    // Runs the port's queue when this is the thread that listens.
    void pump() const {
        if (port && loop == CFRunLoopGetCurrent()) CFRunLoopRunInMode(kHarnessMode, 0, false);
    }
    bool listen();
    void closePort() {
        if (interest) IOObjectRelease(interest);
        interest = 0;
        if (port) IONotificationPortDestroy(port);
        port = nullptr;
        if (service) IOObjectRelease(service);
        service = 0;
    }

    IOReturn callDriver(uint32_t req, OSXDispatch& rec) { return callClient(connect, req, &rec); }
    bool dispatch(uint32_t code, const void* data, size_t size, uint32_t readBack);
    template <class T> T* mapType(uint32_t type, size_t size) {
        mach_vm_address_t a = 0;
        mach_vm_size_t n = 0;
        if (IOConnectMapMemory64(connect, type, task, &a, &n, kIOMapAnywhere) != KERN_SUCCESS ||
            n != size)
            return nullptr;
        return reinterpret_cast<T*>(a);
    }

    int32_t sample(uint64_t position, uint32_t channel) const;
    int32_t expected(uint64_t frame, uint32_t channel) const {
        // A loopback device returns output channel c % outputs on input c.
        const int32_t s = sample(frame, channel % std::max<uint32_t>(outputChannels(options), 1));
        return options.routing == Routing::Mix ? mixRoundTrip(s) : s;
    }
    uint32_t ringState() const {
        if (!userRing) return 0;
        return audiosm::load32(AUDIOSM_CAT(userRing, AudioSM, mAttachState), __ATOMIC_ACQUIRE);
    }
    void cycle();
    void writeOutput(uint32_t got);
    void react();
    LoopbackCheck checkLoopback(size_t from, size_t to) const;
    // Frames in the client ring: a late cycle leaves the kernel the frame
    // written one lap earlier.
    uint64_t lapFrames = 0;
    template <typename Match> bool staleAt(size_t f, uint64_t played, Match& matchesAt) const {
        for (uint64_t k = 1; k <= 4 && lapFrames && k * lapFrames <= played; ++k)
            if (matchesAt(f, played - k * lapFrames)) return true;
        return false;
    }
    void fillDevice(HarnessReport& r) const;
    void fillLoopback(HarnessReport& r) const;
};

int32_t HarnessClient::Impl::sample(uint64_t position, uint32_t channel) const {
    const uint64_t frame = position - playOrigin.value_or(0);
    // At 16 bits the signal is one a 16-bit stream carries whole.
    const bool narrow = options.resolution == 16;
    if (options.signal == Signal::Ramp)
        return int32_t((narrow ? hx::usb::devices::Ramp16::sample(frame, channel)
                               : hx::usb::devices::Ramp::sample(frame, channel))
                       << 8);
    const double phase =
        2.0 * M_PI * options.sineHz * double(frame) / double(options.rate ? options.rate : 1) +
        double(channel) * M_PI / 2;
    const int32_t v = int32_t(std::lround(options.sineAmplitude * 8388607.0 * std::sin(phase)));
    const uint32_t s = uint32_t(std::clamp(v, -8388608, 8388607)) << 8;
    return int32_t(narrow ? s & 0xFFFF0000u : s);
}

// A control request through Req 35: the union's first `size` bytes set by
// `code`, then read back by `readBack` (Req 35 answers success whatever the
// request did, so the read-back is what tells).
bool HarnessClient::Impl::dispatch(uint32_t code, const void* data, size_t size,
                                   uint32_t readBack) {
    OSXDispatch rec{};
    qnWriteU32(&rec, kOSXDispatchRecordOffset, code);
    std::memcpy(rec.payload + (kOSXDispatchUnionOffset - kOSXDispatchRecordOffset), data, size);
    if (callDriver(kReqDispatch, rec) != kIOReturnSuccess) return false;
    rec = OSXDispatch{};
    qnWriteU32(&rec, kOSXDispatchRecordOffset, readBack);
    if (callDriver(kReqDispatch, rec) != kIOReturnSuccess) return false;
    return std::memcmp(rec.payload + (kOSXDispatchUnionOffset - kOSXDispatchRecordOffset), data,
                       size) == 0;
}

bool HarnessClient::Impl::listen() {
    io_iterator_t it = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching(kZrServiceClassName),
                                     &it) != KERN_SUCCESS)
        return fail("the service cannot be looked up");
    service = IOIteratorNext(it);
    IOObjectRelease(it);
    if (!service) return fail("no service of the driver");
    port = IONotificationPortCreate(kIOMasterPortDefault);
    loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, IONotificationPortGetRunLoopSource(port), kHarnessMode);
    if (IOServiceAddInterestNotification(port, service, kIOGeneralInterest, &Impl::onInterest, this,
                                         &interest) != KERN_SUCCESS)
        return fail("the service's state changes cannot be heard");
    return true;
}

HarnessClient::HarnessClient(const HarnessOptions& options, task_t task)
    : mImpl(std::make_unique<Impl>(options, task)) {}

HarnessClient::~HarnessClient() {
    stop();
}

void HarnessClient::setWaiter(std::function<void(uint64_t)> waitUntil) {
    mImpl->waitUntil = std::move(waitUntil);
}

void HarnessClient::setFirstSoundHook(std::function<void()> hook) {
    mImpl->firstSound = std::move(hook);
}

bool HarnessClient::openClient() {
    Impl& m = *mImpl;
    if (!m.port && !m.listen()) return false;
    // Opening type 4 tells the driver that no firmware updater runs; it
    // never gives a client.
    io_connect_t none = 0;
    IOServiceOpen(m.service, m.task, kNoUpdaterType, &none);
    const kern_return_t opened = IOServiceOpen(m.service, m.task, kAudioClientType, &m.connect);
    if (opened != KERN_SUCCESS) {
        std::ostringstream e;
        e << "the audio client did not open: " << ZrIOReturnText(opened);
        return m.fail(e.str());
    }
    int pid = 0;
    pid_for_task(m.task, &pid);
    OSXDispatch rec{};
    qnWriteU32(&rec, kOSXDispatchValueOffset, uint32_t(pid));
    if (m.callDriver(kReqConnected, rec) != kIOReturnSuccess)
        return m.fail("the client id was refused");
    rec = OSXDispatch{};
    if (m.callDriver(kReqIdentity, rec) != kIOReturnSuccess)
        return m.fail("the client identity was refused");
    m.clientId = qnReadU64(&rec, kOSXDispatchValueOffset);
    return true;
}

bool HarnessClient::configure() {
    Impl& m = *mImpl;
    if (!m.connect) return m.fail("no device");
    const HarnessOptions& o = m.options;
    if (!m.userDriverSM &&
        !(m.userDriverSM = m.mapType<DriverSM>(kMemoryDriverSM, sizeof(DriverSM))))
        return m.fail("the driver shared memory cannot be mapped");
    // The settings go where a user writes them, then the request.
    // A first-generation Farlane whose channel map was never set takes its
    // own default setting (2 inputs of 16 bits, no outputs): the client sets
    // the map first (code 66 through the control request).
    if (o.device == DeviceKind::Farlane1) {
        OSXDispatch mapRec{};
        QN_Dispatch d{};
        d.code = kCodeSetSorvikChannelMap;
        for (int k = 0; k < 8; ++k)
            d.data.cQN_Sorvik_ChannelMap.mEInputMap[k] =
                d.data.cQN_Sorvik_ChannelMap.mEOutputMap[k] = k + 1;
        std::memcpy(reinterpret_cast<uint8_t*>(&mapRec) + kOSXDispatchRecordOffset, &d, sizeof d);
        if (m.callDriver(kReqDispatch, mapRec) != kIOReturnSuccess)
            return m.fail("the channel map was not set");
    }
    const QnChannelSettings cs{
        o.rate, inputChannels(o), o.resolution, outputChannels(o), o.resolution, 0};
    std::memcpy(reinterpret_cast<uint8_t*>(m.userDriverSM) + offsetof(DriverSM, mChannelSettings),
                &cs, sizeof cs);
    OSXDispatch rec{};
    const IOReturn r = m.callDriver(kReqConfigureDevice, rec);
    if (r != kIOReturnSuccess) {
        std::ostringstream e;
        e << "configuration failed: " << ZrIOReturnText(r);
        return m.fail(e.str());
    }
    if (!m.userInput && !(m.userInput = m.mapType<AudioSM>(kMemoryDeviceAudioSM, sizeof(AudioSM))))
        return m.fail("the input ring cannot be mapped");
    return true;
}

bool HarnessClient::setRouting() {
    Impl& m = *mImpl;
    if (!m.connect) return m.fail("no client");
    // Pass: every output pair carries its own playback pair unchanged (a
    // pair routed 0 would carry the mix). Mix: no routing, each output from
    // its own playback channel at unity.
    int8_t routing[32] = {};
    if (m.options.routing == Routing::Pass)
        for (uint32_t k = 0; k < std::min<uint32_t>(outputChannels(m.options) / 2, 16); ++k)
            routing[k] = int8_t(k + 1);
    if (!m.dispatch(kEqnSetRoutingMatrix, routing, sizeof routing, kEqnGetRoutingMatrix))
        return m.fail("the routing was not stored");
    if (m.options.routing == Routing::Pass) return true;
    QN_MixerFractions f{};
    for (int c = 0; c < 32; ++c) {
        f.mMixerFractionLeft[c] = {c == 0 ? 1 : 0, 1};
        f.mMixerFractionRight[c] = {c == 1 ? 1 : 0, 1};
    }
    if (!m.dispatch(kEqnSetMixerFractions, &f, sizeof f, kEqnGetMixerFractions))
        return m.fail("the mixer fractions were not stored");
    return true;
}

bool HarnessClient::attachRing() {
    Impl& m = *mImpl;
    if (!m.connect) return m.fail("no client");
    if (!m.userRing && !(m.userRing = m.mapType<AudioSM>(kMemoryClientAudioSM, sizeof(AudioSM))))
        return m.fail("the ring cannot be mapped");
    // The kernel lays the ring out for the configuration and attaches it.
    OSXDispatch rec{};
    rec.frameSize = kRingFrameSize;
    qnWriteU32(&rec, kOSXDispatchValueOffset, kRingTag);
    const IOReturn r = m.callDriver(kReqAttach, rec);
    if (r != kIOReturnSuccess) {
        std::ostringstream e;
        e << "the ring was not attached: " << ZrIOReturnText(r);
        return m.fail(e.str());
    }
    m.slot = int(qnReadU32(&rec, kOSXDispatchValueOffset));
    m.attached = true;
    const uint32_t bytesPerFrame =
        audiosm::load32(AUDIOSM_CAT(m.userRing, AudioSM, mBytesPerFrame));
    if (bytesPerFrame)
        m.lapFrames =
            audiosm::load32(AUDIOSM_CAT(m.userRing, AudioSM, mAudioBytes)) / bytesPerFrame;
    if (m.options.takePrivateData) {
        // Code 78 through the control request (Req 35): the device's extra
        // bytes are this client's from now on.
        OSXDispatch take{};
        QN_Dispatch d{};
        d.code = kCodeSetPrivateDataClient;
        d.data.ulValue = 1;
        std::memcpy(reinterpret_cast<uint8_t*>(&take) + kOSXDispatchRecordOffset, &d, sizeof d);
        if (m.callDriver(kReqDispatch, take) != kIOReturnSuccess)
            return m.fail("the private data was not taken");
        std::memcpy(&d, reinterpret_cast<uint8_t*>(&take) + kOSXDispatchRecordOffset, sizeof d);
        if (d.data.ulValue != 1) return m.fail("the private data belongs to another client");
    }
    return true;
}

bool HarnessClient::start() {
    return openClient() && configure() && setRouting() && attachRing();
}

void HarnessClient::Impl::cycle() {
    if (!userRing || !userInput) return;
    if (ringState() != 1) {
        running = false;
        return;
    }
    if (!running) {
        running = true;
        readPos = audiosm::load64(AUDIOSM_CAT(userRing, AudioSM, mClientFramePos));
        segments.push_back({recorded.size() / std::max<uint32_t>(options.channels, 1), readPos});
    }
    const uint32_t ch = options.channels;
    const uint64_t end = userInput->getFramePos();
    // The input ring was laid out again (a new stream after a recovery):
    // the next cycle starts a new segment where the client's ring is.
    if (end < readPos) {
        running = false;
        return;
    }
    if (end == readPos) return;
    const uint32_t n = uint32_t(std::min<uint64_t>(end - readPos, kMaxFramesPerCycle));
    scratch.resize(size_t(n) * ch);
    uint64_t hostTime = 0;
    const uint32_t got = userInput->read(readPos, scratch.data(), n, hostTime, audioInt32CopySet);
    if (got == 0) return;
    framesIn += got;
    if (options.keepInput)
        recorded.insert(recorded.end(), scratch.begin(), scratch.begin() + size_t(got) * ch);
    if (!soundHeard) {
        for (size_t i = 0; i < size_t(got) * ch && !soundHeard; ++i)
            soundHeard = scratch[i] != 0;
        if (soundHeard && firstSound) firstSound();
    }
    writeOutput(got);
}

// The same number of frames out, written ahead of the kernel. The client
// ring carries 24-bit values in the low bits (sign-extended); the input ring
// gives them back left-aligned.
void HarnessClient::Impl::writeOutput(uint32_t got) {
    const uint32_t ch = outputChannels(options);
    const uint64_t first = userRing->getFramePos() + options.writeAheadFrames;
    if (!playOrigin) playOrigin = first;
    scratch.resize(size_t(got) * ch);
    for (uint32_t f = 0; f < got; ++f)
        for (uint32_t c = 0; c < ch; ++c)
            scratch[size_t(f) * ch + c] = sample(first + f, c) >> 8;
    const uint32_t extraPerFrame =
        audiosm::load32(AUDIOSM_CAT(userRing, AudioSM, mExtraBytesPerFrame));
    const uint8_t* extra = nullptr;
    if (options.writeExtraBytes && extraPerFrame) {
        extraScratch.assign(size_t(got) * extraPerFrame, 0);
        for (uint32_t f = 0; f < got; ++f)
            for (uint32_t i = 0; i < extraPerFrame; ++i)
                extraScratch[size_t(f) * extraPerFrame + i] = extraByteOf(first + f, i);
        extra = extraScratch.data();
    }
    framesOut +=
        userRing->writeFrames(scratch.data(), got, options.writeAheadFrames, nullptr, extra);
}

void HarnessClient::Impl::react() {
    if (!options.reactToStateChanges || !connect) return;
    pump();
    const uint64_t now = hx::clock::nowNanos();
    for (; codesSeen < codes.size(); ++codesSeen) {
        if (codes[codesSeen] == STC_STREAM_BROKEN && pendingStage == 0) {
            pendingStage = 1;
            stageDue = now;
        } else if (codes[codesSeen] == STC_SystemWakeUp) {
            pendingStage = 1;
            stageDue = now + 3000000000ull;
        }
    }
    if (pendingStage == 0 || now < stageDue) return;
    // Stage 1 (Req 31) answers success when this client claimed the break.
    OSXDispatch rec{};
    if (pendingStage == 1) {
        const bool claimed = callDriver(kReqRecoveryStage1, rec) == kIOReturnSuccess;
        pendingStage = claimed ? 2 : 0;
        stageDue = now + 100000000ull;
        return;
    }
    callDriver(kReqRecoveryStage2, rec);
    pendingStage = 0;
    ++recoveries;
    recoveredAt = recorded.size() / std::max<uint32_t>(options.channels, 1);
}

void HarnessClient::restartLoopbackCheck() {
    Impl& m = *mImpl;
    m.recoveredAt = m.recorded.size() / std::max<uint32_t>(m.options.channels, 1);
}

void HarnessClient::run(uint64_t micros) {
    Impl& m = *mImpl;
    const uint64_t step = m.options.cycleMicros ? m.options.cycleMicros : 1000;
    // One cycle per period, at absolute times, so a late wake-up on the real
    // clock is caught up and the run lasts what was asked.
    const uint64_t start = hx::clock::nowNanos();
    for (uint64_t t = step; t < micros + step; t += step) {
        m.waitUntil(start + std::min(t, micros) * 1000);
        m.cycle();
        m.react();
    }
}

void HarnessClient::idle(uint64_t micros) {
    mImpl->waitUntil(hx::clock::nowNanos() + micros * 1000);
}

void HarnessClient::stop() {
    Impl& m = *mImpl;
    if (m.connect) {
        if (m.attached) {
            OSXDispatch rec{};
            m.callDriver(kReqDetach, rec);
        }
        IOServiceClose(m.connect);
        m.connect = 0;
    }
    m.attached = false;
    m.userRing = nullptr;
    m.pump();
}

LoopbackCheck HarnessClient::Impl::checkLoopback(size_t from, size_t to) const {
    // From the first frame that is not silence, every input frame is the
    // played frame a fixed number of frames earlier.
    LoopbackCheck r;
    const uint32_t ch = options.channels;
    size_t start = from;
    auto silent = [&](size_t f) {
        for (uint32_t c = 0; c < ch; ++c)
            if (recorded[f * ch + c] != 0) return false;
        return true;
    };
    while (start < to && silent(start))
        ++start;
    r.nonSilent = start < to;
    auto positionOf = [&](size_t f) {
        uint64_t pos = 0;
        for (const Segment& s : segments)
            if (s.index <= f) pos = s.position + (f - s.index);
        return pos;
    };
    auto matchesAt = [&](size_t f, uint64_t out) {
        for (uint32_t c = 0; c < ch; ++c)
            if (recorded[f * ch + c] != expected(out, c)) return false;
        return true;
    };
    if (start >= to || !options.loopback) return r;
    const uint64_t inPos = positionOf(start);
    const size_t probe = std::min<size_t>(16, to - start);
    for (uint64_t back = 0; back <= 65536 && back <= inPos && !r.latencyKnown; ++back) {
        bool all = true;
        for (size_t k = 0; k < probe && all; ++k)
            all = matchesAt(start + k, inPos - back + k);
        if (all) {
            r.latencyKnown = true;
            r.latency = int64_t(back);
        }
    }
    if (!r.latencyKnown) return r;
    r.returnStart = start;
    r.firstPlayedPos = positionOf(start) - uint64_t(r.latency);
    for (size_t f = start; f < to; ++f) {
        ++r.checked;
        if (options.silenceTolerated && silent(f)) {
            ++r.silent;
            continue;
        }
        const uint64_t played = positionOf(f) - uint64_t(r.latency);
        if (options.silenceTolerated && !matchesAt(f, played) && staleAt(f, played, matchesAt)) {
            ++r.stale;
            continue;
        }
        if (!matchesAt(f, played)) {
            ++r.mismatches;
            if (r.firstMismatch < 0) r.firstMismatch = int64_t(f);
        }
    }
    return r;
}

// What the driver shared memory shows of the device.
void HarnessClient::Impl::fillDevice(HarnessReport& r) const {
    if (!userDriverSM) return;
    const DriverSM& sm = *userDriverSM;
    r.vendorName = cString(sm.mVendorString, sizeof sm.mVendorString);
    r.productName = cString(sm.mProductString, sizeof sm.mProductString);
    r.serialNumber = cString(sm.mSerialString, sizeof sm.mSerialString);
    r.vendorID = sm.mVendor;
    r.productID = sm.mProduct;
    r.release = sm.mRelease;
    r.highSpeed = sm.mHighSpeed != 0;
    r.configured = sm.mConfigured != 0;
    r.rate = sm.mChannelSettings.Frequency;
    r.inChannels = sm.mChannelSettings.InChannels;
    r.outChannels = sm.mChannelSettings.OutChannels;
    r.resolution = sm.mChannelSettings.InResolution;
}

void HarnessClient::Impl::fillLoopback(HarnessReport& r) const {
    const uint32_t ch = options.channels;
    const size_t frames = ch ? recorded.size() / ch : 0;
    const bool recovered = recoveredAt != SIZE_MAX && recoveredAt <= frames;
    // Before a recovery and after it are two streams, each with its own
    // latency.
    const LoopbackCheck before =
        checkLoopback(options.settleFrames, recovered ? recoveredAt : frames);
    r.latencyKnown = before.latencyKnown;
    r.latencyFrames = before.latency;
    r.framesChecked = before.checked;
    r.mismatches = before.mismatches;
    r.silentFrames = before.silent;
    r.staleFrames = before.stale;
    r.firstMismatch = before.firstMismatch;
    r.latencyConstant = before.latencyKnown && before.mismatches == 0;
    r.matched = before.latencyKnown && before.mismatches == 0 &&
                before.checked > before.silent + before.stale;
    if (before.latencyKnown) {
        r.firstCheckedPlayed = int64_t(before.firstPlayedPos - playOrigin.value_or(0));
        r.returnStart = before.returnStart;
    }
    if (recovered) {
        const LoopbackCheck after = checkLoopback(recoveredAt, frames);
        r.streamRecovered = after.nonSilent;
        r.framesCheckedAfterRecovery = after.checked;
        r.matchedAfterRecovery = after.latencyKnown && after.mismatches == 0 && after.checked > 0;
    }
}

HarnessReport HarnessClient::report() const {
    const Impl& m = *mImpl;
    HarnessReport r;
    r.transport = hx::iokit::transportName();
    r.routing = m.options.routing;
    r.highSpeed = m.options.highSpeed;
    m.fillDevice(r);
    r.framesIn = m.framesIn;
    r.framesOut = m.framesOut;
    m.pump();
    r.stateChanges = m.codes;
    r.clientType = kAudioClientType;
    r.slot = m.slot;
    r.identity = m.clientId;
    r.streamBreaks = uint32_t(
        std::count(r.stateChanges.begin(), r.stateChanges.end(), uint32_t(STC_STREAM_BROKEN)));
    r.recoveries = m.recoveries;
    m.fillLoopback(r);
    return r;
}

const std::vector<int32_t>& HarnessClient::recordedInput() const {
    return mImpl->recorded;
}
int32_t HarnessClient::playedSample(uint64_t frame, uint32_t channel) const {
    return mImpl->sample(frame, channel);
}
const std::string& HarnessClient::lastError() const {
    return mImpl->error;
}
const HarnessOptions& HarnessClient::options() const {
    return mImpl->options;
}
io_connect_t HarnessClient::connection() const {
    return mImpl->connect;
}
task_t HarnessClient::task() const {
    return mImpl->task;
}
uint64_t HarnessClient::clientIdentifier() const {
    return mImpl->clientId;
}
AudioSM* HarnessClient::clientRing() {
    return mImpl->userRing;
}
DriverSM* HarnessClient::driverSM() {
    return mImpl->userDriverSM;
}
uint32_t HarnessClient::ringState() const {
    return mImpl->ringState();
}
std::vector<uint32_t> HarnessClient::stateChanges() const {
    mImpl->pump();
    return mImpl->codes;
}

} // namespace hx::harness
