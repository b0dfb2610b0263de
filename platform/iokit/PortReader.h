// The user end's notification ports: one reader thread per transport reads
// every port's socket and hands each record to its port's sink.
//
// A reader thread per port would make a state change fanned out to many
// ports of one process wake as many threads, each wake-up paid inside the
// host writer's send. Here one thread waits on all the sockets at once
// (epoll) and reads whatever is ready; each port's records reach its sink
// one at a time, in the order they came, and a port whose socket ends hears
// lost() while the others go on.
#pragma once

#include "platform/iokit/IOKitTransport.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

namespace hx::iokit {

class PortReader {
public:
    PortReader() = default;
    // Stops and joins the thread and closes every socket still held. Never
    // from inside a sink's call.
    ~PortReader();
    PortReader(const PortReader&) = delete;
    PortReader& operator=(const PortReader&) = delete;

    // Takes a connected socket that only this reader reads from now on, and
    // delivers its records to sink. A key for remove, or 0 when the reader
    // cannot run (the socket is then closed).
    uint64_t add(int fd, PortSink* sink);

    // Once this returns, the port's sink is never called again and its
    // socket is closed. It may be called from inside a sink's call on the
    // reader thread, for that port or another; from any other thread it
    // waits for a call in progress on the port to return.
    void remove(uint64_t key);

private:
    struct Port {
        int fd = -1;
        PortSink* sink = nullptr;
        bool ended = false; // the socket ended; lost() was called
    };

    bool startLocked();
    void run();
    // Reads what one port has ready, up to a batch, so a busy port cannot
    // starve the others.
    void serve(uint64_t key);
    // Marks the port out of the reader's hands.
    void release();

    std::mutex mLock; // everything below
    std::condition_variable mReleased;
    std::map<uint64_t, Port> mPorts;
    uint64_t mNextKey = 1; // 0 is the stop event's
    uint64_t mBusy = 0;    // the port whose socket or sink the thread uses
    int mEpoll = -1;
    int mStop = -1;
    bool mFailed = false;
    std::thread mThread;
};

} // namespace hx::iokit
