#include "platform/sys/HXProcess.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace hx::sys {

namespace {

constexpr uid_t kDefaultOrdinaryUserThreshold = 499;
constexpr const char* kDefaultRelease = "19.6.0";

struct Overrides {
    std::optional<std::string> ownName;
    std::optional<uid_t> ownUid;
    std::optional<std::string> release;
    uid_t threshold = kDefaultOrdinaryUserThreshold;
    std::vector<FakeProcess> fakes;
    bool hideReal = false;
    std::function<void()> afterSizeQuery;
    std::optional<int> maxProc;
    bool maxProcFails = false;
};

std::mutex gLock;
Overrides gOverrides;

// Reads a file below dirFd; with stopAtNul, reading ends at the first NUL (a
// command line's argv[0] is all that is needed). False when it cannot be
// opened.
bool readAt(int dirFd, const char* name, std::string& out, bool stopAtNul = false) {
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, std::size_t(n));
        if (stopAtNul && out.find('\0') != std::string::npos) break;
    }
    close(fd);
    return true;
}

// A real process from /proc; none when it is gone (or vanishes while read).
std::optional<ProcessInfo> readReal(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return std::nullopt;
    std::optional<ProcessInfo> info;
    std::string stat;
    // "pid (comm) S ...": comm may hold spaces and parentheses, so it ends at
    // the last ')'.
    if (readAt(dirFd, "stat", stat)) {
        const std::size_t lp = stat.find('(');
        const std::size_t rp = stat.rfind(')');
        if (lp != std::string::npos && rp != std::string::npos && rp > lp && rp + 2 < stat.size()) {
            const std::string comm = stat.substr(lp + 1, rp - lp - 1);
            std::string commandLine;
            readAt(dirFd, "cmdline", commandLine, true);
            // The folder belongs to the process's effective user (to root for
            // a process that cannot be dumped); cheaper than the status file.
            struct stat st;
            if (fstat(dirFd, &st) == 0) {
                info = ProcessInfo{pid, processNameFrom(commandLine, comm),
                                   processStateFrom(stat[rp + 2]), st.st_uid};
            }
        }
    }
    close(dirFd);
    return info;
}

ProcessInfo fromFake(const FakeProcess& f) {
    return ProcessInfo{f.pid, processNameFrom(f.commandLine, f.comm),
                       processStateFrom(f.linuxState), f.uid};
}

const std::string& derivedOwnName() {
    static const std::string name = [] {
        std::string commandLine, comm;
        const int dirFd = open("/proc/self", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            readAt(dirFd, "cmdline", commandLine, true);
            readAt(dirFd, "comm", comm);
            close(dirFd);
        }
        if (!comm.empty() && comm.back() == '\n') comm.pop_back();
        return processNameFrom(commandLine, comm);
    }();
    return name;
}

// A folder of /proc that stands for a process.
bool isPidName(const char* name) {
    char* end = nullptr;
    const long pid = std::strtol(name, &end, 10);
    return name[0] >= '1' && name[0] <= '9' && *end == '\0' && pid <= INT_MAX;
}

// The own process as the table shows it, overrides applied.
void applyOwnIdentity(ProcessInfo& p) {
    p.name = ownProcessName();
    p.uid = ownUid();
}

} // namespace

std::string processNameFrom(std::string_view commandLine, std::string_view comm) {
    std::string_view argv0 = commandLine.substr(0, commandLine.find('\0'));
    const std::size_t slash = argv0.rfind('/');
    if (slash != std::string_view::npos) argv0.remove_prefix(slash + 1);
    std::string_view name = argv0.empty() ? comm.substr(0, comm.find('\0')) : argv0;
    return std::string(name.substr(0, kProcessNameLength));
}

char processStateFrom(char linuxState) {
    switch (linuxState) {
    case 'Z':
    case 'X':
    case 'x':
        return kProcessZombie;
    case 'R':
        return kProcessRunnable;
    case 'T':
    case 't':
        return kProcessStopped;
    default:
        return kProcessSleeping;
    }
}

pid_t ownPid() {
    return getpid();
}

std::string ownProcessName() {
    {
        std::lock_guard<std::mutex> g(gLock);
        if (gOverrides.ownName) return gOverrides.ownName->substr(0, kProcessNameLength);
    }
    return derivedOwnName();
}

uid_t ownUid() {
    {
        std::lock_guard<std::mutex> g(gLock);
        if (gOverrides.ownUid) return *gOverrides.ownUid;
    }
    // The real id: getuid itself answers the emulated one (SysCtl.h).
    return uid_t(syscall(SYS_getuid));
}

std::string emulatedRelease() {
    std::lock_guard<std::mutex> g(gLock);
    return gOverrides.release.value_or(kDefaultRelease);
}

uid_t ordinaryUserThreshold() {
    std::lock_guard<std::mutex> g(gLock);
    return gOverrides.threshold;
}

bool isOrdinaryUser(uid_t uid) {
    return uid > ordinaryUserThreshold();
}

std::size_t countProcesses() {
    std::size_t n;
    bool hide;
    {
        std::lock_guard<std::mutex> g(gLock);
        n = gOverrides.fakes.size();
        hide = gOverrides.hideReal;
    }
    if (!hide) {
        if (DIR* d = opendir("/proc")) {
            while (dirent* e = readdir(d))
                if (isPidName(e->d_name)) ++n;
            closedir(d);
        }
    }
    return n;
}

std::vector<ProcessInfo> readProcessTable() {
    std::vector<FakeProcess> fakes;
    bool hide;
    {
        std::lock_guard<std::mutex> g(gLock);
        fakes = gOverrides.fakes;
        hide = gOverrides.hideReal;
    }
    std::vector<ProcessInfo> table;
    if (!hide) {
        const pid_t self = getpid();
        if (DIR* d = opendir("/proc")) {
            while (dirent* e = readdir(d)) {
                if (!isPidName(e->d_name)) continue;
                std::optional<ProcessInfo> p = readReal(pid_t(std::strtol(e->d_name, nullptr, 10)));
                if (!p) continue; // ended while the table was read
                if (p->pid == self) applyOwnIdentity(*p);
                table.push_back(std::move(*p));
            }
            closedir(d);
        }
    }
    for (const FakeProcess& f : fakes) {
        auto same = std::find_if(table.begin(), table.end(),
                                 [&](const ProcessInfo& p) { return p.pid == f.pid; });
        if (same != table.end())
            *same = fromFake(f);
        else
            table.push_back(fromFake(f));
    }
    std::sort(table.begin(), table.end(),
              [](const ProcessInfo& a, const ProcessInfo& b) { return a.pid < b.pid; });
    return table;
}

std::optional<ProcessInfo> findProcess(pid_t pid) {
    bool hide;
    {
        std::lock_guard<std::mutex> g(gLock);
        for (const FakeProcess& f : gOverrides.fakes)
            if (f.pid == pid) return fromFake(f);
        hide = gOverrides.hideReal;
    }
    if (hide || pid <= 0) return std::nullopt;
    std::optional<ProcessInfo> p = readReal(pid);
    if (p && pid == getpid()) applyOwnIdentity(*p);
    return p;
}

std::optional<int> maxProcessCount() {
    {
        std::lock_guard<std::mutex> g(gLock);
        if (gOverrides.maxProcFails) return std::nullopt;
        if (gOverrides.maxProc) return gOverrides.maxProc;
    }
    // Linux's system-wide limit on tasks stands for the maximum process count.
    std::string text;
    const int dirFd = open("/proc/sys/kernel", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return std::nullopt;
    const bool ok = readAt(dirFd, "threads-max", text);
    close(dirFd);
    if (!ok) return std::nullopt;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || n <= 0) return std::nullopt;
    return int(std::min<long long>(n, INT_MAX));
}

void setOwnProcessName(std::optional<std::string> name) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.ownName = std::move(name);
}

void setOwnUid(std::optional<uid_t> uid) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.ownUid = uid;
}

void setEmulatedRelease(std::optional<std::string> release) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.release = std::move(release);
}

void setOrdinaryUserThreshold(uid_t threshold) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.threshold = threshold;
}

void addFakeProcess(FakeProcess process) {
    std::lock_guard<std::mutex> g(gLock);
    auto same = std::find_if(gOverrides.fakes.begin(), gOverrides.fakes.end(),
                             [&](const FakeProcess& f) { return f.pid == process.pid; });
    if (same != gOverrides.fakes.end())
        *same = std::move(process);
    else
        gOverrides.fakes.push_back(std::move(process));
}

void clearFakeProcesses() {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.fakes.clear();
}

void hideRealProcesses(bool hide) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.hideReal = hide;
}

void setAfterSizeQuery(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.afterSizeQuery = std::move(hook);
}

void setMaxProcessCount(std::optional<int> count, bool fail) {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides.maxProc = count;
    gOverrides.maxProcFails = fail;
}

void resetProcessOverrides() {
    std::lock_guard<std::mutex> g(gLock);
    gOverrides = Overrides{};
}

std::function<void()> afterSizeQueryHook() {
    std::lock_guard<std::mutex> g(gLock);
    return gOverrides.afterSizeQuery;
}

} // namespace hx::sys
