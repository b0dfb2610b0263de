#include "EngineFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "driver/clients/ZrUserClients.h"

namespace enginetest {

namespace {

int nextPid() {
    static std::atomic<int> pid{700};
    return pid.fetch_add(1);
}

} // namespace

UserTask::UserTask(const char* name, uint32_t uid)
    : mName(name), mUid(uid), mTask(hx::kern::createTask(nextPid(), name, uid)) {
    // Links the driver's client classes in and says they are the ones
    // registered under their names.
    EXPECT_TRUE(ZrUserClientsRegistered());
}

UserTask::~UserTask() {
    hx::kern::killTask(mTask);
}

IOUserClient* UserTask::open(IOService* service, uint32_t type, IOReturn* result) {
    io_connect_t c = MACH_PORT_NULL;
    const IOReturn r = hx::kern::connectionOpen(service, mTask, type, &c);
    if (result) *result = r;
    if (r != kIOReturnSuccess) return nullptr;
    IOUserClient* client = hx::kern::connectionClient(c);
    if (client) client->release(); // the connection keeps its own reference
    mConnections.emplace_back(c, client);
    return client;
}

io_connect_t UserTask::connection(IOUserClient* client) const {
    for (const auto& [c, u] : mConnections)
        if (u == client) return c;
    return MACH_PORT_NULL;
}

IOReturn UserTask::close(IOUserClient* client) {
    for (auto it = mConnections.begin(); it != mConnections.end(); ++it)
        if (it->second == client) {
            const io_connect_t c = it->first;
            mConnections.erase(it);
            return hx::kern::connectionClose(c);
        }
    return MACH_SEND_INVALID_DEST;
}

void UserTask::kill() {
    hx::kern::killTask(mTask);
    mConnections.clear();
    mTask = hx::kern::createTask(nextPid(), mName.c_str(), mUid);
}

StateChangeTap::StateChangeTap(IOService* service) {
    mNotifier = service->registerInterest(gIOGeneralInterest, &StateChangeTap::handler, this);
}

StateChangeTap::~StateChangeTap() {
    if (mNotifier) mNotifier->remove();
}

IOReturn StateChangeTap::handler(void* target, void*, UInt32 type, IOService*, void* arg,
                                 vm_size_t size) {
    auto* self = static_cast<StateChangeTap*>(target);
    Seen s{type, size, {}};
    if (type == kQnStateChangeMessage && arg && size >= sizeof(QN_StateChange))
        std::memcpy(&s.record, arg, sizeof s.record);
    if (self->observe) self->observe(s);
    std::lock_guard<std::mutex> g(self->mLock);
    self->mSeen.push_back(s);
    return kIOReturnSuccess;
}

std::vector<StateChangeTap::Seen> StateChangeTap::seen() {
    std::lock_guard<std::mutex> g(mLock);
    return mSeen;
}

std::vector<QN_StateChange> StateChangeTap::records() {
    std::vector<QN_StateChange> out;
    for (const Seen& s : seen())
        if (s.type == kQnStateChangeMessage) out.push_back(s.record);
    return out;
}

std::vector<uint32_t> StateChangeTap::codes() {
    std::vector<uint32_t> out;
    for (const QN_StateChange& r : records())
        out.push_back(r.mCode);
    return out;
}

void StateChangeTap::clear() {
    std::lock_guard<std::mutex> g(mLock);
    mSeen.clear();
}

SleepRecorder& SleepRecorder::install() {
    static SleepRecorder* r = new SleepRecorder;
    r->clear();
    hx::clock::setSource(r);
    return *r;
}

void SleepRecorder::remove() {
    hx::clock::setSource(nullptr);
}

void SleepRecorder::sleepUntil(uint64_t deadline) {
    uint64_t now = nowNanos();
    {
        std::lock_guard<std::mutex> g(mLock);
        mSleeps.emplace_back(std::this_thread::get_id(),
                             deadline > now ? (deadline - now + 500000) / 1000000 : 0);
    }
    hx::clock::realSource().sleepUntil(deadline);
}

std::vector<uint64_t> SleepRecorder::sleepsOf(std::thread::id thread) {
    std::lock_guard<std::mutex> g(mLock);
    std::vector<uint64_t> out;
    for (auto& [t, ms] : mSleeps)
        if (t == thread) out.push_back(ms);
    return out;
}

void SleepRecorder::clear() {
    std::lock_guard<std::mutex> g(mLock);
    mSleeps.clear();
}

Rig::Rig() : mBus(std::make_unique<hx::usb::Bus>(hx::usb::BusOptions{0x1000, 4, 2})) {}

Rig::~Rig() {
    mBus.reset();
}

uint8_t Rig::plug(std::shared_ptr<hx::usb::DeviceModel> model) {
    uint8_t port = mBus->plug(std::move(model));
    hx::kern::waitQuiet();
    return port;
}

void Rig::unplug(uint8_t port) {
    mBus->unplug(port);
    hx::kern::waitQuiet();
}

ServiceRef Rig::service(uint8_t port) {
    IOUSBHostDevice* dev = mBus->copyDevice(port);
    if (!dev) return {};
    ZrKernelDeviceKorvexHX5100* s = nullptr;
    OSIterator* it = dev->getClientIterator();
    while (OSObject* o = it ? it->getNextObject() : nullptr) {
        if ((s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, o))) {
            s->retain();
            break;
        }
    }
    if (it) it->release();
    dev->release();
    return ServiceRef(s);
}

} // namespace enginetest
