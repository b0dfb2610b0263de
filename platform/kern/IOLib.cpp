#include "platform/kern/IOLib.h"

#include "platform/base/HXClock.h"
#include "platform/base/MachPort.h"
#include "platform/base/MachThread.h"

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

int version_major = 19;
int version_minor = 6;
int version_revision = 0;

task_t kernel_task = mach_task_self();

// ---- plain allocation

void* IOMalloc(vm_size_t size) {
    return size ? std::malloc(size) : nullptr;
}

void* IOMallocZero(vm_size_t size) {
    return size ? std::calloc(1, size) : nullptr;
}

void IOFree(void* address, vm_size_t) {
    std::free(address);
}

// ---- memfd-backed aligned allocation

namespace hx::kern {

SharedRegion::~SharedRegion() {
    if (fd >= 0) ::close(fd);
}

namespace {

struct RegionTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<SharedRegion>> byAddress; // kernel address
};

RegionTable& regions() {
    static RegionTable* t = new RegionTable;
    return *t;
}

// Inaccessible pages kept on each side of an aligned area.
constexpr uint64_t kGuardPages = 1;

uint64_t pageSize() {
    static const uint64_t size = (uint64_t)::sysconf(_SC_PAGESIZE);
    return size;
}

} // namespace

std::shared_ptr<SharedRegion> findSharedRegion(const void* address, uint64_t length) {
    const uintptr_t a = (uintptr_t)address;
    RegionTable& t = regions();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.byAddress.upper_bound(a);
    if (it == t.byAddress.begin()) return nullptr;
    --it;
    const SharedRegion& r = *it->second;
    if (a < it->first || a + length > it->first + r.size || a + length < a) return nullptr;
    return it->second;
}

} // namespace hx::kern

void* IOMallocAligned(vm_size_t size, vm_size_t alignment) {
    using namespace hx::kern;
    if (size == 0 || (alignment & (alignment - 1)) != 0) return nullptr;
    const uint64_t page = pageSize();
    if (alignment < page) alignment = page;
    const uint64_t mapped = (size + page - 1) / page * page;

    int fd = ::memfd_create("hx-kernel-area", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    if (::ftruncate(fd, (off_t)mapped) != 0) {
        ::close(fd);
        return nullptr;
    }
    // Reserve enough to place the area at the wanted alignment with a guard
    // page on each side, then map the file over the aligned part and give
    // the rest back. The guard pages stay inaccessible: an access just
    // before or after an area faults at once instead of reaching whatever
    // lies there.
    const uint64_t reserve = mapped + alignment - page + 2 * kGuardPages * page;
    void* base = ::mmap(nullptr, reserve, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    const uintptr_t b = (uintptr_t)base;
    const uintptr_t aligned =
        (b + kGuardPages * page + alignment - 1) & ~(uintptr_t)(alignment - 1);
    void* area =
        ::mmap((void*)aligned, mapped, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    if (area == MAP_FAILED) {
        ::munmap(base, reserve);
        ::close(fd);
        return nullptr;
    }
    const uintptr_t first = aligned - kGuardPages * page;
    if (first > b) ::munmap(base, first - b);
    const uintptr_t last = aligned + mapped + kGuardPages * page;
    if (b + reserve > last) ::munmap((void*)last, b + reserve - last);
    // The bytes between the size asked for and the page end belong to no
    // one either: the address sanitizer reports an access to them.
    ASAN_POISON_MEMORY_REGION(static_cast<uint8_t*>(area) + size, mapped - size);

    auto region = std::make_shared<SharedRegion>();
    region->fd = fd;
    region->size = size;
    region->mappedSize = mapped;
    region->kernelAddress = area;
    RegionTable& t = regions();
    std::lock_guard<std::mutex> g(t.lock);
    t.byAddress[aligned] = std::move(region);
    return area;
}

void IOFreeAligned(void* address, vm_size_t) {
    using namespace hx::kern;
    if (!address) return;
    std::shared_ptr<SharedRegion> region;
    {
        RegionTable& t = regions();
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.byAddress.find((uintptr_t)address);
        if (it == t.byAddress.end()) {
            IOLog("IOFreeAligned: %p was not allocated by IOMallocAligned\n", address);
            return;
        }
        region = std::move(it->second);
        t.byAddress.erase(it);
    }
    // Other mappings of the file keep the pages alive; only the kernel's view
    // (and its guard pages) goes away here.
    ASAN_UNPOISON_MEMORY_REGION(address, region->mappedSize);
    const uint64_t guard = kGuardPages * pageSize();
    ::munmap(static_cast<uint8_t*>(address) - guard, region->mappedSize + 2 * guard);
    region->kernelAddress = nullptr;
}

// ---- time

void IOSleep(unsigned milliseconds) {
    hx::clock::sleepFor((uint64_t)milliseconds * 1000000);
}

void IODelay(unsigned microseconds) {
    hx::clock::sleepFor((uint64_t)microseconds * 1000);
}

// ---- locks

struct IOLock {
    std::mutex m;
};

IOLock* IOLockAlloc() {
    return new IOLock;
}
void IOLockFree(IOLock* lock) {
    delete lock;
}
void IOLockLock(IOLock* lock) {
    lock->m.lock();
}
void IOLockUnlock(IOLock* lock) {
    lock->m.unlock();
}
bool IOLockTryLock(IOLock* lock) {
    return lock->m.try_lock();
}

// ---- tasks

task_t current_task() {
    return kernel_task;
}

namespace hx::kern {

namespace {
std::mutex gTaskLock;
std::map<task_t, TaskIdentity>& taskTable() {
    static std::map<task_t, TaskIdentity>* m = new std::map<task_t, TaskIdentity>;
    return *m;
}
} // namespace

task_t createTask(int pid) {
    return createTask(pid, "", 501);
}

task_t createTask(int pid, const char* name, uint32_t uid) {
    TaskIdentity id;
    id.pid = pid;
    id.uid = uid;
    if (name) std::strncpy(id.name, name, kTaskNameLength);
    id.name[kTaskNameLength] = 0;
    const task_t t = hx::mach::allocatePortName();
    std::lock_guard<std::mutex> g(gTaskLock);
    taskTable()[t] = id;
    return t;
}

void destroyTask(task_t t) {
    std::lock_guard<std::mutex> g(gTaskLock);
    taskTable().erase(t);
}

int taskPid(task_t t) {
    if (t == kernel_task) return 0;
    std::lock_guard<std::mutex> g(gTaskLock);
    auto it = taskTable().find(t);
    return it == taskTable().end() ? -1 : it->second.pid;
}

bool taskIdentity(task_t t, TaskIdentity& out) {
    if (t == kernel_task) {
        out = TaskIdentity{};
        std::strcpy(out.name, "kernel_task");
        out.uid = 0;
        return true;
    }
    std::lock_guard<std::mutex> g(gTaskLock);
    auto it = taskTable().find(t);
    if (it == taskTable().end()) return false;
    out = it->second;
    return true;
}

} // namespace hx::kern

// ---- threads

kern_return_t kernel_thread_start(thread_continue_t continuation, void* parameter,
                                  thread_t* newThread) {
    if (!continuation || !newThread) return KERN_INVALID_ARGUMENT;
    // Shared, so neither side outlives what the other still touches.
    struct Birth {
        std::mutex m;
        std::condition_variable cv;
        thread_t port = MACH_PORT_NULL;
    };
    auto birth = std::make_shared<Birth>();
    try {
        // The new thread takes part in virtual time from here on, so the
        // clock cannot move before it has started.
        hx::clock::Reservation seat;
        std::thread([birth, continuation, parameter, seat = std::move(seat)]() mutable {
            hx::clock::Participant participant(std::move(seat));
            {
                std::lock_guard<std::mutex> g(birth->m);
                birth->port = mach_thread_self();
            }
            hx::clock::notifyAll(birth->cv);
            continuation(parameter, 0);
        }).detach();
    } catch (...) {
        return KERN_RESOURCE_SHORTAGE;
    }
    // The creator learns the new thread's name before the call returns.
    std::unique_lock<std::mutex> l(birth->m);
    hx::clock::wait(birth->cv, l, [&] { return birth->port != MACH_PORT_NULL; });
    *newThread = birth->port;
    return KERN_SUCCESS;
}

thread_t current_thread() {
    return mach_thread_self();
}

void thread_deallocate(thread_t) {}

kern_return_t thread_terminate(thread_t t) {
    if (t == MACH_PORT_NULL) return KERN_INVALID_ARGUMENT;
    // Only a thread's own end is supported: it returns from its function.
    if (t != mach_thread_self()) return KERN_FAILURE;
    return KERN_SUCCESS;
}
