// Frames over SOCK_SEQPACKET sockets, with descriptor passing.
#include "platform/iokit/WireSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace hx::iokit::wire {

namespace {

// Closes every descriptor a message carried.
void closePassed(msghdr& msg) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t n = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            ::close(fd);
        }
    }
}

} // namespace

bool sendFrame(int socket, uint16_t kind, uint32_t sequence, const std::vector<uint8_t>& payload,
               int fd) {
    std::vector<uint8_t> bytes = encodeFrame(kind, sequence, payload);
    iovec iov{bytes.data(), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    for (;;) {
        const ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (n == ssize_t(bytes.size())) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

RecvResult recvFrame(int socket, Frame& frame, int* fd) {
    if (fd) *fd = -1;
    // One byte more than the largest frame, so an oversize datagram shows.
    thread_local std::vector<uint8_t> buffer(kHeaderSize + kMaxPayload + 1);
    iovec iov{buffer.data(), buffer.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 8)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n == 0) return RecvResult::End;
    if (n < 0) return errno == ECONNRESET ? RecvResult::End : RecvResult::Bad;
    int passed = -1;
    int count = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            count += int((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
            std::memcpy(&passed, CMSG_DATA(c), sizeof passed);
        }
    }
    const bool badFds = (msg.msg_flags & MSG_CTRUNC) || count > (fd ? 1 : 0);
    if (badFds || (msg.msg_flags & MSG_TRUNC) ||
        decodeFrame(buffer.data(), size_t(n), frame) != FrameError::None) {
        closePassed(msg);
        return RecvResult::Bad;
    }
    if (fd && count == 1) *fd = passed;
    return RecvResult::Frame;
}

int connectTo(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

} // namespace hx::iokit::wire
