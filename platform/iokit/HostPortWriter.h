// The kernel host's notification ports: each port's records wait in a
// bounded queue, and one writer per session writes every port's records to
// its socket.
//
// A state change fanned out to many ports of one process would otherwise
// wake one writer per port, each wake-up paid by the kernel's sender. Here
// the sender only queues; the first port to get work in a batch asks for
// the session's writer to be woken, once, when the batch is over
// (hx::wake). The writer sends without blocking: a port whose socket is
// full waits for room on its own while the others go on, and a reader that
// falls kPortQueueLimit records behind loses its port.
#pragma once

#include "platform/iokit/IOKitTransport.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hx::iokit {

class HostPort;

// Writes the records of one session's ports, one thread for them all.
class PortWriter : public std::enable_shared_from_this<PortWriter> {
public:
    PortWriter();
    ~PortWriter();
    PortWriter(const PortWriter&) = delete;
    PortWriter& operator=(const PortWriter&) = delete;

    // Starts the thread; false when it cannot wait for work (no eventfd).
    bool start();
    // Ends the thread; the ports must all be finished.
    void stop();

private:
    friend class HostPort;

    void run();
    // Takes what the ready ports queued and sends what their sockets take.
    void pass(const std::vector<int>& writable);
    bool sendSome(HostPort* port);
    // Called with the ready port's lock held: puts it on the list; true when
    // the thread sleeps and nobody asked for its wake-up yet.
    bool enlist(HostPort* port);
    // The port is finished: nothing here refers to it any more.
    void forget(HostPort* port);
    void wake();
    static void wakeDeferred();

    int mEvent = -1;
    std::thread mThread;

    std::mutex mLock; // the ready list and the sleep state
    std::vector<HostPort*> mReady;
    bool mSleeping = false;
    bool mWakeAsked = false;
    bool mStopping = false;

    // Held by the thread while it works on ports (never while it sleeps), so
    // a port's finish can wait until it is let go.
    std::mutex mPassLock;
    std::vector<HostPort*> mBlocked; // sockets that were full (under mPassLock)
};

// A notification port's host end; deliver only queues.
class HostPort final : public PortSink {
public:
    // Without a socket (fd < 0) records only queue, up to the limit.
    HostPort(int fd, Handle handle, std::shared_ptr<PortWriter> writer);
    ~HostPort();

    void deliver(NotificationRecord&& record) override;
    void lost() override {}
    // The handle the kernel end gave the port, for the log.
    void setHandle(Handle handle);

    // Writes nothing more; what is still queued is dropped. After it
    // returns the writer never touches the port or its socket.
    void finish();

private:
    friend class PortWriter;

    int mFd;
    Handle mHandle;
    std::shared_ptr<PortWriter> mWriter;

    std::mutex mLock;
    std::deque<NotificationRecord> mQueue;
    size_t mBehind = 0;   // queued or taken, not yet sent
    bool mListed = false; // on the writer's ready list
    bool mClosed = false;
    bool mFinished = false;

    // The writer's own (under its pass lock): whole frames taken from the
    // queue, not yet sent.
    std::deque<std::vector<uint8_t>> mTaken;
    uint32_t mSequence = 0;
    bool mBlocked = false;
};

} // namespace hx::iokit
