// Text form of a scanned configuration: one line per interface, alternate,
// endpoint and audio-streaming record, so a whole tree compares at once.
#pragma once

#include <cstdio>
#include <string>

#include "driver/engine/desc/ZrConfigurationDescriptor.h"

inline void dumpInterface(std::string& out, ZrInterfaceDescriptor* d, const char* indent) {
    char line[160];
    std::snprintf(line, sizeof line, "%sinterface %d alt %d class %d/%d endpoints %d\n", indent,
                  d->getInterfaceNumber(), d->getAlternateNumber(), d->getInterfaceClass(),
                  d->getInterfaceSubClass(), d->getNumEndpoints());
    out += line;
    for (int i = 0; i < d->getCountPipes(); ++i) {
        ZrPipeDescriptor* p = d->getPipeByIndex(i);
        std::snprintf(line, sizeof line,
                      "%s  ep 0x%02X attr 0x%02X max %d x%d interval %d sync %u\n", indent,
                      p->getAddress(), p->getAttributes(), p->getMaxPacketSize(),
                      p->getTransactions(), p->getInterval(), p->getSyncType());
        out += line;
    }
    for (int i = 0; i < d->getCountAudioStreamingSpecific(); ++i) {
        ZrInterfaceDescriptorSpecificAS* as = d->getAudioStreamingSpecific(i);
        if (!as->isFormatType()) {
            std::snprintf(line, sizeof line, "%s  as subtype %d length %d\n", indent, as->data()[2],
                          as->length());
            out += line;
            continue;
        }
        std::snprintf(line, sizeof line, "%s  format %dch %d bytes %d bits rates", indent,
                      as->getNumChannels(), as->getSubframeSize(), as->getBitResolution());
        out += line;
        for (uint32_t r = 0; r < as->getCountFrequencies(); ++r)
            out += " " + std::to_string(as->getFrequency(r));
        out += "\n";
    }
    for (int i = 0; i < d->getCountAlternateSettings(); ++i)
        dumpInterface(out, d->getAlternateSettingByIndex(i), "  ");
}

inline std::string dumpConfiguration(const ZrConfigurationDescriptor& c) {
    std::string out = "config " + std::to_string(c.getConfigurationValue()) + " interfaces " +
                      std::to_string(c.getNumInterfaces()) + "\n";
    for (int i = 0; i < c.getCountInterfaces(); ++i)
        dumpInterface(out, c.getInterfaceByIndex(i), "");
    return out;
}
