// hxsim --helper: HXHelper as a child of this run against the kernel host
// (--transport process only). It watches the device as it does on the other
// system; the run waits for its connection lines, has machine control send
// state change 35 once, and ends it with SIGTERM.
#pragma once

#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "sim/SimKernelHost.h"
#include "sim/SimReport.h"

namespace hx::sim {

class HelperChild {
public:
    HelperChild() = default;
    ~HelperChild(); // SIGTERM, then waits for the child
    HelperChild(const HelperChild&) = delete;
    HelperChild& operator=(const HelperChild&) = delete;

    // Starts HXHelper against the host; its log and standard output go to
    // /var/log/hxhelper.log under the root. Then, on a thread of its own,
    // waits for "usbConnect" and "driverConnect" and sends state change 35
    // through machine control. False with error set when it cannot start.
    bool start(KernelHostChild& host, std::string& error);
    // Ends the child (SIGTERM) and fills the report's helper lines: the
    // connection lines and each launch command the helper recorded.
    void finish(Report& report);

private:
    void watch(KernelHostChild* host);

    pid_t mPid = -1;
    std::string mLogPath;
    std::thread mWatcher;
    bool mConnected = false;
    bool mStateChangeSent = false;
};

} // namespace hx::sim
