// What the photo command tests share: a simulator image per test of the version the test runs
// with, the command-line host run against it, and the image's photo database.
#pragma once

#include <sqlite3.h>
#include <vips/vips8>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "sim/sqlite_rows.h"
#include "support/cli_run.h"
#include "support/json_reader.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw::testing::photos {

// The join table of albums and assets and its two columns, per major version.
struct JoinNames {
    const char* table;
    const char* album;
    const char* asset;
};

inline JoinNames JoinOf(int major) {
    if (major == 5) return {"Z_6ASSETS", "Z_6ALBUMS", "Z_11ASSETS"};
    if (major == 6) return {"Z_8ASSETS", "Z_8ALBUMS", "Z_14ASSETS"};
    return {"Z_11ASSETS", "Z_11ALBUMS", "Z_17ASSETS"};
}

inline std::string Field(const Json& line, const std::string& key) {
    const Json* value = line.Find(key);
    return value != nullptr ? value->text : std::string();
}

inline int64_t Number(const Json& line, const std::string& key) {
    const Json* value = line.Find(key);
    return value != nullptr && value->kind == Json::Kind::Number ? std::stoll(value->text) : -1;
}

class PhotosCliTest : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        image_ = folder_ / "phone";
        bw::sim::ImageOptions options;
        options.iosVersion = GetParam();
        options.seed = 11;
        std::string error;
        ASSERT_TRUE(MakeTestImage(image_, options, error)) << error;
        major_ = GetParam()[0] - '0';
        ASSERT_EQ(VIPS_INIT("brackwater-tests"), 0);
    }

    std::string Media() const { return image_ + "/fs/var/mobile/Media"; }

    CliRun Sim(const std::string& arguments, const std::string& input = "") {
        return RunCli(folder_,
                      std::string("ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=") +
                          folder_ / "cache" + std::string(" TMPDIR=") + TempDir() +
                          std::string(" BRACKWATER_REGISTRY=") + folder_ / "none.reg",
                      std::string("--sim=") + image_ + " " + arguments, input);
    }

    // The host's own temporary folder, so its working copies stay in the test's folder.
    std::string TempDir() {
        const std::string dir = folder_ / "tmp";
        std::filesystem::create_directories(dir);
        return dir;
    }

    std::vector<Json> JsonOutput(const std::string& arguments) {
        const CliRun run = Sim(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<Json> lines;
        for (const std::optional<Json>& line : JsonLines(run.out)) {
            EXPECT_TRUE(line.has_value()) << run.out;
            if (line) lines.push_back(*line);
        }
        return lines;
    }

    // The number of the camera roll in `photos albums`, as the commands take it.
    std::string CameraRoll() {
        for (const Json& album : JsonOutput("photos albums --json")) {
            if (Field(album, "type") == "camera roll")
                return std::to_string(Number(album, "index"));
        }
        ADD_FAILURE() << "no camera roll listed";
        return "0";
    }

    // The image's photo database, opened read-only so that nothing is checkpointed into it.
    std::unique_ptr<bw::sim::SqliteFile> Database() const {
        return std::make_unique<bw::sim::SqliteFile>(Media() + "/PhotoData/Photos.sqlite",
                                                     SQLITE_OPEN_READONLY);
    }

    // The video test of the version: iOS 5 and 6 keep it in ZKIND, iOS 7 in the type identifier.
    std::string IsVideo(const char* asset) const {
        return major_ < 7 ? std::string(asset) + ".ZKIND = 1"
                          : std::string("COALESCE(") + asset +
                                ".ZUNIFORMTYPEIDENTIFIER, '') LIKE '%quicktime-movie%'";
    }

    testing::TempFolder folder_;
    std::string image_;
    int major_ = 0;
};

}  // namespace bw::testing::photos
