// hxsim's kernel host mode: boots the machine and serves its kernel to other
// processes until SIGTERM.
#pragma once

#include <string>

#include "sim/SimOptions.h"

namespace hx::sim {

// Boots the machine with the options (paced), listens at socketPath (a path
// of the other system, under the path root), prints
// "kernel host ready at <path>" and serves until SIGTERM or SIGINT. The exit
// code: 0 after a clean stop, 1 when the machine or the socket failed.
int runKernelHost(const std::string& socketPath, const Options& options);

} // namespace hx::sim
