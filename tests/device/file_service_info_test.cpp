// How the file service reads the device's text answers, over the stub runtime: its file
// information is whatever key-value pairs the test hands in as the connection.
#include <gtest/gtest.h>

#include "device/iphone_file.h"
#include "support/runtime_registry.h"

namespace bw {
namespace {

class FileServiceInfo : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTableForTests();
        ASSERT_TRUE(testing::LoadStubRuntime(folder_));
    }

    // The record read from these pairs (key, value, ..., nullptr).
    DeviceFileInfo Read(std::vector<const char*> pairs, const std::string& path = "/a/b") {
        pairs.push_back(nullptr);
        const char** cursor = pairs.data();
        DeviceFileInfo info;
        info.size = 99;  // stale values must not survive
        EXPECT_TRUE(
            ReadDeviceFileInfo(reinterpret_cast<rt::AFCConnectionRef>(&cursor), path, info));
        return info;
    }

    testing::TempFolder folder_;
};

TEST_F(FileServiceInfo, EveryFormatNameHasItsCode) {
    const std::pair<const char*, int32_t> codes[] = {
        {"S_IFREG", 1}, {"S_IFDIR", 2}, {"S_IFBLK", 3},  {"S_IFCHR", 4}, {"S_IFIFO", 5},
        {"S_IFLNK", 6}, {"S_IFMT", 7},  {"S_IFSOCK", 8}, {"S_IFWHT", 0}, {"", 0},
    };
    for (const auto& [format, code] : codes) {
        EXPECT_EQ(Read({"st_ifmt", format}).fileType, code) << format;
    }
    EXPECT_TRUE(Read({"st_ifmt", "S_IFLNK"}).isLink);
    EXPECT_FALSE(Read({"st_ifmt", "S_IFREG"}).isLink);
    EXPECT_EQ(Read({}).fileType, 0);
}

TEST_F(FileServiceInfo, NumbersAreUnsignedDecimalText) {
    const DeviceFileInfo info = Read({"st_size", "1234567890123", "st_mtime", "1408183810000000000",
                                      "st_birthtime", "1408000000000000000", "st_ifmt", "S_IFREG"});
    EXPECT_EQ(info.size, 1234567890123u);
    EXPECT_EQ(info.modifiedTime, 1408183810000000000u);
    EXPECT_EQ(info.birthTime, 1408000000000000000u);
    EXPECT_TRUE(info.infoRead);
    EXPECT_EQ(info.path, "/a/b");
    EXPECT_EQ(info.name, "b");
    // Text that is no number, a negative one or one past 64 bits reads as 0.
    EXPECT_EQ(Read({"st_size", "abc"}).size, 0u);
    EXPECT_EQ(Read({"st_size", "-5"}).size, 0u);
    EXPECT_EQ(Read({"st_size", "18446744073709551616"}).size, 0u);
    EXPECT_EQ(Read({"st_size", "18446744073709551615"}).size, UINT64_MAX);
    EXPECT_EQ(Read({"st_size", ""}).size, 0u);
    // A repeated key keeps its first value.
    EXPECT_EQ(Read({"st_size", "1", "st_size", "2"}).size, 1u);
}

TEST_F(FileServiceInfo, NameIsTheLastPartOfThePath) {
    EXPECT_EQ(Read({}, "/").name, "");
    EXPECT_EQ(Read({}, "plain").name, "plain");
    EXPECT_EQ(Read({}, "/x/y/z.txt").name, "z.txt");
    DeviceFileInfo info;
    info.fileType = 5;
    EXPECT_FALSE(ReadDeviceFileInfo(nullptr, "/gone/file", info));
    EXPECT_EQ(info.name, "file");
    EXPECT_EQ(info.path, "/gone/file");
    EXPECT_EQ(info.fileType, 0);
    EXPECT_FALSE(info.infoRead);
}

}  // namespace
}  // namespace bw
