// The command-line host's application list, junk scan and clean, run as a program against
// simulator images that each test builds; what a clean did is checked on the image's files.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "platform/files.h"
#include "support/cli_run.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

using testing::CliRun;

struct Found {
    std::string path;
    uint64_t size = 0;
};

class JunkCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        image = folder / "phone";
        sim::ImageOptions options;
        options.seed = 5;
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    }

    CliRun Sim(const std::string& arguments) {
        // The program ends with the device runtime's threads still running (the runtime stays
        // loaded for the life of a process), and the leak checker of a sanitizer build cannot
        // stop such a process to inspect it; the library's own leak checks run in-process.
        return testing::RunCli(folder,
                               "ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" + folder / "cache",
                               "--sim=" + image + " " + arguments);
    }

    // The items of one `scan TYPE --json` line (paths here hold no quotes or escapes).
    std::vector<Found> Scan(const std::string& type) {
        const CliRun run = Sim("scan " + type + " --json");
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<Found> items;
        const std::string pathKey = "\"path\":\"", sizeKey = "\",\"size\":";
        for (size_t at = run.out.find(pathKey); at != std::string::npos;
             at = run.out.find(pathKey, at + 1)) {
            const size_t start = at + pathKey.size();
            const size_t end = run.out.find(sizeKey, start);
            if (end == std::string::npos) break;
            items.push_back({run.out.substr(start, end - start),
                             std::stoull(run.out.substr(end + sizeKey.size()))});
        }
        return items;
    }

    std::string CrashFile(const std::string& path) const {
        return sim::ImagePath(image, path, sim::ImageRoot::CrashReports);
    }

    testing::TempFolder folder;
    std::string image;
};

TEST_F(JunkCommands, AppsListsUserApplicationsAndWritesTheirIcons) {
    const CliRun run = Sim("apps --json --icons " + folder / "icons");
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t apps = static_cast<size_t>(std::count(run.out.begin(), run.out.end(), '\n'));
    EXPECT_GE(apps, 10u);
    size_t withIcon = 0;
    for (size_t at = run.out.find("\"icon\":\""); at != std::string::npos;
         at = run.out.find("\"icon\":\"", at + 1)) {
        const size_t end = run.out.find('"', at + 8);
        const std::string png = testing::ReadFileBytes(run.out.substr(at + 8, end - at - 8));
        EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        ++withIcon;
    }
    EXPECT_GT(withIcon, 0u);
    EXPECT_LT(withIcon, apps) << "one application has no icon at all";
    EXPECT_NE(run.out.find("\"iconBytes\":0"), std::string::npos);
    std::vector<platform::FolderEntry> written;
    ASSERT_TRUE(platform::ListFolder(folder / "icons", written));
    EXPECT_EQ(written.size(), withIcon);
}

TEST_F(JunkCommands, ScanFindsFilesThatAreOnTheImage) {
    const std::vector<Found> logs = Scan("crash-logs");
    ASSERT_FALSE(logs.empty());
    for (const Found& log : logs) {
        SCOPED_TRACE(log.path);
        EXPECT_TRUE(platform::IsFile(CrashFile(log.path)));
        EXPECT_EQ(platform::FileSize(CrashFile(log.path)).value_or(~0ULL), log.size);
    }
    const std::vector<Found> thumbnails = Scan("5");
    ASSERT_FALSE(thumbnails.empty());
    for (const Found& thumbnail : thumbnails) {
        EXPECT_TRUE(platform::IsFile(sim::ImagePath(image, thumbnail.path, sim::ImageRoot::Media)))
            << thumbnail.path;
    }
    // Every type in one run, one JSON line each, in the order asked.
    const CliRun all = Sim("scan all --json");
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), 8);
    EXPECT_LT(all.out.find("\"name\":\"app-caches\""), all.out.find("\"name\":\"radio\""));
}

// The regular files below a device folder of the image, as device paths, sorted; `keep` decides
// by the path relative to the folder.
std::vector<std::string> FilesOnImage(const std::string& image, const std::string& folder,
                                      sim::ImageRoot root, const std::string& prefix,
                                      bool (*keep)(const std::filesystem::path& relative)) {
    namespace fs = std::filesystem;
    std::vector<std::string> paths;
    const fs::path base = sim::ImagePath(image, folder, root);
    for (const auto& entry : fs::recursive_directory_iterator(base)) {
        if (!entry.is_regular_file() || entry.is_symlink()) continue;
        const fs::path relative = entry.path().lexically_relative(base);
        if (keep(relative)) paths.push_back(prefix + "/" + relative.string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::vector<std::string> Paths(const std::vector<Found>& found) {
    std::vector<std::string> paths;
    for (const Found& item : found)
        paths.push_back(item.path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST_F(JunkCommands, EachMediaTypeFindsExactlyTheFilesOfItsRules) {
    // Download leftovers: everything in sub-folders; at the top, all but the download database.
    EXPECT_EQ(Paths(Scan("downloads")),
              FilesOnImage(image, "/Downloads", sim::ImageRoot::Media, "/Downloads",
                           [](const std::filesystem::path& relative) {
                               return relative.has_parent_path() ||
                                      relative.string().find(".sqlitedb") == std::string::npos;
                           }));
    // Thumbnails only in the sub-folders of the thumbnail cache.
    const std::vector<std::string> thumbnails = FilesOnImage(
        image, "/DCIM/.THMB", sim::ImageRoot::Media, "/DCIM/.THMB",
        [](const std::filesystem::path& relative) { return relative.has_parent_path(); });
    EXPECT_FALSE(thumbnails.empty());
    EXPECT_EQ(Paths(Scan("photo-thumbnails")), thumbnails);
    // General storage and crash logs: every file, at any depth (links are not files).
    EXPECT_EQ(Paths(Scan("storage")),
              FilesOnImage(image, "/general_storage", sim::ImageRoot::Media, "/general_storage",
                           [](const std::filesystem::path&) { return true; }));
    EXPECT_EQ(Paths(Scan("crash-logs")),
              FilesOnImage(image, "/", sim::ImageRoot::CrashReports, "",
                           [](const std::filesystem::path&) { return true; }));
}

TEST_F(JunkCommands, CleanRemovesTheSelectionAndKeepsWhatMatchesKeep) {
    const std::vector<Found> logs = Scan("crash-logs");
    ASSERT_GE(logs.size(), 3u);
    const std::string kept = logs[1].path;
    const std::string keptName = kept.substr(kept.rfind('/') + 1);

    const CliRun clean = Sim("clean crash-logs --keep '" + keptName + "'");
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_NE(clean.out.find(std::to_string(logs.size() - 1) + " removed, 1 kept"),
              std::string::npos)
        << clean.out;
    for (const Found& log : logs) {
        EXPECT_EQ(platform::IsFile(CrashFile(log.path)), log.path == kept) << log.path;
    }
    const std::vector<Found> after = Scan("crash-logs");
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].path, kept);
}

TEST_F(JunkCommands, CleanOfApplicationTempLeavesNothingToFind) {
    ASSERT_FALSE(Scan("app-temp").empty());
    const std::vector<Found> caches = Scan("app-caches");
    ASSERT_EQ(Sim("clean app-temp").status, 0);
    EXPECT_TRUE(Scan("app-temp").empty());
    EXPECT_EQ(Scan("app-caches").size(), caches.size()) << "another type was touched";
}

TEST_F(JunkCommands, UsageErrorsExitWithTwo) {
    for (const char* usage : {"scan", "scan bogus", "scan 99", "scan 3 --keep x", "clean",
                              "clean 3 --keep", "apps extra", "apps --icons", "scan 3 -q"}) {
        SCOPED_TRACE(usage);
        const CliRun run = Sim(usage);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find("usage:"), std::string::npos);
    }
}

}  // namespace
}  // namespace bw
