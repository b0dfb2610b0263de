// Recovery of a stream broken by a late output completion, on the virtual
// clock: one caller claims the break, stage 2 configures again, restarts
// streaming and tells the clients, in that order.
#include "driver/engine/transport/ZrStreamRecovery.h"

#include "abi/QN_StateChange.h"
#include "platform/base/HXLog.h"
#include "tests/driver/engine/transport/StreamRig.h"

namespace {

using namespace hx::test;

struct RecoveryHost : StreamRecoveryHost {
    StreamRig& rig;
    std::vector<std::string> calls;
    explicit RecoveryHost(StreamRig& r) : rig(r) {}
    bool isStreamingStarted() override { return rig.engine.isStreamingStarted(); }
    void stopStreaming(bool wait) override {
        calls.push_back(wait ? "stop wait" : "stop");
        rig.engine.stopTransport(wait);
    }
    void unconfigureDevice(const char* reason) override {
        calls.push_back(std::string("unconfigure ") + reason);
    }
    bool hasDriverData() override { return true; }
    uint8_t digitalLock() override { return 0; }
    bool prepareNewConfig() override {
        calls.push_back("prepare");
        return true;
    }
    void reinitClientsForStreaming() override { calls.push_back("reinit clients"); }
    void startStreaming() override {
        calls.push_back("start");
        EXPECT_TRUE(rig.start());
    }
    void stcNotify(uint32_t code) override { rig.host.stcNotifyStreaming(code); }
};

void breakStream(StreamRig& rig) {
    uint32_t now = 0;
    ASSERT_TRUE(rig.engine.getCurrentFrame(now));
    rig.engine.outputRing().mNextFrame.store(now - 10);
    rig.run(30);
    ASSERT_FALSE(rig.engine.isStreamingStarted());
}

TEST(StreamRecovery, OneCallerRecoversABreakAndStage2RestartsStreamingAndTellsTheClients) {
    for (bool powerDown : {false, true}) {
        StreamRig rig({kUSBHostConnectionSpeedFull, 48000, 0});
        ASSERT_TRUE(rig.start());
        rig.run(50);
        breakStream(rig);
        RecoveryHost host(rig);
        bool wasPowerDown = powerDown;
        EXPECT_TRUE(handleStreamBroken(1, rig.engine, wasPowerDown, host));
        EXPECT_FALSE(handleStreamBroken(1, rig.engine, wasPowerDown, host));
        // The requests after a power-down are the device's (shown against the
        // simulated devices); stage 2 tells the clients the wake-up is over.
        EXPECT_EQ(host.calls, std::vector<std::string>{"unconfigure ZrDevice::handleStreamBroken"});
        host.calls.clear();

        hx::log::Capture log;
        EXPECT_TRUE(handleStreamBroken(2, rig.engine, wasPowerDown, host));
        EXPECT_EQ(host.calls, (std::vector<std::string>{"prepare", "reinit clients", "start"}));
        EXPECT_NE(log.text().find(
                      "ZrDevice::handleStreamBroken stage 2\nhandleStreamBroken: mDigitalLock=0\n"),
                  std::string::npos);
        EXPECT_FALSE(wasPowerDown);
        std::vector<uint32_t> changes = {STC_STREAM_BROKEN, STC_NewConfig};
        if (powerDown) changes.push_back(0x10000);
        EXPECT_EQ(rig.host.changesSoFar(), changes);

        // Streaming again: input arrives and the next break is claimed anew.
        // (requests are queued 50 frames ahead)
        rig.run(100);
        EXPECT_TRUE(rig.engine.isStreamingStarted());
        EXPECT_GT(rig.engine.framesIn(), 48u * 40);
        breakStream(rig);
        EXPECT_TRUE(handleStreamBroken(1, rig.engine, wasPowerDown, host));
    }
}

} // namespace
