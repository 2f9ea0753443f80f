// No AFC path leaves its service's root: hostile paths, links that point outside (absolute or
// climbing), loops, and special files in an image, against every path function.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "md_support.h"

namespace bw::sim::mdtest {
namespace {

namespace fs = std::filesystem;

class SimMdAfcPaths : public SimMdTest {
  protected:
    void SetUp() override {
        SimMdTest::SetUp();
        // A hand-made image: the outside folder sits beside fs/, as the rest of the host does.
        image_ = folder_ / "image";
        folder_.Write("image/device.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                      "<key>UniqueDeviceID</key><string>" +
                          std::string(40, '1') +
                          "</string><key>ProductType</key><string>iPhone5,2</string>"
                          "<key>Simulator</key><dict><key>HasAFC2</key><true/></dict>"
                          "</dict></plist>");
        media_ = image_ + "/fs/var/mobile/Media";
        outside_ = folder_ / "outside";
        folder_.Write("image/fs/var/mobile/Media/Books/book.txt", "book");
        folder_.Write("image/fs/var/mobile/secret.txt", "above the media root");
        folder_.Write("outside/victim.txt", "host file");
        device_ = Device(Attach(image_));
        afc_ = OpenAfc(device_);
        ASSERT_NE(afc_, nullptr);
    }

    void TearDown() override {
        if (afc_ != nullptr) {
            EXPECT_EQ(AFCConnectionClose(afc_), 0);
        }
        EXPECT_EQ(testing::ReadFileBytes(outside_ + "/victim.txt"), "host file");
        EXPECT_EQ(Counters().afcFiles, 0);
        SimMdTest::TearDown();
    }

    void Link(const std::string& target, const std::string& name) {
        ASSERT_EQ(::symlink(target.c_str(), (media_ + "/" + name).c_str()), 0) << name;
    }

    // Every function that follows paths refuses this one with "not found", and nothing outside
    // the root changes.
    void ExpectSealed(const std::string& path) {
        SCOPED_TRACE(path);
        AFCFileRef file = 0;
        for (uint64_t mode = 1; mode <= 6; ++mode)
            EXPECT_EQ(AFCFileRefOpen(afc_, path.c_str(), mode, &file), 8) << mode;
        int status = 0;
        List(afc_, path.c_str(), &status);
        EXPECT_EQ(status, 8);
        ListWithInfo(afc_, path.c_str(), &status);
        EXPECT_EQ(status, 8);
        EXPECT_EQ(AFCDirectoryCreate(afc_, path.c_str()), 8);
        EXPECT_EQ(AFCDirectoryCreate(afc_, (path + "/sub").c_str()), 8);
        EXPECT_EQ(AFCRemovePath(afc_, (path + "/victim.txt").c_str()), 8);
        EXPECT_EQ(AFCRenamePath(afc_, "/Books/book.txt", (path + "/moved.txt").c_str()), 8);
        EXPECT_EQ(AFCRenamePath(afc_, (path + "/victim.txt").c_str(), "/stolen.txt"), 8);
        Info(afc_, (path + "/victim.txt").c_str(), &status);
        EXPECT_EQ(status, 8);
        EXPECT_EQ(std::distance(fs::directory_iterator(outside_), fs::directory_iterator()), 1);
        EXPECT_EQ(ReadDeviceFile(afc_, "/Books/book.txt"), "book");
    }

    std::string image_;
    std::string media_;
    std::string outside_;
    AMDeviceRef device_ = nullptr;
    AFCConnectionRef afc_ = nullptr;
};

TEST_F(SimMdAfcPaths, DotDotStopsAtTheRoot) {
    EXPECT_EQ(ReadDeviceFile(afc_, "../../etc/passwd"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(afc_, "/../secret.txt"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(afc_, "../../../../Books/book.txt"), "book");
    EXPECT_EQ(ReadDeviceFile(afc_, "/Books/../../Books/./book.txt"), "book");
    EXPECT_EQ(ReadDeviceFile(afc_, "Books//book.txt"), "book");
    ASSERT_EQ(WriteDeviceFile(afc_, "../../../x.txt", "x"), 0);
    EXPECT_TRUE(fs::exists(media_ + "/x.txt"));
    EXPECT_FALSE(fs::exists(image_ + "/fs/var/mobile/x.txt"));
    EXPECT_FALSE(fs::exists(image_ + "/x.txt"));
    ASSERT_EQ(AFCDirectoryCreate(afc_, "../../made"), 0);
    EXPECT_TRUE(fs::is_directory(media_ + "/made"));
    EXPECT_EQ(Info(afc_, "..")["st_ifmt"], "S_IFDIR");
    EXPECT_EQ(List(afc_, "../.."), List(afc_, "/"));
}

// Links that point outside the root, absolutely, by climbing, at the end of a chain or in a
// loop, read as links but lead nowhere; the same chain ending inside works.
TEST_F(SimMdAfcPaths, LinksThatLeaveTheRootLeadNowhere) {
    struct Planted {
        std::string target;
        const char* name;
    };
    const Planted links[] = {
        {outside_, "out"},
        {"/var/mobile", "device"},  // absolute on the device: outside this root too
        {"..", "up"},
        {"Books/../..", "sneaky"},
        {"../../../../outside", "far"},
        {"../../..", "Books/deep"},
        {"second", "first"},
        {"Books/third", "second"},
        {"../..", "Books/third"},
        {"b", "a"},
        {"a", "b"},
        {"self", "self"},
    };
    for (const Planted& link : links)
        Link(link.target, link.name);
    const auto started = std::chrono::steady_clock::now();
    for (const char* sealed :
         {"/out", "/device", "/up", "/sneaky", "/far", "/Books/deep", "/first", "/a", "/self"})
        ExpectSealed(sealed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(Info(afc_, "/out").at("st_ifmt"), "S_IFLNK");
    EXPECT_EQ(Info(afc_, "/out").at("LinkTarget"), outside_);
    EXPECT_EQ(Info(afc_, "/a").at("st_ifmt"), "S_IFLNK");
    const std::vector<std::string> names = List(afc_, "/");
    EXPECT_NE(std::find(names.begin(), names.end(), "out"), names.end());
    EXPECT_EQ(ReadDeviceFile(afc_, "/up/secret.txt"), std::nullopt);

    ASSERT_EQ(::unlink((media_ + "/Books/third").c_str()), 0);
    Link(".", "Books/third");
    EXPECT_EQ(ReadDeviceFile(afc_, "/first/book.txt"), "book");
    EXPECT_EQ(AFCRemovePath(afc_, "/self"), 0) << "a loop itself can go";
}

TEST_F(SimMdAfcPaths, RemovingALinkToTheOutsideRemovesOnlyTheLink) {
    Link(outside_ + "/victim.txt", "victim");
    Link(outside_, "out");
    EXPECT_EQ(AFCRemovePath(afc_, "/victim"), 0);
    EXPECT_EQ(AFCRemovePath(afc_, "/out"), 0);
    EXPECT_FALSE(fs::is_symlink(media_ + "/out"));
    EXPECT_TRUE(fs::exists(outside_ + "/victim.txt"));
}

// The listing with information tells of each entry what the host's file system says of it, a
// link described and not followed, in the order of the plain listing.
TEST_F(SimMdAfcPaths, ListingWithInformationDescribesEachEntryInPlace) {
    folder_.Write("image/fs/var/mobile/Media/Books/long.txt", std::string(5000, 'x'));
    ASSERT_EQ(::mkdir((media_ + "/Books/sub").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("sub", (media_ + "/Books/to-sub").c_str()), 0);
    ASSERT_EQ(::symlink(outside_.c_str(), (media_ + "/Books/out").c_str()), 0);
    int status = -1;
    const auto entries = ListWithInfo(afc_, "/Books", &status);
    ASSERT_EQ(status, 0);
    std::vector<std::string> names;
    for (const auto& [name, pairs] : entries)
        names.push_back(name);
    EXPECT_EQ(names, List(afc_, "/Books"));
    ASSERT_EQ(entries.size(), 7u);  // ".", "..", book.txt, long.txt, out, sub, to-sub
    EXPECT_TRUE(entries[0].second.empty());
    EXPECT_TRUE(entries[1].second.empty());
    std::map<std::string, std::map<std::string, std::string>> byName(entries.begin() + 2,
                                                                     entries.end());
    EXPECT_EQ(byName["book.txt"]["st_size"], "4");
    EXPECT_EQ(byName["book.txt"]["st_ifmt"], "S_IFREG");
    EXPECT_EQ(byName["long.txt"]["st_size"], "5000");
    EXPECT_EQ(byName["sub"]["st_ifmt"], "S_IFDIR");
    EXPECT_EQ(byName["to-sub"]["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(byName["to-sub"]["LinkTarget"], "sub");
    EXPECT_EQ(byName["out"]["st_ifmt"], "S_IFLNK");
    EXPECT_EQ(byName["out"]["LinkTarget"], outside_);
    struct stat host {};
    ASSERT_EQ(::stat((media_ + "/Books/long.txt").c_str(), &host), 0);
    EXPECT_EQ(byName["long.txt"]["st_mtime"],
              std::to_string(static_cast<uint64_t>(host.st_mtim.tv_sec) * 1000000000u +
                             static_cast<uint64_t>(host.st_mtim.tv_nsec)));
    EXPECT_EQ(byName["long.txt"]["st_nlink"], "1");

    // A plain listing carries no information, and a file is no folder to list.
    AFCDirectoryRef plain = nullptr;
    ASSERT_EQ(AFCDirectoryOpen(afc_, "/Books", &plain), 0);
    char* name = nullptr;
    char* info = nullptr;
    EXPECT_EQ(BwSimDirectoryReadWithInfo(afc_, plain, &name, &info), 7);
    EXPECT_EQ(AFCDirectoryClose(afc_, plain), 0);
    ListWithInfo(afc_, "/Books/book.txt", &status);
    EXPECT_EQ(status, 7);
    EXPECT_EQ(Counters().directories, 0);
}

// A failure armed for the information of one entry leaves that entry without it, as the query of
// that entry alone would have failed.
TEST_F(SimMdAfcPaths, ListingWithInformationHonoursAFailedEntry) {
    folder_.Write("image/fs/var/mobile/Media/Books/other.txt", "22");
    BwSimInjectFailure("AFCFileInfoOpen", "/Books/book.txt", 10, 1);
    const auto entries = ListWithInfo(afc_, "/Books");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[2].first, "book.txt");
    EXPECT_TRUE(entries[2].second.empty());
    EXPECT_EQ(entries[3].second.at("st_size"), "2");
    // The failure was used up: the entry is described again.
    EXPECT_EQ(ListWithInfo(afc_, "/Books/")[2].second.at("st_size"), "4");
}

TEST_F(SimMdAfcPaths, ImageRootsThemselvesStayInside) {
    // afc2 serves all of fs/; the image's own folder and the host lie above it.
    AFCConnectionRef whole = OpenAfc(device_, "com.apple.afc2");
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(ReadDeviceFile(whole, "/var/mobile/secret.txt"), "above the media root");
    EXPECT_EQ(ReadDeviceFile(whole, "/../device.plist"), std::nullopt);
    EXPECT_EQ(ReadDeviceFile(whole, "/../../outside/victim.txt"), std::nullopt);
    ASSERT_EQ(::symlink("../device.plist", (image_ + "/fs/plist").c_str()), 0);
    EXPECT_EQ(ReadDeviceFile(whole, "/plist"), std::nullopt);
    EXPECT_EQ(AFCConnectionClose(whole), 0);
}

TEST_F(SimMdAfcPaths, OverlongPathsAndNamesAreRefused) {
    const std::string longName(300, 'n');
    AFCFileRef file = 0;
    EXPECT_EQ(AFCFileRefOpen(afc_, ("/" + longName).c_str(), 3, &file), 7);
    std::string deep;
    while (deep.size() <= 1024)
        deep += "/d";
    EXPECT_EQ(AFCDirectoryCreate(afc_, deep.c_str()), 7);
    EXPECT_FALSE(fs::exists(media_ + "/d"));
    // Many ".." parts shrink to nothing before the length counts only when they fit.
    EXPECT_EQ(ReadDeviceFile(afc_, "/Books/book.txt"), "book");
}

TEST_F(SimMdAfcPaths, SpecialFilesInAnImageNeverBlock) {
    ASSERT_EQ(::mkfifo((media_ + "/pipe").c_str(), 0644), 0);
    EXPECT_EQ(Info(afc_, "/pipe").at("st_ifmt"), "S_IFIFO");
    AFCFileRef file = 0;
    EXPECT_EQ(AFCFileRefOpen(afc_, "/pipe", 1, &file), 10);
    EXPECT_EQ(AFCFileRefOpen(afc_, "/pipe", 3, &file), 10);
    // A folder whose name passes through a file is not found.
    EXPECT_EQ(ReadDeviceFile(afc_, "/Books/book.txt/inner"), std::nullopt);
    int status = 0;
    Info(afc_, "/Books/book.txt/inner", &status);
    EXPECT_EQ(status, 8);
}

}  // namespace
}  // namespace bw::sim::mdtest
