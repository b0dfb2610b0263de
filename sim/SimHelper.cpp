#include "sim/SimHelper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "abi/QN_StateChange.h"
#include "platform/base/HXPath.h"

namespace hx::sim {

namespace {

// Waits on the wall clock: the host runs paced, the helper in real time.
constexpr int kWaitSteps = 600;
constexpr auto kStep = std::chrono::milliseconds(50);

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// HXHelper is built beside hxsim (sim/hxsim and apps/helper/HXHelper).
std::string helperProgram() {
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, size_t(n)) : std::string();
    dir = dir.substr(0, dir.find_last_of('/'));
    const std::string candidates[] = {dir + "/../apps/helper/HXHelper", dir + "/HXHelper"};
    for (const std::string& c : candidates)
        if (::access(c.c_str(), X_OK) == 0) return c;
    return candidates[0];
}

} // namespace

HelperChild::~HelperChild() {
    if (mWatcher.joinable()) mWatcher.join();
    if (mPid > 0) {
        ::kill(mPid, SIGTERM);
        int status = 0;
        ::waitpid(mPid, &status, 0);
    }
}

bool HelperChild::start(KernelHostChild& host, std::string& error) {
    mLogPath = hx::path::map("/var/log/hxhelper.log");
    const std::string program = helperProgram();
    if (::access(program.c_str(), X_OK) != 0) {
        error = "no HXHelper program at " + program;
        return false;
    }
    const int log = ::open(mLogPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        error = "the helper's log " + mLogPath + " cannot be written";
        return false;
    }
    const std::string socket = host.socketPath();
    mPid = ::fork();
    if (mPid == 0) {
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        ::setenv("HX_KERNEL_HOST", socket.c_str(), 1);
        ::setenv("HX_LOG", "1", 1);
        char* argv[] = {const_cast<char*>("HXHelper"), nullptr};
        ::execv(program.c_str(), argv);
        ::_exit(127);
    }
    ::close(log);
    if (mPid < 0) {
        error = "HXHelper could not be started";
        return false;
    }
    mWatcher = std::thread([this, &host] { watch(&host); });
    return true;
}

void HelperChild::watch(KernelHostChild* host) {
    for (int i = 0; i < kWaitSteps && !mConnected; ++i) {
        const std::string text = readAll(mLogPath);
        mConnected = text.find("usbConnect") != std::string::npos &&
                     text.find("driverConnect") != std::string::npos;
        if (!mConnected) std::this_thread::sleep_for(kStep);
    }
    if (!mConnected) return;
    mStateChangeSent = host->control().stateChange(STC_LAUNCHCONTROLPANEL) == kIOReturnSuccess;
    if (!mStateChangeSent) return;
    for (int i = 0; i < kWaitSteps; ++i) {
        if (readAll(mLogPath).find("Open panel with command: ") != std::string::npos) return;
        std::this_thread::sleep_for(kStep);
    }
}

void HelperChild::finish(Report& r) {
    if (mWatcher.joinable()) mWatcher.join();
    if (mPid > 0) {
        ::kill(mPid, SIGTERM);
        int status = 0;
        ::waitpid(mPid, &status, 0);
        mPid = -1;
    }
    r.helper = true;
    r.helperLog = mLogPath;
    std::istringstream lines(readAll(mLogPath));
    const std::string launch = "Open panel with command: ";
    for (std::string line; std::getline(lines, line);) {
        for (const char* key :
             {"usbConnect", "driverConnect", "usbDisconnect", "driverDisconnect"}) {
            const std::string k(key);
            if (line.size() >= k.size() && line.compare(line.size() - k.size(), k.size(), k) == 0)
                r.helperConnections.push_back(k);
        }
        const size_t at = line.find(launch);
        if (at != std::string::npos) r.helperLaunches.push_back(line.substr(at + launch.size()));
    }
    if (r.failure.empty()) {
        if (!mConnected)
            r.failure = "HXHelper did not report usbConnect and driverConnect";
        else if (!mStateChangeSent)
            r.failure = "machine control did not send state change 35";
        else if (r.helperLaunches.empty())
            r.failure = "HXHelper recorded no launch command after state change 35";
    }
}

} // namespace hx::sim
