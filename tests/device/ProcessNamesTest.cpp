// Process classification and the process-table queries of the device layer.
#include "device/MutexLockedSection.h"
#include "device/ProcessNames.h"

#include "platform/base/HXLog.h"
#include "platform/sys/HXProcess.h"

#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>
#include <string>
#include <unistd.h>

namespace {

TEST(ClientAppType, TableRowsAndLastMatchWins) {
    const struct {
        const char* name;
        int type;
    } cases[] = {
        {"Audio MIDI Setup", 2},
        {"audio midi setup", 2},
        {"Audio MIDI Setup Helper", 18}, // equality, not containment
        {"Digital Performer", 4},
        {"iTunes", 3},
        {"coreaudiod", 5},
        {"iChat", 6},
        {"Korvex LX-420 Control", 7},
        {"Korvex HX-5100 Mixer", 8},
        {"Korvex LX-880 Mixer", 9},
        {"Audacity", 11},
        {"SystemUIServer", 10},
        {"loginwindow", 12},
        {"Vinylo DJ", 14},
        {"Platter", 13},
        {"coreaudiod SystemUIServer", 10}, // a later row wins
        {"iTunes coreaudiod", 5},
        {"Vinylo DJ Platter", 13},
        {"hxsim", 18},
        {"", 18},
        {nullptr, 18},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ClientAppType(c.name), c.type) << (c.name ? c.name : "(null)");
}

class ProcessTableQueries : public ::testing::Test {
protected:
    ~ProcessTableQueries() override { hx::sys::resetProcessOverrides(); }
};

TEST_F(ProcessTableQueries, OwnProcessIsFoundByPidAndName) {
    hx::sys::setOwnProcessName(std::string("Korvex HX-5100 Mixer Panel"));
    char name[17];
    std::memset(name, 'x', sizeof name);
    ASSERT_TRUE(GetProcessNameFromPID(::getpid(), name));
    EXPECT_STREQ(name, "Korvex HX-5100 M"); // cut at 16
    EXPECT_EQ(ClientAppType(name), 8);
    EXPECT_TRUE(ProcessIsRunning(name));
    // A longer name matches its 16-character table name.
    EXPECT_TRUE(ProcessIsRunning("Korvex HX-5100 Mixer Panel"));
    EXPECT_FALSE(GetProcessNameFromPID(::getpid(), nullptr));
}

TEST_F(ProcessTableQueries, FakeTableZombieAndMissing) {
    hx::sys::hideRealProcesses(true);
    hx::sys::addFakeProcess({100, std::string("/Apps/Updater"), "Updater", 'S', 501});
    hx::sys::addFakeProcess({101, std::string("ghost"), "ghost", 'Z', 501});
    hx::log::Capture log;
    char name[17];
    EXPECT_TRUE(GetProcessNameFromPID(100, name));
    EXPECT_STREQ(name, "Updater");
    EXPECT_TRUE(GetProcessNameFromPID(101, name)); // a zombie has a name
    EXPECT_FALSE(GetProcessNameFromPID(102, name));
    EXPECT_STREQ(name, "");
    EXPECT_TRUE(ProcessIsRunning("Updater"));
    EXPECT_FALSE(ProcessIsRunning("ghost")); // not running
    EXPECT_FALSE(ProcessIsRunning("Update"));
    EXPECT_NE(log.text().find("Found process 100 Updater\n"), std::string::npos);
    EXPECT_EQ(log.text().find("ghost"), std::string::npos);
}

TEST_F(ProcessTableQueries, GrowingTableIsReadAgainAndEndlessGrowthGivesUp) {
    hx::sys::hideRealProcesses(true);
    hx::sys::addFakeProcess({10, std::string("target"), "target", 'S', 501});
    pid_t next = 1000;
    int queries = 0;
    int growRounds = 1;
    hx::sys::setAfterSizeQuery([&] {
        ++queries;
        if (growRounds-- <= 0) return;
        const std::size_t grow = hx::sys::readProcessTable().size() * 2 + 40;
        for (std::size_t i = 0; i < grow; ++i, ++next)
            hx::sys::addFakeProcess({next, std::string("n"), "n", 'S', 501});
    });
    EXPECT_TRUE(ProcessIsRunning("target"));
    EXPECT_EQ(queries, 2); // the first read found the table grown

    queries = 0;
    growRounds = 1000;
    char name[17];
    EXPECT_FALSE(ProcessIsRunning("target"));
    EXPECT_EQ(queries, 3);
    EXPECT_FALSE(GetProcessNameFromPID(10, name));
    hx::sys::setAfterSizeQuery(nullptr);
}

TEST(MacOSRelease, LeadingNumberOfTheRelease) {
    const struct {
        const char* release;
        int major;
    } cases[] = {{"9.8.0", 9},   {"13.4.0", 13}, {"19.6.0", 19},
                 {"20.1.0", 20}, {"12", 12},     {"x.1", 0}};
    for (const auto& c : cases) {
        hx::sys::setEmulatedRelease(std::string(c.release));
        EXPECT_EQ(GetMacOSRelease(), c.major) << c.release;
    }
    hx::sys::setEmulatedRelease(std::nullopt);
    EXPECT_EQ(GetMacOSRelease(), 19);
}

TEST(MutexLockedSectionTest, TaggedWaitIsLoggedAndNullDoesNothing) {
    std::recursive_mutex m;
    {
        MutexLockedSection none(nullptr, "unused");
        MutexLockedSection outer(&m);
        MutexLockedSection again(&m, "same thread"); // recursive: no wait
    }
    hx::log::Capture log;
    std::thread holder;
    std::atomic<bool> held{false}, release{false};
    holder = std::thread([&] {
        MutexLockedSection s(&m);
        held = true;
        while (!release)
            std::this_thread::yield();
    });
    while (!held)
        std::this_thread::yield();
    std::thread waiter([&] { MutexLockedSection s(&m, "waiter"); });
    while (log.text().find("MutexLockedSection try_lock failed waiter\n") == std::string::npos)
        std::this_thread::yield();
    release = true;
    holder.join();
    waiter.join();
    EXPECT_TRUE(m.try_lock());
    m.unlock();
}

} // namespace
