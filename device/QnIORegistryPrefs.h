// A snapshot of the kernel service's registry properties (among them
// "ChannelSettings"), and, for a writable instance, its mirror as an XML
// property list "/Users/Shared/Quarnel/com.korvex.hx5100.plist", so the
// settings outlive the driver and every user can read them.
//
// The folder is made with mode 01777 and the file with 0644: the set-id bits
// of the mode asked for are never applied. A snapshot the property-list
// writer cannot represent is not written (one log line; the earlier file
// stays).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/base/MachTypes.h"
#include "platform/cf/CoreFoundation.h"

// A kernel service as user space names it.
typedef mach_port_t QnServiceHandle;

// How the snapshot reaches the registry: the services of a class, and a copy
// of one service's properties. Both answer the platform's result code.
struct QnRegistryAccess {
    std::function<kern_return_t(const char* className, std::vector<QnServiceHandle>& services)>
        matchingServices;
    std::function<kern_return_t(QnServiceHandle service, CFMutableDictionaryRef* properties)>
        copyProperties;
};

// The registry through the user-side IOKit calls.
QnRegistryAccess qnIOKitRegistryAccess();

class QnIORegistryPrefs {
public:
    // Finds the kernel services (the last one found stays) through access.
    QnIORegistryPrefs(bool writable, QnRegistryAccess access);
    // The given service, without a search.
    QnIORegistryPrefs(bool writable, QnServiceHandle service, QnRegistryAccess access);
    virtual ~QnIORegistryPrefs();

    QnIORegistryPrefs(const QnIORegistryPrefs&) = delete;
    QnIORegistryPrefs& operator=(const QnIORegistryPrefs&) = delete;

    bool initStorage();
    // Makes the folder (only when writable); true when that could be tried.
    bool createDirectory();
    // Reads the service's properties again: kIOReturnError without a service.
    kern_return_t update();
    bool hasProperties();
    CFDictionaryRef getProperties();
    // Reads the service's properties again and writes them to the file.
    bool writePropertiesToStorage();

    QnServiceHandle service() const { return mService; }

private:
    void readService(QnServiceHandle service);

    bool mWritable;
    QnRegistryAccess mAccess;
    CFMutableDictionaryRef mProperties = nullptr;
    QnServiceHandle mService = 0;
    CFURLRef mFolderURL = nullptr;
    CFURLRef mFileURL = nullptr;
    CFMutableDictionaryRef mAttributes = nullptr;     // the folder's mode
    CFMutableDictionaryRef mFileAttributes = nullptr; // the file's mode
};
