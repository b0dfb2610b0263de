#include "device/ProcessNames.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/utsname.h>
#include <syslog.h>
#include <vector>

#include "platform/base/HXLog.h"
#include "platform/sys/SysCtl.h"

namespace {

struct AppRow {
    int type;
    const char* pattern;
    bool equal; // the whole name, else a part of it
};

// Tried in this order; a later match replaces an earlier one.
constexpr AppRow kAppRows[] = {
    {kClientAudioSetup, "AUDIO MIDI SETUP", true},
    {kClientWorkstation, "DIGITAL PERFORME", false},
    {kClientMediaPlayer, "ITUNES", false},
    {kClientAudioServer, "COREAUDIOD", false},
    {kClientChat, "ICHAT", false},
    {kClientLX420Panel, "KORVEX LX-420 CO", false},
    {kClientHX5100Panel, "KORVEX HX-5100 M", false},
    {kClientLX880Panel, "KORVEX LX-880 M", false},
    {kClientAudioEditor, "AUDACITY", false},
    {kClientSystemUIServer, "SYSTEMUISERVER", false},
    {kClientLoginWindow, "LOGINWINDOW", false},
    {kClientDJ, "VINYLO DJ", false},
    {kClientDJPlatter, "PLATTER", false},
};

// A failed read is retried this many times, then the table counts as
// unreadable: a table that grows on every read would otherwise never end.
constexpr int kTableReadAttempts = 3;

// The whole table, read as the system's callers read it: size query,
// allocation, read; a read that finds the table grown starts again.
bool readTable(std::vector<kinfo_proc>& table) {
    int name[3] = {CTL_KERN, KERN_PROC, KERN_PROC_ALL};
    for (int attempt = 0; attempt < kTableReadAttempts; ++attempt) {
        std::size_t size = 0;
        if (sysctl(name, 3, nullptr, &size, nullptr, 0) != 0) return false;
        table.assign(size / sizeof(kinfo_proc) + 1, kinfo_proc{});
        size = table.size() * sizeof(kinfo_proc);
        if (sysctl(name, 3, table.data(), &size, nullptr, 0) == 0) {
            table.resize(size / sizeof(kinfo_proc));
            return true;
        }
    }
    return false;
}

// The entry's name: the NUL-terminated command name, at most 16 bytes.
std::string entryName(const kinfo_proc& p) {
    return std::string(p.kp_proc.p_comm, ::strnlen(p.kp_proc.p_comm, MAXCOMLEN));
}

} // namespace

int ClientAppType(const char* processName) {
    if (!processName) return kClientOther;
    std::string upper(processName);
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    int type = kClientOther;
    for (const AppRow& row : kAppRows) {
        const bool match =
            row.equal ? upper == row.pattern : upper.find(row.pattern) != std::string::npos;
        if (match) type = row.type;
    }
    return type;
}

bool GetProcessNameFromPID(pid_t pid, char* name) {
    if (!name) return false;
    std::memset(name, 0, MAXCOMLEN + 1);
    std::vector<kinfo_proc> table;
    if (!readTable(table)) return false;
    for (const kinfo_proc& p : table) {
        if (p.kp_proc.p_pid != pid) continue;
        const std::string n = entryName(p);
        std::memcpy(name, n.data(), n.size());
        return true;
    }
    return false;
}

bool ProcessIsRunning(const char* name) {
    if (!name) return false;
    const std::string wanted(name, ::strnlen(name, MAXCOMLEN));
    std::vector<kinfo_proc> table;
    if (!readTable(table)) return false;
    for (const kinfo_proc& p : table) {
        if (entryName(p) != wanted || p.kp_proc.p_stat >= SZOMB) continue;
        syslog(LOG_NOTICE, "Found process %d %s\n", int(p.kp_proc.p_pid), wanted.c_str());
        return true;
    }
    return false;
}

int GetMacOSRelease() {
    struct utsname u;
    if (::uname(&u) != 0) return 0;
    int release = 0;
    for (const char* c = u.release; *c >= '0' && *c <= '9'; ++c) {
        release = release * 10 + (*c - '0');
        if (release > 100000) break;
    }
    return release;
}

const char* getIDRoot() {
    return "com.korvex.hx5100";
}
