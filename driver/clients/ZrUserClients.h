// The kernel's user clients of the device service: the objects user space
// opens on a ZrKernelDeviceKorvexHX5100, by type (0 audio, 1 MIDI, 2 and 5
// control, 3 audio server).
//
//   AudioUserClientKorvexHX5100  OSXDispatch requests of the HAL plug-in,
//                                control panel and helper; memory 1, 4-7
//   ASClientKorvexHX5100         the audio-server plug-in: eight methods and
//                                OSXDispatch requests; memory 1, 4, 5
//   MidiUserClientKorvexHX5100   OSXDispatch requests 21-23, 27, 35; memory 3
//   CtrlUserClientKorvexHX5100   QN_Dispatch requests; no memory
//
// A client's identity toward user space is the service's opaque identifier,
// never its address. Every request runs inside a UserDispLock on the kernel
// device, so requests of all clients of one device are served one at a time
// and none once the device is going away.
#pragma once

#include <cstdint>
#include <optional>

#include "abi/AudioSM.h"
#include "abi/QN_Dispatch.h"
#include "driver/engine/SharedMemory.h"
#include "driver/engine/kcore/Mutex.h"
#include "platform/kern/IOUserClient.h"

class ZrKernelDeviceKorvexHX5100;
class ZrDevice;
class DriverData;
#include "driver/clients/AJ.h"
#include "driver/clients/VendorAsyncPort.h"

constexpr uint32_t kClientAsyncDataSize = 1051668;
constexpr uint32_t kASClientTag = 0x4153434C; // 'ASCL'

// Memory types of clientMemoryForType.
enum : uint32_t {
    kMemoryDriverSM = 1,
    kMemoryMidiSM = 3,
    kMemoryDeviceAudioSM = 4,
    kMemoryClientAudioSM = 5,
    kMemoryVendorAsync = 6,
    kMemoryClientAsync = 7,
};

// Holds the kernel device's dispatch lock (and a reference) for its scope.
class UserDispLock {
public:
    UserDispLock() = default;
    ~UserDispLock();
    UserDispLock(const UserDispLock&) = delete;
    UserDispLock& operator=(const UserDispLock&) = delete;
    bool _lock(ZrKernelDeviceKorvexHX5100* device, const char* caller);

private:
    ZrKernelDeviceKorvexHX5100* mDevice = nullptr;
};

// What every client of the device keeps: the kernel device (retained from
// start to close) and the identifier a client registered (Req 30).
class ZrUserClient : public IOUserClient {
    OSDeclareDefaultStructors(ZrUserClient) public
        : ZrKernelDeviceKorvexHX5100* kernelDevice() const {
        return mKernelDevice;
    }
    ZrDevice* device() const;
    // The service's opaque identifier of this client (0 before start).
    uint64_t identity() const;
    // The Req 30 identifier, -1 until registered.
    int64_t registeredId() const { return __atomic_load_n(&mClientId, __ATOMIC_SEQ_CST); }
    void setRegisteredId(uint32_t id) {
        __atomic_store_n(&mClientId, int64_t(id), __ATOMIC_SEQ_CST);
    }
    // The task this client serves: set by initWithTask, cleared by
    // clientClose (a closed client acts for no one).
    task_t owningTask() const { return __atomic_load_n(&mTask, __ATOMIC_SEQ_CST); }

protected:
    // The platform's start, then the provider as the kernel device.
    bool startOnDevice(IOService* provider);
    // Drops the kernel device after the service's client list forgot us.
    void leaveDevice();
    // The OSXDispatch requests of the audio, audio-server and MIDI clients.
    IOReturn serveOSXDispatch(const char* who, uint8_t* rec);
    virtual IOReturn serveRequest(uint32_t req, uint8_t* rec) = 0;

    // Stores the task (initWithTask) or clears it (clientClose).
    void setOwningTask(task_t task) { __atomic_store_n(&mTask, task, __ATOMIC_SEQ_CST); }

    ZrKernelDeviceKorvexHX5100* mKernelDevice = nullptr;
    int64_t mClientId = -1;
    task_t mTask = MACH_PORT_NULL;
};

// The audio and audio-server clients: the device's DriverData and their own
// output ring, attached to the device's client mixing.
class ZrStreamingClient : public ZrUserClient {
    OSDeclareDefaultStructors(ZrStreamingClient) public : bool hasOwnRing() const {
        return mpAudioSM != nullptr;
    }
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options,
                                 IOMemoryDescriptor** memory) override;
    IOMemoryMap* mapClientMemory(IOOptionBits type, task_t task,
                                 IOOptionBits mapFlags = kIOMapAnywhere,
                                 IOVirtualAddress atAddress = 0) override;
    // The memory of a type this client serves (nullptr: none; *served
    // false: the type is not served).
    SharedMemory* areaForType(uint32_t type, bool* served);
    bool initAudioSM();
    // Lays out the own ring for the device's current settings.
    bool initIOData(AudioSMGeometry* laidOut);
    // Attaches the own ring (Req 2 / StartHardware) and detaches it.
    IOReturn attachRing(uint32_t tag, int& slot, uint32_t frameSize);
    IOReturn detachRing();
    // The requests both streaming clients serve.
    IOReturn serveStreamingRequest(bool audioServer, uint32_t req, uint8_t* rec, bool& served);
    // serveStreamingRequest's groups (ZrUserClient_Requests.cpp): each
    // answers the codes of its concern and gives no result for the rest.
    std::optional<IOReturn> serveStreamRequest(bool audioServer, uint32_t req, uint8_t* rec);
    std::optional<IOReturn> serveStatusRequest(bool audioServer, uint32_t req, uint8_t* rec);
    std::optional<IOReturn> serveDeviceRequest(bool audioServer, uint32_t req, uint8_t* rec);
    std::optional<IOReturn> serveMixerRequest(bool audioServer, uint32_t req, uint8_t* rec);
    std::optional<IOReturn> serveServerRequest(bool audioServer, uint32_t req, uint8_t* rec);
    // This client as the vendor port's owner: only the audio client can be.
    VendorAsyncClient* vendorClient() { return dynamic_cast<VendorAsyncClient*>(this); }

protected:
    bool startStreaming(IOService* provider);
    void dropDriverData();
    void freeOwnAreas();
    virtual bool servesType(uint32_t type) const = 0;

    DriverData* mDriverData = nullptr;
    SharedMemory mAudioSMArea;
    AudioSM* mpAudioSM = nullptr;
    SharedMemory mAsyncArea;
    void* mpAsyncData = nullptr;
    bool mAudioServer = false;
};

class AudioUserClientKorvexHX5100 : public ZrStreamingClient, public VendorAsyncClient {
    OSDeclareDefaultStructors(AudioUserClientKorvexHX5100) public
        : bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    using IOUserClient::initWithTask;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    IOReturn message(UInt32 type, IOService* provider, void* argument) override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch = nullptr,
                            OSObject* target = nullptr, void* reference = nullptr) override;
    IOReturn clientClose() override;

    static IOReturn method_CallDriver(OSObject* target, void* reference,
                                      IOExternalMethodArguments* args);
    static IOReturn method_CallDriverVendorWriteAsync(OSObject* target, void* reference,
                                                      IOExternalMethodArguments* args);
    static IOReturn method_CallDriverVendorReadAsync(OSObject* target, void* reference,
                                                     IOExternalMethodArguments* args);
    IOReturn startUSBStream(uint32_t tag, int& slot, uint32_t frameSize);
    IOReturn stopUSBStream();
    // The client's own asynchronous area (memory type 7, made on demand),
    // lent to the vendor port; null when it cannot be made.
    SharedMemory* initAsyncData();

    // The vendor port's owner.
    void vendorRetain() override { retain(); }
    void vendorRelease() override { release(); }
    SharedMemory* vendorOwnArea() override { return initAsyncData(); }

protected:
    IOReturn serveRequest(uint32_t req, uint8_t* rec) override;
    bool servesType(uint32_t type) const override;
};

class ASClientKorvexHX5100 : public ZrStreamingClient {
    OSDeclareDefaultStructors(ASClientKorvexHX5100) public
        : bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    using IOUserClient::initWithTask;
    bool start(IOService* provider) override;
    bool terminate(IOOptionBits options = 0) override;
    bool finalize(IOOptionBits options) override;
    bool didTerminate(IOService* provider, IOOptionBits options, bool* defer) override;
    IOReturn message(UInt32 type, IOService* provider, void* argument) override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            IOExternalMethodDispatch* dispatch = nullptr,
                            OSObject* target = nullptr, void* reference = nullptr) override;
    IOReturn clientClose() override;

    static IOReturn method_Open(OSObject* target, void*, IOExternalMethodArguments* args);
    static IOReturn method_Close(OSObject* target, void*, IOExternalMethodArguments* args);
    static IOReturn method_StartHardware(OSObject* target, void*, IOExternalMethodArguments* args);
    static IOReturn method_StopHardware(OSObject* target, void*, IOExternalMethodArguments* args);
    static IOReturn method_GetControlValue(OSObject* target, void*,
                                           IOExternalMethodArguments* args);
    static IOReturn method_SetControlValue(OSObject* target, void*,
                                           IOExternalMethodArguments* args);
    static IOReturn method_CallDriver(OSObject* target, void*, IOExternalMethodArguments* args);
    static IOReturn method_GetUserClassID(OSObject* target, void*, IOExternalMethodArguments* args);
    IOReturn onStartHardware(uint32_t frameSize, int& slot);
    IOReturn onStopHardware();

protected:
    IOReturn serveRequest(uint32_t req, uint8_t* rec) override;
    bool servesType(uint32_t type) const override;
};

class CtrlUserClientKorvexHX5100 : public ZrUserClient {
    OSDeclareDefaultStructors(CtrlUserClientKorvexHX5100) public
        : bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    using IOUserClient::initWithTask;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool terminate(IOOptionBits options = 0) override;
    bool finalize(IOOptionBits options) override;
    IOReturn message(UInt32 type, IOService* provider, void* argument) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;

    IOReturn userDispatch(void* in, void* out, void* inSize, void* outSize, void*, void*);

protected:
    IOReturn serveRequest(uint32_t, uint8_t*) override { return kIOReturnBadArgument; }

private:
    bool mClientDied = false;
};

class MidiUserClientKorvexHX5100 : public ZrUserClient, public AJClient {
    OSDeclareDefaultStructors(MidiUserClientKorvexHX5100) public
        : bool initWithTask(task_t owningTask, void* securityID, UInt32 type) override;
    using IOUserClient::initWithTask;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool terminate(IOOptionBits options = 0) override;
    bool finalize(IOOptionBits options) override;
    IOReturn message(UInt32 type, IOService* provider, void* argument) override;
    IOReturn clientClose() override;
    IOReturn clientDied() override;
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits* options,
                                 IOMemoryDescriptor** memory) override;
    IOMemoryMap* mapClientMemory(IOOptionBits type, task_t task,
                                 IOOptionBits mapFlags = kIOMapAnywhere,
                                 IOVirtualAddress atAddress = 0) override;
    IOExternalMethod* getTargetAndMethodForIndex(IOService** target, UInt32 index) override;

    IOReturn userDispatch(void* in, void* out, void* inSize, void* outSize, void*, void*);
    // The port signals the client when MIDI input arrived.
    void triggerClient() override;
    void ajRetain() override { retain(); }
    void ajRelease() override { release(); }
    uint32_t triggerCount() const { return __atomic_load_n(&mTriggers, __ATOMIC_SEQ_CST); }

protected:
    IOReturn serveRequest(uint32_t req, uint8_t* rec) override;

private:
    AJ* mAJ = nullptr;
    bool mClientDied = false;
    KeSemaphore mSemaphore;
    uint32_t mTriggers = 0;
};

// True when the four client classes are registered under their names (and
// not an earlier class of the same name). Calling it also links the classes
// into a program that creates them only by name.
bool ZrUserClientsRegistered();
