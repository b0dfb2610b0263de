// The HX-5100 model on its own: the descriptor chain at both speeds, the
// standard answers, the class and vendor request table, and its state.
#include "platform/usb/devices/HX5100Model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using namespace StandardUSB;
using hx::usb::ControlResult;
using hx::usb::devices::HX5100Identity;
using hx::usb::devices::HX5100Model;

HX5100Identity identity(bool serial = true) {
    return hx::usb::devices::hx5100Identity(0x0102, serial ? "SN0042" : "");
}

struct Reply {
    ControlResult result;
    std::vector<uint8_t> bytes;
};

Reply send(HX5100Model& m, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
           uint16_t length, std::vector<uint8_t> out = {}) {
    DeviceRequest r{type, request, value, index, length};
    std::vector<uint8_t> data(length + 16, 0xEE); // guard bytes after wLength
    std::copy(out.begin(), out.begin() + std::min<size_t>(out.size(), length), data.begin());
    Reply reply{m.control(r, data.data()), {}};
    for (size_t i = length; i < data.size(); ++i)
        EXPECT_EQ(data[i], 0xEE) << "written past wLength";
    reply.bytes.assign(data.begin(), data.begin() + reply.result.length);
    return reply;
}

struct Walk {
    struct Alt {
        uint8_t number, alternate, cls, subclass;
        std::vector<const EndpointDescriptor*> endpoints;
        std::vector<uint8_t> followingTypes; // descriptor types after each endpoint
    };
    std::vector<Alt> alts;
};

Walk walk(const ConfigurationDescriptor* c) {
    Walk w;
    for (const Descriptor* d = getNextDescriptor(c, nullptr); d; d = getNextDescriptor(c, d)) {
        if (d->bDescriptorType == kDescriptorTypeInterface) {
            auto* i = reinterpret_cast<const InterfaceDescriptor*>(d);
            w.alts.push_back({i->bInterfaceNumber,
                              i->bAlternateSetting,
                              i->bInterfaceClass,
                              i->bInterfaceSubClass,
                              {},
                              {}});
        } else if (d->bDescriptorType == kDescriptorTypeEndpoint) {
            w.alts.back().endpoints.push_back(reinterpret_cast<const EndpointDescriptor*>(d));
            const Descriptor* next = getNextDescriptor(c, d);
            w.alts.back().followingTypes.push_back(next ? next->bDescriptorType : 0);
        }
    }
    return w;
}

class HX5100Descriptors : public ::testing::TestWithParam<uint8_t> {};

TEST_P(HX5100Descriptors, ChainHasTheInterfacesEndpointsAndPacketSizesTheDriverNeeds) {
    const uint8_t speed = GetParam();
    const bool high = speed == kUSBHostConnectionSpeedHigh;
    HX5100Model m(speed, identity());
    auto dd = m.deviceDescriptor();
    ASSERT_EQ(dd.size(), 18u);
    const auto* d = reinterpret_cast<const DeviceDescriptor*>(dd.data());
    EXPECT_EQ(+d->idVendor, kKorvexVendorID);
    EXPECT_EQ(+d->idProduct, kKorvexHX5100ProductID);
    EXPECT_EQ(+d->bcdDevice, 0x0102);
    EXPECT_EQ(d->bNumConfigurations, 1);
    EXPECT_EQ(d->iSerialNumber, 3);
    EXPECT_TRUE(m.configurationDescriptor(1).empty());

    auto cd = m.configurationDescriptor(0);
    const auto* c = reinterpret_cast<const ConfigurationDescriptor*>(cd.data());
    ASSERT_EQ(size_t(c->wTotalLength), cd.size());
    EXPECT_EQ(c->bNumInterfaces, 4);
    EXPECT_EQ(c->bConfigurationValue, 1);

    const Walk w = walk(c);
    ASSERT_EQ(w.alts.size(), 8u);
    // {interface, alternate, subclass, endpoint address or 0}
    const struct {
        uint8_t n, alt, sub, ep;
    } expected[] = {
        {0, 0, 1, 0}, {1, 0, 2, 0},    {1, 1, 2, 0x01}, {1, 2, 2, 0x01},
        {2, 0, 2, 0}, {2, 1, 2, 0x82}, {2, 2, 2, 0x82}, {3, 0, 3, 0x03},
    };
    for (size_t i = 0; i < w.alts.size(); ++i) {
        const Walk::Alt& a = w.alts[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(a.number, expected[i].n);
        EXPECT_EQ(a.alternate, expected[i].alt);
        EXPECT_EQ(a.cls, 255);
        EXPECT_EQ(a.subclass, expected[i].sub);
        if (!expected[i].ep) {
            EXPECT_TRUE(a.endpoints.empty());
            continue;
        }
        ASSERT_FALSE(a.endpoints.empty());
        const EndpointDescriptor* e = a.endpoints[0];
        EXPECT_EQ(e->bEndpointAddress, expected[i].ep);
        if (a.number == 3) continue;
        // Streaming: one asynchronous isochronous endpoint, polled every
        // (micro)frame, 9 bytes long and followed by its class-specific one.
        ASSERT_EQ(a.endpoints.size(), 1u);
        EXPECT_EQ(e->bLength, 9);
        EXPECT_EQ(getEndpointType(e), kEndpointTypeIsochronous);
        EXPECT_EQ((e->bmAttributes >> 2) & 3, 1);
        EXPECT_EQ(e->bInterval, 1);
        EXPECT_GE(getEndpointMaxPacketSize(e), high ? 26 * 6 : 50 * 6);
        EXPECT_EQ(a.followingTypes[0], kDescriptorTypeClassSpecificEndpoint);
    }
    const Walk::Alt& port = w.alts[7];
    ASSERT_EQ(port.endpoints.size(), 2u);
    EXPECT_EQ(getEndpointType(port.endpoints[0]), kEndpointTypeBulk);
    EXPECT_EQ(getEndpointMaxPacketSize(port.endpoints[0]), high ? 512 : 64);
    EXPECT_EQ(port.endpoints[1]->bEndpointAddress, 0x83);
    EXPECT_EQ(getEndpointType(port.endpoints[1]), kEndpointTypeInterrupt);
}

INSTANTIATE_TEST_SUITE_P(Speeds, HX5100Descriptors,
                         ::testing::Values(kUSBHostConnectionSpeedFull,
                                           kUSBHostConnectionSpeedHigh));

TEST(HX5100Model, StandardAnswersComeFromTheDescriptorsCutToWLength) {
    HX5100Model m(kUSBHostConnectionSpeedHigh, identity());
    Reply r = send(m, 0x80, kDeviceRequestGetDescriptor, 0x0100, 0, 8);
    EXPECT_EQ(r.result.status, kIOReturnSuccess);
    EXPECT_EQ(r.bytes,
              std::vector<uint8_t>(m.deviceDescriptor().begin(), m.deviceDescriptor().begin() + 8));
    r = send(m, 0x80, kDeviceRequestGetDescriptor, 0x0200, 0, 9);
    EXPECT_EQ(r.result.length, 9u);
    r = send(m, 0x80, kDeviceRequestGetDescriptor, 0x0200, 0, 0xFFFF);
    EXPECT_EQ(r.result.length, 159u);
    r = send(m, 0x80, kDeviceRequestGetDescriptor, 0x0302, 0x0409, 255);
    EXPECT_EQ(r.bytes, (std::vector<uint8_t>{16, 3, 'H', 0, 'X', 0, '-', 0, '5', 0, '1', 0, '0', 0,
                                             '0', 0}));
    r = send(m, 0x80, kDeviceRequestGetDescriptor, 0x0300, 0, 255);
    EXPECT_EQ(r.bytes, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));

    HX5100Model noSerial(kUSBHostConnectionSpeedFull, identity(false));
    EXPECT_EQ(reinterpret_cast<const DeviceDescriptor*>(noSerial.deviceDescriptor().data())
                  ->iSerialNumber,
              0);

    // Unknown descriptors, strings, languages and configurations stall.
    const struct {
        uint8_t type, request;
        uint16_t value, index, length;
    } stalls[] = {
        {0x80, kDeviceRequestGetDescriptor, 0x0201, 0, 9},        // configuration index 1
        {0x80, kDeviceRequestGetDescriptor, 0x0303, 0x0409, 255}, // serial on a device without one
        {0x80, kDeviceRequestGetDescriptor, 0x0302, 0x0407, 255}, // other language
        {0x80, kDeviceRequestGetDescriptor, 0x0600, 0, 10},       // device qualifier
        {0x00, kDeviceRequestSetConfiguration, 2, 0, 0},
        {0x01, kDeviceRequestSetInterface, 1, 1, 0}, // not configured yet
        {0x80, kDeviceRequestGetStatus, 0, 0, 2},
        {0x00, kDeviceRequestSetAddress, 5, 0, 0},
    };
    for (const auto& s : stalls) {
        Reply x = send(noSerial, s.type, s.request, s.value, s.index, s.length);
        EXPECT_EQ(x.result.status, kUSBHostReturnPipeStalled)
            << std::hex << (int)s.request << " " << s.value;
    }

    // Configuration, alternate settings and endpoint halts follow the data.
    EXPECT_EQ(send(m, 0x00, kDeviceRequestSetConfiguration, 1, 0, 0).result.status,
              kIOReturnSuccess);
    EXPECT_EQ(send(m, 0x80, kDeviceRequestGetConfiguration, 0, 0, 1).bytes,
              std::vector<uint8_t>{1});
    EXPECT_EQ(send(m, 0x02, kDeviceRequestClearFeature, 0, 0x01, 0).result.status,
              kUSBHostReturnPipeStalled);
    EXPECT_EQ(send(m, 0x01, kDeviceRequestSetInterface, 2, 1, 0).result.status, kIOReturnSuccess);
    EXPECT_EQ(m.alternateSetting(1), 2);
    EXPECT_EQ(send(m, 0x02, kDeviceRequestClearFeature, 0, 0x01, 0).result.status,
              kIOReturnSuccess);
    EXPECT_EQ(send(m, 0x01, kDeviceRequestSetInterface, 3, 1, 0).result.status,
              kUSBHostReturnPipeStalled);
    EXPECT_EQ(send(m, 0x01, kDeviceRequestSetInterface, 0, 4, 0).result.status,
              kUSBHostReturnPipeStalled);
    m.busReset();
    EXPECT_EQ(m.configurationValue(), 0);
    EXPECT_EQ(m.alternateSetting(1), std::nullopt);
}

TEST(HX5100Model, PowerOnStateIsFixed) {
    HX5100Model m(kUSBHostConnectionSpeedFull, identity());
    EXPECT_EQ(m.sampleRate(), 44100u);
    EXPECT_EQ(m.selectorByte(), 0x02);
    EXPECT_EQ(m.portRegister2(), 0x02);
    const uint8_t tx[] = {0x04, 0, 0, 0, 0x0B};
    for (uint8_t r = 0; r < 5; ++r)
        EXPECT_EQ(m.transmitterRegister(0x0D + r), tx[r]);
    EXPECT_EQ(m.mixerBuffer(), (std::array<uint8_t, 64>{}));
}

TEST(HX5100Model, ClassAndVendorRequestsAnswerAndCheckTheirFields) {
    struct Case {
        const char* what;
        uint8_t type, request;
        uint16_t value, index, length;
        std::vector<uint8_t> out;
        IOReturn status;
        std::vector<uint8_t> in;
    };
    const IOReturn ok = kIOReturnSuccess, stall = kUSBHostReturnPipeStalled;
    std::vector<uint8_t> mixer(64);
    for (int i = 0; i < 64; ++i)
        mixer[i] = (uint8_t)(i + 1);
    const std::vector<Case> cases = {
        {"firmware 8", 0xC0, 0x56, 0, 0, 8, {}, ok, {4, 1, 23, 0, 0, 0, 0, 0}},
        {"firmware 15, any value and index",
         0xC0,
         0x56,
         0x1234,
         7,
         15,
         {},
         ok,
         {4, 1, 23, 0, '1', '.', '2', '.', '3', 0, 0, 0, 0, 0, 0}},
        {"firmware 5", 0xC0, 0x56, 0, 0, 5, {}, stall, {}},
        {"selector read", 0xC0, 0x49, 0, 0, 1, {}, ok, {0x02}},
        {"selector write keeps the lock bit", 0x40, 0x49, 0xFFB5, 0, 0, {}, ok, {}},
        {"selector read back", 0xC0, 0x49, 0, 0, 1, {}, ok, {0xB1}},
        {"port register 2 write", 0x40, 0x49, 0x0011, 1, 0, {}, ok, {}},
        {"port register 2 read", 0xC0, 0x49, 0, 1, 1, {}, ok, {0x11}},
        {"digital-out selector is not offered", 0x40, 0x49, 1, 2, 0, {}, stall, {}},
        {"selector read of 2 bytes", 0xC0, 0x49, 0, 0, 2, {}, stall, {}},
        {"mixer buffer", 0x40, 0x4D, 0, 0, 64, mixer, ok, {}},
        {"mixer buffer too short", 0x40, 0x4D, 0, 0, 32, mixer, stall, {}},
        {"transmitter read", 0xC0, 0x41, 0x0D00, 0x101, 5, {}, ok, {0x04, 0, 0, 0, 0x0B}},
        {"transmitter write 0x0D", 0x40, 0x41, 0x0D41, 0x101, 0, {}, ok, {}},
        {"transmitter write 0x11", 0x40, 0x41, 0x1150, 0x101, 0, {}, ok, {}},
        {"transmitter write 0x12", 0x40, 0x41, 0x1200, 0x101, 0, {}, stall, {}},
        {"transmitter read back", 0xC0, 0x41, 0x0D00, 0x101, 5, {}, ok, {0x41, 0, 0, 0, 0x50}},
        {"codec 0 write", 0x40, 0x41, (3 << 9) + 5, 0x102, 0, {}, ok, {}},
        {"codec write with a data stage", 0x40, 0x41, (3 << 9) + 5, 0x106, 1, {7}, stall, {}},
        {"codec write on another index", 0x40, 0x41, (3 << 9) + 5, 0x103, 0, {}, stall, {}},
        {"DSP block of the wrong size",
         0x40,
         0x42,
         0,
         0,
         255,
         std::vector<uint8_t>(255, 1),
         stall,
         {}},
        {"rate on endpoint 0", 0xA2, 0x81, 0x0100, 0x00, 3, {}, ok, {0x44, 0xAC, 0x00}},
        {"rate set on OUT", 0x22, 0x01, 0x0100, 0x01, 3, {0x80, 0xBB, 0x00}, ok, {}},
        {"rate on IN", 0xA2, 0x81, 0x0100, 0x82, 3, {}, ok, {0x80, 0xBB, 0x00}},
        {"rate on OUT", 0xA2, 0x81, 0x0100, 0x01, 3, {}, ok, {0x80, 0xBB, 0x00}},
        {"96 kHz at full speed", 0x22, 0x01, 0x0100, 0x82, 3, {0x00, 0x77, 0x01}, stall, {}},
        {"rate on another endpoint", 0xA2, 0x81, 0x0100, 0x83, 3, {}, stall, {}},
        {"rate with another control", 0xA2, 0x81, 0x0200, 0x82, 3, {}, stall, {}},
        {"deep sleep with a value", 0x40, 0x44, 1, 0, 0, {}, stall, {}},
        {"deep sleep", 0x40, 0x44, 0, 0, 0, {}, ok, {}},
    };
    HX5100Model m(kUSBHostConnectionSpeedFull, identity());
    for (const Case& c : cases) {
        Reply r = send(m, c.type, c.request, c.value, c.index, c.length, c.out);
        EXPECT_EQ(r.result.status, c.status) << c.what;
        if (c.type & 0x80) {
            EXPECT_EQ(r.bytes, c.in) << c.what;
        }
    }
    EXPECT_EQ(m.mixerBuffer()[63], 64);
    // Asleep with its registers kept; SET_CONFIGURATION wakes it.
    EXPECT_TRUE(m.isDeepSleeping());
    EXPECT_EQ(m.deepSleepCount(), 1u);
    EXPECT_EQ(send(m, 0x00, 0x09, 1, 0, 0, {}).result.status, ok);
    EXPECT_FALSE(m.isDeepSleeping());
    EXPECT_EQ(m.sampleRate(), 48000u);

    // The trace holds every request received, in order, with OUT data.
    const auto trace = m.trace();
    ASSERT_EQ(trace.size(), cases.size() + 1);
    EXPECT_EQ(trace[10].setup.bRequest, 0x4D);
    EXPECT_EQ(trace[10].dataOut, mixer);
    EXPECT_EQ(trace[2].status, kUSBHostReturnPipeStalled);
    m.clearTrace();
    EXPECT_TRUE(m.trace().empty());
}

TEST(HX5100Model, RequestTableKeysAreUnique) {
    const auto table = HX5100Model::requestTable();
    ASSERT_FALSE(table.empty());
    for (size_t a = 0; a < table.size(); ++a) {
        EXPECT_NE(table[a].handler, nullptr) << table[a].name;
        for (size_t b = a + 1; b < table.size(); ++b) {
            const bool overlap =
                table[a].requestType == table[b].requestType &&
                table[a].request == table[b].request &&
                (table[a].index == table[b].index || table[a].index == HX5100Model::kAnyIndex ||
                 table[b].index == HX5100Model::kAnyIndex);
            EXPECT_FALSE(overlap) << table[a].name << " / " << table[b].name;
        }
    }
}

} // namespace

namespace {

using hx::usb::devices::HX5100Model;

// The digital input: present, it sets the lock bit; the device follows its
// rate while the selector's internal-clock bit is clear.
TEST(HX5100ModelDigitalInput, TheDeviceFollowsThePresentInputOnItsExternalClock) {
    HX5100Model m(kUSBHostConnectionSpeedHigh, {0x1234, 0x5678, 0x0100, "M", "P", ""});
    EXPECT_EQ(m.selectorByte(), 0x02);
    m.setDigitalInput(96000);
    EXPECT_EQ(m.selectorByte(), 0x06);
    EXPECT_EQ(m.sampleRate(), HX5100Model::kPowerOnSampleRate); // still on its internal clock
    StandardUSB::DeviceRequest external{0x40, 0x49, 0x04, 0, 0};
    EXPECT_EQ(m.control(external, nullptr).status, kIOReturnSuccess);
    EXPECT_EQ(m.sampleRate(), 96000u);
    uint8_t rate[3] = {};
    StandardUSB::DeviceRequest get{0xA2, 0x81, 0x0100, 0x82, 3};
    EXPECT_EQ(m.control(get, rate).status, kIOReturnSuccess);
    EXPECT_EQ(rate[0] | rate[1] << 8 | rate[2] << 16, 96000);
    m.setDigitalInput(std::nullopt);
    EXPECT_EQ(m.selectorByte(), 0x00);
    EXPECT_EQ(m.sampleRate(), HX5100Model::kPowerOnSampleRate);
}

TEST(HX5100ModelRegisters, CodecFilesAndTheLastDspBlockAreKept) {
    HX5100Model m(kUSBHostConnectionSpeedHigh, {0x1234, 0x5678, 0x0100, "M", "P", ""});
    EXPECT_FALSE(m.dspBlock().has_value());
    StandardUSB::DeviceRequest c0{0x40, 0x41, (127 << 9) | 0x1FF, 0x102, 0};
    StandardUSB::DeviceRequest c1{0x40, 0x41, (4 << 9) | 0x12, 0x106, 0};
    EXPECT_EQ(m.control(c0, nullptr).status, kIOReturnSuccess);
    EXPECT_EQ(m.control(c1, nullptr).status, kIOReturnSuccess);
    EXPECT_EQ(m.codecRegister(0, 127), 0x1FF);
    EXPECT_EQ(m.codecRegister(1, 4), 0x12);
    EXPECT_EQ(m.codecRegister(0, 4), 0);
    uint8_t block[256];
    for (uint8_t fill : {1, 2}) {
        std::memset(block, fill, sizeof block);
        StandardUSB::DeviceRequest dsp{0x40, 0x42, 0, 0, 256};
        EXPECT_EQ(m.control(dsp, block).status, kIOReturnSuccess);
    }
    ASSERT_TRUE(m.dspBlock().has_value());
    EXPECT_EQ((*m.dspBlock())[255], 2);
    EXPECT_EQ(m.dspBlockCount(), 2u);
}

} // namespace
