// The converter, post-processor and mixer choices of a configuration, as
// tables of device, counts, routing and resolution against the member chosen.
#include "driver/engine/config/ZrConfigControls.h"
#include "driver/engine/config/ZrTranscoderChoice.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

struct SharedArea {
    std::unique_ptr<DriverSM> sm{new DriverSM{}};
    DriverData* dd = DriverData::create(sm.get());
    ~SharedArea() { dd->release(); }
};

APISpecificFeatures featuresWith(unsigned flag) {
    APISpecificFeatures f{};
    f.mFlags[flag] = 1;
    f.mLoaded = 1;
    return f;
}

TEST(ConfigChoice, OutputMixerByOutputCountGoesToTheClientMixer) {
    const struct {
        uint32_t out;
        OUT_MIXER_FNC mixer;
    } cases[] = {
        {6, outMixer6CH}, {4, outMixer4CH}, {2, outMixer2CH},
        {3, nullptr},     {0, nullptr},     {8, nullptr},
    };
    SharedArea a;
    for (const auto& c : cases) {
        a.dd->setOutMixer(outMixer6CH == c.mixer ? outMixer2CH
                                                 : outMixer6CH); // something else first
        EXPECT_EQ(ZrChooseOutMixer(c.out, *a.dd), c.mixer) << c.out;
        EXPECT_EQ(a.dd->outMixer(), c.mixer) << c.out;
    }
}

TEST(ConfigChoice, InputPostprocessorTable) {
    const ZrDeviceTraits hx{kZrProductHX5100, true};
    const ZrDeviceTraits lx420{kZrProductLX420, true};
    const ZrDeviceTraits lx150{kZrProductLX150, true};
    const struct {
        const char* name;
        ZrDeviceTraits device;
        uint32_t in;
        uint32_t route0, route1;
        uint8_t lock;
        INPUT_POSTPROCESS_FNC expected;
    } cases[] = {
        {"HX5100 4 in", hx, 4, 0, 1, 0, postprocessLX420_4_BugFix},
        {"HX5100 2 in", hx, 2, 0, 1, 0, nullptr},
        {"HX5100 6 in", hx, 6, 0, 1, 0, nullptr},
        {"HX5100 4 in locked", hx, 4, 0, 1, 1, nullptr},
        {"HX5100 full speed", {kZrProductHX5100, false}, 4, 0, 1, 0, nullptr},
        {"LX420 6 in", lx420, 6, 0, 1, 0, postprocessLX420_6_BugFix},
        {"LX420 4 in", lx420, 4, 0, 1, 0, postprocessLX420_4_BugFix},
        {"LX420 2 in", lx420, 2, 0, 1, 0, nullptr},
        {"LX150 1,0", lx150, 4, 1, 0, 0, postprocessLX150_10},
        {"LX150 1,1", lx150, 4, 1, 1, 0, postprocessLX150_11},
        {"LX150 1,2", lx150, 4, 1, 2, 0, nullptr},
        {"LX150 0,0", lx150, 4, 0, 0, 0, postprocessLX150_00},
        {"LX150 0,1", lx150, 4, 0, 1, 0, nullptr},
        {"LX150 locked 0,0", lx150, 4, 0, 0, 1,
         postprocessLX150_00}, // routing rows come before the lock
        {"KSV0", {kZrProductKSV0, true}, 4, 0, 1, 0, postprocessKSV0BugFix},
        {"Pellix", {kZrProductPellix, true}, 6, 0, 1, 0, postprocessPellixBugFix},
        {"Pellix locked", {kZrProductPellix, true}, 6, 0, 1, 1, nullptr},
        {"unlisted", {0, true}, 4, 0, 1, 0, nullptr},
    };
    for (const auto& c : cases) {
        QnAjExtData aj{};
        aj.setDefaults();
        aj.mRoutingIn[0] = c.route0;
        aj.mRoutingIn[1] = c.route1;
        aj.mDigitalLock = c.lock;
        hx::log::Capture log;
        EXPECT_EQ(ZrChooseInputPostprocessor(c.device, c.in, aj), c.expected) << c.name;
        const std::string text = log.text();
        EXPECT_NE(text.find("ZrDevice::chooseInputPostprocessor(), lock=" + std::to_string(c.lock)),
                  std::string::npos)
            << c.name;
        EXPECT_EQ(text.find("mInputPostProcessor = 0;\n") != std::string::npos,
                  c.expected == nullptr)
            << c.name;
    }
}

// A 4-input configuration followed by a 2-input one must not keep the
// 4-channel fix-up: it would silence input channels 2 and 3 of the stereo
// stream's frames.
TEST(ConfigChoice, ANewInputCountWithoutARowClearsTheEarlierPostprocessor) {
    for (uint32_t product : {uint32_t(kZrProductHX5100), uint32_t(kZrProductLX420)}) {
        SharedArea a;
        a.sm->mAjExtData.setDefaults();
        a.sm->mChannelSettings = {48000, 4, 24, 4, 24, 1};
        ZrConfigControls controls({product, true}, a.sm.get(), *a.dd, {});
        controls.setReadChannels(4, 4);
        EXPECT_EQ(controls.chooseInputPostprocessor(), postprocessLX420_4_BugFix);
        controls.setReadChannels(2, 2);
        EXPECT_EQ(controls.chooseInputPostprocessor(), nullptr);
        EXPECT_EQ(controls.inputPostProcessor(), nullptr);
    }
}

TEST(ConfigChoice, SixInputRoutingPicksTheMemberNamedByTheDigits) {
    const ZrDeviceTraits lx610{kZrProductLX610, true};
    const struct {
        uint32_t a, b, c;
        INPUT_POSTPROCESS_FNC expected;
        const char* log;
    } cases[] = {
        {0, 1, 2, postprocessLX610_012, nullptr},
        {0, 0, 0, postprocessLX610_000, nullptr},
        {2, 2, 2, postprocessLX610_222, nullptr},
        {1, 0, 2, postprocessLX610_102, nullptr},
        {2, 1, 0, postprocessLX610_210, nullptr},
        {0x10, 0x21, 0x02, postprocessLX610_012, nullptr}, // two low bits only
        {0, 3, 2, nullptr, "choose6InputPostprocessor: mInputPostProcessor = 0 Bitmap=032\n"},
        {3, 3, 3, nullptr,
         "choose6InputPostprocessor: mInputPostProcessor = 0 Bitmap=077\n"}, // 333 mod 256
    };
    for (const auto& c : cases) {
        QnAjExtData aj{};
        aj.mRoutingIn[0] = c.a;
        aj.mRoutingIn[1] = c.b;
        aj.mRoutingIn[2] = c.c;
        hx::log::Capture log;
        EXPECT_EQ(ZrChoose6InputPostprocessor(lx610, aj), c.expected) << c.a << c.b << c.c;
        if (c.log) {
            EXPECT_NE(log.text().find(c.log), std::string::npos) << log.text();
        }
    }
    hx::log::Capture log;
    QnAjExtData aj{};
    EXPECT_EQ(ZrChoose6InputPostprocessor({kZrProductLX610, false}, aj), nullptr);
    EXPECT_EQ(ZrChoose6InputPostprocessor({kZrProductHX5100, true}, aj), nullptr);
    EXPECT_NE(log.text().find("choose6InputPostprocessor: mInputPostProcessor = 0 bad device\n"),
              std::string::npos);
}

TEST(ConfigChoice, OutputEncoderTable) {
    static const APISpecificFeatures f17 = featuresWith(17);
    const struct {
        const char* name;
        ZrDeviceTraits device;
        uint32_t bits, out, route0, route1;
        USB_ENC_FNC expected;
    } cases[] = {
        {"HX5100 24", {kZrProductHX5100, true}, 24, 2, 0, 1, pcmTo24LSB},
        {"HX5100 24 full speed", {kZrProductHX5100, false}, 24, 4, 0, 1, pcmTo24LSB},
        {"16", {kZrProductHX5100, true}, 16, 2, 0, 1, pcmTo16LSB},
        {"Kestrel 16 2ch", {kZrProductKestrel, true}, 16, 2, 0, 1, pcmTo16LSBChannelSwap},
        {"Kestrel 16 1ch", {kZrProductKestrel, true}, 16, 1, 0, 1, pcmTo16LSB},
        {"20", {0, true}, 20, 2, 0, 1, pcmTo20LSB},
        {"28", {kZrProductHX5100, true}, 28, 2, 0, 1, nullptr},
        {"0", {kZrProductHX5100, true}, 0, 2, 0, 1, nullptr},
        {"bulk 4", {kZrProductMerrowBulk, true}, 24, 4, 0, 1, pcmTo24Merrow4CH},
        {"bulk 6", {kZrProductMerrowBulk, true}, 24, 6, 0, 1, pcmTo24Merrow6CH},
        {"bulk 8", {kZrProductMerrowBulk, true}, 24, 8, 0, 1, nullptr},
        {"bulk 10", {kZrProductMerrowBulk, true}, 24, 10, 0, 1, pcmTo24LSB},
        {"bulk 14", {kZrProductMerrowBulk, true}, 24, 14, 0, 1, pcmTo24LSB},
        {"bulk 16", {kZrProductMerrowBulk, true}, 24, 16, 0, 1, nullptr},
        {"bulk 2", {kZrProductMerrowBulk, true}, 24, 2, 0, 1, pcmTo24LSB},
        {"bulk 5", {kZrProductMerrowBulk, true}, 24, 5, 0, 1, pcmTo24LSB},
        {"Kestrel 24 1ch", {kZrProductKestrel, true}, 24, 1, 0, 1, pcmTo24Kestrel},
        {"Kestrel 24 2ch", {kZrProductKestrel, true}, 24, 2, 0, 1, pcmTo24LSBChannelSwap},
        {"Kestrel-like 1ch", {kZrProductKestrelLike, true}, 24, 1, 0, 1, pcmTo24Kestrel},
        {"Kestrel-like 2ch", {kZrProductKestrelLike, true}, 24, 2, 0, 1, pcmTo24LSB},
        {"TUSB MSB", {kZrProductTUSBMSB, true}, 24, 2, 0, 1, pcmTo24TUSBMSB},
        {"TUSB 2ch", {kZrProductTUSB2ch, true}, 24, 2, 0, 1, pcmTo24TUSB2ch},
        {"f17 1,1", {0, true, &f17}, 24, 4, 1, 1, pcmTo24LSB_LX150_11},
        {"f17 1,0", {0, true, &f17}, 24, 4, 1, 0, pcmTo24LSB_LX150_10},
        {"f17 0,0", {0, true, &f17}, 24, 4, 0, 0, pcmTo24LSB_LX150_00},
        {"f17 0,1", {0, true, &f17}, 24, 4, 0, 1, pcmTo24LSB},
        {"f17 full speed", {0, false, &f17}, 24, 4, 1, 1, pcmTo24LSB},
        {"no f17", {0, true}, 24, 4, 1, 1, pcmTo24LSB},
        {"32", {kZrProductHX5100, true}, 32, 2, 0, 1, pcmTo32LSB},
        {"Farlane 32", {kZrProductSorvikFarlane, true}, 32, 2, 0, 1, pcmTo32Msb},
    };
    for (const auto& c : cases) {
        QnChannelSettings s{48000, 2, c.bits, c.out, c.bits, 1};
        QnAjExtData aj{};
        aj.mRoutingOut[0] = c.route0;
        aj.mRoutingOut[1] = c.route1;
        EXPECT_EQ(ZrISOOutEncoderFor(c.device, c.out, s, aj), c.expected) << c.name;
    }
}

TEST(ConfigChoice, EncoderAndChannelCountsGoToTheClientMixerOnlyWithASharedArea) {
    SharedArea a;
    a.sm->mChannelSettings = {96000, 0, 24, 4, 24, 1};
    a.dd->setConverters(pcmTo16LSB, {44100, 6, 16, 6, 16, 1});
    EXPECT_EQ(ZrChooseISOOutEncoder({kZrProductHX5100, true}, 4, nullptr, *a.dd), nullptr);
    EXPECT_EQ(a.dd->converter(), pcmTo16LSB); // untouched without a shared area
    EXPECT_EQ(ZrChooseISOOutEncoder({kZrProductHX5100, true}, 4, a.sm.get(), *a.dd), pcmTo24LSB);
    EXPECT_EQ(a.dd->converter(), pcmTo24LSB);
    EXPECT_EQ(a.dd->inputChannels(), 1u); // no inputs still mixes one channel's worth
    EXPECT_EQ(a.dd->outputChannels(), 4u);
    a.sm->mChannelSettings.OutResolution = 28;
    EXPECT_EQ(ZrChooseISOOutEncoder({kZrProductHX5100, true}, 4, a.sm.get(), *a.dd), nullptr);
    EXPECT_EQ(a.dd->converter(), nullptr);
}

TEST(ConfigChoice, WireConvertersByResolutionAndDevice) {
    const struct {
        const char* name;
        uint32_t products;
        QnChannelSettings s;
        USB_DEC_FNC in;
        USB_ENC_FNC out;
    } cases[] = {
        {"HX5100 24/24", kZrProductHX5100, {48000, 2, 24, 2, 24, 1}, pcmFrom24LSB, pcmTo24LSB},
        {"HX5100 16/16", kZrProductHX5100, {48000, 4, 16, 4, 16, 1}, pcmFrom16LSB, pcmTo16LSB},
        {"no inputs: output resolution",
         kZrProductHX5100,
         {48000, 0, 16, 2, 24, 1},
         pcmFrom24LSB,
         pcmTo24LSB},
        {"no outputs: input resolution",
         kZrProductHX5100,
         {48000, 2, 20, 0, 16, 1},
         pcmFrom20LSB,
         pcmTo20LSB},
        {"32", 0, {48000, 2, 32, 2, 32, 1}, pcmFrom32LSB, pcmTo32LSB},
        {"Farlane 32", kZrProductSorvikFarlane, {48000, 2, 32, 2, 32, 1}, pcmFrom32Msb, pcmTo32LSB},
        {"28", 0, {48000, 2, 28, 2, 28, 1}, nullptr, nullptr},
        {"Tolvane 2ch",
         kZrProductTolvane,
         {48000, 2, 24, 2, 24, 1},
         pcmFrom24LSBChannelSwap,
         pcmTo24LSBChannelSwap},
        {"Tolvane 1ch",
         kZrProductTolvane,
         {48000, 1, 24, 1, 24, 1},
         pcmFrom24Kestrel,
         pcmTo24Kestrel},
        {"Tolvane 16 2ch",
         kZrProductTolvane,
         {48000, 2, 16, 2, 16, 1},
         pcmFrom16LSBChannelSwap,
         pcmTo16LSBChannelSwap},
        {"MI4 4ch",
         kZrProductMI4,
         {48000, 4, 24, 4, 24, 1},
         pcmFrom24LSBChannelSwapMI_4,
         pcmTo24LSB},
        {"MI4 16 4ch",
         kZrProductMI4,
         {48000, 4, 16, 4, 16, 1},
         pcmFrom16LSBChannelSwapMI_4,
         pcmTo16LSB},
        {"TUSB MSB", kZrProductTUSBMSB, {48000, 2, 24, 2, 24, 1}, pcmFrom24TUSBMSB, pcmTo24TUSBMSB},
        {"Trunk pair",
         kZrProductTUSB2ch,
         {48000, 2, 24, 2, 24, 1},
         pcmFrom24TUSB2ch,
         pcmTo24TUSB2ch},
        {"bulk 8", kZrProductMerrowBulk, {48000, 8, 24, 8, 24, 1}, nullptr, nullptr},
        {"bulk 4", kZrProductMerrowBulk, {48000, 4, 24, 4, 24, 1}, nullptr, pcmTo24Merrow4CH},
        {"bulk 12", kZrProductMerrowBulk, {48000, 4, 24, 12, 24, 1}, nullptr, pcmTo24LSB},
    };
    for (const auto& c : cases) {
        const ZrConverters got = ZrChooseConverters({c.products, true}, c.s);
        EXPECT_EQ(got.input, c.in) << c.name;
        EXPECT_EQ(got.output, c.out) << c.name;
    }
}

TEST(ConfigChoice, ProductFlagsOnlyForTheListedHX5100) {
    EXPECT_EQ(ZrConfigProductFlagsFor(0x2F4B, 0x5100), uint32_t(kZrProductHX5100));
    EXPECT_EQ(ZrConfigProductFlagsFor(0x2F4B, 0x5101), 0u);
    EXPECT_EQ(ZrConfigProductFlagsFor(0x1D5A, 0x5100), 0u);
}

} // namespace
