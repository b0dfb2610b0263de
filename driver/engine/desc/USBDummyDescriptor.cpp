#include "driver/engine/desc/USBDummyDescriptor.h"

#include "abi/APIDeviceInfo.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "platform/base/HXLog.h"

using namespace ZrDescriptorProducts;

namespace {

constexpr uint32_t kRate48k = 1u << 2;

ZrInterfaceDescriptor* interfaceOf(ZrSimpleArray& configurations, int number) {
    auto* configuration = configurations.at<ZrConfigurationDescriptor>(0);
    return configuration ? configuration->getInterface(number) : nullptr;
}

void clearAlternate(ZrInterfaceDescriptor* iface, int alternate) {
    if (ZrInterfaceDescriptor* alt = iface ? iface->getAlternateSetting(alternate) : nullptr)
        alt->clear();
}

ZrInterfaceDescriptorSpecificAS* formatRecord(ZrInterfaceDescriptor* alt, int channels, int bits) {
    alt->makeAudioStreaming();
    ZrInterfaceDescriptorSpecificAS* as = alt->getOrCreateAS(0);
    if (as) as->genInit(channels, bits);
    return as;
}

// First generation: fixed 48 kHz alternates on the output (0) and input (1)
// interfaces.
void buildFarlane1(ZrSimpleArray& configurations) {
    for (int number : {0, 1}) {
        ZrInterfaceDescriptor* iface = interfaceOf(configurations, number);
        if (!iface) return;
        iface->makeAudioStreaming();
        addSingleAlternate(iface, 1, 0, 16, kRate48k, -1, -1, -1);
        addSingleAlternate(iface, 2, 2, 16, kRate48k, -1, -1, -1);
        addSingleAlternate(iface, 3, 2, 24, kRate48k, -1, -1, -1);
        addSingleAlternate(iface, 4, 4, 16, kRate48k, -1, -1, -1);
        addSingleAlternate(iface, 5, 4, 24, kRate48k, 6, 16, kRate48k);
        addSingleAlternate(iface, 6, 8, 16, kRate48k, -1, -1, -1);
        addSingleAlternate(iface, 7, 6, 24, kRate48k, -1, -1, -1);
    }
}

// The hardware brand's own interfaces: alternate 2 of interfaces 1 (out)
// and 2 (in) streams 2 channels at 24 bits; alternate 1 is not used.
void buildKorvex(const ZrDeviceIds& ids, ZrSimpleArray& configurations, bool highSpeed,
                 const DeviceSpecificData& data) {
    if (ids.traits().hasQuirk(kQuirkLogsCounts))
        IOLog(" LX310, %d Inputs, %d Outputs\n", int(data.mInputChannels),
              int(data.mOutputChannels));
    for (int number : {1, 2}) {
        ZrInterfaceDescriptor* iface = interfaceOf(configurations, number);
        if (!iface) return;
        clearAlternate(iface, 1);
        ZrInterfaceDescriptor* alt = iface->getAlternateSetting(2);
        if (!alt) return;
        ZrInterfaceDescriptorSpecificAS* as = formatRecord(alt, 2, 24);
        if (!as) return;
        as->genAddSR(44100);
        as->genAddSR(48000);
        if (!highSpeed) continue;
        as->genAddSR(88200);
        as->genAddSR(96000);
        if (ids.traits().has(ZrProductList::Korvex192)) {
            as->genAddSR(176400);
            as->genAddSR(192000);
        }
    }
}

// Other makers' products with fixed synthesized alternates (their product
// rows say which).
void buildFixedSide(ZrSimpleArray& configurations, const ZrFixedAlternates& row, bool output,
                    bool highSpeed, bool xmos) {
    if (xmos) IOLog(output ? "INIT XMOS OUT\n" : "INIT XMOS IN\n");
    ZrInterfaceDescriptor* iface =
        interfaceOf(configurations, output ? row.outInterface : row.inInterface);
    if (!iface) return;
    iface->makeAudioStreaming();
    if (row.clearAlternate >= 0) clearAlternate(iface, row.clearAlternate);
    if (row.rateSets) IOLog("Setting Frequencies..\n");
    constexpr int k44k48k = (1 << 1) | (1 << 2), k88k96k = (1 << 3) | (1 << 4),
                  k176k192k = (1 << 5) | (1 << 6);
    int channels = highSpeed ? row.highSpeedChannels : row.fullSpeedChannels;
    int rates = highSpeed ? k44k48k | k88k96k : k44k48k;
    bool second = highSpeed && row.secondFormat192;
    addSingleAlternate(iface, output ? row.outAlternate : row.inAlternate, channels, 24, rates,
                       second ? channels : -1, second ? 24 : -1, second ? k176k192k : -1);
}

// One side of the data-driven path.
void buildFromFeatures(ZrSimpleArray& configurations, int number, int alternate,
                       const APIStreamingInfo& format, const char* sideLog, const char* altLog,
                       const char* ratesLog) {
    ZrInterfaceDescriptor* iface = interfaceOf(configurations, number);
    IOLog(sideLog, number, static_cast<void*>(iface));
    if (!iface) return;
    iface->makeAudioStreaming();
    if (alternate >= 2) clearAlternate(iface, 1);
    ZrInterfaceDescriptor* alt = iface->getAlternateSetting(alternate);
    IOLog(altLog, alternate, static_cast<void*>(alt));
    if (!alt) return;
    ZrInterfaceDescriptorSpecificAS* as =
        formatRecord(alt, format.mChannels, format.mBitResolution);
    if (!as) return;
    unsigned count = format.mNumRates < 16 ? format.mNumRates : 16;
    IOLog(ratesLog, int(count));
    for (unsigned i = 0; i < count; ++i) {
        IOLog("Found frequency %d\n", int(format.mRates[i]));
        as->genAddSR(format.mRates[i]);
    }
}

void buildDataDriven(const ZrDeviceIds& ids, ZrSimpleArray& configurations, bool highSpeed) {
    const APISpecificFeatures& f = *ids.features();
    const APIStreamingInfo& in = highSpeed ? f.mHighSpeedIn : f.mFullSpeedIn;
    const APIStreamingInfo& out = highSpeed ? f.mHighSpeedOut : f.mFullSpeedOut;
    IOLog("buildDummyDescriptor Out %d/%d(%d), In %d/%d(%d)\n", f.mOutInterface, f.mOutAlternate,
          out.mChannels, f.mInInterface, f.mInAlternate, in.mChannels);
    bool anyFlag = f.hasFlag(eSpecFeature_MerrowCompatible) ||
                   f.hasFlag(eSpecFeature_MRW192Compatible) ||
                   f.hasFlag(eSpecFeature_SynthesizedDescriptors);
    if (!anyFlag) {
        ZrInterfaceDescriptor* iface = interfaceOf(configurations, f.mInInterface);
        if (!iface) return;
        iface->makeAudioStreaming();
        ZrInterfaceDescriptor* alt = iface->getAlternateSetting(f.mInAlternate);
        if (!alt) return;
        ZrInterfaceDescriptorSpecificAS* as = formatRecord(alt, 2, 24);
        if (!as) return;
        as->genAddSR(44100);
        as->genAddSR(48000);
        if (highSpeed) {
            as->genAddSR(88200);
            as->genAddSR(96000);
        }
        return;
    }
    buildFromFeatures(configurations, f.mOutInterface, f.mOutAlternate, out,
                      "buildDummyDescriptor Out %d/%p\n", "buildDummyDescriptor OutAlt %d/%p\n",
                      "Out frequencies:%d\n");
    buildFromFeatures(configurations, f.mInInterface, f.mInAlternate, in,
                      "buildDummyDescriptor In %d/%p\n", "buildDummyDescriptor InAlt %d/%p\n",
                      "In frequencies:%d\n");
}

// Second protocol generation: the interrupt endpoint's packet is a 32-byte
// header plus 28 bytes per channel.
void buildFLB2Side(ZrInterfaceDescriptor* iface, bool input) {
    if (!iface) return;
    iface->makeAudioStreaming();
    for (int n = 1;; ++n) {
        ZrInterfaceDescriptor* alt = iface->getAlternateSetting(n);
        if (!alt) return;
        IOLog(input ? "FLB2 check alternate %d on input\n" : "FLB2 check alternate %d on output\n",
              n);
        ZrPipeDescriptor* pipe = input ? alt->getInterruptInPipe() : alt->getInterruptOutPipe();
        if (!pipe) continue;
        int m = pipe->getMaxPacketSize();
        // Below the header there is no channel count, and more than 32
        // channels is no format this driver can carry.
        if (m < 32) continue;
        int channels = (m - 32) / 28;
        IOLog("found endpoint with %d channels. maxSize:%d calculated:%d\n", channels, m,
              32 + 28 * channels);
        if (m == 32 + 28 * channels && channels <= 32)
            addSingleAlternate(iface, n, channels, 32, kRate48k, -1, -1, -1);
    }
}

} // namespace

void addSingleAlternate(ZrInterfaceDescriptor* interface, int alternate, int channels,
                        int resolution, int rateBits, int channels2, int resolution2,
                        int rateBits2) {
    ZrInterfaceDescriptor* alt = interface ? interface->getAlternateSetting(alternate) : nullptr;
    if (!alt) return;
    ZrInterfaceDescriptorSpecificAS* first = formatRecord(alt, channels, resolution);
    if (!first) return;
    first->genAddSRBitmap(uint32_t(rateBits));
    if (channels2 == -1 || resolution2 == -1 || rateBits2 == -1) return;
    ZrInterfaceDescriptorSpecificAS* second = alt->getAudioStreamingSpecific(1);
    if (!second) second = alt->createAS();
    if (!second) return;
    second->genInit(channels2, resolution2);
    second->genAddSRBitmap(uint32_t(rateBits2));
}

void buildDummyDescriptor_FLB2(ZrSimpleArray& configurations, const DeviceSpecificData&) {
    IOLog("debugPrint mSorvikDesignNum == 2\n");
    buildFLB2Side(interfaceOf(configurations, 1), true);
    buildFLB2Side(interfaceOf(configurations, 2), false);
}

void USB::buildDummyDescriptor(const ZrDeviceIds& ids, ZrSimpleArray& configurations,
                               bool highSpeed, DeviceSpecificData& data) {
    // A full-speed link carries at most 2 channels each way.
    if (!highSpeed) {
        if (data.mInputChannels >= 3) data.mInputChannels = 2;
        if (data.mOutputChannels >= 3) data.mOutputChannels = 2;
    }
    const ZrDeviceTraits& traits = ids.traits();
    if (traits.isFarlane1())
        buildFarlane1(configurations);
    else if (traits.isFarlane2())
        buildDummyDescriptor_FLB2(configurations, data);
    else if (traits.has(ZrProductList::KorvexFamily))
        buildKorvex(ids, configurations, highSpeed, data);
    else if (const ZrFixedAlternates& fixed = traits.row->fixedAlternates; fixed.present) {
        const bool xmos = traits.hasQuirk(kQuirkXmos);
        buildFixedSide(configurations, fixed, true, highSpeed, xmos);
        buildFixedSide(configurations, fixed, false, highSpeed, xmos);
    } else if (featuresLoaded(ids))
        buildDataDriven(ids, configurations, highSpeed);
}
