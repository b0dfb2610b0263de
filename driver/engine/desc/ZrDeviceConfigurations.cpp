#include "driver/engine/desc/ZrDeviceConfigurations.h"

#include <new>

#include "abi/USBByteBuffer.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"

using namespace ZrDescriptorProducts;

void ZrDeviceConfigurations::setIdentity(uint16_t vendor, uint16_t product, uint16_t release,
                                         const APISpecificFeatures* features, uint8_t numConfigurations)
{
    mIds = VIDPID(vendor, product, release, features);
    mNumConfigurations = numConfigurations;
}

bool ZrDeviceConfigurations::scanConfigurationDescriptors(USBByteBuffer& buffer)
{
    if (!buffer.getData())
        return false;
    auto* configuration = new (std::nothrow) ZrConfigurationDescriptor();
    if (!configuration)
        return false;
    if (!configuration->scan(buffer, mIds) || !mConfigurations.add(configuration)) {
        delete configuration;
        return false;
    }
    // Products that do not say what their alternates stream get their
    // formats from the driver; those of the Merrow family and those whose
    // personality asks for it.
    if (isSorvik(mIds) || isMerrowCompatible(mIds) || wantsSynthesizedDescriptors(mIds))
        USB::buildDummyDescriptor(mIds, mConfigurations, mIsUSB2, mDeviceData);
    return true;
}

void ZrDeviceConfigurations::deleteAllConfigurations()
{
    forgetInterfaces();
    mConfigurations.deleteAll();
}

template <class F> void ZrDeviceConfigurations::forEachStreamingFormat(F&& f)
{
    for (int c = 0; c < mConfigurations.count(); ++c) {
        auto* configuration = mConfigurations.at<ZrConfigurationDescriptor>(c);
        for (int i = 0; i < configuration->getCountInterfaces(); ++i) {
            ZrInterfaceDescriptor* iface = configuration->getInterfaceByIndex(i);
            if (!iface->isAudioStreamingIn() && !iface->isAudioStreamingOut())
                continue;
            for (int a = -1; a < iface->getCountAlternateSettings(); ++a) {
                ZrInterfaceDescriptor* alt = a < 0 ? iface : iface->getAlternateSettingByIndex(a);
                for (int r = 0; r < alt->getCountAudioStreamingSpecific(); ++r) {
                    ZrInterfaceDescriptorSpecificAS* as = alt->getAudioStreamingSpecific(r);
                    if (as->isFormatType())
                        f(*as);
                }
            }
        }
    }
}

void ZrDeviceConfigurations::disableAllByFrequency(uint32_t rate)
{
    // A zeroed rate slot counts as absent everywhere the lists are read.
    forEachStreamingFormat([rate](ZrInterfaceDescriptorSpecificAS& as) {
        for (uint32_t i = 0; i < as.getCountFrequencies(); ++i)
            if (as.getFrequency(i) == rate)
                as.clearFrequency(i);
    });
}

void ZrDeviceConfigurations::disableAllByResolution(int bits)
{
    forEachStreamingFormat([bits](ZrInterfaceDescriptorSpecificAS& as) {
        if (as.getBitResolution() == bits)
            as.clear();
    });
}

void ZrDeviceConfigurations::disableAllByChannels(uint8_t channels)
{
    forEachStreamingFormat([channels](ZrInterfaceDescriptorSpecificAS& as) {
        if (as.getNumChannels() == channels)
            as.clear();
    });
}

void ZrDeviceConfigurations::getAPIDeviceInfo(APIDeviceInfo& info) const
{
    info.mVendor = mIds.vendor();
    info.mProduct = mIds.product();
    info.mRelease = mIds.release();
    unsigned count = mNumConfigurations < 4 ? mNumConfigurations : 4;
    info.mNumConfigurations = uint8_t(count);
    for (unsigned c = 0; c < count; ++c)
        if (ZrConfigurationDescriptor* configuration = getConfigurationDescriptor(int(c)))
            configuration->getAPIConfigInfo(info.mConfigurations[c], mIds);
    if (mIds.features())
        info.mFeatures = *mIds.features();
}

void ZrDeviceConfigurations::forgetInterfaces()
{
    m_pcConfiguration = nullptr;
    m_pcControlInterface = mpInInterface = mpOutInterface = m_pcMidiInterface = m_pcHIDInterface = nullptr;
}
