#include "platform/sys/HXShell.h"
#include "platform/base/HXLog.h"
#include "platform/base/testing/TempRoot.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

class Shell : public ::testing::Test {
protected:
    void SetUp() override { hx::sys::clearSystemCommands(); }
    void TearDown() override {
        hx::sys::setSystemHook(nullptr);
        hx::sys::unregisterBundleProgram("com.example.touch");
        hx::sys::waitForLaunchedPrograms();
    }
};

TEST_F(Shell, AHookTakesCommandsAndEveryCommandIsRecorded) {
    std::vector<std::string> seen;
    hx::sys::setSystemHook([&](const std::string& c) {
        seen.push_back(c);
        return 7;
    });
    EXPECT_EQ(system("open -b com.korvex.hx5100.control --args 12"), 7);
    EXPECT_EQ(system("anything at all"), 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"open -b com.korvex.hx5100.control --args 12",
                                              "anything at all"}));
    EXPECT_EQ(hx::sys::systemCommands(), seen);

    for (int i = 0; i < 300; ++i)
        system(std::to_string(i).c_str());
    const std::vector<std::string> kept = hx::sys::systemCommands();
    ASSERT_EQ(kept.size(), 256u);
    EXPECT_EQ(kept.front(), "44");
    EXPECT_EQ(kept.back(), "299");
}

TEST_F(Shell, NoShellEverRuns) {
    hx::test::TempRoot dir;
    const std::string victim = dir.path() + "/victim";
    struct Case {
        std::string command;
        int status;
        const char* logged;
    } cases[] = {
        {"touch " + victim, 127 << 8, "system: refused \"touch "},
        {"open -b com.korvex.hx5100.control --args 12", 127 << 8,
         "system: no program for bundle com.korvex.hx5100.control"},
        {"open -a Whatever", 127 << 8, "system: refused"},
        {"open -b com.example.touch; touch " + victim, 127 << 8, "system: refused"},
    };
    for (const Case& c : cases) {
        hx::log::Capture log;
        EXPECT_EQ(system(c.command.c_str()), c.status) << c.command;
        EXPECT_NE(log.text().find(c.logged), std::string::npos) << log.text();
    }
    EXPECT_EQ(system(nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists(victim));
    EXPECT_EQ(hx::sys::systemCommands().size(), std::size(cases));
}

TEST_F(Shell, OpenByBundleStartsTheRegisteredProgramWithItsArgumentsVerbatim) {
    hx::test::TempRoot dir;
    hx::sys::registerBundleProgram("com.example.touch", {"/usr/bin/touch"});
    const std::string a = dir.path() + "/a", b = dir.path() + "/b;touch";
    EXPECT_EQ(system(("open -b com.example.touch --args " + a + " " + b).c_str()), 0);
    hx::sys::waitForLaunchedPrograms();
    EXPECT_TRUE(std::filesystem::exists(a));
    EXPECT_TRUE(std::filesystem::exists(b)); // ';' is a byte of the name, not a separator

    hx::sys::registerBundleProgram("com.example.touch", {dir.path() + "/missing-program"});
    hx::log::Capture log;
    EXPECT_EQ(system("open -b com.example.touch"), 1 << 8);
    EXPECT_NE(log.text().find("system: could not start"), std::string::npos);
}

} // namespace
