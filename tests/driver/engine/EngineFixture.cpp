#include "EngineFixture.h"

#include <cstdio>
#include <cstring>

namespace enginetest {

EventLog& EventLog::get()
{
    static EventLog* log = new EventLog;
    return *log;
}

void EventLog::add(const std::string& e)
{
    std::lock_guard<std::mutex> g(lock);
    list.push_back(e);
}

std::vector<std::string> EventLog::events()
{
    std::lock_guard<std::mutex> g(lock);
    return list;
}

void EventLog::clear()
{
    std::lock_guard<std::mutex> g(lock);
    list.clear();
}

OSDefineMetaClassAndStructors(TestUserClient, IOUserClient)

// The driver creates its clients by these names.
const OSMetaClass gAudioClientClass("AudioUserClientKorvexHX5100", &IOUserClient::gMetaClass,
                                    &TestUserClient::MetaClassAlloc);
const OSMetaClass gMidiClientClass("MidiUserClientKorvexHX5100", &IOUserClient::gMetaClass,
                                   &TestUserClient::MetaClassAlloc);
const OSMetaClass gCtrlClientClass("CtrlUserClientKorvexHX5100", &IOUserClient::gMetaClass,
                                   &TestUserClient::MetaClassAlloc);
const OSMetaClass gASClientClass("ASClientKorvexHX5100", &IOUserClient::gMetaClass, &TestUserClient::MetaClassAlloc);

std::string TestUserClient::tag() const
{
    char b[32];
    std::snprintf(b, sizeof b, "client%llu", (unsigned long long)getRegistryEntryID());
    return b;
}

IOReturn TestUserClient::message(UInt32 type, IOService*, void* argument)
{
    if (type == kQnStateChangeMessage && argument) {
        QN_StateChange r;
        std::memcpy(&r, argument, sizeof r);
        {
            std::lock_guard<std::mutex> g(mLock);
            mRecords.push_back(r);
        }
        char b[64];
        std::snprintf(b, sizeof b, " state %08X", r.mCode);
        EventLog::get().add(tag() + b);
    }
    return kIOReturnSuccess;
}

bool TestUserClient::terminate(IOOptionBits options)
{
    if (!isInactive())
        EventLog::get().add(tag() + " terminate");
    return IOUserClient::terminate(options);
}

IOReturn TestUserClient::clientClose()
{
    // A client that registered the low half of its identifier as its hog id.
    if (auto* s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, getProvider())) {
        if (ZrDevice* dev = s->getDevice())
            dev->onClientClosed(this, int64_t(int32_t(uint32_t(s->clientIdentifier(this)))));
        s->userClientListClientClosed(this);
    }
    terminate(0);
    return kIOReturnSuccess;
}

std::vector<QN_StateChange> TestUserClient::records()
{
    std::lock_guard<std::mutex> g(mLock);
    return mRecords;
}

StateChangeTap::StateChangeTap(IOService* service)
{
    mNotifier = service->registerInterest(gIOGeneralInterest, &StateChangeTap::handler, this);
}

StateChangeTap::~StateChangeTap()
{
    if (mNotifier)
        mNotifier->remove();
}

IOReturn StateChangeTap::handler(void* target, void*, UInt32 type, IOService*, void* arg, vm_size_t size)
{
    auto* self = static_cast<StateChangeTap*>(target);
    Seen s{type, size, {}};
    if (type == kQnStateChangeMessage && arg && size >= sizeof(QN_StateChange))
        std::memcpy(&s.record, arg, sizeof s.record);
    std::lock_guard<std::mutex> g(self->mLock);
    self->mSeen.push_back(s);
    return kIOReturnSuccess;
}

std::vector<StateChangeTap::Seen> StateChangeTap::seen()
{
    std::lock_guard<std::mutex> g(mLock);
    return mSeen;
}

void StateChangeTap::clear()
{
    std::lock_guard<std::mutex> g(mLock);
    mSeen.clear();
}

SleepRecorder& SleepRecorder::install()
{
    static SleepRecorder* r = new SleepRecorder;
    r->clear();
    hx::clock::setSource(r);
    return *r;
}

void SleepRecorder::remove() { hx::clock::setSource(nullptr); }

void SleepRecorder::sleepUntil(uint64_t deadline)
{
    uint64_t now = nowNanos();
    {
        std::lock_guard<std::mutex> g(mLock);
        mSleeps.emplace_back(std::this_thread::get_id(), deadline > now ? (deadline - now + 500000) / 1000000 : 0);
    }
    hx::clock::realSource().sleepUntil(deadline);
}

std::vector<uint64_t> SleepRecorder::sleepsOf(std::thread::id thread)
{
    std::lock_guard<std::mutex> g(mLock);
    std::vector<uint64_t> out;
    for (auto& [t, ms] : mSleeps)
        if (t == thread)
            out.push_back(ms);
    return out;
}

void SleepRecorder::clear()
{
    std::lock_guard<std::mutex> g(mLock);
    mSleeps.clear();
}

Rig::Rig() : mBus(std::make_unique<hx::usb::Bus>(hx::usb::BusOptions{0x1000, 4, 2})) {}

Rig::~Rig() { mBus.reset(); }

uint8_t Rig::plug(std::shared_ptr<hx::usb::DeviceModel> model)
{
    uint8_t port = mBus->plug(std::move(model));
    hx::kern::waitQuiet();
    return port;
}

void Rig::unplug(uint8_t port)
{
    mBus->unplug(port);
    hx::kern::waitQuiet();
}

ServiceRef Rig::service(uint8_t port)
{
    IOUSBHostDevice* dev = mBus->copyDevice(port);
    if (!dev)
        return {};
    ZrKernelDeviceKorvexHX5100* s = nullptr;
    OSIterator* it = dev->getClientIterator();
    while (OSObject* o = it ? it->getNextObject() : nullptr) {
        if ((s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, o))) {
            s->retain();
            break;
        }
    }
    if (it)
        it->release();
    dev->release();
    return ServiceRef(s);
}

}  // namespace enginetest
