// The driver's personalities: one per matched row of the product table, in
// table order.
#include "driver/engine/ZrProductTable.h"
#include "platform/kern/IOService.h"

OSDictionary* ZrMakeDriverPersonality(uint16_t vendor, uint16_t product, OSDictionary* qnSpecific) {
    OSDictionary* p = OSDictionary::withCapacity(5);
    OSString* cls = OSString::withCString(kZrServiceClassName);
    OSString* provider = OSString::withCString("IOUSBHostDevice");
    OSNumber* vid = OSNumber::withNumber(vendor, 16);
    OSNumber* pid = OSNumber::withNumber(product, 16);
    OSDictionary* specific = qnSpecific ? qnSpecific : OSDictionary::withCapacity(1);
    p->setObject("IOClass", cls);
    p->setObject("IOProviderClass", provider);
    p->setObject("idVendor", vid);
    p->setObject("idProduct", pid);
    p->setObject("QnSpecific", specific);
    cls->release();
    provider->release();
    vid->release();
    pid->release();
    if (!qnSpecific) specific->release();
    return p;
}

void ZrLoadDriverPersonalities() {
    for (const ZrProductRow& row : ZrProductRows()) {
        if (!row.matched) continue;
        OSDictionary* p = ZrMakeDriverPersonality(row.vendor, row.product, nullptr);
        hx::kern::addPersonality(p);
        p->release();
    }
}

void ZrUnloadDriverPersonalities() {
    hx::kern::removePersonalities(kZrServiceClassName);
}
