#include "platform/iokit/HostPortWriter.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/HXWakeBatch.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/KernelHostWire.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace hx::iokit {

namespace {

// Writers whose wake-up a sender held back until its batch closed.
struct DeferredWakes {
    std::mutex lock;
    std::vector<std::shared_ptr<PortWriter>> writers;
};
DeferredWakes& deferredWakes() {
    static auto* d = new DeferredWakes; // never destroyed: senders may outlive statics
    return *d;
}

template <class T> void eraseOne(std::vector<T*>& v, T* x) {
    auto it = std::find(v.begin(), v.end(), x);
    if (it != v.end()) v.erase(it);
}

} // namespace

PortWriter::PortWriter() = default;

PortWriter::~PortWriter() {
    stop();
    if (mEvent >= 0) ::close(mEvent);
}

bool PortWriter::start() {
    mEvent = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mEvent < 0) return false;
    mThread = std::thread([this] { run(); });
    return true;
}

void PortWriter::stop() {
    {
        std::lock_guard<std::mutex> g(mLock);
        mStopping = true;
    }
    if (mThread.joinable()) {
        wake();
        mThread.join();
    }
}

void PortWriter::wake() {
    const uint64_t one = 1;
    if (::write(mEvent, &one, sizeof one) < 0) {
        // Already signalled as far as the counter goes: the thread wakes.
    }
}

void PortWriter::wakeDeferred() {
    std::vector<std::shared_ptr<PortWriter>> writers;
    {
        DeferredWakes& d = deferredWakes();
        std::lock_guard<std::mutex> g(d.lock);
        writers.swap(d.writers);
    }
    for (auto& w : writers)
        w->wake();
}

bool PortWriter::enlist(HostPort* port) {
    std::lock_guard<std::mutex> g(mLock);
    mReady.push_back(port);
    if (!mSleeping || mWakeAsked) return false;
    mWakeAsked = true;
    return true;
}

void PortWriter::forget(HostPort* port) {
    {
        std::lock_guard<std::mutex> g(mLock);
        eraseOne(mReady, port);
    }
    bool blocked;
    {
        // The writer keeps its pass lock for a pass only, never while it
        // waits for anything.
        hx::clock::Idle idle;
        std::lock_guard<std::mutex> g(mPassLock);
        eraseOne(mBlocked, port);
        port->mTaken.clear();
        blocked = port->mBlocked;
    }
    // Its socket leaves the set the writer waits on.
    if (blocked) wake();
}

void PortWriter::run() {
    std::vector<pollfd> fds;
    std::vector<int> writable;
    for (;;) {
        fds.assign(1, pollfd{mEvent, POLLIN, 0});
        {
            std::lock_guard<std::mutex> g(mPassLock);
            for (HostPort* p : mBlocked)
                fds.push_back(pollfd{p->mFd, POLLOUT, 0});
        }
        bool sleep;
        {
            std::lock_guard<std::mutex> g(mLock);
            if (mStopping) return;
            sleep = mReady.empty();
            mSleeping = sleep;
        }
        if (sleep || fds.size() > 1) {
            int n;
            do
                n = ::poll(fds.data(), fds.size(), sleep ? -1 : 0);
            while (n < 0 && errno == EINTR);
            if (fds[0].revents & POLLIN) {
                uint64_t count = 0;
                if (::read(mEvent, &count, sizeof count) < 0) {
                    // Drained by an earlier read: nothing was lost.
                }
            }
            if (sleep) {
                std::lock_guard<std::mutex> g(mLock);
                mSleeping = false;
                mWakeAsked = false;
            }
        }
        writable.clear();
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents) writable.push_back(fds[i].fd);
        pass(writable);
    }
}

void PortWriter::pass(const std::vector<int>& writable) {
    std::lock_guard<std::mutex> passing(mPassLock);
    // Sockets with room again go first: what waits for them is older.
    std::vector<HostPort*> resumed;
    for (auto it = mBlocked.begin(); it != mBlocked.end();) {
        HostPort* p = *it;
        if (std::find(writable.begin(), writable.end(), p->mFd) == writable.end()) {
            ++it;
            continue;
        }
        p->mBlocked = false;
        resumed.push_back(p);
        it = mBlocked.erase(it);
    }
    for (HostPort* p : resumed)
        sendSome(p);
    std::vector<HostPort*> ready;
    {
        std::lock_guard<std::mutex> g(mLock);
        ready.swap(mReady);
    }
    // Each port's records go out as soon as they are encoded, so the first
    // port's reader need not wait for the last port's encoding.
    std::deque<NotificationRecord> taken;
    for (HostPort* p : ready) {
        {
            std::lock_guard<std::mutex> g(p->mLock);
            p->mListed = false;
            if (p->mClosed) {
                p->mTaken.clear();
                continue;
            }
            taken.swap(p->mQueue);
        }
        // Encoded here rather than by the sender, which only queues.
        for (const NotificationRecord& r : taken)
            p->mTaken.push_back(
                wire::encodeFrame(wire::kRecord, ++p->mSequence, wire::encodeRecord(r)));
        taken.clear();
        if (!p->mBlocked) sendSome(p);
    }
}

// Sends the port's records in order until its socket is full; false when
// the socket failed (the port is closed then).
bool PortWriter::sendSome(HostPort* p) {
    size_t sent = 0;
    bool dead = false;
    while (!p->mTaken.empty()) {
        const std::vector<uint8_t>& frame = p->mTaken.front();
        const ssize_t n = ::send(p->mFd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == ssize_t(frame.size())) {
            p->mTaken.pop_front();
            ++sent;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            p->mBlocked = true;
            mBlocked.push_back(p);
            break;
        }
        dead = true;
        break;
    }
    if (dead) p->mTaken.clear();
    if (sent || dead) {
        std::lock_guard<std::mutex> g(p->mLock);
        p->mBehind -= sent;
        if (dead) {
            p->mClosed = true;
            p->mQueue.clear();
        }
    }
    return !dead;
}

HostPort::HostPort(int fd, Handle handle, std::shared_ptr<PortWriter> writer)
    : mFd(fd), mHandle(handle), mWriter(fd >= 0 ? std::move(writer) : nullptr) {}

HostPort::~HostPort() {
    finish();
}

void HostPort::setHandle(Handle handle) {
    std::lock_guard<std::mutex> g(mLock);
    mHandle = handle;
}

void HostPort::deliver(NotificationRecord&& record) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> g(mLock);
        if (mClosed) return;
        if (mBehind >= kPortQueueLimit) {
            // Never thinned or reordered: a reader that far behind loses its
            // port instead.
            IOLog("HXKernelHost: notification port %u fell %zu messages behind; closed\n", mHandle,
                  kPortQueueLimit);
            mClosed = true;
            mQueue.clear();
            if (mFd >= 0) ::shutdown(mFd, SHUT_RDWR);
            return;
        }
        mQueue.push_back(std::move(record));
        ++mBehind;
        if (mWriter && !mListed) {
            mListed = true;
            wake = mWriter->enlist(this);
        }
    }
    if (!wake) return;
    {
        DeferredWakes& d = deferredWakes();
        std::lock_guard<std::mutex> g(d.lock);
        d.writers.push_back(mWriter);
    }
    // A sender fanning one change out to many ports wakes the writer once,
    // when every port has its copy.
    hx::wake::runOrDefer(&PortWriter::wakeDeferred);
}

void HostPort::finish() {
    {
        std::lock_guard<std::mutex> g(mLock);
        if (mFinished) return;
        mFinished = true;
        mClosed = true;
        mQueue.clear();
    }
    if (mWriter) mWriter->forget(this);
}

} // namespace hx::iokit
