#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXLogLevel.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/base/testing/StdoutCapture.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <thread>

TEST(LogSink, CaptureSeesFormattedIOLogLines) {
    hx::log::Capture cap;
    IOLog("USBDriver: %s %d\n", "value", 42);
    IOLog("second\n");
    EXPECT_EQ(cap.text(), "USBDriver: value 42\nsecond\n");
    cap.clear();
    EXPECT_EQ(cap.text(), "");
}

TEST(LogSink, NestedCapturesEachSeeTheirLines) {
    hx::log::Capture outer;
    IOLog("a");
    {
        hx::log::Capture inner;
        IOLog("b");
        EXPECT_EQ(inner.text(), "b");
    }
    EXPECT_EQ(outer.text(), "ab");
}

TEST(LogSink, CapturesKeepEachRecordsLevel) {
    hx::log::Capture cap;
    const struct {
        const char* text;
        int level;
        bool viaSyslog;
    } rows[] = {
        {"usbConnect", LOG_WARNING, true},
        {"notice line", LOG_NOTICE, true},
        {"facility dropped", LOG_USER | LOG_ERR, true},
        {"kernel line", hx::log::kNoLevel, false},
    };
    for (const auto& r : rows) {
        if (r.viaSyslog)
            syslog(r.level, "%s", r.text);
        else
            IOLog("%s\n", r.text);
    }
    std::string big(3000, 'w');
    syslog(LOG_WARNING, "%s", big.c_str());
    const auto records = hx::log::records(cap);
    ASSERT_EQ(records.size(), std::size(rows) + 1);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const int want = rows[i].viaSyslog ? rows[i].level & 7 : hx::log::kNoLevel;
        EXPECT_EQ(records[i].text, std::string(rows[i].text) + "\n");
        EXPECT_EQ(records[i].level, want) << rows[i].text;
        EXPECT_EQ(hx::log::levelOf(cap, rows[i].text), want);
    }
    EXPECT_EQ(records.back().level, LOG_WARNING); // a long line keeps it too
    EXPECT_EQ(hx::log::levelOf(cap, "never logged"), hx::log::kNoLevel);
    cap.clear();
    EXPECT_TRUE(hx::log::records(cap).empty());
}

TEST(LogSink, LongLinesAreNotCut) {
    hx::log::Capture cap;
    std::string big(5000, 'x');
    IOLog("%s\n", big.c_str());
    EXPECT_EQ(cap.text(), big + "\n");
}

TEST(TestHelpers, StdoutCaptureReturnsPrintfOutput) {
    hx::test::StdoutCapture out;
    std::printf("hello %d\n", 7);
    EXPECT_EQ(out.finish(), "hello 7\n");
}

TEST(TestHelpers, GuardedBufferEndsAtAGuardPage) {
    hx::test::GuardedBuffer buf(10);
    buf.data()[9] = 1; // last usable byte is fine
    EXPECT_EQ(buf.size(), 10u);
    EXPECT_DEATH(
        {
            volatile std::uint8_t* p = buf.data();
            p[10] = 1;
        },
        "");
}

TEST(LogSink, SyslogMessagesEndWithANewline) {
    hx::log::Capture cap;
    syslog(3, "HXHelper: %s", "started");
    syslog(3, "already ends\n");
    std::string big(700, 'y');
    syslog(3, "%s", big.c_str());
    EXPECT_EQ(cap.text(), "HXHelper: started\nalready ends\n" + big + "\n");
}

TEST(LogSink, RealtimeThreadLinesArriveInOrder) {
    hx::log::Capture cap;
    std::thread t([] {
        hx::log::setRealtimeThread(true);
        for (int i = 0; i < 100; ++i)
            IOLog("rt %d\n", i);
        hx::log::setRealtimeThread(false);
    });
    t.join();
    std::string expected;
    for (int i = 0; i < 100; ++i)
        expected += "rt " + std::to_string(i) + "\n";
    // Nothing is dropped while the queue has room.
    EXPECT_EQ(cap.text(), expected);
    EXPECT_EQ(hx::log::droppedLines(), 0u);
}

// A child made by fork has no writer thread of its own at first; logging and
// flushing there must still work rather than hang.
TEST(LogSink, ForkedChildCanLogAndFlush) {
    IOLog("parent line\n");
    hx::log::flush();
    EXPECT_EXIT(
        {
            hx::log::Capture cap;
            IOLog("child line\n");
            std::_Exit(cap.text() == "child line\n" ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

namespace {
std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
} // namespace

// The file gets one record a call, stamped with the time of the call on the
// clock in use; a text without a line end does not run into the next one.
// Captures keep the text exactly as logged.
TEST(LogSink, TheLogFileHasOneTimeStampedRecordPerCall) {
    hx::test::TempRoot root;
    const std::string path = root.path() + "/sink.log";
    std::string error;
    hx::log::Capture cap;
    ASSERT_TRUE(hx::log::openFile(path, error)) << error;
    {
        hx::clock::VirtualClock clock(5 * 1000000000ull + 250000000ull); // 5.25 s
        IOLog("Req_ConfigureDevice");
        clock.runFor(1500); // 1.5 us: shown to the microsecond
        IOLog("void next(%d)\n", 1);
        syslog(0, "two\nlines");
        std::string big(3000, 'y');
        IOLog("%s", big.c_str());
        hx::log::flush();
    }
    IOLog("real\n");
    ASSERT_TRUE(hx::log::closeFile(error)) << error;
    IOLog("after the file\n");

    const std::string big(3000, 'y');
    EXPECT_EQ(cap.text(),
              "Req_ConfigureDevicevoid next(1)\ntwo\nlines\n" + big + "real\nafter the file\n");
    const std::string text = readFile(path);
    const std::string virtualPart = "[5.250000v] Req_ConfigureDevice\n[5.250001v] void next(1)\n"
                                    "[5.250001v] two\nlines\n[5.250001v] " +
                                    big + "\n[";
    EXPECT_EQ(text.rfind(virtualPart, 0), 0u) << text.substr(0, 200);
    // The real clock's record: seconds without the v, then the text.
    const std::string last = text.substr(virtualPart.size() - 1);
    EXPECT_EQ(last.find("v]"), std::string::npos) << last;
    EXPECT_TRUE(last.ends_with("] real\n")) << last;
    EXPECT_EQ(text.find("after the file"), std::string::npos);
}

TEST(LogSink, AFileThatCannotBeWrittenIsReported) {
    std::string error;
    EXPECT_FALSE(hx::log::openFile("/nonexistent-folder/x.log", error));
    EXPECT_NE(error.find("/nonexistent-folder/x.log"), std::string::npos) << error;
    // /dev/full takes the open and refuses every byte.
    ASSERT_TRUE(hx::log::openFile("/dev/full", error)) << error;
    IOLog("lost\n");
    EXPECT_FALSE(hx::log::closeFile(error));
    EXPECT_NE(error.find("could not be written"), std::string::npos) << error;
    // Closed: nothing more to report.
    EXPECT_TRUE(hx::log::closeFile(error));
}
