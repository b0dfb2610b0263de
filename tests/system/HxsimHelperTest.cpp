// HXHelper as its own process: against a kernel host (hxsim --kernel-host)
// with this test on the same host, and run by hxsim itself
// (--transport process --helper). Waits are bounded only to end a broken
// run; the checks are on the lines the helper wrote and on the data another
// client streams.
#include "tests/system/HxsimRun.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "abi/QN_StateChange.h"
#include "driver/clients/harness/HarnessClient.h"
#include "platform/base/testing/TempRoot.h"
#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/MachineControlClient.h"

#ifndef HXHELPER_PATH
#error "HXHELPER_PATH must name the HXHelper binary"
#endif

namespace {

using namespace hx::test::hxsim;

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Waits (bounded) until the file holds `times` copies of every text.
bool waitForLines(const std::string& path, const std::vector<std::string>& texts,
                  size_t times = 1) {
    for (int i = 0; i < 1200; ++i) {
        const std::string now = fileText(path);
        bool all = true;
        for (const std::string& t : texts)
            all = all && count(now, t) >= times;
        if (all) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

struct Process {
    pid_t pid = -1;
    ~Process() { end(SIGTERM); }
    void end(int signal) {
        if (pid <= 0) return;
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
    }
};

TEST(HxsimHelper, HXHelperAgainstAKernelHost) {
    hx::test::TempRoot root;
    // The host, as hxsim --kernel-host runs it.
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string rootVar = "HX_ROOT=" + root.path(), quiet = "HX_LOG=0";
    Process host;
    host.pid = ::fork();
    if (host.pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        char* argv[] = {const_cast<char*>("hxsim"), const_cast<char*>("--kernel-host"),
                        const_cast<char*>("/tmp/kernel.sock"), nullptr};
        char* envp[] = {const_cast<char*>(rootVar.c_str()), const_cast<char*>(quiet.c_str()),
                        nullptr};
        ::execve(HXSIM_PATH, argv, envp);
        ::_exit(127);
    }
    ::close(out[1]);
    FILE* hostOut = ::fdopen(out[0], "r");
    std::string hostPath;
    char line[512];
    while (hostPath.empty() && std::fgets(line, sizeof line, hostOut)) {
        const std::string s(line), ready = "kernel host ready at ";
        if (s.rfind(ready, 0) == 0) hostPath = s.substr(ready.size(), s.size() - ready.size() - 1);
    }
    ASSERT_FALSE(hostPath.empty()) << "the kernel host did not start";
    hx::iokit::MachineControlClient control;
    ASSERT_TRUE(control.connect(hostPath));

    // Another client configures the device and streams: the helper, an
    // ordinary user's program, would restore the settings itself, but the
    // tests run as an administrator, whose device objects wait for another
    // client's configuration.
    ASSERT_TRUE(hx::iokit::useProcessTransport(hostPath.c_str()));
    hx::harness::HarnessOptions o;
    o.silenceTolerated = true;
    hx::harness::HarnessClient client(o);
    ASSERT_TRUE(client.start()) << client.lastError();
    client.run(300000);

    // The helper, its log and printed lines in one file.
    const std::string firstLog = root.path() + "/hxhelper.log";
    auto startHelper = [&](Process& helper, const std::string& log) {
        helper.pid = ::fork();
        if (helper.pid == 0) {
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            const std::string hostVar = "HX_KERNEL_HOST=" + hostPath;
            char* argv[] = {const_cast<char*>("HXHelper"), nullptr};
            char* envp[] = {const_cast<char*>(rootVar.c_str()), const_cast<char*>(hostVar.c_str()),
                            const_cast<char*>("HX_LOG=1"), nullptr};
            ::execve(HXHELPER_PATH, argv, envp);
            ::_exit(127);
        }
    };
    std::string log = firstLog;
    Process helper;
    startHelper(helper, log);
    ASSERT_TRUE(waitForLines(log, {"usbConnect", "driverConnect", "YES."})) << fileText(log);
    // The helper's device object asked the driver for both versions once
    // (the streaming client asks for neither): machine control counts them.
    std::string stats;
    ASSERT_EQ(control.statistics(stats), kIOReturnSuccess);
    const size_t at = stats.find("requestsServed ");
    ASSERT_NE(at, std::string::npos) << stats;
    const std::string served = "," + stats.substr(at + 15, stats.find('\n', at) - at - 15) + ",";
    EXPECT_NE(served.find(",25:1,"), std::string::npos) << served;
    EXPECT_NE(served.find(",26:1,"), std::string::npos) << served;

    // State change 35 from the device: the held device's handler launches.
    ASSERT_EQ(control.stateChange(STC_LAUNCHCONTROLPANEL), kIOReturnSuccess);
    const std::string launch =
        "Open panel with command: open -b com.korvex.hx5100.control --args " +
        std::to_string(helper.pid);
    ASSERT_TRUE(waitForLines(log, {launch})) << fileText(log);
    EXPECT_NE(fileText(log).find(">>>>>>>>> STC_LAUNCHCONTROLPANEL called by " +
                                 std::to_string(helper.pid)),
              std::string::npos);

    // Killed: the other client streams on.
    client.run(300000);
    helper.end(SIGKILL);
    client.run(1000000);
    client.stop();
    const hx::harness::HarnessReport r = client.report();
    EXPECT_GT(r.framesIn, 48000u);
    EXPECT_EQ(r.mismatches, 0u) << "first at input frame " << r.firstMismatch;
    EXPECT_TRUE(r.matched);
    EXPECT_EQ(std::count(r.stateChanges.begin(), r.stateChanges.end(), uint32_t(STC_STREAM_BROKEN)),
              0);

    // A helper again, with a log of its own (nothing of the first one's can
    // answer for it); unplugged, both roads report it and the flags clear once.
    log = root.path() + "/hxhelper-again.log";
    Process again;
    startHelper(again, log);
    ASSERT_TRUE(waitForLines(log, {"usbConnect", "driverConnect", "YES."})) << fileText(log);
    ASSERT_EQ(control.unplug(), kIOReturnSuccess);
    ASSERT_TRUE(waitForLines(log, {"usbDisconnect", "driverDisconnect", "removed."}))
        << fileText(log);
    EXPECT_EQ(count(fileText(log), "Interface removed"), 1u) << fileText(log);
    std::fclose(hostOut);
}

TEST(HxsimHelper, HxsimRunsTheHelperAcrossProcesses) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(
        hxsimAsGiven(root.path(), "--road hal --transport process --helper --seconds 2"));
    ASSERT_EQ(run.status, 0) << run.out;
    auto f = fields(run.out);
    EXPECT_EQ(f["transport"], "process");
    const std::string connections = f["helper"];
    EXPECT_NE(connections.find("usbConnect"), std::string::npos) << run.out;
    EXPECT_NE(connections.find("driverConnect"), std::string::npos) << run.out;
    EXPECT_EQ(count(run.out, "helper launch:"), 1u) << run.out;
    EXPECT_EQ(f["helper launch"].rfind("open -b com.korvex.hx5100.control --args ", 0), 0u)
        << run.out;
    EXPECT_EQ(f["result"], "pass");
}

TEST(HxsimHelper, TheHelperNeedsTheProcessTransport) {
    hx::test::TempRoot root;
    const CommandRun run = runCommand(hxsimAsGiven(root.path(), "--helper") + " 2>&1");
    EXPECT_EQ(run.status, 2) << run.out;
    EXPECT_EQ(count(run.out, "\n"), 1u) << run.out;
    EXPECT_NE(run.out.find("--helper needs --transport process"), std::string::npos);
}

} // namespace
