// File helpers of the CF stand-in: bounded reads, and writes that replace a
// file only once its new contents are complete on disk.
#include "platform/cf/CFInternal.h"
#include "platform/cf/HXCF.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace hx::cf {

namespace {
std::mutex gHookLock;
std::function<bool(const std::string&)> gWriteFailureHook;

int writeAll(int fd, const char* p, std::size_t n) {
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= std::size_t(w);
    }
    return 0;
}
} // namespace

void setWriteFailureHook(std::function<bool(const std::string& path)> hook) {
    std::lock_guard<std::mutex> g(gHookLock);
    gWriteFailureHook = std::move(hook);
}

bool writeFailsOnPurpose(const std::string& hostPath) {
    std::lock_guard<std::mutex> g(gHookLock);
    return gWriteFailureHook && gWriteFailureHook(hostPath);
}

ReadResult readFile(const std::string& hostPath, std::string& out, std::size_t maxBytes) {
    out.clear();
    int fd = ::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ReadResult::Missing : ReadResult::Failed;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return ReadResult::Failed;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return ReadResult::Failed;
        }
        if (n == 0) break;
        if (out.size() + std::size_t(n) > maxBytes) {
            ::close(fd);
            out.clear();
            return ReadResult::TooLarge;
        }
        out.append(buf, std::size_t(n));
    }
    ::close(fd);
    return ReadResult::Ok;
}

int makeFolders(const std::string& hostPath, int mode) {
    if (hostPath.empty()) return EINVAL;
    struct stat st;
    if (::stat(hostPath.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    std::size_t slash = hostPath.find_last_of('/', hostPath.size() > 1 ? hostPath.size() - 2 : 0);
    if (slash != std::string::npos && slash > 0) {
        int e = makeFolders(hostPath.substr(0, slash), 0755);
        if (e) return e;
    }
    if (::mkdir(hostPath.c_str(), mode_t(mode)) != 0 && errno != EEXIST) return errno;
    return 0;
}

int writeFileAtomically(const std::string& hostPath, const void* data, std::size_t n, int mode) {
    std::string tmp = hostPath + ".XXXXXX";
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) return errno;
    int e = writeAll(fd, static_cast<const char*>(data), n);
    // mkstemp makes the file 0600; without a mode the file gets what a
    // plain create would give it.
    if (!e) {
        mode_t m;
        if (mode >= 0) {
            m = mode_t(mode);
        } else {
            mode_t mask = ::umask(0);
            ::umask(mask);
            m = 0666 & ~mask;
        }
        if (::fchmod(fd, m) != 0) e = errno;
    }
    if (!e && ::fsync(fd) != 0) e = errno;
    if (::close(fd) != 0 && !e) e = errno;
    if (!e && writeFailsOnPurpose(hostPath)) e = ENOSPC;
    if (!e && ::rename(tmp.c_str(), hostPath.c_str()) != 0) e = errno;
    if (e) ::unlink(tmp.c_str());
    return e;
}

} // namespace hx::cf
