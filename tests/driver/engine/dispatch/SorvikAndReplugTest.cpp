// The Sorvik map, configuration and name against the Sorvik control-plane
// model, and the requests that make a device leave the bus and come back.
#include "DispatchFixture.h"

#include <string>

#include "abi/AudioSM.h"
#include "driver/engine/desc/ZrConfigurationDescriptor.h"
#include "platform/base/HXLog.h"

namespace {

using namespace dispatchtest;
using hx::usb::devices::SorvikModel;

constexpr std::array<uint8_t, 8> kUID = {1, 2, 3, 4, 5, 6, 7, 8};

std::shared_ptr<SorvikModel> sorvik(uint16_t product, uint16_t release = 0x0100) {
    return std::make_shared<SorvikModel>(
        uint8_t(kUSBHostConnectionSpeedHigh),
        hx::usb::devices::HX5100Identity{kSorvikVendorID, product, release, "S", "P", "1"}, kUID,
        "Studio A");
}

TEST(Sorvik, UIDAndNameAreReadAtStartAndPublished) {
    for (uint16_t product : {kSorvikFarlane1ProductIDs[0], kSorvikFarlane2ProductIDs[6]}) {
        SCOPED_TRACE(product);
        Device d(sorvik(product));
        ASSERT_TRUE(d.svc);
        EXPECT_EQ(d.bytesProperty("SorvikUID"), std::vector<uint8_t>(kUID.begin(), kUID.end()));
        auto name = d.bytesProperty("SorvikDeviceName");
        ASSERT_EQ(name.size(), 32u);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(name.data())), "Studio A");
        QN_Dispatch uid = Device::record(67);
        EXPECT_EQ(d.call(uid), kIOReturnSuccess);
        EXPECT_EQ(std::memcmp(&uid.data, kUID.data(), 8), 0);
        QN_Dispatch n = Device::record(70);
        std::memset(&n.data, 0x77, 40);
        EXPECT_EQ(d.call(n), kIOReturnSuccess);
        EXPECT_EQ(std::string(n.data.cString), "Studio A");
        EXPECT_EQ(uint8_t(n.data.cString[32]), 0);
        EXPECT_EQ(uint8_t(n.data.cString[33]), 0x77);
    }
}

// An audio client's own ring, laid out by the kernel at attach (Req 2), has
// the extra bytes per frame of the device it serves: 2 on the first
// generation, 4 on the later products, none elsewhere. Seen through the
// user's own mapping.
TEST(Sorvik, ClientRingExtraBytesFollowTheProduct) {
    struct Case {
        uint16_t vendor, product;
        uint32_t extra;
    } cases[] = {
        {kSorvikVendorID, kSorvikFarlane1ProductIDs[0], 2},
        {kSorvikVendorID, kSorvikFarlane1ProductIDs[3], 2},
        {kSorvikVendorID, kSorvikFarlane2ProductIDs[0], 4},
        {kSorvikVendorID, kSorvikFarlane2ProductIDs[6], 4},
        {kKorvexVendorID, kKorvexHX5100ProductID, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.product);
        Device d(std::make_shared<SorvikModel>(
            uint8_t(kUSBHostConnectionSpeedHigh),
            hx::usb::devices::HX5100Identity{k.vendor, k.product, 0x0100, "S", "P", "1"}, kUID,
            "Studio A"));
        ASSERT_TRUE(d.svc);
        d.openNoUpdater();
        IOUserClient* a = d.user.open(d.svc.svc, 0);
        ASSERT_NE(a, nullptr);
        const io_connect_t conn = d.user.connection(a);
        mach_vm_address_t ring = 0;
        mach_vm_size_t size = 0;
        ASSERT_EQ(hx::kern::connectionMap(conn, 5, &ring, &size), kIOReturnSuccess);
        OSXDispatch rec{};
        rec.iReq = 2;
        rec.frameSize = 512;
        size_t outSize = sizeof rec;
        hx::kern::ConnectionCall call;
        call.structInput = &rec;
        call.structInputSize = sizeof rec;
        call.structOutput = &rec;
        call.structOutputSize = &outSize;
        ASSERT_EQ(hx::kern::connectionCall(conn, 0, call), kIOReturnSuccess);
        auto* user = reinterpret_cast<AudioSM*>(ring);
        const uint32_t perFrame =
            audiosm::load32(AUDIOSM_CAT(user, AudioSM, mExtraBytesPerFrame), __ATOMIC_ACQUIRE);
        const uint32_t total =
            audiosm::load32(AUDIOSM_CAT(user, AudioSM, mExtraBytes), __ATOMIC_ACQUIRE);
        EXPECT_EQ(perFrame, k.extra);
        EXPECT_EQ(total == 0, k.extra == 0);
        EXPECT_EQ(total % (k.extra ? k.extra : 1), 0u);
        EXPECT_EQ(d.dev->clientRingExtraBytes(), k.extra);
    }
}

TEST(Sorvik, AStalledReadGivesZeros) {
    Rig pre; // faults belong to the port: armed before the plug
    auto model = sorvik(kSorvikFarlane1ProductIDs[1]);
    OSDictionary* p =
        ZrMakeDriverPersonality(kSorvikVendorID, kSorvikFarlane1ProductIDs[1], nullptr);
    hx::kern::addPersonality(p);
    p->release();
    hx::usb::RequestMatch m;
    m.requestType = 0xC0;
    m.index = 0;
    m.value = 0;
    m.request = 0;
    pre.bus().addFault(1, m, hx::usb::Fault::stall());
    m.request = 1;
    pre.bus().addFault(1, m, hx::usb::Fault::stall());
    const uint8_t port = pre.plug(model);
    ServiceRef svc = pre.service(port);
    ASSERT_TRUE(svc);
    EXPECT_EQ(std::vector<uint8_t>(svc->getDevice()->getSorvikUID(),
                                   svc->getDevice()->getSorvikUID() + 8),
              std::vector<uint8_t>(8, 0));
    EXPECT_EQ(svc->getDevice()->getSorvikDeviceName()[0], 0);
    svc.reset();
    pre.unplug(port);
}

TEST(Sorvik, TheNameIsSentStoredAndAnnounced) {
    Device d(sorvik(kSorvikFarlane1ProductIDs[2]));
    ASSERT_TRUE(d.svc);
    const std::string longest(31, 'n');
    QN_Dispatch set = Device::record(71);
    std::memcpy(set.data.cString, longest.c_str(), 32);
    d.model->clearTrace();
    EXPECT_EQ(d.call(set), kIOReturnSuccess);
    EXPECT_EQ(requestsOf(*d.model), (std::vector<Req>{{0x40, 1, 0, 0, 32}}));
    EXPECT_EQ(static_cast<SorvikModel&>(*d.model).name(), longest);
    EXPECT_EQ(d.stateCodes().back(), uint32_t(STC_SorvikNameChanged));
    // 32 characters or none: nothing sent.
    for (size_t length : {size_t(32), size_t(0)}) {
        QN_Dispatch bad = Device::record(71);
        std::memset(bad.data.cString, 'q', length);
        d.model->clearTrace();
        EXPECT_EQ(d.call(bad), kIOReturnBadArgument);
        EXPECT_TRUE(d.model->trace().empty());
    }
    // A failed send: success, the name kept, no state change.
    hx::usb::RequestMatch m;
    m.requestType = 0x40;
    m.request = 1;
    d.rig.bus().addFault(d.port, m, hx::usb::Fault::stall());
    const size_t states = d.stateCodes().size();
    QN_Dispatch other = Device::record(71);
    std::strcpy(other.data.cString, "Other");
    EXPECT_EQ(d.call(other), kIOReturnSuccess);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.dev->getSorvikDeviceName())), longest);
    EXPECT_EQ(d.stateCodes().size(), states);
}

TEST(Sorvik, TheMapGoesToTheInputThenTheOutputInterfaceOnMapCapableProductsOnly) {
    // The first generation configures only from its own descriptors, which
    // the model does not have: the streaming interfaces a configuration
    // would choose are chosen here.
    Device d(sorvik(kSorvikFarlane1ProductIDs[3]));
    ASSERT_TRUE(d.svc);
    ZrConfigurationDescriptor* config = d.dev->getConfigurationDescriptor(0);
    ASSERT_NE(config, nullptr);
    d.dev->getConfigurations().mpInInterface = config->findAudioStreamingInInterface();
    d.dev->getConfigurations().mpOutInterface = config->findAudioStreamingOutInterface();
    auto& model = static_cast<SorvikModel&>(*d.model);
    const auto before = model.mapOrder().size();
    QN_Dispatch set = Device::record(66);
    for (int i = 0; i < 8; ++i) {
        set.data.cQN_Sorvik_ChannelMap.mEInputMap[i] = 0x100 + i;
        set.data.cQN_Sorvik_ChannelMap.mEOutputMap[i] = 7 - i;
    }
    EXPECT_EQ(d.call(set), kIOReturnSuccess);
    auto order = model.mapOrder();
    ASSERT_EQ(order.size(), before + 2);
    EXPECT_EQ(order[before], 2); // the input interface
    EXPECT_EQ(order[before + 1], 1);
    EXPECT_EQ(model.channelMap(2), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(model.channelMap(1), (std::vector<uint8_t>{7, 6, 5, 4, 3, 2, 1, 0}));
    auto mapping = d.bytesProperty("SorvikMapping");
    ASSERT_EQ(mapping.size(), 84u);
    EXPECT_EQ(qnReadU32(mapping.data(), 0), 48000u);
    EXPECT_EQ(qnReadU32(mapping.data(), 4), 2u);
    EXPECT_EQ(qnReadU32(mapping.data(), 20), 0x100u);
    EXPECT_EQ(d.stateCodes().back(), uint32_t(STC_SorvikChannelMapChanged));
    QN_Dispatch get = Device::record(65);
    EXPECT_EQ(d.call(get), kIOReturnSuccess);
    EXPECT_EQ(get.data.cQN_Sorvik_ChannelMap.mEInputMap[3], 0x103);
}

TEST(Sorvik, TheHX5100TakesNoMap) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.model->clearTrace();
    const size_t states = d.stateCodes().size();
    QN_Dispatch set = Device::record(66);
    set.data.cQN_Sorvik_ChannelMap.mEInputMap[0] = 5;
    EXPECT_EQ(d.call(set), kIOReturnSuccess);
    EXPECT_TRUE(d.model->trace().empty());
    EXPECT_TRUE(d.bytesProperty("SorvikMapping").empty());
    EXPECT_EQ(d.stateCodes().size(), states);
    EXPECT_EQ(set.data.cQN_Sorvik_ChannelMap.mEInputMap[0], 0);
}

TEST(Sorvik, ConfigAndMapIsCheckedAgainstTheBandwidthTable) {
    // The table follows the release (below 2: table A); an HX-5100 of
    // release 1 configures on the model.
    auto identity = hx5100Identity();
    identity.release = 1;
    Device d(std::make_shared<HX5100Model>(uint8_t(kUSBHostConnectionSpeedHigh), identity));
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    struct Case {
        QN_DeviceConfiguration c;
        IOReturn result;
    } cases[] = {
        {{48000, 2, 24, 2, 24}, kIOReturnSuccess},
        {{48000, 8, 24, 2, 24}, kIOReturnBadArgument}, // 65535 in
        {{48000, 9, 16, 2, 16}, kIOReturnBadArgument}, // no row for 9
        {{0, 2, 24, 2, 24}, kIOReturnBadArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.c.numInputs);
        QN_Dispatch rec = Device::record(68);
        rec.data.cQN_Sorvik_ConfigAndMap.cConfig = c.c;
        EXPECT_EQ(d.call(rec), c.result);
        // The union holds the configuration in force.
        EXPECT_EQ(rec.data.cQN_Sorvik_ConfigAndMap.cConfig.numInputs, 2u);
        EXPECT_EQ(rec.data.cQN_Sorvik_ConfigAndMap.cConfig.samplerate, 48000u);
        EXPECT_EQ(d.dev->getCurrentSettings().InChannels, 2u);
        EXPECT_TRUE(d.dev->isStreamingStarted());
    }
}

TEST(Sorvik, AnAcceptedConfigAndMapReconfiguresTheHX5100AndRestarts) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    ASSERT_TRUE(d.stream(stereo24(48000)));
    const size_t states = d.stateCodes().size();
    QN_Dispatch rec = Device::record(68);
    rec.data.cQN_Sorvik_ConfigAndMap.cConfig = {96000, 2, 24, 2, 24};
    EXPECT_EQ(d.call(rec), kIOReturnSuccess);
    EXPECT_EQ(rec.data.cQN_Sorvik_ConfigAndMap.cConfig.samplerate, 96000u);
    EXPECT_TRUE(d.dev->isStreamingStarted());
    auto codes = d.stateCodes();
    EXPECT_NE(std::find(codes.begin() + long(states), codes.end(), uint32_t(STC_NewConfig)),
              codes.end());
    EXPECT_EQ(d.model->sampleRate(), 96000u);
}

// The service ends (every client told), and a new one starts on the port.
void expectReEnumerated(Device& d, ZrKernelDeviceKorvexHX5100* old) {
    hx::kern::waitQuiet();
    bool told = false;
    for (const QN_StateChange& s : d.stateRecords())
        told |= s.mCode == STC_ServiceTerminates;
    EXPECT_TRUE(told);
    for (int i = 0; i < 200 && (!d.rig.service(d.port) || d.rig.service(d.port).svc == old); ++i) {
        IOSleep(5);
        hx::kern::waitQuiet();
    }
    ServiceRef now = d.rig.service(d.port);
    ASSERT_TRUE(now);
    EXPECT_NE(now.svc, old);
    EXPECT_NE(now->getDevice(), nullptr);
}

TEST(ReEnumeration, RequestSeventySixRestartsTheServiceOnItsPort) {
    Device d;
    ASSERT_TRUE(d.svc);
    d.openNoUpdater();
    QN_Dispatch codec = Device::record(42);
    codec.data.cWMCodecRequest = {0, 3, 0x44};
    EXPECT_EQ(d.call(codec), kIOReturnSuccess);
    hx::log::Capture log;
    QN_Dispatch rec = Device::record(76);
    EXPECT_EQ(d.call(rec), kIOReturnSuccess);
    EXPECT_NE(log.text().find("EQN_ReEnumerateDevice\n"), std::string::npos);
    ZrKernelDeviceKorvexHX5100* old = d.svc.svc;
    expectReEnumerated(d, old);
    EXPECT_EQ(d.model->codecRegister(0, 3), 0x44); // the device kept its registers
}

TEST(ReEnumeration, TheReplugCommandIsAcknowledgedThenTheDeviceComesBack) {
    Device d;
    ASSERT_TRUE(d.svc);
    EXPECT_TRUE(d.svc->getDevice()->sendReplugCommand());
    expectReEnumerated(d, d.svc.svc);
}

} // namespace
