// The service's side of a configuration: selecting the USB configuration,
// binding the chosen interfaces, choosing and opening the pipes, choosing
// the converters, and undoing all of it.
#include <cstdio>
#include "driver/engine/ZrDeviceRequests.h"
#include <cstring>

#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/engine/config/ZrFrequencyRequests.h"
#include "driver/engine/config/ZrTranscoderChoice.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "driver/engine/desc/ZrInterfaceDescriptor.h"
#include "driver/engine/desc/ZrPipeDescriptor.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOLib.h"

namespace {

const char* const kMatchSig =
    "bool ZrKernelDeviceKorvexHX5100::matchInterface(ZrInterfaceDescriptor *&, bool)";

} // namespace

IOReturn ZrKernelDeviceKorvexHX5100::reqConfigureDevice(const char* reason) {
    IOLog("%s %s", "IOReturn ZrKernelDeviceKorvexHX5100::reqConfigureDevice(const char *)",
          reason ? reason : "");
    if (!m_pDevice) {
        IOLog("abort configure - m_pDevice is NULL\n");
        return kIOReturnError;
    }
    if (m_pDevice->getFwUpdaterState() != kFwUpdaterNotActive) {
        IOLog("abort configure - Firmware Update Mode active or unknown %d\n",
              int(m_pDevice->getFwUpdaterState()));
        return kIOReturnError;
    }
    if (isTerminateRequested()) return kIOReturnError;
    DriverSM* sm = m_pDevice->getDriverSM();
    if (!sm) return kIOReturnNoMemory;
    // User space writes the shared settings: a rate no device runs is
    // refused before anything of the current configuration is undone.
    if (!ZrRateInRange(audiosm::load32(AUDIOSM_CAT(sm, DriverSM, mChannelSettings.Frequency)))) {
        IOLog("abort configure - rate %u out of range\n", unsigned(sm->mChannelSettings.Frequency));
        return kIOReturnBadArgument;
    }
    unconfigureDevice(false, reason);
    const QnChannelSettings& s = sm->mChannelSettings;
    IOLog("enter reqConfigureDevice aft. unconf iInRes=%d, iOutRes=%d, iInCh=%d, iOutCh=%d\n",
          int(s.InResolution), int(s.OutResolution), int(s.InChannels), int(s.OutChannels));
    IOReturn r = configureDevice();
    if (r != kIOReturnSuccess) {
        IOLog("configureDevice failed; error=0x%X\n", unsigned(r));
        return r;
    }
    // The microcontroller's power-on command (only the PIC device takes
    // it), then a pause every device gets.
    m_pDevice->sendSetPicCommand(kPicPowerOn);
    IOSleep(10);
    if (isTerminateRequested()) {
        // Terminate's own unconfigure ran while this one was not finished:
        // what this configuration opened is closed here.
        sm->mConfigured = 1;
        unconfigureDevice(false, "terminate");
        return kIOReturnError;
    }
    sm->mConfigured = 1;
    IOLog("configured fr:%d in:%d/%d out %d/%d\n", int(s.Frequency), int(s.InChannels),
          int(s.InResolution), int(s.OutChannels), int(s.OutResolution));
    return kIOReturnSuccess;
}

bool ZrKernelDeviceKorvexHX5100::openConfiguredPipe(ZrPipeDescriptor* pipe, const char* name) {
    if (!pipe) return true;
    if (m_pDevice->getBindings().initPipe(pipe, name)) return true;
    IOLog("isInitSuccess is false after m_pDevice->%s->initPipe();\n", name);
    return false;
}

IOReturn ZrKernelDeviceKorvexHX5100::failConfigure(IOReturn code) {
    mConfigureStatus = code;
    return code;
}

IOReturn ZrKernelDeviceKorvexHX5100::configureDevice() {
    if (!m_pUSBDevice || !m_pDevice) return failConfigure(kIOReturnNoDevice);
    ZrDevice& dev = *m_pDevice;
    if (dev.getFwUpdaterState() != kFwUpdaterNotActive) {
        IOLog("abort configureDevice - firmware update status active or unknown %d\n",
              int(dev.getFwUpdaterState()));
        return failConfigure(kIOReturnError);
    }
    DriverSM* sm = dev.getDriverSM();
    if (!sm) return failConfigure(kIOReturnNoMemory);
    QnChannelSettings& settings = sm->mChannelSettings;

    readFarlane2ChannelConfig(settings);
    const IOReturn selected = selectConfiguration(settings);
    if (selected != kIOReturnSuccess) return failConfigure(selected);
    // A failed step does not stop the ones after it: every pipe that can
    // open opens, and the unconfigure below closes whatever did.
    bool ok = bindInterfaces() == kIOReturnSuccess;
    choosePipes();
    const IOReturn pipes = openPipes();
    if (pipes != kIOReturnSuccess) ok = false;
    if (!dev.pipes().hasDataPipe()) {
        IOLog("NEITHER IN NOR OUT PIPE WAS CONFIGURED\n");
        ok = false;
    }
    if (!ok) IOLog("isInitSuccess is false after PipeAvailability check\n");

    if (ZrConfigControls* controls = dev.getConfigControls()) controls->readLX4XXChannelConfig();
    if (!mInterestNotifier)
        mInterestNotifier = m_pUSBDevice->registerInterest(gIOGeneralInterest,
                                                           &CompositeDriverInterestHandler, this);
    if (chooseConverters(settings, ok) != kIOReturnSuccess) ok = false;

    IOReturn result = kIOReturnSuccess;
    if (ok) {
        mConfigureStatus = kIOReturnSuccess;
        registerMidiInterface();
        dev.stcNotify(STC_ConfigurationDone, 0);
    } else {
        sm->mConfigured = 1;
        unconfigureDevice(true, "!bInitSuccess in configureDevice");
        // A bandwidth refusal is the failure reported; kIOReturnError from
        // the pipes means only that one did not open.
        if (pipes != kIOReturnSuccess && pipes != kIOReturnError)
            result = pipes;
        else if (mConfigureStatus != kIOReturnSuccess)
            result = mConfigureStatus;
        else
            result = kIOReturnError;
        mConfigureStatus = result;
    }
    IOLog("Exit configureDeviceWith status 0x%08x\n", unsigned(result));
    return result;
}

void ZrKernelDeviceKorvexHX5100::readFarlane2ChannelConfig(QnChannelSettings& settings) {
    const ZrDeviceTraits& traits = m_pDevice->getConfigurations().getIds().traits();
    if (traits.isFarlane2()) {
        uint8_t conf[2] = {255, 255}, alt[2] = {255, 255};
        for (int i = 0; i < 2; ++i) {
            uint32_t n = 1;
            deviceRequestStd(kDirIn, kLevelVendor, kRecipientInterface, kReqFarlane2ChannelConfig,
                             0, uint16_t(i + 1), &conf[i], n, 5);
            if (conf[i] < 255) {
                n = 1;
                deviceRequestStd(kDirIn, kLevelVendor, kRecipientInterface,
                                 kReqFarlane2ChannelAlternate, 0, uint16_t(i + 1), &alt[i], n, 5);
            }
        }
        IOLog("Flb2 curChanConfig_In:%d curChanConfig_Out:%d curChanConfigAlt_In:%d "
              "curChanConfigAlt_Out:%d\n",
              int(conf[0]), int(conf[1]), int(alt[0]), int(alt[1]));
        uint32_t i = 4, o = 4;
        traits.channelPair(i, o);
        settings.InChannels = i;
        settings.OutChannels = o;
    }
}

IOReturn ZrKernelDeviceKorvexHX5100::selectConfiguration(QnChannelSettings& settings) {
    ZrDevice& dev = *m_pDevice;
    ZrDeviceConfigurations& configs = dev.getConfigurations();
    IOLog(" before m_pDevice->findInterfacesInConfig fr:%d ic:%d oc:%d ir:%d or:%d",
          int(settings.Frequency), int(settings.InChannels), int(settings.OutChannels),
          int(settings.InResolution), int(settings.OutResolution));
    // The choice writes the setting it found: work on a private copy and
    // publish the result, so user space cannot change it halfway.
    QnChannelSettings chosen = settings;
    if (!configs.findInterfacesInConfig(chosen) ||
        (!configs.mpInInterface && !configs.mpOutInterface))
        return kIOReturnError;
    settings = chosen;
    ZrConfigurationDescriptor* configuration = configs.m_pcConfiguration;
    if (!configuration) return kIOReturnError;
    // The vendor port looks for its own interface in the chosen configuration.
    dev.getVendorAsyncPort().onFindInterfaces(dev.vendorAsyncDevice(), configuration);
    const uint8_t wanted = configuration->getConfigurationValue();

    uint8_t current = 99;
    if (!dev.isMerrowCompatible()) GetConfiguration(this, m_pUSBDevice, &current);
    IOReturn configError = kIOReturnSuccess;
    if (current != wanted || dev.isMRW192Compatible()) {
        configError = m_pUSBDevice->setConfiguration(wanted, true);
        for (int round = 1; configError != kIOReturnSuccess && round <= 5; ++round) {
            IOLog("USB: SetConfiguration failed with code:%08X - try reset %d\n",
                  unsigned(configError), round);
            if (!resetDevice("USB: SetConfiguration failed")) {
                IOLog("ResetDevice failed with error 0x%08X\n", unsigned(kIOReturnError));
                return configError;
            }
            configError = m_pUSBDevice->setConfiguration(wanted, false);
            IOLog("SetConfiguration %d returned status 0x%08X\n", int(wanted),
                  unsigned(configError));
        }
    }
    dev.startupHalVardTrunk2();
    return configError;
}

void ZrKernelDeviceKorvexHX5100::selectTrunk2Alternates() {
    ZrDevice& dev = *m_pDevice;
    IOLog("%s select alternates for trunk2\n",
          "IOReturn ZrKernelDeviceKorvexHX5100::configureDevice()");
    ZrDevice::Trunk2Interfaces& t2 = dev.getTrunk2Interfaces();
    for (int n = 1; n <= 5; ++n)
        t2.add(QnFindInterface(m_pUSBDevice, n), this);
    static const int kSteps[][2] = {{1, 0}, {2, 0}, {2, 2}, {3, 0}, {4, 0},
                                    {4, 2}, {2, 0}, {3, 0}, {5, 0}, {4, 0}};
    for (const auto& step : kSteps) {
        t2.setIfAlt(step[0], step[1]);
        IOSleep(2);
    }
    IOSleep(2);
    t2.close(2);
    IOSleep(2);
    t2.close(4);
    IOSleep(300);
}

IOReturn ZrKernelDeviceKorvexHX5100::bindInterfaces() {
    ZrDevice& dev = *m_pDevice;
    ZrDeviceConfigurations& configs = dev.getConfigurations();
    const ZrDeviceTraits& traits = configs.getIds().traits();
    if (dev.isTrunk2Product()) selectTrunk2Alternates();

    if (dev.isListed(ZrProductList::SetInterfaceBeforeBind)) {
        uint32_t length = 0;
        deviceRequestStd(kDirOut, kLevelStandard, kRecipientDevice, kUsbSetInterface, 0, 2, nullptr,
                         length, 3);
    }
    const bool waits = dev.isListed(ZrProductList::ConfigureWaits);

    bool ok = true;
    if (!matchInterface(configs.m_pcControlInterface, true)) {
        IOLog(
            "isInitSuccess is false after matchInterface(m_pDevice->m_pcControlInterface,true)\n");
        ok = false;
    }
    if (!matchInterface(configs.mpOutInterface, true)) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->mpOutInterface,true);\n");
        ok = false;
    }
    if (waits) IOSleep(50);
    if (dev.isTrunk2Product()) {
        dev.getTrunk2Interfaces().setIfAlt(3, 0);
        IOSleep(2);
        dev.getTrunk2Interfaces().setIfAlt(5, 3);
        IOSleep(2);
    }
    if (configs.mpInInterface)
        IOLog("mpInInterface num:%d alt:%d\n", int(configs.mpInInterface->getInterfaceNumber()),
              int(configs.mpInInterface->getAlternateNumber()));
    if (!matchInterface(configs.mpInInterface, true)) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->mpInInterface,true);\n");
        ok = false;
    }
    if (waits) IOSleep(50);
    if (!matchInterface(configs.m_pcHIDInterface, false)) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->m_pcHIDInterface,false);\n");
        ok = false;
    }
    const bool openMidi =
        (dev.isMerrowCompatible() && dev.isMerrowCompatibleWithRegularMidi()) || traits.isSorvik();
    if (!matchInterface(configs.m_pcMidiInterface, openMidi) && !openMidi) {
        IOLog("isInitSuccess is false after matchInterface(m_pDevice->m_pcMidiInterface,false);\n");
        ok = false;
    }
    if (!dev.getVendorAsyncPort().onConfigureDone(dev.vendorAsyncDevice())) {
        IOLog("isInitSuccess is false after m_pDevice->mVendorAsyncPort.onConfigureDone;\n");
        ok = false;
    }
    IOLog("Configure status is (after matchInterface) %d\n", ok ? 1 : 0);
    return ok ? kIOReturnSuccess : kIOReturnError;
}

void ZrKernelDeviceKorvexHX5100::choosePipes() {
    ZrDevice& dev = *m_pDevice;
    ZrDeviceConfigurations& configs = dev.getConfigurations();
    const ZrDeviceTraits& traits = configs.getIds().traits();
    ZrInterfaceDescriptor* in = configs.mpInInterface;
    ZrInterfaceDescriptor* out = configs.mpOutInterface;
    ZrPipeSet pipes = dev.pipes();
    pipes.set(ZrPipeSlot::OutIsoc, out ? out->getIsocOutPipe() : nullptr);
    if (out)
        IOLog("Set m_pcOutPipeIsoc for interface %p (%d-%d)\n", static_cast<void*>(out),
              int(out->getInterfaceNumber()), int(out->getAlternateNumber()));
    pipes.set(ZrPipeSlot::InIsoc, in ? in->getIsocInPipe() : nullptr);
    if (in)
        IOLog("Set m_pcInPipeIsoc for interface %p (%d-%d)\n", static_cast<void*>(in),
              int(in->getInterfaceNumber()), int(in->getAlternateNumber()));
    if (dev.isQuarnelBulkDevice()) {
        pipes.set(ZrPipeSlot::BulkIn, in ? in->getBulkInPipe() : nullptr);
        if (!pipes[ZrPipeSlot::BulkIn] && in) {
            pipes.set(ZrPipeSlot::BulkIn, in->getInterruptInPipe());
            IOLog("Use interrupt transfers\n");
            dev.mUseInterruptTransfers = true;
        }
        ZrPipeDescriptor* bulkOut = out ? out->getPipeByAddress(5) : nullptr;
        if ((!bulkOut || bulkOut->getTransferType() == 4) && out)
            bulkOut = out->getInterruptOutPipe();
        pipes.set(ZrPipeSlot::BulkOut, bulkOut);
        pipes.set(ZrPipeSlot::InIsoc, nullptr);
        pipes.set(ZrPipeSlot::OutIsoc, nullptr);
        pipes.set(ZrPipeSlot::OutIsocKeepAlive, nullptr);
        for (int i = 0; out && i < out->getCountPipes(); ++i) {
            ZrPipeDescriptor* p = out->getPipeByIndex(i);
            if (p && !p->isIn() && p->getTransferType() == ZrPipeDescriptor::kIsochronous &&
                p->getEndpointNumber() >= 1 && p->getEndpointNumber() <= 4) {
                pipes.set(ZrPipeSlot::OutIsocKeepAlive, p);
                break;
            }
        }
        IOLog("m_pDevice->m_pcOutPipeIsocKeepAlive is:%p\n",
              static_cast<void*>(pipes[ZrPipeSlot::OutIsocKeepAlive]));
    }
    if (dev.isMRW30Compatible()) {
        pipes.set(ZrPipeSlot::InterruptIn, in ? in->getInterruptInPipe() : nullptr);
        pipes.set(ZrPipeSlot::InterruptOut, out ? out->getInterruptOutPipe() : nullptr);
        pipes.set(ZrPipeSlot::BulkIn, nullptr);
        pipes.set(ZrPipeSlot::BulkOut, nullptr);
        IOLog("Use interrupt transfers\n");
        dev.mUseInterruptTransfers = true;
    }
    if (traits.isFarlane2()) {
        pipes.set(ZrPipeSlot::InterruptIn, in ? in->getInterruptInPipe() : nullptr);
        pipes.set(ZrPipeSlot::InterruptOut, out ? out->getInterruptOutPipe() : nullptr);
        IOLog("Farlane2 use interrupt transfers for input %d\n",
              pipes[ZrPipeSlot::InterruptIn] ? 1 : 0);
        IOLog("Farlane2 use interrupt transfers for output %d\n",
              pipes[ZrPipeSlot::InterruptOut] ? 1 : 0);
        dev.mUseInterruptTransfers = true;
    }
    if (dev.traits().isocBothWays()) {
        IOLog("KSV0 with isoc in isoc out\n");
        pipes.set(ZrPipeSlot::BulkIn, nullptr);
        pipes.set(ZrPipeSlot::InFeedback, nullptr);
    } else if (dev.isQuarnelBulkInIsocOutDevice() && !isTerminateRequested() && in) {
        pipes.set(ZrPipeSlot::InIsoc, nullptr);
        pipes.set(ZrPipeSlot::InFeedback, in->getIsocInPipe());
        IOLog("got isoc in pipe %p from interface %p num:%d alt:%d",
              static_cast<void*>(pipes[ZrPipeSlot::InFeedback]), static_cast<void*>(in),
              int(in->getInterfaceNumber()), int(in->getAlternateNumber()));
        pipes.set(ZrPipeSlot::BulkIn, in->getBulkInPipe());
        if (!pipes[ZrPipeSlot::BulkIn]) {
            pipes.set(ZrPipeSlot::BulkIn, in->getInterruptInPipe());
            IOLog("Use interrupt transfers\n");
            dev.mUseInterruptTransfers = true;
        }
    }
    dev.adoptPipes(pipes);
}

IOReturn ZrKernelDeviceKorvexHX5100::openPipes() {
    ZrDevice& dev = *m_pDevice;
    ZrDeviceConfigurations& configs = dev.getConfigurations();
    const bool waits = dev.isListed(ZrProductList::ConfigureWaits);
    bool ok = true;
    IOReturn bandwidthError = kIOReturnSuccess;
    for (const ZrPipeSlotInfo& slot : kZrPipeSlots) {
        if (!slot.openedWithConfiguration) continue;
        ZrPipeDescriptor* pipe = dev.pipes()[slot.slot];
        if (slot.pauseBefore && waits) IOSleep(50);
        if (slot.announced && pipe) IOLog("init %s\n", slot.name);
        if (!openConfiguredPipe(pipe, slot.name)) {
            ok = false;
        } else if (slot.checksBandwidth && pipe && bandwidthError == kIOReturnSuccess) {
            const IOReturn r = dev.checkBandwidthForPipe(pipe, 0);
            if (r != kIOReturnSuccess) {
                IOLog("checkBandwidthForPipe returns 0x%X\n", unsigned(r));
                mConfigureStatus = r;
                bandwidthError = r;
                ok = false;
            }
        }
    }
    if (waits) IOSleep(50);

    // USB-MIDI and the MIDI and control port open their pipes.
    if (dev.hasSpecificFeatures() && dev.isMerrowCompatibleWithRawMidi() && dev.getUSBMidiDevice())
        dev.getUSBMidiDevice()->initPipes();
    dev.getAJ().assignPipes(configs.m_pcMidiInterface);
    if (!dev.getAJ().initPipes()) IOLog("AJ::initPipes failed\n");
    if (bandwidthError != kIOReturnSuccess) return bandwidthError;
    return ok ? kIOReturnSuccess : kIOReturnError;
}

IOReturn ZrKernelDeviceKorvexHX5100::chooseConverters(const QnChannelSettings& settings,
                                                      bool pipesReady) {
    ZrDevice& dev = *m_pDevice;
    ZrConverters converters;
    if (pipesReady) converters = ZrChooseConverters(dev.getConfigTraits(), settings);
    if (DriverData* dd = dev.getDriverData()) dd->setConverters(converters.output, settings);
    if (!pipesReady) return kIOReturnError;
    // The transport refuses alternates it cannot stream.
    if (!dev.configurationDone(0, converters.input)) {
        IOLog("configurationDone failed\n");
        return kIOReturnError;
    }
    return kIOReturnSuccess;
}

void ZrKernelDeviceKorvexHX5100::unconfigureDevice(bool allowReset, const char* reason) {
    IOLog("%s\n", "void ZrKernelDeviceKorvexHX5100::unconfigureDevice(bool, const char *)");
    if (!m_pDevice) return;
    ZrDevice& dev = *m_pDevice;
    if (dev.isStreamingStarted()) {
        dev.stopStreaming(true);
        IOSleep(100);
    }
    DriverSM* sm = dev.getDriverSM();
    if (!sm || !sm->mConfigured) return;
    sm->mConfigured = 0;
    ZrDeviceConfigurations& configs = dev.getConfigurations();
    ZrUsbBindings& b = dev.getBindings();
    const ZrDeviceTraits& traits = configs.getIds().traits();
    if (configs.m_pcMidiInterface && b.isBound(configs.m_pcMidiInterface))
        allowReset = allowReset && dev.isMerrowCompatible();

    // The bulk and interrupt transports let go of their pipes (once no
    // record is in use) before the pipes close: their stop aborts them.
    dev.getBulkStreaming().stop(true);
    dev.getBulkStreaming().release();
    dev.getAJ().closePipes();
    dev.releaseIsocPipes();
    if (dev.isMRW30Compatible()) configs.m_pcControlInterface = nullptr;
    for (const ZrPipeSlotInfo& slot : kZrPipeSlots) {
        // Only the MRW30 closes its interrupt pipes here; on the others they
        // close with their interfaces below.
        const bool interrupt =
            slot.slot == ZrPipeSlot::InterruptIn || slot.slot == ZrPipeSlot::InterruptOut;
        if (interrupt && !dev.isMRW30Compatible()) continue;
        b.closePipe(dev.pipes()[slot.slot]);
    }
    if (dev.hasSpecificFeatures() && dev.isMerrowCompatibleWithRawMidi() && dev.getUSBMidiDevice())
        dev.getUSBMidiDevice()->closePipes();

    if (dev.isMerrowCompatible() && dev.isMerrowCompatibleWithRegularMidi())
        b.closeInterface(configs.m_pcMidiInterface, true);
    else if (traits.isSorvik())
        b.closeInterface(configs.m_pcMidiInterface, false);
    dev.getVendorAsyncPort().onUnconfigure();
    b.closeInterface(configs.m_pcControlInterface, true);
    b.closeInterface(configs.mpInInterface, true);
    b.closeInterface(configs.mpOutInterface, true);
    b.closeInterface(configs.m_pcHIDInterface, true);
    dev.getTrunk2Interfaces().closeAll();
    // Whatever else a failed configuration bound goes too.
    b.closeAll();

    dev.onUnconfigure();

    // Some devices do not come back from a re-enumeration (one only from a
    // firmware on); one needs it every time.
    const bool never = dev.traits().neverReEnumerated(dev.getFirmwareVersion());
    if ((allowReset && !never) || dev.isListed(ZrProductList::AlwaysReEnumerated))
        resetDevice(reason);
}

bool ZrKernelDeviceKorvexHX5100::matchInterface(ZrInterfaceDescriptor*& desc, bool open) {
    if (!m_pUSBDevice || !m_pDevice) {
        IOLog("%s no usb device\n", kMatchSig);
        return false;
    }
    if (!desc) {
        IOLog("%s no interface\n", kMatchSig);
        return true;
    }
    ZrUsbBindings& bindings = m_pDevice->getBindings();
    if (bindings.isBound(desc)) {
        IOLog("%s interface already open (no error)\n", kMatchSig);
        return true;
    }
    const ZrDeviceTraits& traits = m_pDevice->getConfigurations().getIds().traits();
    const int number = desc->getInterfaceNumber();
    QnInterfaceRequest request{desc->getInterfaceClass(), desc->getInterfaceSubClass(),
                               desc->getInterfaceProtocol(), 0};
    // The class corrections of the descriptor model show these interfaces
    // as audio class ones; the device itself still reports them as vendor
    // specific.
    if (m_pDevice->isMRW30Compatible()) {
        request.mSubClass = number == 0 ? 1 : number == 3 ? 3 : 0;
        request.mClass = number == 3 ? 1 : 255;
        request.mProtocol = 0;
    } else if (m_pDevice->isListed(ZrProductList::KorvexInterfaces)) {
        request.mClass = 255;
    } else if (m_pDevice->isMerrowCompatible() && !m_pDevice->isMRW192Compatible()) {
        request = {255, 0, 0, 0};
    } else if (traits.isFarlane2() ||
               (traits.isFarlane1() && number != 3 && desc->getInterfaceSubClass() != 1)) {
        request = {255, 0, 0, 0};
    }
    IOUSBHostInterface* found = nullptr;
    for (int pass = 0; pass < 2 && !found; ++pass) {
        if (pass == 1) {
            if (desc->getAlternateNumber() == 0) break;
            request.mAlternate = desc->getAlternateNumber();
        }
        IOUSBHostInterface* i = nullptr;
        while ((i = QnFindNextInterface(m_pUSBDevice, i, &request))) {
            const StandardUSB::InterfaceDescriptor* d = i->getInterfaceDescriptor();
            if (d && d->bInterfaceNumber == number) {
                found = i;
                break;
            }
        }
    }
    if (!found || !bindings.setInterface(desc, this, found, open)) {
        desc = nullptr;
        return false;
    }
    return true;
}

IOReturn ZrKernelDeviceKorvexHX5100::CompositeDriverInterestHandler(void* target, void*,
                                                                    UInt32 messageType, IOService*,
                                                                    void*, vm_size_t) {
    if (!target) return kIOReturnError;
    switch (messageType) {
    case 0xE0000010:
    case 0xE0000101:
    case 0xE0000110:
        break;
    default:
        IOLog("%s message unknown: %08X\n",
              "static IOReturn ZrKernelDeviceKorvexHX5100::CompositeDriverInterestHandler(void *, "
              "void *, UInt32, "
              "IOService *, void *, vm_size_t)",
              unsigned(messageType));
        break;
    }
    return kIOReturnSuccess;
}
