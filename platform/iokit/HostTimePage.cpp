#include "platform/iokit/HostTimePage.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace hx::iokit {

namespace {

constexpr size_t kPageBytes = 4096;

uint64_t monotonicNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

} // namespace

HostTimePage::~HostTimePage() {
    stopPublishing();
    if (mPage) ::munmap(mPage, kPageBytes);
    if (mFd >= 0) ::close(mFd);
}

bool HostTimePage::create(std::string& error) {
    if (mFd >= 0) return true;
    mFd = ::memfd_create("hx-host-time", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (mFd < 0 || ::ftruncate(mFd, kPageBytes) != 0 ||
        ::fcntl(mFd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0) {
        error = std::string("cannot make the time page: ") + std::strerror(errno);
        return false;
    }
    void* p = ::mmap(nullptr, kPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, mFd, 0);
    if (p == MAP_FAILED) {
        error = std::string("cannot map the time page: ") + std::strerror(errno);
        return false;
    }
    mPage = static_cast<TimePageLayout*>(p);
    publish();
    return true;
}

int HostTimePage::readOnlyDescriptor() const {
    if (mFd < 0) return -1;
    // Reopened read-only: a receiver can neither write the page nor map it
    // writable.
    const std::string self = "/proc/self/fd/" + std::to_string(mFd);
    return ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
}

void HostTimePage::publish() {
    const uint32_t s = __atomic_load_n(&mPage->sequence, __ATOMIC_RELAXED);
    __atomic_store_n(&mPage->sequence, s + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    const uint64_t mono = monotonicNow();
    uint64_t host = hx::clock::nowNanos();
    if (hx::clock::isPaced()) {
        // A paced clock never passes its anchor's line, but it may run
        // faster than the wall clock while it catches up after a stall:
        // publishing the line keeps every reader at or ahead of the host.
        const hx::clock::PacedAnchor a = hx::clock::pacedAnchor();
        if (mono >= a.wallNanos) host = std::max(host, a.virtualNanos + (mono - a.wallNanos));
    }
    __atomic_store_n(&mPage->hostNanos, host, __ATOMIC_RELAXED);
    __atomic_store_n(&mPage->monotonicNanos, mono, __ATOMIC_RELAXED);
    __atomic_store_n(&mPage->sequence, s + 2, __ATOMIC_RELEASE);
}

void HostTimePage::startPublishing() {
    if (mRunning.exchange(true)) return;
    // The publisher keeps to the wall clock, not the machine's: it reads the
    // machine's time for processes whose clocks run on the wall, and must
    // never be a reason for the machine's time to step.
    mPublisher = std::thread([this] {
        while (mRunning.load()) {
            publish();
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
}

void HostTimePage::stopPublishing() {
    if (!mRunning.exchange(false)) return;
    mPublisher.join();
}

bool HostTimeSource::attach(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || size_t(st.st_size) < sizeof(TimePageLayout)) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    void* p = ::mmap(nullptr, kPageBytes, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return false;
    mPage = static_cast<const TimePageLayout*>(p);
    return true;
}

uint64_t HostTimeSource::nowNanos() {
    uint64_t host = 0, mono = 0;
    for (;;) {
        const uint32_t s1 = __atomic_load_n(&mPage->sequence, __ATOMIC_ACQUIRE);
        host = __atomic_load_n(&mPage->hostNanos, __ATOMIC_RELAXED);
        mono = __atomic_load_n(&mPage->monotonicNanos, __ATOMIC_RELAXED);
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (!(s1 & 1) && __atomic_load_n(&mPage->sequence, __ATOMIC_RELAXED) == s1) break;
    }
    const uint64_t now = monotonicNow();
    const uint64_t t = host + (now > mono ? now - mono : 0);
    // Never backwards, however the host's publications land.
    uint64_t latest = mLatest.load();
    while (t > latest && !mLatest.compare_exchange_weak(latest, t)) {
    }
    return std::max(t, latest);
}

bool HostTimeSource::waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                               uint64_t deadlineNanos) {
    const uint64_t now = nowNanos();
    if (now >= deadlineNanos) return false;
    // The page's time moves with the wall clock (or slower): waiting the
    // difference on the wall clock never wakes late; an early wake is a
    // spurious return.
    const uint64_t wait = std::min<uint64_t>(deadlineNanos - now, 1000000000ull);
    cv.wait_for(lock, std::chrono::nanoseconds(wait));
    return nowNanos() < deadlineNanos;
}

void HostTimeSource::sleepUntil(uint64_t deadlineNanos) {
    for (uint64_t now = nowNanos(); now < deadlineNanos; now = nowNanos())
        std::this_thread::sleep_for(
            std::chrono::nanoseconds(std::min<uint64_t>(deadlineNanos - now, 1000000000ull)));
}

} // namespace hx::iokit
