// AFC through the simulator's mobile device library: files, information, listings, folders, the
// widths callers pass (G2, G3), device information, and handles that are stale or foreign.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>

#include "md_support.h"

namespace bw::sim::mdtest {
namespace {

class SimMdAfc : public SimMdTest {
  protected:
    void SetUp() override {
        SimMdTest::SetUp();
        image_ = MakeImage();
        media_ = image_ + "/fs/var/mobile/Media";
        device_ = Device(Attach(image_));
        afc_ = OpenAfc(device_);
        ASSERT_NE(afc_, nullptr);
    }

    void TearDown() override {
        if (afc_ != nullptr) {
            EXPECT_EQ(AFCConnectionClose(afc_), 0);
        }
        const BwSimCounters counters = Counters();
        EXPECT_EQ(counters.afcFiles, 0);
        EXPECT_EQ(counters.directories, 0);
        EXPECT_EQ(counters.keyValueIterators, 0);
        EXPECT_EQ(counters.afcConnections, 0);
        SimMdTest::TearDown();
    }

    std::string image_;
    std::string media_;
    AMDeviceRef device_ = nullptr;
    AFCConnectionRef afc_ = nullptr;
};

TEST_F(SimMdAfc, WrittenFileReadsBackAndLandsOnTheHost) {
    std::string bytes;
    for (int i = 0; i < 100000; ++i)
        bytes.push_back(static_cast<char>(i * 7));
    ASSERT_EQ(WriteDeviceFile(afc_, "/Downloads/data.bin", bytes), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/Downloads/data.bin"), bytes);
    EXPECT_EQ(testing::ReadFileBytes(media_ + "/Downloads/data.bin"), bytes);

    const auto info = Info(afc_, "/Downloads/data.bin");
    EXPECT_EQ(info.at("st_size"), "100000");
    EXPECT_EQ(info.at("st_ifmt"), "S_IFREG");
    EXPECT_EQ(info.at("st_nlink"), "1");
    EXPECT_GE(std::stoull(info.at("st_blocks")), 100000u / 512);
    EXPECT_EQ(info.count("LinkTarget"), 0u);
    // Nanoseconds since 1970: within a minute of now.
    const uint64_t now = static_cast<uint64_t>(std::time(nullptr)) * 1'000'000'000u;
    const uint64_t modified = std::stoull(info.at("st_mtime"));
    EXPECT_LT(modified > now ? modified - now : now - modified, 60'000'000'000u);
    EXPECT_LE(std::stoull(info.at("st_birthtime")), modified);
}

TEST_F(SimMdAfc, EmptyFileAndTheEndOfAFile) {
    ASSERT_EQ(WriteDeviceFile(afc_, "/empty", ""), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/empty"), "");
    EXPECT_EQ(Info(afc_, "/empty").at("st_size"), "0");
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/empty", 1, &file), 0);
    EXPECT_NE(file, 0u);
    char byte = 'x';
    size_t length = 1;
    EXPECT_EQ(AFCFileRefRead(afc_, file, &byte, &length), 0);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
}

TEST_F(SimMdAfc, OpenModesCreateTruncateAndAppend) {
    AFCFileRef file = 0;
    EXPECT_EQ(AFCFileRefOpen(afc_, "/new.txt", 1, &file), 8);     // reading needs the file
    ASSERT_EQ(WriteDeviceFile(afc_, "/new.txt", "hello", 2), 0);  // r+ creates
    ASSERT_EQ(WriteDeviceFile(afc_, "/new.txt", "J", 2), 0);      // r+ keeps the rest
    EXPECT_EQ(ReadDeviceFile(afc_, "/new.txt"), "Jello");
    ASSERT_EQ(WriteDeviceFile(afc_, "/new.txt", " world", 5), 0);  // a appends
    EXPECT_EQ(ReadDeviceFile(afc_, "/new.txt"), "Jello world");
    ASSERT_EQ(WriteDeviceFile(afc_, "/new.txt", "!", 6), 0);  // a+ appends
    EXPECT_EQ(ReadDeviceFile(afc_, "/new.txt"), "Jello world!");
    ASSERT_EQ(WriteDeviceFile(afc_, "/new.txt", "x", 3), 0);  // w truncates
    EXPECT_EQ(ReadDeviceFile(afc_, "/new.txt"), "x");
    ASSERT_EQ(WriteDeviceFile(afc_, "/new.txt", "", 4), 0);  // w+ truncates
    EXPECT_EQ(ReadDeviceFile(afc_, "/new.txt"), "");

    for (uint64_t mode : {uint64_t{0}, uint64_t{7}, uint64_t{0x100000000}})
        EXPECT_EQ(AFCFileRefOpen(afc_, "/new.txt", mode, &file), 7) << mode;
    // G2: only the low 32 bits of the mode count.
    ASSERT_EQ(AFCFileRefOpen(afc_, "/new.txt", 0xdeadbeef'00000003ull, &file), 0);
    EXPECT_EQ(AFCFileRefWrite(afc_, file, "ok", 2), 0);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/new.txt"), "ok");
}

TEST_F(SimMdAfc, FilesOpenOnlyForWhatTheModeAllows) {
    ASSERT_EQ(WriteDeviceFile(afc_, "/f.txt", "abc"), 0);
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/f.txt", 1, &file), 0);
    EXPECT_EQ(AFCFileRefWrite(afc_, file, "x", 1), 10);
    EXPECT_EQ(AFCFileRefSetFileSize(afc_, file, 0), 10);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
    ASSERT_EQ(AFCFileRefOpen(afc_, "/f.txt", 3, &file), 0);
    char byte;
    size_t length = 1;
    EXPECT_EQ(AFCFileRefRead(afc_, file, &byte, &length), 10);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
    EXPECT_EQ(AFCFileRefOpen(afc_, "/DCIM", 1, &file), 9);
    EXPECT_EQ(AFCFileRefOpen(afc_, "/DCIM", 3, &file), 9);
    EXPECT_EQ(AFCFileRefOpen(afc_, "/", 1, &file), 9);
    EXPECT_EQ(AFCFileRefOpen(afc_, "/missing/f.txt", 3, &file), 8);
}

TEST_F(SimMdAfc, LengthsAndPositionsAreWrittenAs32Bits) {
    ASSERT_EQ(WriteDeviceFile(afc_, "/f.bin", std::string(100, 'z')), 0);
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/f.bin", 1, &file), 0);
    // A caller with a uint32_t length: the word beside it stays untouched.
    struct {
        uint32_t length;
        uint32_t neighbour;
    } narrow = {10, 0xA5A5A5A5};
    char buffer[128];
    ASSERT_EQ(AFCFileRefRead(afc_, file, buffer, reinterpret_cast<size_t*>(&narrow.length)), 0);
    EXPECT_EQ(narrow.length, 10u);
    EXPECT_EQ(narrow.neighbour, 0xA5A5A5A5u);
    // A caller with a size_t length whose upper half holds garbage: only the low half is read.
    size_t wide = 0xFFFF'FFFF'0000'0014ull;
    ASSERT_EQ(AFCFileRefRead(afc_, file, buffer, &wide), 0);
    EXPECT_EQ(wide & 0xFFFF'FFFF, 20u);
    uint64_t position = 0xBBBB'BBBB'0000'0000ull;
    ASSERT_EQ(AFCFileRefTell(afc_, file, &position), 0);
    EXPECT_EQ(position, 0xBBBB'BBBB'0000'001Eull);
    // whence: only the low 32 bits count.
    ASSERT_EQ(AFCFileRefSeek(afc_, file, -5, 0x7777'0000'0000'0002ull), 0);
    position = 0;
    ASSERT_EQ(AFCFileRefTell(afc_, file, &position), 0);
    EXPECT_EQ(position, 95u);
    EXPECT_EQ(AFCFileRefSeek(afc_, file, 0, 3), 7);
    EXPECT_EQ(AFCFileRefSeek(afc_, file, -1000, 0), 7);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
}

TEST_F(SimMdAfc, SeekSetSizeAndOverwrite) {
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/g.bin", 4, &file), 0);
    ASSERT_EQ(AFCFileRefWrite(afc_, file, "0123456789", 10), 0);
    ASSERT_EQ(AFCFileRefSeek(afc_, file, 2, 0), 0);
    ASSERT_EQ(AFCFileRefWrite(afc_, file, "ab", 2), 0);
    ASSERT_EQ(AFCFileRefSeek(afc_, file, -2, 1), 0);
    char buffer[8] = {};
    size_t length = 3;
    ASSERT_EQ(AFCFileRefRead(afc_, file, buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, length), "ab4");
    ASSERT_EQ(AFCFileRefSetFileSize(afc_, file, 4), 0);
    EXPECT_EQ(AFCFlushData(afc_, file), 0);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/g.bin"), "01ab");
    ASSERT_EQ(AFCFileRefOpen(afc_, "/g.bin", 2, &file), 0);
    ASSERT_EQ(AFCFileRefSetFileSize(afc_, file, 6), 0);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/g.bin"), std::string("01ab\0\0", 6));
}

TEST_F(SimMdAfc, LocksConflictBetweenOpenFiles) {
    ASSERT_EQ(WriteDeviceFile(afc_, "/lock", "x"), 0);
    AFCFileRef first = 0;
    AFCFileRef second = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/lock", 2, &first), 0);
    ASSERT_EQ(AFCFileRefOpen(afc_, "/lock", 2, &second), 0);
    EXPECT_NE(first, second);
    ASSERT_EQ(AFCFileRefLock(afc_, first, true), 0);
    EXPECT_EQ(AFCFileRefLock(afc_, second, true), 19);
    EXPECT_EQ(AFCFileRefLock(afc_, second, false), 19);
    ASSERT_EQ(AFCFileRefUnlock(afc_, first), 0);
    EXPECT_EQ(AFCFileRefLock(afc_, second, false), 0);
    EXPECT_EQ(AFCFileRefLock(afc_, first, false), 0);  // shared locks coexist
    // Garbage in the flag of a two-argument caller asks for an exclusive lock.
    EXPECT_EQ(AFCFileRefLock(afc_, first, 0xCC), 19);
    EXPECT_EQ(AFCFileRefClose(afc_, first), 0);
    EXPECT_EQ(AFCFileRefClose(afc_, second), 0);
}

TEST_F(SimMdAfc, ListingHasDotsFirstThenSortedNames) {
    ASSERT_EQ(AFCDirectoryCreate(afc_, "/Books/shelf"), 0);
    for (const char* name : {"/Books/shelf/b", "/Books/shelf/C", "/Books/shelf/a"})
        ASSERT_EQ(WriteDeviceFile(afc_, name, name), 0);
    ASSERT_EQ(AFCDirectoryCreate(afc_, "/Books/shelf/dir"), 0);
    EXPECT_EQ(List(afc_, "/Books/shelf"),
              (std::vector<std::string>{".", "..", "C", "a", "b", "dir"}));
    ASSERT_EQ(AFCDirectoryCreate(afc_, "/Books/empty"), 0);
    EXPECT_EQ(List(afc_, "/Books/empty"), (std::vector<std::string>{".", ".."}));
    const std::vector<std::string> root = List(afc_, "/");
    ASSERT_GE(root.size(), 2u);
    EXPECT_EQ(root[0], ".");
    EXPECT_EQ(root[1], "..");
    EXPECT_NE(std::find(root.begin(), root.end(), "DCIM"), root.end());

    int status = 0;
    List(afc_, "/Books/shelf/a", &status);
    EXPECT_EQ(status, 7);
    List(afc_, "/Books/none", &status);
    EXPECT_EQ(status, 8);
}

TEST_F(SimMdAfc, ReadingPastTheEndOfAListingKeepsGivingNull) {
    AFCDirectoryRef directory = nullptr;
    ASSERT_EQ(AFCDirectoryOpen(afc_, "/Books", &directory), 0);
    EXPECT_EQ(Counters().directories, 1);
    char* name = nullptr;
    int names = 0;
    while (AFCDirectoryRead(afc_, directory, &name) == 0 && name != nullptr)
        ++names;
    EXPECT_GE(names, 2);
    name = reinterpret_cast<char*>(1);
    EXPECT_EQ(AFCDirectoryRead(afc_, directory, &name), 0);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(AFCDirectoryRead(afc_, directory, nullptr), 7);
    EXPECT_EQ(AFCDirectoryClose(afc_, directory), 0);
    EXPECT_EQ(AFCDirectoryClose(afc_, directory), 7);
    EXPECT_EQ(AFCDirectoryRead(afc_, directory, &name), 7);
}

TEST_F(SimMdAfc, FolderCreationMakesParentsAndRefusesFiles) {
    ASSERT_EQ(AFCDirectoryCreate(afc_, "/a/b/c/d"), 0);
    EXPECT_TRUE(std::filesystem::is_directory(media_ + "/a/b/c/d"));
    EXPECT_EQ(AFCDirectoryCreate(afc_, "/a/b"), 0);  // there already
    EXPECT_EQ(AFCDirectoryCreate(afc_, "/"), 0);
    ASSERT_EQ(WriteDeviceFile(afc_, "/a/file", "x"), 0);
    EXPECT_EQ(AFCDirectoryCreate(afc_, "/a/file"), 16);
    EXPECT_EQ(AFCDirectoryCreate(afc_, "/a/file/sub"), 8);
    EXPECT_EQ(Info(afc_, "/a/b/c")["st_ifmt"], "S_IFDIR");
}

TEST_F(SimMdAfc, RemovingFilesAndFolders) {
    ASSERT_EQ(AFCDirectoryCreate(afc_, "/r/full"), 0);
    ASSERT_EQ(WriteDeviceFile(afc_, "/r/full/f", "x"), 0);
    ASSERT_EQ(AFCDirectoryCreate(afc_, "/r/empty"), 0);
    EXPECT_EQ(AFCRemovePath(afc_, "/r/full"), 1);  // what a device answers: not empty
    EXPECT_TRUE(std::filesystem::exists(media_ + "/r/full/f"));
    EXPECT_EQ(AFCRemovePath(afc_, "/r/full/f"), 0);
    EXPECT_EQ(AFCRemovePath(afc_, "/r/full"), 0);
    EXPECT_EQ(AFCRemovePath(afc_, "/r/empty"), 0);
    EXPECT_EQ(AFCRemovePath(afc_, "/r/empty"), 8);
    EXPECT_EQ(AFCRemovePath(afc_, "/"), 10);
    EXPECT_EQ(AFCRemovePath(afc_, "/.."), 10);
    EXPECT_EQ(List(afc_, "/r"), (std::vector<std::string>{".", ".."}));
}

TEST_F(SimMdAfc, RenamingFilesAndFolders) {
    ASSERT_EQ(WriteDeviceFile(afc_, "/old.txt", "content"), 0);
    ASSERT_EQ(AFCRenamePath(afc_, "/old.txt", "/Books/new.txt"), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/old.txt"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(afc_, "/Books/new.txt"), "content");
    ASSERT_EQ(AFCRenamePath(afc_, "/Books", "/Library Books"), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/Library Books/new.txt"), "content");
    EXPECT_EQ(AFCRenamePath(afc_, "/missing", "/x"), 8);
    EXPECT_EQ(AFCRenamePath(afc_, "/", "/x"), 10);
    EXPECT_EQ(AFCRenamePath(afc_, "/Library Books", "/"), 10);
    EXPECT_EQ(AFCRenamePath(afc_, "/Library Books", "/Library Books/inside"), 7);
    EXPECT_EQ(AFCRenamePath(afc_, "/Library Books", nullptr), 7);
}

TEST_F(SimMdAfc, LinksToFoldersAndFilesInsideTheRoot) {
    ASSERT_EQ(WriteDeviceFile(afc_, "/Books/f.txt", "linked"), 0);
    ASSERT_EQ(::symlink("Books", (media_ + "/dirlink").c_str()), 0);
    ASSERT_EQ(::symlink("Books/f.txt", (media_ + "/filelink").c_str()), 0);
    ASSERT_EQ(::symlink("../DCIM", (media_ + "/Books/back").c_str()), 0);

    const auto dirInfo = Info(afc_, "/dirlink");
    EXPECT_EQ(dirInfo.at("st_ifmt"), "S_IFLNK");
    EXPECT_EQ(dirInfo.at("LinkTarget"), "Books");
    EXPECT_EQ(Info(afc_, "/filelink").at("LinkTarget"), "Books/f.txt");
    // A link to a folder opens as that folder; a link to a file reads as that file.
    const std::vector<std::string> names = List(afc_, "/dirlink");
    EXPECT_NE(std::find(names.begin(), names.end(), "f.txt"), names.end());
    EXPECT_EQ(ReadDeviceFile(afc_, "/filelink"), "linked");
    EXPECT_EQ(ReadDeviceFile(afc_, "/dirlink/f.txt"), "linked");
    int status = 0;
    List(afc_, "/filelink", &status);
    EXPECT_EQ(status, 7);
    EXPECT_FALSE(List(afc_, "/Books/back").empty());  // climbs, but stays inside
    // Writing through a link writes its target; removing a link removes only the link.
    ASSERT_EQ(WriteDeviceFile(afc_, "/filelink", "changed"), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/Books/f.txt"), "changed");
    EXPECT_EQ(AFCRemovePath(afc_, "/dirlink"), 0);
    EXPECT_EQ(AFCRemovePath(afc_, "/filelink"), 0);
    EXPECT_EQ(ReadDeviceFile(afc_, "/Books/f.txt"), "changed");
    // Renaming a link moves the link.
    ASSERT_EQ(AFCRenamePath(afc_, "/Books/back", "/back"), 0);
    EXPECT_EQ(Info(afc_, "/back").at("LinkTarget"), "../DCIM");
}

TEST_F(SimMdAfc, DeviceInformationFromSwitchesOrTheHost) {
    AFCKeyValueRef values = nullptr;
    ASSERT_EQ(AFCDeviceInfoOpen(afc_, &values), 0);
    auto pairs = ReadPairs(values);
    EXPECT_EQ(pairs.at("Model").rfind("iPhone", 0), 0u);
    EXPECT_EQ(pairs.at("FSBlockSize"), "4096");
    EXPECT_GE(std::stoull(pairs.at("FSTotalBytes")), std::stoull(pairs.at("FSFreeBytes")));

    std::string error;
    ASSERT_TRUE(
        SetSimulatorSwitch(image_, switches::kFsTotalBytes, int64_t{16'000'000'000}, error));
    ASSERT_TRUE(SetSimulatorSwitch(image_, switches::kFsFreeBytes, int64_t{1'234'567}, error));
    AFCConnectionClose(afc_);
    afc_ = nullptr;
    const std::string udid = TakeText(AMDeviceCopyDeviceIdentifier(device_));
    ASSERT_EQ(BwSimDetach(udid.c_str()), 0);
    Attach(image_);
    ASSERT_EQ(BwSimWaitForNotifications(5000), 0);
    afc_ = OpenAfc(recorder_.Events().back().device);
    ASSERT_NE(afc_, nullptr);
    ASSERT_EQ(AFCDeviceInfoOpen(afc_, &values), 0);
    pairs = ReadPairs(values);
    EXPECT_EQ(pairs.at("FSTotalBytes"), "16000000000");
    EXPECT_EQ(pairs.at("FSFreeBytes"), "1234567");
}

TEST_F(SimMdAfc, KeyValueIteratorEndsWithNullsAndCloses) {
    AFCKeyValueRef values = nullptr;
    ASSERT_EQ(AFCFileInfoOpen(afc_, "/DCIM", &values), 0);
    EXPECT_EQ(Counters().keyValueIterators, 1);
    char* key = nullptr;
    char* value = nullptr;
    int pairs = 0;
    while (AFCKeyValueRead(values, &key, &value) == 0 && key != nullptr) {
        EXPECT_NE(value, nullptr);
        ++pairs;
    }
    EXPECT_EQ(pairs, 6);
    EXPECT_EQ(AFCKeyValueRead(values, &key, &value), 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(AFCKeyValueClose(values), 0);
    EXPECT_EQ(AFCKeyValueClose(values), 7);
    EXPECT_EQ(AFCKeyValueRead(values, &key, &value), 7);
    int status = 0;
    EXPECT_TRUE(Info(afc_, "/missing", &status).empty());
    EXPECT_EQ(status, 8);
}

TEST_F(SimMdAfc, ClosingTheConnectionClosesItsFiles) {
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/open", 3, &file), 0);
    AFCDirectoryRef directory = nullptr;
    ASSERT_EQ(AFCDirectoryOpen(afc_, "/", &directory), 0);
    EXPECT_EQ(Counters().afcFiles, 1);
    ASSERT_EQ(AFCConnectionClose(afc_), 0);
    EXPECT_EQ(Counters().afcFiles, 0);
    EXPECT_EQ(AFCFileRefWrite(afc_, file, "x", 1), 7);
    // A listing is the host's: it stays readable and must still be closed.
    EXPECT_EQ(Counters().directories, 1);
    char* name = nullptr;
    EXPECT_EQ(AFCDirectoryRead(afc_, directory, &name), 0);
    EXPECT_STREQ(name, ".");
    EXPECT_EQ(AFCDirectoryClose(afc_, directory), 0);
    afc_ = nullptr;
}

TEST_F(SimMdAfc, StaleAndForeignHandlesFail) {
    AFCConnectionRef other = OpenAfc(device_);
    ASSERT_NE(other, nullptr);
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc_, "/h", 3, &file), 0);
    char byte = 0;
    size_t length = 1;
    EXPECT_EQ(AFCFileRefWrite(other, file, "x", 1), 7);  // a file of another connection
    EXPECT_EQ(AFCFileRefClose(other, file), 7);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 0);
    EXPECT_EQ(AFCFileRefRead(afc_, file, &byte, &length), 7);
    EXPECT_EQ(AFCFileRefClose(afc_, file), 7);
    EXPECT_EQ(AFCFileRefRead(afc_, 0, &byte, &length), 7);
    EXPECT_EQ(AFCFileRefRead(afc_, file, &byte, nullptr), 7);

    AFCDirectoryRef directory = nullptr;
    ASSERT_EQ(AFCDirectoryOpen(afc_, "/", &directory), 0);
    char* name = nullptr;
    EXPECT_EQ(AFCDirectoryRead(other, directory, &name), 7);
    EXPECT_EQ(AFCDirectoryClose(other, directory), 7);
    EXPECT_EQ(AFCDirectoryClose(afc_, directory), 0);

    int local = 0;
    const auto bogus = reinterpret_cast<AFCConnectionRef>(&local);
    EXPECT_EQ(AFCFileRefOpen(bogus, "/h", 1, &file), 7);
    EXPECT_EQ(AFCDirectoryCreate(bogus, "/x"), 7);
    EXPECT_EQ(AFCConnectionClose(bogus), 7);
    EXPECT_EQ(AFCConnectionClose(nullptr), 7);
    EXPECT_EQ(AFCKeyValueClose(reinterpret_cast<AFCKeyValueRef>(directory)), 7);
    AFCConnectionSetSecureContext(bogus, &local);
    EXPECT_EQ(local, 0);
    EXPECT_EQ(AFCConnectionClose(other), 0);
    EXPECT_EQ(AFCFileRefOpen(other, "/h", 1, &file), 7);  // closed: stale
    EXPECT_EQ(AFCFileInfoOpen(afc_, nullptr, nullptr), 7);
    EXPECT_EQ(AFCFileRefOpen(afc_, nullptr, 1, &file), 7);
}

}  // namespace
}  // namespace bw::sim::mdtest
