// The kernel driver's service: one per matched USB device. It owns the device
// model and the opened USB device, runs the life cycle (init, probe, start,
// stop, terminate, free), creates the user clients, keeps the list of open
// clients, carries out every USB control request of the driver and sends the
// state-change notifications.
//
// User clients are known to user space only by an opaque 64-bit identifier
// the service hands out; it resolves identifiers through its private table,
// so nothing user space writes can name a kernel object.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "abi/QN_StateChange.h"
#include "abi/USBRequestTypes.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/kcore/Mutex.h"
#include "platform/kern/IOService.h"
#include "platform/kern/IOUserClient.h"
#include "platform/usb/IOUSBHostFamily.h"

constexpr int kUserClientSlots = 64;
// The PIC device's microcontroller commands at start-up and configuration.
constexpr uint8_t kPicPowerOn = 129;
constexpr uint8_t kPicPowerOff = 130;

class ZrPipeDescriptor;
class ZrInterfaceDescriptor;

class ZrKernelDeviceKorvexHX5100 : public IOService, public USBMidiHost {
    OSDeclareDefaultStructors(ZrKernelDeviceKorvexHX5100) public
        : bool init(OSDictionary* dict = nullptr) override;
    void initSpecificFeatures(OSDictionary* dict);
    // Logs an object's property-list text ("Dumping %p:  %s\n").
    void OSShow(OSObject* object);
    IOService* probe(IOService* provider, SInt32* score) override;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    bool terminate(IOOptionBits options = 0) override;

    IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type,
                           OSDictionary* properties, IOUserClient** handler) override;
    IOReturn newUserClient(task_t owningTask, void* securityID, UInt32 type,
                           IOUserClient** handler) override;
    void userClientListNewClient(IOUserClient* client);
    void userClientListClientClosed(IOUserClient* client);
    void userClientListNotifyTerminate();
    int32_t getUserClientCount() const {
        return __atomic_load_n(&mUserClientCount, __ATOMIC_SEQ_CST);
    }

    // Opaque identifiers of user clients: non-zero, one per client, resolved
    // only here.
    uint64_t clientIdentifier(const IOUserClient* client) const;
    IOUserClient* clientFromIdentifier(uint64_t id) const;

    IOReturn deviceRequestStd(EDirection dir, EDRQ_Level level, EDRQ_Recipient recipient,
                              uint8_t bRequest, uint16_t wValue, uint16_t wIndex, void* data,
                              uint32_t& length, int retryCount);
    void closeUsbDevice();
    bool resetDevice(const char* reason);
    // GET_CONFIGURATION into *value (0 first); kIOReturnError without a
    // service or device, 0 without value.
    static IOReturn GetConfiguration(ZrKernelDeviceKorvexHX5100* service,
                                     IOUSBHostDevice* usbDevice, uint8_t* value);
    // The host's bandwidth is not accounted here: a fixed budget, a fixed
    // share per pipe, and setting a share only logs.
    static uint32_t GetFreeBandWidth() { return 5000; }
    static uint32_t getBandwidthForPipe(ZrPipeDescriptor*) { return 100; }
    IOReturn setBandwidthForPipe(ZrPipeDescriptor* pipe, uint32_t value);
    // What the open isochronous pipes use (bytes per packet, output plus
    // input); 0 without a device model.
    uint32_t GetAllocatedBandWidth() const;
    // Start-up of the PIC device: its configuration selected, then the
    // microcontroller's power-on exchange.
    void powerOnPic(const APIDeviceInfo& info);
    // The USB-MIDI object's side (ZrKernelDevice_Midi.cpp).
    bool usbMidiInitPipe(ZrPipeDescriptor* pipe, const char* name) override;
    IOUSBHostPipe* usbMidiGetPipe(ZrPipeDescriptor* pipe) const override;
    void usbMidiClosePipe(ZrPipeDescriptor* pipe) override;
    uint32_t usbMidiBandwidth(ZrPipeDescriptor* pipe) const override {
        return getBandwidthForPipe(pipe);
    }
    void cancelMidiRB(MidiRB* rb) override;
    // After each configuration: publishes the device's MIDI interface for
    // class drivers, except on devices whose MIDI the driver serves itself.
    void registerMidiInterface();
    uint64_t getCurrentFrame();

    IOReturn messageToClients(uint32_t code, uint64_t client, int param1, int param2);
    void setChannelSettingsProperty();
    void setAjExtDataProperty();

    // Power-management root domain: the system's sleep and wake reach the
    // device model through these.
    IOReturn powerStateWillChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                    IOService* whatDevice) override;
    IOReturn powerStateDidChangeTo(IOPMPowerFlags flags, unsigned long stateNumber,
                                   IOService* whatDevice) override;

    ZrDevice* getDevice() const { return m_pDevice; }
    IOUSBHostDevice* getUSBDevice() const { return m_pUSBDevice; }
    APIDeviceInfo* getAPIDeviceInfoPtr() const {
        return m_pDevice ? m_pDevice->getAPIDeviceInfoPtr() : nullptr;
    }
    bool isTerminateRequested() const {
        return __atomic_load_n(&m_bTerminateRequested, __ATOMIC_SEQ_CST);
    }
    bool isSystemSuspended() const { return __atomic_load_n(&mpSystemSuspended, __ATOMIC_SEQ_CST); }
    IOReturn getConfigureStatus() const { return mConfigureStatus; }
    void setConfigureStatus(IOReturn status) { mConfigureStatus = status; }
    Mutex& dispatchLock() { return mDispatchLock; }

    // Configuration: unconfigure, configure with the shared area's settings
    // and finish. Callers hold the dispatch lock (or are the power thread).
    IOReturn reqConfigureDevice(const char* reason);
    IOReturn configureDevice();
    void unconfigureDevice(bool allowReset, const char* reason);
    void unconfigure_Device(const char* reason) { unconfigureDevice(false, reason); }
    // Binds an interface record to the device's interface; a record that
    // cannot be bound becomes null.
    bool matchInterface(ZrInterfaceDescriptor*& desc, bool open);
    static IOReturn CompositeDriverInterestHandler(void* target, void* refCon, UInt32 messageType,
                                                   IOService* provider, void* argument,
                                                   vm_size_t size);

    // System sleep and wake-up: the power callbacks call these under the
    // dispatch lock; the audio-server client's sleep and wake-up requests
    // (which hold it already) call them directly.
    void systemSleep();
    void systemWakeUp();

protected:
    void free() override;

private:
    bool startFailed(const char* reason);
    bool openConfiguredPipe(ZrPipeDescriptor* pipe, const char* name);
    // The steps of configureDevice, in their order. A step's failure is
    // its IOReturn; only a configuration that cannot be selected ends the
    // configuration early.
    IOReturn failConfigure(IOReturn code);
    void readFarlane2ChannelConfig(QnChannelSettings& settings);
    // Finds the interfaces for the settings (which it may adjust) and sets
    // the USB configuration that holds them.
    IOReturn selectConfiguration(QnChannelSettings& settings);
    void selectTrunk2Alternates();
    // Binds the control, audio, HID and MIDI interfaces; kIOReturnError if
    // any could not be bound.
    IOReturn bindInterfaces();
    // Picks the isochronous, bulk and interrupt pipes the product streams on.
    void choosePipes();
    // Opens the chosen pipes, checking the isochronous ones' bandwidth: the
    // bandwidth refusal if there was one, else kIOReturnError if a pipe did
    // not open.
    IOReturn openPipes();
    // Chooses the transcoders for the settings (none unless the pipes are
    // ready) and hands the input one to the transport.
    IOReturn chooseConverters(const QnChannelSettings& settings, bool pipesReady);
    bool usbLoadConfigurations();

    ZrDevice* m_pDevice = nullptr;
    IOUSBHostDevice* m_pUSBDevice = nullptr;
    int mUSBDeviceRetainCount = 0;
    bool mPMInterestRegistered = false;
    bool mpSystemSuspended = false;
    IONotifier* mInterestNotifier = nullptr;
    Mutex mServiceLock;
    Mutex mDispatchLock;
    bool m_bTerminateRequested = false;
    IOReturn mConfigureStatus = IOReturn(0xE0000001);
    IOUserClient* mUserClientList[kUserClientSlots] = {};
    int32_t mUserClientCount = 0;

    bool mTerminated = false;
    bool mCountedAsLive = false;
    mutable std::mutex mIdLock;
    std::map<uint64_t, IOUserClient*> mClientsById;
    std::map<const IOUserClient*, uint64_t> mIdsByClient;
    uint64_t mNextClientId = 0;
};

// Terminates the kernel core library when the driver unloads (the last
// service was freed), not with each service.
void ZrDriverUnload();
