// Reads of files named from outside: a named pipe without a writer, a link to /dev/zero and a
// file past the reader's limit each give a prompt, clean failure. A hang would run into the
// test's time limit; nothing here waits.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/files.h"
#include "platform/library.h"
#include "platform/registry.h"
#include "support/hostile_files.h"
#include "support/temp_folder.h"

namespace bw::platform {
namespace {

using testing::EndlessFiles;
using testing::MakeSparseFile;

TEST(BoundedRead, TakesAFileUpToTheLimitAndRefusesOneByteMore) {
    testing::TempFolder top;
    const std::string path = top / "f";
    ASSERT_TRUE(MakeSparseFile(path, "head", 1000));
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(path, bytes, 1000));
    EXPECT_EQ(bytes.size(), 1000u);
    EXPECT_EQ(bytes.substr(0, 4), "head");

    ASSERT_TRUE(MakeSparseFile(path, "head", 1001));
    EXPECT_FALSE(ReadWholeFile(path, bytes, 1000));
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(ReadWholeFile(path, bytes));  // no limit given
    EXPECT_EQ(bytes.size(), 1001u);
}

TEST(BoundedRead, AFileLongerThanItsStatedSizeIsCutOffAtTheLimit) {
    // Files of /proc state their size as 0 and then deliver more: the limit holds while reading,
    // not only against the size the file claims.
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile("/proc/self/status", bytes));
    ASSERT_GT(bytes.size(), 64u);
    ASSERT_EQ(FileSize("/proc/self/status"), 0u);
    EXPECT_FALSE(ReadWholeFile("/proc/self/status", bytes, 64));
    EXPECT_TRUE(bytes.empty());
}

TEST(BoundedRead, PipesAndDevicesAreRefusedWithAndWithoutALimit) {
    testing::TempFolder top;
    for (const std::string& path : EndlessFiles(top.path())) {
        ASSERT_FALSE(path.empty());
        std::string bytes = "stale";
        EXPECT_FALSE(ReadWholeFile(path, bytes, 1 << 20)) << path;
        EXPECT_TRUE(bytes.empty());
        EXPECT_FALSE(ReadWholeFile(path, bytes)) << path;
    }
}

class RegistryFileLimits : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("BRACKWATER_REGISTRY", (folder_ / "registry.reg").c_str(), 1);
    }
    void TearDown() override { ::unsetenv("BRACKWATER_REGISTRY"); }

    std::optional<std::string> Probe() const {
        return ReadRegistryString(RegistryRoot::LocalMachine, "Software\\Probe", "Name");
    }

    testing::TempFolder folder_;
};

constexpr std::string_view kProbeText = "REGEDIT4\n[HKLM\\Software\\Probe]\n\"Name\"=\"v\"\n";

TEST_F(RegistryFileLimits, AFileAtTheLimitReadsAndOneByteMoreReadsAsEmpty) {
    const std::string path = RegistryFilePath();
    ASSERT_TRUE(MakeSparseFile(path, kProbeText, kMaxRegistryFileBytes));
    EXPECT_EQ(Probe(), "v");
    ASSERT_TRUE(MakeSparseFile(path, kProbeText, kMaxRegistryFileBytes + 1));
    EXPECT_FALSE(Probe());
    EXPECT_FALSE(RegistryKeyExists(RegistryRoot::LocalMachine, "Software\\Probe"));
}

TEST_F(RegistryFileLimits, APipeOrDeviceAsTheRegistryFileReadsAsEmpty) {
    for (const std::string& path : EndlessFiles(folder_.path())) {
        ASSERT_FALSE(path.empty());
        ::setenv("BRACKWATER_REGISTRY", path.c_str(), 1);
        EXPECT_FALSE(Probe()) << path;
        EXPECT_FALSE(RegistryKeyExists(RegistryRoot::LocalMachine, "Software\\Probe"));
    }
}

TEST(BoundedRead, ALibraryPathNamingAPipeOrDeviceIsNotLoaded) {
    // The mobile device library's path comes from the registry file.
    testing::TempFolder top;
    for (const std::string& path : EndlessFiles(top.path())) {
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(LoadLibraryPath(path), nullptr) << path;
    }
}

}  // namespace
}  // namespace bw::platform
