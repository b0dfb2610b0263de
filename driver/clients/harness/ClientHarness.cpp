#include "driver/clients/harness/ClientHarness.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <mutex>
#include <sstream>

#include "abi/AudioSM.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/ZrUserClients.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/stream/DriverData.h"
#include "driver/transcoders/OutMixer.h"
#include "driver/transcoders/PCMConverters.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/kern/IOService.h"
#include "platform/kern/IOUserClient.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/BulkProtocolModel.h"
#include "platform/usb/devices/ClassAudioModel.h"
#include "platform/usb/devices/Farlane2Model.h"
#include "platform/usb/devices/FeedbackModel.h"
#include "platform/usb/devices/InterruptPcmModel.h"
#include "platform/usb/devices/HX5100Model.h"
#include "platform/usb/devices/SorvikModel.h"

namespace {

constexpr uint32_t kAudioClientType = 0;
constexpr uint32_t kNoUpdaterType = 4;
constexpr uint32_t kHarnessPid = 4100;
constexpr uint32_t kHarnessUid = 501;
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

const char* decoderName(USB_DEC_FNC f) {
    const char* name = pcmConverterName(f);
    return name ? name : f ? "other" : "none";
}

const char* encoderName(USB_ENC_FNC f) {
    const char* name = pcmConverterName(f);
    return name ? name : f ? "other" : "none";
}

std::string cString(const char* p, size_t size) {
    return std::string(p, strnlen(p, size));
}

} // namespace

namespace hx::harness {

int32_t mixRoundTrip(int32_t sample) {
    const int32_t v = sample >> 8;
    return int32_t(uint32_t((v / 2) * 2) << 8);
}

// One loopback check over a range of recorded frames.
struct LoopbackCheck {
    bool nonSilent = false;
    bool latencyKnown = false;
    int64_t latency = 0;
    uint64_t checked = 0;
    uint64_t mismatches = 0;
    int64_t firstMismatch = -1;
    size_t returnStart = 0;      // recorded frame where the checked signal starts
    uint64_t firstPlayedPos = 0; // output position of the frame that came back there
};

struct ClientHarness::Impl {
    explicit Impl(const HarnessOptions& o) : options(o) {
        if (options.writeAheadFrames == 0)
            options.writeAheadFrames = defaultWriteAheadFrames(options.rate);
    }

    HarnessOptions options;
    std::string error;
    std::optional<hx::clock::VirtualClock> clock;
    bool personalitiesLoaded = false;
    std::unique_ptr<hx::usb::Bus> bus;
    std::shared_ptr<hx::usb::devices::HX5100Model> model;
    uint8_t port = 0;
    ZrKernelDeviceKorvexHX5100* service = nullptr;
    // The harness's own process, its connection and what it maps.
    task_t task = MACH_PORT_NULL;
    io_connect_t connect = MACH_PORT_NULL;
    IOUserClient* client = nullptr; // retained, for callers that look
    uint64_t clientId = 0;          // as Req 27 answers it
    int slot = -1;
    bool configured = false;
    std::shared_ptr<hx::kern::UserInterest> interest;
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
    bool fifoMarked = false;
    std::vector<int32_t> recorded;
    std::vector<int32_t> scratch;
    std::vector<uint8_t> extraScratch;
    // The state changes queued for the harness's subscription so far.
    void pumpStateChanges() const {
        if (!interest) return;
        hx::kern::UserInterest::Message msg;
        while (interest->next(msg))
            if (msg.type == kQnStateChangeMessage &&
                msg.argument.size() >= sizeof(QN_StateChange)) {
                QN_StateChange r;
                std::memcpy(&r, msg.argument.data(), sizeof r);
                codes.push_back(r.mCode);
            }
    }

    IOReturn callDriver(uint32_t req, OSXDispatch& rec) {
        return hx::harness::callDriver(connect, req, rec);
    }
    // A control request through Req 35: the union's first `size` bytes set by
    // `code`, then read back by `readBack` (Req 35 answers success whatever
    // the request did, so the read-back is what tells).
    bool dispatch(uint32_t code, const void* data, size_t size, uint32_t readBack) {
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

    template <class T> T* mapType(uint32_t type, size_t size) {
        mach_vm_address_t a = 0;
        mach_vm_size_t n = 0;
        if (hx::kern::connectionMap(connect, type, &a, &n) != kIOReturnSuccess || n != size)
            return nullptr;
        return reinterpret_cast<T*>(a);
    }

    // Reaction to state changes: codes already seen, and the recovery stage
    // due at a time (0: none).
    size_t codesSeen = 0;
    int pendingStage = 0;
    uint64_t stageDue = 0;
    uint32_t recoveries = 0;
    size_t recoveredAt = SIZE_MAX; // recorded frame index of the last recovery
    void react();
    LoopbackCheck checkLoopback(size_t from, size_t to) const;

    bool fail(const std::string& e) {
        error = e;
        return false;
    }

    // The played signal's frame 0 is the first output frame the client
    // writes; a frame position is made relative to it.
    std::optional<uint64_t> playOrigin;

    uint32_t ins() const {
        return options.inputChannels ? options.inputChannels : options.channels;
    }
    uint32_t outs() const {
        return options.outputChannels ? options.outputChannels : options.channels;
    }
    // The multi-channel model on the bus, if it is one.
    hx::usb::devices::ChannelStreamDevice* channelModel() const {
        return dynamic_cast<hx::usb::devices::ChannelStreamDevice*>(model.get());
    }

    int32_t sample(uint64_t position, uint32_t channel) const {
        const uint64_t frame = position - playOrigin.value_or(0);
        if (options.signal == Signal::Ramp && channelModel())
            return int32_t(hx::usb::devices::ChannelRamp::sample(frame, channel) << 8);
        if (options.signal == Signal::Ramp)
            return int32_t(hx::usb::devices::Ramp::sample(frame, channel) << 8);
        const double phase =
            2.0 * M_PI * options.sineHz * double(frame) / double(options.rate ? options.rate : 1) +
            double(channel) * M_PI / 2;
        const int32_t v = int32_t(std::lround(options.sineAmplitude * 8388607.0 * std::sin(phase)));
        return int32_t(uint32_t(std::clamp(v, -8388608, 8388607)) << 8);
    }

    int32_t expected(uint64_t frame, uint32_t channel) const {
        const int32_t s = sample(frame, channel);
        return options.routing == Routing::Mix ? mixRoundTrip(s) : s;
    }

    uint32_t ringState() const {
        if (!userRing) return 0;
        return audiosm::load32(AUDIOSM_CAT(userRing, AudioSM, mAttachState), __ATOMIC_ACQUIRE);
    }

    void cycle();
};

IOReturn callDriver(uint32_t connect, uint32_t req, OSXDispatch& rec, uint32_t selector) {
    rec.iReq = req;
    size_t outSize = sizeof rec;
    hx::kern::ConnectionCall call;
    call.structInput = &rec;
    call.structInputSize = sizeof rec;
    call.structOutput = &rec;
    call.structOutputSize = &outSize;
    return hx::kern::connectionCall(connect, selector, call);
}

uint8_t extraByteOf(uint64_t frame, uint32_t index) {
    return index % 2 == 0 ? uint8_t(frame) : uint8_t(0x80 | ((frame >> 8) & 0x7F));
}

uint32_t defaultWriteAheadFrames(uint32_t rate) {
    constexpr uint64_t kFramesAt48k = 880;
    const uint64_t scaled = (kFramesAt48k * rate + 47999) / 48000;
    return uint32_t(std::max(kFramesAt48k, scaled));
}

ClientHarness::ClientHarness(const HarnessOptions& options)
    : mImpl(std::make_unique<Impl>(options)) {}

ClientHarness::~ClientHarness() {
    Impl& m = *mImpl;
    stop();
    if (m.service && m.service->getDevice()) m.service->getDevice()->stopStreaming(true);
    if (m.task != MACH_PORT_NULL) {
        // The process ends: its mappings go with it.
        hx::kern::killTask(m.task);
        m.task = MACH_PORT_NULL;
    }
    if (m.service) {
        m.service->release();
        m.service = nullptr;
    }
    if (m.bus) {
        if (m.port) m.bus->unplug(m.port);
        hx::kern::waitQuiet();
        m.bus.reset();
    }
    if (m.personalitiesLoaded) {
        hx::kern::waitQuiet();
        ZrUnloadDriverPersonalities();
    }
    m.model.reset();
    m.clock.reset();
}

namespace {

// Where a multi-channel model plugs: its listed identity.
struct ModelIdentity {
    uint16_t vendor;
    uint16_t product;
};

std::optional<ModelIdentity> multiChannelIdentity(const HarnessOptions& o, uint32_t ins,
                                                  uint32_t outs) {
    switch (o.device) {
    case DeviceKind::Bulk:
    case DeviceKind::BulkInterrupt:
        return ModelIdentity{kQuarnelVendorID, kQuarnelBulkB01ProductID};
    case DeviceKind::Feedback:
        return ModelIdentity{kQuarnelVendorID, kQuarnelBulkInIsocOutProductID};
    case DeviceKind::Interrupt:
        return ModelIdentity{kKorvexVendorID, kKorvexMRW30ProductID};
    case DeviceKind::Farlane2:
        // The product whose channel pair this is; 4 and 4 for the others.
        for (const ZrChannelPair& pair : kSorvikFarlane2ChannelPairs)
            if (pair.ins == ins && pair.outs == outs)
                return ModelIdentity{kSorvikVendorID, pair.product};
        return ModelIdentity{kSorvikVendorID, kSorvikFarlane2ProductIDs[5]};
    default:
        return std::nullopt;
    }
}

std::shared_ptr<hx::usb::devices::HX5100Model> makeMultiChannelModel(const HarnessOptions& o,
                                                                     const ModelIdentity& at,
                                                                     uint32_t ins, uint32_t outs) {
    using namespace hx::usb::devices;
    const HX5100Identity id{at.vendor, at.product, uint16_t(o.release ? o.release : 0x0100),
                            "QUARNEL", "MULTI",    "SN0002"};
    switch (o.device) {
    case DeviceKind::Bulk:
    case DeviceKind::BulkInterrupt:
        return std::make_shared<BulkProtocolModel>(
            id, BulkProtocolLayout{ins, outs, o.device == DeviceKind::BulkInterrupt});
    case DeviceKind::Feedback:
        return std::make_shared<FeedbackModel>(id, FeedbackLayout{ins, outs, 1});
    case DeviceKind::Interrupt: {
        // An alternate for each count used, the smaller first.
        std::vector<uint32_t> counts{std::min(ins, outs)};
        if (ins != outs) counts.push_back(std::max(ins, outs));
        return std::make_shared<InterruptPcmModel>(id, InterruptPcmLayout{counts, 16});
    }
    default:
        return std::make_shared<Farlane2Model>(id, std::array<uint8_t, 8>{0x5F, 2}, "Farlane2", ins,
                                               outs);
    }
}

} // namespace

bool ClientHarness::boot() {
    Impl& m = *mImpl;
    const HarnessOptions& o = m.options;
    if (o.clockMode != ClockMode::Real && !hx::clock::isVirtual())
        m.clock.emplace(hx::clock::VirtualClock::kDefaultStart, true,
                        o.clockMode == ClockMode::Paced ? hx::clock::Pacing::WallClock
                                                        : hx::clock::Pacing::None);
    ZrLoadDriverPersonalities();
    m.personalitiesLoaded = true;
    const std::optional<ModelIdentity> multi = multiChannelIdentity(o, m.ins(), m.outs());
    if (o.device == DeviceKind::Farlane1 || o.vendorID != kKorvexVendorID || multi) {
        OSDictionary* p =
            multi ? ZrMakeDriverPersonality(multi->vendor, multi->product, nullptr)
            : o.device == DeviceKind::Farlane1
                ? ZrMakeDriverPersonality(kSorvikVendorID, kSorvikFarlane1ProductIDs[0], nullptr)
                : ZrMakeDriverPersonality(o.vendorID, o.productID, nullptr);
        hx::kern::addPersonality(p);
        p->release();
    }
    m.bus = std::make_unique<hx::usb::Bus>(hx::usb::BusOptions{o.firstBusFrame, 4, 2});
    const uint8_t speed = o.highSpeed ? kUSBHostConnectionSpeedHigh : kUSBHostConnectionSpeedFull;
    if (multi) {
        m.model = makeMultiChannelModel(o, *multi, m.ins(), m.outs());
    } else if (o.device == DeviceKind::Farlane1) {
        hx::usb::devices::HX5100Identity id{kSorvikVendorID,
                                            kSorvikFarlane1ProductIDs[0],
                                            uint16_t(o.release ? o.release : 3),
                                            "SORVIK",
                                            "FARLANE",
                                            ""};
        m.model = std::make_shared<hx::usb::devices::SorvikModel>(
            speed, id, std::array<uint8_t, 8>{0x5F, 1}, "Farlane",
            hx::usb::devices::SorvikLayout::Farlane1);
    } else {
        hx::usb::devices::HX5100Identity id{
            o.vendorID,     o.productID,  uint16_t(o.release ? o.release : 0x0100),
            "KORVEX AUDIO", "HX5100 USB", "SN0001"};
        if (o.device == DeviceKind::ClassCompliant)
            m.model = std::make_shared<hx::usb::devices::ClassAudioModel>(
                speed, id, hx::usb::devices::ClassAudioLayout{});
        else
            m.model = std::make_shared<hx::usb::devices::HX5100Model>(speed, id);
    }
    hx::usb::devices::HX5100StreamConfig sc;
    sc.ppm = o.ppm;
    sc.jitterNanos = o.jitterNanos;
    sc.source = o.loopback ? hx::usb::devices::HX5100Source::Loopback
                           : hx::usb::devices::HX5100Source::Ramp;
    sc.loopbackDelayFrames = o.loopbackDelayFrames;
    sc.dropFrameAt = o.dropFrameAt;
    sc.repeatFrameAt = o.repeatFrameAt;
    m.model->setStreamConfig(sc);
    if (hx::usb::devices::ChannelStreamDevice* cm = m.channelModel()) {
        hx::usb::devices::ChannelStreamConfig cc;
        cc.ppm = o.ppm;
        cc.jitterNanos = o.jitterNanos;
        cc.source = sc.source;
        cc.loopbackDelayFrames = o.loopbackDelayFrames;
        cm->configureChannels(cc);
    }
    m.port = m.bus->plug(m.model);
    hx::kern::waitQuiet();
    IOUSBHostDevice* dev = m.bus->copyDevice(m.port);
    if (!dev) return m.fail("the device is not on the bus");
    OSIterator* it = dev->getClientIterator();
    while (OSObject* obj = it ? it->getNextObject() : nullptr)
        if (auto* s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, obj)) {
            s->retain();
            m.service = s;
            break;
        }
    if (it) it->release();
    dev->release();
    if (!m.service || !m.service->getDevice())
        return m.fail("the driver did not start on the device");
    return true;
}

bool ClientHarness::openClient() {
    Impl& m = *mImpl;
    if (!m.service) return m.fail("no service");
    if (!ZrUserClientsRegistered()) return m.fail("the user-client classes are not registered");
    if (m.task == MACH_PORT_NULL)
        m.task = hx::kern::createTask(int(kHarnessPid), "hxharness", kHarnessUid);
    m.interest = m.service->subscribeUserInterest();
    // Opening type 4 tells the driver that no firmware updater runs; it
    // never gives a client.
    io_connect_t none = MACH_PORT_NULL;
    hx::kern::connectionOpen(m.service, m.task, kNoUpdaterType, &none);
    if (hx::kern::connectionOpen(m.service, m.task, kAudioClientType, &m.connect) !=
        kIOReturnSuccess)
        return m.fail("the audio client did not open");
    m.client = hx::kern::connectionClient(m.connect);
    OSXDispatch rec{};
    qnWriteU32(&rec, kOSXDispatchValueOffset, kHarnessPid);
    if (m.callDriver(kReqConnected, rec) != kIOReturnSuccess)
        return m.fail("the client id was refused");
    rec = OSXDispatch{};
    if (m.callDriver(kReqIdentity, rec) != kIOReturnSuccess)
        return m.fail("the client identity was refused");
    m.clientId = qnReadU64(&rec, kOSXDispatchValueOffset);
    return true;
}

bool ClientHarness::configure() {
    Impl& m = *mImpl;
    ZrDevice* dev = device();
    if (!dev || m.connect == MACH_PORT_NULL) return m.fail("no device");
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
            d.data.cQN_Sorvik_ChannelMap.mIn[k] = d.data.cQN_Sorvik_ChannelMap.mOut[k] = k + 1;
        std::memcpy(reinterpret_cast<uint8_t*>(&mapRec) + kOSXDispatchRecordOffset, &d, sizeof d);
        if (m.callDriver(kReqDispatch, mapRec) != kIOReturnSuccess)
            return m.fail("the channel map was not set");
    }
    const QnChannelSettings cs{o.rate, m.ins(), o.resolution, m.outs(), o.resolution, 0};
    std::memcpy(reinterpret_cast<uint8_t*>(m.userDriverSM) + offsetof(DriverSM, mChannelSettings),
                &cs, sizeof cs);
    OSXDispatch rec{};
    const IOReturn r = m.callDriver(kReqConfigureDevice, rec);
    if (r != kIOReturnSuccess) {
        std::ostringstream e;
        e << "configuration failed: 0x" << std::hex << r;
        return m.fail(e.str());
    }
    if (!dev->isStreamingStarted()) return m.fail("streaming did not start");
    m.configured = true;
    if (!m.userInput && !(m.userInput = m.mapType<AudioSM>(kMemoryDeviceAudioSM, sizeof(AudioSM))))
        return m.fail("the input ring cannot be mapped");
    return true;
}

bool ClientHarness::setRouting() {
    Impl& m = *mImpl;
    if (m.connect == MACH_PORT_NULL) return m.fail("no client");
    // Pass: output pair 0 carries playback pair 0 unchanged. Mix: no
    // routing, each output from its own playback channel at unity.
    int8_t routing[32] = {};
    if (m.options.routing == Routing::Pass) routing[0] = 1;
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

bool ClientHarness::attachRing() {
    Impl& m = *mImpl;
    if (m.connect == MACH_PORT_NULL) return m.fail("no client");
    if (!m.userRing && !(m.userRing = m.mapType<AudioSM>(kMemoryClientAudioSM, sizeof(AudioSM))))
        return m.fail("the ring cannot be mapped");
    // The kernel lays the ring out for the configuration and attaches it.
    OSXDispatch rec{};
    rec.frameSize = kRingFrameSize;
    qnWriteU32(&rec, kOSXDispatchValueOffset, kRingTag);
    const IOReturn r = m.callDriver(kReqAttach, rec);
    if (r != kIOReturnSuccess) {
        std::ostringstream e;
        e << "the ring was not attached: 0x" << std::hex << r;
        return m.fail(e.str());
    }
    m.slot = int(qnReadU32(&rec, kOSXDispatchValueOffset));
    m.attached = true;
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

bool ClientHarness::start() {
    return boot() && openClient() && configure() && setRouting() && attachRing();
}

void ClientHarness::Impl::cycle() {
    if (!userRing || !userInput) return;
    if (ringState() != 1) {
        running = false;
        return;
    }
    if (!running) {
        running = true;
        readPos = audiosm::load64(AUDIOSM_CAT(userRing, AudioSM, mClientFramePos));
        segments.push_back({recorded.size() / (ins() ? ins() : 1), readPos});
    }
    const uint32_t ch = ins();
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
    if (!fifoMarked) {
        for (size_t i = 0; i < size_t(got) * ch && !fifoMarked; ++i)
            fifoMarked = scratch[i] != 0;
        if (fifoMarked) model->markFifoLock();
        if (fifoMarked && channelModel()) channelModel()->markChannelFifoLock();
    }
    // The same number of frames out, written ahead of the kernel. The
    // client ring carries 24-bit values in the low bits (sign-extended);
    // the input ring gives them back left-aligned.
    const uint64_t first = userRing->getFramePos() + options.writeAheadFrames;
    if (!playOrigin) playOrigin = first;
    const uint32_t och = outs();
    scratch.resize(size_t(got) * std::max(ch, och));
    for (uint32_t f = 0; f < got; ++f)
        for (uint32_t c = 0; c < och; ++c)
            scratch[size_t(f) * och + c] = sample(first + f, c) >> 8;
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

void ClientHarness::Impl::react() {
    if (!options.reactToStateChanges || !client || !service) return;
    ZrDevice* dev = service->getDevice();
    if (!dev) return;
    pumpStateChanges();
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
    recoveredAt = recorded.size() / (ins() ? ins() : 1);
}

void ClientHarness::restartLoopbackCheck() {
    Impl& m = *mImpl;
    m.recoveredAt = m.recorded.size() / (m.ins() ? m.ins() : 1);
}

void ClientHarness::systemSleep() {
    hx::kern::systemWillSleep();
}

void ClientHarness::systemWakeUp() {
    hx::kern::systemDidWake();
}

void ClientHarness::run(uint64_t micros) {
    Impl& m = *mImpl;
    const uint64_t step = m.options.cycleMicros ? m.options.cycleMicros : 1000;
    // One cycle per period, at absolute times, so a late wake-up on the real
    // clock is caught up and the run lasts what was asked.
    const uint64_t start = hx::clock::nowNanos();
    for (uint64_t t = step; t < micros + step; t += step) {
        const uint64_t due = start + std::min(t, micros) * 1000;
        if (m.clock)
            m.clock->runUntil(due);
        else
            hx::clock::sleepUntil(due);
        m.cycle();
        m.react();
    }
}

void ClientHarness::idle(uint64_t micros) {
    Impl& m = *mImpl;
    if (m.clock)
        m.clock->runFor(micros * 1000);
    else
        hx::clock::sleepFor(micros * 1000);
}

void ClientHarness::stop() {
    Impl& m = *mImpl;
    if (m.connect != MACH_PORT_NULL) {
        if (m.attached) {
            OSXDispatch rec{};
            m.callDriver(kReqDetach, rec);
        }
        hx::kern::connectionClose(m.connect);
        m.connect = MACH_PORT_NULL;
    }
    m.attached = false;
    m.userRing = nullptr;
    if (m.client) {
        m.client->release();
        m.client = nullptr;
    }
    m.pumpStateChanges();
}

LoopbackCheck ClientHarness::Impl::checkLoopback(size_t from, size_t to) const {
    // From the first frame that is not silence, every input frame is the
    // played frame a fixed number of frames earlier.
    LoopbackCheck r;
    const uint32_t ch = ins();
    const uint32_t och = outs() ? outs() : 1; // input channel c returns output c % och
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
            if (recorded[f * ch + c] != expected(out, c % och)) return false;
        return true;
    };
    if (start < to && options.loopback) {
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
        if (r.latencyKnown) {
            r.returnStart = start;
            r.firstPlayedPos = positionOf(start) - uint64_t(r.latency);
            for (size_t f = start; f < to; ++f) {
                ++r.checked;
                if (!matchesAt(f, positionOf(f) - uint64_t(r.latency))) {
                    ++r.mismatches;
                    if (r.firstMismatch < 0) r.firstMismatch = int64_t(f);
                }
            }
        }
    }
    return r;
}

HarnessReport ClientHarness::report() const {
    const Impl& m = *mImpl;
    HarnessReport r;
    r.routing = m.options.routing;
    r.highSpeed = m.options.highSpeed;
    ZrDevice* dev = m.service ? m.service->getDevice() : nullptr;
    if (dev && dev->getDriverSM()) {
        const DriverSM& sm = *dev->getDriverSM();
        r.vendorName = cString(sm.mVendorString, sizeof sm.mVendorString);
        r.productName = cString(sm.mProductString, sizeof sm.mProductString);
        r.serialNumber = cString(sm.mSerialString, sizeof sm.mSerialString);
        r.vendorID = sm.mVendor;
        r.productID = sm.mProduct;
        r.release = sm.mRelease;
        r.highSpeed = dev->isUSB2Device();
        r.firmwareVersion = dev->getFirmwareVersion();
        r.firmwareVersionText = cString(dev->getFirmwareVersionText(), 11);
        r.driverVersion = ZrDevice::getUSBVersion();
        r.configured = dev->isConfigured();
        const QnChannelSettings& cs = const_cast<ZrDevice*>(dev)->getCurrentSettings();
        r.rate = cs.Frequency;
        r.inChannels = cs.InChannels;
        r.outChannels = cs.OutChannels;
        r.resolution = cs.InResolution;
        const ZrDeviceConfigurations& cfg = dev->getConfigurations();
        if (cfg.mpInInterface) r.inAlternate = cfg.mpInInterface->getAlternateNumber();
        if (cfg.mpOutInterface) r.outAlternate = cfg.mpOutInterface->getAlternateNumber();
        r.inputConverter = decoderName(dev->getInputConverter());
        if (DriverData* dd = dev->getDriverData()) r.outputConverter = encoderName(dd->converter());
    }
    r.framesIn = m.framesIn;
    r.framesOut = m.framesOut;
    if (const hx::usb::devices::ChannelStreamDevice* cm = m.channelModel()) {
        const hx::usb::devices::ChannelStreamStats s = cm->channelStreamStats();
        r.deviceFramesIn = s.inFramesSent;
        r.deviceFramesOut = s.outFrames;
        r.fifoMin = s.fifoMin;
        r.fifoMax = s.fifoMax;
        r.fifoSamples = s.fifoSamples;
        r.fifoLock = s.fifoLockLevel;
        r.fifoUnderrunFrames = s.fifoUnderrunFrames;
        r.fifoOverrunFrames = s.fifoOverflowFrames;
        r.inFramesLost = s.inFramesLost;
    } else if (m.model) {
        const hx::usb::devices::HX5100StreamStats s = m.model->streamStats();
        r.deviceFramesIn = s.inFramesSent;
        r.deviceFramesOut = s.outFrames;
        r.patternErrors = s.outSizeAnomalies;
        r.fifoMin = s.fifoMin;
        r.fifoMax = s.fifoMax;
        r.fifoSamples = s.fifoSamples;
        r.fifoLock = s.fifoLockLevel;
        r.fifoUnderrunFrames = s.fifoUnderrunFrames;
        r.fifoOverrunFrames = s.fifoOverflowFrames;
        r.framesDropped = s.framesDropped;
        r.framesRepeated = s.framesRepeated;
        r.inFramesLost = s.inFramesLost;
    }
    m.pumpStateChanges();
    r.stateChanges = m.codes;
    r.clientType = kAudioClientType;
    r.slot = m.slot;
    r.identity = m.clientId;
    r.streamBreaks = uint32_t(
        std::count(r.stateChanges.begin(), r.stateChanges.end(), uint32_t(STC_STREAM_BROKEN)));

    r.recoveries = m.recoveries;
    const uint32_t ch = m.ins();
    const size_t frames = ch ? m.recorded.size() / ch : 0;
    const bool recovered = m.recoveredAt != SIZE_MAX && m.recoveredAt <= frames;
    // Before a recovery and after it are two streams, each with its own
    // latency.
    LoopbackCheck before =
        m.checkLoopback(m.options.settleFrames, recovered ? m.recoveredAt : frames);
    r.latencyKnown = before.latencyKnown;
    r.latencyFrames = before.latency;
    r.framesChecked = before.checked;
    r.mismatches = before.mismatches;
    r.firstMismatch = before.firstMismatch;
    r.latencyConstant = before.latencyKnown && before.mismatches == 0;
    r.matched = before.latencyKnown && before.mismatches == 0 && before.checked > 0;
    if (before.latencyKnown) {
        r.firstCheckedPlayed = int64_t(before.firstPlayedPos - m.playOrigin.value_or(0));
        r.returnStart = before.returnStart;
    }
    if (recovered) {
        const LoopbackCheck after = m.checkLoopback(m.recoveredAt, frames);
        r.streamRecovered = after.nonSilent;
        r.framesCheckedAfterRecovery = after.checked;
        r.matchedAfterRecovery = after.latencyKnown && after.mismatches == 0 && after.checked > 0;
    }
    return r;
}

std::string describe(const HarnessReport& r) {
    std::ostringstream o;
    o << "device: " << r.vendorName << " " << r.productName << " (serial " << r.serialNumber
      << ")\n";
    o << std::hex << "identifiers: vendor 0x" << r.vendorID << " product 0x" << r.productID
      << " release 0x" << r.release << "\n";
    o << "firmware: 0x" << r.firmwareVersion << " \"" << r.firmwareVersionText << "\"\n";
    o << "driver: 0x" << r.driverVersion << std::dec << "\n";
    o << "bus: " << (r.highSpeed ? "high" : "full") << " speed\n";
    o << "configured: " << (r.configured ? "yes" : "no") << "\n";
    o << "rate: " << r.rate << " Hz, channels in " << r.inChannels << " out " << r.outChannels
      << ", " << r.resolution << " bits\n";
    o << "alternates: in " << r.inAlternate << " out " << r.outAlternate << "\n";
    o << "converters: in " << r.inputConverter << " out " << r.outputConverter << "\n";
    o << "routing: " << (r.routing == Routing::Pass ? "pass" : "mix") << "\n";
    o << "client: type " << r.clientType << ", slot " << r.slot << ", identity 0x" << std::hex
      << r.identity << std::dec << "\n";
    o << "frames: in " << r.framesIn << " out " << r.framesOut << " (device sent "
      << r.deviceFramesIn << ", received " << r.deviceFramesOut << ")\n";
    o << "stream breaks: " << r.streamBreaks << "\n";
    o << "pattern errors: " << r.patternErrors << "\n";
    o << "device FIFO: min " << r.fifoMin << " max " << r.fifoMax;
    if (r.fifoLock) o << " at lock " << *r.fifoLock;
    o << "\n";
    if (r.latencyKnown)
        o << "latency: " << r.latencyFrames << " frames" << (r.latencyConstant ? " (constant)" : "")
          << "\n";
    else
        o << "latency: unknown\n";
    o << "loopback: " << (r.matched ? "matched" : "not matched") << ", " << r.framesChecked
      << " frames checked, " << r.mismatches << " mismatches\n";
    if (r.recoveries)
        o << "recoveries: " << r.recoveries << ", stream "
          << (r.streamRecovered ? "came back" : "did not come back") << ", loopback after "
          << (r.matchedAfterRecovery ? "matched" : "not matched") << " ("
          << r.framesCheckedAfterRecovery << " frames checked)\n";
    return o.str();
}

const std::vector<int32_t>& ClientHarness::recordedInput() const {
    return mImpl->recorded;
}
int32_t ClientHarness::playedSample(uint64_t frame, uint32_t channel) const {
    return mImpl->sample(frame, channel);
}
const std::string& ClientHarness::lastError() const {
    return mImpl->error;
}
const HarnessOptions& ClientHarness::options() const {
    return mImpl->options;
}
hx::usb::Bus* ClientHarness::bus() {
    return mImpl->bus.get();
}
uint8_t ClientHarness::port() const {
    return mImpl->port;
}
std::shared_ptr<hx::usb::devices::HX5100Model> ClientHarness::model() {
    return mImpl->model;
}
ZrKernelDeviceKorvexHX5100* ClientHarness::service() {
    return mImpl->service;
}
ZrDevice* ClientHarness::device() {
    return mImpl->service ? mImpl->service->getDevice() : nullptr;
}
DriverData* ClientHarness::driverData() {
    ZrDevice* d = device();
    return d ? d->getDriverData() : nullptr;
}
IOUserClient* ClientHarness::userClient() {
    return mImpl->client;
}
uint64_t ClientHarness::clientIdentifier() const {
    return mImpl->clientId;
}
AudioSM* ClientHarness::clientRing() {
    return mImpl->userRing;
}
uint32_t ClientHarness::ringState() const {
    return mImpl->ringState();
}

} // namespace hx::harness
