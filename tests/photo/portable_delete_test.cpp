// Camera-roll deletion through portable devices: the deletion entries of photos, the choice of the
// device and the walk over folders this test writes (served by the directory driver), and the
// photo manager deleting a camera-roll photo of a simulated phone end to end.
#include "photo/portable_delete.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/iphone.h"
#include "photo/photo.h"
#include "photo/photo_manager.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/ios_versions.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"

namespace bw::testing {
namespace portable_delete_test {

// What a deletion printed, one entry per line.
class Console {
  public:
    Console() : file_(open_memstream(&buffer_, &size_)) {}
    ~Console() {
        if (file_ != nullptr) std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() const { return file_; }
    std::vector<std::string> Lines() {
        std::fflush(file_);
        std::vector<std::string> lines;
        std::string text(buffer_ == nullptr ? "" : std::string(buffer_, size_));
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        EXPECT_EQ(start, text.size()) << "the last line is unfinished";
        return lines;
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    std::FILE* file_ = nullptr;
};

PhotoRef PhotoAt(const std::string& directory, const std::string& fileName) {
    auto photo = std::make_shared<CPhoto>(1, PhotoContext{nullptr, "7.1.2", ""});
    photo->directory = directory;
    photo->fileName = fileName;
    return photo;
}

TEST(PortableDeletionEntry, IsTheFileNameOfThePathCutAt259Characters) {
    EXPECT_EQ(PortableDeletionEntry(PhotoAt("DCIM/100APPLE", "IMG_0001.JPG").get()),
              "IMG_0001.JPG");
    EXPECT_EQ(PortableDeletionEntry(PhotoAt("DCIM/101APPLE", "Été.JPG").get()), "Été.JPG");
    EXPECT_EQ(PortableDeletionEntry(nullptr), "");
    // A photo whose names would leave its folder has no path, so no entry.
    EXPECT_EQ(PortableDeletionEntry(PhotoAt("DCIM/..", "x.JPG").get()), "");

    // "/" + 240 + "/" is 242 characters: a name of 17 fits whole, one of 18 loses its last.
    const std::string deep(240, 'd');
    EXPECT_EQ(PortableDeletionEntry(PhotoAt(deep, std::string(17, 'n')).get()),
              std::string(17, 'n'));
    EXPECT_EQ(PortableDeletionEntry(PhotoAt(deep, std::string(18, 'n')).get()),
              std::string(17, 'n'));
    // The cut counts UTF-16 characters, not bytes: "é" is two bytes and one character.
    EXPECT_EQ(PortableDeletionEntry(PhotoAt(deep, std::string("é") + std::string(17, 'n')).get()),
              std::string("é") + std::string(16, 'n'));
    // When the cut falls inside a character of two UTF-16 units, none of it is kept.
    EXPECT_EQ(PortableDeletionEntry(PhotoAt(deep, std::string(16, 'n') + "\xF0\x9F\x93\xB7").get()),
              std::string(16, 'n'));
    // A path whose last "/" lies beyond the cut gives the cut text after the last one kept.
    EXPECT_EQ(PortableDeletionEntry(PhotoAt(std::string(300, 'd'), "IMG.JPG").get()),
              std::string(258, 'd'));
}

class PortableDelete : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dcim_.path().empty());
        dcim_.Write("100APPLE/IMG_0001.JPG", "one");
        dcim_.Write("100APPLE/IMG_0002.JPG", "two");
        dcim_.Write("101APPLE/IMG_0001.JPG", "one again");
        dcim_.Write("101APPLE/IMG_0003.PNG", "three");
    }

    platform::PortableDeviceList Devices(std::vector<platform::PortableFolder> folders) {
        return platform::ListPortableDevices(folders, false);
    }

    platform::PortableFolder Phone(const std::string& friendlyName = "Apple iPhone",
                                   const std::string& serial = "C39ABC") const {
        return {friendlyName, serial, dcim_.path()};
    }

    // The files left below the folder, relative to it.
    std::set<std::string> Left() const {
        std::set<std::string> left;
        platform::WalkTree(dcim_.path(), [&](const std::string& path, const auto& entry) {
            if (!entry.isFolder) left.insert(path.substr(dcim_.path().size() + 1));
            return true;
        });
        return left;
    }

    const std::set<std::string> all_{"100APPLE/IMG_0001.JPG", "100APPLE/IMG_0002.JPG",
                                     "101APPLE/IMG_0001.JPG", "101APPLE/IMG_0003.PNG"};
    TempFolder dcim_;
    Console console_;
};

TEST_F(PortableDelete, DeletesEveryFileOfAListedNameInEveryFolderAndPrintsEachVisitedName) {
    DeleteFromPortableDevice("C39ABC", {"IMG_0001.JPG", "IMG_0003.PNG", "NOT_THERE.JPG"},
                             Devices({Phone()}), console_.file());

    EXPECT_EQ(Left(), (std::set<std::string>{"100APPLE/IMG_0002.JPG"}));
    EXPECT_EQ(ReadFileBytes(dcim_ / "100APPLE/IMG_0002.JPG"), "two");

    const std::vector<std::string> lines = console_.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Internal Storage");
    std::multiset<std::string> printed(lines.begin(), lines.end());
    EXPECT_EQ(printed, (std::multiset<std::string>{"Internal Storage", "100APPLE", "101APPLE",
                                                   "IMG_0001.JPG", "IMG_0001.JPG", "IMG_0002.JPG",
                                                   "IMG_0003.PNG"}));
    // Depth first: each folder's files come right after its own name.
    const auto folder = std::find(lines.begin(), lines.end(), "101APPLE");
    ASSERT_NE(folder, lines.end());
    ASSERT_LT(folder + 2, lines.end());
    EXPECT_EQ(std::set<std::string>(folder + 1, folder + 3),
              (std::set<std::string>{"IMG_0001.JPG", "IMG_0003.PNG"}));
}

TEST_F(PortableDelete, TheSerialNumberMustMatchExactlyAndTheNameMustSayApple) {
    DeleteFromPortableDevice("C39AB", {"IMG_0001.JPG"}, Devices({Phone()}), console_.file());
    DeleteFromPortableDevice("c39abc", {"IMG_0001.JPG"}, Devices({Phone()}), console_.file());
    DeleteFromPortableDevice("C39ABC", {"IMG_0001.JPG"},
                             Devices({Phone("Portable Camera", "C39ABC")}), console_.file());
    DeleteFromPortableDevice("C39ABC", {"IMG_0001.JPG"}, Devices({Phone("apple iphone")}),
                             console_.file());
    DeleteFromPortableDevice("C39ABC", {"IMG_0001.JPG"}, {}, console_.file());

    EXPECT_EQ(Left(), all_);
    EXPECT_TRUE(console_.Lines().empty());
}

TEST_F(PortableDelete, AnEmptySerialNumberMatchesNoDeviceWithoutOne) {
    DeleteFromPortableDevice("", {"IMG_0001.JPG"}, Devices({Phone("Apple iPhone", "")}),
                             console_.file());
    EXPECT_EQ(Left(), all_);
}

TEST_F(PortableDelete, OnlyTheFirstMatchingDeviceIsWalked) {
    TempFolder other;
    other.Write("100APPLE/IMG_0001.JPG", "other phone");
    DeleteFromPortableDevice("C39ABC", {"IMG_0001.JPG"},
                             Devices({Phone("Apple iPad", "SOMEONE-ELSE"),
                                      Phone(),
                                      {"Apple iPhone", "C39ABC", other.path()}}),
                             console_.file());
    EXPECT_EQ(Left(), (std::set<std::string>{"100APPLE/IMG_0002.JPG", "101APPLE/IMG_0003.PNG"}));
    EXPECT_EQ(ReadFileBytes(other / "100APPLE/IMG_0001.JPG"), "other phone");
}

TEST_F(PortableDelete, FoldersOfAListedNameAreWalkedNotDeleted) {
    DeleteFromPortableDevice("C39ABC", {"101APPLE", "Internal Storage", "IMG_0002.JPG"},
                             Devices({Phone()}), console_.file());
    EXPECT_EQ(Left(), (std::set<std::string>{"100APPLE/IMG_0001.JPG", "101APPLE/IMG_0001.JPG",
                                             "101APPLE/IMG_0003.PNG"}));
    EXPECT_TRUE(platform::IsFolder(dcim_ / "101APPLE"));
}

TEST_F(PortableDelete, AnUnreadableDeviceListIsReportedAndNothingIsDeleted) {
    platform::PortableDeviceList failed = Devices({Phone()});
    failed.ok = false;
    failed.errorCode = -7;
    DeleteFromPortableDevice("C39ABC", {"IMG_0001.JPG"}, std::move(failed), console_.file());
    EXPECT_EQ(console_.Lines(),
              (std::vector<std::string>{"! Failed to get the device list from the system, hr = "
                                        "0xfffffff9"}));
    EXPECT_EQ(Left(), all_);
}

TEST_F(PortableDelete, NamesWithControlCharactersStayOnOneConsoleLine) {
    dcim_.Write("100APPLE/A\nB\x1b[2J.JPG", "x");
    DeleteFromPortableDevice("C39ABC", {"A\nB\x1b[2J.JPG"}, Devices({Phone()}), console_.file());
    const std::vector<std::string> lines = console_.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "A?B?[2J.JPG"), lines.end());
    EXPECT_EQ(Left(), all_);
}

// The photo manager on a simulated phone: the device serves its camera roll as a portable device
// and drops the rows of camera-roll photos whose files are gone when the store is next read.
class ManagerCameraRoll : public OnePhoneTest, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override {
        OnePhoneTest::SetUp();
        ASSERT_TRUE(platform::SetEnv("TMPDIR", folder_.path()));
    }
    void TearDown() override {
        managers_.clear();
        // Each listed phone keeps its own connections; the managers and deletions left nothing.
        ExpectOpen(kWiredAfc * phones_, kWiredServices * phones_);
        EndListening();
    }

    CPhotoManager& Manager(CIPhone* phone) {
        managers_.push_back(std::make_unique<CPhotoManager>(phone));
        CPhotoManager& manager = *managers_.back();
        manager.LoadAlbums();
        manager.LoadPhotos();
        return manager;
    }

    std::string Media(const std::string& image, const std::string& devicePath) const {
        return sim::ImagePath(image, devicePath, sim::ImageRoot::Media);
    }

    // Every listed photo: asset key -> device path and size.
    static std::map<int32_t, std::pair<std::string, int64_t>> Listed(CPhotoManager& manager) {
        std::map<int32_t, std::pair<std::string, int64_t>> listed;
        for (int32_t i = 0; IPhoto* photo = manager.GetPhoto(i); ++i) {
            std::string path(photo->GetDevicePath(nullptr), '\0');
            photo->GetDevicePath(path.data());
            path.pop_back();
            listed[photo->GetAssetKey()] = {path, photo->GetFileSize()};
        }
        return listed;
    }

    static IPhoto* FindByPath(CPhotoManager& manager, const std::string& devicePath) {
        for (int32_t i = 0; IPhoto* photo = manager.GetPhoto(i); ++i) {
            std::string path(photo->GetDevicePath(nullptr), '\0');
            photo->GetDevicePath(path.data());
            path.pop_back();
            if (path == devicePath && photo->GetAlbumKey() == 1) return photo;
        }
        return nullptr;
    }

    std::vector<std::unique_ptr<CPhotoManager>> managers_;
    long phones_ = 0;
};

TEST_P(ManagerCameraRoll, DeletedPhotoLeavesTheDeviceAndTheReloadedLibraryAloneOfAllPhotos) {
    sim::ImageOptions options;
    options.iosVersion = GetParam();
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    phones_ = 1;
    CPhotoManager& manager = Manager(phone);
    const auto before = Listed(manager);
    IPhoto* victim = FindByPath(manager, "/DCIM/100APPLE/IMG_0002.JPG");
    ASSERT_NE(victim, nullptr);
    const int32_t victimKey = victim->GetAssetKey();
    const std::string neighbour = Media(image_, "DCIM/100APPLE/IMG_0001.JPG");
    const std::string neighbourBytes = ReadFileBytes(neighbour);
    ASSERT_FALSE(neighbourBytes.empty());

    ::testing::internal::CaptureStdout();
    manager.DeletePhotos(&victim, 1);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Internal Storage\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("IMG_0002.JPG\n"), std::string::npos) << printed;

    EXPECT_FALSE(platform::PathExists(Media(image_, "DCIM/100APPLE/IMG_0002.JPG")));
    EXPECT_EQ(ReadFileBytes(neighbour), neighbourBytes);
    // Synced photos of the same name live outside the camera roll and are no portable objects.
    EXPECT_TRUE(platform::IsFile(Media(image_, "PhotoData/Sync/100SYNCD/IMG_0002.JPG")));

    ASSERT_EQ(manager.ReloadLibrary(), 1);
    auto expected = before;
    expected.erase(victimKey);
    EXPECT_EQ(Listed(manager), expected);
}

TEST_P(ManagerCameraRoll, OnlyTheManagersOwnPhoneLosesThePhoto) {
    Listen();
    sim::ImageOptions options;
    options.iosVersion = GetParam();
    const std::string first = MakeImage("first", options);
    options.seed = 2;
    const std::string second = MakeImage("second", options);
    CIPhone* firstPhone = Arrive(first);
    CIPhone* secondPhone = Arrive(second);
    phones_ = (firstPhone != nullptr) + (secondPhone != nullptr);
    ASSERT_NE(firstPhone, nullptr);
    ASSERT_NE(secondPhone, nullptr);
    ASSERT_NE(firstPhone->serialNumber, secondPhone->serialNumber);
    CPhotoManager& secondManager = Manager(secondPhone);
    const auto secondBefore = Listed(secondManager);
    CPhotoManager& firstManager = Manager(firstPhone);
    IPhoto* victim = FindByPath(firstManager, "/DCIM/100APPLE/IMG_0003.JPG");
    ASSERT_NE(victim, nullptr);
    const int32_t key = victim->GetAssetKey();

    ::testing::internal::CaptureStdout();
    firstManager.DeletePhotosByKey(&key, 1);
    ::testing::internal::GetCapturedStdout();

    EXPECT_FALSE(platform::PathExists(Media(first, "DCIM/100APPLE/IMG_0003.JPG")));
    EXPECT_TRUE(platform::IsFile(Media(second, "DCIM/100APPLE/IMG_0003.JPG")));
    ASSERT_EQ(secondManager.ReloadLibrary(), 1);
    EXPECT_EQ(Listed(secondManager), secondBefore);
}

INSTANTIATE_TEST_SUITE_P(Versions, ManagerCameraRoll, EachIosVersion(), IosVersionName);

}  // namespace portable_delete_test
}  // namespace bw::testing
