#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "device/iphone_file.h"
#include "device/runtime.h"
#include "platform/files.h"
#include "support/build_paths.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::ReadFileBytes;
using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

TEST(FileServicePaths, JoinsAndNormalises) {
    CIPhone phone;
    EXPECT_EQ(phone.MakeDevicePath("a\\b"), "/a/b");
    EXPECT_EQ(phone.MakeDevicePath("/x/../y"), "/y");
    EXPECT_EQ(phone.MakeDevicePath(""), "/");
    EXPECT_EQ(CIPhone::JoinDevicePath("/base", "rel/file"), "/base/rel/file");
    EXPECT_EQ(CIPhone::JoinDevicePath("/base", "/abs"), "/abs");
    EXPECT_EQ(CIPhone::JoinDevicePath("/base", "\\abs\\x"), "/abs/x");
    EXPECT_EQ(CIPhone::JoinDevicePath("", "x"), "/x");
    EXPECT_EQ(CIPhone::JoinDevicePath("/a//b/", ""), "/a/b");
    EXPECT_EQ(CIPhone::JoinDevicePath("/a/b", "../../../.."), "/");
    EXPECT_EQ(CIPhone::JoinDevicePath("/a", "./b/./c/."), "/a/b/c");
    EXPECT_EQ(CIPhone::JoinDevicePath("/a", "b/../../c"), "/c");
    EXPECT_EQ(CIPhone::JoinDevicePath("/a", "..."), "/a/...");
    EXPECT_EQ(CIPhone::JoinDevicePath("relative", "x"), "/relative/x");
    phone.rootPath = "/var/mobile";
    EXPECT_EQ(phone.MakeDevicePath("Media\\DCIM"), "/var/mobile/Media/DCIM");
    EXPECT_EQ(phone.MakeDevicePath(".."), "/var");
    EXPECT_EQ(phone.MakeDevicePath("/etc"), "/etc");
}

TEST(FileServicePaths, ObjectWithoutADeviceFailsEveryOperation) {
    CIPhone phone;
    DeviceFileInfo info;
    EXPECT_FALSE(phone.GetFileInfo(nullptr, "/a/b.txt", info));
    EXPECT_EQ(info.path, "/a/b.txt");
    EXPECT_EQ(info.name, "b.txt");
    EXPECT_FALSE(phone.FileExists("/"));
    std::vector<std::string> names;
    EXPECT_FALSE(phone.ListDirectory("/", names));
    EXPECT_FALSE(phone.RemoveTree("/"));
    EXPECT_FALSE(phone.CopyFileToDevice(BRACKWATER_SIM_CF_PATH, "/x"));
}

class FileService : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        image_ = MakeImage("phone");
        Listen();
        phone_ = Arrive(image_, &udid_);
        ASSERT_NE(phone_, nullptr);
    }

    // The host path behind a path of the media area.
    std::string Media(std::string_view devicePath) const {
        return sim::ImagePath(image_, devicePath, sim::ImageRoot::Media);
    }
    std::string WriteMedia(std::string_view devicePath, std::string_view bytes) const {
        const std::string path = Media(devicePath);
        platform::CreateFolders(path.substr(0, path.rfind('/')));
        EXPECT_TRUE(platform::WriteFileAtomic(path, bytes));
        return path;
    }

    std::string image_;
    std::string udid_;
    CIPhone* phone_ = nullptr;
};

TEST_F(FileService, FileInformationOfFilesFoldersAndLinks) {
    const std::string host = WriteMedia("/Books/note.txt", std::string(123, 'n'));
    DeviceFileInfo info;
    ASSERT_TRUE(phone_->GetPathInfo("/Books", "note.txt", info));
    EXPECT_EQ(info.path, "/Books/note.txt");
    EXPECT_EQ(info.name, "note.txt");
    EXPECT_EQ(info.size, 123u);
    EXPECT_EQ(info.fileType, kDeviceFileRegular);
    EXPECT_EQ(static_cast<int64_t>(info.modifiedTime / 1000000000), platform::LastWriteTime(host));
    EXPECT_FALSE(info.isLink);

    EXPECT_TRUE(phone_->IsDirectory("DCIM"));
    EXPECT_FALSE(phone_->IsDirectory("/Books/note.txt"));
    // A link to a folder counts as a folder, a link to a file stays a link.
    ASSERT_TRUE(phone_->GetPathInfo("/DCIM", "Latest", info));
    EXPECT_EQ(info.fileType, kDeviceFolder);
    EXPECT_TRUE(info.isLink);
    EXPECT_TRUE(phone_->IsDirectory("/DCIM/Latest"));
    ASSERT_TRUE(phone_->GetPathInfo("/DCIM", "LatestPhoto.JPG", info));
    EXPECT_EQ(info.fileType, kDeviceFileLink);

    EXPECT_FALSE(phone_->GetPathInfo("/Books", "missing.txt", info));
    EXPECT_EQ(info.path, "/Books/missing.txt");
    EXPECT_EQ(info.name, "missing.txt");
    EXPECT_EQ(info.fileType, 0);
    EXPECT_EQ(info.size, 0u);
    EXPECT_FALSE(phone_->FileExists("/Books/missing.txt"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileService, ListingsSkipDotEntriesAndKeepTheDeviceOrder) {
    std::vector<platform::FolderEntry> hostEntries;
    ASSERT_TRUE(platform::ListFolder(Media("/DCIM/100APPLE"), hostEntries));
    std::vector<std::string> expected;
    for (const auto& entry : hostEntries)
        expected.push_back(entry.name);
    std::sort(expected.begin(), expected.end());  // the simulator lists in byte order

    std::vector<std::string> names;
    ASSERT_TRUE(phone_->ListDirectory("/DCIM/100APPLE", names));
    EXPECT_EQ(names, expected);

    std::vector<DeviceFileInfo> entries;
    ASSERT_TRUE(phone_->ListDirectoryInfo("DCIM\\100APPLE\\", entries));
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].name, expected[i]);
        EXPECT_EQ(entries[i].path, "/DCIM/100APPLE/" + expected[i]);
        EXPECT_EQ(entries[i].fileType, kDeviceFileRegular);
        EXPECT_EQ(entries[i].size, platform::FileSize(Media(entries[i].path)));
    }
    names.clear();
    EXPECT_FALSE(phone_->ListDirectory("/NoSuchFolder", names));
    EXPECT_FALSE(phone_->ListDirectory("/DCIM/100APPLE/IMG_0001.JPG", names));
    EXPECT_TRUE(names.empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

// Both ways of listing: the runtime's listing with information, and a runtime without it, where
// each entry is asked for on its own.
class FileServiceListing : public FileService, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        FileService::SetUp();
        UseListingWithInfoForTests(GetParam());
    }
    void TearDown() override {
        UseListingWithInfoForTests(true);
        FileService::TearDown();
    }
};

INSTANTIATE_TEST_SUITE_P(WithAndWithoutInfo, FileServiceListing, ::testing::Bool());

TEST_P(FileServiceListing, EntryWhoseInformationCannotBeReadIsStillListed) {
    // A folder of its own: the image's Books folder holds books already.
    WriteMedia("/Books/Notes/a.txt", "a");
    WriteMedia("/Books/Notes/b.txt", "bb");
    ASSERT_TRUE(sim_.InjectFailure("AFCFileInfoOpen", "/Books/Notes/a.txt", 10));
    std::vector<DeviceFileInfo> entries;
    ASSERT_TRUE(phone_->ListDirectoryInfo("/Books/Notes", entries));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "a.txt");
    EXPECT_EQ(entries[0].path, "/Books/Notes/a.txt");
    EXPECT_EQ(entries[0].fileType, 0);
    EXPECT_FALSE(entries[0].infoRead);
    EXPECT_EQ(entries[1].size, 2u);
    EXPECT_TRUE(entries[1].infoRead);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

// Files, folders, links to each, odd names and the root: every field as the host's file system
// has it, whichever way the folder was listed.
TEST_P(FileServiceListing, EntriesCarryWhatTheImageHolds) {
    WriteMedia("/Mixed/plain.txt", std::string(321, 'p'));
    WriteMedia("/Mixed/with space & \xc3\xa9.bin", "e");
    WriteMedia("/Mixed/back\\slash", "bs");
    WriteMedia("/Mixed/sub/inner.txt", "inner");
    ASSERT_EQ(::symlink("sub", Media("/Mixed/to-sub").c_str()), 0);
    ASSERT_EQ(::symlink("plain.txt", Media("/Mixed/to-plain").c_str()), 0);
    std::vector<DeviceFileInfo> entries;
    ASSERT_TRUE(phone_->ListDirectoryInfo("Mixed/", entries));
    std::vector<std::string> names;
    for (const DeviceFileInfo& entry : entries)
        names.push_back(entry.name);
    // Byte order; a backslash in a name reads as a folder separator on the way to the device.
    EXPECT_EQ(names, (std::vector<std::string>{"slash", "plain.txt", "sub", "to-plain", "to-sub",
                                               "with space & \xc3\xa9.bin"}));
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[0].path, "/Mixed/back/slash");
    EXPECT_FALSE(entries[0].infoRead);  // no such path on the device
    const DeviceFileInfo& plain = entries[1];
    EXPECT_EQ(plain.path, "/Mixed/plain.txt");
    EXPECT_EQ(plain.size, 321u);
    EXPECT_EQ(plain.fileType, kDeviceFileRegular);
    EXPECT_EQ(static_cast<int64_t>(plain.modifiedTime / 1000000000),
              platform::LastWriteTime(Media(plain.path)));
    EXPECT_GT(plain.birthTime, 0u);
    EXPECT_TRUE(plain.infoRead);
    EXPECT_EQ(entries[2].fileType, kDeviceFolder);
    EXPECT_FALSE(entries[2].isLink);
    EXPECT_EQ(entries[3].fileType, kDeviceFileLink);
    EXPECT_TRUE(entries[3].isLink);
    EXPECT_EQ(entries[4].fileType, kDeviceFolder);
    EXPECT_TRUE(entries[4].isLink);
    EXPECT_EQ(entries[5].path, "/Mixed/with space & \xc3\xa9.bin");
    EXPECT_EQ(entries[5].size, 1u);

    std::vector<DeviceFileInfo> top;
    ASSERT_TRUE(phone_->ListDirectoryInfo("/", top));
    const auto mixed = std::find_if(
        top.begin(), top.end(), [](const DeviceFileInfo& entry) { return entry.name == "Mixed"; });
    ASSERT_NE(mixed, top.end());
    EXPECT_EQ(mixed->path, "/Mixed");
    EXPECT_EQ(mixed->fileType, kDeviceFolder);
    EXPECT_FALSE(phone_->ListDirectoryInfo("/Mixed/plain.txt", entries));
    EXPECT_FALSE(phone_->ListDirectoryInfo("/Missing", entries));
    EXPECT_EQ(sim_.Counters().directories, 0);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileService, DirectoryOpenedForTheCallerIsClosedByTheCaller) {
    rt::AFCDirectoryRef directory = nullptr;
    ASSERT_TRUE(phone_->OpenDirectory("/DCIM", directory));
    ASSERT_NE(directory, nullptr);
    // Over the wire a directory is read whole in one request: the runtime keeps the names and
    // the simulator's side holds nothing open.
    EXPECT_EQ(sim_.Counters().directories, testing::kOverWire ? 0 : 1);
    size_t count = 0;
    char* name = nullptr;
    while (Runtime().AFCDirectoryRead(phone_->afcConnection, directory, &name) == 0 &&
           name != nullptr) {
        ++count;
    }
    std::vector<platform::FolderEntry> onImage;
    ASSERT_TRUE(platform::ListFolder(Media("/DCIM"), onImage));
    EXPECT_EQ(count, onImage.size() + 2);  // with "." and ".."
    EXPECT_GE(count, 5u);                  // 100APPLE, Latest, LatestPhoto.JPG at least
    Runtime().AFCDirectoryClose(phone_->afcConnection, directory);
    EXPECT_FALSE(phone_->OpenDirectory("/Missing", directory));
    EXPECT_EQ(directory, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileService, MakeDirectoryCreatesAndRecordsSuccess) {
    phone_->lastResult = 1;
    EXPECT_TRUE(phone_->MakeDirectory("/Downloads/New Folder/Inner"));
    EXPECT_EQ(phone_->lastResult, 0);
    EXPECT_TRUE(platform::IsFolder(Media("/Downloads/New Folder/Inner")));
    phone_->lastResult = 1;
    ASSERT_TRUE(sim_.InjectFailure("AFCDirectoryCreate", nullptr, 10));
    EXPECT_FALSE(phone_->MakeDirectory("/Downloads/Refused"));
    EXPECT_EQ(phone_->lastResult, 1);
    EndListening();
}

// RemovePath takes a file or an empty folder; RemoveTree takes a file, a folder with everything
// below it, or a link as a link, and never follows a link out of the tree.
TEST_F(FileService, RemovePathAndRemoveTree) {
    WriteMedia("/Downloads/x.bin", "x");
    WriteMedia("/Downloads/full/y.bin", "y");
    EXPECT_TRUE(phone_->RemovePath("/Downloads/x.bin"));
    EXPECT_FALSE(platform::PathExists(Media("/Downloads/x.bin")));
    EXPECT_FALSE(phone_->RemovePath("/Downloads/x.bin"));
    EXPECT_FALSE(phone_->RemovePath("/Downloads/full"));
    EXPECT_TRUE(platform::IsFile(Media("/Downloads/full/y.bin")));
    EXPECT_TRUE(phone_->RemoveDevicePath("/Downloads/full/y.bin"));
    EXPECT_TRUE(phone_->RemovePath("/Downloads/full"));
    EXPECT_FALSE(platform::PathExists(Media("/Downloads/full")));

    WriteMedia("/Downloads/keep.txt", "keep");
    WriteMedia("/Downloads/drop.txt", "drop");
    EXPECT_TRUE(phone_->RemoveTree("/Downloads/drop.txt"));
    EXPECT_FALSE(platform::PathExists(Media("/Downloads/drop.txt")));
    EXPECT_FALSE(phone_->RemoveTree("/Downloads/drop.txt"));

    WriteMedia("/Downloads/tree/a.txt", "a");
    WriteMedia("/Downloads/tree/sub/deeper/c.txt", "c");
    ASSERT_TRUE(platform::CreateFolders(Media("/Downloads/tree/empty")));
    // Links to a folder and to a file outside the tree: the links go, their targets stay.
    ASSERT_EQ(::symlink("../../DCIM/100APPLE", Media("/Downloads/tree/photos").c_str()), 0);
    ASSERT_EQ(
        ::symlink("../../DCIM/100APPLE/IMG_0001.JPG", Media("/Downloads/tree/one.jpg").c_str()), 0);
    std::vector<platform::FolderEntry> before, photos;
    ASSERT_TRUE(platform::ListFolder(Media("/DCIM/100APPLE"), before));
    ASSERT_FALSE(before.empty());
    EXPECT_TRUE(phone_->RemoveTree("/Downloads/tree"));
    EXPECT_FALSE(platform::PathExists(Media("/Downloads/tree")));
    EXPECT_TRUE(platform::IsFile(Media("/Downloads/keep.txt")));
    ASSERT_TRUE(platform::ListFolder(Media("/DCIM/100APPLE"), photos));
    EXPECT_EQ(photos.size(), before.size());
    // A link to a folder given as the tree itself is removed as a link.
    EXPECT_TRUE(phone_->RemoveTree("/DCIM/Latest"));
    EXPECT_EQ(::access(Media("/DCIM/Latest").c_str(), F_OK), -1);
    EXPECT_TRUE(platform::IsFile(Media("/DCIM/100APPLE/IMG_0002.JPG")));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileService, OpenFileReadsWritesAndStats) {
    WriteMedia("/Books/data.bin", "0123456789");
    CiPhoneFile file(phone_->afcConnection, "/Books/data.bin", 1);
    ASSERT_EQ(file.status, 0);
    EXPECT_EQ(file.Size(), 10u);
    char buffer[4] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    file.Close();
    EXPECT_EQ(file.file, 0u);
    file.Close();  // once only
    EXPECT_EQ(sim_.Counters().afcFiles, 0);
    EXPECT_EQ(file.Read(buffer, sizeof buffer), -1);

    CiPhoneFile missing(phone_->afcConnection, "/Books/none.bin", 1);
    EXPECT_NE(missing.status, 0);
    EXPECT_EQ(missing.file, 0u);
    EXPECT_FALSE(missing.Write("x", 1));

    CiPhoneFile written(phone_->afcConnection, "/Books/new.bin", 3);
    ASSERT_EQ(written.status, 0);
    EXPECT_TRUE(written.Write("abc", 3));
    written.Close();
    EXPECT_EQ(ReadFileBytes(Media("/Books/new.bin")), "abc");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(FileService, AppContainerTakesOverTheFileOperationsUntilClosed) {
    const std::string container =
        sim::ImagePath(image_, "/var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000DEMO");
    ASSERT_TRUE(platform::CreateFolders(container + "/Demo.app"));
    ASSERT_TRUE(platform::WriteFileAtomic(
        container + "/Demo.app/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>com.example.demo</string></dict></plist>\n"));
    ASSERT_TRUE(platform::CreateFolders(container + "/Documents"));
    ASSERT_TRUE(platform::WriteFileAtomic(container + "/Documents/notes.txt", "notes"));

    EXPECT_FALSE(phone_->OpenAppContainer("com.example.unknown"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EXPECT_TRUE(phone_->IsDirectory("/DCIM"));

    ASSERT_TRUE(phone_->OpenAppContainer("com.example.demo"));
    EXPECT_EQ(phone_->afcConnection, phone_->containerAfc);
    EXPECT_TRUE(phone_->FileExists("/Documents/notes.txt"));
    EXPECT_FALSE(phone_->FileExists("/DCIM"));
    EXPECT_EQ(sim_.Counters().sessions, 1);  // the session stays open for the caller
    EXPECT_EQ(sim_.Counters().afcConnections, 2);
    phone_->CloseSession();
    EXPECT_EQ(sim_.Counters().sessions, 0);

    phone_->CloseAppContainer();
    EXPECT_EQ(phone_->afcConnection, phone_->currentAfc);
    EXPECT_TRUE(phone_->IsDirectory("/DCIM"));
    ExpectOpen(kWiredAfc, kWiredServices);

    // A container still open when the device leaves is closed with it.
    ASSERT_TRUE(phone_->OpenAppContainer("com.example.demo"));
    phone_->CloseSession();
    EndListening();
}

TEST_F(FileService, CrashReportsAreListedAndRemovedOnTheirOwnConnection) {
    const std::string area = sim::ImagePath(image_, "/", sim::ImageRoot::CrashReports);
    // The test's own crash-report area, without the image's logs.
    ASSERT_TRUE(platform::DeleteTree(area));
    ASSERT_TRUE(platform::CreateFolders(area));
    ASSERT_TRUE(platform::WriteFileAtomic(area + "/Demo_2014-08-16-101010_iPhone.crash", "c"));
    ASSERT_TRUE(platform::CreateFolders(area + "/Panics"));
    rt::AFCConnectionRef connection = phone_->OpenCrashReportService();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(sim_.Counters().sessions, 1);
    std::vector<std::string> names;
    ASSERT_TRUE(phone_->ListCrashReports(connection, "/", names));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Demo_2014-08-16-101010_iPhone.crash", "Panics"}));
    EXPECT_TRUE(phone_->RemoveCrashReport(connection, "\\Demo_2014-08-16-101010_iPhone.crash"));
    EXPECT_FALSE(platform::PathExists(area + "/Demo_2014-08-16-101010_iPhone.crash"));
    EXPECT_FALSE(phone_->RemoveCrashReport(connection, "/missing.crash"));
    // The caller ends what the service opened.
    Runtime().AFCConnectionClose(connection);
    Runtime().AMDeviceStopSession(phone_->device);
    Runtime().AMDeviceDisconnect(phone_->device);
    ExpectOpen(kWiredAfc, kWiredServices);

    ASSERT_TRUE(sim_.InjectFailure(testing::kStartServiceCall, "com.apple.crashreportcopymobile",
                                   0xE8000022));
    EXPECT_EQ(phone_->OpenCrashReportService(), nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

}  // namespace
}  // namespace bw
