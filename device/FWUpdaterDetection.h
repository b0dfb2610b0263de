// The firmware updater's marker file.
//
// While a firmware updater runs, no other program may open the audio device.
// The updater announces itself with "/tmp/QuarnelFirmwareUpdater.tmp": a
// 260-byte record of its process id (u32, host byte order) and its process
// name (256 bytes, NUL-padded) as the system reports it for that id. Every
// program that opens the device asks fwUpdaterActive first; the register
// calls are for the updater (and tests).
#pragma once

#include <cstdint>

inline constexpr const char* kFWUpdaterMarkerPath = "/tmp/QuarnelFirmwareUpdater.tmp";

struct FWUpdaterMarker {
    uint32_t mPid;
    char mName[256];
};
static_assert(sizeof(FWUpdaterMarker) == 260);

// Writes the marker for the calling process. True also when the file cannot
// be made (then nothing is written).
bool fwupdateRegister();

// Removes the marker: the removal's result, 0 on success.
int fwupdateUnRegister();

// True while the marker names a live process by exactly its current name. A
// marker that does not (short file, ended process, another name) is deleted.
bool fwUpdaterActive();
