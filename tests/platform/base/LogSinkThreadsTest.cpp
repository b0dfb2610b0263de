#include "platform/base/HXLog.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

// Lines logged from several threads at once all arrive whole.
TEST(LogSinkThreads, ConcurrentLinesArriveWhole) {
    hx::log::Capture cap;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                IOLog("t%d line %03d\n", t, i);
        });
    for (auto& th : threads)
        th.join();
    const std::string text = cap.text();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 200; ++i) {
            char line[32];
            std::snprintf(line, sizeof line, "t%d line %03d\n", t, i);
            EXPECT_NE(text.find(line), std::string::npos) << line;
        }
    EXPECT_EQ(text.size(), 4u * 200u * std::string("t0 line 000\n").size());
}
