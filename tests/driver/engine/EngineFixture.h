// A hand-built HX-5100 stand-in for the engine's tests: descriptors, string
// descriptors, the requests start-up sends, fault knobs and a request trace;
// and a service whose IOService side records what it sends.
#pragma once

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "platform/base/HXClock.h"

namespace enginetest {

inline std::vector<uint8_t> usbString(const char* s)
{
    std::vector<uint8_t> d{uint8_t(2 + 2 * std::strlen(s)), 3};
    for (const char* p = s; *p; ++p) {
        d.push_back(uint8_t(*p));
        d.push_back(0);
    }
    return d;
}

class FakeHX5100 : public ZrUsbDevice {
public:
    explicit FakeHX5100(uint8_t speed, uint32_t location = 0x14100000) : mSpeed(speed), mLocation(location)
    {
        const uint8_t dev[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x4B, 0x2F, 0x00, 0x51, 0x00, 0x01, 1, 2, 3, 1};
        std::memcpy(mDevice, dev, 18);
        // Configuration 1: header and the vendor control interface.
        mConfig = {9, 2, 18, 0, 1, 1, 0, 0x80, 250, 9, 4, 0, 0, 0, 0xFF, 1, 0, 0};
        mStrings[1] = usbString("Korvex");
        mStrings[2] = usbString("HX-5100");
        mStrings[3] = usbString("SN0001");
    }

    void retain() override { ++mRetain; }
    void release() override { --mRetain; }
    int getRetainCount() const override { return mRetain; }
    bool open(const void* c, uint32_t) override
    {
        if (mOpenFor)
            return false;
        mOpenFor = c;
        return true;
    }
    void close(const void* c) override
    {
        if (mOpenFor == c)
            mOpenFor = nullptr;
    }
    bool isOpen(const void* c) const override { return mOpenFor == c; }
    const uint8_t* getDeviceDescriptor() const override { return mDevice; }
    bool getStringDescriptor(uint8_t index, uint16_t, uint8_t* out, uint32_t& length) override
    {
        if (index >= 4 || mStrings[index].empty())
            return false;
        length = std::min<uint32_t>(length, uint32_t(mStrings[index].size()));
        std::memcpy(out, mStrings[index].data(), length);
        return true;
    }
    const uint8_t* getConfigurationDescriptor(uint8_t index, uint32_t& total) override
    {
        if (index != 0 || mNoConfiguration)
            return nullptr;
        total = uint32_t(mConfig.size());
        return mConfig.data();
    }
    IOReturn deviceRequest(const void*, const ZrUsbSetup& s, void* data, uint32_t& transferred, uint32_t) override
    {
        std::lock_guard<std::mutex> g(mLock);
        mTrace.push_back(s);
        transferred = 0;
        auto reply = [&](const uint8_t* bytes, uint32_t n) {
            transferred = std::min<uint32_t>(n, s.wLength);
            if (data)
                std::memcpy(data, bytes, transferred);
            return IOReturn(0);
        };
        if (s.bmRequestType == 0x80 && s.bRequest == 6 && s.wValue == 0x0100) {
            if (mFailDescriptorReads > 0) {
                --mFailDescriptorReads;
                return mFailStatus;
            }
            return reply(mDevice, 18);
        }
        if (s.bmRequestType == 0xC0 && s.bRequest == 0x56) {
            static const uint8_t fw[15] = {3, 1, 14, 0, '1', '.', '4', '.', '3', 0, 0, 0, 0, 0, 0};
            return reply(fw, s.wLength == 8 ? 8 : 15);
        }
        if (mAlwaysFail)
            return mFailStatus;
        return kEngineIOReturnStall;
    }
    uint8_t getSpeed() const override { return mSpeed; }
    bool getLocationIDProperty(uint32_t& v) const override
    {
        v = mLocation;
        return mLocation != 0;
    }
    uint16_t getAddress() const override { return 0; }
    IOReturn reset() override { return 0; }
    uint64_t getFrameNumber() const override { return 1000; }

    size_t requestCount(uint8_t type, uint8_t request)
    {
        std::lock_guard<std::mutex> g(mLock);
        size_t n = 0;
        for (auto& s : mTrace)
            n += s.bmRequestType == type && s.bRequest == request;
        return n;
    }
    size_t requestCount()
    {
        std::lock_guard<std::mutex> g(mLock);
        return mTrace.size();
    }

    uint8_t mDevice[18];
    std::vector<uint8_t> mConfig;
    std::vector<uint8_t> mStrings[4];
    uint8_t mSpeed;
    uint32_t mLocation;
    int mRetain = 1;
    const void* mOpenFor = nullptr;
    bool mNoConfiguration = false;
    bool mAlwaysFail = false;
    int mFailDescriptorReads = 0;
    IOReturn mFailStatus = kEngineIOReturnDeviceError;
    std::mutex mLock;
    std::vector<ZrUsbSetup> mTrace;
};

class FakeClient : public ZrUserClient {
public:
    bool initWithTask(void*, void*, uint32_t t) override
    {
        type = t;
        return true;
    }
    bool start(void*) override { return started = true; }
    void release() override { released = true; }
    uint32_t type = 99;
    bool started = false;
    bool released = false;
};

// Clients the service creates by class name; tests own and free them.
struct ClientPool {
    static ClientPool& get()
    {
        static ClientPool p;
        return p;
    }
    std::mutex lock;
    std::vector<std::unique_ptr<FakeClient>> clients;
    std::vector<std::string> names;
    static ZrUserClient* make(const char* name)
    {
        auto& p = get();
        std::lock_guard<std::mutex> g(p.lock);
        p.names.push_back(name ? name : "");
        p.clients.push_back(std::make_unique<FakeClient>());
        return p.clients.back().get();
    }
};

class TestService : public ZrKernelDeviceKorvexHX5100 {
public:
    TestService() { setUserClientFactory(&ClientPool::make); }
    IOReturn messageClients(uint32_t type, const void* arg, size_t size) override
    {
        std::lock_guard<std::mutex> g(lock);
        QN_StateChange r{};
        std::memcpy(&r, arg, std::min(size, sizeof r));
        events.push_back("message " + std::to_string(type));
        messages.push_back(r);
        sizes.push_back(size);
        return 0;
    }
    bool terminateClient(ZrUserClient* c, uint32_t) override
    {
        std::lock_guard<std::mutex> g(lock);
        events.push_back("terminateClient");
        terminated.push_back(c);
        return true;
    }
    bool setProperty(const char* key, const char* value) override
    {
        properties[key] = value;
        return true;
    }
    void registerService(uint32_t) override { registered = true; }

    std::mutex lock;
    std::vector<std::string> events;
    std::vector<QN_StateChange> messages;
    std::vector<size_t> sizes;
    std::vector<ZrUserClient*> terminated;
    std::map<std::string, std::string> properties;
    bool registered = false;
};

// A clock whose sleeps take no real time: it jumps to the deadline, so a
// test reads how long the code slept.
class VirtualClock : public hx::clock::Source {
public:
    VirtualClock() : mNow(hx::clock::realSource().nowNanos()) { hx::clock::setSource(this); }
    ~VirtualClock() override { hx::clock::setSource(nullptr); }
    uint64_t nowNanos() override { return mNow.load(); }
    bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint64_t deadline) override
    {
        if (mNow.load() >= deadline)
            return false;
        cv.wait_for(lock, std::chrono::milliseconds(1));
        return true;
    }
    void sleepUntil(uint64_t deadline) override
    {
        uint64_t now = mNow.load();
        while (now < deadline && !mNow.compare_exchange_weak(now, deadline)) {
        }
    }
    std::atomic<uint64_t> mNow;
};

}  // namespace enginetest
