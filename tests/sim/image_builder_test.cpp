// The image builder on disk: same options give the same bytes, folders that are not images are
// never written into, links stay inside their service roots, switches change in place.
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include <filesystem>
#include <string>
#include <vector>

#include "image/image_builder.h"
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

// The node of a "Simulator" switch, through a callback so the tree is freed afterwards.
template <typename Check>
void WithSwitch(const std::string& image, const char* name, Check check) {
    const std::string xml = testing::ReadFileBytes(image + "/device.plist");
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    plist_t simulator = plist_dict_get_item(root, "Simulator");
    ASSERT_NE(simulator, nullptr);
    check(plist_dict_get_item(simulator, name), root);
    plist_free(root);
}

bool SwitchFlag(const std::string& image, const char* name) {
    bool result = false;
    WithSwitch(image, name, [&](plist_t node, plist_t) {
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(plist_get_node_type(node), PLIST_BOOLEAN);
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        result = value != 0;
    });
    return result;
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& child : fs::directory_iterator(folder))
        names.push_back(child.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
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

TEST_F(SimImageBuilder, OptionsAreUsedOrRefusedBeforeAnythingIsWritten) {
    ImageOptions named;
    named.name = "Zoë’s \"work\" <phone> & co";
    named.udid = "ABCDEF0123456789ABCDEF0123456789ABCDEF01";
    const std::string image = Build("named", named);
    EXPECT_EQ(PlistText(image, "DeviceName"), named.name);
    EXPECT_EQ(PlistText(image, "UniqueDeviceID"), "abcdef0123456789abcdef0123456789abcdef01");

    struct Bad {
        ImageOptions options;
        const char* words;
    };
    const Bad bad[] = {
        {{.iosVersion = "8.0"}, "8.0"},
        {{.udid = "1234"}, "UDID"},
        {{.udid = std::string(40, 'g')}, "UDID"},
        {{.name = "tab\there"}, "device name"},
        {{.name = std::string("\xc3\x28", 2)}, "device name"},
        {{.name = std::string(256, 'x')}, "255"},
        {{.scale = 0}, "scale"},
        {{.scale = kMaxScale + 1}, "scale"},
        {{.interfaceType = "usb"}, "interface"},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.words);
        std::string error;
        EXPECT_FALSE(CreateImage(folder / "bad", b.options, error));
        EXPECT_NE(error.find(b.words), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(folder / "bad"));
    }
}

// The builder replaces only what it made: a user's folder, a file, a FIFO named like the values
// file are left alone; an image is replaced as a whole, through a link if need be.
TEST_F(SimImageBuilder, WritesOnlyIntoEmptyFoldersAndItsOwnImages) {
    ImageOptions options;
    std::string error;
    folder.Write("user/notes.txt", "keep me");
    folder.Write("user/device.plist", "<plist><dict/></plist>");  // no "Simulator" dictionary
    EXPECT_FALSE(CreateImage(folder / "user", options, error));
    EXPECT_NE(error.find("not empty"), std::string::npos) << error;
    EXPECT_EQ(Names(folder / "user"), (std::vector<std::string>{"device.plist", "notes.txt"}));
    const std::string file = folder.Write("plain", "x");
    EXPECT_FALSE(CreateImage(file, options, error));
    EXPECT_FALSE(CreateImage(file + "/image", options, error));
    fs::create_directory(folder / "odd");
    ASSERT_EQ(::mkfifo((folder / "odd/device.plist").c_str(), 0600), 0);
    EXPECT_FALSE(IsImage(folder / "odd"));
    EXPECT_FALSE(CreateImage(folder / "odd", options, error));

    const std::string target = Build("several/levels/image", options);
    folder.Write("several/levels/image/fs/var/mobile/Media/Downloads/stale.bin", "old");
    const std::string oldUdid = PlistText(target, "UniqueDeviceID");
    fs::create_symlink("image", folder / "several/levels/alias");
    options.seed = 6;
    Build("several/levels/alias", options);
    EXPECT_TRUE(fs::is_symlink(folder / "several/levels/alias"));
    EXPECT_NE(PlistText(target, "UniqueDeviceID"), oldUdid);
    EXPECT_FALSE(fs::exists(target + "/fs/var/mobile/Media/Downloads/stale.bin"));
    EXPECT_EQ(Names(folder.path()), (std::vector<std::string>{"odd", "plain", "several", "user"}));
    EXPECT_EQ(Names(folder / "several/levels"), (std::vector<std::string>{"alias", "image"}));
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

TEST_F(SimImageBuilder, HasTheFoldersOfEachVersion) {
    for (const std::string& version : SupportedIosVersions()) {
        ImageOptions options;
        options.iosVersion = version;
        const std::string image = Build(version, options);
        for (const char* path : {"/DCIM/100APPLE", "/Downloads", "/general_storage", "/PhotoData",
                                 "/Photos/Sync", "/iTunes_Control/iTunes", "/Books", "/Airlock"})
            EXPECT_TRUE(fs::is_directory(ImagePath(image, path, ImageRoot::Media))) << path;
        for (const char* path :
             {"/SMS", "/CallHistory", "/AddressBook", "/Safari", "/Cookies", "/Preferences",
              "/Caches", "/Logs/CrashReporter", "/Mail", "/Keyboard"})
            EXPECT_TRUE(fs::is_directory(ImagePath(image, path, ImageRoot::Home))) << path;
        EXPECT_TRUE(
            fs::is_directory(ImagePath(image, "/Library/CallHistory", ImageRoot::Wireless)));
        // iTunes Radio, and with it the folder, came with iOS 7.
        EXPECT_EQ(fs::is_directory(ImagePath(image, "/Radio", ImageRoot::Media)), version[0] == '7')
            << version;
        const std::string system = testing::ReadFileBytes(
            ImagePath(image, "/System/Library/CoreServices/SystemVersion.plist"));
        EXPECT_NE(system.find("<string>" + version + "</string>"), std::string::npos);
    }
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

// Tests flip switches to make a device unpaired, networked, locked or full; a switch keeps its
// type and a wrong one changes nothing, nor is anything written into a folder that is no image.
TEST_F(SimImageBuilder, SwitchesChangeInPlaceWithTheirOwnTypes) {
    ImageOptions options;
    const std::string image = Build("switches", options);
    std::string error;
    EXPECT_TRUE(SwitchFlag(image, "Paired"));
    ASSERT_TRUE(SetSimulatorSwitch(image, "Paired", false, error)) << error;
    EXPECT_FALSE(SwitchFlag(image, "Paired"));
    ASSERT_TRUE(SetSimulatorSwitch(image, "FSFreeBytes", int64_t{12345}, error)) << error;
    WithSwitch(image, "FSFreeBytes", [](plist_t node, plist_t) {
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        EXPECT_EQ(value, 12345u);
    });
    ASSERT_TRUE(SetSimulatorSwitch(image, "PasscodeLocked", true, error)) << error;
    WithSwitch(image, "PasscodeLocked", [](plist_t, plist_t root) {
        uint8_t locked = 0;
        plist_get_bool_val(plist_dict_get_item(root, "PasswordProtected"), &locked);
        EXPECT_EQ(locked, 1);
    });

    const std::string before = testing::ReadFileBytes(image + "/device.plist");
    EXPECT_FALSE(SetSimulatorSwitch(image, "Paired", std::string("yes"), error));
    EXPECT_FALSE(SetSimulatorSwitch(image, "FSTotalBytes", int64_t{-1}, error));
    EXPECT_FALSE(SetSimulatorSwitch(image, "InterfaceType", std::string("Bluetooth"), error));
    EXPECT_FALSE(SetSimulatorSwitch(image, "Pared", true, error));
    EXPECT_EQ(testing::ReadFileBytes(image + "/device.plist"), before);

    folder.Write("other/device.plist",
                 "<plist><dict><key>A</key><string>b</string></dict></plist>");
    EXPECT_FALSE(SetSimulatorSwitch(folder / "other", "Paired", true, error));
    EXPECT_EQ(testing::ReadFileBytes(folder / "other/device.plist"),
              "<plist><dict><key>A</key><string>b</string></dict></plist>");
}

}  // namespace
}  // namespace bw::sim
