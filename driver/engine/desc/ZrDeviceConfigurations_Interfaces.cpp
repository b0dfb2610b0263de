// Interface and alternate-setting choice: which interfaces carry audio
// control, input, output, MIDI and HID, and which alternates deliver the
// wanted rate, channel counts and resolutions. When the wanted setting is
// not offered, the search walks down a fixed ladder and the setting found is
// written back into the channel settings, which user space reads as the
// device's configuration.
#include "driver/engine/desc/ZrDeviceConfigurations.h"

#include "abi/APIDeviceInfo.h"
#include "driver/engine/desc/ZrDescriptorProducts.h"
#include "platform/base/HXLog.h"

using namespace ZrDescriptorProducts;

namespace {

// The rates the ladder walks, in order, after the 2-by-2 attempt.
constexpr int kRateLadder[] = {44100, 48000, 32000, 88200, 96000, 176400, 192000};
constexpr int kBitsLadder[] = {16, 20, 24, 32};

// First-generation Sorvik alternates by (channels, bits); 0 channels is the
// idle alternate 1.
int farlane1Alternate(int channels, int bits) {
    if (channels == 0) return 1;
    struct Row {
        int channels, bits, alternate;
    };
    static constexpr Row kRows[] = {{2, 16, 2}, {2, 24, 3}, {4, 16, 4}, {4, 24, 5},
                                    {6, 16, 5}, {8, 16, 6}, {6, 24, 7}};
    for (const Row& r : kRows)
        if (r.channels == channels && r.bits == bits) return r.alternate;
    return -1;
}

bool hasInEndpoint(ZrInterfaceDescriptor* iface) {
    if (!iface) return false;
    for (int a = -1; a < iface->getCountAlternateSettings(); ++a) {
        ZrInterfaceDescriptor* alt = a < 0 ? iface : iface->getAlternateSettingByIndex(a);
        for (int p = 0; p < alt->getCountPipes(); ++p)
            if (alt->getPipeByIndex(p)->isIn()) return true;
    }
    return false;
}

} // namespace

bool ZrDeviceConfigurations::findInterfacesInConfig(QnChannelSettings& settings) {
    ZrConfigurationDescriptor* configuration =
        getConfigurationDescriptor(int(settings.Configuration));
    if (!configuration) {
        configuration = getConfigurationDescriptor(0);
        if (!configuration) return false;
        settings.Configuration = 0;
    }
    m_pcConfiguration = configuration;
    const APISpecificFeatures* features = featuresLoaded(mIds) ? mIds.features() : nullptr;
    const ZrDeviceTraits& traits = mIds.traits();
    const ZrProductRow& row = *traits.row;
    const uint32_t quirks = traits.descriptorQuirks;

    chooseControlInterfaces(*configuration, features, quirks);
    chooseStreamingInterfaces(*configuration, features, quirks, settings);
    WantedSetting wanted = wantedSetting(settings, features, row);
    ZrInterfaceDescriptor* inResult = nullptr;
    ZrInterfaceDescriptor* outResult = nullptr;
    searchAlternates(wanted, row, inResult, outResult);

    settings.Frequency = uint32_t(wanted.rate);
    settings.InChannels = uint32_t(wanted.ins);
    settings.InResolution = uint32_t(wanted.inBits);
    settings.OutChannels = uint32_t(wanted.outs);
    settings.OutResolution = uint32_t(wanted.outBits);
    if (mIds.traits().isFarlane1()) {
        if (wanted.ins == 0 && !inResult && mpInInterface)
            inResult = mpInInterface->getAlternateSetting(1);
        if (wanted.outs == 0 && !outResult && mpOutInterface)
            outResult = mpOutInterface->getAlternateSetting(1);
    }
    mpInInterface = inResult;
    mpOutInterface = outResult;
    if (!m_pcMidiInterface && (quirks & kQuirkMidiOn3))
        m_pcMidiInterface = configuration->getInterface(3);
    return true;
}

bool ZrDeviceConfigurations::usesQuarnelBulk(const APISpecificFeatures* features) const {
    return mQuarnelBulk || (mIsUSB2 && features && features->hasFlag(eSpecFeature_QuarnelBulk));
}

bool ZrDeviceConfigurations::usesBulkInIsocOut(const APISpecificFeatures* features) const {
    return mBulkInIsocOut ||
           (mIsUSB2 && features && features->hasFlag(eSpecFeature_QuarnelBulkInIsocOut));
}

void ZrDeviceConfigurations::chooseControlInterfaces(ZrConfigurationDescriptor& config,
                                                     const APISpecificFeatures* features,
                                                     uint32_t quirks) {
    ZrConfigurationDescriptor* configuration = &config;
    m_pcMidiInterface = configuration->findMidiInterface();
    // This family's MIDI streaming interface announces the port one below it.
    if (m_pcMidiInterface && (quirks & kQuirkMidiBelow))
        m_pcMidiInterface =
            configuration->getInterface(m_pcMidiInterface->getInterfaceNumber() - 1);
    if (!m_pcMidiInterface) m_pcMidiInterface = configuration->findVendorInterface();
    if (!m_pcMidiInterface && features) {
        if (ZrInterfaceDescriptor* iface = configuration->getInterface(features->mMidiInterface))
            m_pcMidiInterface = iface->getAlternateSetting(features->mMidiAlternate);
    }
    if (!m_pcMidiInterface && (usesQuarnelBulk(features) || (quirks & kQuirkMidiOn0Alt1))) {
        if (ZrInterfaceDescriptor* iface = configuration->getInterface(0))
            m_pcMidiInterface = iface->getAlternateSetting(1);
    }

    m_pcControlInterface = configuration->findAudioControlInterface();
    m_pcHIDInterface = configuration->findHIDInterface();
}

void ZrDeviceConfigurations::chooseStreamingInterfaces(ZrConfigurationDescriptor& config,
                                                       const APISpecificFeatures* features,
                                                       uint32_t quirks,
                                                       const QnChannelSettings& settings) {
    ZrConfigurationDescriptor* configuration = &config;
    mpInInterface = nullptr;
    mpOutInterface = nullptr;
    if ((quirks & kQuirkMidiBelow) && settings.InChannels == 4)
        mpInInterface = configuration->getInterface(10);
    if (usesQuarnelBulk(features) || usesBulkInIsocOut(features)) {
        mpOutInterface = configuration->getInterface(0);
        mpInInterface = configuration->getInterface(1);
    }
    if (mIds.traits().isFarlane1()) {
        m_pcControlInterface = configuration->getInterface(2);
        m_pcMidiInterface = configuration->getInterface(3);
        // The synthesized alternates put the output on interface 0 and the
        // input on 1; trust the endpoints when they say otherwise.
        ZrInterfaceDescriptor* first = configuration->getInterface(0);
        ZrInterfaceDescriptor* second = configuration->getInterface(1);
        bool swapped = hasInEndpoint(first) && !hasInEndpoint(second);
        mpInInterface = swapped ? first : second;
        mpOutInterface = swapped ? second : first;
    } else if (mIds.traits().isFarlane2()) {
        m_pcControlInterface = configuration->getInterface(0);
        mpInInterface = configuration->getInterface(1);
        mpOutInterface = configuration->getInterface(2);
        m_pcMidiInterface = configuration->getInterface(3);
    }
    if (quirks & kQuirkMRW30) {
        m_pcControlInterface = nullptr;
        mpInInterface = configuration->getInterface(2);
        mpOutInterface = configuration->getInterface(1);
    }
    if (quirks & kQuirkLayoutOut2In4) {
        // The second input interface carries the digital input.
        bool second = mSharedArea && mSharedArea->mAjExtData.mDigitalOutSelector == 2;
        mpOutInterface = configuration->getInterface(2);
        mpInInterface = configuration->getInterface(second ? 5 : 4);
        m_pcControlInterface = configuration->getInterface(1);
    }
    if ((quirks & kQuirkOutOn1) && !mpOutInterface) mpOutInterface = configuration->getInterface(1);
    if (features && features->mFullSpeedIn.mBitResolution) {
        if (!mpInInterface) mpInInterface = configuration->getInterface(features->mInInterface);
        if (!mpOutInterface) mpOutInterface = configuration->getInterface(features->mOutInterface);
    }
    if (!mpInInterface) mpInInterface = configuration->findAudioStreamingInInterface();
    if (!mpOutInterface) mpOutInterface = configuration->findAudioStreamingOutInterface();
}

ZrDeviceConfigurations::WantedSetting ZrDeviceConfigurations::wantedSetting(
    QnChannelSettings& settings, const APISpecificFeatures* features, const ZrProductRow& row) {
    // Wanted setting, corrected by what the device can be asked for.
    int rate = int(settings.Frequency);
    int ins = int(settings.InChannels), outs = int(settings.OutChannels);
    int inBits = int(settings.InResolution), outBits = int(settings.OutResolution);
    auto setCounts = [&](int i, int o, int ib, int ob) {
        ins = i;
        outs = o;
        inBits = ib;
        outBits = ob;
        settings.InChannels = uint32_t(i);
        settings.OutChannels = uint32_t(o);
        settings.InResolution = uint32_t(ib);
        settings.OutResolution = uint32_t(ob);
    };
    if (mIds.traits().isFarlane1() && mSharedArea &&
        mSharedArea->mSorvikChannelMap.mEInputMap[0] == 0) {
        mSharedArea->mSorvikChannelMap.setDefaults(mIds.vendor(), mIds.product());
        rate = 48000;
        settings.Frequency = 48000;
        setCounts(2, 0, 16, 16);
    }
    if (mIds.traits().isFarlane2()) {
        uint32_t pairIns = 4, pairOuts = 4;
        mIds.traits().channelPair(pairIns, pairOuts);
        setCounts(int(pairIns), int(pairOuts), 32, 32);
    }
    if (features && features->mFullSpeedIn.mBitResolution) {
        const APIStreamingInfo& in = mIsUSB2 ? features->mHighSpeedIn : features->mFullSpeedIn;
        const APIStreamingInfo& out = mIsUSB2 ? features->mHighSpeedOut : features->mFullSpeedOut;
        setCounts(in.mChannels, out.mChannels, 24, 24);
    }
    const ZrCounts& c = row.counts;
    switch (row.countsRule) {
    case ZrCountsRule::None:
        break;
    case ZrCountsRule::Fixed:
        setCounts(c.ins, c.outs, c.inBits, c.outBits);
        break;
    case ZrCountsRule::HighSpeedDefaults:
        if (mIsUSB2 && (ins == 0 || outs == 0))
            setCounts(ins ? ins : c.ins, outs ? outs : c.outs, inBits, outBits);
        break;
    case ZrCountsRule::OutsByRate:
        setCounts(ins, rate < 176400 ? 6 : 4, inBits, outBits);
        break;
    case ZrCountsRule::TwoPlusUSB2:
        setCounts(2 + 2 * int(mIsUSB2), 2 + 2 * int(mIsUSB2), 24, 24);
        break;
    }
    if (mDeviceData.mInputChannels > 0 || mDeviceData.mOutputChannels > 0)
        setCounts(int(mDeviceData.mInputChannels), int(mDeviceData.mOutputChannels), 24, 24);
    if (mIds.traits().has(ZrProductList::KorvexFamily)) setCounts(2, 2, 24, 24);
    return {rate, ins, outs, inBits, outBits};
}

bool ZrDeviceConfigurations::searchAlternates(WantedSetting& w, const ZrProductRow& row,
                                              ZrInterfaceDescriptor*& inResult,
                                              ZrInterfaceDescriptor*& outResult) {
    bool found = tryFindInterfaces(inResult, outResult, w.rate, w.ins, w.outs, w.inBits, w.outBits);

    // The product's own further attempt: its rate (or the one the failed
    // search left) with fixed counts.
    const ZrFurtherAttempt& further = row.furtherAttempt;
    if (!found && (further.ins || further.outs)) {
        if (further.rate) w.rate = further.rate;
        w.ins = further.ins;
        w.outs = further.outs;
        w.inBits = w.outBits = further.bits;
        found = tryFindInterfaces(inResult, outResult, w.rate, w.ins, w.outs, w.inBits, w.outBits);
    }

    // Last resort: 44.1 kHz at 16 bits, the largest channel counts that fit.
    const ZrFinalSearchStart& start = row.finalSearchStart;
    const int startIns = start.ins || start.outs ? start.ins : 8;
    const int startOuts = start.ins || start.outs ? start.outs : 8;
    for (int i = startIns; !found && i >= 0; i -= 2) {
        for (int o = startOuts; !found && o >= 0; o -= 2) {
            if (i == 0 && o == 0) continue;
            w.rate = 44100;
            w.ins = i;
            w.outs = o;
            w.inBits = w.outBits = 16;
            found =
                tryFindInterfaces(inResult, outResult, w.rate, w.ins, w.outs, w.inBits, w.outBits);
        }
    }
    return found;
}

bool ZrDeviceConfigurations::tryFindInterfaces(ZrInterfaceDescriptor*& inResult,
                                               ZrInterfaceDescriptor*& outResult, int& rate,
                                               int& ins, int& outs, int& inBits, int& outBits) {
    IOLog("ENTER tryFindInterfaces interfaces frq:%d ins:%d outs:%d inbits:%d outbits:%d\n", rate,
          ins, outs, inBits, outBits);
    const int givenIns = ins, givenOuts = outs;

    if (mIds.traits().isFarlane1()) {
        inResult = outResult = nullptr;
        if (rate != 48000) return false;
        int inAlt = farlane1Alternate(ins, inBits);
        int outAlt = farlane1Alternate(outs, outBits);
        if (mpInInterface && inAlt >= 0) inResult = mpInInterface->getAlternateSetting(inAlt);
        if (mpOutInterface && outAlt >= 0) outResult = mpOutInterface->getAlternateSetting(outAlt);
        if (!inResult) {
            outResult = nullptr;
            return false;
        }
        if (!outResult) {
            inResult = nullptr;
            return false;
        }
        return true;
    }

    const bool canAbove96k = !featuresLoadedWithout(mIds, eSpecFeature_Can192);
    int step = -1; // -1: the wanted setting; 0: the 2-by-2 attempt; then the ladder
    for (;;) {
        if (mpInInterface && ins > 0)
            inResult = mpInInterface->findAlternateSetting(uint32_t(rate), ins, inBits, mIds);
        if (mpOutInterface && outs > 0)
            outResult = mpOutInterface->findAlternateSetting(uint32_t(rate), outs, outBits, mIds);
        const bool in = mpInInterface != nullptr, out = mpOutInterface != nullptr;
        bool ok = (in && inResult && !out) || (!in && out && outResult) ||
                  (in && out && inResult && outResult) || (!in && !out) ||
                  (ins == 0 && out && outResult) || (in && inResult && outs == 0);
        if (ok) {
            if (inResult) IOLog("frequ %d, chan in %d, res %d\n", rate, ins, inBits);
            if (!in && ins > 0) ins = inBits = 0;
            if (outResult) IOLog("chan out %d, res %d\n", outs, outBits);
            if (!out && outs > 0) outs = outBits = 0;
            IOLog("EXIT tryFindInterfaces SUCCESS\n");
            return true;
        }
        inResult = outResult = nullptr;

        ++step;
        if (step == 0) {
            rate = 44100;
            ins = outs = 2;
            inBits = outBits = 16;
            continue;
        }
        // Ladder position step - 1: every resolution of one rate, then the
        // next rate. The given counts again on every rung.
        int rung = step - 1;
        int r = rung / 4, b = rung % 4;
        if (r >= int(sizeof kRateLadder / sizeof kRateLadder[0]) ||
            (!canAbove96k && kRateLadder[r] > 96000)) {
            IOLog("EXIT tryFindInterfaces FAILED\n");
            return false;
        }
        rate = kRateLadder[r];
        ins = givenIns;
        outs = givenOuts;
        inBits = outBits = kBitsLadder[b];
    }
}
