// The registry snapshot file and the small utilities the helper's
// deliverable carries: the snapshot of the kernel device service's
// properties and its file under /Users/Shared/Quarnel, the lap clock on the
// host time base, sample widths and power-of-two sizes.
#include "api/QnClock.h"
#include "api/QnUtils.h"
#include "api/ZrIORegistryPrefs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/kern/IOService.h"

namespace fs = std::filesystem;

// The kernel device service as the snapshot finds it by class.
class ZrKernelDeviceKorvexHX5100 : public IOService {
    OSDeclareDefaultStructors(ZrKernelDeviceKorvexHX5100)
};
OSDefineMetaClassAndStructors(ZrKernelDeviceKorvexHX5100, IOService)

    namespace {

    ZrKernelDeviceKorvexHX5100* publishService(unsigned rate) {
        auto* s = new ZrKernelDeviceKorvexHX5100;
        EXPECT_TRUE(s->init());
        OSArray* six = OSArray::withCapacity(6);
        for (unsigned v : {rate, 2u, 24u, 2u, 24u, 0u}) {
            OSNumber* n = OSNumber::withNumber(v, 32);
            six->setObject(n);
            n->release();
        }
        s->setProperty("ChannelSettings", six);
        six->release();
        s->setProperty("deviceUID", "HX-UID");
        s->registerService(kIOServiceSynchronous);
        return s;
    }

    void unpublish(IOService * s) {
        s->terminate();
        hx::kern::waitQuiet();
        s->release();
    }

    std::string folder() {
        return hx::path::map("/Users/Shared/Quarnel");
    }
    std::string file() {
        return folder() + "/com.korvex.hx5100.plist";
    }

    std::string readAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    int rateIn(CFDictionaryRef properties) {
        if (!properties) return -1;
        auto six = CFArrayRef(CFDictionaryGetValue(properties, CFSTR("ChannelSettings")));
        if (!six || CFArrayGetCount(six) != 6) return -1;
        int rate = 0;
        CFNumberGetValue(CFNumberRef(CFArrayGetValueAtIndex(six, 0)), kCFNumberSInt32Type, &rate);
        return rate;
    }

    TEST(QnUtils, SampleWidthsAndPowersOfTwo) {
        const std::pair<long, int> widths[] = {{16, 2}, {20, 3}, {24, 3}, {32, 4},
                                               {28, 0}, {8, 0},  {0, 0},  {-24, 0}};
        for (const auto& [bits, bytes] : widths)
            EXPECT_EQ(calcBytesFromBits(bits), bytes) << bits;

        constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
        const struct {
            bool next;
            uint64_t value, low, high, result;
        } sizes[] = {
            {true, 1000, 64, 8192, 512},
            {false, 1000, 64, 8192, 512},
            {false, 10, 64, 8192, 64},
            {true, 10, 64, 8192, 64},
            {true, 100000, 64, 8192, 8192},
            {false, 100000, 64, 8192, 8192},
            {true, 5, 0, 64, 0},                      // 0 never doubles: answered at once
            {true, kMax, 1, kMax, uint64_t(1) << 63}, // doubling stops before it overflows
            {false, 0, 0, 8, 0},
        };
        for (const auto& c : sizes)
            EXPECT_EQ(c.next ? power2Next(c.value, c.low, c.high)
                             : power2Prev(c.value, c.low, c.high),
                      c.result)
                << (c.next ? "next " : "prev ") << c.value << " " << c.low << " " << c.high;
    }

    TEST(QnClock, LapsOnTheHostTimeBase) {
        hx::clock::VirtualClock clock;
        for (auto [numer, denom] : {std::pair<uint32_t, uint32_t>{1, 1}, {125, 2}}) {
            SCOPED_TRACE(numer);
            hx::clock::setTimebase(numer, denom);
            QnClock c;
            const uint64_t started = c.start();
            EXPECT_EQ(started, mach_absolute_time());
            clock.runFor(1500000);
            EXPECT_EQ(c.lap(), 1500);
            EXPECT_EQ(c.nanos(), 1500000u);
            EXPECT_EQ(c.lapStart(), 1500000u);
            EXPECT_EQ(c.nanos(), 0u);
            clock.runFor(250000);
            EXPECT_EQ(c.lap(), 250);
        }
        hx::clock::setTimebase(0, 0);
    }

    class RegistrySnapshot : public ::testing::Test {
    protected:
        hx::test::TempRoot mRoot;
    };

    TEST_F(RegistrySnapshot, WithoutAServiceItReadsNothingAndUpdateAnswersZero) {
        hx::log::Capture log;
        ZrIORegistryPrefs prefs(false);
        EXPECT_EQ(prefs.update(), KERN_SUCCESS);
        EXPECT_EQ(prefs.getProperties(), nullptr);
        EXPECT_FALSE(prefs.createDirectory());
        EXPECT_FALSE(prefs.writeProperties());
        EXPECT_FALSE(fs::exists(hx::path::map("/Users")));
        EXPECT_EQ(log.text().find("Found a device"), std::string::npos);
    }

    TEST_F(RegistrySnapshot, ReadOnlyKeepsTheLastServiceAndTouchesNoFile) {
        auto* first = publishService(44100);
        auto* second = publishService(96000);
        {
            hx::log::Capture log;
            ZrIORegistryPrefs prefs(false);
            EXPECT_NE(log.text().find("Found a device of class ZrKernelDeviceKorvexHX5100 (won't "
                                      "write), result 00000000."),
                      std::string::npos)
                << log.text();
            EXPECT_EQ(rateIn(prefs.getProperties()), 96000);
            EXPECT_EQ(prefs.update(), KERN_SUCCESS);
            EXPECT_FALSE(prefs.writeProperties());
            EXPECT_FALSE(fs::exists(hx::path::map("/Users")));
        }
        unpublish(first);
        unpublish(second);
    }

    TEST_F(RegistrySnapshot, WritableMakesTheSharedFolderAndAFileEveryoneCanRead) {
        auto* service = publishService(48000);
        ZrIORegistryPrefs prefs(true);
        struct stat st {};
        ASSERT_EQ(::lstat(folder().c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 01777u);
        ASSERT_TRUE(prefs.writeProperties());
        ASSERT_EQ(::lstat(file().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        // Read back by the property-list reader, and by another one.
        const std::string text = readAll(file());
        CFDataRef data = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()),
                                      CFIndex(text.size()));
        CFPropertyListRef back =
            CFPropertyListCreateWithData(nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
        CFRelease(data);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(rateIn(CFDictionaryRef(back)), 48000);
        CFRelease(back);
        const std::string check =
            "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
            "c=d['ChannelSettings']; sys.exit(0 if len(c)==6 and all(isinstance(x,int) for x in "
            "c) else 1)\" '" +
            file() + "'";
        if (FILE* p = ::popen(check.c_str(), "r")) {
            EXPECT_EQ(::pclose(p), 0) << "plistlib could not read the file";
        }
        unpublish(service);
    }

    TEST_F(RegistrySnapshot, SymbolicLinksAtTheFolderOrFileAreNotFollowed) {
        auto* service = publishService(48000);
        const std::string elsewhere = mRoot.path() + "/elsewhere";
        fs::create_directories(elsewhere);
        fs::create_directories(hx::path::map("/Users/Shared"));
        const struct {
            const char* name;
            bool linkFolder;
        } cases[] = {{"folder is a link", true}, {"file is a link", false}};
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            fs::remove_all(folder());
            std::ofstream(elsewhere + "/com.korvex.hx5100.plist") << "theirs";
            ::chmod(elsewhere.c_str(), 0755);
            if (c.linkFolder) {
                fs::create_directory_symlink(elsewhere, folder());
            } else {
                fs::create_directory(folder());
                fs::create_symlink(elsewhere + "/com.korvex.hx5100.plist", file());
            }
            hx::log::Capture log;
            ZrIORegistryPrefs prefs(true);
            EXPECT_FALSE(prefs.writeProperties());
            EXPECT_NE(log.text().find("ZrIORegistryPrefs::writeProperties "
                                      "CFURLWriteDataAndPropertiesToResource returned with error"),
                      std::string::npos);
            EXPECT_EQ(readAll(elsewhere + "/com.korvex.hx5100.plist"), "theirs");
            struct stat st {};
            ASSERT_EQ(::stat(elsewhere.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0755u); // the link's target kept its mode
            EXPECT_TRUE(fs::is_symlink(c.linkFolder ? folder() : file()));
        }
        // A folder where the file should be: not written either.
        fs::remove_all(folder());
        fs::create_directories(file());
        ZrIORegistryPrefs prefs(true);
        EXPECT_FALSE(prefs.writeProperties());
        EXPECT_TRUE(fs::is_directory(file()));
        unpublish(service);
    }

} // namespace
