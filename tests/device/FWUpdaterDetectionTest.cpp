// The firmware updater's marker file: a live updater blocks, anything else is
// stale and removed.
#include "device/FWUpdaterDetection.h"

#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/sys/HXProcess.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class Marker : public ::testing::Test {
protected:
    Marker() { fs::create_directories(fs::path(path()).parent_path()); }
    ~Marker() override { hx::sys::resetProcessOverrides(); }
    static std::string path() { return hx::path::map(kFWUpdaterMarkerPath); }
    static void write(uint32_t pid, const char* name, std::size_t bytes = sizeof(FWUpdaterMarker)) {
        FWUpdaterMarker m;
        std::memset(&m, 0, sizeof m);
        m.mPid = pid;
        std::strncpy(m.mName, name, sizeof m.mName - 1);
        std::ofstream(path(), std::ios::binary)
            .write(reinterpret_cast<const char*>(&m), std::streamsize(bytes));
    }
    hx::test::TempRoot mRoot;
};

TEST_F(Marker, NoMarkerIsFalse) {
    EXPECT_FALSE(fwUpdaterActive());
    EXPECT_FALSE(fs::exists(path()));
}

TEST_F(Marker, RegisteredLiveProcessIsActiveUntilUnregistered) {
    hx::sys::setOwnProcessName(std::string("FirmwareUpdater"));
    ASSERT_TRUE(fwupdateRegister());
    ASSERT_EQ(fs::file_size(path()), 260u);
    EXPECT_TRUE(fwUpdaterActive());
    EXPECT_TRUE(fwUpdaterActive()); // a live marker stays
    EXPECT_EQ(fwupdateUnRegister(), 0);
    EXPECT_FALSE(fwUpdaterActive());
    EXPECT_NE(fwupdateUnRegister(), 0);
}

TEST_F(Marker, StaleMarkersAreDeleted) {
    hx::sys::addFakeProcess({4242, std::string("Updater"), "Updater", 'S', 501});
    hx::sys::addFakeProcess({4243, std::string("Other"), "Other", 'S', 501});
    const struct {
        const char* what;
        uint32_t pid;
        const char* name;
        std::size_t bytes;
    } cases[] = {
        {"ended process", 999999, "Updater", 260},
        {"another name", 4243, "Updater", 260},
        {"a longer recorded name", 4242, "Updater2", 260},
        {"100-byte file", 4242, "Updater", 100},
        {"empty file", 4242, "Updater", 0},
    };
    for (const auto& c : cases) {
        write(c.pid, c.name, c.bytes);
        EXPECT_FALSE(fwUpdaterActive()) << c.what;
        EXPECT_FALSE(fs::exists(path())) << c.what;
    }
    write(4242, "Updater");
    EXPECT_TRUE(fwUpdaterActive());
    EXPECT_TRUE(fs::exists(path()));
}

} // namespace
