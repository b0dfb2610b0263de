// The user-side IOKit calls in process and across processes (a kernel host
// forked from this program, serving the same nub), against a published nub
// whose user client answers a 1,548-byte structure call. Every figure is also given as a
// ratio to the anchor: a bare SOCK_SEQPACKET round trip of 1,548 bytes over a
// socketpair, measured in this program. Goals: across processes a call costs
// at most 2 anchors, in process at most 0.25; with 8 ports the sender's
// messageClients at most 1 anchor and the last callback at most 3.
//
// Both kinds of case go through the user-side API (IOConnectCallStructMethod,
// IONotificationPort and a run loop): the program installs one transport that
// each benchmark points at the in-process kernel or at the kernel host before
// it makes its first IOKit call, and releases what it made before it ends.
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/iokit/HXIOKit.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/iokit/KernelHost.h"
#include "platform/iokit/ProcessTransport.h"
#include "platform/kern/IOUserConnection.h"

namespace {

constexpr size_t kRecord = 1548;

class BenchNub : public IOService {
    OSDeclareDefaultStructors(BenchNub) public
        : IOReturn newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                 IOUserClient** handler) override;
};

class BenchClient : public IOUserClient {
    OSDeclareDefaultStructors(BenchClient) public : IOReturn clientClose() override {
        terminate(0);
        return kIOReturnSuccess;
    }
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                            IOExternalMethodDispatch*, OSObject*, void*) override {
        static IOExternalMethodDispatch echo = {
            [](OSObject*, void*, IOExternalMethodArguments* a) -> IOReturn {
                static_cast<uint8_t*>(a->structureOutput)[0] ^= 1;
                return kIOReturnSuccess;
            },
            0, kRecord, 0, kRecord};
        return selector == 0 ? IOUserClient::externalMethod(0, args, &echo, this, nullptr)
                             : kIOReturnUnsupported;
    }
};

OSDefineMetaClassAndStructors(BenchNub, IOService)
    OSDefineMetaClassAndStructors(BenchClient, IOUserClient)

        IOReturn BenchNub::newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                         IOUserClient** handler) {
    auto* c = new BenchClient;
    if (!c->initWithTask(task, sid, type) || !c->start(this)) {
        c->release();
        return kIOReturnBadArgument;
    }
    *handler = c;
    return kIOReturnSuccess;
}

BenchNub* nub() {
    static BenchNub* n = [] {
        auto* s = new BenchNub;
        s->init();
        s->registerService(kIOServiceSynchronous);
        return s;
    }();
    return n;
}

io_service_t findNub() {
    nub();
    io_iterator_t it = 0;
    IOServiceGetMatchingServices(0, IOServiceMatching("BenchNub"), &it);
    io_service_t s = IOIteratorNext(it);
    IOObjectRelease(it);
    return s;
}

// Nanoseconds of one bare round trip: a 1,548-byte datagram to an echoing
// thread and back.
double anchorNanos() {
    static const double ns = [] {
        int sv[2];
        socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
        std::thread echo([fd = sv[1]] {
            std::vector<uint8_t> b(kRecord);
            for (;;) {
                const ssize_t n = recv(fd, b.data(), b.size(), 0);
                if (n <= 0) return;
                send(fd, b.data(), size_t(n), MSG_NOSIGNAL);
            }
        });
        std::vector<uint8_t> b(kRecord, 1);
        constexpr int kRounds = 20000;
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < kRounds; ++i) {
            send(sv[0], b.data(), b.size(), MSG_NOSIGNAL);
            recv(sv[0], b.data(), b.size(), 0);
        }
        const auto t1 = std::chrono::steady_clock::now();
        shutdown(sv[0], SHUT_RDWR);
        echo.join();
        close(sv[0]);
        close(sv[1]);
        return std::chrono::duration<double, std::nano>(t1 - t0).count() / kRounds;
    }();
    return ns;
}

// The program's transport: every call goes to the route the running
// benchmark chose, the in-process kernel or the kernel host. Handles are
// never carried from one route to the other.
class RoutedTransport final : public hx::iokit::Transport {
public:
    using Handle = hx::iokit::Handle;
    Transport* to = nullptr;

    const char* name() const override { return to->name(); }
    kern_return_t getMatchingServices(CFDictionaryRef m, std::vector<Handle>& s) override {
        return to->getMatchingServices(m, s);
    }
    kern_return_t retainService(Handle s, Handle* copy) override {
        return to->retainService(s, copy);
    }
    void releaseService(Handle s) override { to->releaseService(s); }
    uint64_t serviceIdentity(Handle s) override { return to->serviceIdentity(s); }
    kern_return_t copyProperties(Handle s, CFMutableDictionaryRef* p) override {
        return to->copyProperties(s, p);
    }
    kern_return_t copyProperty(Handle s, CFStringRef k, CFTypeRef* v) override {
        return to->copyProperty(s, k, v);
    }
    kern_return_t createPort(hx::iokit::PortSink* sink, Handle* port) override {
        return to->createPort(sink, port);
    }
    void destroyPort(Handle port) override { to->destroyPort(port); }
    kern_return_t subscribeServices(Handle port, hx::iokit::NotificationRecord::Kind kind,
                                    CFDictionaryRef m, uint32_t tag, Handle* sub,
                                    std::vector<Handle>* existing) override {
        return to->subscribeServices(port, kind, m, tag, sub, existing);
    }
    kern_return_t subscribeInterest(Handle port, Handle s, uint32_t tag, Handle* sub) override {
        return to->subscribeInterest(port, s, tag, sub);
    }
    void unsubscribe(Handle sub) override { to->unsubscribe(sub); }
    kern_return_t open(Handle s, task_t task, uint32_t type, Handle* c) override {
        return to->open(s, task, type, c);
    }
    kern_return_t close(Handle c) override { return to->close(c); }
    kern_return_t call(Handle c, uint32_t selector, const hx::iokit::CallArgs& a) override {
        return to->call(c, selector, a);
    }
    kern_return_t map(Handle c, uint32_t type, mach_vm_address_t* address,
                      mach_vm_size_t* size) override {
        return to->map(c, type, address, size);
    }
    kern_return_t unmap(Handle c, uint32_t type, mach_vm_address_t address) override {
        return to->unmap(c, type, address);
    }
    kern_return_t pidForTask(task_t task, int* pid) override { return to->pidForTask(task, pid); }
};

RoutedTransport* gRouted = nullptr;
std::unique_ptr<hx::iokit::Transport> gInProcess;
std::unique_ptr<hx::iokit::Transport> gCrossProcess;
std::string gHostPath;

// The kernel end the next IOKit calls reach; false when the host could not
// be reached.
void routeInProcess() {
    gRouted->to = gInProcess.get();
}

bool routeCrossProcess(std::string& error) {
    if (!gCrossProcess) {
        int page = -1;
        gCrossProcess = hx::iokit::makeProcessTransport(gHostPath, error, &page);
        if (page >= 0) close(page);
        if (!error.empty()) return false;
    }
    gRouted->to = gCrossProcess.get();
    return true;
}

int64_t threadCpuNanos() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void setRatio(benchmark::State& state, const char* name, double nanosPerItem) {
    state.counters[name] = nanosPerItem / anchorNanos();
}

void BM_AnchorSocketRoundTrip(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(anchorNanos());
    state.counters["anchor_ns"] = anchorNanos();
}
BENCHMARK(BM_AnchorSocketRoundTrip)->Iterations(1);

// Selector 0's 1,548 bytes each way through IOConnectCallStructMethod on the
// route already chosen; every call must succeed and come back echoed.
void structRoundTrips(benchmark::State& state) {
    io_service_t s = findNub();
    io_connect_t c = 0;
    if (!s || IOServiceOpen(s, mach_task_self(), 0, &c) != KERN_SUCCESS) {
        state.SkipWithError("no BenchNub client");
        if (s) IOObjectRelease(s);
        return;
    }
    std::vector<uint8_t> in(kRecord, 2), out(kRecord);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        size_t outSize = out.size();
        const kern_return_t kr =
            IOConnectCallStructMethod(c, 0, in.data(), in.size(), out.data(), &outSize);
        if (kr != KERN_SUCCESS || outSize != kRecord) {
            state.SkipWithError("the call failed");
            break;
        }
    }
    const auto t1 = std::chrono::steady_clock::now();
    setRatio(state, "x_anchor",
             std::chrono::duration<double, std::nano>(t1 - t0).count() /
                 double(state.iterations()));
    IOServiceClose(c);
    IOObjectRelease(s);
}

void BM_StructRoundTripInProcess(benchmark::State& state) {
    routeInProcess();
    structRoundTrips(state);
}
BENCHMARK(BM_StructRoundTripInProcess);

// The same call to the kernel host in another process.
void BM_StructRoundTripCrossProcess(benchmark::State& state) {
    std::string error;
    if (!routeCrossProcess(error)) {
        state.SkipWithError(("no kernel host: " + error).c_str());
        return;
    }
    structRoundTrips(state);
}
BENCHMARK(BM_StructRoundTripCrossProcess);

int64_t monotonicNanos() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

// N notification ports of this process, each on its own run-loop thread,
// each with a general-interest notification on the service: how many
// callbacks ran and the monotonic time (system-wide) of the latest.
class CallbackPorts {
public:
    CallbackPorts(io_service_t service, int ports) : mRunLoops(size_t(ports), nullptr) {
        for (int i = 0; i < ports; ++i)
            mLoops.emplace_back([this, service, i] { loop(service, i); });
        while (mReady < ports)
            std::this_thread::yield();
    }
    ~CallbackPorts() {
        mStop = true;
        for (auto& t : mLoops)
            t.join();
    }
    CallbackPorts(const CallbackPorts&) = delete;
    CallbackPorts& operator=(const CallbackPorts&) = delete;

    bool allSubscribed() const { return mFailed == 0; }

    // Every loop asleep (the last state change's callbacks and passes are
    // over), then the counts cleared.
    void arm() {
        for (CFRunLoopRef rl : mRunLoops)
            while (!CFRunLoopIsWaiting(rl))
                std::this_thread::yield();
        mSeen = 0;
        mLast = 0;
    }
    // The time of the last callback once all ports' callbacks ran.
    int64_t waitLast() {
        while (mSeen.load() < int(mRunLoops.size()))
            std::this_thread::yield();
        return mLast.load();
    }

private:
    static void callback(void* ref, io_service_t, natural_t, void*) {
        auto* self = static_cast<CallbackPorts*>(ref);
        const int64_t now = monotonicNanos();
        int64_t last = self->mLast.load();
        while (last < now && !self->mLast.compare_exchange_weak(last, now)) {
        }
        self->mSeen.fetch_add(1);
    }

    void loop(io_service_t service, int i) {
        mRunLoops[size_t(i)] = CFRunLoopGetCurrent();
        IONotificationPortRef p = IONotificationPortCreate(0);
        CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(p),
                           kCFRunLoopDefaultMode);
        io_object_t n = 0;
        if (IOServiceAddInterestNotification(p, service, kIOGeneralInterest, callback, this, &n) !=
            KERN_SUCCESS)
            ++mFailed;
        ++mReady;
        while (!mStop)
            CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
        if (n) IOObjectRelease(n);
        IONotificationPortDestroy(p);
    }

    std::vector<CFRunLoopRef> mRunLoops;
    std::vector<std::thread> mLoops;
    std::atomic<int> mReady{0}, mFailed{0}, mSeen{0};
    std::atomic<int64_t> mLast{0};
    std::atomic<bool> mStop{false};
};

// One state change to N ports in this process, each on its own run-loop
// thread: the sender's time in messageClients and the time until the last
// callback ran.
void BM_StateChangeFanOut(benchmark::State& state) {
    routeInProcess();
    const int ports = int(state.range(0));
    io_service_t s = findNub();
    double sendNs = 0, lastNs = 0, sendCpuNs = 0;
    {
        CallbackPorts callbacks(s, ports);
        if (!callbacks.allSubscribed()) state.SkipWithError("a port did not subscribe");
        uint8_t change[36] = {0xFF, 0xFF, 0xFF, 0xFF};
        for (auto _ : state) {
            callbacks.arm();
            const int64_t cpu0 = threadCpuNanos();
            const int64_t t0 = monotonicNanos();
            nub()->messageClients(0xE0000130, change, sizeof change);
            const int64_t t1 = monotonicNanos();
            const int64_t cpu1 = threadCpuNanos();
            const int64_t last = callbacks.waitLast();
            sendNs += double(t1 - t0);
            lastNs += double(last - t0);
            sendCpuNs += double(cpu1 - cpu0);
        }
    }
    setRatio(state, "sender_x_anchor", sendNs / double(state.iterations()));
    setRatio(state, "last_callback_x_anchor", lastNs / double(state.iterations()));
    // The sender's own processor time (its wall time above also holds the
    // time a woken loop kept it off its processor).
    setRatio(state, "sender_cpu_x_anchor", sendCpuNs / double(state.iterations()));
    IOObjectRelease(s);
}
BENCHMARK(BM_StateChangeFanOut)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

// The host's side of the fan-out across processes: on each byte from
// gTrigger[0] it sends one state change and answers the monotonic times
// (system-wide, so both processes read one clock) before and after
// messageClients on gTimes[1], and the processor time the sender spent in
// it.
int gTrigger[2] = {-1, -1};
int gTimes[2] = {-1, -1};

void serveTriggers() {
    uint8_t change[36] = {0xFF, 0xFF, 0xFF, 0xFF};
    char byte = 0;
    while (read(gTrigger[0], &byte, 1) == 1) {
        int64_t t[3];
        const int64_t cpu0 = threadCpuNanos();
        t[0] = std::chrono::steady_clock::now().time_since_epoch().count();
        nub()->messageClients(0xE0000130, change, sizeof change);
        t[1] = std::chrono::steady_clock::now().time_since_epoch().count();
        t[2] = threadCpuNanos() - cpu0;
        if (write(gTimes[1], t, sizeof t) != ssize_t(sizeof t)) return;
    }
}

// Counts the records that reached this process's ports (the user end's
// one port reader delivers them) and the time the last one came.
struct CountingSink final : hx::iokit::PortSink {
    std::atomic<int>* seen;
    std::atomic<int64_t>* last;
    void deliver(hx::iokit::NotificationRecord&&) override {
        last->store(std::chrono::steady_clock::now().time_since_epoch().count());
        seen->fetch_add(1);
    }
    void lost() override {}
};

// Asks the kernel host for one state change: the monotonic times before and
// after its messageClients and the sender's processor time in it.
bool triggerStateChange(int64_t (&times)[3]) {
    const char go = 1;
    return write(gTrigger[1], &go, 1) == 1 &&
           read(gTimes[0], times, sizeof times) == ssize_t(sizeof times);
}

// One state change sent in the kernel host to N ports of this process, each
// an IONotificationPort on its own run-loop thread: the sender's time in
// messageClients and the time until the last callback ran here.
void BM_StateChangeFanOutCrossProcess(benchmark::State& state) {
    std::string error;
    if (!routeCrossProcess(error)) {
        state.SkipWithError(("no kernel host: " + error).c_str());
        return;
    }
    const int ports = int(state.range(0));
    io_service_t s = findNub();
    if (!s) {
        state.SkipWithError("the kernel host has no BenchNub");
        return;
    }
    double sendNs = 0, lastNs = 0, sendCpuNs = 0;
    {
        CallbackPorts callbacks(s, ports);
        if (!callbacks.allSubscribed()) state.SkipWithError("a port did not subscribe");
        for (auto _ : state) {
            callbacks.arm();
            int64_t times[3] = {0, 0, 0};
            if (!triggerStateChange(times)) {
                state.SkipWithError("the kernel host did not answer");
                break;
            }
            const int64_t last = callbacks.waitLast();
            sendNs += double(times[1] - times[0]);
            lastNs += double(last - times[0]);
            sendCpuNs += double(times[2]);
        }
    }
    setRatio(state, "sender_x_anchor", sendNs / double(state.iterations()));
    setRatio(state, "last_callback_x_anchor", lastNs / double(state.iterations()));
    setRatio(state, "sender_cpu_x_anchor", sendCpuNs / double(state.iterations()));
    IOObjectRelease(s);
}
BENCHMARK(BM_StateChangeFanOutCrossProcess)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

// The same below the user-side API: records counted as the process
// transport's port reader hands them over, before any run loop.
void BM_StateChangeFanOutCrossProcessRecords(benchmark::State& state) {
    const int ports = int(state.range(0));
    std::string error;
    int page = -1;
    auto t = hx::iokit::makeProcessTransport(gHostPath, error, &page);
    if (page >= 0) close(page);
    std::vector<hx::iokit::Handle> services;
    CFMutableDictionaryRef matching = IOServiceMatching("BenchNub");
    t->getMatchingServices(matching, services);
    CFRelease(matching);
    if (services.empty()) {
        state.SkipWithError(("no kernel host: " + error).c_str());
        return;
    }
    std::atomic<int> seen{0};
    std::atomic<int64_t> last{0};
    std::vector<std::unique_ptr<CountingSink>> sinks;
    std::vector<hx::iokit::Handle> portHandles, subs;
    for (int i = 0; i < ports; ++i) {
        auto sink = std::make_unique<CountingSink>();
        sink->seen = &seen;
        sink->last = &last;
        hx::iokit::Handle port = 0, sub = 0;
        t->createPort(sink.get(), &port);
        t->subscribeInterest(port, services[0], uint32_t(i), &sub);
        sinks.push_back(std::move(sink));
        portHandles.push_back(port);
        subs.push_back(sub);
    }
    double sendNs = 0, lastNs = 0, sendCpuNs = 0;
    for (auto _ : state) {
        seen = 0;
        int64_t times[3] = {0, 0, 0};
        if (!triggerStateChange(times)) {
            state.SkipWithError("the kernel host did not answer");
            break;
        }
        while (seen.load() < ports)
            std::this_thread::yield();
        sendNs += double(times[1] - times[0]);
        lastNs += double(last.load() - times[0]);
        sendCpuNs += double(times[2]);
    }
    for (size_t i = 0; i < portHandles.size(); ++i) {
        t->unsubscribe(subs[i]);
        t->destroyPort(portHandles[i]);
    }
    setRatio(state, "sender_x_anchor", sendNs / double(state.iterations()));
    setRatio(state, "last_record_x_anchor", lastNs / double(state.iterations()));
    // The sender's own processor time, as in process.
    setRatio(state, "sender_cpu_x_anchor", sendCpuNs / double(state.iterations()));
}
BENCHMARK(BM_StateChangeFanOutCrossProcessRecords)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

} // namespace

// The kernel host is forked before anything starts a thread; it serves the
// nub until the benchmarks are done.
int main(int argc, char** argv) {
    char dir[] = "/tmp/hxbench.XXXXXX";
    if (!mkdtemp(dir)) return 1;
    gHostPath = std::string(dir) + "/kernel.sock";
    int ready[2];
    if (pipe(ready) != 0 || pipe(gTrigger) != 0 || pipe(gTimes) != 0) return 1;
    const pid_t host = fork();
    if (host == 0) {
        nub();
        hx::iokit::KernelHost h(gHostPath, nullptr);
        std::string error;
        const char ok = h.start(error) ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1 || ok != '1') _exit(1);
        serveTriggers();
        for (;;)
            pause();
    }
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1) ok = 0;
    gInProcess = hx::iokit::makeInProcessTransport();
    gRouted = new RoutedTransport;
    gRouted->to = gInProcess.get();
    if (!hx::iokit::useTransport(gRouted)) return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    unlink(gHostPath.c_str());
    rmdir(dir);
    return 0;
}
