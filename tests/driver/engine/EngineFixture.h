// The engine's test rig: the driver's personalities loaded in the kernel's
// catalogue, a simulated bus, HX-5100 models built with the product table's
// identifiers, a user process opening the driver's own user clients, a tap
// on the service's state changes and a clock source that records the sleeps
// a thread asked for.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace enginetest {

using hx::usb::devices::HX5100Model;

// The model's own names differ from the driver's table, so a test sees the
// table's names replace them.
inline hx::usb::devices::HX5100Identity hx5100Identity(bool serial = true) {
    return {kKorvexVendorID, kKorvexHX5100ProductID, 0x0100,
            "KORVEX AUDIO",  "HX5100 USB",           serial ? "SN0001" : ""};
}

inline std::shared_ptr<HX5100Model> makeHX5100(uint8_t speed, bool serial = true) {
    return std::make_shared<HX5100Model>(speed, hx5100Identity(serial));
}

// A user process: its task and the driver's own user clients it opens on a
// service through connections, as user space opens them. Its death (at
// destruction or kill) closes every client it still holds.
class UserTask {
public:
    explicit UserTask(const char* name = "enginetest", uint32_t uid = 501);
    ~UserTask();
    UserTask(const UserTask&) = delete;
    UserTask& operator=(const UserTask&) = delete;
    // A client of the type on the service (the connection holds it), or
    // null with the service's answer in *result.
    IOUserClient* open(IOService* service, uint32_t type, IOReturn* result = nullptr);
    // The connection a client was opened on (MACH_PORT_NULL: none).
    io_connect_t connection(IOUserClient* client) const;
    // The user side closes the client's connection.
    IOReturn close(IOUserClient* client);
    // The task dies now; a new one takes its place for later opens.
    void kill();
    task_t task() const { return mTask; }

private:
    std::string mName;
    uint32_t mUid;
    task_t mTask;
    std::vector<std::pair<io_connect_t, IOUserClient*>> mConnections;
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
    // The state changes alone (kQnStateChangeMessage), and their codes.
    std::vector<QN_StateChange> records();
    std::vector<uint32_t> codes();
    void clear();
    // Runs on the sender's thread for each message, as it is received.
    std::function<void(const Seen&)> observe;

private:
    static IOReturn handler(void* target, void*, UInt32 type, IOService*, void* arg,
                            vm_size_t size);
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
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   uint64_t deadline) override {
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
    ServiceRef& operator=(ServiceRef&& o) noexcept {
        std::swap(svc, o.svc);
        return *this;
    }
    ~ServiceRef() { reset(); }
    void reset() {
        if (svc) svc->release();
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
        ~Personalities() {
            hx::kern::waitQuiet();
            ZrUnloadDriverPersonalities();
        }
    } mPersonalities;
    std::unique_ptr<hx::usb::Bus> mBus;
};

} // namespace enginetest
