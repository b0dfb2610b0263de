// The File Manager calls the suite makes for its legacy settings file: find
// the user's Preferences folder, make a file reference from a path or a path
// from a reference, create a file, name the data fork, open it for reading or
// for reading and writing, read, close. Results are the system's codes.
//
// Paths are the other system's (UTF-8, absolute); they live under the path
// root (platform/base/HXPath.h). The emulated user's Preferences folder is
// userPreferencesFolder(), shared by every process of the simulated machine.
// A file reference names a file or folder that existed when it was made.
#pragma once

#include "platform/base/MacErrors.h"
#include "platform/base/MacTypes.h"

#include <string>

typedef UInt32 UniCharCount;
typedef UInt32 TextEncoding;
typedef SInt16 FSIORefNum;
typedef SInt16 FSVolumeRefNum;
typedef UInt32 FSCatalogInfoBitmap;
typedef UInt16 FSPermission; // the open call's permission byte

struct FSRef {
    UInt8 hidden[80];
};
static_assert(sizeof(FSRef) == 80);

struct HFSUniStr255 {
    UInt16 length;
    UniChar unicode[255];
};
static_assert(sizeof(HFSUniStr255) == 512);

// Passed as null by the suite; never looked at.
struct FSCatalogInfo;
struct FSSpec;

// Domains and folder types of FSFindFolder.
inline constexpr FSVolumeRefNum kUserDomain = -32763;
inline constexpr OSType kPreferencesFolderType = 0x70726566; // 'pref'
inline constexpr Boolean kCreateFolder = true;
inline constexpr Boolean kDontCreateFolder = false;

inline constexpr FSCatalogInfoBitmap kFSCatInfoNone = 0;
inline constexpr TextEncoding kTextEncodingUnknown = 0xFFFF;

// Open permissions.
inline constexpr FSPermission fsRdPerm = 1;
inline constexpr FSPermission fsRdWrPerm = 3;

// Read positions.
inline constexpr UInt16 fsAtMark = 0;
inline constexpr UInt16 fsFromStart = 1;
inline constexpr UInt16 fsFromLEOF = 2;
inline constexpr UInt16 fsFromMark = 3;

// The File Manager's result codes used here (noErr, paramErr, ioErr and
// fnfErr are in MacErrors.h).
inline constexpr OSErr nsvErr = -35;    // no such volume (or domain)
inline constexpr OSErr bdNamErr = -37;  // bad file name
inline constexpr OSErr eofErr = -39;    // read reached the end of the file
inline constexpr OSErr posErr = -40;    // position before the start of the file
inline constexpr OSErr tmfoErr = -42;   // too many files open
inline constexpr OSErr dupFNErr = -48;  // the file exists already
inline constexpr OSErr opWrErr = -49;   // already open for writing
inline constexpr OSErr rfNumErr = -51;  // no such open fork
inline constexpr OSErr permErr = -54;   // permission denied
inline constexpr OSErr dirNFErr = -120; // folder not found
inline constexpr OSErr notAFileErr = -1302;
inline constexpr OSErr errFSBadFSRef = -1401;
inline constexpr OSErr errFSNotAFolder = -1407;
inline constexpr OSErr errFSForkNotFound = -1409;
inline constexpr OSErr errFSNameTooLong = -1410;
inline constexpr OSErr errFSMissingName = -1411;
inline constexpr OSErr pathTooLongErr = -2110;

// The folder of a type in a domain: the user domain's Preferences folder,
// made when missing with createFolder, else fnfErr. Another domain gives
// nsvErr, another folder type fnfErr.
OSErr FSFindFolder(FSVolumeRefNum vRefNum, OSType folderType, Boolean createFolder,
                   FSRef* foundRef);

// The reference of an existing file or folder (fnfErr when there is none;
// paramErr for a relative path); isDirectory may be null.
OSStatus FSPathMakeRef(const UInt8* path, FSRef* ref, Boolean* isDirectory);

// The path of a reference, NUL-terminated; pathTooLongErr when it does not
// fit in maxPathSize bytes.
OSStatus FSRefMakePath(const FSRef* ref, UInt8* path, UInt32 maxPathSize);

// Makes an empty file named name (UTF-16) in the folder parentRef; dupFNErr
// when it exists. catalogInfo and newSpec are not used; newRef may be null.
OSErr FSCreateFileUnicode(const FSRef* parentRef, UniCharCount nameLength, const UniChar* name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo* catalogInfo,
                          FSRef* newRef, FSSpec* newSpec);

// The name of the data fork (empty).
OSErr FSGetDataForkName(HFSUniStr255* dataForkName);

// Opens a file's data fork (the only fork: another name gives
// errFSForkNotFound) with fsRdPerm or fsRdWrPerm. Only one path may write a
// file at a time (opWrErr); a folder gives notAFileErr.
OSErr FSOpenFork(const FSRef* ref, UniCharCount forkNameLength, const UniChar* forkName,
                 SInt8 permissions, FSIORefNum* forkRefNum);

// Reads requestCount bytes from the position given by positionMode and
// positionOffset, and moves the fork's mark past them. Fewer bytes at the end
// of the file: eofErr with the count read.
OSErr FSReadFork(FSIORefNum forkRefNum, UInt16 positionMode, SInt64 positionOffset,
                 UInt32 requestCount, void* buffer, UInt32* actualCount);

OSErr FSCloseFork(FSIORefNum forkRefNum);

namespace hx::sys {

// The emulated user's Preferences folder, as a path of the other system.
std::string userPreferencesFolder();

} // namespace hx::sys
