// Device families, the specific-features record and the driver-area words.
#include "abi/DeviceFamilies.h"
#include "device/ProcessNames.h"
#include "device/QnAudioPluginClassCommons.h"
#include "platform/base/HXLog.h"

#include <syslog.h>

#include <cstring>

using namespace DeviceFamilies;

namespace {

constexpr unsigned kSpecFeatureOutputOnly = 10;
constexpr unsigned kSpecFeatureAC3 = 15;

CFTypeRef valueForKey(CFDictionaryRef dict, const char* key) {
    CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef v = CFDictionaryGetValue(dict, k);
    CFRelease(k);
    return v;
}

} // namespace

QnAudioPluginClassCommons::QnAudioPluginClassCommons(QnAudioPluginHost& host, APIDeviceInfo& info)
    : mHost(host), mInfo(info) {}

const char* QnAudioPluginClassCommons::getIDRoot() {
    return ::getIDRoot();
}

void QnAudioPluginClassCommons::setupSpecificFeatures() {
    CFDictionaryRef props = mHost.hostCopyServiceProperties();
    CFTypeRef specific = props ? valueForKey(props, "QnSpecific") : nullptr;
    if (specific && CFGetTypeID(specific) == CFDictionaryGetTypeID()) {
        CFDictionaryRef dict = static_cast<CFDictionaryRef>(specific);
        CFTypeRef data = valueForKey(dict, "kConfigurationData");
        // A short record would leave the rest of the features undefined.
        if (data && CFGetTypeID(data) == CFDataGetTypeID() &&
            CFDataGetLength(static_cast<CFDataRef>(data)) >= CFIndex(sizeof(APISpecificFeatures))) {
            std::memcpy(&mInfo.mFeatures, CFDataGetBytePtr(static_cast<CFDataRef>(data)),
                        sizeof(APISpecificFeatures));
            mInfo.mFeatures.mLoaded = 1;
        }
        CFTypeRef low = valueForKey(dict, "kLowBuffFWVersion");
        SInt32 version = 0;
        if (low && CFGetTypeID(low) == CFNumberGetTypeID() &&
            CFNumberGetValue(static_cast<CFNumberRef>(low), kCFNumberSInt32Type, &version)) {
            syslog(LOG_NOTICE, "setupSpecificFeatures found kLowBuffFWVersion=%08X\n",
                   unsigned(version));
            mLowBuffFWVersion = uint32_t(version);
        }
    }
    if (props) CFRelease(props);
    setSpecFeature(eSpecFeature_Can192);
    setSpecFeature(eSpecFeature_SetFreqOnOutPipe);
}

void QnAudioPluginClassCommons::setSpecFeature(unsigned feature) {
    if (feature < kSpecFeatureFlagCount) mInfo.mFeatures.mFlags[feature] = 1;
}

bool QnAudioPluginClassCommons::isMerrowCompatible() const {
    return !featuresValid() || mInfo.mFeatures.hasFlag(eSpecFeature_MerrowCompatible);
}

bool QnAudioPluginClassCommons::isMRW192Compatible() const {
    return !featuresValid() || mInfo.mFeatures.hasFlag(eSpecFeature_MRW192Compatible);
}

bool QnAudioPluginClassCommons::isMRW30Compatible() const {
    return contains(kMRW30, vendor(), product());
}

bool QnAudioPluginClassCommons::isAC3compatible() const {
    return featuresValid() && mInfo.mFeatures.hasFlag(kSpecFeatureAC3);
}

bool QnAudioPluginClassCommons::isQuarnelBulkDevice(bool usb2) const {
    if (contains(kQuarnelBulk, vendor(), product())) return usb2;
    return featuresValid() && usb2 && mInfo.mFeatures.hasFlag(eSpecFeature_QuarnelBulk);
}

bool QnAudioPluginClassCommons::isQuarnelBulkInIsocOutDevice(bool usb2) const {
    if (featuresValid()) return usb2 && mInfo.mFeatures.hasFlag(eSpecFeature_QuarnelBulkInIsocOut);
    return contains(kQuarnelBulkInIsocOut, vendor(), product()) && usb2;
}

bool QnAudioPluginClassCommons::isSorvikFarlane1() const {
    return DeviceFamilies::isSorvikFarlane1(vendor(), product());
}
bool QnAudioPluginClassCommons::isSorvikFarlane2() const {
    return DeviceFamilies::isSorvikFarlane2(vendor(), product());
}

bool QnAudioPluginClassCommons::isDevice(uint16_t v, uint16_t p) const {
    return vendor() == v && product() == p;
}

bool QnAudioPluginClassCommons::isOutputOnly() const {
    return mInfo.mFeatures.hasFlag(kSpecFeatureOutputOnly);
}

bool QnAudioPluginClassCommons::isSixChannelProduct() const {
    return contains(kSixChannel, vendor(), product());
}
bool QnAudioPluginClassCommons::isMonoAtHighRateProduct() const {
    return contains(kMonoAtHighRate, vendor(), product());
}
bool QnAudioPluginClassCommons::isSymmetricProduct() const {
    return contains(kSymmetric, vendor(), product());
}
bool QnAudioPluginClassCommons::isPhonoProduct() const {
    return contains(kPhono, vendor(), product());
}

bool QnAudioPluginClassCommons::isRunningStream() const {
    DriverSM* sm = mHost.hostDriverSM();
    if (!sm) return false;
    uint64_t me = mHost.hostClientIdentity();
    for (const ClientData& slot : sm->mClients) {
        uint64_t client = slot.mClient;
        if (client != 0 && client == me) return true;
    }
    return false;
}

bool QnAudioPluginClassCommons::isRunningSomewhere() const {
    DriverSM* sm = mHost.hostDriverSM();
    return sm && sm->mAttachedClients != 0;
}

bool QnAudioPluginClassCommons::isUSB2Device() const {
    DriverSM* sm = mHost.hostDriverSM();
    return sm && sm->mHighSpeed != 0;
}

bool QnAudioPluginClassCommons::isRateLocked() const {
    DriverSM* sm = mHost.hostDriverSM();
    return sm && sm->mAjExtData.mDigitalLock != 0;
}

uint32_t QnAudioPluginClassCommons::kernelRate() const {
    DriverSM* sm = mHost.hostDriverSM();
    return sm ? sm->mChannelSettings.Frequency : mCurrent.Frequency;
}

void QnAudioPluginClassCommons::readKernelSettings(QnChannelSettings* settings) const {
    DriverSM* sm = mHost.hostDriverSM();
    if (sm)
        std::memcpy(settings, &sm->mChannelSettings, sizeof *settings);
    else
        *settings = mCurrent;
}
