#include "driver/engine/desc/ZrDeviceConfigurations.h"

#include <memory>
#include <new>

#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/ScanAPIDeviceInfo.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"

using namespace ZrDescriptorProducts;

void ZrDeviceConfigurations::setIdentity(uint16_t vendor, uint16_t product, uint16_t release,
                                         const APISpecificFeatures* features,
                                         uint8_t numConfigurations) {
    mIds = VIDPID(vendor, product, release, features);
    mNumConfigurations = numConfigurations;
}

bool ZrDeviceConfigurations::scanConfigurationDescriptors(USBByteBuffer& buffer) {
    if (!buffer.getData()) return false;
    const uint32_t quirks = mIds.traits().descriptorQuirks;
    applyRawFixups(buffer, quirks);
    auto* configuration = new (std::nothrow) ZrConfigurationDescriptor();
    if (!configuration) return false;
    if (!configuration->scan(buffer, mIds) || !mConfigurations.add(configuration)) {
        delete configuration;
        return false;
    }
    applyPostScanCorrections(quirks);
    // Products that do not say what their alternates stream get their
    // formats from the driver; those of the Merrow family and those whose
    // personality asks for it.
    if (mIds.traits().isSorvik() || (quirks & kQuirkSynthesized) || isMerrowCompatible(mIds) ||
        wantsSynthesizedDescriptors(mIds))
        USB::buildDummyDescriptor(mIds, mConfigurations, mIsUSB2, mDeviceData);
    if (quirks & kQuirkSynthesizedTwiceNo32k) {
        USB::buildDummyDescriptor(mIds, mConfigurations, mIsUSB2, mDeviceData);
        disableAllByFrequency(32000);
    }
    return true;
}

void ZrDeviceConfigurations::applyRawFixups(USBByteBuffer& buffer, uint32_t quirks) {
    // Offsets count from the configuration descriptor; poke stores nothing
    // beyond the set, so a short set is left as it is.
    if (quirks & kQuirkRawByte164) buffer.poke(164, 1);
    if (quirks & kQuirkRawClassACASAS) {
        buffer.poke(14, 1), buffer.poke(15, 1);
        buffer.poke(23, 1), buffer.poke(24, 2);
        buffer.poke(32, 1), buffer.poke(33, 2);
    }
    if (quirks & kQuirkRawClassAS) buffer.poke(14, 1), buffer.poke(15, 2);
    if (quirks & kQuirkRaw24Bits)
        for (uint32_t at : {298u, 344u, 571u, 614u})
            buffer.poke(at, 24);
}

void ZrDeviceConfigurations::applyPostScanCorrections(uint32_t quirks) {
    if (quirks & kQuirkNo88k96k) {
        disableAllByFrequency(88200);
        disableAllByFrequency(96000);
    }
    if (quirks & kQuirkEightChannels) {
        if (ZrConfigurationDescriptor* configuration = getConfigurationDescriptor(0)) {
            for (int number : {1, 2}) {
                ZrInterfaceDescriptor* iface = configuration->getInterface(number);
                ZrInterfaceDescriptor* alt = iface ? iface->getAlternateSetting(1) : nullptr;
                if (ZrInterfaceDescriptorSpecificAS* as =
                        alt ? alt->getAudioStreamingSpecific(1) : nullptr)
                    as->setNumChannels(8);
            }
        }
    }
    if (quirks & kQuirkNo16BitWith24) {
        // The device information record is large; it lives only for the two scans.
        std::unique_ptr<APIDeviceInfo> info(new (std::nothrow) APIDeviceInfo{});
        if (info) {
            getAPIDeviceInfo(*info);
            if (scanAPIDeviceInfo(*info, mIds.traits(), 0, 96000, 24, 2, true, false).mFound)
                disableAllByResolution(16);
            if (scanAPIDeviceInfo(*info, mIds.traits(), 0, 44100, 24, 2, true, true).mFound)
                disableAllByResolution(16);
        }
    }
    if (quirks & kQuirkNoMidiNoMulti) {
        for (int c = 0; c < mConfigurations.count(); ++c) {
            auto* configuration = mConfigurations.at<ZrConfigurationDescriptor>(c);
            for (int i = 0; i < configuration->getCountInterfaces(); ++i) {
                ZrInterfaceDescriptor* iface = configuration->getInterfaceByIndex(i);
                if (iface->isMidiStreaming()) {
                    iface->setNumEndpoints(0);
                    iface->setClass(0, 0, 0);
                }
            }
        }
        disableAllByMinimumChannels(3);
    }
}

void ZrDeviceConfigurations::deleteAllConfigurations() {
    forgetInterfaces();
    mConfigurations.deleteAll();
}

template <class F> void ZrDeviceConfigurations::forEachStreamingFormat(F&& f) {
    for (int c = 0; c < mConfigurations.count(); ++c) {
        auto* configuration = mConfigurations.at<ZrConfigurationDescriptor>(c);
        for (int i = 0; i < configuration->getCountInterfaces(); ++i) {
            ZrInterfaceDescriptor* iface = configuration->getInterfaceByIndex(i);
            if (!iface->isAudioStreamingIn() && !iface->isAudioStreamingOut()) continue;
            for (int a = -1; a < iface->getCountAlternateSettings(); ++a) {
                ZrInterfaceDescriptor* alt = a < 0 ? iface : iface->getAlternateSettingByIndex(a);
                for (int r = 0; r < alt->getCountAudioStreamingSpecific(); ++r) {
                    ZrInterfaceDescriptorSpecificAS* as = alt->getAudioStreamingSpecific(r);
                    if (as->isFormatType()) f(*as);
                }
            }
        }
    }
}

void ZrDeviceConfigurations::disableAllByFrequency(uint32_t rate) {
    // A zeroed rate slot counts as absent everywhere the lists are read.
    forEachStreamingFormat([rate](ZrInterfaceDescriptorSpecificAS& as) {
        for (uint32_t i = 0; i < as.getCountFrequencies(); ++i)
            if (as.getFrequency(i) == rate) as.clearFrequency(i);
    });
}

void ZrDeviceConfigurations::disableAllByResolution(int bits) {
    forEachStreamingFormat([bits](ZrInterfaceDescriptorSpecificAS& as) {
        if (as.getBitResolution() == bits) as.clear();
    });
}

void ZrDeviceConfigurations::disableAllByMinimumChannels(uint8_t channels) {
    forEachStreamingFormat([channels](ZrInterfaceDescriptorSpecificAS& as) {
        if (as.getNumChannels() >= channels) as.clear();
    });
}

void ZrDeviceConfigurations::disableAllByChannels(uint8_t channels) {
    forEachStreamingFormat([channels](ZrInterfaceDescriptorSpecificAS& as) {
        if (as.getNumChannels() == channels) as.clear();
    });
}

void ZrDeviceConfigurations::getAPIDeviceInfo(APIDeviceInfo& info) const {
    info.mVendor = mIds.vendor();
    info.mProduct = mIds.product();
    info.mRelease = mIds.release();
    unsigned count = mNumConfigurations < 4 ? mNumConfigurations : 4;
    info.mNumConfigurations = uint8_t(count);
    for (unsigned c = 0; c < count; ++c)
        if (ZrConfigurationDescriptor* configuration = getConfigurationDescriptor(int(c)))
            configuration->getAPIConfigInfo(info.mConfigurations[c], mIds);
    if (mIds.features()) info.mFeatures = *mIds.features();
}

void ZrDeviceConfigurations::forgetInterfaces() {
    m_pcConfiguration = nullptr;
    m_pcControlInterface = mpInInterface = mpOutInterface = m_pcMidiInterface = m_pcHIDInterface =
        nullptr;
}
