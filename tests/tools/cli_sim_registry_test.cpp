// Where --sim keeps the registry file that points the library at the simulator: in the user's own
// temporary folder under the process's number, with those of runs that ended without removing
// theirs cleared away, and never in or through a folder someone else prepared.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "platform/files.h"
#include "support/canary.h"
#include "support/cli_run.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

using testing::CliRun;

// The number of a process that has ended (and was reaped), so no process of it runs now.
pid_t EndedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    return child;
}

class SimRegistry : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = folder_ / "phone";
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image_, {}, error)) << error;
        ASSERT_TRUE(platform::CreateFolder(shared_));
        ASSERT_EQ(::chmod(shared_.c_str(), 01777), 0);
    }

    CliRun Sim(const std::string& prefix = {}) {
        return testing::RunCli(folder_,
                               "ASAN_OPTIONS=detect_leaks=0 TMPDIR=" + shared_ +
                                   " XDG_CACHE_HOME=" + folder_ / "cache" + " " + prefix,
                               "--sim=" + image_ + " devices");
    }

    testing::TempFolder folder_;
    std::string image_;
    const std::string shared_ = folder_ / "shared";
    const std::string own_ = shared_ + "/brackwater-" + std::to_string(::geteuid());
};

TEST_F(SimRegistry, RegistriesOfEndedRunsAreRemovedAndNothingIsLeftBehind) {
    ASSERT_EQ(::mkdir(own_.c_str(), 0700), 0);
    const std::string ended = "sim-registry-" + std::to_string(EndedProcess()) + ".reg";
    const std::string running = "sim-registry-" + std::to_string(::getpid()) + ".reg";
    ASSERT_TRUE(platform::WriteFileAtomic(own_ + "/" + ended, "REGEDIT4\n"));
    ASSERT_TRUE(platform::WriteFileAtomic(own_ + "/" + running, "REGEDIT4\n"));
    ASSERT_TRUE(platform::WriteFileAtomic(own_ + "/sim-registry-x.reg", "not ours"));

    const CliRun run = Sim();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("USB"), std::string::npos) << run.out;

    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(own_, entries));
    std::vector<std::string> names;
    for (const platform::FolderEntry& entry : entries) {
        if (entry.name != "pipes") names.push_back(entry.name);
    }
    std::sort(names.begin(), names.end());
    // The ended run's file is gone, the running process's and a foreign name stay, and the run
    // removed its own.
    EXPECT_EQ(names, (std::vector<std::string>{running, "sim-registry-x.reg"}));
    ASSERT_TRUE(platform::ListFolder(shared_, entries = {}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(shared_ + "/" + entries[0].name, own_);
}

TEST_F(SimRegistry, AFolderOthersMayEnterIsRefusedWithAReason) {
    ASSERT_EQ(::mkdir(own_.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(own_.c_str(), 0777), 0);
    const testing::TreeFingerprint before = testing::FingerprintTree(shared_);
    const CliRun run = Sim();
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find(own_), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("TMPDIR"), std::string::npos) << run.err;
    EXPECT_EQ(testing::FingerprintTree(shared_), before);
}

TEST_F(SimRegistry, ADemoIPhoneWithoutAHomeIsRefusedNotMadeInASharedFolder) {
    if (::geteuid() != 0) GTEST_SKIP() << "only the superuser can run as an unknown account";
    if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
    // An account the password database does not know, with no home in the environment.
    const std::string prefix =
        "env -u HOME -u XDG_CACHE_HOME setpriv --reuid=3999999 --regid=3999999 --clear-groups";
    const CliRun run = testing::RunCli(folder_, prefix, "--sim devices");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("no home folder"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace bw
