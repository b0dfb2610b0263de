// The user-side IOKit calls in process and across processes (a kernel host
// forked from this program, serving the same nub), against a published nub
// whose user client answers a 1,548-byte structure call. Every figure is also given as a
// ratio to the anchor: a bare SOCK_SEQPACKET round trip of 1,548 bytes over a
// socketpair, measured in this program. Goals: in process a call costs at
// most 0.25 of the anchor; with 8 ports the sender's messageClients at most
// 1 anchor and the last callback at most 3.
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

void BM_StructRoundTripInProcess(benchmark::State& state) {
    io_service_t s = findNub();
    io_connect_t c = 0;
    IOServiceOpen(s, mach_task_self(), 0, &c);
    std::vector<uint8_t> in(kRecord, 2), out(kRecord);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        size_t outSize = out.size();
        benchmark::DoNotOptimize(
            IOConnectCallStructMethod(c, 0, in.data(), in.size(), out.data(), &outSize));
    }
    const auto t1 = std::chrono::steady_clock::now();
    setRatio(state, "x_anchor",
             std::chrono::duration<double, std::nano>(t1 - t0).count() /
                 double(state.iterations()));
    IOServiceClose(c);
    IOObjectRelease(s);
}
BENCHMARK(BM_StructRoundTripInProcess);

std::string gHostPath;

// The same call to the kernel host in another process, through the process
// transport itself (this program's IOKit calls stay in process).
void BM_StructRoundTripCrossProcess(benchmark::State& state) {
    std::string error;
    int page = -1;
    auto t = hx::iokit::makeProcessTransport(gHostPath, error, &page);
    if (page >= 0) close(page);
    std::vector<hx::iokit::Handle> services;
    CFMutableDictionaryRef matching = IOServiceMatching("BenchNub");
    t->getMatchingServices(matching, services);
    CFRelease(matching);
    hx::iokit::Handle c = 0;
    if (services.empty() || t->open(services[0], mach_task_self(), 0, &c) != KERN_SUCCESS) {
        state.SkipWithError(("no kernel host: " + error).c_str());
        return;
    }
    std::vector<uint8_t> in(kRecord, 2), out(kRecord);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        size_t outSize = out.size();
        hx::iokit::CallArgs a;
        a.structInput = in.data();
        a.structInputSize = in.size();
        a.structOutput = out.data();
        a.structOutputSize = &outSize;
        benchmark::DoNotOptimize(t->call(c, 0, a));
    }
    const auto t1 = std::chrono::steady_clock::now();
    setRatio(state, "x_anchor",
             std::chrono::duration<double, std::nano>(t1 - t0).count() /
                 double(state.iterations()));
    t->close(c);
}
BENCHMARK(BM_StructRoundTripCrossProcess);

// One state change to N ports in this process, each on its own run-loop
// thread: the sender's time in messageClients and the time until the last
// callback ran.
void BM_StateChangeFanOut(benchmark::State& state) {
    const int ports = int(state.range(0));
    io_service_t s = findNub();
    std::atomic<int> seen{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> loops;
    std::atomic<int> ready{0};
    std::vector<CFRunLoopRef> runLoops(size_t(ports), nullptr);
    for (int i = 0; i < ports; ++i) {
        loops.emplace_back([&, i] {
            runLoops[size_t(i)] = CFRunLoopGetCurrent();
            IONotificationPortRef p = IONotificationPortCreate(0);
            CFRunLoopAddSource(CFRunLoopGetCurrent(), IONotificationPortGetRunLoopSource(p),
                               kCFRunLoopDefaultMode);
            io_object_t n = 0;
            IOServiceAddInterestNotification(
                p, s, kIOGeneralInterest,
                [](void* ref, io_service_t, natural_t, void*) {
                    static_cast<std::atomic<int>*>(ref)->fetch_add(1);
                },
                &seen, &n);
            ++ready;
            while (!stop)
                CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, true);
            IOObjectRelease(n);
            IONotificationPortDestroy(p);
        });
    }
    while (ready < ports)
        std::this_thread::yield();
    uint8_t change[36] = {0xFF, 0xFF, 0xFF, 0xFF};
    double sendNs = 0, lastNs = 0, sendCpuNs = 0;
    for (auto _ : state) {
        // A state change finds the ports asleep: the last one's callbacks
        // and passes are over (not counted).
        for (CFRunLoopRef rl : runLoops)
            while (!CFRunLoopIsWaiting(rl))
                std::this_thread::yield();
        seen = 0;
        const int64_t cpu0 = threadCpuNanos();
        const auto t0 = std::chrono::steady_clock::now();
        nub()->messageClients(0xE0000130, change, sizeof change);
        const auto t1 = std::chrono::steady_clock::now();
        const int64_t cpu1 = threadCpuNanos();
        while (seen.load() < ports)
            std::this_thread::yield();
        const auto t2 = std::chrono::steady_clock::now();
        sendNs += std::chrono::duration<double, std::nano>(t1 - t0).count();
        lastNs += std::chrono::duration<double, std::nano>(t2 - t0).count();
        sendCpuNs += double(cpu1 - cpu0);
    }
    stop = true;
    for (auto& t : loops)
        t.join();
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

// One state change sent in the kernel host to N ports of this process:
// the sender's time in messageClients and the time until the last record
// reached this process.
void BM_StateChangeFanOutCrossProcess(benchmark::State& state) {
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
        const char go = 1;
        int64_t times[3] = {0, 0, 0};
        if (write(gTrigger[1], &go, 1) != 1 ||
            read(gTimes[0], times, sizeof times) != ssize_t(sizeof times)) {
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
BENCHMARK(BM_StateChangeFanOutCrossProcess)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();

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
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kill(host, SIGKILL);
    waitpid(host, nullptr, 0);
    unlink(gHostPath.c_str());
    rmdir(dir);
    return 0;
}
