#include "platform/sys/SysCtl.h"
#include "platform/base/testing/GuardedBuffer.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

class ProcessTable : public ::testing::Test {
protected:
    void TearDown() override { hx::sys::resetProcessOverrides(); }
};

// The table as the suite reads it: size query, allocation, read.
int readTable(std::vector<kinfo_proc>& out) {
    int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    std::size_t size = 0;
    if (sysctl(mib, 3, nullptr, &size, nullptr, 0) != 0) return -1;
    out.assign(size / sizeof(kinfo_proc), kinfo_proc{});
    const int r = sysctl(mib, 3, out.data(), &size, nullptr, 0);
    out.resize(size / sizeof(kinfo_proc));
    return r;
}

std::optional<kinfo_proc> entry(const std::vector<kinfo_proc>& table, pid_t pid) {
    for (const kinfo_proc& k : table)
        if (k.kp_proc.p_pid == pid) return k;
    return std::nullopt;
}

std::string nameOf(const kinfo_proc& k) {
    EXPECT_EQ(k.kp_proc.p_comm[MAXCOMLEN], '\0');
    return std::string(k.kp_proc.p_comm, strnlen(k.kp_proc.p_comm, MAXCOMLEN + 1));
}

// A child running /bin/sleep under the given argv[0], ended and reaped when
// the object goes (also when an assertion leaves the test early).
// posix_spawn returns after the exec, so its command line is already the new
// one.
class Sleeper {
public:
    explicit Sleeper(const char* argv0) {
        char arg1[] = "100";
        char* argv[] = {const_cast<char*>(argv0), arg1, nullptr};
        EXPECT_EQ(posix_spawn(&mPid, "/bin/sleep", nullptr, nullptr, argv, environ), 0);
    }
    ~Sleeper() { end(); }
    pid_t pid() const { return mPid; }
    void end() {
        if (mPid <= 0) return;
        kill(mPid, SIGKILL);
        int status;
        waitpid(mPid, &status, 0);
        mPid = -mPid;
    }

private:
    pid_t mPid = 0;
};

TEST(ProcessName, TakesArgvZerosBaseNameOrCommCutTo16Bytes) {
    using std::string_literals::operator""s;
    struct Case {
        std::string commandLine, comm, name;
    } cases[] = {
        {"/usr/bin/hxsim\0--road\0device\0"s, "hxsim", "hxsim"},
        {"/Applications/Korvex HX-5100 Mixer\0"s, "Korvex HX-5100 ", "Korvex HX-5100 M"},
        {"relative/dir/coreaudiod\0"s, "coreaudiod", "coreaudiod"},
        {"ExactlySixteen16\0"s, "ExactlySixteen1", "ExactlySixteen16"},
        {"", "kworker/0:1", "kworker/0:1"},                       // kernel thread: empty line
        {"/ends/with/slash/\0"s, "slashy", "slashy"},             // no base name
        {"\xff\xfe(odd) name)\0"s, "odd", "\xff\xfe(odd) name)"}, // bytes, not parsed
        {"no-nul-at-the-end", "x", "no-nul-at-the-en"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(hx::sys::processNameFrom(c.commandLine, c.comm), c.name) << c.commandLine;
}

TEST(ProcessState, ZombieIsTheHighestState) {
    const std::pair<char, char> cases[] = {{'Z', SZOMB},  {'X', SZOMB},  {'R', SRUN},
                                           {'S', SSLEEP}, {'D', SSLEEP}, {'I', SSLEEP},
                                           {'T', SSTOP},  {'t', SSTOP}};
    for (auto [letter, state] : cases)
        EXPECT_EQ(hx::sys::processStateFrom(letter), state) << letter;
    for (auto [letter, state] : cases) {
        if (state != SZOMB) {
            EXPECT_LT(state, SZOMB);
        }
    }
}

TEST_F(ProcessTable, ShowsThisProcessWithItsNameUidAndALiveState) {
    std::vector<kinfo_proc> table;
    ASSERT_EQ(readTable(table), 0);
    EXPECT_GT(table.size(), 1u);
    const std::optional<kinfo_proc> self = entry(table, getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(nameOf(*self), hx::sys::ownProcessName());
    EXPECT_EQ(nameOf(*self), std::string("hx_test_platform_sys_process").substr(0, 16));
    EXPECT_EQ(self->kp_eproc.e_ucred.cr_uid, uid_t(syscall(SYS_getuid)));
    EXPECT_LT(self->kp_proc.p_stat, SZOMB);
}

TEST_F(ProcessTable, OwnNameAndUidOverridesShowEverywhere) {
    hx::sys::setOwnProcessName("Korvex HX-5100 Mixer Panel");
    hx::sys::setOwnUid(501);
    std::vector<kinfo_proc> table;
    ASSERT_EQ(readTable(table), 0);
    const std::optional<kinfo_proc> self = entry(table, getpid());
    ASSERT_TRUE(self);
    EXPECT_EQ(nameOf(*self), "Korvex HX-5100 M");
    EXPECT_EQ(self->kp_eproc.e_ucred.cr_uid, 501u);
    EXPECT_EQ(getuid(), 501u);
    char name[256];
    EXPECT_EQ(proc_name(getpid(), name, sizeof name), 16);
    EXPECT_STREQ(name, "Korvex HX-5100 M");

    hx::sys::resetProcessOverrides();
    EXPECT_EQ(getuid(), uid_t(syscall(SYS_getuid)));
}

TEST_F(ProcessTable, RealChildrenLongNamesZombiesAndEndedProcesses) {
    Sleeper named("/opt/tools/A Name Longer Than Sixteen");
    Sleeper unnamed(""); // empty argv[0]: the kernel's comm
    const pid_t sleeper = named.pid();
    pid_t zombie = 0;
    char trueArg0[] = "/bin/true";
    char* argv[] = {trueArg0, nullptr};
    ASSERT_EQ(posix_spawn(&zombie, "/bin/true", nullptr, nullptr, argv, environ), 0);
    // Wait for its end but leave it unreaped: a zombie, whose command line is empty.
    siginfo_t info;
    ASSERT_EQ(waitid(P_PID, id_t(zombie), &info, WEXITED | WNOWAIT), 0);

    std::vector<kinfo_proc> table;
    ASSERT_EQ(readTable(table), 0);
    const std::optional<kinfo_proc> s = entry(table, sleeper);
    ASSERT_TRUE(s);
    EXPECT_EQ(nameOf(*s), "A Name Longer Th");
    EXPECT_LT(s->kp_proc.p_stat, SZOMB);
    const std::optional<kinfo_proc> u = entry(table, unnamed.pid());
    ASSERT_TRUE(u);
    EXPECT_EQ(nameOf(*u), "sleep");
    const std::optional<kinfo_proc> z = entry(table, zombie);
    ASSERT_TRUE(z);
    EXPECT_EQ(z->kp_proc.p_stat, SZOMB);
    EXPECT_EQ(nameOf(*z), "true");

    int status;
    waitpid(zombie, &status, 0);
    named.end();
    unnamed.end();
    ASSERT_EQ(readTable(table), 0);
    EXPECT_FALSE(entry(table, sleeper));
    EXPECT_FALSE(entry(table, zombie));
    char name[32];
    EXPECT_EQ(proc_name(sleeper, name, sizeof name), 0);
}

TEST_F(ProcessTable, FakeProcessesJoinOrReplaceTheRealOnes) {
    using std::string_literals::operator""s;
    hx::sys::addFakeProcess(
        {4000000, "/Applications/Studio Workstation 11\0"s, "Studio Workstat", 'S', 501});
    hx::sys::addFakeProcess({4000001, "", "coreaudiod", 'Z', 202});
    hx::sys::addFakeProcess({getpid(), "impostor\0"s, "impostor", 'R', 77});
    std::vector<kinfo_proc> table;
    ASSERT_EQ(readTable(table), 0);
    const auto a = entry(table, 4000000), z = entry(table, 4000001), self = entry(table, getpid());
    ASSERT_TRUE(a && z && self);
    EXPECT_EQ(nameOf(*a), "Studio Workstati");
    EXPECT_EQ(a->kp_eproc.e_ucred.cr_uid, 501u);
    EXPECT_EQ(nameOf(*z), "coreaudiod");
    EXPECT_EQ(z->kp_proc.p_stat, SZOMB);
    EXPECT_EQ(nameOf(*self), "impostor");
    EXPECT_EQ(self->kp_proc.p_stat, SRUN);
    EXPECT_GT(table.size(), 3u); // the real ones are still there

    hx::sys::hideRealProcesses(true);
    ASSERT_EQ(readTable(table), 0);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].kp_proc.p_pid, std::min(getpid(), pid_t(4000000)));
    hx::sys::clearFakeProcesses();
    ASSERT_EQ(readTable(table), 0);
    EXPECT_TRUE(table.empty());
    char name[32] = "untouched";
    EXPECT_EQ(proc_name(getpid(), name, sizeof name), 0); // own name unreadable
}

TEST_F(ProcessTable, SizeQueryLeavesRoomAndATableThatOutgrowsItFailsWithENOMEM) {
    hx::sys::hideRealProcesses(true);
    for (pid_t p = 100; p < 110; ++p)
        hx::sys::addFakeProcess({p, "p", "p", 'S', 501});
    int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    std::size_t size = 0;
    ASSERT_EQ(sysctl(mib, 3, nullptr, &size, nullptr, 0), 0);
    ASSERT_EQ(size % sizeof(kinfo_proc), 0u);
    const std::size_t room = size / sizeof(kinfo_proc);
    ASSERT_GT(room, 10u);

    // Growth within the room: the read succeeds.
    for (pid_t p = 110; p < pid_t(100 + room); ++p)
        hx::sys::addFakeProcess({p, "p", "p", 'S', 501});
    std::vector<kinfo_proc> buf(room);
    std::size_t got = size;
    ASSERT_EQ(sysctl(mib, 3, buf.data(), &got, nullptr, 0), 0);
    EXPECT_EQ(got, room * sizeof(kinfo_proc));

    // One more: the records that fit are copied, and the read fails.
    hx::sys::addFakeProcess({pid_t(100 + room), "late", "late", 'S', 501});
    got = size;
    errno = 0;
    EXPECT_EQ(sysctl(mib, 3, buf.data(), &got, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(got, room * sizeof(kinfo_proc));
    EXPECT_EQ(buf.back().kp_proc.p_pid, pid_t(100 + room - 1));

    // A fresh size query covers it again.
    std::vector<kinfo_proc> table;
    ASSERT_EQ(readTable(table), 0);
    EXPECT_EQ(table.size(), room + 1);
}

TEST_F(ProcessTable, GrowthBetweenSizeQueryAndReadIsSeenByTheRead) {
    hx::sys::hideRealProcesses(true);
    hx::sys::addFakeProcess({10, "first", "first", 'S', 501});
    pid_t next = 11;
    int queries = 0;
    // Every size query is followed by more new processes than it left room for.
    hx::sys::setAfterSizeQuery([&] {
        ++queries;
        std::size_t n = hx::sys::readProcessTable().size();
        const std::size_t grow = n + n / 8 + 17;
        for (std::size_t i = 0; i < grow; ++i, ++next)
            hx::sys::addFakeProcess({next, "n", "n", 'S', 501});
    });
    std::vector<kinfo_proc> table;
    errno = 0;
    EXPECT_EQ(readTable(table), -1);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(queries, 1);

    // A table that stops growing is read whole on the next round.
    hx::sys::setAfterSizeQuery(nullptr);
    ASSERT_EQ(readTable(table), 0);
    EXPECT_EQ(table.size(), std::size_t(next - 10));
}

TEST_F(ProcessTable, MaximumProcessCount) {
    int mib[2] = {CTL_KERN, KERN_MAXPROC};
    int value = 0;
    std::size_t size = sizeof value;
    ASSERT_EQ(sysctl(mib, 2, &value, &size, nullptr, 0), 0);
    EXPECT_GT(value, 0);
    EXPECT_EQ(size, sizeof(int));

    hx::sys::setMaxProcessCount(1064);
    ASSERT_EQ(sysctl(mib, 2, &value, &size, nullptr, 0), 0);
    EXPECT_EQ(value, 1064);
    std::size_t small = 2;
    EXPECT_EQ(sysctl(mib, 2, &value, &small, nullptr, 0), -1);
    EXPECT_EQ(errno, ENOMEM);

    hx::sys::setMaxProcessCount(std::nullopt, true);
    value = 7;
    EXPECT_EQ(sysctl(mib, 2, &value, &size, nullptr, 0), -1);
    EXPECT_EQ(value, 7);
}

TEST_F(ProcessTable, MalformedCallsAreRefused) {
    struct Case {
        std::vector<int> mib;
        bool withNew;
        int error;
    } cases[] = {
        {{CTL_KERN}, false, EINVAL},
        {{CTL_KERN, KERN_PROC}, false, EINVAL},
        {{CTL_KERN, KERN_PROC, 5}, false, EINVAL},
        {{CTL_KERN, KERN_PROC, KERN_PROC_ALL, 0}, false, EINVAL},
        {{CTL_KERN, KERN_MAXPROC, 0}, false, EINVAL},
        {{CTL_KERN, 999}, false, ENOENT},
        {{7, KERN_PROC, KERN_PROC_ALL}, false, ENOENT},
        {{CTL_KERN, KERN_MAXPROC}, true, EPERM},
    };
    for (Case& c : cases) {
        int newValue = 1;
        std::size_t size = 0;
        errno = 0;
        EXPECT_EQ(sysctl(c.mib.data(), unsigned(c.mib.size()), nullptr, &size,
                         c.withNew ? &newValue : nullptr, c.withNew ? sizeof newValue : 0),
                  -1);
        EXPECT_EQ(errno, c.error) << c.mib.size();
    }
    int mib[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    EXPECT_EQ(sysctl(mib, 3, nullptr, nullptr, nullptr, 0), -1);
}

TEST_F(ProcessTable, ProcNameStaysInsideTheBufferAndAnswersTheLength) {
    hx::sys::setOwnProcessName("Korvex HX-5100 Mixer");
    struct Case {
        std::uint32_t size;
        int length;
        const char* text;
    } cases[] = {{1, 0, ""},
                 {5, 4, "Korv"},
                 {16, 15, "Korvex HX-5100 "},
                 {17, 16, "Korvex HX-5100 M"},
                 {256, 16, "Korvex HX-5100 M"}};
    for (const Case& c : cases) {
        // The byte after the buffer is a guard page: a write past it faults.
        hx::test::GuardedBuffer buf(c.size);
        std::memset(buf.data(), 'x', c.size);
        EXPECT_EQ(proc_name(getpid(), buf.data(), c.size), c.length) << c.size;
        EXPECT_STREQ(buf.as<char>(), c.text);
    }
    char name[8] = "keep";
    EXPECT_EQ(proc_name(getpid(), name, 0), 0);
    EXPECT_STREQ(name, "keep");
    EXPECT_EQ(proc_name(getpid(), nullptr, 256), 0);
    EXPECT_EQ(proc_name(-1, name, sizeof name), 0);
}

TEST_F(ProcessTable, UnameGivesTheEmulatedRelease) {
    utsname real;
    ASSERT_EQ(syscall(SYS_uname, &real), 0);
    const std::pair<std::optional<std::string>, std::string> cases[] = {
        {std::nullopt, "19.6.0"},
        {"12.6.0", "12.6.0"},
        {"20.1.0", "20.1.0"},
        {std::string(100, '9'), std::string(sizeof real.release - 1, '9')},
    };
    for (const auto& [set, expected] : cases) {
        hx::sys::setEmulatedRelease(set);
        utsname u;
        ASSERT_EQ(uname(&u), 0);
        EXPECT_EQ(std::string(u.release), expected);
        EXPECT_STREQ(u.sysname, real.sysname);
        EXPECT_STREQ(u.machine, real.machine);
        EXPECT_EQ(hx::sys::emulatedRelease(), set.value_or("19.6.0"));
    }
    EXPECT_EQ(uname(nullptr), -1);
}

TEST_F(ProcessTable, OrdinaryUserThresholdIsASetting) {
    EXPECT_EQ(hx::sys::ordinaryUserThreshold(), 499u);
    EXPECT_FALSE(hx::sys::isOrdinaryUser(0));
    EXPECT_FALSE(hx::sys::isOrdinaryUser(499));
    EXPECT_TRUE(hx::sys::isOrdinaryUser(500));
    hx::sys::setOrdinaryUserThreshold(0);
    EXPECT_FALSE(hx::sys::isOrdinaryUser(0));
    EXPECT_TRUE(hx::sys::isOrdinaryUser(1));
    hx::sys::resetProcessOverrides();
    EXPECT_EQ(hx::sys::ordinaryUserThreshold(), 499u);
}

} // namespace
