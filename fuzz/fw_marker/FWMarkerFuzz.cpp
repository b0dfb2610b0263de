// Any bytes as the firmware updater's marker file and as the name the
// process table gives the process it records: no crash; active only for a
// whole record naming a live process by exactly its name, and the file gone
// otherwise. The name is classified too.
//
// Input: one length byte n, n bytes of the process's command line, then the
// marker file's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "device/FWUpdaterDetection.h"
#include "device/ProcessNames.h"
#include "platform/base/HXPath.h"
#include "platform/sys/HXProcess.h"

namespace {

void makeRoot() {
    static const bool made = [] {
        char t[] = "/tmp/hx-fuzz-marker-XXXXXX";
        const char* dir = ::mkdtemp(t);
        if (!dir) std::abort();
        hx::path::setRoot(dir);
        std::filesystem::create_directories(hx::path::map("/tmp"));
        hx::sys::hideRealProcesses(true);
        return true;
    }();
    (void)made;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    makeRoot();
    if (size < 1) return 0;
    const std::size_t n = std::min<std::size_t>(data[0], size - 1);
    const std::string commandLine(reinterpret_cast<const char*>(data + 1), n);
    const uint8_t* marker = data + 1 + n;
    const std::size_t markerSize = size - 1 - n;

    FWUpdaterMarker record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, marker, std::min(markerSize, sizeof record));
    const int pid = int(record.mPid);

    hx::sys::clearFakeProcesses();
    std::string tableName;
    if (pid > 0) {
        hx::sys::addFakeProcess({pid, commandLine, commandLine, 'S', 501});
        tableName = hx::sys::processNameFrom(commandLine, commandLine);
    }
    ClientAppType(tableName.c_str());

    const std::string path = hx::path::map(kFWUpdaterMarkerPath);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(marker), std::streamsize(markerSize));

    record.mName[sizeof record.mName - 1] = 0;
    // The table keeps a name up to its first NUL, as the system's does.
    const std::string shown = tableName.substr(0, tableName.find('\0'));
    const bool expected = markerSize >= sizeof record && !shown.empty() && shown == record.mName;
    const bool active = fwUpdaterActive();
    if (active != expected || std::filesystem::exists(path) != active) __builtin_trap();
    std::filesystem::remove(path);
    return 0;
}
