// The image builder on disk: same options give the same bytes (the scan and backup tests compare
// against images built twice), links stay inside their service roots, and device paths stay
// inside their root. Options, switches and the folders of each version are exercised by the
// library's device, backup and command-line tests.
#include <plist/plist.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <filesystem>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "support/build_paths.h"
#include "support/canary.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

// Everything about one entry of a tree that a build must reproduce.
struct Entry {
    std::string path;
    char kind = '?';  // d, f or l
    unsigned mode = 0;
    int64_t mtime = 0;
    std::string content;  // file bytes or link target

    bool operator==(const Entry&) const = default;
};

std::vector<Entry> Snapshot(const std::string& root) {
    std::vector<Entry> entries;
    std::vector<std::string> pending = {""};
    while (!pending.empty()) {
        const std::string relative = pending.back();
        pending.pop_back();
        const std::string host = relative.empty() ? root : root + "/" + relative;
        struct stat info {};
        if (::lstat(host.c_str(), &info) != 0) continue;
        Entry entry{relative, '?', info.st_mode & 07777u, info.st_mtim.tv_sec, {}};
        if (S_ISDIR(info.st_mode)) {
            entry.kind = 'd';
            for (const auto& child : fs::directory_iterator(host))
                pending.push_back((relative.empty() ? "" : relative + "/") +
                                  child.path().filename().string());
        } else if (S_ISLNK(info.st_mode)) {
            entry.kind = 'l';
            entry.content = fs::read_symlink(host).string();
        } else {
            entry.kind = 'f';
            entry.content = testing::ReadFileBytes(host);
        }
        entries.push_back(std::move(entry));
    }
    std::sort(entries.begin(), entries.end(),
              [](const Entry& a, const Entry& b) { return a.path < b.path; });
    return entries;
}

std::string PlistText(const std::string& image, const char* key) {
    const std::string xml = testing::ReadFileBytes(image + "/device.plist");
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    std::string text;
    if (plist_t node = root != nullptr ? plist_dict_get_item(root, key) : nullptr;
        node != nullptr && plist_get_node_type(node) == PLIST_STRING) {
        char* value = nullptr;
        plist_get_string_val(node, &value);
        text = value;
        std::free(value);
    }
    plist_free(root);
    return text;
}

class SimImageBuilder : public ::testing::Test {
  protected:
    std::string Build(const std::string& name, const ImageOptions& options) {
        const std::string path = folder / name;
        std::string error;
        EXPECT_TRUE(CreateImage(path, options, error)) << error;
        return path;
    }

    testing::TempFolder folder;
};

TEST_F(SimImageBuilder, SameOptionsGiveByteIdenticalImagesAndSeedsOtherIdentities) {
    for (const std::string& version : SupportedIosVersions()) {
        ImageOptions options;
        options.iosVersion = version;
        options.seed = 42;
        const std::vector<Entry> first = Snapshot(Build("a" + version, options));
        const std::vector<Entry> second = Snapshot(Build("b" + version, options));
        ASSERT_GT(first.size(), 50u);
        EXPECT_TRUE(first == second) << version;
    }
    ImageOptions options;
    const std::string one = Build("one", options);
    options.seed = 2;
    const std::string two = Build("two", options);
    for (const char* key :
         {"UniqueDeviceID", "SerialNumber", "InternationalMobileEquipmentIdentity",
          "IntegratedCircuitCardIdentity", "WiFiAddress"}) {
        EXPECT_NE(PlistText(one, key), PlistText(two, key)) << key;
        EXPECT_FALSE(PlistText(one, key).empty()) << key;
    }
    const std::string photo = "/var/mobile/Media/DCIM/100APPLE/IMG_0001.JPG";
    EXPECT_NE(testing::ReadFileBytes(ImagePath(one, photo)),
              testing::ReadFileBytes(ImagePath(two, photo)));
}

TEST_F(SimImageBuilder, EveryLinkIsRelativeAndStaysInsideItsServiceRoot) {
    ImageOptions options;
    const std::string image = Build("links", options);
    const std::string fsRoot = fs::canonical(image + "/fs").string();
    int folderLinks = 0, fileLinks = 0;
    for (const auto& item : fs::recursive_directory_iterator(image + "/fs")) {
        if (!item.is_symlink()) continue;
        const std::string devicePath = item.path().string().substr(fsRoot.size());
        EXPECT_TRUE(fs::read_symlink(item.path()).is_relative()) << devicePath;
        // The deepest root holding the link; each application container is its own root.
        std::string root = "/";
        for (const ImageRoot candidate :
             {ImageRoot::Media, ImageRoot::Home, ImageRoot::CrashReports, ImageRoot::Applications,
              ImageRoot::Wireless}) {
            const std::string path = RootDevicePath(candidate);
            if (devicePath.rfind(path + "/", 0) == 0 && path.size() > root.size()) root = path;
        }
        const std::string rootHost = fs::canonical(ImagePath(image, root)).string();
        const std::string resolved = fs::canonical(item.path()).string();
        EXPECT_EQ(resolved.rfind(rootHost + "/", 0), 0u) << devicePath << " -> " << resolved;
        if (root == RootDevicePath(ImageRoot::Media))
            (fs::is_directory(resolved) ? folderLinks : fileLinks) += 1;
    }
    EXPECT_GE(folderLinks, 1);
    EXPECT_GE(fileLinks, 1);
}

TEST_F(SimImageBuilder, ImagePathKeepsDevicePathsInsideTheirRoot) {
    const std::string image = "/images/x";
    EXPECT_EQ(ImagePath(image, "var/mobile//Media/./DCIM/"), "/images/x/fs/var/mobile/Media/DCIM");
    EXPECT_EQ(ImagePath(image, "/DCIM/../../../etc/passwd", ImageRoot::Media),
              "/images/x/fs/var/mobile/Media/etc/passwd");
    EXPECT_EQ(ImagePath(image, "..", ImageRoot::CrashReports),
              "/images/x/fs/var/mobile/Library/Logs/CrashReporter");
    EXPECT_EQ(ImagePath(image, "/../..", ImageRoot::FileSystem), "/images/x/fs");
}

// A folder holding a device.plist with a "Simulator" dictionary, like an image's, and a canary.
std::string LookalikeImage(const testing::TempFolder& folder, const std::string& name) {
    const std::string victim = folder / name;
    testing::PlantCanary(victim);
    folder.Write(name + "/device.plist",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
                 "<key>UniqueDeviceID</key><string>" +
                     std::string(40, 'a') + "</string><key>Simulator</key><dict/></dict></plist>");
    return victim;
}

// Neither the library call nor the tool replaces the folder; the tool says so in one line.
void ExpectRefusedAndUnchanged(const testing::TempFolder& folder, const std::string& victim) {
    SCOPED_TRACE(victim);
    const testing::TreeFingerprint before = testing::FingerprintTree(victim);
    std::string error;
    EXPECT_FALSE(CreateImage(victim, ImageOptions{}, error));
    EXPECT_NE(error.find("no image this tool made"), std::string::npos) << error;
    EXPECT_EQ(testing::FingerprintTree(victim), before);

    const std::string out = folder / "out", err = folder / "err";
    const int status = std::system(
        (std::string(BRACKWATER_SIM_TOOL_PATH) + " create '" + victim + "' >" + out + " 2>" + err)
            .c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    const std::string said = testing::ReadFileBytes(err);
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("refusing to replace"), std::string::npos) << said;
    EXPECT_EQ(testing::FingerprintTree(victim), before);
}

// Replacing a folder deletes everything in it, so a device.plist that merely looks like an
// image's does not make a folder replaceable; an image the builder made is replaced as a whole.
TEST_F(SimImageBuilder, OnlyImagesTheBuilderMadeAreReplaced) {
    ExpectRefusedAndUnchanged(folder, LookalikeImage(folder, "hand-made"));

    const std::string made = Build("made", ImageOptions{});
    const std::string oldUdid = PlistText(made, "UniqueDeviceID");
    folder.Write("made/fs/left-over.txt", "from the old image");
    ImageOptions other;
    other.seed = 7;
    std::string error;
    ASSERT_TRUE(CreateImage(made, other, error)) << error;
    EXPECT_NE(PlistText(made, "UniqueDeviceID"), oldUdid);
    EXPECT_FALSE(fs::exists(made + "/fs/left-over.txt"));
}

// The builder's mark counts only as the builder writes it: a regular file with its content.
TEST_F(SimImageBuilder, AMarkThatIsALinkOrSaysMoreDoesNotCount) {
    const std::string marker = Build("made", ImageOptions{}) + "/.brackwater-sim-image";
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(marker)));

    const std::string linked = LookalikeImage(folder, "linked-marker");
    fs::create_symlink(marker, linked + "/.brackwater-sim-image");
    ExpectRefusedAndUnchanged(folder, linked);

    const std::string longer = LookalikeImage(folder, "longer-marker");
    folder.Write("longer-marker/.brackwater-sim-image", testing::ReadFileBytes(marker) + "more\n");
    ExpectRefusedAndUnchanged(folder, longer);

    // A copy of the mark as a regular file is the mark.
    const std::string copied = LookalikeImage(folder, "copied-marker");
    folder.Write("copied-marker/.brackwater-sim-image", testing::ReadFileBytes(marker));
    std::string error;
    EXPECT_TRUE(CreateImage(copied, ImageOptions{}, error)) << error;
    EXPECT_FALSE(fs::exists(copied + "/file.txt"));
}

}  // namespace
}  // namespace bw::sim
