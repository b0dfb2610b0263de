// The kernel device's MIDI services: the USB-MIDI object's pipes and block
// cancel, and the MIDI interface published for class drivers.
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/desc/ZrDeviceConfigurations.h"
#include "platform/kern/IOLib.h"

bool ZrKernelDeviceKorvexHX5100::usbMidiInitPipe(ZrPipeDescriptor* pipe, const char* name) {
    return m_pDevice && m_pDevice->getBindings().initPipe(pipe, name);
}

IOUSBHostPipe* ZrKernelDeviceKorvexHX5100::usbMidiGetPipe(ZrPipeDescriptor* pipe) const {
    return m_pDevice ? m_pDevice->getBindings().getPipe(pipe) : nullptr;
}

void ZrKernelDeviceKorvexHX5100::usbMidiClosePipe(ZrPipeDescriptor* pipe) {
    if (m_pDevice) m_pDevice->getBindings().closePipe(pipe);
}

void ZrKernelDeviceKorvexHX5100::cancelMidiRB(MidiRB* rb) {
    if (!rb) return;
    rb->setBusy(1);
    IOSleep(50);
    if (rb->isUsed()) rb->setBusy(0);
}

void ZrKernelDeviceKorvexHX5100::registerMidiInterface() {
    static const char* kFn = "void ZrKernelDeviceKorvexHX5100::registerMidiInterface()";
    if (!m_pUSBDevice || !m_pDevice) return;
    if (m_pDevice->isMerrowCompatible() && (m_pDevice->isMerrowCompatibleWithRawMidi() ||
                                            m_pDevice->isMerrowCompatibleWithRegularMidi())) {
        IOLog("%s ..not for merrow compatible\n", kFn);
        return;
    }
    ZrInterfaceDescriptor* midi = m_pDevice->getConfigurations().m_pcMidiInterface;
    IOUSBHostInterface* intf = midi ? m_pDevice->getBindings().getInterface(midi) : nullptr;
    if (!intf) return;
    IOLog("%s register interface\n", kFn);
    m_pUSBDevice->retain();
    intf->registerService(2);
    m_pUSBDevice->release();
}
