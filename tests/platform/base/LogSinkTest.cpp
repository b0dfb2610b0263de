#include "platform/base/HXLog.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/base/testing/StdoutCapture.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
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
    buf.data()[9] = 1;  // last usable byte is fine
    EXPECT_EQ(buf.size(), 10u);
    EXPECT_DEATH({ volatile std::uint8_t* p = buf.data(); p[10] = 1; }, "");
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
        for (int i = 0; i < 100; ++i) IOLog("rt %d\n", i);
        hx::log::setRealtimeThread(false);
    });
    t.join();
    std::string expected;
    for (int i = 0; i < 100; ++i) expected += "rt " + std::to_string(i) + "\n";
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
