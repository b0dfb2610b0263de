#include "device/FWUpdaterDetection.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "platform/base/HXPath.h"
#include "platform/sys/SysCtl.h"

namespace {

std::string markerPath() {
    return hx::path::map(kFWUpdaterMarkerPath);
}

} // namespace

bool fwupdateRegister() {
    FWUpdaterMarker record;
    std::memset(&record, 0, sizeof record);
    record.mPid = uint32_t(::getpid());
    proc_name(int(record.mPid), record.mName, sizeof record.mName);
    if (FILE* f = std::fopen(markerPath().c_str(), "wb")) {
        std::fwrite(&record, sizeof record, 1, f);
        std::fclose(f);
    }
    return true;
}

int fwupdateUnRegister() {
    return std::remove(markerPath().c_str());
}

bool fwUpdaterActive() {
    const std::string path = markerPath();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    FWUpdaterMarker record;
    if (std::fread(&record, sizeof record, 1, f) == 1) {
        record.mName[sizeof record.mName - 1] = 0;
        const std::size_t length = std::strlen(record.mName);
        char current[256] = {};
        const int answered = proc_name(int(record.mPid), current, sizeof current);
        if (answered > 0 && std::size_t(answered) == length &&
            std::memcmp(current, record.mName, length) == 0) {
            std::fclose(f);
            return true;
        }
    }
    std::fclose(f);
    std::remove(path.c_str());
    return false;
}
