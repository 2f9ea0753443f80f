// The sandbox junk of built images, read from the files on disk: the cases the sandbox scanners
// must meet and the names the home screen shows. Icons and
// the icon layout are checked against the same files by the library's AppImage tests.
#include <plist/plist.h>

#include <gtest/gtest.h>

#include <filesystem>
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

// One container with no junk at all, one with Library/Tmp beside Library/tmp, caches several
// folders deep; names that only CFBundleName gives or that leave ASCII.
TEST_F(SimImageApps, SandboxJunkCoversTheScannerCases) {
    const std::string image = Build();
    const std::vector<Container> containers = Containers(image);
    ASSERT_EQ(containers.size(), 12u);
    size_t withCaches = 0, withTmp = 0, withLibraryTmp = 0, withCapitalTmp = 0, empty = 0;
    size_t deepest = 0;
    for (const Container& container : containers) {
        ASSERT_FALSE(container.bundle.empty()) << container.path;
        const size_t caches = CountFiles(container.path + "/Library/Caches");
        const size_t tmp = CountFiles(container.path + "/tmp");
        const size_t libraryTmp = CountFiles(container.path + "/Library/tmp");
        const size_t capitalTmp = CountFiles(container.path + "/Library/Tmp");
        withCaches += caches > 0;
        withTmp += tmp > 0;
        withLibraryTmp += libraryTmp > 0;
        withCapitalTmp += capitalTmp > 0;
        empty += caches + tmp + libraryTmp + capitalTmp +
                     CountFiles(container.path + "/Library/Cookies") ==
                 0;
        for (auto it = fs::recursive_directory_iterator(container.path + "/Library/Caches");
             it != fs::recursive_directory_iterator(); ++it)
            deepest = std::max(deepest, static_cast<size_t>(it.depth()));
    }
    EXPECT_EQ(withCaches, 11u);
    EXPECT_EQ(withTmp, 11u);
    EXPECT_EQ(withLibraryTmp, 11u);
    EXPECT_EQ(withCapitalTmp, 1u);
    EXPECT_EQ(empty, 1u);
    EXPECT_GE(deepest, 3u);
    EXPECT_EQ(Find(containers, "com.soundgarage.beatbox")->displayName, "");
    EXPECT_EQ(Find(containers, "com.linguaworks.cafelingo")->displayName, "Caf\xc3\xa9 Lingo");
}

}  // namespace
}  // namespace bw::sim
