// Application content of built images, read from the files on disk: containers with their
// bundles and sandbox folders, real PNG icons, the cookie files, the icon layout, determinism
// and the junk the scale adds.
#include <plist/plist.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "support/temp_folder.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

struct Container {
    std::string path;  // host folder
    std::string bundle;
    std::string bundleId;
    std::string displayName;  // empty when the bundle has only CFBundleName
};

std::string ReadBytes(const fs::path& path) {
    return testing::ReadFileBytes(path.string());
}

plist_t ReadPlist(const fs::path& path) {
    const std::string bytes = ReadBytes(path);
    plist_t tree = nullptr;
    if (!bytes.empty()) plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    return tree;
}

std::string Text(plist_t dict, const char* key) {
    plist_t node = dict != nullptr ? plist_dict_get_item(dict, key) : nullptr;
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return std::string(text, length);
}

uint32_t Big32(const std::string& bytes, size_t at) {
    return (uint32_t{static_cast<unsigned char>(bytes[at])} << 24) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8) |
           static_cast<unsigned char>(bytes[at + 3]);
}

uint32_t Little32(const std::string& bytes, size_t at) {
    return static_cast<unsigned char>(bytes[at]) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 8) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 16) |
           (uint32_t{static_cast<unsigned char>(bytes[at + 3])} << 24);
}

// Width and height of a PNG, or 0 when the bytes are not one.
std::pair<uint32_t, uint32_t> PngSize(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 ||
        bytes.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    return {Big32(bytes, 16), Big32(bytes, 20)};
}

size_t CountFiles(const fs::path& folder) {
    if (!fs::is_directory(folder)) return 0;
    size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

class SimImageApps : public ::testing::Test {
  protected:
    std::string Build(ImageOptions options = {}) {
        const std::string path = folder_ / ("image" + std::to_string(images_++));
        std::string error;
        EXPECT_TRUE(CreateImage(path, options, error)) << error;
        return path;
    }

    static std::vector<Container> Containers(const std::string& image) {
        std::vector<Container> containers;
        for (const auto& entry : fs::directory_iterator(image + "/fs/var/mobile/Applications")) {
            Container container{entry.path().string(), {}, {}, {}};
            for (const auto& child : fs::directory_iterator(entry.path()))
                if (child.path().extension() == ".app") container.bundle = child.path().string();
            plist_t info = ReadPlist(container.bundle + "/Info.plist");
            container.bundleId = Text(info, "CFBundleIdentifier");
            container.displayName = Text(info, "CFBundleDisplayName");
            plist_free(info);
            containers.push_back(container);
        }
        std::sort(containers.begin(), containers.end(),
                  [](const Container& a, const Container& b) { return a.bundleId < b.bundleId; });
        return containers;
    }

    static const Container* Find(const std::vector<Container>& all, const std::string& id) {
        for (const Container& container : all)
            if (container.bundleId == id) return &container;
        return nullptr;
    }

    testing::TempFolder folder_;
    int images_ = 0;
};

TEST_F(SimImageApps, ContainersHoldABundleAndTheSandboxFolders) {
    const std::string image = Build();
    const std::vector<Container> containers = Containers(image);
    ASSERT_EQ(containers.size(), 12u);
    std::set<std::string> ids;
    for (const Container& container : containers) {
        SCOPED_TRACE(container.path);
        const std::string uuid = fs::path(container.path).filename().string();
        EXPECT_EQ(uuid.size(), 36u);
        EXPECT_EQ(uuid[14], '4') << "version-4 identifiers, as iOS names containers";
        ASSERT_FALSE(container.bundle.empty());
        EXPECT_TRUE(ids.insert(container.bundleId).second) << container.bundleId;
        plist_t info = ReadPlist(container.bundle + "/Info.plist");
        ASSERT_NE(info, nullptr);
        for (const char* key : {"CFBundleName", "CFBundleExecutable", "CFBundleVersion",
                                "CFBundleShortVersionString", "MinimumOSVersion"})
            EXPECT_FALSE(Text(info, key).empty()) << key;
        EXPECT_NE(plist_dict_get_item(info, "UIDeviceFamily"), nullptr);
        EXPECT_TRUE(fs::is_regular_file(container.bundle + "/" + Text(info, "CFBundleExecutable")));
        plist_free(info);
        for (const char* folder : {"Documents", "Library/Caches", "Library/Cookies",
                                   "Library/Preferences", "Library/tmp", "tmp"})
            EXPECT_TRUE(fs::is_directory(container.path + "/" + folder)) << folder;
        EXPECT_TRUE(fs::is_regular_file(container.path + "/Library/Preferences/" +
                                        container.bundleId + ".plist"));
        EXPECT_GE(CountFiles(container.path + "/Documents"), 1u);
    }
    // The names the home screen shows: one application has only CFBundleName, one a name
    // outside ASCII.
    EXPECT_EQ(Find(containers, "com.soundgarage.beatbox")->displayName, "");
    EXPECT_EQ(Find(containers, "com.linguaworks.cafelingo")->displayName, "Caf\xc3\xa9 Lingo");

    std::set<std::string> system;
    for (const auto& entry : fs::directory_iterator(image + "/fs/Applications")) {
        plist_t info = ReadPlist(entry.path() / "Info.plist");
        system.insert(Text(info, "CFBundleIdentifier"));
        plist_free(info);
    }
    EXPECT_GE(system.size(), 3u);
    EXPECT_TRUE(system.count("com.apple.mobilesafari"));
}

TEST_F(SimImageApps, IconsAreRealPngsForMostButNotAll) {
    const std::string image = Build();
    int withBundleIcon = 0, withArtwork = 0, artworkOnly = 0, none = 0;
    for (const Container& container : Containers(image)) {
        SCOPED_TRACE(container.bundleId);
        bool bundleIcon = false;
        for (const char* name : {"Icon.png", "Icon@2x.png", "AppIcon60x60@2x.png"}) {
            const fs::path path = fs::path(container.bundle) / name;
            if (!fs::exists(path)) continue;
            bundleIcon = true;
            const auto [width, height] = PngSize(ReadBytes(path));
            EXPECT_EQ(width, height);
            EXPECT_EQ(width, std::string(name) == "Icon.png"      ? 57u
                             : std::string(name) == "Icon@2x.png" ? 114u
                                                                  : 120u);
        }
        const fs::path artwork = fs::path(container.path) / "iTunesArtwork";
        const bool hasArtwork = fs::exists(artwork);
        if (hasArtwork) {
            EXPECT_EQ(PngSize(ReadBytes(artwork)), std::make_pair(512u, 512u));
        }
        withBundleIcon += bundleIcon;
        withArtwork += hasArtwork;
        artworkOnly += hasArtwork && !bundleIcon;
        none += !hasArtwork && !bundleIcon;
    }
    EXPECT_GE(withBundleIcon, 9);
    EXPECT_GE(withArtwork, 2);
    EXPECT_LT(withArtwork, 12);
    EXPECT_EQ(artworkOnly, 1);
    EXPECT_EQ(none, 1);
}

TEST_F(SimImageApps, CookieFilesFollowTheBinaryFormat) {
    const std::string image = Build();
    int files = 0;
    for (const Container& container : Containers(image)) {
        const fs::path path = fs::path(container.path) / "Library/Cookies/Cookies.binarycookies";
        if (!fs::exists(path)) continue;
        SCOPED_TRACE(container.bundleId);
        ++files;
        const std::string bytes = ReadBytes(path);
        ASSERT_GE(bytes.size(), 8u);
        EXPECT_EQ(bytes.substr(0, 4), "cook");
        const uint32_t pages = Big32(bytes, 4);
        ASSERT_GE(pages, 1u);
        ASSERT_LE(pages, 4u);
        size_t at = 8 + 4 * size_t{pages};
        uint32_t checksum = 0;
        for (uint32_t p = 0; p < pages; ++p) {
            const uint32_t size = Big32(bytes, 8 + 4 * p);
            ASSERT_LE(at + size, bytes.size());
            const std::string page = bytes.substr(at, size);
            EXPECT_EQ(Big32(page, 0), 0x100u);
            const uint32_t cookies = Little32(page, 4);
            ASSERT_GE(cookies, 1u);
            for (uint32_t c = 0; c < cookies; ++c) {
                const uint32_t offset = Little32(page, 8 + 4 * c);
                ASSERT_LE(offset + 56, page.size());
                const uint32_t recordSize = Little32(page, offset);
                ASSERT_LE(offset + recordSize, page.size());
                // The URL string starts right after the 56-byte header and ends in NUL.
                EXPECT_EQ(Little32(page, offset + 16), 56u);
                EXPECT_EQ(page[offset + recordSize - 1], '\0');
            }
            for (size_t i = 0; i < page.size(); i += 4)
                checksum += static_cast<unsigned char>(page[i]);
            at += size;
        }
        ASSERT_EQ(bytes.size(), at + 12) << "checksum and footer close the file";
        EXPECT_EQ(Big32(bytes, at), checksum);
        EXPECT_EQ(bytes.substr(at + 4), std::string("\x07\x17\x20\x05\x00\x00\x00\x4b", 8));
    }
    EXPECT_GE(files, 8);
}

TEST_F(SimImageApps, SandboxJunkCoversTheScannerCases) {
    const std::string image = Build();
    const std::vector<Container> containers = Containers(image);
    size_t withCaches = 0, withLibraryTmp = 0, withTmp = 0, withCapitalTmp = 0, empty = 0;
    size_t deepest = 0;
    for (const Container& container : containers) {
        const size_t caches = CountFiles(container.path + "/Library/Caches");
        const size_t cookies = CountFiles(container.path + "/Library/Cookies");
        const size_t tmp = CountFiles(container.path + "/tmp");
        const size_t libraryTmp = CountFiles(container.path + "/Library/tmp");
        const size_t capitalTmp = CountFiles(container.path + "/Library/Tmp");
        withCaches += caches > 0;
        withTmp += tmp > 0;
        withLibraryTmp += libraryTmp > 0;
        withCapitalTmp += capitalTmp > 0;
        empty += caches + cookies + tmp + libraryTmp + capitalTmp == 0;
        for (auto it = fs::recursive_directory_iterator(container.path + "/Library/Caches");
             it != fs::recursive_directory_iterator(); ++it)
            deepest = std::max(deepest, static_cast<size_t>(it.depth()));
    }
    EXPECT_EQ(withCaches, 11u);
    EXPECT_EQ(withTmp, 11u);
    EXPECT_EQ(withLibraryTmp, 11u);
    EXPECT_EQ(withCapitalTmp, 1u) << "one container has Library/Tmp beside Library/tmp";
    EXPECT_EQ(empty, 1u) << "one container has no junk at all";
    EXPECT_GE(deepest, 3u);
    const Container* metro = Find(containers, "com.transitly.metro");
    ASSERT_NE(metro, nullptr);
    EXPECT_GE(CountFiles(metro->path + "/Library/tmp"), 1u);
    EXPECT_GE(CountFiles(metro->path + "/Library/Tmp"), 2u);
}

TEST_F(SimImageApps, IconLayoutPlacesInstalledApplicationsWithAFolder) {
    const std::string image = Build();
    std::set<std::string> installed;
    for (const Container& container : Containers(image))
        installed.insert(container.bundleId);
    for (const auto& entry : fs::directory_iterator(image + "/fs/Applications")) {
        plist_t info = ReadPlist(entry.path() / "Info.plist");
        installed.insert(Text(info, "CFBundleIdentifier"));
        plist_free(info);
    }
    plist_t state = ReadPlist(image + "/fs/var/mobile/Library/SpringBoard/IconState.plist");
    ASSERT_NE(state, nullptr);
    std::set<std::string> placed;
    int folders = 0;
    const auto visit = [&](plist_t list, auto& self) -> void {
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            plist_t item = plist_array_get_item(list, i);
            if (plist_get_node_type(item) == PLIST_STRING) {
                uint64_t length = 0;
                const char* text = plist_get_string_ptr(item, &length);
                placed.insert(std::string(text, length));
            } else if (Text(item, "listType") == "folder") {
                ++folders;
                EXPECT_FALSE(Text(item, "displayName").empty());
                plist_t pages = plist_dict_get_item(item, "iconLists");
                for (uint32_t p = 0; p < plist_array_get_size(pages); ++p)
                    self(plist_array_get_item(pages, p), self);
            }
        }
    };
    visit(plist_dict_get_item(state, "buttonBar"), visit);
    plist_t pages = plist_dict_get_item(state, "iconLists");
    ASSERT_GE(plist_array_get_size(pages), 2u);
    for (uint32_t p = 0; p < plist_array_get_size(pages); ++p)
        visit(plist_array_get_item(pages, p), visit);
    plist_free(state);
    EXPECT_EQ(folders, 1);
    EXPECT_EQ(placed, installed);
}

TEST_F(SimImageApps, TheSeedDecidesTheBytes) {
    ImageOptions first;
    first.seed = 11;
    ImageOptions other = first;
    other.seed = 12;
    const std::vector<Container> a = Containers(Build(first));
    const std::vector<Container> b = Containers(Build(first));
    const std::vector<Container> c = Containers(Build(other));
    ASSERT_EQ(a.size(), b.size());
    ASSERT_EQ(a.size(), c.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(fs::path(a[i].path).filename(), fs::path(b[i].path).filename());
        EXPECT_NE(fs::path(a[i].path).filename(), fs::path(c[i].path).filename());
        EXPECT_EQ(a[i].bundleId, c[i].bundleId) << "the applications themselves stay";
        for (const char* file : {"/Icon@2x.png", "/Info.plist"}) {
            if (!fs::exists(a[i].bundle + file)) continue;
            EXPECT_EQ(ReadBytes(a[i].bundle + file), ReadBytes(b[i].bundle + file));
        }
        EXPECT_EQ(ReadBytes(a[i].path + "/Library/Cookies/Cookies.binarycookies"),
                  ReadBytes(b[i].path + "/Library/Cookies/Cookies.binarycookies"));
    }
}

TEST_F(SimImageApps, ScaleAddsFiftyJunkFilesPerStep) {
    ImageOptions options;
    const std::vector<Container> base = Containers(Build(options));
    options.scale = 5;
    const std::string scaledImage = Build(options);
    const std::vector<Container> scaled = Containers(scaledImage);
    ASSERT_EQ(base.size(), scaled.size());
    size_t added = 0;
    for (size_t i = 0; i < base.size(); ++i) {
        for (const char* folder : {"/Library/Caches", "/tmp", "/Library/tmp", "/Documents",
                                   "/Library/Cookies", "/Library/Preferences"}) {
            const size_t before = CountFiles(base[i].path + folder);
            const size_t after = CountFiles(scaled[i].path + folder);
            EXPECT_GE(after, before);
            const std::string name = folder;
            if (name == "/Documents" || name == "/Library/Cookies" ||
                name == "/Library/Preferences") {
                EXPECT_EQ(after, before) << "the scale multiplies junk only";
            }
            added += after - before;
        }
    }
    EXPECT_EQ(added, 4u * 50u);
    EXPECT_EQ(CountFiles(Find(scaled, "com.coinwise.ledger")->path + "/Library/Caches"), 0u);
}

}  // namespace
}  // namespace bw::sim
