// The command-line host where a careless command could destroy something: a copy to the host
// that lands on a name which is not a plain file, names that are not UTF-8 text, and a recursive
// removal of the whole file service. Every case is checked on the file system, before and after.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
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
using testing::FingerprintTree;

class HostSafety : public ::testing::Test {
  protected:
    void SetUp() override {
        image = folder / "phone";
        sim::ImageOptions options;
        options.seed = 5;
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
        canary = folder / "canary";
        testing::PlantCanary(canary);
        output = folder / "out";
        std::filesystem::create_directories(output);
    }

    CliRun Sim(const std::string& arguments) {
        // No leak check in the child: the device runtime's threads outlive main.
        return testing::RunCli(folder,
                               "ASAN_OPTIONS=detect_leaks=0 XDG_CACHE_HOME=" + folder / "cache" +
                                   " BRACKWATER_REGISTRY=" + folder / "none.reg",
                               "--sim=" + image + " " + arguments);
    }

    std::string Media(const std::string& devicePath) const {
        return sim::ImagePath(image, devicePath, sim::ImageRoot::Media);
    }

    static size_t Lines(const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    // A listening Unix socket bound at `path`; the descriptor stays open for the test.
    int BindSocket(const std::string& path) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_GE(fd, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        EXPECT_LT(path.size(), sizeof address.sun_path);
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }

    testing::TempFolder folder;
    std::string image, canary, output;
};

TEST_F(HostSafety, PullRefusesNamesThatAreNotRegularFilesAndSaysWhatTheyAre) {
    ASSERT_EQ(::mkfifo((output + "/pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((canary + "/file.txt").c_str(), (output + "/link").c_str()), 0);
    std::filesystem::create_directories(output + "/into");
    ASSERT_EQ(::mkfifo((output + "/into/IMG_0001.JPG").c_str(), 0600), 0);
    const int socket = BindSocket(output + "/sock");

    const testing::TreeFingerprint outputBefore = FingerprintTree(output);
    const testing::TreeFingerprint canaryBefore = FingerprintTree(canary);
    ASSERT_EQ(canaryBefore.size(), 4u);
    const struct {
        std::string target;
        const char* kind;
    } cases[] = {
        {output + "/pipe", "named pipe"},
        {output + "/link", "symbolic link"},
        {output + "/sock", "socket"},
        // Into a folder: the name inside it is what must be a regular file.
        {output + "/into", "named pipe"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.target);
        const CliRun run = Sim("pull /DCIM/100APPLE/IMG_0001.JPG " + each.target);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(each.kind), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("only a regular file is replaced"), std::string::npos) << run.err;
    }
    ::close(socket);
    EXPECT_EQ(FingerprintTree(output), outputBefore);
    EXPECT_EQ(FingerprintTree(canary), canaryBefore);
}

TEST_F(HostSafety, PullRefusesACharacterDevice) {
    // As root the test makes a node of its own, so that a fault cannot reach the system's; without
    // root it cannot make one, but then the system's /dev/null cannot be replaced either.
    std::string node = "/dev/null";
    if (::geteuid() == 0) {
        node = output + "/null";
        if (::mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
            GTEST_SKIP() << "no character device can be made here";
        }
    }
    struct stat before {};
    ASSERT_EQ(::lstat(node.c_str(), &before), 0);
    ASSERT_TRUE(S_ISCHR(before.st_mode));
    const CliRun run = Sim("pull /DCIM/100APPLE/IMG_0001.JPG " + node);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("is a character device"), std::string::npos) << run.err;
    struct stat after {};
    ASSERT_EQ(::lstat(node.c_str(), &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode));
    EXPECT_EQ(after.st_rdev, before.st_rdev);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST_F(HostSafety, PullReplacesAPrivateFileAndKeepsItPrivate) {
    const std::string target = folder.Write("out/private.jpg", "old secret");
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const CliRun run = Sim("pull /DCIM/100APPLE/IMG_0001.JPG " + target);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(testing::ReadFileBytes(target),
              testing::ReadFileBytes(Media("/DCIM/100APPLE/IMG_0001.JPG")));
    struct stat info {};
    ASSERT_EQ(::lstat(target.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // Nothing was left beside it (no temporary file).
    EXPECT_EQ(FingerprintTree(output).size(), 2u);
}

TEST_F(HostSafety, NamesThatAreNotUtf8AreRefusedWithTheirBytesShown) {
    // The library would receive U+FFFD for the bad byte: on the device, another file's name.
    const std::string replacement = "caf\xEF\xBF\xBD.txt";
    const std::string other = folder.Write("other.txt", "another file that must stay");
    ASSERT_TRUE(platform::CopyFile(other, Media("/Downloads/" + replacement)));
    const std::string latin1 = "caf\xE9.txt";
    const std::string hostFile = folder.Write("out/" + latin1, "host bytes");

    const testing::TreeFingerprint mediaBefore = FingerprintTree(Media("/"));
    const testing::TreeFingerprint outputBefore = FingerprintTree(output);
    const struct {
        std::string arguments;
        const char* argument;
    } cases[] = {
        {"rm '/Downloads/" + latin1 + "'", "DEVICE_PATH"},
        {"pull '/Downloads/" + replacement + "' '" + output + "/new-" + latin1 + "'", "HOST_PATH"},
        {"pull '/Downloads/" + latin1 + "' " + output + "/fresh.txt", "DEVICE_PATH"},
        {"push '" + hostFile + "' /Downloads/", "HOST_PATH"},
        {"mkdir '/Downloads/" + latin1 + "'", "DEVICE_PATH"},
        {"ls '/Downloads/" + latin1 + "'", "DEVICE_PATH"},
        {"verify '" + output + "/" + latin1 + "'", "FOLDER"},
        {"restore '" + output + "/" + latin1 + "'", "FOLDER"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.arguments);
        const CliRun run = Sim(each.arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find(std::string(each.argument) + " \""), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("caf\\xE9.txt\""), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("not UTF-8"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\xE9'), std::string::npos) << "the raw byte reached the terminal";
    }
    EXPECT_EQ(FingerprintTree(Media("/")), mediaBefore);
    EXPECT_EQ(FingerprintTree(output), outputBefore);
}

TEST_F(HostSafety, RecursiveRemovalRefusesTheRootInEverySpelling) {
    const testing::TreeFingerprint before = FingerprintTree(Media("/"));
    ASSERT_GT(before.size(), 10u);
    for (const char* root : {"/", "//", "/.", "/./", ".", "./", "/..", "../..", "/DCIM/..",
                             "/DCIM/100APPLE/../../", "'\\\\'", "'/.\\\\.'", "''"}) {
        SCOPED_TRACE(root);
        const CliRun run = Sim(std::string("rm -r ") + root);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(Lines(run.err), 1u) << run.err;
        EXPECT_NE(run.err.find("root of the device's file service"), std::string::npos) << run.err;
        ASSERT_EQ(FingerprintTree(Media("/")), before);
    }
    // A folder below the root is still removed, however it is spelt.
    ASSERT_EQ(Sim("rm -r /DCIM/./100APPLE/../100APPLE/").status, 0);
    EXPECT_FALSE(platform::PathExists(Media("/DCIM/100APPLE")));
    EXPECT_TRUE(platform::IsFolder(Media("/DCIM")));
}

}  // namespace
}  // namespace bw
