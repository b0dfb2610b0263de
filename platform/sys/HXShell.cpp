#include "platform/sys/HXShell.h"

#include "platform/base/HXLog.h"

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace hx::sys {

namespace {

constexpr std::size_t kRecordedCommands = 256;
constexpr int kExitNoProgram = 127 << 8; // as a wait status: no program for the bundle
constexpr int kExitNotStarted = 1 << 8;  // as a wait status: exit code 1
constexpr int kExitRefused = 127 << 8;   // as a wait status: no such command

std::mutex gLock;
std::map<std::string, std::vector<std::string>> gPrograms;
std::function<int(const std::string&)> gHook;
std::deque<std::string> gCommands;
std::vector<pid_t> gLaunched;

std::vector<std::string> words(const std::string& s) {
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ')
            ++i;
        if (i > start) out.push_back(s.substr(start, i - start));
    }
    return out;
}

// Reaps programs that have ended, so none stays a zombie (caller holds gLock).
void reapEnded() {
    for (auto it = gLaunched.begin(); it != gLaunched.end();) {
        int status;
        const pid_t r = waitpid(*it, &status, WNOHANG);
        if (r == *it || (r < 0 && errno == ECHILD))
            it = gLaunched.erase(it);
        else
            ++it;
    }
}

int launch(const std::string& command) {
    const std::vector<std::string> w = words(command);
    const bool openForm =
        w.size() >= 3 && w[0] == "open" && w[1] == "-b" && (w.size() == 3 || w[3] == "--args");
    if (!openForm) {
        hx::log::format("system: refused \"%s\"\n", command.c_str());
        return kExitRefused;
    }
    std::lock_guard<std::mutex> g(gLock);
    reapEnded();
    auto it = gPrograms.find(w[2]);
    if (it == gPrograms.end() || it->second.empty()) {
        hx::log::format("system: no program for bundle %s\n", w[2].c_str());
        return kExitNoProgram;
    }
    std::vector<std::string> argv = it->second;
    argv.insert(argv.end(), w.begin() + std::min<std::size_t>(w.size(), 4), w.end());
    std::vector<char*> args;
    for (std::string& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid;
    const int err = posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ);
    if (err != 0) {
        hx::log::format("system: could not start %s for bundle %s (%d)\n", args[0], w[2].c_str(),
                        err);
        return kExitNotStarted;
    }
    gLaunched.push_back(pid);
    return 0;
}

} // namespace

void registerBundleProgram(const std::string& bundleId, std::vector<std::string> argv) {
    std::lock_guard<std::mutex> g(gLock);
    gPrograms[bundleId] = std::move(argv);
}

void unregisterBundleProgram(const std::string& bundleId) {
    std::lock_guard<std::mutex> g(gLock);
    gPrograms.erase(bundleId);
}

void setSystemHook(std::function<int(const std::string&)> hook) {
    std::lock_guard<std::mutex> g(gLock);
    gHook = std::move(hook);
}

std::vector<std::string> systemCommands() {
    std::lock_guard<std::mutex> g(gLock);
    return {gCommands.begin(), gCommands.end()};
}

void clearSystemCommands() {
    std::lock_guard<std::mutex> g(gLock);
    gCommands.clear();
}

void waitForLaunchedPrograms() {
    std::vector<pid_t> launched;
    {
        std::lock_guard<std::mutex> g(gLock);
        launched.swap(gLaunched);
    }
    for (pid_t pid : launched) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

} // namespace hx::sys

// In place of the C library's: never a shell (HXShell.h).
int system(const char* command) {
    if (!command) return 0;
    std::function<int(const std::string&)> hook;
    {
        std::lock_guard<std::mutex> g(hx::sys::gLock);
        hx::sys::gCommands.push_back(command);
        if (hx::sys::gCommands.size() > hx::sys::kRecordedCommands) hx::sys::gCommands.pop_front();
        hook = hx::sys::gHook;
    }
    if (hook) return hook(command);
    return hx::sys::launch(command);
}
