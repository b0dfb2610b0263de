// The user end of the cross-process transport: a session socket to the
// kernel host, a socket per connection and per notification port (every
// port read by one thread, PortReader), shared memory received as sealed
// memfds. Whatever the host sends is checked as the host checks its clients;
// a bad frame or a lost host ends that socket, its calls answer
// MACH_SEND_INVALID_DEST, and mappings made stay valid.
#include "platform/iokit/ProcessTransport.h"

#include "platform/base/MacErrors.h"
#include "platform/iokit/HostTimePage.h"
#include "platform/iokit/PortReader.h"
#include "platform/iokit/UserReplies.h"
#include "platform/iokit/WireSocket.h"
#include "platform/base/MachPort.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFString.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace hx::iokit {

using wire::Frame;
using wire::Reader;
using wire::Role;
using wire::Writer;

namespace {

// One socket with requests answered in order; any fault ends it.
class Link {
public:
    explicit Link(int fd) : mFd(fd) {}
    ~Link() {
        if (mFd >= 0) ::close(mFd);
    }

    // Sends a request and takes its reply; false (and the link is dead)
    // when either fails or the reply is not the request's. With fd, one
    // descriptor may come with the reply.
    bool request(uint16_t kind, const std::vector<uint8_t>& payload, Frame& reply,
                 int* fd = nullptr) {
        std::lock_guard<std::mutex> g(mLock);
        if (mDead) return false;
        const uint32_t sequence = ++mSequence;
        if (!wire::sendFrame(mFd, kind, sequence, payload) ||
            wire::recvFrame(mFd, reply, fd) != wire::RecvResult::Frame || reply.kind != kind ||
            reply.sequence != sequence) {
            if (fd && *fd >= 0) ::close(*fd);
            if (fd) *fd = -1;
            kill();
            return false;
        }
        return true;
    }

    // Ends the link (its socket stays open until destroyed, so the peer
    // sees one end of file).
    void kill() {
        mDead = true;
        ::shutdown(mFd, SHUT_RDWR);
    }
    void killLocked() {
        std::lock_guard<std::mutex> g(mLock);
        kill();
    }
    int fd() const { return mFd; }

private:
    int mFd;
    std::mutex mLock;
    uint32_t mSequence = 0;
    bool mDead = false;
};

struct Mapping {
    Handle connection;
    uint32_t type;
    mach_vm_address_t hostAddress;
    void* base;
    size_t length;
};

using replies::handles;

class ProcessTransport final : public Transport {
public:
    explicit ProcessTransport(std::string path) : mPath(std::move(path)) {}

    bool connect(std::string& error, int* timePage) {
        const int fd = wire::connectTo(mPath);
        if (fd < 0) {
            error = "cannot reach the kernel host at " + mPath + ": " + std::strerror(errno);
            return false;
        }
        mSession = std::make_unique<Link>(fd);
        Writer w;
        w.u8(uint8_t(Role::Session));
        Frame reply;
        kern_return_t kr = KERN_FAILURE;
        uint32_t task = 0;
        if (!mSession->request(wire::kHello, w.data(), reply, timePage)) {
            error = "the kernel host at " + mPath + " refused the session";
            return false;
        }
        if (!replies::sessionHello(reply.payload, kr, mToken, task)) {
            error = "the kernel host's answer to the session was not understood";
            mSession->killLocked();
            return false;
        }
        mTask = task;
        return true;
    }

    const char* name() const override { return "process"; }

    kern_return_t getMatchingServices(CFDictionaryRef matching,
                                      std::vector<Handle>& services) override {
        Writer w;
        if (!w.tree(matching)) return kIOReturnBadArgument;
        return session(wire::kGetMatchingServices, w,
                       [&](Reader& r) { return handles(r, services); });
    }

    kern_return_t retainService(Handle service, Handle* copy) override {
        Writer w;
        w.u32(service);
        return session(wire::kRetainObject, w, [&](Reader& r) { return r.u32(*copy); });
    }

    void releaseService(Handle service) override {
        Writer w;
        w.u32(service);
        uint32_t none = 0;
        session(wire::kReleaseObject, w, [&](Reader& r) { return r.u32(none); });
    }

    kern_return_t copyProperties(Handle service, CFMutableDictionaryRef* properties) override {
        Writer w;
        w.u32(service);
        CFTypeRef tree = nullptr;
        const kern_return_t kr = session(wire::kCopyProperties, w,
                                         [&](Reader& r) { return replies::properties(r, &tree); });
        if (kr == KERN_SUCCESS) {
            *properties = CFMutableDictionaryRef(tree);
            return kr;
        }
        if (tree) CFRelease(tree);
        return kr;
    }

    kern_return_t copyProperty(Handle service, CFStringRef key, CFTypeRef* value) override {
        Writer w;
        w.u32(service);
        w.string(utf8Text(key));
        *value = nullptr;
        CFTypeRef tree = nullptr;
        const kern_return_t kr =
            session(wire::kCopyProperty, w, [&](Reader& r) { return replies::property(r, &tree); });
        if (kr == KERN_SUCCESS)
            *value = tree;
        else if (tree)
            CFRelease(tree);
        return kr;
    }

    kern_return_t createPort(PortSink* sink, Handle* port) override {
        const int fd = wire::connectTo(mPath);
        if (fd < 0) return MACH_SEND_INVALID_DEST;
        Writer w;
        w.u8(uint8_t(Role::Port));
        w.u64(mToken);
        Frame reply;
        Link hello(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        Handle h = 0;
        kern_return_t kr = KERN_FAILURE;
        if (!hello.request(wire::kHello, w.data(), reply)) {
            ::close(fd);
            return MACH_SEND_INVALID_DEST;
        }
        if (!replies::portHello(reply.payload, kr, h)) {
            ::close(fd);
            return MACH_SEND_INVALID_DEST;
        }
        // The reader takes the socket; the host ends the port when it closes.
        const uint64_t key = mReader.add(fd, sink);
        if (!key) return MACH_SEND_INVALID_DEST;
        std::lock_guard<std::mutex> g(mLock);
        mPorts[h] = key;
        *port = h;
        return KERN_SUCCESS;
    }

    // Not under the transport's lock: the port's sink may be making a call
    // of its own, on the reader thread or while the reader waits for it.
    void destroyPort(Handle port) override {
        uint64_t key = 0;
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mPorts.find(port);
            if (it == mPorts.end()) return;
            key = it->second;
            mPorts.erase(it);
        }
        mReader.remove(key);
    }

    kern_return_t subscribeServices(Handle port, NotificationRecord::Kind kind,
                                    CFDictionaryRef matching, uint32_t tag, Handle* subscription,
                                    std::vector<Handle>* existing) override {
        Writer w;
        w.u32(port);
        w.u8(kind);
        if (!w.tree(matching)) return kIOReturnBadArgument;
        w.u32(tag);
        std::vector<Handle> found;
        const bool first =
            kind == NotificationRecord::FirstPublish || kind == NotificationRecord::FirstMatch;
        const kern_return_t kr =
            session(first ? wire::kSubscribeFirst : wire::kSubscribeServices, w,
                    [&](Reader& r) { return replies::subscription(r, *subscription, found); });
        if (existing)
            *existing = std::move(found);
        else
            for (Handle h : found)
                releaseService(h);
        return kr;
    }

    kern_return_t subscribeInterest(Handle port, Handle service, uint32_t tag,
                                    Handle* subscription) override {
        Writer w;
        w.u32(port);
        w.u32(service);
        w.u32(tag);
        return session(wire::kSubscribeInterest, w,
                       [&](Reader& r) { return r.u32(*subscription); });
    }

    kern_return_t registerSystemPower(Handle port, uint32_t tag, Handle* registration,
                                      Handle* root) override {
        Writer w;
        w.u8(uint8_t(wire::SystemPowerOp::Register));
        w.u32(port);
        w.u32(tag);
        return session(wire::kSystemPower, w, [&](Reader& r) {
            return replies::systemPowerRegistration(r, *registration, *root);
        });
    }

    void acknowledgeSystemPower(Handle registration, uint64_t notificationID) override {
        Writer w;
        w.u8(uint8_t(wire::SystemPowerOp::Acknowledge));
        w.u32(registration);
        w.u64(notificationID);
        session(wire::kSystemPower, w, [](Reader&) { return true; });
    }

    void unsubscribe(Handle subscription) override {
        Writer w;
        w.u32(subscription);
        session(wire::kUnsubscribe, w, [](Reader&) { return true; });
    }

    kern_return_t open(Handle service, task_t task, uint32_t type, Handle* connection) override {
        Writer w;
        w.u32(service);
        w.u32(taskName(task));
        w.u32(type);
        Handle c = 0;
        kern_return_t kr = session(wire::kOpen, w, [&](Reader& r) { return r.u32(c); });
        if (kr != KERN_SUCCESS) return kr;
        const int fd = wire::connectTo(mPath);
        if (fd < 0) return MACH_SEND_INVALID_DEST;
        auto link = std::make_shared<Link>(fd);
        Writer hello;
        hello.u8(uint8_t(Role::Connection));
        hello.u64(mToken);
        hello.u32(c);
        Frame reply;
        if (!link->request(wire::kHello, hello.data(), reply)) return MACH_SEND_INVALID_DEST;
        if (!replies::resultOnly(reply.payload, kr) || kr != KERN_SUCCESS)
            return MACH_SEND_INVALID_DEST;
        std::lock_guard<std::mutex> g(mLock);
        mConnections[c] = link;
        *connection = c;
        return KERN_SUCCESS;
    }

    kern_return_t close(Handle connection) override {
        std::shared_ptr<Link> link;
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mConnections.find(connection);
            if (it == mConnections.end()) return MACH_SEND_INVALID_DEST;
            link = it->second;
            mConnections.erase(it);
        }
        Frame reply;
        kern_return_t kr = MACH_SEND_INVALID_DEST;
        if (link->request(wire::kClose, {}, reply) && !replies::resultOnly(reply.payload, kr))
            kr = MACH_SEND_INVALID_DEST;
        return kr;
    }

    kern_return_t call(Handle connection, uint32_t selector, const CallArgs& a) override {
        wire::CallRequest c;
        c.selector = selector;
        if (a.scalarInputCount) c.scalars.assign(a.scalarInput, a.scalarInput + a.scalarInputCount);
        if (a.structInputSize) {
            auto* in = static_cast<const uint8_t*>(a.structInput);
            c.structInput.assign(in, in + a.structInputSize);
        }
        c.scalarOutputCapacity = a.scalarOutputCount ? *a.scalarOutputCount : 0;
        c.structOutputCapacity = a.structOutputSize ? uint32_t(*a.structOutputSize) : 0;
        c.wakePort = a.wakePort;
        if (a.referenceCount) c.references.assign(a.reference, a.reference + a.referenceCount);
        if ((a.scalarInputCount && !a.scalarInput) || (a.structInputSize && !a.structInput) ||
            (c.scalarOutputCapacity && !a.scalarOutput) ||
            (c.structOutputCapacity && !a.structOutput))
            return kIOReturnBadArgument;
        auto link = connectionLink(connection);
        Frame reply;
        if (!link || !link->request(wire::kCall, wire::encodeCall(c), reply))
            return MACH_SEND_INVALID_DEST;
        wire::CallReply back;
        if (!wire::decodeCallReply(reply.payload, c, back)) {
            link->killLocked();
            return MACH_SEND_INVALID_DEST;
        }
        if (back.result != KERN_SUCCESS) return back.result;
        if (!back.scalars.empty())
            std::memcpy(a.scalarOutput, back.scalars.data(), back.scalars.size() * 8);
        if (a.scalarOutputCount) *a.scalarOutputCount = uint32_t(back.scalars.size());
        if (!back.structOutput.empty())
            std::memcpy(a.structOutput, back.structOutput.data(), back.structOutput.size());
        if (a.structOutputSize) *a.structOutputSize = back.structOutput.size();
        return KERN_SUCCESS;
    }

    kern_return_t map(Handle connection, uint32_t type, mach_vm_address_t* address,
                      mach_vm_size_t* size) override {
        auto link = connectionLink(connection);
        Writer w;
        w.u32(type);
        Frame reply;
        int fd = -1;
        if (!link || !link->request(wire::kMap, w.data(), reply, &fd))
            return MACH_SEND_INVALID_DEST;
        replies::MapReply m;
        if (!replies::map(reply.payload, fd >= 0, m)) {
            if (fd >= 0) ::close(fd);
            link->killLocked();
            return MACH_SEND_INVALID_DEST;
        }
        if (m.result != KERN_SUCCESS) return m.result;
        void* base = nullptr;
        size_t mapped = 0;
        const uint64_t local = mapWhole(fd, m.offset, m.size, &base, &mapped);
        ::close(fd);
        if (!local) {
            // A descriptor smaller than the area it claims to be ends the
            // socket: the host is not to be trusted any more.
            link->killLocked();
            return MACH_SEND_INVALID_DEST;
        }
        std::lock_guard<std::mutex> g(mLock);
        mMappings[local] = Mapping{connection, type, m.hostAddress, base, mapped};
        *address = local;
        *size = m.size;
        return KERN_SUCCESS;
    }

    kern_return_t unmap(Handle connection, uint32_t type, mach_vm_address_t address) override {
        Mapping m{};
        {
            std::lock_guard<std::mutex> g(mLock);
            auto it = mMappings.find(address);
            if (it == mMappings.end() || it->second.connection != connection ||
                it->second.type != type)
                return kIOReturnBadArgument;
            m = it->second;
        }
        auto link = connectionLink(connection);
        Writer w;
        w.u32(type);
        w.u64(m.hostAddress);
        Frame reply;
        kern_return_t kr = MACH_SEND_INVALID_DEST;
        if (link && link->request(wire::kUnmap, w.data(), reply) &&
            !replies::resultOnly(reply.payload, kr))
            kr = MACH_SEND_INVALID_DEST;
        if (kr == KERN_SUCCESS) {
            std::lock_guard<std::mutex> g(mLock);
            mMappings.erase(address);
            ::munmap(m.base, m.length);
        }
        return kr;
    }

    kern_return_t pidForTask(task_t task, int* pid) override {
        Writer w;
        w.u32(taskName(task));
        uint32_t p = 0;
        const kern_return_t kr = session(wire::kPidForTask, w, [&](Reader& r) { return r.u32(p); });
        if (kr == KERN_SUCCESS) *pid = int(p);
        return kr;
    }

    // One service keeps one name in this process: the host says which
    // kernel service a handle holds.
    uint64_t serviceIdentity(Handle service) override {
        Writer w;
        w.u8(uint8_t(wire::ObjectQuery::Identity));
        w.u32(service);
        uint64_t identity = 0;
        uint8_t answer = 0;
        const kern_return_t kr = session(wire::kObjectQuery, w, [&](Reader& r) {
            return replies::objectAnswer(r, answer, identity);
        });
        return kr == KERN_SUCCESS ? identity : 0;
    }

    kern_return_t conformsTo(Handle service, const char* className, bool* conforms) override {
        Writer w;
        w.u8(uint8_t(wire::ObjectQuery::ConformsTo));
        w.u32(service);
        w.string(className ? className : "");
        return objectAnswer(w, conforms);
    }

    kern_return_t isEqual(Handle a, Handle b, bool* equal) override {
        Writer w;
        w.u8(uint8_t(wire::ObjectQuery::IsEqual));
        w.u32(a);
        w.u32(b);
        return objectAnswer(w, equal);
    }

    kern_return_t neighbours(Handle entry, const char* plane, bool parents,
                             std::vector<Handle>& entries) override {
        Writer w;
        w.u32(entry);
        w.u8(parents ? 1 : 0);
        w.string(plane ? plane : "");
        return session(wire::kIterators, w, [&](Reader& r) { return handles(r, entries); });
    }

    kern_return_t registryPath(Handle entry, const char* plane, std::string& path) override {
        Writer w;
        w.u32(entry);
        w.string(plane ? plane : "");
        std::string got;
        const kern_return_t kr = session(wire::kRegistryPath, w,
                                         [&](Reader& r) { return replies::registryPath(r, got); });
        if (kr == KERN_SUCCESS) path = std::move(got);
        return kr;
    }

    kern_return_t deviceRequest(Handle service, DeviceRequest& q) override {
        const bool in = (q.requestType & 0x80) != 0;
        q.done = 0;
        if (q.length > kMaxDeviceRequest || (!in && q.data.size() != q.length))
            return kIOReturnBadArgument;
        Writer w;
        w.u32(service);
        w.u8(q.requestType);
        w.u8(q.request);
        w.u16(q.value);
        w.u16(q.index);
        w.u16(q.length);
        const uint32_t out = in ? 0 : uint32_t(q.data.size());
        w.u32(out);
        w.bytes(q.data.data(), out);
        uint32_t done = 0;
        std::vector<uint8_t> back;
        const kern_return_t kr = session(wire::kUSBDeviceRequest, w, [&](Reader& r) {
            return replies::deviceRequest(r, in, q.length, done, back);
        });
        q.done = done > q.length ? q.length : done;
        if (in) q.data = std::move(back);
        return kr;
    }

    kern_return_t setProperty(Handle service, CFStringRef key, CFTypeRef value) override {
        Writer w;
        w.u32(service);
        w.string(utf8Text(key));
        // What cannot cross as a property tree never reaches the entry.
        if (!value || !w.tree(value)) return kIOReturnBadArgument;
        return session(wire::kPropertyWrite, w, [](Reader&) { return true; });
    }

    kern_return_t setNotificationPort(Handle connection, uint32_t type, mach_port_t port,
                                      uint64_t reference) override {
        Writer w;
        w.u32(type);
        w.u32(port);
        w.u64(reference);
        return connectionResult(connection, wire::kSetNotificationPort, w);
    }

    kern_return_t trap(Handle connection, uint32_t index) override {
        Writer w;
        w.u32(index);
        return connectionResult(connection, wire::kTrap, w);
    }

private:
    kern_return_t objectAnswer(Writer& w, bool* answer) {
        uint8_t a = 0;
        uint64_t identity = 0;
        const kern_return_t kr = session(wire::kObjectQuery, w, [&](Reader& r) {
            return replies::objectAnswer(r, a, identity);
        });
        if (kr == KERN_SUCCESS) *answer = a != 0;
        return kr;
    }

    // A connection request answered by its result alone; a malformed reply
    // ends the connection's link.
    kern_return_t connectionResult(Handle connection, uint16_t kind, Writer& w) {
        std::shared_ptr<Link> link = connectionLink(connection);
        Frame reply;
        if (!link || !link->request(kind, w.data(), reply)) return MACH_SEND_INVALID_DEST;
        kern_return_t kr = KERN_FAILURE;
        if (!replies::resultOnly(reply.payload, kr)) {
            link->killLocked();
            return MACH_SEND_INVALID_DEST;
        }
        return kr;
    }

    // A session request: the result, then what parse reads; anything
    // malformed ends the session.
    template <typename Parse> kern_return_t session(uint16_t kind, Writer& w, Parse parse) {
        Frame reply;
        if (!mSession || !mSession->request(kind, w.data(), reply)) return MACH_SEND_INVALID_DEST;
        kern_return_t kr = KERN_FAILURE;
        if (!replies::session(reply.payload, kr, parse)) {
            mSession->killLocked();
            return MACH_SEND_INVALID_DEST;
        }
        return kr;
    }

    // This process's own task is the session's; any other is sent as it is
    // and refused by the host.
    uint32_t taskName(task_t task) const {
        return task == mach_task_self() ? mTask : uint32_t(task);
    }

    std::shared_ptr<Link> connectionLink(Handle connection) {
        std::lock_guard<std::mutex> g(mLock);
        auto it = mConnections.find(connection);
        return it == mConnections.end() ? nullptr : it->second;
    }

    // Maps the whole pages holding [offset, offset + length) of the file;
    // the address of the area's first byte, or 0.
    static uint64_t mapWhole(int fd, uint64_t offset, uint64_t length, void** base,
                             size_t* mapped) {
        struct stat st {};
        if (length == 0 || ::fstat(fd, &st) != 0 || offset > uint64_t(st.st_size) ||
            length > uint64_t(st.st_size) - offset)
            return 0;
        const uint64_t page = uint64_t(::sysconf(_SC_PAGESIZE));
        const uint64_t start = offset / page * page;
        const uint64_t span = (offset - start + length + page - 1) / page * page;
        void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(start));
        if (p == MAP_FAILED) return 0;
        *base = p;
        *mapped = size_t(span);
        return uint64_t(uintptr_t(p)) + (offset - start);
    }

    std::string mPath;
    std::unique_ptr<Link> mSession;
    uint64_t mToken = 0;
    uint32_t mTask = 0;
    std::mutex mLock;
    std::map<Handle, std::shared_ptr<Link>> mConnections;
    std::map<Handle, uint64_t> mPorts; // the reader's key of each port
    std::map<uint64_t, Mapping> mMappings;
    // Last, so it stops before anything its sinks' calls might use goes.
    PortReader mReader;
};

} // namespace

std::unique_ptr<Transport> makeProcessTransport(const std::string& socketPath, std::string& error,
                                                int* timePage) {
    auto t = std::make_unique<ProcessTransport>(socketPath);
    error.clear();
    t->connect(error, timePage);
    return t;
}

} // namespace hx::iokit
