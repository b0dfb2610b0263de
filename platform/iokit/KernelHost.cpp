// The kernel host: sessions, connections, notification ports and machine
// control served over SOCK_SEQPACKET sockets. Each socket has one serving
// thread; a session's ports share a writer thread besides, fed by each
// port's bounded queue, so the kernel's sender only ever queues.
#include "platform/iokit/KernelHost.h"

#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/base/MacErrors.h"
#include "platform/iokit/HostPortWriter.h"
#include "platform/iokit/HostTimePage.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/WireSocket.h"
#include "platform/base/MachPort.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFString.h"
#include "platform/kern/IOService.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/kern/SystemPower.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

namespace hx::iokit {

using wire::Frame;
using wire::Reader;
using wire::Role;
using wire::Writer;

namespace {

struct Peer {
    int pid = -1;
    uint32_t uid = 0;
    std::string name;
};

// The name the peer's command line gives it, cut to 16 characters.
std::string peerName(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/cmdline");
    std::string first;
    std::getline(f, first, '\0');
    const size_t slash = first.rfind('/');
    if (slash != std::string::npos) first = first.substr(slash + 1);
    return first.substr(0, hx::kern::kTaskNameLength);
}

struct Reply {
    uint16_t kind = 0;
    uint32_t sequence = 0;
    std::vector<uint8_t> payload;
    int fd = -1; // owned: closed once sent
};

// One user process: its task, and the kernel end's names it holds.
struct Session {
    uint64_t token = 0;
    Peer peer;
    task_t task = MACH_PORT_NULL;
    std::unique_ptr<Transport> kernel = makeInProcessTransport();
    std::mutex lock;
    std::set<Handle> subscriptions;
    std::set<Handle> opened;            // connections not yet bound to a socket
    std::shared_ptr<PortWriter> writer; // started with the first port

    ~Session() {
        // The process is gone: its connections die, its mappings go, then
        // its ports hear nothing more and its services go back.
        if (task != MACH_PORT_NULL) hx::kern::killTask(task);
        kernel.reset();
        if (writer) writer->stop();
    }

    // The writer of this process's ports, started once.
    std::shared_ptr<PortWriter> portWriter() {
        std::lock_guard<std::mutex> g(lock);
        if (!writer) {
            auto w = std::make_shared<PortWriter>();
            if (!w->start()) return nullptr;
            writer = std::move(w);
        }
        return writer;
    }
};

} // namespace

struct KernelHost::Impl {
    std::string path;
    MachineControl* control = nullptr;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::thread acceptor;
    HostTimePage timePage;
    std::mt19937_64 tokens{std::random_device{}()};

    std::mutex lock;
    std::map<uint64_t, std::weak_ptr<Session>> sessions;
    std::map<int, int> socketsPerPid;
    std::set<int> liveSockets;
    std::vector<std::thread> servers;
    bool stopping = false;

    std::shared_ptr<Session> newSession(const Peer& peer) {
        auto s = std::make_shared<Session>();
        s->peer = peer;
        s->task = hx::kern::createTask(peer.pid, peer.name.c_str(), peer.uid);
        std::lock_guard<std::mutex> g(lock);
        do
            s->token = tokens();
        while (s->token == 0 || sessions.count(s->token));
        sessions[s->token] = s;
        return s;
    }

    std::shared_ptr<Session> findSession(uint64_t token, int pid) {
        std::lock_guard<std::mutex> g(lock);
        auto it = sessions.find(token);
        if (it == sessions.end()) return nullptr;
        auto s = it->second.lock();
        return s && s->peer.pid == pid ? s : nullptr;
    }

    void forgetSession(uint64_t token) {
        std::lock_guard<std::mutex> g(lock);
        auto it = sessions.find(token);
        if (it != sessions.end() && it->second.expired()) sessions.erase(it);
    }

    void acceptLoop();
    void serve(int fd, Peer peer);
};

namespace {

// One socket's protocol state, without the socket: the first frame binds
// the role, later frames are served. onFrame answers false when the socket
// must close; onEnd runs once when it closed (or was closed).
class Channel {
public:
    Channel(KernelHost::Impl& host, Peer peer, int fd)
        : mHost(host), mPeer(std::move(peer)), mFd(fd) {}
    ~Channel() { onEnd(); }

    bool onFrame(const Frame& f, std::vector<Reply>& out) {
        if (mRole == Role::Unbound) return f.kind == wire::kHello && hello(f, out);
        if (!wire::userMaySend(mRole, f.kind)) return false;
        Writer w;
        bool keep = false;
        switch (mRole) {
        case Role::Session:
            keep = sessionFrame(f, w);
            break;
        case Role::Connection:
            keep = connectionFrame(f, w, out);
            break;
        case Role::Control:
            keep = controlFrame(f, w);
            break;
        default:
            return false;
        }
        if (keep && f.kind != wire::kMap)
            out.push_back(Reply{f.kind, f.sequence, std::move(w.data()), -1});
        return keep;
    }

    void onEnd() {
        if (mEnded) return;
        mEnded = true;
        // A death or a port's end runs kernel code: the machine waits for it.
        hx::clock::Participant ending;
        if (mRole == Role::Connection && !mClosed) hx::kern::connectionDied(mConnection);
        if (mPort) {
            mPort->finish();
            mSession->kernel->destroyPort(mPortHandle);
        }
        if (mRole == Role::Session && mSession) {
            const uint64_t token = mSession->token;
            mSession.reset();
            mHost.forgetSession(token);
        }
    }

private:
    bool hello(const Frame& f, std::vector<Reply>& out) {
        Reader r(f.payload);
        uint8_t role = 0;
        if (!r.u8(role)) return false;
        Writer w;
        int fd = -1;
        switch (Role(role)) {
        case Role::Session:
            if (!r.atEnd()) return false;
            mSession = mHost.newSession(mPeer);
            w.u32(KERN_SUCCESS);
            w.u64(mSession->token);
            w.u32(mSession->task);
            fd = mHost.timePage.readOnlyDescriptor();
            break;
        case Role::Connection: {
            uint64_t token = 0;
            uint32_t connection = 0;
            if (!r.u64(token) || !r.u32(connection) || !r.atEnd()) return false;
            mSession = mHost.findSession(token, mPeer.pid);
            if (!mSession) return false;
            std::lock_guard<std::mutex> g(mSession->lock);
            if (!mSession->opened.erase(connection)) return false;
            mConnection = connection;
            w.u32(KERN_SUCCESS);
            break;
        }
        case Role::Port: {
            uint64_t token = 0;
            if (!r.u64(token) || !r.atEnd()) return false;
            mSession = mHost.findSession(token, mPeer.pid);
            if (!mSession) return false;
            auto writer = mFd >= 0 ? mSession->portWriter() : nullptr;
            if (mFd >= 0 && !writer) return false;
            auto port = std::make_unique<HostPort>(mFd, 0, std::move(writer));
            if (mSession->kernel->createPort(port.get(), &mPortHandle) != KERN_SUCCESS)
                return false;
            port->setHandle(mPortHandle);
            mPort = std::move(port);
            w.u32(KERN_SUCCESS);
            w.u32(mPortHandle);
            break;
        }
        case Role::Control:
            if (!r.atEnd()) return false;
            w.u32(KERN_SUCCESS);
            break;
        default:
            return false;
        }
        mRole = Role(role);
        out.push_back(Reply{wire::kHello, f.sequence, std::move(w.data()), fd});
        return true;
    }

    Transport& kernel() { return *mSession->kernel; }

    // A task the session may name: only its own.
    bool ownTask(uint32_t task) const { return task == mSession->task; }

    bool sessionFrame(const Frame& f, Writer& w);
    bool connectionFrame(const Frame& f, Writer& w, std::vector<Reply>& out);
    bool controlFrame(const Frame& f, Writer& w);
    bool subscribe(Reader& r, Writer& w, bool services, bool first);
    bool deviceRequest(Reader& r, Writer& w);
    bool systemPower(Reader& r, Writer& w);
    bool objectQuery(Reader& r, Writer& w);
    bool propertyWrite(Reader& r, Writer& w);

    KernelHost::Impl& mHost;
    Peer mPeer;
    int mFd;
    Role mRole = Role::Unbound;
    std::shared_ptr<Session> mSession;
    io_connect_t mConnection = MACH_PORT_NULL;
    bool mClosed = false;
    std::unique_ptr<HostPort> mPort;
    Handle mPortHandle = 0;
    bool mEnded = false;
};

void putHandles(Writer& w, const std::vector<Handle>& handles) {
    w.u32(uint32_t(handles.size()));
    for (Handle h : handles)
        w.u32(h);
}

bool Channel::subscribe(Reader& r, Writer& w, bool services, bool first) {
    uint32_t port = 0, tag = 0, service = 0;
    uint8_t kind = 0;
    CFTypeRef matching = nullptr;
    Handle sub = 0;
    kern_return_t kr;
    std::vector<Handle> existing;
    if (services) {
        if (!r.u32(port) || !r.u8(kind) || !r.tree(&matching)) {
            if (matching) CFRelease(matching);
            return false;
        }
        const bool ok =
            r.u32(tag) && r.atEnd() && CFGetTypeID(matching) == CFDictionaryGetTypeID() &&
            (first ? kind == NotificationRecord::FirstPublish ||
                         kind == NotificationRecord::FirstMatch
                   : kind == NotificationRecord::Publish || kind == NotificationRecord::Terminate);
        kr = ok ? kernel().subscribeServices(port, NotificationRecord::Kind(kind),
                                             CFDictionaryRef(matching), tag, &sub, &existing)
                : KERN_SUCCESS;
        CFRelease(matching);
        if (!ok) return false;
    } else {
        if (!r.u32(port) || !r.u32(service) || !r.u32(tag) || !r.atEnd()) return false;
        kr = kernel().subscribeInterest(port, service, tag, &sub);
    }
    if (kr == KERN_SUCCESS) {
        std::lock_guard<std::mutex> g(mSession->lock);
        mSession->subscriptions.insert(sub);
    }
    w.u32(uint32_t(kr));
    w.u32(sub);
    if (services) putHandles(w, existing);
    return true;
}

bool Channel::sessionFrame(const Frame& f, Writer& w) {
    Reader r(f.payload);
    uint32_t a = 0, b = 0, c = 0;
    switch (f.kind) {
    case wire::kGetMatchingServices: {
        CFTypeRef matching = nullptr;
        if (!r.tree(&matching) || !r.atEnd() || CFGetTypeID(matching) != CFDictionaryGetTypeID()) {
            if (matching) CFRelease(matching);
            return false;
        }
        std::vector<Handle> services;
        const kern_return_t kr = kernel().getMatchingServices(CFDictionaryRef(matching), services);
        CFRelease(matching);
        w.u32(uint32_t(kr));
        putHandles(w, services);
        return true;
    }
    case wire::kReleaseObject:
    case wire::kRetainObject: {
        if (!r.u32(a) || !r.atEnd()) return false;
        Handle copy = 0;
        const kern_return_t kr = kernel().retainService(a, &copy);
        if (kr == KERN_SUCCESS && f.kind == wire::kReleaseObject) {
            kernel().releaseService(copy);
            kernel().releaseService(a);
            copy = 0;
        }
        w.u32(uint32_t(kr));
        w.u32(copy);
        return true;
    }
    case wire::kCopyProperties: {
        if (!r.u32(a) || !r.atEnd()) return false;
        CFMutableDictionaryRef props = nullptr;
        kern_return_t kr = kernel().copyProperties(a, &props);
        Writer tree;
        if (kr == KERN_SUCCESS && !tree.tree(props)) kr = kIOReturnNoSpace;
        if (props) CFRelease(props);
        w.u32(uint32_t(kr));
        if (kr == KERN_SUCCESS) w.bytes(tree.data().data(), tree.data().size());
        return true;
    }
    case wire::kCopyProperty: {
        std::string key;
        if (!r.u32(a) || !r.string(key, wire::kMaxTreeString) || !r.atEnd()) return false;
        CFStringRef k = CFStringCreateWithCString(nullptr, key.c_str(), kCFStringEncodingUTF8);
        CFTypeRef value = nullptr;
        kern_return_t kr = kernel().copyProperty(a, k, &value);
        CFRelease(k);
        Writer tree;
        if (value && !tree.tree(value)) kr = kIOReturnNoSpace;
        if (value) CFRelease(value);
        w.u32(uint32_t(kr));
        w.u8(kr == KERN_SUCCESS && !tree.data().empty() ? 1 : 0);
        if (kr == KERN_SUCCESS) w.bytes(tree.data().data(), tree.data().size());
        return true;
    }
    case wire::kSubscribeServices:
        return subscribe(r, w, true, false);
    case wire::kSubscribeFirst:
        return subscribe(r, w, true, true);
    case wire::kSubscribeInterest:
        return subscribe(r, w, false, false);
    case wire::kUnsubscribe: {
        if (!r.u32(a) || !r.atEnd()) return false;
        bool known;
        {
            std::lock_guard<std::mutex> g(mSession->lock);
            known = mSession->subscriptions.erase(a) != 0;
        }
        if (known) kernel().unsubscribe(a);
        w.u32(known ? KERN_SUCCESS : uint32_t(MACH_SEND_INVALID_DEST));
        return true;
    }
    case wire::kOpen: {
        if (!r.u32(a) || !r.u32(b) || !r.u32(c) || !r.atEnd()) return false;
        Handle connection = 0;
        kern_return_t kr = MACH_SEND_INVALID_DEST;
        if (ownTask(b)) {
            // The open runs the client's start: the machine waits for it.
            hx::clock::Participant running;
            kr = kernel().open(a, b, c, &connection);
        }
        if (kr == KERN_SUCCESS) {
            std::lock_guard<std::mutex> g(mSession->lock);
            mSession->opened.insert(connection);
        }
        w.u32(uint32_t(kr));
        w.u32(connection);
        return true;
    }
    case wire::kPidForTask: {
        if (!r.u32(a) || !r.atEnd()) return false;
        int pid = 0;
        const kern_return_t kr = ownTask(a) ? kernel().pidForTask(a, &pid) : MACH_SEND_INVALID_DEST;
        w.u32(uint32_t(kr));
        w.u32(uint32_t(pid));
        return true;
    }
    case wire::kObjectQuery:
        return objectQuery(r, w);
    case wire::kIterators: {
        uint8_t parents = 0;
        std::string plane;
        if (!r.u32(a) || !r.u8(parents) || parents > 1 || !r.string(plane, wire::kMaxTreeString) ||
            !r.atEnd())
            return false;
        std::vector<Handle> entries;
        const kern_return_t kr = kernel().neighbours(a, plane.c_str(), parents != 0, entries);
        w.u32(uint32_t(kr));
        putHandles(w, kr == KERN_SUCCESS ? entries : std::vector<Handle>{});
        return true;
    }
    case wire::kPropertyWrite:
        return propertyWrite(r, w);
    case wire::kRegistryPath: {
        std::string plane, path;
        if (!r.u32(a) || !r.string(plane, wire::kMaxTreeString) || !r.atEnd()) return false;
        const kern_return_t kr = kernel().registryPath(a, plane.c_str(), path);
        w.u32(uint32_t(kr));
        w.string(kr == KERN_SUCCESS ? path : std::string());
        return true;
    }
    case wire::kUSBDeviceRequest:
        return deviceRequest(r, w);
    case wire::kSystemPower:
        return systemPower(r, w);
    default:
        return false;
    }
}

// The root power domain: a registration on one of the session's ports (it
// ends as a subscription does), and a callback's return.
bool Channel::systemPower(Reader& r, Writer& w) {
    uint8_t op = 0;
    uint32_t a = 0, b = 0;
    if (!r.u8(op)) return false;
    switch (wire::SystemPowerOp(op)) {
    case wire::SystemPowerOp::Register: {
        if (!r.u32(a) || !r.u32(b) || !r.atEnd()) return false;
        Handle registration = 0, root = 0;
        const kern_return_t kr = kernel().registerSystemPower(a, b, &registration, &root);
        if (kr == KERN_SUCCESS) {
            std::lock_guard<std::mutex> g(mSession->lock);
            mSession->subscriptions.insert(registration);
        }
        w.u32(uint32_t(kr));
        w.u32(registration);
        w.u32(root);
        return true;
    }
    case wire::SystemPowerOp::Acknowledge: {
        uint64_t id = 0;
        if (!r.u32(a) || !r.u64(id) || !r.atEnd()) return false;
        bool known;
        {
            std::lock_guard<std::mutex> g(mSession->lock);
            known = mSession->subscriptions.count(a) != 0;
        }
        if (known) kernel().acknowledgeSystemPower(a, id);
        w.u32(known ? KERN_SUCCESS : uint32_t(MACH_SEND_INVALID_DEST));
        return true;
    }
    default:
        return false;
    }
}

// A control request on a device nub's default pipe; a length over the limit
// is answered without reaching the device.
bool Channel::deviceRequest(Reader& r, Writer& w) {
    uint32_t service = 0, n = 0;
    Transport::DeviceRequest q;
    if (!r.u32(service) || !r.u8(q.requestType) || !r.u8(q.request) || !r.u16(q.value) ||
        !r.u16(q.index) || !r.u16(q.length) || !r.u32(n) || n > wire::kMaxStruct)
        return false;
    q.data.resize(n);
    if (!r.bytes(q.data.data(), n) || !r.atEnd()) return false;
    kern_return_t kr;
    if (q.length > Transport::kMaxDeviceRequest ||
        ((q.requestType & 0x80) ? n != 0 : n != q.length)) {
        kr = kIOReturnBadArgument;
        q.data.clear();
        q.done = 0;
    } else {
        // The request waits for the bus: the machine waits for it.
        hx::clock::Participant running;
        kr = kernel().deviceRequest(service, q);
    }
    const bool in = (q.requestType & 0x80) != 0;
    w.u32(uint32_t(kr));
    w.u32(q.done);
    const uint32_t back = in ? uint32_t(q.data.size()) : 0;
    w.u32(back);
    if (back) w.bytes(q.data.data(), back);
    return true;
}

// Class conformance, entry equality, and the service a handle names.
bool Channel::objectQuery(Reader& r, Writer& w) {
    uint8_t op = 0;
    uint32_t a = 0, b = 0;
    std::string className;
    if (!r.u8(op) || !r.u32(a)) return false;
    kern_return_t kr = KERN_SUCCESS;
    bool answer = false;
    uint64_t identity = 0;
    switch (wire::ObjectQuery(op)) {
    case wire::ObjectQuery::ConformsTo:
        if (!r.string(className, wire::kMaxTreeString) || !r.atEnd()) return false;
        kr = kernel().conformsTo(a, className.c_str(), &answer);
        break;
    case wire::ObjectQuery::IsEqual:
        if (!r.u32(b) || !r.atEnd()) return false;
        kr = kernel().isEqual(a, b, &answer);
        break;
    case wire::ObjectQuery::Identity:
        if (!r.atEnd()) return false;
        identity = kernel().serviceIdentity(a);
        break;
    default:
        return false;
    }
    w.u32(uint32_t(kr));
    w.u8(kr == KERN_SUCCESS && answer ? 1 : 0);
    w.u64(identity);
    return true;
}

// A key and a property tree for the entry's own write handler.
bool Channel::propertyWrite(Reader& r, Writer& w) {
    uint32_t a = 0;
    std::string key;
    CFTypeRef value = nullptr;
    if (!r.u32(a) || !r.string(key, wire::kMaxTreeString) || !r.tree(&value) || !r.atEnd()) {
        if (value) CFRelease(value);
        return false;
    }
    CFStringRef k = CFStringCreateWithCString(nullptr, key.c_str(), kCFStringEncodingUTF8);
    kern_return_t kr;
    {
        hx::clock::Participant running;
        kr = kernel().setProperty(a, k, value);
    }
    CFRelease(k);
    CFRelease(value);
    w.u32(uint32_t(kr));
    return true;
}

bool Channel::connectionFrame(const Frame& f, Writer& w, std::vector<Reply>& out) {
    Reader r(f.payload);
    if (mClosed) {
        // Well-formed or not, nothing reaches a closed connection.
        w.u32(uint32_t(MACH_SEND_INVALID_DEST));
        if (f.kind == wire::kMap) out.push_back(Reply{f.kind, f.sequence, std::move(w.data()), -1});
        return true;
    }
    switch (f.kind) {
    case wire::kCall: {
        wire::CallRequest call;
        const wire::CallCheck check = wire::checkCall(f.payload, call);
        if (check == wire::CallCheck::Malformed) return false;
        wire::CallReply reply;
        if (check == wire::CallCheck::OverLimit) {
            reply.result = kIOReturnBadArgument;
        } else {
            reply.scalars.resize(call.scalarOutputCapacity);
            reply.structOutput.resize(call.structOutputCapacity);
            uint32_t scalarsBack = call.scalarOutputCapacity;
            size_t structBack = call.structOutputCapacity;
            CallArgs a;
            a.scalarInput = call.scalars.data();
            a.scalarInputCount = uint32_t(call.scalars.size());
            a.structInput = call.structInput.empty() ? nullptr : call.structInput.data();
            a.structInputSize = call.structInput.size();
            a.scalarOutput = reply.scalars.data();
            a.scalarOutputCount = &scalarsBack;
            a.structOutput = reply.structOutput.empty() ? nullptr : reply.structOutput.data();
            a.structOutputSize = &structBack;
            a.wakePort = call.wakePort;
            a.reference = call.references.data();
            a.referenceCount = uint32_t(call.references.size());
            {
                hx::clock::Participant serving;
                reply.result = kernel().call(mConnection, call.selector, a);
            }
            if (reply.result == KERN_SUCCESS) {
                reply.scalars.resize(scalarsBack);
                reply.structOutput.resize(structBack);
            } else {
                reply.scalars.clear();
                reply.structOutput.clear();
            }
        }
        std::vector<uint8_t> bytes = wire::encodeCallReply(reply);
        w.bytes(bytes.data(), bytes.size());
        return true;
    }
    case wire::kMap: {
        uint32_t type = 0;
        if (!r.u32(type) || !r.atEnd()) return false;
        mach_vm_address_t address = 0;
        mach_vm_size_t size = 0;
        kern_return_t kr;
        {
            hx::clock::Participant serving;
            kr = kernel().map(mConnection, type, &address, &size);
        }
        int fd = -1;
        uint64_t offset = 0;
        if (kr == KERN_SUCCESS &&
            !hx::kern::connectionMapFile(mConnection, type, address, &fd, &offset))
            kr = kIOReturnNoMemory;
        // Sealed before it leaves: no receiver can shrink or grow the area.
        if (fd >= 0 && ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0) {
            ::close(fd);
            fd = -1;
            kr = kIOReturnNoMemory;
        }
        w.u32(uint32_t(kr));
        w.u64(kr == KERN_SUCCESS ? address : 0);
        w.u64(kr == KERN_SUCCESS ? offset : 0);
        w.u64(kr == KERN_SUCCESS ? size : 0);
        out.push_back(Reply{f.kind, f.sequence, std::move(w.data()), fd});
        return true;
    }
    case wire::kUnmap: {
        uint32_t type = 0;
        uint64_t address = 0;
        if (!r.u32(type) || !r.u64(address) || !r.atEnd()) return false;
        w.u32(uint32_t(kernel().unmap(mConnection, type, address)));
        return true;
    }
    case wire::kClose: {
        if (!r.atEnd()) return false;
        kern_return_t kr;
        {
            hx::clock::Participant serving;
            kr = kernel().close(mConnection);
        }
        mClosed = true;
        w.u32(uint32_t(kr));
        return true;
    }
    case wire::kSetNotificationPort: {
        // The port is a name of the user's process; the client's handler
        // decides what it makes of it.
        uint32_t type = 0, port = 0;
        uint64_t reference = 0;
        if (!r.u32(type) || !r.u32(port) || !r.u64(reference) || !r.atEnd()) return false;
        hx::clock::Participant serving;
        w.u32(uint32_t(kernel().setNotificationPort(mConnection, type, port, reference)));
        return true;
    }
    case wire::kTrap: {
        uint32_t index = 0;
        if (!r.u32(index) || !r.atEnd()) return false;
        hx::clock::Participant serving;
        w.u32(uint32_t(kernel().trap(mConnection, index)));
        return true;
    }
    default:
        return false;
    }
}

bool Channel::controlFrame(const Frame& f, Writer& w) {
    Reader r(f.payload);
    MachineControl* c = mHost.control;
    switch (f.kind) {
    case wire::kPlug:
    case wire::kUnplug:
        if (!r.atEnd()) return false;
        w.u32(uint32_t(!c                      ? kIOReturnUnsupported
                       : f.kind == wire::kPlug ? c->plug()
                                               : c->unplug()));
        return true;
    case wire::kStatistics:
        if (!r.atEnd()) return false;
        w.u32(uint32_t(c ? KERN_SUCCESS : kIOReturnUnsupported));
        w.string(c ? c->statistics() : std::string());
        return true;
    case wire::kFault: {
        std::string name;
        uint64_t value = 0;
        if (!r.string(name, wire::kMaxTreeString) || !r.u64(value) || !r.atEnd()) return false;
        w.u32(uint32_t(c ? c->fault(name, value) : kIOReturnUnsupported));
        return true;
    }
    case wire::kStateChange: {
        uint32_t code = 0;
        if (!r.u32(code) || !r.atEnd()) return false;
        w.u32(uint32_t(c ? c->stateChange(code) : kIOReturnUnsupported));
        return true;
    }
    case wire::kSystemSleepWake: {
        uint32_t what = 0;
        if (!r.u32(what) || !r.atEnd()) return false;
        w.u32(uint32_t(c ? c->systemPower(what) : kIOReturnUnsupported));
        return true;
    }
    default:
        return false;
    }
}

class ChannelFeed final : public KernelHost::Feed {
public:
    ChannelFeed(KernelHost::Impl& host, Peer peer) : mChannel(host, std::move(peer), -1) {}
    bool frame(const uint8_t* data, size_t size,
               std::vector<std::vector<uint8_t>>& replies) override {
        if (mDone) return false;
        Frame f;
        std::vector<Reply> out;
        mDone =
            wire::decodeFrame(data, size, f) != wire::FrameError::None || !mChannel.onFrame(f, out);
        for (Reply& r : out) {
            if (r.fd >= 0) ::close(r.fd);
            replies.push_back(wire::encodeFrame(r.kind, r.sequence, r.payload));
        }
        if (mDone) mChannel.onEnd();
        return !mDone;
    }

private:
    Channel mChannel;
    bool mDone = false;
};

} // namespace

void KernelHost::Impl::serve(int fd, Peer peer) {
    {
        Channel channel(*this, peer, fd);
        for (;;) {
            Frame f;
            if (wire::recvFrame(fd, f) != wire::RecvResult::Frame) break;
            std::vector<Reply> out;
            const bool keep = channel.onFrame(f, out);
            // Replies go out after the kernel call returned, no lock held; a
            // peer that went away loses its reply, nothing more.
            for (Reply& r : out) {
                wire::sendFrame(fd, r.kind, r.sequence, r.payload, r.fd);
                if (r.fd >= 0) ::close(r.fd);
            }
            if (!keep) break;
        }
        ::shutdown(fd, SHUT_RDWR);
        channel.onEnd();
    }
    std::lock_guard<std::mutex> g(lock);
    liveSockets.erase(fd);
    ::close(fd);
    if (--socketsPerPid[peer.pid] <= 0) socketsPerPid.erase(peer.pid);
}

void KernelHost::Impl::acceptLoop() {
    for (;;) {
        pollfd p[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) continue;
        if (p[1].revents) return;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
            ::close(fd);
            continue;
        }
        Peer peer{int(cred.pid), uint32_t(cred.uid), peerName(int(cred.pid))};
        std::lock_guard<std::mutex> g(lock);
        if (stopping || socketsPerPid[peer.pid] >= kMaxSocketsPerProcess) {
            ::close(fd);
            continue;
        }
        ++socketsPerPid[peer.pid];
        liveSockets.insert(fd);
        servers.emplace_back([this, fd, peer] { serve(fd, peer); });
    }
}

IOReturn MachineControl::systemPower(uint32_t what) {
    // The kernel's sleep waits for the registrants' callbacks: the machine
    // waits with it.
    hx::clock::Participant running;
    if (what == wire::kMachineSleep)
        hx::kern::systemWillSleep();
    else if (what == wire::kMachineWake)
        hx::kern::systemDidWake();
    else if (hx::kern::isSystemPowerMessage(what))
        hx::kern::sendSystemPowerMessage(what);
    else
        return kIOReturnBadArgument;
    return KERN_SUCCESS;
}

KernelHost::KernelHost(std::string socketPath, MachineControl* control)
    : mImpl(std::make_unique<Impl>()) {
    mImpl->path = std::move(socketPath);
    mImpl->control = control;
}

KernelHost::~KernelHost() {
    stop();
}

const std::string& KernelHost::socketPath() const {
    return mImpl->path;
}

bool KernelHost::start(std::string& error) {
    Impl& h = *mImpl;
    sockaddr_un addr{};
    if (h.path.empty() || h.path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + h.path;
        return false;
    }
    if (!h.timePage.create(error)) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, h.path.c_str(), h.path.size() + 1);
    h.listenFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    ::unlink(h.path.c_str());
    // Only this user reaches the kernel: the socket is created 0600.
    const mode_t old = ::umask(0177);
    const bool bound =
        h.listenFd >= 0 && ::bind(h.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::umask(old);
    if (!bound || ::chmod(h.path.c_str(), 0600) != 0 || ::listen(h.listenFd, 64) != 0 ||
        ::pipe2(h.wakePipe, O_CLOEXEC) != 0) {
        error = "cannot listen at " + h.path + ": " + std::strerror(errno);
        if (h.listenFd >= 0) ::close(h.listenFd);
        h.listenFd = -1;
        return false;
    }
    h.timePage.startPublishing();
    h.acceptor = std::thread([&h] { h.acceptLoop(); });
    return true;
}

void KernelHost::stop() {
    Impl& h = *mImpl;
    if (h.listenFd < 0) return;
    if (::write(h.wakePipe[1], "x", 1) < 0) {
    }
    h.acceptor.join();
    std::vector<std::thread> servers;
    {
        std::lock_guard<std::mutex> g(h.lock);
        h.stopping = true;
        for (int fd : h.liveSockets)
            ::shutdown(fd, SHUT_RDWR);
        servers.swap(h.servers);
    }
    {
        // Ending sockets runs kernel code that may wait on the machine's
        // time: a caller taking part in it must not hold it still meanwhile.
        hx::clock::Idle idle;
        for (auto& t : servers)
            t.join();
    }
    h.timePage.stopPublishing();
    ::close(h.listenFd);
    ::close(h.wakePipe[0]);
    ::close(h.wakePipe[1]);
    h.listenFd = -1;
    ::unlink(h.path.c_str());
}

std::unique_ptr<KernelHost::Feed> KernelHost::feed(int pid, uint32_t uid, const char* name) {
    return std::make_unique<ChannelFeed>(*mImpl, Peer{pid, uid, name ? name : ""});
}

} // namespace hx::iokit
