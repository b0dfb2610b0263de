// Frames over a Unix SOCK_SEQPACKET socket, for both ends of the kernel host
// protocol: one datagram is one frame, sends never raise SIGPIPE, and a
// received frame is checked (KernelHostWire.h) before anyone reads it.
// Descriptors travel only where the caller lets them.
#pragma once

#include "platform/iokit/KernelHostWire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hx::iokit::wire {

enum class RecvResult { Frame, End, Bad };

// Sends one frame, with fd attached by SCM_RIGHTS when it is not -1. False
// when the peer is gone or the socket failed.
bool sendFrame(int socket, uint16_t kind, uint32_t sequence, const std::vector<uint8_t>& payload,
               int fd = -1);

// Receives one frame. Without a place for a descriptor (fd null), a frame
// carrying one is Bad; with one, at most one descriptor is taken (-1 when
// none came). Descriptors of a Bad frame are closed. End: the peer closed.
RecvResult recvFrame(int socket, Frame& frame, int* fd = nullptr);

// A connected SOCK_SEQPACKET socket to path (close-on-exec), or -1.
int connectTo(const std::string& path);

} // namespace hx::iokit::wire
