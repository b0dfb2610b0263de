// The scripted kernel service through the plug-in's IOKit wrapper: the
// script's answers, the areas the test writes seen in the client's mappings,
// and the record of calls.
#include "tests/plugins/server/ScriptedKernelService.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "abi/AudioSM.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "plugins/server/QnASPlugInIOKitObject.h"

using hx::test::KernelScript;
using hx::test::ScriptedKernelService;
using hx::test::ScriptedReply;

namespace {

class Scripted : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hx::path::map("/tmp"));
        service = ScriptedKernelService::publish("SCRIPTED-UID");
        ASSERT_NE(service, nullptr);
        QnASPlugInIOKitIterator it(IOServiceMatching("ScriptedKernelService"));
        object = QnASPlugInIOKitObject(it.Next());
    }
    void TearDown() override {
        object.CloseConnection();
        object = QnASPlugInIOKitObject();
        ScriptedKernelService::unpublish(service);
    }
    hx::test::TempRoot root;
    ScriptedKernelService* service = nullptr;
    QnASPlugInIOKitObject object;
};

} // namespace

TEST_F(Scripted, MapsTheThreeAreasTheTestWrites) {
    ASSERT_TRUE(object.OpenConnection(3));
    struct {
        UInt32 type, bytes;
    } const areas[] = {{1, 30744}, {4, 0x83FF0}, {5, 0x83FF0}};
    for (const auto& a : areas) {
        SCOPED_TRACE(a.type);
        std::memset(service->area(a.type), int(a.type), 64);
        UInt32 size = a.bytes;
        auto* user = static_cast<uint8_t*>(object.MapMemory(a.type, 0, size));
        ASSERT_NE(user, nullptr);
        EXPECT_EQ(size, a.bytes);
        EXPECT_NE(user, service->area(a.type)); // two mappings of one area
        EXPECT_EQ(user[63], a.type);
        service->area(a.type)[100] = 0x5A;
        EXPECT_EQ(user[100], 0x5A);
        object.ReleaseMemory(user, a.type);
    }
    UInt32 size = 4096;
    EXPECT_EQ(object.MapMemory(2, 0, size), nullptr);
    size = 4096; // a size other than the area's
    EXPECT_EQ(object.MapMemory(1, 0, size), nullptr);
}

TEST_F(Scripted, AnswersSelectorsAndRequestsFromTheScript) {
    service->script([](KernelScript& s) {
        s.slot = 9;
        s.userClassId = 0xABC;
        s.queued[4].push_back({kIOReturnSuccess, {1, 2, 3}, true, 3});
        s.queued[4].push_back({kIOReturnError, {}, false, 0});
        s.standing[42] = {kIOReturnSuccess, {1, 0, 0, 0}, false, 0};
    });
    ASSERT_TRUE(object.OpenConnection(3));
    EXPECT_EQ(object.CallMethod(0, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr), 0);
    UInt64 out = 0;
    UInt32 outCount = 1;
    EXPECT_EQ(object.CallMethod(7, nullptr, 0, nullptr, 0, &out, &outCount, nullptr, nullptr), 0);
    EXPECT_EQ(out, 0xABCu);
    const UInt64 frames = 512;
    outCount = 1;
    EXPECT_EQ(object.CallMethod(2, &frames, 1, nullptr, 0, &out, &outCount, nullptr, nullptr), 0);
    EXPECT_EQ(out, 9u);
    UInt32 size = 0x83FF0;
    auto* ring = static_cast<uint8_t*>(object.MapMemory(5, 0, size));
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(audiosm::load32(ring + 524324), 1u); // attached at start

    OSXDispatch record{};
    record.payload[0] = 0x77;
    ASSERT_TRUE(object.CallDriver(4, record));
    EXPECT_EQ(record.iReq, 3u);
    EXPECT_EQ(record.payload[2], 3);
    EXPECT_FALSE(object.CallDriver(4, record)); // the second reply fails
    ASSERT_TRUE(object.CallDriver(42, record));
    EXPECT_EQ(record.payload[0], 1);
    ASSERT_TRUE(object.CallDriver(42, record)); // standing: every time
    EXPECT_EQ(object.CallMethod(3, nullptr, 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(audiosm::load32(ring + 524324), 0u);
    object.ReleaseMemory(ring, 5);

    EXPECT_EQ((service->requests()), (std::vector<uint32_t>{4, 4, 42, 42}));
    const auto calls = service->calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[2].selector, 2u);
    EXPECT_EQ(calls[2].scalars, (std::vector<uint64_t>{512}));
    EXPECT_EQ(calls[3].payload[0], 0x77);
}

TEST_F(Scripted, NeverAttachesAndRefusesOtherClientTypes) {
    service->script([](KernelScript& s) { s.attach = KernelScript::Attach::Never; });
    io_connect_t other = 0;
    EXPECT_NE(IOServiceOpen(object.GetObject(), mach_task_self(), 0, &other), KERN_SUCCESS);
    ASSERT_TRUE(object.OpenConnection(3));
    EXPECT_EQ(service->openClients(), 1u);
    const UInt64 frames = 256;
    UInt64 out = 0;
    UInt32 outCount = 1;
    EXPECT_EQ(object.CallMethod(2, &frames, 1, nullptr, 0, &out, &outCount, nullptr, nullptr), 0);
    EXPECT_EQ(audiosm::load32(service->area(5) + 524324), 0u);
    object.CloseConnection();
    EXPECT_EQ(service->openClients(), 0u);
}
