// A kernel host child for a whole test program: started once under a fresh
// path root (HX_ROOT), this process's IOKit calls on its transport, stopped
// and its root removed at the end.
#pragma once

#include "platform/iokit/HXIOKit.h"
#include "tests/support/KernelHostChild.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>

namespace hx::testsupport {

class KernelHostEnvironment : public ::testing::Environment {
public:
    // `rootTemplate`: mkdtemp's template for the root ("/tmp/hxapi.XXXXXX");
    // `logName`: the host's log under the root, empty for none.
    KernelHostEnvironment(const char* hxsim, std::string rootTemplate, std::string logName = {})
        : mHxsim(hxsim), mTemplate(std::move(rootTemplate)), mLogName(std::move(logName)) {}

    void SetUp() override {
        std::string dir = mTemplate;
        ASSERT_NE(::mkdtemp(dir.data()), nullptr);
        mRoot = dir;
        std::filesystem::create_directories(mRoot + "/tmp");
        ::setenv("HX_ROOT", mRoot.c_str(), 1);
        mHostPath = mHost.start(mHxsim, mRoot, mLogName.empty() ? "" : mRoot + "/" + mLogName);
        ASSERT_FALSE(mHostPath.empty()) << "the kernel host did not start";
        ASSERT_TRUE(hx::iokit::useProcessTransport(mHostPath.c_str()));
    }
    void TearDown() override {
        mHost.stop();
        std::error_code ec;
        std::filesystem::remove_all(mRoot, ec);
    }

    const std::string& root() const { return mRoot; }
    // The host's socket.
    const std::string& hostPath() const { return mHostPath; }

private:
    const char* mHxsim;
    std::string mTemplate;
    std::string mLogName;
    std::string mRoot;
    std::string mHostPath;
    KernelHostChild mHost;
};

} // namespace hx::testsupport
