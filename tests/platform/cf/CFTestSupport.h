// Helpers shared by the property-list tests: owning references and the
// python3 oracle.
#pragma once

#include "platform/cf/CoreFoundation.h"
#include "platform/cf/HXCF.h"

#include <cstdio>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <type_traits>
#include <unistd.h>

namespace hx::cftest {

// Runs body in a child process, as another process of the machine would
// (nothing of this process's pending preference changes); answers its
// success.
template <class Body> bool inOtherProcess(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        hx::cf::resetPreferences();
        _exit(body() ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Owns one reference.
template <class T> class Ref {
public:
    Ref() = default;
    explicit Ref(T ref) : mRef(ref) {}
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : mRef(o.mRef) { o.mRef = nullptr; }
    T get() const { return mRef; }
    operator T() const { return mRef; }
    void reset(T ref = nullptr) {
        if (mRef) CFRelease(mRef);
        mRef = ref;
    }

private:
    T mRef = nullptr;
};

inline Ref<CFStringRef> str(const char* utf8) {
    return Ref<CFStringRef>(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

inline Ref<CFNumberRef> num(long long v) {
    return Ref<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberLongLongType, &v));
}

inline std::string text(CFTypeRef s) {
    if (CFGetTypeID(s) != CFStringGetTypeID()) return "<not a string>";
    auto str = static_cast<CFStringRef>(s);
    std::string out(std::size_t(CFStringGetMaximumSizeForEncoding(CFStringGetLength(str),
                                                                  kCFStringEncodingUTF8)) +
                        1,
                    '\0');
    if (!CFStringGetCString(str, out.data(), CFIndex(out.size()), kCFStringEncodingUTF8))
        return "<unconvertible>";
    out.resize(std::char_traits<char>::length(out.c_str()));
    return out;
}

// Runs a python3 program (script text, then arguments); answers its standard
// output, and its exit status in *status.
inline std::string python(const std::string& script, const std::string& args, int* status) {
    char path[] = "/tmp/hx_cf_py_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return {};
    FILE* f = fdopen(fd, "w");
    std::fputs(script.c_str(), f);
    std::fclose(f);
    std::string cmd = std::string("python3 ") + path + " " + args;
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while (p && (n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = p ? pclose(p) : -1;
    if (status) *status = rc;
    std::remove(path);
    return out;
}

} // namespace hx::cftest
