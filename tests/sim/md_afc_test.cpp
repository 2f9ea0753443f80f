// AFC through the simulator's mobile device library, where the library's file service tests do
// not reach: open modes, the widths callers pass (G2, G3), the end of a listing, handles that a
// closed connection took with it, and handles that are stale or foreign. Reading, writing,
// listing, information, folders and removal are checked through the library by FileService and
// FileServiceCopy.
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
