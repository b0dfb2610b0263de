// A kernel host (`hxsim --kernel-host`) started as a child process, for the
// tests that run the user side over the process transport. The child gets
// its own root folder; with a log file its log goes there, else it stays
// quiet unless HX_LOG is set.
#pragma once

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace hx::testsupport {

// The rest of the first line from f that begins with prefix, without its end
// of line; empty at the end of the stream.
inline std::string readLineAfter(FILE* f, const std::string& prefix) {
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        std::string s(line);
        if (s.rfind(prefix, 0) != 0) continue;
        s = s.substr(prefix.size());
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        return s;
    }
    return {};
}

class KernelHostChild {
public:
    KernelHostChild() = default;
    KernelHostChild(const KernelHostChild&) = delete;
    KernelHostChild& operator=(const KernelHostChild&) = delete;
    ~KernelHostChild() { stop(); }

    // Starts hxsim as a kernel host under root; answers its socket's path,
    // or an empty string when it did not start. With stderrLog the child's
    // standard error goes to that file.
    std::string start(const char* hxsim, const std::string& root,
                      const std::string& stderrLog = {}) {
        int out[2];
        if (::pipe(out) != 0) return {};
        std::string rootVar = "HX_ROOT=" + root;
        const char* log = stderrLog.empty() ? std::getenv("HX_LOG") : "1";
        std::string logVar = std::string("HX_LOG=") + (log ? log : "0");
        char* argv[] = {const_cast<char*>("hxsim"), const_cast<char*>("--kernel-host"),
                        const_cast<char*>("/tmp/kernel.sock"), nullptr};
        char* envp[] = {rootVar.data(), logVar.data(), nullptr};
        mPid = ::fork();
        if (mPid == 0) {
            if (!stderrLog.empty()) {
                const int fd = ::open(stderrLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (fd >= 0) ::dup2(fd, 2);
            }
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::execve(hxsim, argv, envp);
            ::_exit(127);
        }
        ::close(out[1]);
        mOut = ::fdopen(out[0], "r");
        return mOut ? readLineAfter(mOut, "kernel host ready at ") : std::string();
    }

    // Ends the host and reaps it; later calls do nothing.
    void stop() {
        if (mPid > 0) {
            ::kill(mPid, SIGTERM);
            ::waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
        if (mOut) {
            std::fclose(mOut);
            mOut = nullptr;
        }
    }

    // For tests that kill the host on purpose.
    pid_t pid() const { return mPid; }
    void forget() { mPid = -1; }
    // The host's standard output after its ready line.
    FILE* output() const { return mOut; }

private:
    pid_t mPid = -1;
    FILE* mOut = nullptr;
};

} // namespace hx::testsupport
