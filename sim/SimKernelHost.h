// hxsim's kernel host mode: boots the machine and serves its kernel to other
// processes until SIGTERM.
#pragma once

#include <string>
#include <sys/types.h>

#include "driver/clients/harness/HarnessMachine.h"
#include "platform/iokit/MachineControlClient.h"
#include "sim/SimOptions.h"

namespace hx::sim {

// Boots the machine with the options (paced), listens at socketPath (a path
// of the other system, under the path root), prints
// "kernel host ready at <path>" and serves until SIGTERM or SIGINT. The exit
// code: 0 after a clean stop, 1 when the machine or the socket failed.
int runKernelHost(const std::string& socketPath, const Options& options);

// A kernel host run as this hxsim's child (--transport process): it boots
// the machine with the run's options, and this process's user-side IOKit
// calls go to it from then on. Machine control reaches the machine's facts.
class KernelHostChild {
public:
    KernelHostChild() = default;
    ~KernelHostChild(); // SIGTERM, then waits for the child
    KernelHostChild(const KernelHostChild&) = delete;
    KernelHostChild& operator=(const KernelHostChild&) = delete;

    // Starts the child and waits for its ready line; false with error set.
    bool start(const Options& options, std::string& error);
    // The machine's facts as machine control's statistics give them.
    hx::harness::MachineFacts facts();
    hx::iokit::MachineControlClient& control() { return mControl; }
    // The host's socket (a path on this machine).
    const std::string& socketPath() const { return mPath; }

private:
    pid_t mPid = -1;
    std::string mPath;
    hx::iokit::MachineControlClient mControl;
};

} // namespace hx::sim
