// The library's temporary folders in a shared temporary folder that another user may have
// prepared: the phone's files copied there never land in, or through, anything of theirs.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "device/host_utils.h"
#include "platform/files.h"
#include "support/canary.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

unsigned ModeOf(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return 0;
    return static_cast<unsigned>(info.st_mode & 07777);
}

bool IsOwnPrivateFolder(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::geteuid() && (info.st_mode & 07777) == 0700;
}

class HostTempFolders : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(shared_.c_str(), 0755), 0);
        ASSERT_EQ(::chmod(shared_.c_str(), 01777), 0);
        ::setenv("TMPDIR", shared_.c_str(), 1);
        testing::PlantCanary(victim_);
    }

    testing::TempFolder top_;
    const std::string shared_ = top_ / "shared";
    const std::string own_ = shared_ + "/brackwater-" + std::to_string(::geteuid());
    const std::string victim_ = top_ / "victim";
};

TEST_F(HostTempFolders, EachLevelIsMadePrivate) {
    const std::string folder = GetTempFolder("Brackwater");
    EXPECT_EQ(folder, own_ + "/Brackwater");
    EXPECT_TRUE(IsOwnPrivateFolder(own_));
    EXPECT_TRUE(IsOwnPrivateFolder(folder));
    EXPECT_EQ(GetPhotoTempFolder("Album/Week"), own_ + "/PhotoSync/Album/Week");
    for (const char* level : {"/PhotoSync", "/PhotoSync/Album", "/PhotoSync/Album/Week"})
        EXPECT_TRUE(IsOwnPrivateFolder(own_ + level)) << level;
    EXPECT_EQ(GetTempFolder("../escape"), "");
    EXPECT_FALSE(platform::PathExists(shared_ + "/escape"));
}

// The fixed name of old ("Brackwater" right in the shared folder) and the user's own name, both
// prepared by someone else with links into the victim's files: the library writes through none.
TEST_F(HostTempFolders, PreparedFoldersAndLinksAreNeverWrittenThrough) {
    ASSERT_EQ(::mkdir((shared_ + "/Brackwater").c_str(), 0777), 0);
    ASSERT_EQ(::chmod((shared_ + "/Brackwater").c_str(), 0777), 0);
    ASSERT_EQ(::mkdir(own_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(own_.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(victim_.c_str(), (own_ + "/Brackwater").c_str()), 0);
    ASSERT_EQ(::symlink((victim_ + "/file.txt").c_str(), (shared_ + "/Brackwater/probe").c_str()),
              0);
    const testing::TreeFingerprint before = testing::FingerprintTree(victim_);
    const testing::TreeFingerprint planted = testing::FingerprintTree(own_);

    const std::string folder = GetTempFolder("Brackwater");
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(IsOwnPrivateFolder(folder));
    EXPECT_NE(folder.rfind(own_ + "/", 0), 0u) << folder;
    EXPECT_NE(folder.rfind(shared_ + "/Brackwater", 0), 0u) << folder;
    EXPECT_TRUE(IsFolderWritable(folder));
    ASSERT_TRUE(platform::WriteFileAtomic(platform::JoinPath(folder, "info.tmp"), "device bytes"));
    EXPECT_EQ(ModeOf(platform::JoinPath(folder, "info.tmp")), 0600u);

    EXPECT_EQ(testing::FingerprintTree(victim_), before);
    EXPECT_EQ(testing::FingerprintTree(own_), planted);
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(shared_ + "/Brackwater", entries));
    EXPECT_EQ(entries.size(), 1u);  // only the planted link
}

TEST_F(HostTempFolders, LinkInsideTheOwnFolderIsNotUsed) {
    // Only the user could have put it there, but a link is still no folder of the library's.
    ASSERT_EQ(::mkdir(own_.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(victim_.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(victim_.c_str(), (own_ + "/Brackwater").c_str()), 0);
    const testing::TreeFingerprint before = testing::FingerprintTree(victim_);
    EXPECT_EQ(GetTempFolder("Brackwater"), "");
    EXPECT_EQ(testing::FingerprintTree(victim_), before);
}

}  // namespace
}  // namespace bw
