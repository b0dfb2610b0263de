#include "platform/usb/StandardUSB.h"

namespace StandardUSB {

const Descriptor* getNextDescriptor(const ConfigurationDescriptor* config,
                                    const Descriptor* current) {
    if (!config || config->wTotalLength < sizeof(ConfigurationDescriptor)) return nullptr;
    const uint8_t* begin = reinterpret_cast<const uint8_t*>(config);
    const uint8_t* end = begin + config->wTotalLength;
    const uint8_t* p = current ? reinterpret_cast<const uint8_t*>(current) : begin;
    if (p < begin || p + 2 > end) return nullptr;
    const uint8_t length = current ? current->bLength : config->bLength;
    if (length < 2) return nullptr;
    p += length;
    if (p + 2 > end) return nullptr;
    const auto* next = reinterpret_cast<const Descriptor*>(p);
    if (next->bLength < 2 || p + next->bLength > end) return nullptr;
    return next;
}

const Descriptor* getNextDescriptorWithType(const ConfigurationDescriptor* config,
                                            const Descriptor* current, uint8_t type) {
    for (const Descriptor* d = getNextDescriptor(config, current); d;
         d = getNextDescriptor(config, d))
        if (d->bDescriptorType == type) return d;
    return nullptr;
}

const InterfaceDescriptor* getNextInterfaceDescriptor(const ConfigurationDescriptor* config,
                                                      const Descriptor* current) {
    const Descriptor* d = getNextDescriptorWithType(config, current, kDescriptorTypeInterface);
    return d && d->bLength >= sizeof(InterfaceDescriptor)
               ? reinterpret_cast<const InterfaceDescriptor*>(d)
               : nullptr;
}

const EndpointDescriptor* getNextEndpointDescriptor(const ConfigurationDescriptor* config,
                                                    const InterfaceDescriptor* interface,
                                                    const Descriptor* current) {
    if (!interface) return nullptr;
    const Descriptor* from = current ? current : reinterpret_cast<const Descriptor*>(interface);
    for (const Descriptor* d = getNextDescriptor(config, from); d;
         d = getNextDescriptor(config, d)) {
        if (d->bDescriptorType == kDescriptorTypeInterface) return nullptr;
        if (d->bDescriptorType == kDescriptorTypeEndpoint &&
            d->bLength >= sizeof(EndpointDescriptor))
            return reinterpret_cast<const EndpointDescriptor*>(d);
    }
    return nullptr;
}

} // namespace StandardUSB
