// The user end of the cross-process transport against a scripted host that
// answers badly, and the host's published clock as a user process reads it.
#include "platform/iokit/ProcessTransport.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"
#include "platform/cf/CFDictionary.h"
#include "platform/iokit/HostTimePage.h"
#include "platform/iokit/KernelHostWire.h"
#include "platform/iokit/WireSocket.h"

namespace {

namespace wire = hx::iokit::wire;

// A host that accepts a session and one connection, answers the session's
// Hello and Open properly, and answers the connection's Map as told.
class ScriptedHost {
public:
    using MapAnswer = std::function<void(int socket, uint32_t sequence)>;

    explicit ScriptedHost(MapAnswer answer) : mAnswer(std::move(answer)) {
        char dir[] = "/tmp/hxscript.XXXXXX";
        EXPECT_NE(::mkdtemp(dir), nullptr);
        mDir = dir;
        mPath = mDir + "/kernel.sock";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, mPath.c_str());
        mListen = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        EXPECT_EQ(::bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(mListen, 4), 0);
        mThread = std::thread([this] { serve(); });
    }
    ~ScriptedHost() {
        mThread.join();
        ::close(mListen);
        ::unlink(mPath.c_str());
        ::rmdir(mDir.c_str());
    }
    const std::string& path() const { return mPath; }

private:
    static void reply(int s, const wire::Frame& f, std::vector<uint8_t> payload) {
        wire::sendFrame(s, f.kind, f.sequence, payload);
    }

    void serve() {
        const int session = ::accept(mListen, nullptr, nullptr);
        wire::Frame f;
        wire::Writer hello;
        hello.u32(0), hello.u64(77), hello.u32(9);
        if (wire::recvFrame(session, f) == wire::RecvResult::Frame) reply(session, f, hello.data());
        wire::Writer open;
        open.u32(0), open.u32(5);
        if (wire::recvFrame(session, f) == wire::RecvResult::Frame) reply(session, f, open.data());
        const int connection = ::accept(mListen, nullptr, nullptr);
        wire::Writer ok;
        ok.u32(0);
        if (wire::recvFrame(connection, f) == wire::RecvResult::Frame)
            reply(connection, f, ok.data());
        if (wire::recvFrame(connection, f) == wire::RecvResult::Frame)
            mAnswer(connection, f.sequence);
        // Whatever comes next, the user should have ended the socket.
        mAfter = wire::recvFrame(connection, f);
        ::close(connection);
        ::close(session);
    }

    MapAnswer mAnswer;
    std::string mDir, mPath;
    int mListen = -1;
    std::thread mThread;

public:
    wire::RecvResult mAfter = wire::RecvResult::Frame;
};

std::vector<uint8_t> mapReply(uint64_t size) {
    wire::Writer w;
    w.u32(0), w.u64(0x10000), w.u64(0), w.u64(size);
    return std::move(w.data());
}

int memfdOf(size_t bytes) {
    const int fd = ::memfd_create("scripted", MFD_CLOEXEC);
    EXPECT_EQ(::ftruncate(fd, off_t(bytes)), 0);
    return fd;
}

TEST(ProcessTransport, ABadMapReplyEndsTheConnectionAndLeavesNoDescriptor) {
    struct Case {
        const char* name;
        ScriptedHost::MapAnswer answer;
    } cases[] = {
        {"success without a descriptor",
         [](int s, uint32_t seq) { wire::sendFrame(s, wire::kMap, seq, mapReply(30744)); }},
        {"a descriptor smaller than the area",
         [](int s, uint32_t seq) {
             const int fd = memfdOf(4096);
             wire::sendFrame(s, wire::kMap, seq, mapReply(30744), fd);
             ::close(fd);
         }},
        {"a reply of another kind",
         [](int s, uint32_t seq) { wire::sendFrame(s, wire::kCall, seq, mapReply(30744)); }},
        {"a reply with bytes left over",
         [](int s, uint32_t seq) {
             auto p = mapReply(30744);
             p.push_back(0);
             const int fd = memfdOf(32768);
             wire::sendFrame(s, wire::kMap, seq, p, fd);
             ::close(fd);
         }},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        // Descriptors before, to find any a bad reply left behind.
        const int probe = ::dup(0);
        ::close(probe);
        ScriptedHost host(k.answer);
        std::string error;
        int page = -1;
        auto t = hx::iokit::makeProcessTransport(host.path(), error, &page);
        ASSERT_TRUE(error.empty()) << error;
        hx::iokit::Handle c = 0;
        ASSERT_EQ(t->open(1, mach_task_self(), 0, &c), KERN_SUCCESS);
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        EXPECT_EQ(t->map(c, 1, &address, &size), MACH_SEND_INVALID_DEST);
        EXPECT_EQ(t->map(c, 1, &address, &size), MACH_SEND_INVALID_DEST); // the socket is over
        t.reset();
        const int next = ::dup(0);
        EXPECT_LE(next, probe + 2); // nothing the host sent stays open here
        ::close(next);
    }
}

TEST(ProcessTransport, AnUnreachableHostAnswersEveryCallInvalidDestination) {
    std::string error;
    int page = -1;
    auto t = hx::iokit::makeProcessTransport("/nonexistent/kernel.sock", error, &page);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(page, -1);
    std::vector<hx::iokit::Handle> services;
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(t->getMatchingServices(d, services), MACH_SEND_INVALID_DEST);
    CFRelease(d);
    int pid = 0;
    EXPECT_EQ(t->pidForTask(mach_task_self(), &pid), MACH_SEND_INVALID_DEST);
    hx::iokit::Handle port = 0;
    EXPECT_EQ(t->createPort(nullptr, &port), MACH_SEND_INVALID_DEST);
}

TEST(HostTimePage, AReaderIsNeverBehindTheHostNorGoesBackwards) {
    hx::clock::VirtualClock clock(5000000000ull);
    hx::iokit::HostTimePage page;
    std::string error;
    ASSERT_TRUE(page.create(error)) << error;
    const int fd = page.readOnlyDescriptor();
    ASSERT_GE(fd, 0);
    // Read-only for the receiver: it can neither map it writable nor resize it.
    EXPECT_EQ(::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_NE(::ftruncate(fd, 0), 0);
    hx::iokit::HostTimeSource reader;
    ASSERT_TRUE(reader.attach(fd));
    uint64_t last = 0;
    for (int i = 0; i < 50; ++i) {
        clock.runFor(1000000); // 1 ms of host time
        page.publish();
        const uint64_t host = clock.now();
        const uint64_t now = reader.nowNanos();
        EXPECT_GE(now, host);
        EXPECT_GE(now, last);
        last = now;
    }
}

} // namespace
