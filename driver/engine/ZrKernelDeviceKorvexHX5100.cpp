#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"

#include <cstdio>
#include <cstring>

#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/kcore/KernelCore.h"
#include "driver/engine/kcore/KernelMemory.h"
#include "driver/transcoders/x86/DMAConverterTable.h"
#include "platform/base/HXLog.h"

namespace {

// Services alive in this driver load; the core library goes with the last.
int gLiveServices = 0;

const char* clientClassForType(uint32_t type);

// The client classes register themselves by name with the kernel's class
// registry; a class that is not loaded gives no client.
IOUserClient* createUserClient(uint32_t type) {
    const char* name = clientClassForType(type);
    OSObject* o = name ? OSMetaClass::allocClassWithName(name) : nullptr;
    IOUserClient* c = OSDynamicCast(IOUserClient, o);
    if (!c && o) o->release();
    return c;
}

const char* clientClassForType(uint32_t type) {
    switch (type) {
    case 0:
        return "AudioUserClientKorvexHX5100";
    case 1:
        return "MidiUserClientKorvexHX5100";
    case 2:
    case 5:
        return "CtrlUserClientKorvexHX5100";
    case 3:
        return "ASClientKorvexHX5100";
    default:
        return nullptr;
    }
}

} // namespace

void ZrDriverUnload() {
    QnKernel::term();
}

OSDefineMetaClass(ZrKernelDeviceKorvexHX5100, IOService)

    ZrKernelDeviceKorvexHX5100::ZrKernelDeviceKorvexHX5100() = default;

ZrKernelDeviceKorvexHX5100::~ZrKernelDeviceKorvexHX5100() {
    delete m_pDevice;
    m_pDevice = nullptr;
}

bool ZrKernelDeviceKorvexHX5100::init(OSDictionary* dict) {
    IOLog("%s\n", "virtual bool ZrKernelDeviceKorvexHX5100::init(OSDictionary *)");
    QnKernel::init("UsbDriver");
    if (!mCountedAsLive) {
        mCountedAsLive = true;
        __atomic_add_fetch(&gLiveServices, 1, __ATOMIC_SEQ_CST);
    }
    DMAConverterInit(0);
    mConfigureStatus = IOReturn(0xE0000001);
    if (!m_pDevice) m_pDevice = new (std::nothrow) ZrDevice(*this);
    if (!m_pDevice) return false;
    initSpecificFeatures(dict);
    m_pUSBDevice = nullptr;
    mInterestNotifier = nullptr;
    m_bTerminateRequested = false;
    mPMInterestRegistered = false;
    mUserClientCount = 0;
    for (auto& slot : mUserClientList)
        slot = nullptr;
    return IOService::init(dict);
}

void ZrKernelDeviceKorvexHX5100::OSShow(OSObject* object) {
    OSSerialize* s = OSSerialize::withCapacity(5);
    if (!s) return;
    if (object) object->serialize(s);
    IOLog("Dumping %p:  %s\n", static_cast<void*>(object), s->text());
    s->release();
}

void ZrKernelDeviceKorvexHX5100::initSpecificFeatures(OSDictionary* dict) {
    OSDictionary* s = dict ? OSDynamicCast(OSDictionary, dict->getObject("QnSpecific")) : nullptr;
    if (!s || !m_pDevice) return;
    OSShow(s);
    if (OSNumber* n = OSDynamicCast(OSNumber, s->getObject("kMsWait"))) {
        uint32_t v = n->unsigned32BitValue();
        m_pDevice->mMsWait = v > 1000 ? 1000 : v;
        IOLog("Found kMsWait value=%d\n", int(v));
    }
    if (OSNumber* n = OSDynamicCast(OSNumber, s->getObject("kInACR"))) {
        m_pDevice->mInACR = n->unsigned32BitValue() & 0xFFFF;
        IOLog("Found kInACR value=%d\n", int(n->unsigned32BitValue()));
    }
    if (OSData* d = OSDynamicCast(OSData, s->getObject("kClockSourceSettings"))) {
        IOLog("Found kClockSourceSettings length=%d (%d)\n", int(d->getLength()), 20);
        // Shorter data than the three settings bytes is ignored.
        if (d->getLength() >= 3)
            std::memcpy(m_pDevice->mClockSourceSettings, d->getBytesNoCopy(), 3);
    }
    if (OSData* d = OSDynamicCast(OSData, s->getObject("kConfigurationData"))) {
        IOLog("Found kConfiguration length=%d (%d)\n", int(d->getLength()),
              int(sizeof(APISpecificFeatures)));
        // Shorter data than the record would be read past its end: ignored.
        if (d->getLength() >= sizeof(APISpecificFeatures)) {
            APISpecificFeatures f;
            std::memcpy(&f, d->getBytesNoCopy(), sizeof f);
            m_pDevice->initialSettings(&f);
        }
    }
    if (OSString* name = OSDynamicCast(OSString, s->getObject("kCustomName")))
        m_pDevice->setCustomName(name->getCStringNoCopy());
}

IOService* ZrKernelDeviceKorvexHX5100::probe(IOService* provider, SInt32* score) {
    IOService* r = IOService::probe(provider, score);
    if (score && *score >= 1) *score += 100;
    return r;
}

bool ZrKernelDeviceKorvexHX5100::startFailed(const char* reason) {
    IOLog("start ZrKernelDeviceKorvexHX5100 v3.4.13 failed. reason:%s\n", reason);
    // A failed start is never stopped: the root domain's hold on this
    // service would keep it alive for ever.
    if (mPMInterestRegistered) {
        mPMInterestRegistered = false;
        getPMRootDomain()->deRegisterInterestedDriver(this);
    }
    closeUsbDevice();
    delete m_pDevice;
    m_pDevice = nullptr;
    return false;
}

bool ZrKernelDeviceKorvexHX5100::start(IOService* provider) {
    CriticalSection cs(mServiceLock, "KERNELDEVICECLASS::start");
    if (!IOService::start(provider)) return startFailed("suerp::start failed");
    IOUSBHostDevice* usb = OSDynamicCast(IOUSBHostDevice, provider);
    if (!usb) return startFailed("no usb device");
    usb->retain();
    m_pUSBDevice = usb;
    mUSBDeviceRetainCount = usb->getRetainCount();
    if (IOPMrootDomain* root = getPMRootDomain()) {
        root->registerInterestedDriver(this);
        mPMInterestRegistered = true;
    }
    if (!m_pDevice) return startFailed("m_pDevice is NULL");

    char uid[128];
    std::snprintf(uid, sizeof uid, "QnDev_%p", static_cast<void*>(this));
    bool set = setProperty("deviceUID", uid);
    IOLog("%s %s %s\n", "deviceUID", uid, set ? "Success" : "Failed");

    if (!m_pUSBDevice->open(this, 1)) return startFailed("open failed");
    if (!m_pDevice->onServiceStart(m_pUSBDevice))
        return startFailed("m_pDevice->onServiceStart() failed");
    if (!usbLoadConfigurations()) return startFailed("usbLoadConfigurations failed");
    if (!m_pDevice->buildInternalAPIDeviceInfo())
        return startFailed("buildInternalAPIDeviceInfo is NULL");
    if (isTerminateRequested()) return startFailed("m_bTerminateRequested is true");
    APIDeviceInfo* info = m_pDevice->getAPIDeviceInfoPtr();
    if (!info) return startFailed("APIDeviceInfo* pDevInfo is NULL");
    powerOnPic(*info);
    if (info->mNumConfigurations < 1) return startFailed("m_uNumConfigurations < 1");
    registerService(0);
    IOLog("start ZrKernelDeviceKorvexHX5100 v3.4.13 Jun  2 2020 success Darwin kernel %d.%d.%d\n",
          version_major, version_minor, version_revision);
    return true;
}

bool ZrKernelDeviceKorvexHX5100::usbLoadConfigurations() {
    DriverSM* sm = m_pDevice->getDriverSM();
    if (!sm) return false;
    // The Merrow 192 family reports one usable configuration.
    if (m_pDevice->isMRW192Compatible()) sm->mNumConfigurations = 1;
    uint32_t count = sm->mNumConfigurations;
    m_pDevice->setConfigurationCount(count);
    // User space can write the shared area at any time: the scan works on a
    // private copy, and the shared buffer only publishes the bytes.
    constexpr uint32_t kCopySize = sizeof sm->mDescriptor;
    uint8_t* copy = static_cast<uint8_t*>(memAlloc(kCopySize));
    if (!copy) return false;
    bool result = true;
    for (uint32_t index = 1; index <= count; ++index) {
        const StandardUSB::ConfigurationDescriptor* cd =
            m_pUSBDevice->getConfigurationDescriptor(uint8_t(index - 1));
        const uint8_t* config = reinterpret_cast<const uint8_t*>(cd);
        if (!config) {
            if (index == 1) {
                result = false;
                break;
            }
            IOLog("GetConfigurationDescriptor %d failed with status%08X\n", int(index),
                  0xE00002BCu);
            if (result) {
                sm->mNumConfigurations = uint8_t(index - 1);
                m_pDevice->setConfigurationCount(index - 1);
                IOLog("...XMOS bug: continue with %d configurations\n", int(index - 1));
            }
            break;
        }
        uint32_t total = cd->wTotalLength;
        if (total > sizeof sm->mDescriptor) continue;
        IOLog("Copy ConfigDescriptor of size %d\n", int(total));
        std::memcpy(copy, config, total);
        std::memcpy(sm->mDescriptor, copy, total);
        USBByteBuffer buf(copy, total);
        if (!m_pDevice->scanConfigurationDescriptors(buf)) result = false;
    }
    memFree(copy, kCopySize);
    return result;
}

void ZrKernelDeviceKorvexHX5100::stop(IOService* provider) {
    IOLog("enter %s\n", "stop");
    if (mPMInterestRegistered) {
        mPMInterestRegistered = false;
        getPMRootDomain()->deRegisterInterestedDriver(this);
    }
    IOService::stop(provider);
}

bool ZrKernelDeviceKorvexHX5100::terminate(uint32_t options) {
    bool first = false;
    {
        std::lock_guard<std::mutex> g(mIdLock);
        first = !mTerminated;
        mTerminated = true;
    }
    if (first) {
        if (m_pUSBDevice) IOLog("m_pUSBDevice refcount(1) is %d\n", m_pUSBDevice->getRetainCount());
        __atomic_store_n(&m_bTerminateRequested, true, __ATOMIC_SEQ_CST);
        IOLog("ENTER terminate ZrKernelDeviceKorvexHX5100 v3.4.13 options:%08X\n", options);
        {
            CriticalSection cs(mServiceLock, "QnKernelDevice::terminate");
            mDispatchLock.prepareToRelease();
            // A request already inside the dispatch lock finishes before the
            // device goes away.
            while (!mDispatchLock.trylock())
                IOSleep(1);
            mDispatchLock.unlock();

            messageToClients(STC_ServiceTerminates, 0, 0, 0);
            userClientListNotifyTerminate();
            if (m_pDevice) {
                m_pDevice->stopRealtimeThread();
                m_pDevice->stopStreaming(true);
                m_pDevice->releaseForTeardown();
                m_pDevice->detachAllClients();
            }
            unconfigureDevice(false, "terminate");
            if (mInterestNotifier) {
                mInterestNotifier->remove();
                mInterestNotifier = nullptr;
            }
            closeUsbDevice();
            IOLog("..client is now %d", getUserClientCount());
            IOLog("EXIT terminate ZrKernelDeviceKorvexHX5100 v3.4.13\n");
        }
    }
    bool r = IOService::terminate(options);
    IOLog("super::terminate(%08X) returned %d\n", options, r ? 1 : 0);
    return r;
}

void ZrKernelDeviceKorvexHX5100::free() {
    if (mInterestNotifier) {
        mInterestNotifier->remove();
        mInterestNotifier = nullptr;
    }
    closeUsbDevice();
    delete m_pDevice;
    m_pDevice = nullptr;
    if (mCountedAsLive) {
        mCountedAsLive = false;
        if (__atomic_sub_fetch(&gLiveServices, 1, __ATOMIC_SEQ_CST) == 0) ZrDriverUnload();
    }
    IOLog("KERNELDEVICECLASS::free(); (IOLog)\n");
    IOService::free();
}

void ZrKernelDeviceKorvexHX5100::closeUsbDevice() {
    IOUSBHostDevice* dev = __atomic_exchange_n(
        &m_pUSBDevice, static_cast<IOUSBHostDevice*>(nullptr), __ATOMIC_SEQ_CST);
    if (!dev) return;
    if (dev->isOpen(this)) dev->close(this);
    if (dev->getRetainCount() != mUSBDeviceRetainCount)
        IOLog("%s currentRetainCount(%d) != mUSBDeviceRetainCount(%d)\n", "closeUsbDevice",
              dev->getRetainCount(), mUSBDeviceRetainCount);
    dev->release();
}

bool ZrKernelDeviceKorvexHX5100::resetDevice(const char* reason) {
    if (!m_pUSBDevice) return false;
    IOLog("before m_pUSBDevice->ResetDevice(%s)\n", reason ? reason : "");
    IOReturn r = m_pUSBDevice->reset();
    IOLog("m_pUSBDevice->reset() returned %08X\n", unsigned(r));
    return r == 0;
}

IOReturn ZrKernelDeviceKorvexHX5100::GetConfiguration(ZrKernelDeviceKorvexHX5100* service,
                                                      IOUSBHostDevice* usbDevice, uint8_t* value) {
    if (!value) return kIOReturnSuccess;
    *value = 0;
    if (!service || !usbDevice) return kIOReturnError;
    StandardUSB::DeviceRequest r{0x80, 8, 0, 0, 1};
    uint32_t transferred = 0;
    return usbDevice->deviceRequest(service, r, value, transferred, 5000);
}

void ZrKernelDeviceKorvexHX5100::powerOnPic(const APIDeviceInfo& info) {
    if (!m_pDevice->isListed(ZrProductList::PicCommands) || info.mNumConfigurations < 1) return;
    if (m_pUSBDevice->setConfiguration(info.mConfigurations[0].bConfigurationValue, false) !=
        kIOReturnSuccess)
        return;
    m_pDevice->sendSetPicCommand(kPicPowerOn);
    IOSleep(20);
    IOLog("Sent Power On command\n");
    m_pDevice->sendGetPicCommand(kPicPowerOff);
    IOLog("Sent Power Off command\n");
}

uint32_t ZrKernelDeviceKorvexHX5100::GetAllocatedBandWidth() const {
    if (!m_pDevice) return 0;
    uint32_t total = 0;
    if (m_pDevice->pipes()[ZrPipeSlot::OutIsoc])
        total += m_pDevice->pipes()[ZrPipeSlot::OutIsoc]->getBandwidth();
    if (m_pDevice->pipes()[ZrPipeSlot::InIsoc])
        total += m_pDevice->pipes()[ZrPipeSlot::InIsoc]->getBandwidth();
    if (USBMidiDevice* midi = m_pDevice->getUSBMidiDevice()) total += midi->getAllocatedBandWidth();
    return total;
}

IOReturn ZrKernelDeviceKorvexHX5100::setBandwidthForPipe(ZrPipeDescriptor* pipe, uint32_t) {
    IOLog("%s pPipeDesc:%p\n",
          "IOReturn ZrKernelDeviceKorvexHX5100::setBandwidthForPipe(ZrPipeDescriptor *, UInt32)",
          static_cast<void*>(pipe));
    return kIOReturnSuccess;
}

uint64_t ZrKernelDeviceKorvexHX5100::getCurrentFrame() {
    if (!m_pUSBDevice) return 0xFFFFFFFFu;
    uint64_t frame = m_pUSBDevice->getFrameNumber();
    if ((frame == 0 || frame >= 0xFFFFFFFFu) && m_pDevice) m_pDevice->setBadFrameNumber();
    return frame;
}

IOReturn ZrKernelDeviceKorvexHX5100::deviceRequestStd(EDirection dir, EDRQ_Level level,
                                                      EDRQ_Recipient recipient, uint8_t bRequest,
                                                      uint16_t wValue, uint16_t wIndex, void* data,
                                                      uint32_t& length, int retryCount) {
    if (length > 0xFFFF) return kIOReturnBadArgument;
    if (retryCount < 1) retryCount = 1;
    if (retryCount > 5) retryCount = 5;
    IOUSBHostDevice* dev = __atomic_load_n(&m_pUSBDevice, __ATOMIC_SEQ_CST);
    if (!dev) return kIOReturnError;
    dev->retain();
    IOReturn result = kIOReturnError;
    for (int sends = 0; sends <= retryCount && !isTerminateRequested(); ++sends) {
        StandardUSB::DeviceRequest setup{
            uint8_t(unsigned(dir) | unsigned(level) | unsigned(recipient)), bRequest, wValue,
            wIndex, uint16_t(length)};
        if (dir == kDirIn && data) std::memset(data, 0, length);
        uint32_t transferred = 0;
        result = dev->deviceRequest(this, setup, data, transferred, 5000);
        if (result == 0) {
            length = transferred <= length ? transferred : length;
            break;
        }
        IOLog("DeviceRequest returns %08X\n", unsigned(result));
        if (result == kIOReturnDeviceError) break;
    }
    dev->release();
    return result;
}

IOReturn ZrKernelDeviceKorvexHX5100::messageToClients(uint32_t code, uint64_t client, int param1,
                                                      int param2) {
    QN_StateChange r = makeStateChange(code, uint32_t(param1), client, uint32_t(param2));
    return messageClients(kQnStateChangeMessage, &r, sizeof r);
}

namespace {

// Publishes a dictionary of 32-bit numbers under key; every object made for
// it is released again (the registry keeps its own references).
void setNumbersProperty(IOService& service, const char* key, const char* const* keys,
                        const uint32_t* values, int n) {
    OSDictionary* dict = OSDictionary::withCapacity(unsigned(n));
    if (!dict) return;
    for (int i = 0; i < n; ++i) {
        const OSSymbol* k = OSSymbol::withCString(keys[i]);
        OSNumber* v = OSNumber::withNumber(values[i], 32);
        if (k && v) dict->setObject(k, v);
        if (k) k->release();
        if (v) v->release();
    }
    service.setProperty(key, dict);
    dict->release();
}

} // namespace

void ZrKernelDeviceKorvexHX5100::setChannelSettingsProperty() {
    if (!m_pDevice) return;
    static const char* const keys[6] = {"Frequency",   "InChannels",    "InResolution",
                                        "OutChannels", "OutResolution", "Configuration"};
    const QnChannelSettings& s = m_pDevice->getCurrentSettings();
    uint32_t v[6] = {s.Frequency,   s.InChannels,    s.InResolution,
                     s.OutChannels, s.OutResolution, s.Configuration};
    setNumbersProperty(*this, "ChannelSettings", keys, v, 6);
}

void ZrKernelDeviceKorvexHX5100::setAjExtDataProperty() {
    if (!m_pDevice) return;
    static const char* const keys[11] = {
        "DigitalLockFrequency", "ClockSource", "USB1Mode",   "DigitalOutMode",
        "DigitalOutSelector",   "RoutingIn0",  "RoutingIn1", "RoutingIn2",
        "RoutingOut0",          "RoutingOut1", "DigitalLock"};
    const QnAjExtData& a = m_pDevice->getAjExtData();
    uint32_t v[11] = {a.mDigitalLockFrequency, a.mClockSource,   a.mUSB1Mode,     a.mDigitalOutMode,
                      a.mDigitalOutSelector,   a.mRoutingIn[0],  a.mRoutingIn[1], a.mRoutingIn[2],
                      a.mRoutingOut[0],        a.mRoutingOut[1], a.mDigitalLock};
    setNumbersProperty(*this, "AjExtData", keys, v, 11);
}

// The root domain tells interested drivers of a sleep before it happens and
// of the wake after it; the flags say which (no power-on flag: going down).
IOReturn ZrKernelDeviceKorvexHX5100::newUserClient(task_t owningTask, void* securityID, UInt32 type,
                                                   IOUserClient** handler) {
    return newUserClient(owningTask, securityID, type, nullptr, handler);
}

IOReturn ZrKernelDeviceKorvexHX5100::newUserClient(task_t owningTask, void* securityID, UInt32 type,
                                                   OSDictionary*, IOUserClient** handler) {
    if (handler) *handler = nullptr;
    if (isTerminateRequested()) {
        IOLog("ZrKernelDeviceKorvexHX5100::%s abort - service is terminated\n", "newUserClient");
        return kIOReturnNoDevice;
    }
    if (type == 0 || type == 1 || type == 3) {
        if (m_pDevice && m_pDevice->getFwUpdaterState() == kFwUpdaterActive) {
            IOLog("USBDriver: abort user client(type:%d) - FirmwareUpdater is active\n", int(type));
            return kIOReturnBadArgument;
        }
        IOSleep(type == 3 ? 1000 : 100);
    }
    CriticalSection cs(mServiceLock, "KERNELDEVICECLASS::newUserClient 5-param\n");
    if (!m_pDevice) {
        IOLog("ZrKernelDeviceKorvexHX5100::%s abort - m_pcDevice is NULL\n", "newUserClient");
        return kIOReturnNoDevice;
    }
    if (!handler) {
        IOLog("USBDriver: returning  kIOReturnBadArgument\n");
        return kIOReturnBadArgument;
    }
    uint32_t state = m_pDevice->getFwUpdaterState();
    IOUserClient* client = nullptr;
    switch (type) {
    case 0:
    case 1:
    case 3:
        if (state != kFwUpdaterNotActive) {
            if (type == 0)
                IOLog("USBDriver: abort Audio - FirmwareUpdater is active or state unknown :%d\n",
                      int(state));
            else if (type == 1)
                IOLog("USBDriver: abort Midi - FirmwareUpdater is active or state unknown :%d\n",
                      int(state));
            break;
        }
        client = createUserClient(type);
        break;
    case 2:
        client = createUserClient(type);
        break;
    case 4:
        IOLog("received OSX_USER_CLIENT_NO_FW_UPDATER_MSG\n");
        if (state == kFwUpdaterUnknown) {
            IOLog("change status from unknown to NotActive\n");
            m_pDevice->setFwUpdaterState(kFwUpdaterNotActive);
        }
        return kIOReturnBadArgument;
    case 5:
        IOLog("created OSX_USER_CLIENT_FIRWMWARE_UPDATER\n");
        client = createUserClient(type);
        m_pDevice->initFirmwareUpdateMode();
        break;
    default:
        IOLog("USBDriver: newUserClient Invalid type %d \n", int(type));
        break;
    }
    if (!client) {
        IOLog("USBDriver: *Handler is NULL returning  kIOReturnBadArgument\n");
        return kIOReturnBadArgument;
    }
    if (!client->initWithTask(owningTask, securityID, type)) {
        IOLog("USBDriver: Could not init handler %p \n", static_cast<void*>(client));
        client->release();
        IOLog("USBDriver: *Handler is NULL returning  kIOReturnBadArgument\n");
        return kIOReturnBadArgument;
    }
    *handler = client;
    userClientListNewClient(client);
    client->start(this);
    return 0;
}

uint64_t ZrKernelDeviceKorvexHX5100::clientIdentifier(const IOUserClient* client) const {
    std::lock_guard<std::mutex> g(mIdLock);
    auto it = mIdsByClient.find(client);
    return it == mIdsByClient.end() ? 0 : it->second;
}

IOUserClient* ZrKernelDeviceKorvexHX5100::clientFromIdentifier(uint64_t id) const {
    std::lock_guard<std::mutex> g(mIdLock);
    auto it = mClientsById.find(id);
    return it == mClientsById.end() ? nullptr : it->second;
}

void ZrKernelDeviceKorvexHX5100::userClientListNewClient(IOUserClient* client) {
    IOLog("%s(%p) %p\n", "userClientListNewClient", static_cast<void*>(this),
          static_cast<void*>(client));
    {
        // Identifiers are a counter mixed with the service's address bits so
        // they differ between devices and never repeat within one.
        std::lock_guard<std::mutex> g(mIdLock);
        uint64_t id = (uint64_t(reinterpret_cast<uintptr_t>(this)) << 16) ^ ++mNextClientId;
        if (id == 0) id = ++mNextClientId;
        mClientsById[id] = client;
        mIdsByClient[client] = id;
    }
    int32_t n = __atomic_add_fetch(&mUserClientCount, 1, __ATOMIC_SEQ_CST);
    IOLog("%d clients attached\n", int(n));
    for (int i = 0; i < kUserClientSlots; ++i) {
        IOUserClient* expected = nullptr;
        if (__atomic_compare_exchange_n(&mUserClientList[i], &expected, client, false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            IOLog("%s found slot at %d\n", "userClientListNewClient", i);
            return;
        }
    }
    IOLog("%s no free slot\n", "userClientListNewClient");
}

void ZrKernelDeviceKorvexHX5100::userClientListClientClosed(IOUserClient* client) {
    IOLog("%s(%p) %p\n", "userClientListClientClosed", static_cast<void*>(this),
          static_cast<void*>(client));
    uint64_t id = clientIdentifier(client);
    {
        std::lock_guard<std::mutex> g(mIdLock);
        mClientsById.erase(id);
        mIdsByClient.erase(client);
    }
    int32_t n = __atomic_sub_fetch(&mUserClientCount, 1, __ATOMIC_SEQ_CST);
    IOLog("%d clients attached\n", int(n));
    for (int i = 0; i < kUserClientSlots; ++i) {
        IOUserClient* expected = client;
        if (__atomic_compare_exchange_n(&mUserClientList[i], &expected,
                                        static_cast<IOUserClient*>(nullptr), false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            IOLog("%s found client in slot %d\n", "userClientListClientClosed", i);
            return;
        }
    }
    IOLog("%s client %p not in list\n", "userClientListClientClosed", static_cast<void*>(client));
}

void ZrKernelDeviceKorvexHX5100::userClientListNotifyTerminate() {
    IOLog("%s(%p)\n", "userClientListNotifyTerminate", static_cast<void*>(this));
    for (int i = 0; i < kUserClientSlots; ++i) {
        IOUserClient* c = __atomic_load_n(&mUserClientList[i], __ATOMIC_SEQ_CST);
        IOUserClient* expected = c;
        if (__atomic_compare_exchange_n(&mUserClientList[i], &expected,
                                        static_cast<IOUserClient*>(nullptr), false,
                                        __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST) &&
            c) {
            IOLog("%s notify terminate service %p in slot %d\n", "userClientListNotifyTerminate",
                  static_cast<void*>(c), i);
            terminateClient(c, 0);
        }
    }
}
