#include "device/QnIORegistryPrefs.h"

#include <syslog.h>

#include "abi/RegistrySnapshotFile.h"
#include "abi/ServiceClass.h"
#include "platform/cf/HXCF.h"
#include "platform/base/HXLog.h"
#include "platform/base/MacErrors.h"
#include "platform/iokit/IOKitLib.h"

QnRegistryAccess qnIOKitRegistryAccess() {
    return {[](const char* className, std::vector<QnServiceHandle>& services) {
                io_iterator_t it = 0;
                const kern_return_t kr =
                    IOServiceGetMatchingServices(0, IOServiceMatching(className), &it);
                if (kr != KERN_SUCCESS) return kr;
                while (io_service_t s = IOIteratorNext(it))
                    services.push_back(s);
                IOObjectRelease(it);
                return kr;
            },
            [](QnServiceHandle service, CFMutableDictionaryRef* properties) {
                return IORegistryEntryCreateCFProperties(service, properties, nullptr, 0);
            }};
}

QnIORegistryPrefs::QnIORegistryPrefs(bool writable, QnRegistryAccess access)
    : mWritable(writable), mAccess(std::move(access)) {
    std::vector<QnServiceHandle> services;
    const kern_return_t kr = mAccess.matchingServices
                                 ? mAccess.matchingServices(kZrServiceClassName, services)
                                 : kern_return_t(kIOReturnUnsupported);
    if (kr != KERN_SUCCESS) {
        syslog(LOG_ERR, "IOServiceGetMatchingServices returned 0x%08x\n\n", unsigned(kr));
        return;
    }
    for (QnServiceHandle service : services)
        readService(service);
    initStorage();
}

QnIORegistryPrefs::QnIORegistryPrefs(bool writable, QnServiceHandle service,
                                     QnRegistryAccess access)
    : mWritable(writable), mAccess(std::move(access)) {
    readService(service);
    initStorage();
}

QnIORegistryPrefs::~QnIORegistryPrefs() {
    if (mFolderURL) CFRelease(mFolderURL);
    if (mFileURL) CFRelease(mFileURL);
    if (mAttributes) CFRelease(mAttributes);
    if (mFileAttributes) CFRelease(mFileAttributes);
    if (mProperties) CFRelease(mProperties);
}

void QnIORegistryPrefs::readService(QnServiceHandle service) {
    mService = service;
    if (mProperties) {
        CFRelease(mProperties);
        mProperties = nullptr;
    }
    const kern_return_t kr = mAccess.copyProperties ? mAccess.copyProperties(service, &mProperties)
                                                    : kern_return_t(kIOReturnUnsupported);
    syslog(LOG_WARNING, "Found a device of class ZrKernelDeviceKorvexHX5100 %s, result %08X.\n\n",
           mWritable ? "Will write file" : "(won't write)", unsigned(kr));
}

bool QnIORegistryPrefs::initStorage() {
    if (!mWritable) return true;
    if (!mAttributes) mAttributes = hx::cf::posixModeAttributes(hx::snapshot::kFolderMode);
    if (!mFileAttributes) mFileAttributes = hx::cf::posixModeAttributes(hx::snapshot::kFileMode);
    if (!mAttributes || !mFileAttributes)
        syslog(LOG_ERR, "QnIORegistryPrefs: Could not create POSIX properties");
    if (!mFolderURL)
        mFolderURL = CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8*>(hx::snapshot::kFolderPath),
            CFIndex(std::char_traits<char>::length(hx::snapshot::kFolderPath)), true);
    if (!mFolderURL) syslog(LOG_ERR, "QnIORegistryPrefs: Could not create dir CFURL");
    if (!mFileURL && mFolderURL) {
        CFStringRef name =
            CFStringCreateWithCString(nullptr, hx::snapshot::kFileName, kCFStringEncodingASCII);
        mFileURL = CFURLCreateCopyAppendingPathComponent(nullptr, mFolderURL, name, false);
        CFRelease(name);
    }
    if (!mFileURL) syslog(LOG_ERR, "QnIORegistryPrefs: Could not create file CFURL");
    createDirectory();
    return true;
}

bool QnIORegistryPrefs::createDirectory() {
    if (!mWritable || !mFolderURL) return false;
    CFStringRef dummy = CFStringCreateWithCString(nullptr, "DUMMY", kCFStringEncodingASCII);
    CFDataRef data = CFPropertyListCreateXMLData(nullptr, dummy);
    CFRelease(dummy);
    if (!data) return false;
    SInt32 error = 0;
    CFURLWriteDataAndPropertiesToResource(mFolderURL, data, mAttributes, &error);
    CFRelease(data);
    return true;
}

kern_return_t QnIORegistryPrefs::update() {
    if (!mService) return kIOReturnError;
    if (mProperties) {
        CFRelease(mProperties);
        mProperties = nullptr;
    }
    return mAccess.copyProperties ? mAccess.copyProperties(mService, &mProperties)
                                  : kern_return_t(kIOReturnUnsupported);
}

bool QnIORegistryPrefs::hasProperties() {
    update();
    return mProperties && CFDictionaryContainsKey(mProperties, CFSTR("ChannelSettings"));
}

CFDictionaryRef QnIORegistryPrefs::getProperties() {
    update();
    return mProperties;
}

bool QnIORegistryPrefs::writePropertiesToStorage() {
    if (!mWritable || !mFileURL) return false;
    createDirectory();
    // The snapshot may be older than the device's configuration (it is taken
    // when the device object starts): the mirror is written from the registry
    // as it stands. A failed read leaves nothing to write; the earlier file stays.
    update();
    CFDataRef data = mProperties ? CFPropertyListCreateXMLData(nullptr, mProperties) : nullptr;
    if (!data) {
        syslog(LOG_ERR, "QnIORegistryPrefs: Could not create CFData");
        return false;
    }
    SInt32 error = 0;
    const Boolean ok =
        CFURLWriteDataAndPropertiesToResource(mFileURL, data, mFileAttributes, &error);
    CFRelease(data);
    if (!ok) {
        syslog(LOG_WARNING,
               "QnIORegistryPrefs::writeProperties CFURLWriteDataAndPropertiesToResource returned "
               "with error %d\n",
               int(error));
        return false;
    }
    return true;
}
