#include "platform/sys/Files.h"

#include "platform/base/HXPath.h"
#include "platform/base/HXUtf8.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr UInt32 kRefMagic = 0x68785246; // marks a reference made here

// What a reference names: the path of the other system as it was given
// (normalised) and where that was on this one when the reference was made.
struct RefEntry {
    std::string otherPath;
    std::string hostPath;
};

struct Fork {
    int fd = -1;
    bool canWrite = false;
    dev_t dev = 0;
    ino_t ino = 0;
    SInt64 mark = 0;
};

std::mutex gLock;
std::vector<RefEntry> gRefs;                        // index + 1 is in the reference
std::unordered_map<std::string, UInt32> gRefByHost; // host path -> index
std::map<FSIORefNum, Fork> gForks;

OSErr errnoToOSErr(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return fnfErr;
    case EACCES:
    case EPERM:
    case EROFS:
        return permErr;
    case EMFILE:
    case ENFILE:
        return tmfoErr;
    case ENAMETOOLONG:
        return bdNamErr;
    default:
        return ioErr;
    }
}

void makeRef(const std::string& hostPath, FSRef* ref) {
    const std::string root = hx::path::root();
    const bool underRoot = root != "/" && hostPath.compare(0, root.size(), root) == 0;
    std::string other = underRoot ? hostPath.substr(root.size()) : hostPath;
    if (other.empty()) other.push_back('/');
    UInt32 index;
    {
        std::lock_guard<std::mutex> g(gLock);
        auto it = gRefByHost.find(hostPath);
        if (it != gRefByHost.end() && gRefs[it->second].otherPath == other) {
            index = it->second;
        } else {
            index = UInt32(gRefs.size());
            gRefs.push_back(RefEntry{other, hostPath});
            gRefByHost[hostPath] = index;
        }
    }
    std::memset(ref->hidden, 0, sizeof ref->hidden);
    const UInt32 words[2] = {kRefMagic, index + 1};
    std::memcpy(ref->hidden, words, sizeof words);
}

// The entry a reference names; false for a reference not made here.
bool resolve(const FSRef* ref, RefEntry& out) {
    UInt32 words[2];
    std::memcpy(words, ref->hidden, sizeof words);
    if (words[0] != kRefMagic || words[1] == 0) return false;
    std::lock_guard<std::mutex> g(gLock);
    if (words[1] > gRefs.size()) return false;
    out = gRefs[words[1] - 1];
    return true;
}

// UTF-16 to UTF-8; false for an unpaired surrogate.
bool toUtf8(const UniChar* s, UniCharCount n, std::string& out) {
    out.clear();
    for (UniCharCount i = 0; i < n; ++i) {
        UInt32 c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= n || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        hx::appendUtf8(out, c);
    }
    return true;
}

} // namespace

namespace hx::sys {

std::string userPreferencesFolder() {
    return hx::path::userPreferencesFolder();
}

} // namespace hx::sys

OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef) {
    if (!foundRef) return paramErr;
    if (vRefNum != kUserDomain) return nsvErr;
    if (folderType != kPreferencesFolderType) return fnfErr;
    const std::string host = hx::path::map(hx::path::userPreferencesFolder());
    struct stat st;
    if (stat(host.c_str(), &st) != 0) {
        if (errno != ENOENT) return errnoToOSErr(errno);
        if (!createFolder) return fnfErr;
        std::error_code ec;
        std::filesystem::create_directories(host, ec);
        if (stat(host.c_str(), &st) != 0) return errnoToOSErr(errno);
    }
    if (!S_ISDIR(st.st_mode)) return dirNFErr;
    makeRef(host, foundRef);
    return noErr;
}

OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory) {
    if (!path || !ref) return paramErr;
    const char* p = reinterpret_cast<const char*>(path);
    // Relative paths would name places outside the root.
    if (p[0] != '/') return paramErr;
    const std::string host = hx::path::map(p);
    struct stat st;
    if (stat(host.c_str(), &st) != 0) return errnoToOSErr(errno);
    makeRef(host, ref);
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return noErr;
}

OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize) {
    if (!ref || !path) return paramErr;
    RefEntry e;
    if (!resolve(ref, e)) return errFSBadFSRef;
    struct stat st;
    if (stat(e.hostPath.c_str(), &st) != 0) return errnoToOSErr(errno);
    if (e.otherPath.size() + 1 > maxPathSize) return pathTooLongErr;
    std::memcpy(path, e.otherPath.c_str(), e.otherPath.size() + 1);
    return noErr;
}

OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap, const FSCatalogInfo*, FSRef* newRef, FSSpec*) {
    if (!parentRef || (nameLength && !name)) return paramErr;
    RefEntry parent;
    if (!resolve(parentRef, parent)) return errFSBadFSRef;
    if (nameLength == 0) return errFSMissingName;
    if (nameLength > 255) return errFSNameTooLong;
    std::string leaf;
    if (!toUtf8(name, nameLength, leaf)) return bdNamErr;
    if (leaf == "." || leaf == ".." || leaf.find('/') != std::string::npos ||
        leaf.find('\0') != std::string::npos)
        return bdNamErr;
    struct stat st;
    if (stat(parent.hostPath.c_str(), &st) != 0)
        return errno == ENOENT ? dirNFErr : errnoToOSErr(errno);
    if (!S_ISDIR(st.st_mode)) return errFSNotAFolder;
    const std::string host = parent.hostPath + "/" + leaf;
    const int fd = open(host.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return errno == EEXIST ? dupFNErr : errnoToOSErr(errno);
    close(fd);
    if (newRef) makeRef(host, newRef);
    return noErr;
}

OSErr FSGetDataForkName(HFSUniStr255* dataForkName) {
    if (!dataForkName) return paramErr;
    std::memset(dataForkName, 0, sizeof *dataForkName);
    return noErr;
}

OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar*, SInt8 permissions,
                 FSIORefNum* forkRefNum) {
    if (!ref || !forkRefNum) return paramErr;
    RefEntry e;
    if (!resolve(ref, e)) return errFSBadFSRef;
    if (forkNameLength != 0) return errFSForkNotFound;
    int flags;
    if (permissions == fsRdPerm)
        flags = O_RDONLY;
    else if (permissions == fsRdWrPerm)
        flags = O_RDWR;
    else
        return paramErr;
    struct stat st;
    if (stat(e.hostPath.c_str(), &st) != 0) return errnoToOSErr(errno);
    if (S_ISDIR(st.st_mode)) return notAFileErr;
    const int fd = open(e.hostPath.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return errnoToOSErr(errno);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return notAFileErr;
    }
    std::lock_guard<std::mutex> g(gLock);
    if (flags == O_RDWR) {
        for (const auto& [num, f] : gForks) {
            if (f.canWrite && f.dev == st.st_dev && f.ino == st.st_ino) {
                close(fd);
                return opWrErr;
            }
        }
    }
    FSIORefNum num = 1;
    for (const auto& entry : gForks) {
        if (entry.first != num) break;
        if (num == INT16_MAX) {
            close(fd);
            return tmfoErr;
        }
        ++num;
    }
    gForks[num] = Fork{fd, flags == O_RDWR, st.st_dev, st.st_ino, 0};
    *forkRefNum = num;
    return noErr;
}

OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 UInt32 requestCount, void* buffer, UInt32* actualCount) {
    if (actualCount) *actualCount = 0;
    std::lock_guard<std::mutex> g(gLock);
    auto it = gForks.find(forkRefNum);
    if (it == gForks.end()) return rfNumErr;
    Fork& f = it->second;
    if (requestCount && !buffer) return paramErr;
    SInt64 pos;
    switch (positionMode & 3) {
    case fsFromStart:
        pos = positionOffset;
        break;
    case fsFromLEOF: {
        struct stat st;
        if (fstat(f.fd, &st) != 0) return ioErr;
        pos = SInt64(st.st_size) + positionOffset;
        break;
    }
    case fsFromMark:
        pos = f.mark + positionOffset;
        break;
    default:
        pos = f.mark;
        break;
    }
    if (pos < 0) return posErr;
    UInt32 done = 0;
    while (done < requestCount) {
        const ssize_t n =
            pread(f.fd, static_cast<char*>(buffer) + done, requestCount - done, pos + done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ioErr;
        if (n == 0) break;
        done += UInt32(n);
    }
    f.mark = pos + done;
    if (actualCount) *actualCount = done;
    return done < requestCount ? eofErr : noErr;
}

OSErr FSCloseFork(FSIORefNum forkRefNum) {
    std::lock_guard<std::mutex> g(gLock);
    auto it = gForks.find(forkRefNum);
    if (it == gForks.end()) return rfNumErr;
    close(it->second.fd);
    gForks.erase(it);
    return noErr;
}
