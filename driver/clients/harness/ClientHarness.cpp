#include "driver/clients/harness/ClientHarness.h"

#include "platform/usb/devices/ChannelStream.h"

#include "driver/clients/harness/HarnessClient.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "platform/kern/IOUserClient.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

// The client's process, as the kernel knows it.
constexpr uint32_t kHarnessPid = 4100;
constexpr uint32_t kHarnessUid = 501;
constexpr uint32_t kAudioClientType = 0;

} // namespace

namespace hx::harness {

struct ClientHarness::Impl {
    explicit Impl(const HarnessOptions& o) : machine(o) {}
    Machine machine;
    task_t task = MACH_PORT_NULL;
    std::unique_ptr<HarnessClient> client;
    IOUserClient* userClient = nullptr;          // retained, for callers that look
    std::string error;                           // what the machine's checks of a step found
    std::optional<HarnessOptions> clientOptions; // a replacement client's
};

ClientHarness::ClientHarness(const HarnessOptions& options)
    : mImpl(std::make_unique<Impl>(options)) {}

ClientHarness::~ClientHarness() {
    Impl& m = *mImpl;
    stop();
    m.client.reset();
    if (m.machine.device()) m.machine.device()->stopStreaming(true);
    if (m.task != MACH_PORT_NULL) {
        // The process ends: its mappings go with it.
        hx::kern::killTask(m.task);
        m.task = MACH_PORT_NULL;
    }
}

bool ClientHarness::boot() {
    return mImpl->machine.boot();
}

HarnessClient& ClientHarness::client() {
    Impl& m = *mImpl;
    if (!m.client) {
        // The client runs as a process of its own, on the user-side calls in
        // this process; its cycles wait on the machine's clock.
        m.task = hx::kern::createTask(int(kHarnessPid), "hxharness", kHarnessUid);
        m.client = std::make_unique<HarnessClient>(
            m.clientOptions ? *m.clientOptions : m.machine.options(), m.task);
        m.client->setWaiter([this](uint64_t due) { mImpl->machine.runUntil(due); });
        m.client->setFirstSoundHook([this] {
            if (auto model = mImpl->machine.model()) {
                model->markFifoLock();
                if (auto* cm = dynamic_cast<hx::usb::devices::ChannelStreamDevice*>(model.get()))
                    cm->markChannelFifoLock();
            }
        });
    }
    return *m.client;
}

Machine& ClientHarness::machine() {
    return mImpl->machine;
}

bool ClientHarness::openClient() {
    Impl& m = *mImpl;
    if (!m.machine.service()) return false;
    if (!client().openClient()) return false;
    if (!m.userClient) m.userClient = m.machine.userClientOf(m.task, kAudioClientType);
    return true;
}

bool ClientHarness::configure() {
    if (!client().configure()) return false;
    ZrDevice* dev = device();
    if (dev && dev->isStreamingStarted()) return true;
    mImpl->error = "streaming did not start";
    return false;
}

bool ClientHarness::setRouting() {
    return client().setRouting();
}

bool ClientHarness::attachRing() {
    return client().attachRing();
}

bool ClientHarness::start() {
    return boot() && openClient() && configure() && setRouting() && attachRing();
}

void ClientHarness::run(uint64_t micros) {
    client().run(micros);
}

void ClientHarness::idle(uint64_t micros) {
    mImpl->machine.runFor(micros * 1000);
}

void ClientHarness::restartLoopbackCheck() {
    client().restartLoopbackCheck();
}

void ClientHarness::systemSleep() {
    mImpl->machine.systemSleep();
}

void ClientHarness::systemWakeUp() {
    mImpl->machine.systemWakeUp();
}

void ClientHarness::stop() {
    Impl& m = *mImpl;
    if (m.client) m.client->stop();
    if (m.userClient) {
        m.userClient->release();
        m.userClient = nullptr;
    }
}

void ClientHarness::replaceClient(const HarnessOptions& options) {
    stop();
    mImpl->client.reset();
    mImpl->error.clear();
    mImpl->clientOptions = options;
}

HarnessReport ClientHarness::report() const {
    const Impl& m = *mImpl;
    HarnessReport r = m.client ? m.client->report() : HarnessReport{};
    if (!m.client) r.routing = m.machine.options().routing;
    applyMachineFacts(m.machine.facts(), r);
    if (ZrDevice* dev = const_cast<Machine&>(m.machine).device())
        if (const DriverSM* sm = dev->getDriverSM()) {
            // Before the client mapped it, the device's strings as the driver
            // wrote them.
            if (r.productName.empty()) {
                r.vendorName = std::string(sm->mVendorString,
                                           strnlen(sm->mVendorString, sizeof sm->mVendorString));
                r.productName = std::string(sm->mProductString,
                                            strnlen(sm->mProductString, sizeof sm->mProductString));
                r.serialNumber = std::string(sm->mSerialString,
                                             strnlen(sm->mSerialString, sizeof sm->mSerialString));
                r.vendorID = sm->mVendor;
                r.productID = sm->mProduct;
                r.release = sm->mRelease;
            }
        }
    return r;
}

const std::vector<int32_t>& ClientHarness::recordedInput() const {
    static const std::vector<int32_t> none;
    return mImpl->client ? mImpl->client->recordedInput() : none;
}
int32_t ClientHarness::playedSample(uint64_t frame, uint32_t channel) const {
    return const_cast<ClientHarness*>(this)->client().playedSample(frame, channel);
}
const std::string& ClientHarness::lastError() const {
    const Impl& m = *mImpl;
    if (!m.error.empty()) return m.error;
    if (m.client && !m.client->lastError().empty()) return m.client->lastError();
    return m.machine.lastError();
}
const HarnessOptions& ClientHarness::options() const {
    return mImpl->clientOptions ? *mImpl->clientOptions : mImpl->machine.options();
}
hx::usb::Bus* ClientHarness::bus() {
    return mImpl->machine.bus();
}
uint8_t ClientHarness::port() const {
    return mImpl->machine.port();
}
std::shared_ptr<hx::usb::devices::HX5100Model> ClientHarness::model() {
    return mImpl->machine.model();
}
ZrKernelDeviceKorvexHX5100* ClientHarness::service() {
    return mImpl->machine.service();
}
ZrDevice* ClientHarness::device() {
    return mImpl->machine.device();
}
DriverData* ClientHarness::driverData() {
    return mImpl->machine.driverData();
}
IOUserClient* ClientHarness::userClient() {
    return mImpl->userClient;
}
uint64_t ClientHarness::clientIdentifier() const {
    return mImpl->client ? mImpl->client->clientIdentifier() : 0;
}
AudioSM* ClientHarness::clientRing() {
    return mImpl->client ? mImpl->client->clientRing() : nullptr;
}
uint32_t ClientHarness::ringState() const {
    return mImpl->client ? mImpl->client->ringState() : 0;
}

} // namespace hx::harness
