// The host stack's objects a driver holds: the device, its interfaces and
// their pipes, on the simulated bus (USBBus.h).
//
// Transfers never complete inside the call that submitted them: the bus
// answers at its next frame, synchronous calls wait for that, asynchronous
// completions run on the bus's completion threads (at least two). A
// completion may submit again or abort.
#pragma once

#include "platform/kern/IOMemoryDescriptor.h"
#include "platform/kern/IOService.h"
#include "platform/usb/StandardUSB.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace hx::usb {
class Bus;
class DeviceModel;
struct BusCore;
struct Port;
} // namespace hx::usb

class IOUSBHostInterface;
class IOUSBHostPipe;

typedef void (*IOUSBHostCompletionAction)(void* owner, void* parameter, IOReturn status,
                                          uint32_t bytesTransferred);
struct IOUSBHostCompletion {
    void* owner;
    IOUSBHostCompletionAction action;
    void* parameter;
};

// One packet of an isochronous frame list. The driver sets requestCount
// (bytes) before submitting; the bus writes status, completeCount and the
// host time (mach_absolute_time ticks) of the packet's (micro)frame when it
// serves it. Packets lie back to back in the buffer at their request counts.
struct IOUSBHostIsochronousFrame {
    IOReturn status;
    uint32_t requestCount;
    uint32_t completeCount;
    uint32_t reserved;
    AbsoluteTime timeStamp;
};
static_assert(sizeof(IOUSBHostIsochronousFrame) == 24);

typedef void (*IOUSBHostIsochronousCompletionAction)(void* owner, void* parameter, IOReturn status,
                                                     IOUSBHostIsochronousFrame* frameList);
struct IOUSBHostIsochronousCompletion {
    void* owner;
    IOUSBHostIsochronousCompletionAction action;
    void* parameter;
};

// Abort options.
enum : IOOptionBits {
    kAbortAsynchronous = 0,
    kAbortSynchronous = 1,
};

// Open option of an interface: select the alternate setting given as the
// open argument in the same call.
enum : IOOptionBits { kUSBHostOpenOptionSelectAlternateInterface = 0x00010000 };

class IOUSBHostDevice : public IOService {
    OSDeclareDefaultStructors(IOUSBHostDevice) public :
        // Cached at enumeration; valid while the object lives.
        const StandardUSB::DeviceDescriptor* getDeviceDescriptor() const;
    // By index (0-based); null when there is none.
    const StandardUSB::ConfigurationDescriptor* getConfigurationDescriptor(uint8_t index) const;
    // Read from the device (GET_DESCRIPTOR, through the default pipe) on
    // first use, then cached; null when the device does not answer.
    const StandardUSB::StringDescriptor* getStringDescriptor(uint8_t index,
                                                             uint16_t languageID = 0x0409);

    uint8_t getSpeed() const { return mSpeed; }
    // The bus frame number (1 ms frames at both speeds); 0 once unplugged.
    uint64_t getFrameNumber(AbsoluteTime* theTime = nullptr) const;

    // SET_CONFIGURATION; on success the interfaces of the new configuration
    // exist as children of this device (published for matching when asked).
    IOReturn setConfiguration(uint8_t configurationValue, bool matchInterfaces = true);
    // A bus reset: the device keeps this object, drops its configuration and
    // its interface objects; pending requests end with kIOReturnAborted.
    IOReturn reset();
    // Re-enumeration: once the call has returned (and the device's pending
    // requests ended), the device leaves the bus and comes back on its port
    // as a new device object; its driver ends as on an unplug.
    IOReturn reEnumerateDevice(IOOptionBits options);

    // A control request on the default pipe, waiting for its end. Never
    // writes more than wLength bytes into dataBuffer; bytesTransferred gets
    // what moved. A time-out of 0 waits without limit.
    IOReturn deviceRequest(IOService* forClient, StandardUSB::DeviceRequest& request,
                           void* dataBuffer, uint32_t& bytesTransferred,
                           uint32_t completionTimeoutMs = kUSBHostStandardRequestCompletionTimeout);
    IOReturn deviceRequest(IOService* forClient, StandardUSB::DeviceRequest& request,
                           IOMemoryDescriptor* dataBuffer, uint32_t& bytesTransferred,
                           uint32_t completionTimeoutMs = kUSBHostStandardRequestCompletionTimeout);
    // Asynchronous form: the completion runs on a bus thread. When the call
    // returns an error the completion is not called.
    IOReturn deviceRequest(IOService* forClient, StandardUSB::DeviceRequest& request,
                           IOMemoryDescriptor* dataBuffer, IOUSBHostCompletion* completion,
                           uint32_t completionTimeoutMs = kUSBHostStandardRequestCompletionTimeout);
    // Ends pending default-pipe requests with the given status. Synchronous
    // aborts wait for their completions, except on a bus thread.
    IOReturn abortDeviceRequests(IOOptionBits options = kAbortAsynchronous,
                                 IOReturn withError = kIOReturnAborted);

    bool isUnplugged() const;

protected:
    bool finalize(IOOptionBits options) override;
    void free() override;

private:
    friend struct hx::usb::BusCore;
    friend class hx::usb::Bus;
    friend class IOUSBHostInterface;
    friend class IOUSBHostPipe;
    void dropInterfaces();

    std::shared_ptr<hx::usb::BusCore> mBus;
    std::atomic<bool> mUnplugged{false};
    uint8_t mPort = 0;
    uint8_t mSpeed = kUSBHostConnectionSpeedFull;
    std::vector<uint8_t> mDeviceDescriptor;
    std::vector<std::vector<uint8_t>> mConfigurations;
    std::mutex mLock;
    std::map<uint32_t, std::vector<uint8_t>> mStrings; // (language << 8 | index)
    std::vector<IOUSBHostInterface*> mInterfaces;      // retained
};

class IOUSBHostInterface : public IOService {
    OSDeclareDefaultStructors(IOUSBHostInterface) public
        : const StandardUSB::InterfaceDescriptor* getInterfaceDescriptor() const;
    const StandardUSB::ConfigurationDescriptor* getConfigurationDescriptor() const {
        return mConfig;
    }
    IOUSBHostDevice* getDevice() const { return mDevice; }
    uint64_t getFrameNumber(AbsoluteTime* theTime = nullptr) const;

    // SET_INTERFACE; pipes of the previous alternate setting go stale.
    IOReturn selectAlternateSetting(uint8_t bAlternateSetting);
    // The pipe of an endpoint of the current alternate setting, retained for
    // the caller; null when there is none.
    IOUSBHostPipe* copyPipe(uint8_t address);

    bool open(IOService* forClient, IOOptionBits options = 0, void* arg = nullptr) override;

protected:
    void free() override;

private:
    friend class IOUSBHostDevice;
    friend struct hx::usb::BusCore;
    void dropPipes();

    IOUSBHostDevice* mDevice = nullptr; // the provider (kept by the provider link)
    const StandardUSB::ConfigurationDescriptor* mConfig = nullptr;
    std::atomic<const StandardUSB::InterfaceDescriptor*> mCurrent{nullptr};
    std::mutex mLock;
    std::map<uint8_t, IOUSBHostPipe*> mPipes; // retained; endpoints of the current alternate
};

class IOUSBHostPipe : public OSObject {
    OSDeclareDefaultStructors(IOUSBHostPipe) public
        : const StandardUSB::EndpointDescriptor* getEndpointDescriptor() const {
        return &mEndpoint;
    }
    // Clears the halt state of the endpoint; with the request, also tells the
    // device (CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint).
    IOReturn clearStall(bool withRequest);
    // Ends the transfers queued on this pipe with the given status; the
    // packets not yet served get it with 0 bytes. A synchronous abort waits
    // for their completions, except on a bus thread.
    IOReturn abort(IOOptionBits options = kAbortAsynchronous, IOReturn withError = kIOReturnAborted,
                   IOService* forClient = nullptr);

    // An isochronous transfer: frameListCount packets from bus frame
    // firstFrameNumber. On a full-speed bus (and for endpoints polled once
    // a frame or slower) packet k belongs to frame firstFrameNumber + k x
    // period; on a high-speed endpoint polled every 2^(bInterval-1)
    // microframes, 8 / 2^(bInterval-1) packets share a frame. The bus reads
    // each OUT packet from the buffer one frame before that packet's
    // (micro)frame (the controller's fetch ahead), so the payload may be
    // written after the call but no later than that; IN data, complete
    // counts and time stamps arrive at the packet's (micro)frame. A first
    // frame that is not in the future is refused (kIOReturnIsoTooOld, no
    // completion); packets whose (micro)frame passed while the controller was
    // held (a starved controller) end with kIOReturnIsoTooOld and 0 bytes. The completion runs on a
    // bus thread after the last packet's (micro)frame; the frame list and the buffer must stay
    // valid until then.
    IOReturn io(IOMemoryDescriptor* dataBuffer, IOUSBHostIsochronousFrame* frameList,
                uint32_t frameListCount, uint64_t firstFrameNumber,
                IOUSBHostIsochronousCompletion* completion);
    // A bulk or interrupt transfer of `length` bytes of the buffer. The
    // device sees it from the bus frame after the call, one transaction per
    // endpoint and frame; while the device has nothing (IN) or takes
    // nothing (OUT) the bus tries again each frame. The completion runs on a
    // bus thread with the bytes moved; completions of one pipe run in order.
    // A time-out of 0 waits without limit; an abort ends the transfer.
    IOReturn io(IOMemoryDescriptor* dataBuffer, uint32_t length, IOUSBHostCompletion* completion,
                uint32_t completionTimeoutMs = 0);
    // The bus frame number, as the device reports it (0 once unplugged).
    uint64_t getFrameNumber(AbsoluteTime* theTime = nullptr) const;
    // True once the pipe's alternate setting, configuration or device went.
    bool isStale() const { return mStale.load(); }

protected:
    void free() override;

private:
    friend class IOUSBHostInterface;
    friend struct hx::usb::BusCore;
    IOUSBHostDevice* mDevice = nullptr; // retained
    StandardUSB::EndpointDescriptor mEndpoint{};
    std::atomic<bool> mStale{false};
};
