// A snapshot of the kernel device service's registry properties, written on
// request as an XML property list "/Users/Shared/Quarnel/com.korvex.hx5100.plist"
// for a writable snapshot. The helper's deliverable carries it; nothing in
// the suite calls it (the device layer has its own QnIORegistryPrefs).
//
// The folder is made with mode 01777 and the file with 0644 (set-id bits are
// never applied); the file is written through a temporary file and a rename,
// never through a symbolic link or into something else standing at the
// folder's or file's path, and a tree the property-list writer cannot
// represent is not written (the earlier file stays).
#pragma once

#include "platform/cf/CoreFoundation.h"
#include "platform/iokit/IOKitLib.h"

class ZrIORegistryPrefs {
public:
    explicit ZrIORegistryPrefs(bool writable);
    virtual ~ZrIORegistryPrefs();
    ZrIORegistryPrefs(const ZrIORegistryPrefs&) = delete;
    ZrIORegistryPrefs& operator=(const ZrIORegistryPrefs&) = delete;

    // Makes the shared folder; false unless writable.
    bool createDirectory();
    // Reads the service's properties again; 0 without a service.
    kern_return_t update();
    // Read again when a service is set; owned by the snapshot.
    CFDictionaryRef getProperties();
    bool writeProperties();

private:
    bool mWritable;
    CFMutableDictionaryRef mProperties = nullptr;
    io_service_t mService = 0;
    CFURLRef mDirectory = nullptr;
    CFURLRef mFile = nullptr;
    CFMutableDictionaryRef mAttributes = nullptr;     // the folder's mode
    CFMutableDictionaryRef mFileAttributes = nullptr; // the file's mode
};
