// One reader thread for every notification port of a transport.
#include "platform/iokit/PortReader.h"

#include "platform/base/HXClock.h"
#include "platform/iokit/WireSocket.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace hx::iokit {

namespace {

// Records read from one port before the others get their turn.
constexpr int kBatch = 16;
constexpr int kEvents = 64;

} // namespace

PortReader::~PortReader() {
    {
        std::lock_guard<std::mutex> g(mLock);
        if (mThread.joinable()) {
            const uint64_t one = 1;
            // The eventfd cannot be full after one write; the thread ends.
            if (::write(mStop, &one, sizeof one) != ssize_t(sizeof one)) {
            }
        }
    }
    if (mThread.joinable()) mThread.join();
    for (auto& [key, port] : mPorts)
        ::close(port.fd);
    if (mEpoll >= 0) ::close(mEpoll);
    if (mStop >= 0) ::close(mStop);
}

bool PortReader::startLocked() {
    if (mThread.joinable()) return true;
    if (mFailed) return false;
    mEpoll = ::epoll_create1(EPOLL_CLOEXEC);
    mStop = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = 0;
    if (mEpoll < 0 || mStop < 0 || ::epoll_ctl(mEpoll, EPOLL_CTL_ADD, mStop, &e) != 0) {
        mFailed = true;
        return false;
    }
    mThread = std::thread([this] { run(); });
    return true;
}

uint64_t PortReader::add(int fd, PortSink* sink) {
    std::lock_guard<std::mutex> g(mLock);
    // Only this thread reads the socket, and it must never wait on one port
    // while the others have records.
    const int flags = ::fcntl(fd, F_GETFL);
    if (!startLocked() || flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(fd);
        return 0;
    }
    const uint64_t key = mNextKey++;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = key;
    if (::epoll_ctl(mEpoll, EPOLL_CTL_ADD, fd, &e) != 0) {
        ::close(fd);
        return 0;
    }
    mPorts[key] = Port{fd, sink, false};
    return key;
}

void PortReader::remove(uint64_t key) {
    std::unique_lock<std::mutex> l(mLock);
    auto it = mPorts.find(key);
    if (it == mPorts.end()) return;
    const Port port = it->second;
    mPorts.erase(it);
    if (!port.ended) ::epoll_ctl(mEpoll, EPOLL_CTL_DEL, port.fd, nullptr);
    // On the reader thread the call in progress is the caller's own (or
    // another port's): the thread looks the port up again before it reads
    // or delivers more, and finds it gone.
    const bool wait = mBusy == key && std::this_thread::get_id() != mThread.get_id();
    l.unlock();
    if (wait) {
        // A sink's call only queues; time need not wait for it.
        hx::clock::Idle idle;
        std::unique_lock<std::mutex> w(mLock);
        mReleased.wait(w, [&] { return mBusy != key; });
    }
    ::close(port.fd);
}

void PortReader::run() {
    epoll_event events[kEvents];
    for (;;) {
        const int n = ::epoll_wait(mEpoll, events, kEvents, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return; // only a broken epoll descriptor; nothing more can be read
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) return; // stopped
            serve(events[i].data.u64);
        }
    }
}

void PortReader::release() {
    {
        std::lock_guard<std::mutex> g(mLock);
        mBusy = 0;
    }
    mReleased.notify_all();
}

void PortReader::serve(uint64_t key) {
    int fd = -1;
    PortSink* sink = nullptr;
    {
        // A port removed after epoll reported it is simply not there.
        std::lock_guard<std::mutex> g(mLock);
        auto it = mPorts.find(key);
        if (it == mPorts.end() || it->second.ended) return;
        fd = it->second.fd;
        sink = it->second.sink;
        mBusy = key;
    }
    for (int i = 0; i < kBatch; ++i) {
        wire::Frame f;
        NotificationRecord r;
        errno = 0;
        const wire::RecvResult got = wire::recvFrame(fd, f);
        if (got == wire::RecvResult::Bad && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (got == wire::RecvResult::Frame && f.kind == wire::kRecord &&
            wire::decodeRecord(f.payload, r)) {
            sink->deliver(std::move(r));
            // Removed during the call (from inside it, or by a thread now
            // waiting for release): the port is not read again.
            std::lock_guard<std::mutex> g(mLock);
            if (!mPorts.count(key)) break;
            continue;
        }
        // The host went, or sent what a port never carries: the socket
        // ends and the port hears nothing more. A port being removed is
        // told nothing.
        bool held = false;
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mPorts.find(key);
            if (it != mPorts.end()) {
                held = true;
                it->second.ended = true;
                ::epoll_ctl(mEpoll, EPOLL_CTL_DEL, fd, nullptr);
                ::shutdown(fd, SHUT_RDWR);
            }
        }
        if (held) sink->lost();
        break;
    }
    release();
}

} // namespace hx::iokit
