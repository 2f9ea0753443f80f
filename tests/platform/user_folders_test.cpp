// The folders the platform layer hands out as the user's own: the private temporary folder in a
// shared temporary folder that other users may have prepared, and the home-based settings and
// data folders when the environment names no home.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "support/canary.h"
#include "support/temp_folder.h"

namespace bw::platform {
namespace {

// Sets environment variables for one test and puts the old values back afterwards.
class ScopedEnvironment {
  public:
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    void Set(const std::string& name, const std::string& value) {
        Save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void Unset(const std::string& name) {
        Save(name);
        ::unsetenv(name.c_str());
    }

  private:
    void Save(const std::string& name) {
        if (!saved_.contains(name)) saved_[name] = GetEnv(name.c_str());
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

struct FolderState {
    bool isFolder = false;
    uid_t owner = 0;
    unsigned mode = 0;
};

FolderState StateOf(const std::string& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return {};
    return {S_ISDIR(info.st_mode), info.st_uid, static_cast<unsigned>(info.st_mode & 07777)};
}

// A shared temporary folder (sticky and open to all, like /tmp) below the test's folder, with
// TMPDIR pointing at it.
class UserTempFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::mkdir(shared_.c_str(), 0755), 0);
        ASSERT_EQ(::chmod(shared_.c_str(), 01777), 0);
        environment_.Set("TMPDIR", shared_ + "/");
        testing::PlantCanary(victim_);
    }

    testing::TempFolder top_;
    const std::string shared_ = top_ / "shared";
    const std::string own_ = shared_ + "/brackwater-" + std::to_string(::geteuid());
    const std::string victim_ = top_ / "victim";
    ScopedEnvironment environment_;
};

TEST_F(UserTempFolder, IsMadeOnceForTheUserAndNobodyElse) {
    EXPECT_EQ(TempFolder(), own_);
    const FolderState state = StateOf(own_);
    EXPECT_TRUE(state.isFolder);
    EXPECT_EQ(state.owner, ::geteuid());
    EXPECT_EQ(state.mode, 0700u);
    EXPECT_EQ(TempFolder(), own_);
    // Nothing else appears in the shared folder.
    std::vector<FolderEntry> entries;
    ASSERT_TRUE(ListFolder(shared_, entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "brackwater-" + std::to_string(::geteuid()));
}

// Whatever stands under the user's name and is not a private folder of the user is left exactly
// as it is, and the process works in a fresh private folder of its own instead.
void ExpectFreshFolderInstead(const std::string& own, const std::string& shared) {
    const std::string folder = TempFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder, own);
    EXPECT_EQ(folder.rfind(own + ".", 0), 0u) << folder;
    EXPECT_EQ(folder.find('/', shared.size() + 1), std::string::npos) << folder;
    const FolderState state = StateOf(folder);
    EXPECT_TRUE(state.isFolder);
    EXPECT_EQ(state.owner, ::geteuid());
    EXPECT_EQ(state.mode, 0700u);
    EXPECT_EQ(TempFolder(), folder);  // the same one for the rest of the process
}

TEST_F(UserTempFolder, PreparedFolderThatOthersMayEnterIsNotUsed) {
    ASSERT_EQ(::mkdir(own_.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(own_.c_str(), 0777), 0);
    ASSERT_EQ(::symlink(victim_.c_str(), (own_ + "/Brackwater").c_str()), 0);
    const testing::TreeFingerprint before = testing::FingerprintTree(own_);
    const testing::TreeFingerprint victimBefore = testing::FingerprintTree(victim_);
    ExpectFreshFolderInstead(own_, shared_);
    EXPECT_EQ(testing::FingerprintTree(own_), before);
    EXPECT_EQ(testing::FingerprintTree(victim_), victimBefore);
}

TEST_F(UserTempFolder, LinkInPlaceOfTheFolderIsNotFollowed) {
    // The link leads to a folder that would pass every check itself.
    ASSERT_EQ(::chmod(victim_.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(victim_.c_str(), own_.c_str()), 0);
    const testing::TreeFingerprint victimBefore = testing::FingerprintTree(victim_);
    ExpectFreshFolderInstead(own_, shared_);
    EXPECT_EQ(testing::FingerprintTree(victim_), victimBefore);
}

TEST_F(UserTempFolder, FileInPlaceOfTheFolderIsNotUsed) {
    ASSERT_TRUE(WriteFileAtomic(own_, "planted"));
    ExpectFreshFolderInstead(own_, shared_);
    EXPECT_EQ(testing::ReadFileBytes(own_), "planted");
}

TEST_F(UserTempFolder, FolderOfAnotherUserIsNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can give a folder away";
    ASSERT_EQ(::mkdir(own_.c_str(), 0700), 0);
    ASSERT_EQ(::chown(own_.c_str(), 4242, 4242), 0);
    ExpectFreshFolderInstead(own_, shared_);
    EXPECT_EQ(StateOf(own_).owner, 4242u);
}

TEST_F(UserTempFolder, PrivateFolderChecksTypeOwnerAndMode) {
    const std::string folder = top_ / "made";
    EXPECT_TRUE(CreatePrivateFolder(folder));
    EXPECT_EQ(StateOf(folder).mode, 0700u);
    EXPECT_TRUE(CreatePrivateFolder(folder));  // already there and private
    ASSERT_EQ(::chmod(folder.c_str(), 0750), 0);
    EXPECT_FALSE(CreatePrivateFolder(folder));
    EXPECT_EQ(StateOf(folder).mode, 0750u);  // refused, not changed
    ASSERT_EQ(::symlink(own_.c_str(), (top_ / "link").c_str()), 0);
    ASSERT_TRUE(CreatePrivateFolder(own_));
    EXPECT_FALSE(IsPrivateFolder(top_ / "link"));
    EXPECT_FALSE(CreatePrivateFolder(top_ / "link"));
    EXPECT_FALSE(CreatePrivateFolder(top_ / "missing/below"));
    EXPECT_FALSE(CreatePrivateFolder(""));
}

// The settings and data folders with no home in the environment.
class UserHome : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name :
             {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "BRACKWATER_REGISTRY"})
            environment_.Unset(name);
    }
    ScopedEnvironment environment_;
};

TEST_F(UserHome, WithoutHomeTheAccountsHomeIsUsed) {
    const passwd* account = ::getpwuid(::geteuid());
    if (account == nullptr || account->pw_dir == nullptr || *account->pw_dir == '\0') {
        GTEST_SKIP() << "this user has no entry in the password database";
    }
    const std::string home = account->pw_dir;
    EXPECT_EQ(HomeFolder(), home);
    EXPECT_EQ(RegistryFilePath(), JoinPath(home, ".config/brackwater/registry.reg"));
    EXPECT_EQ(RoamingAppDataFolder(), JoinPath(home, ".local/share"));
    EXPECT_EQ(XdgFolder("XDG_CACHE_HOME", ".cache"), JoinPath(home, ".cache"));

    // Relative base folders are invalid and ignored; absolute ones win.
    environment_.Set("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(RegistryFilePath(), JoinPath(home, ".config/brackwater/registry.reg"));
    environment_.Set("XDG_CONFIG_HOME", "/etc/xdg-test");
    EXPECT_EQ(RegistryFilePath(), "/etc/xdg-test/brackwater/registry.reg");
    environment_.Set("HOME", "/home/someone");
    EXPECT_EQ(RoamingAppDataFolder(), "/home/someone/.local/share");
}

TEST_F(UserHome, AccountWithoutAHomeGetsNoFolderAtAll) {
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can act as an unknown account";
    constexpr uid_t kUnknown = 3999999;
    if (::getpwuid(kUnknown) != nullptr) GTEST_SKIP() << "the test's account number exists";
    // The check runs in a child that takes on an account the password database does not know;
    // each failed expectation sets one bit of its exit status.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failures = 0;
        if (::seteuid(kUnknown) != 0) ::_exit(64);
        if (!HomeFolder().empty()) failures |= 1;
        if (!RegistryFilePath().empty()) failures |= 2;
        if (!RoamingAppDataFolder().empty()) failures |= 4;
        if (!XdgFolder("XDG_CACHE_HOME", ".cache").empty()) failures |= 8;
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "bits: 1 home, 2 registry, 4 data, 8 cache; 64 setup";
}

}  // namespace
}  // namespace bw::platform
