// The device's own per-client operations: the client-application type is
// taken from the name of the process the device runs in.
#include <string>
#include <unistd.h>

#include "device/ProcessNames.h"
#include "libs/tools/ZrString.h"
#include "plugins/server/QnASPlugInDevice.h"

namespace {

// Tried in order on the upper-cased own name; each match replaces the one
// before. The audio server's own numbering.
struct ClientRow {
    const char* pattern;
    int type;
};
constexpr ClientRow kClientRows[] = {
    {"AUDIO MIDI SETUP", 2},
    {"DIGITAL PERFORME", 4},
    {"ITUNES", 3},
    {"COREAUDIOD", 5},
    {"ICHAT", 6},
    {"KORVEX LX-420 CO", 7},
    {"AUDACITY", 9},
    {"SYSTEMUISERVER", 8},
};

} // namespace

void QnASPlugInDevice::AddDeviceClient(const AudioServerPlugInClientInfo*) {
    char name[24] = {};
    if (!GetProcessNameFromPID(getpid(), name)) return;
    ZrString upper(name);
    upper.uppercase();
    const std::string u(static_cast<const char*>(upper));
    int type = mClientAppType.load();
    for (const ClientRow& row : kClientRows)
        if (u.find(row.pattern) != std::string::npos) type = row.type;
    mClientAppType = type;
}

void QnASPlugInDevice::RemoveDeviceClient(const AudioServerPlugInClientInfo*) {}
