#include "platform/sys/Files.h"
#include "platform/base/HXPath.h"
#include "platform/base/testing/TempRoot.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<UniChar> utf16(const std::string& ascii) {
    return {ascii.begin(), ascii.end()};
}

class FileManager : public ::testing::Test {
protected:
    hx::test::TempRoot mRoot;

    std::string prefsOnHost() const { return hx::path::map(hx::sys::userPreferencesFolder()); }

    FSRef prefs() {
        FSRef ref;
        EXPECT_EQ(FSFindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &ref), noErr);
        return ref;
    }

    FSRef create(const std::string& name) {
        const FSRef folder = prefs();
        const std::vector<UniChar> n = utf16(name);
        FSRef file;
        EXPECT_EQ(FSCreateFileUnicode(&folder, n.size(), n.data(), kFSCatInfoNone, nullptr, &file,
                                      nullptr),
                  noErr);
        return file;
    }

    static void writeHost(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
};

TEST_F(FileManager, PreferencesFolderIsUnderTheRootAndMadeOnlyWhenAsked) {
    FSRef ref;
    EXPECT_EQ(FSFindFolder(kUserDomain, kPreferencesFolderType, kDontCreateFolder, &ref), fnfErr);
    EXPECT_FALSE(fs::exists(prefsOnHost()));
    ASSERT_EQ(FSFindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, &ref), noErr);
    EXPECT_TRUE(fs::is_directory(prefsOnHost()));
    EXPECT_EQ(prefsOnHost().rfind(mRoot.path() + "/", 0), 0u);
    EXPECT_EQ(FSFindFolder(kUserDomain, kPreferencesFolderType, kDontCreateFolder, &ref), noErr);

    UInt8 path[256];
    ASSERT_EQ(FSRefMakePath(&ref, path, sizeof path), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(path)), hx::sys::userPreferencesFolder());
    EXPECT_EQ(FSRefMakePath(&ref, path, UInt32(hx::sys::userPreferencesFolder().size())),
              pathTooLongErr);

    EXPECT_EQ(FSFindFolder(-32765, kPreferencesFolderType, kCreateFolder, &ref), nsvErr);
    EXPECT_EQ(FSFindFolder(kUserDomain, 0x74656D70 /* 'temp' */, kCreateFolder, &ref), fnfErr);
    EXPECT_EQ(FSFindFolder(kUserDomain, kPreferencesFolderType, kCreateFolder, nullptr), paramErr);
}

TEST_F(FileManager, PathReferencesNameExistingThingsUnderTheRoot) {
    const std::string file = hx::sys::userPreferencesFolder() + "/legacy.xml";
    FSRef ref;
    Boolean isDir = 7;
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(file.c_str()), &ref, &isDir), fnfErr);
    prefs();
    writeHost(hx::path::map(file), "x");
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>(file.c_str()), &ref, &isDir), noErr);
    EXPECT_FALSE(isDir);
    UInt8 path[256];
    ASSERT_EQ(FSRefMakePath(&ref, path, sizeof path), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(path)), file);

    // ".." never climbs out of the root; relative paths are refused.
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>("/../../../etc/passwd"), &ref, nullptr),
              fnfErr);
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8*>("etc/passwd"), &ref, nullptr), paramErr);
    EXPECT_EQ(FSPathMakeRef(nullptr, &ref, nullptr), paramErr);

    // A reference whose file is gone, and one never made here.
    fs::remove(hx::path::map(file));
    EXPECT_EQ(FSRefMakePath(&ref, path, sizeof path), fnfErr);
    FSRef junk{};
    EXPECT_EQ(FSRefMakePath(&junk, path, sizeof path), errFSBadFSRef);
    FSIORefNum fork;
    EXPECT_EQ(FSOpenFork(&junk, 0, nullptr, fsRdPerm, &fork), errFSBadFSRef);
}

TEST_F(FileManager, CreateChecksTheNameAndRefusesAnExistingFile) {
    const FSRef folder = prefs();
    struct Case {
        std::vector<UniChar> name;
        OSErr result;
    } cases[] = {
        {utf16("KorvexHX5100.usbsettings.xml"), noErr},
        {utf16("KorvexHX5100.usbsettings.xml"), dupFNErr},
        {{}, errFSMissingName},
        {utf16("a/b"), bdNamErr},
        {utf16(".."), bdNamErr},
        {{'a', 0, 'b'}, bdNamErr},
        {{'a', 0xD800}, bdNamErr}, // unpaired surrogate
        {std::vector<UniChar>(256, 'n'), errFSNameTooLong},
        {{0x00E9, 0xD83D, 0xDE00}, noErr}, // é and a character beyond the first plane
    };
    for (const Case& c : cases) {
        FSRef file;
        EXPECT_EQ(FSCreateFileUnicode(&folder, c.name.size(), c.name.data(), kFSCatInfoNone,
                                      nullptr, &file, nullptr),
                  c.result);
    }
    EXPECT_TRUE(fs::is_regular_file(prefsOnHost() + "/KorvexHX5100.usbsettings.xml"));
    EXPECT_TRUE(fs::is_regular_file(prefsOnHost() + "/\xC3\xA9\xF0\x9F\x98\x80"));
    EXPECT_FALSE(fs::exists(prefsOnHost() + "/a"));

    // A parent that is a file, or that is gone.
    const FSRef file = create("plain");
    const std::vector<UniChar> n = utf16("x");
    EXPECT_EQ(FSCreateFileUnicode(&file, 1, n.data(), kFSCatInfoNone, nullptr, nullptr, nullptr),
              errFSNotAFolder);
    fs::remove_all(prefsOnHost());
    EXPECT_EQ(FSCreateFileUnicode(&folder, 1, n.data(), kFSCatInfoNone, nullptr, nullptr, nullptr),
              dirNFErr);
}

TEST_F(FileManager, ReadsInPiecesAndEndsWithEofErr) {
    const FSRef ref = create("legacy.xml");
    std::string text;
    for (int i = 0; text.size() < 2500; ++i)
        text += "<Node a=\"" + std::to_string(i) + "\"/>\n";
    writeHost(prefsOnHost() + "/legacy.xml", text);

    HFSUniStr255 fork;
    fork.length = 99;
    ASSERT_EQ(FSGetDataForkName(&fork), noErr);
    EXPECT_EQ(fork.length, 0);
    FSIORefNum num = -1;
    ASSERT_EQ(FSOpenFork(&ref, fork.length, fork.unicode, fsRdPerm, &num), noErr);
    EXPECT_GT(num, 0);

    // Pieces of 1,024 bytes from the mark, as the settings reader takes them.
    std::string back;
    char buf[1024];
    OSErr err = noErr;
    while (err == noErr) {
        UInt32 got = 12345;
        err = FSReadFork(num, fsAtMark, 0, sizeof buf, buf, &got);
        back.append(buf, got);
        if (err == noErr) {
            EXPECT_EQ(got, sizeof buf);
        }
    }
    EXPECT_EQ(err, eofErr);
    EXPECT_EQ(back, text);
    UInt32 got = 1;
    EXPECT_EQ(FSReadFork(num, fsAtMark, 0, 10, buf, &got), eofErr);
    EXPECT_EQ(got, 0u);

    // Positions: from the start, from the end, relative to the mark.
    ASSERT_EQ(FSReadFork(num, fsFromStart, 5, 4, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), text.substr(5, 4));
    ASSERT_EQ(FSReadFork(num, fsFromMark, 2, 3, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), text.substr(11, 3));
    ASSERT_EQ(FSReadFork(num, fsFromLEOF, -3, 3, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), text.substr(text.size() - 3));
    EXPECT_EQ(FSReadFork(num, fsFromStart, -1, 3, buf, &got), posErr);
    EXPECT_EQ(FSReadFork(num, fsFromStart, 0, 3, nullptr, &got), paramErr);

    EXPECT_EQ(FSCloseFork(num), noErr);
    EXPECT_EQ(FSCloseFork(num), rfNumErr);
    EXPECT_EQ(FSReadFork(num, fsAtMark, 0, 1, buf, &got), rfNumErr);
}

TEST_F(FileManager, OneWriterAtATimeAndOnlyTheDataForkOfAFile) {
    const FSRef ref = create("store.xml");
    writeHost(prefsOnHost() + "/store.xml", "abc");
    FSIORefNum writer, reader, second;
    ASSERT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &writer), noErr);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &second), opWrErr);
    ASSERT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdPerm, &reader), noErr);
    EXPECT_NE(reader, writer);
    char buf[8];
    UInt32 got;
    ASSERT_EQ(FSReadFork(writer, fsFromStart, 0, 3, buf, &got), noErr);
    EXPECT_EQ(std::string(buf, got), "abc");
    EXPECT_EQ(FSCloseFork(writer), noErr);
    ASSERT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdWrPerm, &second), noErr);
    EXPECT_EQ(FSCloseFork(second), noErr);
    EXPECT_EQ(FSCloseFork(reader), noErr);

    const UniChar resource[] = {'R', 'E', 'S', 'O', 'U', 'R', 'C', 'E'};
    EXPECT_EQ(FSOpenFork(&ref, 8, resource, fsRdPerm, &second), errFSForkNotFound);
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, 2 /* write only */, &second), paramErr);
    const FSRef folder = prefs();
    EXPECT_EQ(FSOpenFork(&folder, 0, nullptr, fsRdPerm, &second), notAFileErr);
    fs::remove(prefsOnHost() + "/store.xml");
    EXPECT_EQ(FSOpenFork(&ref, 0, nullptr, fsRdPerm, &second), fnfErr);
}

} // namespace
