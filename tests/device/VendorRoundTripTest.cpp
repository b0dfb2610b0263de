// The vendor transport end to end: the device object's user side writes and
// reads blocks through the kernel's vendor port and the second Sorvik
// Farlane generation's echo interface; every block comes back byte for byte,
// each completion reported once with its length and user data.
#include "device/VendorAsyncTransport.h"
#include "device/ZrOSXDevice.h"
#include "device/harness/DeviceRoad.h"

#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using hx::devroad::DeviceRoad;
using hx::devroad::RoadOptions;

struct Done {
    uint32_t result;
    uint32_t length;
    uint64_t userData;
};

struct Completions {
    std::vector<Done> in, out;
    static void onIn(void* c, uint32_t result, uint32_t length, uint64_t user) {
        static_cast<Completions*>(c)->in.push_back({result, length, user});
    }
    static void onOut(void* c, uint32_t result, uint32_t length, uint64_t user) {
        static_cast<Completions*>(c)->out.push_back({result, length, user});
    }
};

std::vector<uint8_t> blockOf(uint32_t index, uint32_t length) {
    std::vector<uint8_t> b(length);
    for (uint32_t i = 0; i < length; ++i)
        b[i] = uint8_t(index * 31 + i * 7 + (i >> 8));
    return b;
}

TEST(VendorRoundTrip, BlocksEchoByteForByteThroughTheFarlane2) {
    hx::test::TempRoot root;
    hx::sys::setOwnUid(501);
    RoadOptions o;
    o.rate = 48000;
    o.device = hx::harness::DeviceKind::Farlane2;
    o.channels = 4;
    DeviceRoad road(o);
    ASSERT_TRUE(road.boot()) << road.error();
    ZrOSXDevice* device = road.openDevice();
    ASSERT_NE(device, nullptr) << road.error();
    ASSERT_EQ(device->vendorAsyncOpen(), uint32_t(VendorAsyncTransport::kOK));

    // Lengths across the packet size and up to a full block.
    const uint32_t lengths[] = {1, 64, 511, 512, 513, 4000, 8192};
    constexpr uint32_t kBlocks = sizeof lengths / sizeof lengths[0];
    std::vector<std::vector<uint8_t>> got(kBlocks);
    Completions c;
    for (uint32_t k = 0; k < kBlocks; ++k) {
        got[k].assign(lengths[k], 0xEE);
        ASSERT_EQ(device->vendorAsyncRead(got[k].data(), lengths[k], 100 + k),
                  uint32_t(VendorAsyncTransport::kPending));
    }
    for (uint32_t k = 0; k < kBlocks; ++k) {
        const std::vector<uint8_t> b = blockOf(k, lengths[k]);
        ASSERT_EQ(device->vendorAsyncWrite(b.data(), lengths[k], 200 + k),
                  uint32_t(VendorAsyncTransport::kPending));
    }
    // Nothing more from the user side than looking for completions.
    for (int ms = 0; ms < 500 && (c.in.size() < kBlocks || c.out.size() < kBlocks); ++ms) {
        road.run(1000);
        device->vendorAsyncCheck(&Completions::onIn, &Completions::onOut, &c);
    }
    ASSERT_EQ(c.out.size(), kBlocks);
    ASSERT_EQ(c.in.size(), kBlocks);
    for (uint32_t k = 0; k < kBlocks; ++k) {
        SCOPED_TRACE(lengths[k]);
        EXPECT_EQ(c.out[k].result, uint32_t(VendorAsyncTransport::kOK));
        EXPECT_EQ(c.out[k].userData, 200u + k);
        EXPECT_EQ(c.in[k].result, uint32_t(VendorAsyncTransport::kOK));
        EXPECT_EQ(c.in[k].userData, 100u + k);
        EXPECT_EQ(c.in[k].length, lengths[k]);
        EXPECT_EQ(got[k], blockOf(k, lengths[k]));
    }
    EXPECT_EQ(device->vendorAsyncClose(), uint32_t(VendorAsyncTransport::kOK));
    road.closeDevice();
}

} // namespace
