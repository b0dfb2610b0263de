// A small device with a vendor interface 4 on the simulated bus, and the
// vendor port's device and owner as the tests see them.
//
// The device echoes each packet its bulk OUT 0x04 receives as one packet
// on its bulk IN 0x84, after a delay in bus frames (knob); with
// the error knob it fails its OUT transfers with that status, and while
// silent it takes OUT transfers and sends nothing.
//
// The rig is the port's device: the interface record comes from scanning
// the device's own configuration descriptor, its pipe records are bound to
// the bus's pipes, and transfers go to the bus. The owner is a client with
// its own area, mapped a second time into a user task as user space would.
#pragma once

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "abi/USBByteBuffer.h"
#include "abi/VIDPID.h"
#include "driver/clients/VendorAsyncPort.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"
#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/usb/DeviceModel.h"
#include "platform/usb/USBBus.h"

namespace vendortest {

class EchoModel : public hx::usb::DeviceModel {
public:
    static constexpr uint8_t kIn = 0x84;
    static constexpr uint8_t kOut = 0x04;

    EchoModel() : DeviceModel(kUSBHostConnectionSpeedHigh) {
        mConfig = {9, 2, 0,    0, 1,    1,    0, 0x80, 250, // configuration, one interface
                   9, 4, 4,    0, 2,    255,  0, 0,    0,   // interface 4, vendor class
                   7, 5, kIn,  2, 0x00, 0x02, 0,            // bulk IN 0x84, 512
                   7, 5, kOut, 2, 0x00, 0x02, 0};           // bulk OUT 0x04, 512
        mConfig[2] = uint8_t(mConfig.size());
    }

    std::span<const uint8_t> deviceDescriptor() const override { return kDevice; }
    std::span<const uint8_t> configurationDescriptor(uint8_t index) const override {
        if (index != 0) return {};
        return mConfig;
    }
    std::optional<std::vector<uint8_t>> stringDescriptor(uint8_t index, uint16_t) const override {
        if (index == 0) return std::vector<uint8_t>{4, 3, 0x09, 0x04};
        return std::nullopt;
    }
    const std::vector<uint8_t>& configBytes() const { return mConfig; }

    void setDelayFrames(uint64_t frames) {
        std::lock_guard<std::mutex> g(mLock);
        mDelay = frames;
    }
    void setErrorStatus(IOReturn status) {
        std::lock_guard<std::mutex> g(mLock);
        mError = status;
    }
    void setSilent(bool silent) {
        std::lock_guard<std::mutex> g(mLock);
        mSilent = silent;
    }
    std::vector<std::vector<uint8_t>> received() const {
        std::lock_guard<std::mutex> g(mLock);
        return mReceived;
    }

protected:
    hx::usb::IsochResult bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                 uint32_t length) override {
        if (address != kOut) return {kIOReturnNotReady, 0};
        if (mError != kIOReturnSuccess) return {mError, 0};
        mReceived.emplace_back(data, data + length);
        if (!mSilent) mEcho.push_back({frame + mDelay, {data, data + length}});
        return {kIOReturnSuccess, length};
    }
    hx::usb::IsochResult bulkIn(uint8_t address, uint64_t frame, uint8_t* data,
                                uint32_t capacity) override {
        if (address != kIn || mEcho.empty() || mEcho.front().due > frame)
            return {kIOReturnNotReady, 0};
        const std::vector<uint8_t> bytes = std::move(mEcho.front().bytes);
        mEcho.pop_front();
        const uint32_t n = std::min<uint32_t>(capacity, uint32_t(bytes.size()));
        std::memcpy(data, bytes.data(), n);
        return {kIOReturnSuccess, n};
    }

private:
    static constexpr uint8_t kDevice[18] = {18,   1,    0x00, 0x02, 0xFF, 0, 0, 64, 0x34,
                                            0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0,  1};
    struct Echo {
        uint64_t due;
        std::vector<uint8_t> bytes;
    };
    std::vector<uint8_t> mConfig;
    uint64_t mDelay = 0;
    IOReturn mError = kIOReturnSuccess;
    bool mSilent = false;
    std::deque<Echo> mEcho;
    std::vector<std::vector<uint8_t>> mReceived;
};

// The owner: a client with its own area.
class Owner : public VendorAsyncClient {
public:
    Owner() { mArea.init(VendorAsyncPort::kAreaBytes); }
    void vendorRetain() override { ++mRetains; }
    void vendorRelease() override { --mRetains; }
    SharedMemory* vendorOwnArea() override { return mHasArea ? &mArea : nullptr; }
    AsyncTransportData* kernelView() { return static_cast<AsyncTransportData*>(mArea.getMemory()); }

    SharedMemory mArea;
    bool mHasArea = true;
    int mRetains = 0;
};

// A user task's view of an area: a second mapping.
class UserView {
public:
    UserView(SharedMemory& area, int pid) : mTask(hx::kern::createTask(pid)) {
        mMap = area.map(mTask, kIOMapAnywhere, 0);
    }
    ~UserView() {
        OSSafeReleaseNULL(mMap);
        hx::kern::destroyTask(mTask);
    }
    AsyncTransportData* data() const {
        return mMap ? reinterpret_cast<AsyncTransportData*>(mMap->getVirtualAddress()) : nullptr;
    }

private:
    task_t mTask;
    IOMemoryMap* mMap = nullptr;
};

class EchoRig : public VendorAsyncDevice {
public:
    static constexpr hx::usb::BusOptions kOptions{0xFFFFFF00ull, 2, 2};

    EchoRig() : model(std::make_shared<EchoModel>()), bus(kOptions) {
        bus.plug(model, 1);
        device = bus.copyDevice(1);
        if (!device || device->setConfiguration(1, false) != kIOReturnSuccess) {
            ADD_FAILURE() << "the echo device did not configure";
            return;
        }
        OSIterator* it = device->getClientIterator();
        while (OSObject* o = it->getNextObject())
            if (auto* i = OSDynamicCast(IOUSBHostInterface, o)) intf = i;
        it->release();
        bytes = model->configBytes();
        USBByteBuffer buf(bytes.data(), uint32_t(bytes.size()));
        scanned = config.scan(buf, VIDPID(0x1234, 0x5678, 0x0100, nullptr));
    }
    ~EchoRig() override {
        for (auto& [desc, pipe] : pipes)
            pipe->release();
        OSSafeReleaseNULL(device);
    }

    // ---- VendorAsyncDevice
    bool vendorIsFarlane() const override { return farlane; }
    bool vendorMatchInterface(ZrInterfaceDescriptor*& desc) override {
        ++matches;
        if (!matchOk) desc = nullptr;
        return matchOk && desc && intf;
    }
    void vendorCloseInterface(ZrInterfaceDescriptor*) override { ++interfaceCloses; }
    bool vendorInitPipe(ZrPipeDescriptor* pipe, const char* name) override {
        names.push_back(name);
        IOUSBHostPipe* p = intf ? intf->copyPipe(pipe->getAddress()) : nullptr;
        if (!p) return false;
        std::lock_guard<std::mutex> g(lock);
        pipes[pipe] = p;
        return true;
    }
    void vendorClosePipe(ZrPipeDescriptor* pipe) override {
        IOUSBHostPipe* p = nullptr;
        {
            std::lock_guard<std::mutex> g(lock);
            auto it = pipes.find(pipe);
            if (it == pipes.end()) return;
            p = it->second;
            pipes.erase(it);
        }
        p->abort(kAbortSynchronous, kIOReturnAborted);
        p->release();
    }
    bool vendorHasUSBPipe(ZrPipeDescriptor* pipe) const override {
        std::lock_guard<std::mutex> g(lock);
        return pipes.count(pipe) != 0;
    }
    IOReturn vendorIO(ZrPipeDescriptor* pipe, IOMemoryDescriptor* buffer, uint32_t length,
                      IOUSBHostCompletion* completion, uint32_t timeoutMs) override {
        ++ios;
        if (failStarts) return kIOReturnNotResponding;
        std::lock_guard<std::mutex> g(lock);
        auto it = pipes.find(pipe);
        return it == pipes.end() ? kIOReturnNotAttached
                                 : it->second->io(buffer, length, completion, timeoutMs);
    }
    void vendorAbortPipe(ZrPipeDescriptor* pipe) override {
        std::lock_guard<std::mutex> g(lock);
        auto it = pipes.find(pipe);
        if (it != pipes.end()) it->second->abort(kAbortAsynchronous, kIOReturnAborted);
    }

    std::shared_ptr<EchoModel> model;
    hx::usb::Bus bus;
    IOUSBHostDevice* device = nullptr;
    IOUSBHostInterface* intf = nullptr;
    std::vector<uint8_t> bytes;
    ZrConfigurationDescriptor config;
    bool scanned = false;
    bool farlane = true;
    bool matchOk = true;
    std::atomic<bool> failStarts{false};
    int matches = 0;
    int interfaceCloses = 0;
    std::atomic<int> ios{0};
    std::vector<std::string> names;
    mutable std::mutex lock;
    std::map<ZrPipeDescriptor*, IOUSBHostPipe*> pipes;
};

} // namespace vendortest
