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
#include <string>
#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/kcore/Mutex.h"
#include "driver/engine/shim/ZrPlatformShim.h"

// The "QnSpecific" values of the driver's personality.
struct ZrPersonalitySpecific {
    bool hasMsWait = false;
    uint32_t msWait = 0;
    bool hasInACR = false;
    uint32_t inACR = 0;
    bool hasClockSourceSettings = false;
    std::vector<uint8_t> clockSourceSettings;
    bool hasConfigurationData = false;
    std::vector<uint8_t> configurationData;
    bool hasCustomName = false;
    std::string customName;
    std::string serialized;  // the dictionary's text, for the log
};

enum EDirection : uint8_t { kDirOut = 0, kDirIn = 0x80 };
enum EDRQ_Level : uint8_t { kLevelStandard = 0, kLevelClass = 0x20, kLevelVendor = 0x40 };
enum EDRQ_Recipient : uint8_t { kRecipientDevice = 0, kRecipientInterface = 1, kRecipientEndpoint = 2 };

constexpr int kUserClientSlots = 64;

class ZrKernelDeviceKorvexHX5100 : public ZrServiceBase {
public:
    ZrKernelDeviceKorvexHX5100();
    ~ZrKernelDeviceKorvexHX5100() override;

    bool init(const ZrPersonalitySpecific* specific);
    void initSpecificFeatures(const ZrPersonalitySpecific& specific);
    bool probe(int32_t* score);
    bool start(ZrUsbDevice* provider);
    void stop();
    bool terminate(uint32_t options) override;
    void free() override;

    IOReturn newUserClient(void* owningTask, void* securityID, uint32_t type, ZrUserClient** handler);
    void userClientListNewClient(ZrUserClient* client);
    void userClientListClientClosed(ZrUserClient* client);
    void userClientListNotifyTerminate();
    int32_t getUserClientCount() const { return __atomic_load_n(&mUserClientCount, __ATOMIC_SEQ_CST); }

    // Opaque identifiers of user clients: non-zero, one per client, resolved
    // only here.
    uint64_t clientIdentifier(const ZrUserClient* client) const;
    ZrUserClient* clientFromIdentifier(uint64_t id) const;

    IOReturn deviceRequestStd(EDirection dir, EDRQ_Level level, EDRQ_Recipient recipient, uint8_t bRequest,
                              uint16_t wValue, uint16_t wIndex, void* data, uint32_t& length, int retryCount);
    void closeUsbDevice();
    bool resetDevice(const char* reason);
    uint64_t getCurrentFrame();

    IOReturn messageToClients(uint32_t code, uint64_t client, int param1, int param2);
    void setChannelSettingsProperty();
    void setAjExtDataProperty();

    ZrDevice* getDevice() const { return m_pDevice; }
    ZrUsbDevice* getUSBDevice() const { return m_pUSBDevice; }
    bool isTerminateRequested() const { return __atomic_load_n(&m_bTerminateRequested, __ATOMIC_SEQ_CST); }
    IOReturn getConfigureStatus() const { return mConfigureStatus; }
    Mutex& dispatchLock() { return mDispatchLock; }

    // The user-client classes by type are created through this factory (the
    // client layer registers its classes by name).
    void setUserClientFactory(ZrUserClientFactory f) { mFactory = f; }

    // Stubs of later layers, recorded in the device's stub trace.
    void unconfigureDevice(bool allowReset, const char* reason);
    void systemSleep();
    void systemWakeUp();

protected:
    virtual void sleepMs(uint32_t ms);

private:
    bool startFailed(const char* reason);
    bool usbLoadConfigurations();

    ZrDevice* m_pDevice = nullptr;
    ZrUsbDevice* m_pUSBDevice = nullptr;
    int mUSBDeviceRetainCount = 0;
    bool mPMInterestRegistered = false;
    bool mpSystemSuspended = false;
    void* mInterestNotifier = nullptr;
    Mutex mServiceLock;
    Mutex mDispatchLock;
    bool m_bTerminateRequested = false;
    IOReturn mConfigureStatus = IOReturn(0xE0000001);
    ZrUserClient* mUserClientList[kUserClientSlots] = {};
    int32_t mUserClientCount = 0;

    bool mTerminated = false;
    ZrUserClientFactory mFactory = nullptr;
    mutable std::mutex mIdLock;
    std::map<uint64_t, ZrUserClient*> mClientsById;
    std::map<const ZrUserClient*, uint64_t> mIdsByClient;
    uint64_t mNextClientId = 0;
};

// Terminates the kernel core library when the driver unloads (the last
// service was freed), not with each service.
void ZrDriverUnload();
