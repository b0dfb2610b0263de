#include "platform/base/HXLog.h"
#include "platform/base/testing/GuardedBuffer.h"
#include "platform/base/testing/StdoutCapture.h"

#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>

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
