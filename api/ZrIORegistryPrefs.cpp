#include "api/ZrIORegistryPrefs.h"

#include <syslog.h>

#include <cstdio>
#include <string>

#include "abi/RegistrySnapshotFile.h"
#include "abi/ServiceClass.h"
#include "platform/cf/HXCF.h"
#include "platform/base/HXLog.h"
#include "platform/base/MacErrors.h"

namespace {

void printProperties(CFDictionaryRef properties) {
    std::string text = "(null)";
    if (properties) {
        if (CFStringRef d = CFCopyDescription(properties)) {
            const CFIndex n =
                CFStringGetMaximumSizeForEncoding(CFStringGetLength(d), kCFStringEncodingUTF8) + 1;
            std::string buf(size_t(n), '\0');
            if (CFStringGetCString(d, buf.data(), n, kCFStringEncodingUTF8)) text = buf.c_str();
            CFRelease(d);
        }
    }
    std::printf("Prefs: %s\n", text.c_str());
}

} // namespace

ZrIORegistryPrefs::ZrIORegistryPrefs(bool writable) : mWritable(writable) {
    io_iterator_t it = 0;
    const kern_return_t kr = IOServiceGetMatchingServices(
        kIOMasterPortDefault, IOServiceMatching(kZrServiceClassName), &it);
    if (kr != KERN_SUCCESS) {
        syslog(LOG_ERR, "IOServiceGetMatchingServices returned 0x%08x\n\n", unsigned(kr));
        return;
    }
    // The last service found stays; the earlier ones are given back.
    while (io_service_t s = IOIteratorNext(it)) {
        if (mService) IOObjectRelease(mService);
        mService = s;
        if (mProperties) {
            CFRelease(mProperties);
            mProperties = nullptr;
        }
        const kern_return_t read =
            IORegistryEntryCreateCFProperties(s, &mProperties, kCFAllocatorDefault, 0);
        syslog(LOG_WARNING,
               "Found a device of class ZrKernelDeviceKorvexHX5100 %s, result %08X.\n\n",
               mWritable ? "Will write file" : "(won't write)", unsigned(read));
        printProperties(mProperties);
    }
    IOObjectRelease(it);
    if (!mWritable) return;
    mAttributes = hx::cf::posixModeAttributes(hx::snapshot::kFolderMode);
    mFileAttributes = hx::cf::posixModeAttributes(hx::snapshot::kFileMode);
    if (!mAttributes || !mFileAttributes)
        syslog(LOG_ERR, "ZrIORegistryPrefs: Could not create POSIX properties");
    mDirectory = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8*>(hx::snapshot::kFolderPath),
        CFIndex(std::char_traits<char>::length(hx::snapshot::kFolderPath)), true);
    if (!mDirectory) syslog(LOG_ERR, "ZrIORegistryPrefs: Could not create dir CFURL");
    if (mDirectory) {
        CFStringRef name =
            CFStringCreateWithCString(nullptr, hx::snapshot::kFileName, kCFStringEncodingASCII);
        mFile = CFURLCreateCopyAppendingPathComponent(nullptr, mDirectory, name, false);
        CFRelease(name);
    }
    if (!mFile) syslog(LOG_ERR, "ZrIORegistryPrefs: Could not create file CFURL");
    createDirectory();
}

ZrIORegistryPrefs::~ZrIORegistryPrefs() {
    if (mDirectory) CFRelease(mDirectory);
    if (mFile) CFRelease(mFile);
    if (mAttributes) CFRelease(mAttributes);
    if (mFileAttributes) CFRelease(mFileAttributes);
    if (mProperties) CFRelease(mProperties);
    if (mService) IOObjectRelease(mService);
}

bool ZrIORegistryPrefs::createDirectory() {
    if (!mWritable || !mDirectory || !mAttributes) return false;
    CFStringRef dummy = CFStringCreateWithCString(nullptr, "DUMMY", kCFStringEncodingASCII);
    CFDataRef data = CFPropertyListCreateXMLData(nullptr, dummy);
    CFRelease(dummy);
    if (!data) return false;
    SInt32 error = 0;
    CFURLWriteDataAndPropertiesToResource(mDirectory, data, mAttributes, &error);
    CFRelease(data);
    return true;
}

kern_return_t ZrIORegistryPrefs::update() {
    if (!mService) return KERN_SUCCESS;
    if (mProperties) {
        CFRelease(mProperties);
        mProperties = nullptr;
    }
    return IORegistryEntryCreateCFProperties(mService, &mProperties, kCFAllocatorDefault, 0);
}

CFDictionaryRef ZrIORegistryPrefs::getProperties() {
    if (mService) update();
    return mProperties;
}

bool ZrIORegistryPrefs::writeProperties() {
    if (!mWritable) return false;
    createDirectory();
    CFDataRef data = mProperties ? CFPropertyListCreateXMLData(nullptr, mProperties) : nullptr;
    if (!data) {
        syslog(LOG_ERR, "ZrIORegistryPrefs: Could not create CFData");
        return false;
    }
    SInt32 error = 0;
    const Boolean ok = mFile && mFileAttributes &&
                       CFURLWriteDataAndPropertiesToResource(mFile, data, mFileAttributes, &error);
    CFRelease(data);
    if (!ok) {
        syslog(LOG_WARNING,
               "ZrIORegistryPrefs::writeProperties CFURLWriteDataAndPropertiesToResource returned "
               "with error %d\n",
               int(error));
        return false;
    }
    return true;
}
