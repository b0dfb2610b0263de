// The engine's test rig: the driver's personalities loaded in the kernel's
// catalogue, a simulated bus, HX-5100 models built with the product table's
// identifiers, a user-client class registered under the driver's client
// class names, a tap on the service's state changes and a clock source that
// records the sleeps a thread asked for.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXClock.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace enginetest {

using hx::usb::devices::HX5100Model;

// The model's own names differ from the driver's table, so a test sees the
// table's names replace them.
inline hx::usb::devices::HX5100Identity hx5100Identity(bool serial = true)
{
    return {kKorvexVendorID, kKorvexHX5100ProductID, 0x0100, "KORVEX AUDIO", "HX5100 USB", serial ? "SN0001" : ""};
}

inline std::shared_ptr<HX5100Model> makeHX5100(uint8_t speed, bool serial = true)
{
    return std::make_shared<HX5100Model>(speed, hx5100Identity(serial));
}

// Everything the test clients and the state-change tap saw, in one order.
struct EventLog {
    static EventLog& get();
    void add(const std::string& e);
    std::vector<std::string> events();
    void clear();
    std::mutex lock;
    std::vector<std::string> list;
};

// Stands in for every user-client class of the driver until the client
// layer exists: records the state changes it is sent and its termination.
class TestUserClient : public IOUserClient {
    OSDeclareDefaultStructors(TestUserClient)
public:
    IOReturn message(UInt32 type, IOService* provider, void* argument) override;
    bool terminate(IOOptionBits options = 0) override;
    // The user side closes: the provider forgets the client, which goes.
    IOReturn clientClose() override;

    std::vector<QN_StateChange> records();
    std::string tag() const;

private:
    std::mutex mLock;
    std::vector<QN_StateChange> mRecords;
};

// General interest on a service: what user space receives, with its size.
class StateChangeTap {
public:
    explicit StateChangeTap(IOService* service);
    ~StateChangeTap();
    struct Seen {
        UInt32 type;
        vm_size_t size;
        QN_StateChange record;
    };
    std::vector<Seen> seen();
    void clear();

private:
    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* arg, vm_size_t size);
    IONotifier* mNotifier = nullptr;
    std::mutex mLock;
    std::vector<Seen> mSeen;
};

// Records every sleep the given thread asks the platform clock for (in
// milliseconds) and sleeps it for real. Installed for a test's life; never
// destroyed, because bus threads may still be inside it after removal.
class SleepRecorder : public hx::clock::Source {
public:
    static SleepRecorder& install();
    static void remove();
    std::vector<uint64_t> sleepsOf(std::thread::id thread);
    void clear();

    uint64_t nowNanos() override { return hx::clock::realSource().nowNanos(); }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadline) override
    {
        return hx::clock::realSource().waitUntil(cv, lock, deadline);
    }
    void sleepUntil(uint64_t deadline) override;

private:
    std::mutex mLock;
    std::vector<std::pair<std::thread::id, uint64_t>> mSleeps;
};

// A service pointer retained for the test.
struct ServiceRef {
    ZrKernelDeviceKorvexHX5100* svc = nullptr;
    ServiceRef() = default;
    explicit ServiceRef(ZrKernelDeviceKorvexHX5100* s) : svc(s) {}
    ServiceRef(ServiceRef&& o) noexcept : svc(o.svc) { o.svc = nullptr; }
    ServiceRef& operator=(ServiceRef&& o) noexcept
    {
        std::swap(svc, o.svc);
        return *this;
    }
    ~ServiceRef() { reset(); }
    void reset()
    {
        if (svc)
            svc->release();
        svc = nullptr;
    }
    ZrKernelDeviceKorvexHX5100* operator->() const { return svc; }
    explicit operator bool() const { return svc != nullptr; }
};

// The driver loaded and a bus with four ports. The bus goes first (it
// unplugs what is left and waits for the kernel), then the personalities.
class Rig {
public:
    Rig();
    ~Rig();
    // Plugs a model and waits until matching is over.
    uint8_t plug(std::shared_ptr<hx::usb::DeviceModel> model);
    void unplug(uint8_t port);
    // The driver's service on the port, or empty when none started.
    ServiceRef service(uint8_t port);
    hx::usb::Bus& bus() { return *mBus; }

private:
    struct Personalities {
        Personalities() { ZrLoadDriverPersonalities(); }
        ~Personalities()
        {
            hx::kern::waitQuiet();
            ZrUnloadDriverPersonalities();
        }
    } mPersonalities;
    std::unique_ptr<hx::usb::Bus> mBus;
};

}  // namespace enginetest
