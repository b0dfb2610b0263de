#include "driver/clients/harness/HarnessMachine.h"

#include <array>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>

#include "abi/APIDeviceInfo.h"
#include "abi/DriverSM.h"
#include "abi/QN_Dispatch.h"
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

// ---- Facts as text

namespace {

// The facts' fields by key, read and written through one table.
template <typename Visit> void visitFacts(MachineFacts& f, Visit&& v) {
    v("driverClass", f.driverClass);
    v("firmwareVersion", f.firmwareVersion);
    v("firmwareVersionText", f.firmwareVersionText);
    v("driverVersion", f.driverVersion);
    v("highSpeed", f.highSpeed);
    v("configured", f.configured);
    v("rate", f.rate);
    v("inChannels", f.inChannels);
    v("outChannels", f.outChannels);
    v("resolution", f.resolution);
    v("inAlternate", f.inAlternate);
    v("outAlternate", f.outAlternate);
    v("inputConverter", f.inputConverter);
    v("outputConverter", f.outputConverter);
    v("inFramesSent", f.deviceFramesIn);
    v("outFrames", f.deviceFramesOut);
    v("playedFrames", f.playedFrames);
    v("patternErrors", f.patternErrors);
    v("fifoMin", f.fifoMin);
    v("fifoMax", f.fifoMax);
    v("fifoSamples", f.fifoSamples);
    v("fifoLock", f.fifoLock);
    v("fifoUnderrunFrames", f.fifoUnderrunFrames);
    v("fifoOverrunFrames", f.fifoOverrunFrames);
    v("framesDropped", f.framesDropped);
    v("framesRepeated", f.framesRepeated);
    v("inFramesLost", f.inFramesLost);
    v("hostPauses", f.hostPauses);
    v("bulkTransport", f.bulkTransport);
    v("keepAlivePackets", f.keepAlivePackets);
    v("keepAliveGaps", f.keepAliveGaps);
    v("guardInserts", f.guardInserts);
    v("underruns", f.underruns);
    v("requestsServed", f.requestsServed);
}

struct Writer {
    std::ostringstream& out;
    template <typename T> void operator()(const char* key, const T& value) {
        out << key << ' ' << value << '\n';
    }
    void operator()(const char* key, bool value) { out << key << ' ' << (value ? 1 : 0) << '\n'; }
    void operator()(const char* key, const std::optional<int64_t>& value) {
        if (value) out << key << ' ' << *value << '\n';
    }
    // "key code:count,code:count"
    void operator()(const char* key, const std::map<uint32_t, uint64_t>& value) {
        out << key << ' ';
        const char* sep = "";
        for (const auto& [code, n] : value) {
            out << sep << code << ':' << n;
            sep = ",";
        }
        out << '\n';
    }
};

struct Parser {
    const std::string& key;
    std::istringstream& rest;
    bool matched = false;
    template <typename T> void operator()(const char* name, T& value) {
        if (matched || key != name) return;
        matched = true;
        T v{};
        if (rest >> v) value = v;
    }
    void operator()(const char* name, std::string& value) {
        if (matched || key != name) return;
        matched = true;
        std::getline(rest >> std::ws, value);
    }
    void operator()(const char* name, bool& value) {
        if (matched || key != name) return;
        matched = true;
        int v = 0;
        if (rest >> v) value = v != 0;
    }
    void operator()(const char* name, std::optional<int64_t>& value) {
        if (matched || key != name) return;
        matched = true;
        int64_t v = 0;
        if (rest >> v) value = v;
    }
    void operator()(const char* name, std::map<uint32_t, uint64_t>& value) {
        if (matched || key != name) return;
        matched = true;
        uint32_t code = 0;
        uint64_t n = 0;
        char colon = 0;
        while (rest >> code >> colon >> n && colon == ':') {
            value[code] = n;
            char comma = 0;
            if (!(rest >> comma) || comma != ',') break;
        }
    }
};

} // namespace

std::string formatMachineFacts(const MachineFacts& facts) {
    std::ostringstream out;
    MachineFacts f = facts;
    visitFacts(f, Writer{out});
    return out.str();
}

MachineFacts parseMachineFacts(const std::string& text) {
    MachineFacts f;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream rest(line);
        std::string key;
        if (!(rest >> key)) continue;
        visitFacts(f, Parser{key, rest});
    }
    return f;
}

void applyMachineFacts(const MachineFacts& f, HarnessReport& r) {
    static_cast<DeviceFacts&>(r) = f;
}

// ---- The machine

struct Machine::Impl {
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
    // OSXDispatch requests the driver's clients received, by code.
    struct Requests {
        mutable std::mutex lock;
        std::map<uint32_t, uint64_t> served;
    };
    std::shared_ptr<Requests> requests = std::make_shared<Requests>();
    bool countingRequests = false;

    bool fail(const std::string& e) {
        error = e;
        return false;
    }
    void loadPersonalities();
    void makeModel();
    bool findService();
};

Machine::Machine(const HarnessOptions& options) : mImpl(std::make_unique<Impl>(options)) {}

Machine::~Machine() {
    Impl& m = *mImpl;
    if (m.countingRequests) hx::kern::setConnectionCallObserver(nullptr);
    if (m.service && m.service->getDevice()) m.service->getDevice()->stopStreaming(true);
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

std::optional<ModelIdentity> multiChannelIdentity(const HarnessOptions& o) {
    switch (o.device) {
    case DeviceKind::Bulk:
    case DeviceKind::BulkInterrupt:
        // Another listed bulk-protocol product when the caller names one.
        if (o.vendorID != kKorvexVendorID) return ModelIdentity{o.vendorID, o.productID};
        return ModelIdentity{kQuarnelVendorID, kQuarnelBulkB01ProductID};
    case DeviceKind::Feedback:
        return ModelIdentity{kQuarnelVendorID, kQuarnelBulkInIsocOutProductID};
    case DeviceKind::Interrupt:
        return ModelIdentity{kKorvexVendorID, kKorvexMRW30ProductID};
    case DeviceKind::Farlane2:
        for (const ZrChannelPair& pair : kSorvikFarlane2ChannelPairs)
            if (pair.ins == inputChannels(o) && pair.outs == outputChannels(o))
                return ModelIdentity{kSorvikVendorID, pair.product};
        return ModelIdentity{kSorvikVendorID, kSorvikFarlane2ProductIDs[5]};
    default:
        return std::nullopt;
    }
}

std::shared_ptr<hx::usb::devices::HX5100Model> makeMultiChannelModel(const HarnessOptions& o,
                                                                     const ModelIdentity& at) {
    using namespace hx::usb::devices;
    const HX5100Identity id{at.vendor, at.product, uint16_t(o.release ? o.release : 0x0100),
                            "QUARNEL", "MULTI",    "SN0002"};
    const uint32_t n = inputChannels(o), m = outputChannels(o);
    switch (o.device) {
    case DeviceKind::Bulk:
    case DeviceKind::BulkInterrupt: {
        // The maker's two products whose 10 outputs take the fifth-lane layout.
        const bool kx = ZrIsListedProduct(ZrProductList::BulkEncoderKX, at.vendor, at.product);
        const bool brava = ZrIsListedProduct(ZrProductList::BulkBravaLayout, at.vendor, at.product);
        return std::make_shared<BulkProtocolModel>(
            id, BulkProtocolLayout{n, m, o.device == DeviceKind::BulkInterrupt, kx, brava});
    }
    case DeviceKind::Feedback:
        return std::make_shared<FeedbackModel>(id, FeedbackLayout{n, m, o.feedbackInterval});
    case DeviceKind::Interrupt:
        return std::make_shared<InterruptPcmModel>(id, InterruptPcmLayout{{n}, 16});
    default:
        return std::make_shared<Farlane2Model>(id, std::array<uint8_t, 8>{0x5F, 2}, "Farlane2", n,
                                               m);
    }
}

// "QnSpecific" with a loaded features record that sets `flags`.
OSDictionary* featuresSpecific(const std::vector<uint8_t>& flags) {
    APISpecificFeatures f{};
    f.mLoaded = 1;
    for (uint8_t n : flags)
        if (n < kSpecFeatureFlagCount) f.mFlags[n] = 1;
    OSDictionary* s = OSDictionary::withCapacity(1);
    OSData* d = OSData::withBytes(&f, sizeof f);
    s->setObject("kConfigurationData", d);
    d->release();
    return s;
}

} // namespace

void Machine::Impl::loadPersonalities() {
    const HarnessOptions& o = options;
    const std::optional<ModelIdentity> multi = multiChannelIdentity(o);
    const ModelIdentity at = multi ? *multi
                             : o.device == DeviceKind::Farlane1
                                 ? ModelIdentity{kSorvikVendorID, kSorvikFarlane1ProductIDs[0]}
                                 : ModelIdentity{o.vendorID, o.productID};
    personalitiesLoaded = true;
    if (o.featureFlags) {
        // The device's only personality: the one with the record.
        OSDictionary* specific = featuresSpecific(*o.featureFlags);
        OSDictionary* p = ZrMakeDriverPersonality(at.vendor, at.product, specific);
        hx::kern::addPersonality(p);
        p->release();
        specific->release();
        return;
    }
    ZrLoadDriverPersonalities();
    if (o.device == DeviceKind::Farlane1 || o.vendorID != kKorvexVendorID || multi) {
        OSDictionary* p = ZrMakeDriverPersonality(at.vendor, at.product, nullptr);
        hx::kern::addPersonality(p);
        p->release();
    }
}

void Machine::Impl::makeModel() {
    const HarnessOptions& o = options;
    const uint8_t speed = o.highSpeed ? kUSBHostConnectionSpeedHigh : kUSBHostConnectionSpeedFull;
    if (o.model) {
        model = o.model;
    } else if (const std::optional<ModelIdentity> multi = multiChannelIdentity(o)) {
        model = makeMultiChannelModel(o, *multi);
    } else if (o.device == DeviceKind::Farlane1) {
        hx::usb::devices::HX5100Identity id{kSorvikVendorID,
                                            kSorvikFarlane1ProductIDs[0],
                                            uint16_t(o.release ? o.release : 3),
                                            "SORVIK",
                                            "FARLANE",
                                            ""};
        model = std::make_shared<hx::usb::devices::SorvikModel>(
            speed, id, std::array<uint8_t, 8>{0x5F, 1}, "Farlane",
            hx::usb::devices::SorvikLayout::Farlane1);
    } else {
        hx::usb::devices::HX5100Identity id{
            o.vendorID,     o.productID,  uint16_t(o.release ? o.release : 0x0100),
            "KORVEX AUDIO", "HX5100 USB", "SN0001"};
        if (o.device == DeviceKind::ClassCompliant)
            model = std::make_shared<hx::usb::devices::ClassAudioModel>(
                speed, id, hx::usb::devices::ClassAudioLayout{});
        else
            model = std::make_shared<hx::usb::devices::HX5100Model>(speed, id);
    }
    hx::usb::devices::HX5100StreamConfig sc;
    sc.ppm = o.ppm;
    sc.jitterNanos = o.jitterNanos;
    sc.source = o.loopback ? hx::usb::devices::HX5100Source::Loopback
                           : hx::usb::devices::HX5100Source::Ramp;
    sc.loopbackDelayFrames = o.loopbackDelayFrames;
    sc.dropFrameAt = o.dropFrameAt;
    sc.repeatFrameAt = o.repeatFrameAt;
    model->setStreamConfig(sc);
    if (auto* cm = dynamic_cast<hx::usb::devices::ChannelStreamDevice*>(model.get())) {
        hx::usb::devices::ChannelStreamConfig cc;
        cc.ppm = o.ppm;
        cc.jitterNanos = o.jitterNanos;
        cc.source = sc.source;
        cc.loopbackDelayFrames = o.loopbackDelayFrames;
        cm->configureChannels(cc);
    }
}

bool Machine::Impl::findService() {
    IOUSBHostDevice* dev = bus->copyDevice(port);
    if (!dev) return fail("the device is not on the bus");
    OSIterator* it = dev->getClientIterator();
    while (OSObject* obj = it ? it->getNextObject() : nullptr)
        if (auto* s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, obj)) {
            s->retain();
            service = s;
            break;
        }
    if (it) it->release();
    dev->release();
    if (!service || !service->getDevice()) return fail("the driver did not start on the device");
    return true;
}

bool Machine::boot() {
    Impl& m = *mImpl;
    const HarnessOptions& o = m.options;
    // The driver's user clients must be there for any client to open.
    if (!ZrUserClientsRegistered()) return m.fail("the user-client classes are not registered");
    // A booted machine stays as it is: a second bus would unplug the first
    // device (its service terminated, another published) and the service
    // held here would never be released.
    if (m.bus) return m.service || m.findService();
    if (o.clockMode != ClockMode::Real && !hx::clock::isVirtual())
        m.clock.emplace(hx::clock::VirtualClock::kDefaultStart, true,
                        o.clockMode == ClockMode::Paced ? hx::clock::Pacing::WallClock
                                                        : hx::clock::Pacing::None);
    m.loadPersonalities();
    // Every OSXDispatch request a client of the driver receives is counted
    // by its code: selector 0 of the audio and MIDI clients, 6 of the
    // audio-server client.
    hx::kern::setConnectionCallObserver([requests = m.requests](IOUserClient* client,
                                                                uint32_t selector, const void* in,
                                                                size_t size, IOReturn) {
        const bool dispatch =
            (selector == 0 && (OSDynamicCast(AudioUserClientKorvexHX5100, client) ||
                               OSDynamicCast(MidiUserClientKorvexHX5100, client))) ||
            (selector == 6 && OSDynamicCast(ASClientKorvexHX5100, client));
        if (!dispatch || size < sizeof(uint32_t)) return;
        uint32_t code = 0;
        std::memcpy(&code, in, sizeof code);
        std::lock_guard<std::mutex> g(requests->lock);
        ++requests->served[code];
    });
    m.countingRequests = true;
    m.bus = std::make_unique<hx::usb::Bus>(hx::usb::BusOptions{o.firstBusFrame, 4, 2});
    m.makeModel();
    m.port = m.bus->plug(m.model);
    hx::kern::waitQuiet();
    return m.findService();
}

void Machine::runUntil(uint64_t due) {
    if (mImpl->clock)
        mImpl->clock->runUntil(due);
    else
        hx::clock::sleepUntil(due);
}

void Machine::runFor(uint64_t nanos) {
    if (mImpl->clock)
        mImpl->clock->runFor(nanos);
    else
        hx::clock::sleepFor(nanos);
}

void Machine::systemSleep() {
    hx::kern::systemWillSleep();
}

void Machine::systemWakeUp() {
    hx::kern::systemDidWake();
}

uint64_t Machine::requestsServed(uint32_t code) const {
    std::lock_guard<std::mutex> g(mImpl->requests->lock);
    auto it = mImpl->requests->served.find(code);
    return it == mImpl->requests->served.end() ? 0 : it->second;
}

MachineFacts Machine::facts() const {
    const Impl& m = *mImpl;
    MachineFacts f;
    {
        std::lock_guard<std::mutex> g(m.requests->lock);
        f.requestsServed = m.requests->served;
    }
    f.highSpeed = m.options.highSpeed;
    if (m.service) f.driverClass = m.service->getMetaClass()->getClassName();
    ZrDevice* dev = m.service ? m.service->getDevice() : nullptr;
    if (dev && dev->getDriverSM()) {
        f.highSpeed = dev->isUSB2Device();
        f.firmwareVersion = dev->getFirmwareVersion();
        f.firmwareVersionText = cString(dev->getFirmwareVersionText(), 11);
        f.driverVersion = ZrDevice::getUSBVersion();
        f.configured = dev->isConfigured();
        const QnChannelSettings& cs = dev->getCurrentSettings();
        f.rate = cs.Frequency;
        f.inChannels = cs.InChannels;
        f.outChannels = cs.OutChannels;
        f.resolution = cs.InResolution;
        const ZrDeviceConfigurations& cfg = dev->getConfigurations();
        if (cfg.mpInInterface) f.inAlternate = cfg.mpInInterface->getAlternateNumber();
        if (cfg.mpOutInterface) f.outAlternate = cfg.mpOutInterface->getAlternateNumber();
        f.inputConverter = decoderName(dev->getInputConverter());
        if (DriverData* dd = dev->getDriverData()) f.outputConverter = encoderName(dd->converter());
        if (dev->getBulkStreaming().isConfigured()) {
            f.guardInserts = dev->getBulkStreaming().guardInserts();
            f.underruns = dev->getBulkStreaming().underruns();
        }
    }
    if (auto* bm = dynamic_cast<hx::usb::devices::BulkProtocolModel*>(m.model.get())) {
        const hx::usb::devices::BulkProtocolStats s = bm->stats();
        f.bulkTransport = true;
        f.keepAlivePackets = s.keepAlivePackets;
        f.keepAliveGaps = s.keepAliveGaps;
    }
    if (auto* cm = dynamic_cast<hx::usb::devices::ChannelStreamDevice*>(m.model.get())) {
        const hx::usb::devices::ChannelStreamStats s = cm->channelStreamStats();
        f.deviceFramesIn = s.inFramesSent;
        f.deviceFramesOut = s.outFrames;
        f.playedFrames = s.playedFrames;
        f.fifoMin = s.fifoMin;
        f.fifoMax = s.fifoMax;
        f.fifoSamples = s.fifoSamples;
        f.fifoLock = s.fifoLockLevel;
        f.fifoUnderrunFrames = s.fifoUnderrunFrames;
        f.fifoOverrunFrames = s.fifoOverflowFrames;
        f.inFramesLost = s.inFramesLost;
    } else if (m.model) {
        const hx::usb::devices::HX5100StreamStats s = m.model->streamStats();
        f.deviceFramesIn = s.inFramesSent;
        f.deviceFramesOut = s.outFrames;
        f.playedFrames = s.playedFrames;
        f.patternErrors = s.outSizeAnomalies;
        f.fifoMin = s.fifoMin;
        f.fifoMax = s.fifoMax;
        f.fifoSamples = s.fifoSamples;
        f.fifoLock = s.fifoLockLevel;
        f.fifoUnderrunFrames = s.fifoUnderrunFrames;
        f.fifoOverrunFrames = s.fifoOverflowFrames;
        f.framesDropped = s.framesDropped;
        f.framesRepeated = s.framesRepeated;
        f.inFramesLost = s.inFramesLost;
    }
    if (m.bus) f.hostPauses = m.bus->hostPausesAbsorbed();
    return f;
}

const HarnessOptions& Machine::options() const {
    return mImpl->options;
}
const std::string& Machine::lastError() const {
    return mImpl->error;
}
hx::usb::Bus* Machine::bus() {
    return mImpl->bus.get();
}
uint8_t Machine::port() const {
    return mImpl->port;
}
std::shared_ptr<hx::usb::devices::HX5100Model> Machine::model() {
    return mImpl->model;
}
ZrKernelDeviceKorvexHX5100* Machine::service() {
    return mImpl->service;
}
ZrDevice* Machine::device() {
    return mImpl->service ? mImpl->service->getDevice() : nullptr;
}
DriverData* Machine::driverData() {
    ZrDevice* d = device();
    return d ? d->getDriverData() : nullptr;
}

IOUserClient* Machine::userClientOf(task_t task, uint32_t type) {
    if (!mImpl->service || task == MACH_PORT_NULL) return nullptr;
    IOUserClient* found = nullptr;
    OSIterator* it = mImpl->service->getClientIterator();
    while (OSObject* obj = it && !found ? it->getNextObject() : nullptr)
        if (auto* c = OSDynamicCast(IOUserClient, obj))
            if (c->getOwningTask() == task && c->getType() == type) {
                c->retain();
                found = c;
            }
    if (it) it->release();
    return found;
}

} // namespace hx::harness
