// Process identity and the process table, as the other system shows them.
//
// The suite decides things by who it runs as: its process name (the other
// system keeps 16 characters, Linux's comm only 15, so the name comes from the
// command line), its user id (an "ordinary user" is above a threshold), and
// the other system's release number. This file holds that identity, read from
// /proc, with overrides for tests and hosts, and the process table that
// sysctl and proc_name answer from (SysCtl.h).
//
// Names are bytes: the first 16 bytes of the base name of argv[0], or the
// kernel's comm when the command line is empty (kernel threads, zombies).
// Nothing here parses or validates them.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace hx::sys {

// Length of a process name in the table (the other system's MAXCOMLEN).
inline constexpr std::size_t kProcessNameLength = 16;

// Process states of the table (p_stat); the zombie state is the highest.
enum ProcessState : char {
    kProcessIdle = 1,
    kProcessRunnable = 2,
    kProcessSleeping = 3,
    kProcessStopped = 4,
    kProcessZombie = 5,
};

// One entry of the table.
struct ProcessInfo {
    pid_t pid = 0;
    std::string name; // at most kProcessNameLength bytes, no NUL inside
    char state = kProcessSleeping;
    uid_t uid = 0;
};

// The name rule: the base name of argv[0] (the command line up to its first
// NUL), or comm when that is empty; cut to kProcessNameLength bytes.
std::string processNameFrom(std::string_view commandLine, std::string_view comm);

// The table state for a Linux state letter of /proc/<pid>/stat: 'Z' and 'X'
// are zombies, 'R' runnable, 'T'/'t' stopped, anything else sleeping.
char processStateFrom(char linuxState);

// ---- This process

pid_t ownPid();
// The own name: the override, else the name rule on /proc/self (cut to 16).
std::string ownProcessName();
// The own user id: the override, else the real one.
uid_t ownUid();

// The release of the other system's kernel as uname gives it ("19.6.0"
// unless overridden).
std::string emulatedRelease();

// A user id above this counts as an ordinary (logged-in) user; 499 unless
// changed. A platform setting, since tests and CI may run as root.
uid_t ordinaryUserThreshold();
bool isOrdinaryUser(uid_t uid);

// ---- The table

// Every process, in pid order. Entries that vanish while the table is read
// are skipped.
std::vector<ProcessInfo> readProcessTable();
// At least as many as the table holds (the fake processes are counted even
// where they take a real one's place), without reading every process.
std::size_t countProcesses();
// One process, if it exists.
std::optional<ProcessInfo> findProcess(pid_t pid);

// The system's maximum process count, if it can be read.
std::optional<int> maxProcessCount();

// ---- Overrides (tests and hosts); each empty optional restores the default

void setOwnProcessName(std::optional<std::string> name);
void setOwnUid(std::optional<uid_t> uid);
void setEmulatedRelease(std::optional<std::string> release);
void setOrdinaryUserThreshold(uid_t threshold);

// A process the table shows besides (or instead of) the real ones. Its name
// follows the name rule from commandLine and comm.
struct FakeProcess {
    pid_t pid = 0;
    std::string commandLine; // argv bytes, NUL-separated as in /proc
    std::string comm;
    char linuxState = 'S';
    uid_t uid = 501;
};

// Fake processes take the place of real ones with the same pid.
void addFakeProcess(FakeProcess process);
void clearFakeProcesses();
// With hide set, the table shows only fake processes (the own process too is
// then absent unless faked).
void hideRealProcesses(bool hide);
// Runs after every size query of the table has been answered and before
// sysctl returns, so a test can grow the table between size query and read.
void setAfterSizeQuery(std::function<void()> hook);
std::function<void()> afterSizeQueryHook();
// The maximum process count: a fixed value, or (with fail) a failing query.
void setMaxProcessCount(std::optional<int> count, bool fail = false);

// Back to the real identity and table: every override above cleared.
void resetProcessOverrides();

} // namespace hx::sys
