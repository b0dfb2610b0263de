// The user end of the cross-process transport (PROTOCOL.md).
#pragma once

#include "platform/iokit/IOKitTransport.h"

#include <memory>
#include <string>

namespace hx::iokit {

// The environment variable naming the kernel host's socket: a process that
// starts with it set uses the host instead of an in-process kernel.
constexpr const char* kKernelHostVariable = "HX_KERNEL_HOST";

// A transport to the kernel host listening at socketPath. When the host
// cannot be reached, error says why and the transport answers every call
// MACH_SEND_INVALID_DEST, as after a lost host. timePage receives the host's
// time page (-1 when none came); the caller owns it.
std::unique_ptr<Transport> makeProcessTransport(const std::string& socketPath, std::string& error,
                                                int* timePage);

} // namespace hx::iokit
