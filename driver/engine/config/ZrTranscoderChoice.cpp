#include "driver/engine/config/ZrTranscoderChoice.h"

#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"

OUT_MIXER_FNC ZrOutMixerFor(uint32_t outputChannels) {
    switch (outputChannels) {
    case 6:
        return outMixer6CH;
    case 4:
        return outMixer4CH;
    case 2:
        return outMixer2CH;
    default:
        return nullptr;
    }
}

OUT_MIXER_FNC ZrChooseOutMixer(uint32_t outputChannels, DriverData& driverData) {
    OUT_MIXER_FNC mixer = ZrOutMixerFor(outputChannels);
    if (outputChannels == 6)
        IOLog("Set outMixer6CH\n");
    else if (outputChannels == 4)
        IOLog("Set outMixer4CH\n");
    else if (outputChannels == 2)
        IOLog("Set outMixer 2CH from ZrDevice::chooseOutMixer\n");
    driverData.setOutMixer(mixer);
    return mixer;
}

namespace {

INPUT_POSTPROCESS_FNC choosePostprocessorRow(const ZrDeviceTraits& d, uint32_t in,
                                             const QnAjExtData& aj) {
    if (!d.highSpeed) return nullptr;
    if (d.is(kZrProductLX150)) {
        const uint32_t pair0 = aj.mRoutingIn[0], pair1 = aj.mRoutingIn[1];
        if (pair0 == 1)
            return pair1 == 0 ? postprocessLX150_10 : pair1 == 1 ? postprocessLX150_11 : nullptr;
        if (pair0 == 0 && pair1 == 0) return postprocessLX150_00;
        return nullptr;
    }
    if (aj.mDigitalLock) return nullptr;
    if (d.is(kZrProductKSV0)) {
        IOLog("input post processor for KSV0 with no digital in\n");
        return postprocessKSV0BugFix;
    }
    if (d.is(kZrProductPellix)) {
        IOLog("input post processor for Pellix with no digital 5 in and 6 inputs\n");
        return postprocessPellixBugFix;
    }
    if (d.is(kZrProductLX420)) {
        if (in == 6) {
            IOLog("input post processor for LX420 with no digital in and 6 inputs\n");
            return postprocessLX420_6_BugFix;
        }
        if (in == 4) {
            IOLog("input post processor for LX420 with no digital in and 4 inputs\n");
            return postprocessLX420_4_BugFix;
        }
        return nullptr;
    }
    if (d.is(kZrProductHX5100) && in == 4) {
        IOLog("input post processor for HX5100 with no digital in and 4 inputs\n");
        return postprocessLX420_4_BugFix;
    }
    return nullptr;
}

} // namespace

INPUT_POSTPROCESS_FNC ZrChooseInputPostprocessor(const ZrDeviceTraits& device,
                                                 uint32_t inputChannels, const QnAjExtData& ajExt) {
    IOLog("ZrDevice::chooseInputPostprocessor(), lock=%d\n", int(ajExt.mDigitalLock));
    INPUT_POSTPROCESS_FNC chosen = choosePostprocessorRow(device, inputChannels, ajExt);
    if (!chosen) IOLog("mInputPostProcessor = 0;\n");
    return chosen;
}

INPUT_POSTPROCESS_FNC ZrChoose6InputPostprocessor(const ZrDeviceTraits& device,
                                                  const QnAjExtData& ajExt) {
    // Indexed by a * 9 + b * 3 + c: output pair k takes input pair digit k.
    static constexpr INPUT_POSTPROCESS_FNC kLX610[27] = {
        postprocessLX610_000, postprocessLX610_001, postprocessLX610_002, postprocessLX610_010,
        postprocessLX610_011, postprocessLX610_012, postprocessLX610_020, postprocessLX610_021,
        postprocessLX610_022, postprocessLX610_100, postprocessLX610_101, postprocessLX610_102,
        postprocessLX610_110, postprocessLX610_111, postprocessLX610_112, postprocessLX610_120,
        postprocessLX610_121, postprocessLX610_122, postprocessLX610_200, postprocessLX610_201,
        postprocessLX610_202, postprocessLX610_210, postprocessLX610_211, postprocessLX610_212,
        postprocessLX610_220, postprocessLX610_221, postprocessLX610_222,
    };
    if (!(device.is(kZrProductLX610) && device.highSpeed)) {
        IOLog("choose6InputPostprocessor: mInputPostProcessor = 0 bad device\n");
        return nullptr;
    }
    const uint32_t a = ajExt.mRoutingIn[0] & 3, b = ajExt.mRoutingIn[1] & 3,
                   c = ajExt.mRoutingIn[2] & 3;
    if (a > 2 || b > 2 || c > 2) {
        IOLog("choose6InputPostprocessor: mInputPostProcessor = 0 Bitmap=%03d\n",
              int((a * 100 + b * 10 + c) % 256));
        return nullptr;
    }
    return kLX610[a * 9 + b * 3 + c];
}

USB_ENC_FNC ZrISOOutEncoderFor(const ZrDeviceTraits& d, uint32_t out,
                               const QnChannelSettings& settings, const QnAjExtData& aj) {
    switch (settings.OutResolution) {
    case 16:
        return d.is(kZrProductKestrel) && out == 2 ? pcmTo16LSBChannelSwap : pcmTo16LSB;
    case 20:
        return pcmTo20LSB;
    case 24: {
        if (d.is(kZrProductMerrowBulk)) {
            // Indexed by (channels - 4) / 2 for 4..16 even channels; 8 and 16
            // channels are packed by the bulk transport itself.
            static constexpr USB_ENC_FNC kBulk[7] = {pcmTo24Merrow4CH, pcmTo24Merrow6CH, nullptr,
                                                     pcmTo24LSB,       pcmTo24LSB,       pcmTo24LSB,
                                                     nullptr};
            if (out >= 4 && out <= 16 && out % 2 == 0) return kBulk[(out - 4) / 2];
            return pcmTo24LSB;
        }
        if (d.is(kZrProductKestrel) && (out == 1 || out == 2))
            return out == 1 ? pcmTo24Kestrel : pcmTo24LSBChannelSwap;
        if (d.is(kZrProductKestrelLike) && out == 1) return pcmTo24Kestrel;
        if (d.is(kZrProductTUSBMSB)) return pcmTo24TUSBMSB;
        if (d.is(kZrProductTUSB2ch)) return pcmTo24TUSB2ch;
        if (d.highSpeed && d.hasFeature(eSpecFeature_LX150Encoders)) {
            const uint32_t pair0 = aj.mRoutingOut[0], pair1 = aj.mRoutingOut[1];
            if (pair0 == 1 && pair1 == 1) return pcmTo24LSB_LX150_11;
            if (pair0 == 1 && pair1 == 0) return pcmTo24LSB_LX150_10;
            if (pair0 == 0 && pair1 == 0) return pcmTo24LSB_LX150_00;
        }
        return pcmTo24LSB;
    }
    case 32:
        return d.is(kZrProductSorvikFarlane) ? pcmTo32Msb : pcmTo32LSB;
    default:
        return nullptr;
    }
}

USB_ENC_FNC ZrChooseISOOutEncoder(const ZrDeviceTraits& device, uint32_t outputChannels,
                                  DriverSM* sharedArea, DriverData& driverData) {
    if (!sharedArea) return nullptr;
    USB_ENC_FNC encoder = ZrISOOutEncoderFor(device, outputChannels, sharedArea->mChannelSettings,
                                             sharedArea->mAjExtData);
    pcmRearmPlaceholders();
    driverData.setConverters(encoder, sharedArea->mChannelSettings);
    return encoder;
}

ZrConverters ZrChooseConverters(const ZrDeviceTraits& d, const QnChannelSettings& s) {
    const uint32_t inBits = s.InChannels ? s.InResolution : s.OutResolution;
    const uint32_t outBits = s.OutChannels ? s.OutResolution : inBits;
    const uint32_t in = s.InChannels, out = s.OutChannels;
    const bool kestrelForm = d.is(kZrProductMI4 | kZrProductKestrelLike | kZrProductTolvane);
    ZrConverters c;

    switch (inBits) {
    case 16:
        c.input = d.is(kZrProductMI4) && in == 4       ? pcmFrom16LSBChannelSwapMI_4
                  : d.is(kZrProductTolvane) && in == 2 ? pcmFrom16LSBChannelSwap
                                                       : pcmFrom16LSB;
        break;
    case 20:
        c.input = pcmFrom20LSB;
        break;
    case 24:
        if (d.is(kZrProductMerrowBulk))
            c.input = nullptr;
        else if (d.is(kZrProductTUSBMSB))
            c.input = pcmFrom24TUSBMSB;
        else if (d.is(kZrProductMI4) && in == 4)
            c.input = pcmFrom24LSBChannelSwapMI_4;
        else if (kestrelForm && in == 1)
            c.input = pcmFrom24Kestrel;
        else if (d.is(kZrProductTolvane) && in == 2)
            c.input = pcmFrom24LSBChannelSwap;
        else if (d.is(kZrProductTUSB2ch))
            c.input = pcmFrom24TUSB2ch;
        else
            c.input = pcmFrom24LSB;
        break;
    case 32:
        if (d.is(kZrProductSorvikFarlane)) {
            IOLog("%s pcmFrom32Msb", "configureDevice");
            c.input = pcmFrom32Msb;
        } else {
            c.input = pcmFrom32LSB;
        }
        break;
    default:
        break;
    }

    switch (outBits) {
    case 16:
        c.output = d.is(kZrProductTolvane) && out == 2 ? pcmTo16LSBChannelSwap : pcmTo16LSB;
        break;
    case 20:
        c.output = pcmTo20LSB;
        break;
    case 24:
        if (d.is(kZrProductMerrowBulk)) {
            switch (out) {
            case 4:
                c.output = pcmTo24Merrow4CH;
                break;
            case 6:
                c.output = pcmTo24Merrow6CH;
                break;
            case 8:
            case 16:
                c.output = nullptr;
                break;
            default:
                c.output = pcmTo24LSB;
                break;
            }
        } else if (d.is(kZrProductTUSB2ch)) {
            c.output = pcmTo24TUSB2ch;
        } else if (d.is(kZrProductTUSBMSB)) {
            c.output = pcmTo24TUSBMSB;
        } else if (kestrelForm && out == 1) {
            c.output = pcmTo24Kestrel;
        } else if (d.is(kZrProductTolvane) && out == 2) {
            c.output = pcmTo24LSBChannelSwap;
        } else {
            c.output = pcmTo24LSB;
        }
        break;
    case 32:
        c.output = pcmTo32LSB;
        break;
    default:
        break;
    }
    pcmRearmPlaceholders();
    return c;
}
