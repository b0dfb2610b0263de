#include "platform/sys/SysCtl.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/syscall.h>

namespace {

// Processes that may start between a size query and the read: the size
// query answers this many records more than it found.
std::size_t spareRecords(std::size_t found) {
    return found / 8 + 16;
}

kinfo_proc toRecord(const hx::sys::ProcessInfo& p) {
    kinfo_proc k;
    std::memset(&k, 0, sizeof k);
    k.kp_proc.p_pid = p.pid;
    k.kp_proc.p_stat = p.state;
    std::memcpy(k.kp_proc.p_comm, p.name.data(), std::min(p.name.size(), MAXCOMLEN));
    k.kp_eproc.e_ucred.cr_uid = p.uid;
    return k;
}

int fail(int error) {
    errno = error;
    return -1;
}

int readProcessTable(void* oldp, std::size_t* oldlenp) {
    if (!oldp) {
        const std::size_t n = hx::sys::countProcesses();
        *oldlenp = (n + spareRecords(n)) * sizeof(kinfo_proc);
        if (auto hook = hx::sys::afterSizeQueryHook()) hook();
        return 0;
    }
    const std::vector<hx::sys::ProcessInfo> table = hx::sys::readProcessTable();
    const std::size_t room = *oldlenp / sizeof(kinfo_proc);
    const std::size_t n = std::min(room, table.size());
    auto* out = static_cast<kinfo_proc*>(oldp);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = toRecord(table[i]);
    *oldlenp = n * sizeof(kinfo_proc);
    return n < table.size() ? fail(ENOMEM) : 0;
}

int readMaxProc(void* oldp, std::size_t* oldlenp) {
    const std::optional<int> count = hx::sys::maxProcessCount();
    if (!count) return fail(ENOENT);
    if (!oldp) {
        *oldlenp = sizeof(int);
        return 0;
    }
    if (*oldlenp < sizeof(int)) return fail(ENOMEM);
    std::memcpy(oldp, &*count, sizeof(int));
    *oldlenp = sizeof(int);
    return 0;
}

} // namespace

extern "C" int sysctl(int* name, unsigned namelen, void* oldp, std::size_t* oldlenp, void* newp,
                      std::size_t newlen) {
    if (!name || namelen < 2 || !oldlenp) return fail(EINVAL);
    if (newp || newlen) return fail(EPERM);
    if (name[0] != CTL_KERN) return fail(ENOENT);
    switch (name[1]) {
    case KERN_PROC:
        if (namelen != 3 || name[2] != KERN_PROC_ALL) return fail(EINVAL);
        return readProcessTable(oldp, oldlenp);
    case KERN_MAXPROC:
        if (namelen != 2) return fail(EINVAL);
        return readMaxProc(oldp, oldlenp);
    default:
        return fail(ENOENT);
    }
}

extern "C" int proc_name(int pid, void* buffer, std::uint32_t buffersize) {
    if (!buffer || buffersize == 0) {
        errno = EINVAL;
        return 0;
    }
    const std::optional<hx::sys::ProcessInfo> p = hx::sys::findProcess(pid);
    if (!p) {
        errno = ESRCH;
        return 0;
    }
    const std::size_t n = std::min<std::size_t>(p->name.size(), buffersize - 1);
    std::memcpy(buffer, p->name.data(), n);
    static_cast<char*>(buffer)[n] = '\0';
    return int(n);
}

// In place of the C library's: the emulated user id.
uid_t getuid() noexcept {
    return hx::sys::ownUid();
}

// In place of the C library's: the running system, with the other system's
// release in place of Linux's.
int uname(struct utsname* name) noexcept {
    if (!name) return fail(EFAULT);
    if (syscall(SYS_uname, name) != 0) return -1;
    const std::string release = hx::sys::emulatedRelease();
    const std::size_t n = std::min(release.size(), sizeof name->release - 1);
    std::memcpy(name->release, release.data(), n);
    name->release[n] = '\0';
    return 0;
}
