// Exports that write or delete on the host, as a host sees them (the shared library loaded by
// path, the simulator behind the registry): the copy from the device replaces only a regular file
// and keeps its mode, and keeping the backups down removes only this device's older backups.
#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "brackwater/backup.h"
#include "platform/text.h"
#include "support/canary.h"
#include "support/exported_function.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::FindExport;
using testing::FingerprintTree;
using testing::TreeFingerprint;

struct Exports {
    IConnectListener* (*listenerNew)(unsigned char, unsigned char);
    void (*listenerDelete)();
    int (*copyFrom)(::CIPhone*, const BwChar*, const BwChar*);
    int (*prune)(::CIPhone*, int32_t);
    int (*remove)(::CIPhone*, const BwChar*);
    int (*backups)(::CIPhone*, BwBackupSink, void*);
};

class HostSafetyExports : public testing::SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        ::setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
        root_ = folder_ / "data/Apple Computer/MobileSync/Backup";
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        FindExport(library_, "ConnectListenerNew", api_.listenerNew);
        FindExport(library_, "ConnectListenerDelete", api_.listenerDelete);
        FindExport(library_, "BrackwaterDeviceCopyFromDevice", api_.copyFrom);
        FindExport(library_, "BrackwaterPruneBackups", api_.prune);
        FindExport(library_, "BrackwaterRemoveBackup", api_.remove);
        FindExport(library_, "BrackwaterDeviceBackups", api_.backups);
        hostListener_ = api_.listenerNew(0, 0);
        ASSERT_NE(hostListener_, nullptr);
        hostListener_->SetCallback(testing::CallbackLog::Record, &log_);
        hostListener_->StartListening();
        image_ = MakeImage("phone");
        udid_ = sim_.Attach(image_);
        ASSERT_TRUE(sim_.Settle());
        const auto events = log_.Events();
        ASSERT_FALSE(events.empty());
        device_ = events.front().device;
    }

    void TearDown() override {
        sim_.DetachAll();
        EXPECT_TRUE(sim_.Settle());
        if (hostListener_ != nullptr) hostListener_->StopListening();
        if (api_.listenerDelete != nullptr) api_.listenerDelete();
    }

    // A backup folder marked as this library's, with `dateElement` in its Info.plist and a file
    // of its own so that a fingerprint tells the folders apart.
    std::string Backup(const std::string& name, const std::string& dateElement) {
        const std::string folder = root_ + "/" + name;
        folder_.Write("data/Apple Computer/MobileSync/Backup/" + name + "/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>Larkspur Version</key><string>1.0</string>" +
                          dateElement + "</dict></plist>\n");
        folder_.Write("data/Apple Computer/MobileSync/Backup/" + name + "/Manifest.mbdb", name);
        return folder;
    }
    static std::string Dated(const char* isoDate) {
        return std::string("<key>Last Backup Date</key><date>") + isoDate + "</date>";
    }

    int Count() { return api_.backups(device_, nullptr, nullptr); }

    void* library_ = nullptr;
    Exports api_{};
    IConnectListener* hostListener_ = nullptr;
    ::CIPhone* device_ = nullptr;
    std::string image_, udid_, root_;
};

TEST_F(HostSafetyExports, CopyFromDeviceReplacesOnlyARegularFileAndKeepsItsMode) {
    const std::string canary = folder_ / "canary";
    testing::PlantCanary(canary);
    const std::string out = folder_ / "out";
    std::filesystem::create_directories(out);
    ASSERT_EQ(::mkfifo((out + "/pipe").c_str(), 0600), 0);
    ASSERT_EQ(::symlink((canary + "/file.txt").c_str(), (out + "/link").c_str()), 0);
    ASSERT_EQ(::symlink((canary + "/none.txt").c_str(), (out + "/dangling").c_str()), 0);
    const int socket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = out + "/sock";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    // A character device: as root one of the test's own (a fault must not reach the system's),
    // without root the system's, which cannot be replaced then anyway.
    const bool ownNode =
        ::geteuid() == 0 && ::mknod((out + "/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
    const std::string node = ownNode ? out + "/null" : "/dev/null";
    const TreeFingerprint outBefore = FingerprintTree(out), canaryBefore = FingerprintTree(canary);
    for (const char16_t* target : {u"/pipe", u"/link", u"/dangling", u"/sock", u""}) {
        const std::u16string path = Utf8ToWide(out) + target;
        SCOPED_TRACE(WideToUtf8(path));
        EXPECT_EQ(api_.copyFrom(device_, u"/DCIM/100APPLE/IMG_0001.JPG", path.c_str()), 0);
    }
    if (::geteuid() != 0 || ownNode) {
        EXPECT_EQ(api_.copyFrom(device_, u"/DCIM/100APPLE/IMG_0001.JPG", Utf8ToWide(node).c_str()),
                  0);
    }
    ::close(socket);
    EXPECT_EQ(FingerprintTree(out), outBefore);
    EXPECT_EQ(FingerprintTree(canary), canaryBefore);
    struct stat null {};
    ASSERT_EQ(::lstat(node.c_str(), &null), 0);
    EXPECT_TRUE(S_ISCHR(null.st_mode));

    // A private file stays private when its bytes are replaced.
    const std::string secret = folder_.Write("out/secret.jpg", "old");
    ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
    ASSERT_EQ(api_.copyFrom(device_, u"/DCIM/100APPLE/IMG_0001.JPG", Utf8ToWide(secret).c_str()),
              1);
    struct stat info {};
    ASSERT_EQ(::lstat(secret.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(testing::ReadFileBytes(secret),
              testing::ReadFileBytes(
                  sim::ImagePath(image_, "/DCIM/100APPLE/IMG_0001.JPG", sim::ImageRoot::Media)));
}

TEST_F(HostSafetyExports, PruningRemovesTheOldestDatedArchivesAndNeverTheCurrentBackup) {
    // The current backup is the oldest by date and first by name: it still stays.
    const std::string current = Backup(udid_, Dated("2010-01-01T00:00:00Z"));
    const std::string oldest = Backup(udid_ + "-b", Dated("2012-01-01T00:00:00Z"));
    const std::string middle = Backup(udid_ + "-a", Dated("2013-01-01T00:00:00Z"));
    const std::string newest = Backup(udid_ + "-0", Dated("2014-01-01T00:00:00Z"));
    const std::string undated = Backup(udid_ + "-undated", "");
    const std::string foreign =
        folder_.Write("data/Apple Computer/MobileSync/Backup/" + udid_ + "-foreign/Info.plist",
                      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict/></plist>");
    ASSERT_EQ(Count(), 5);

    EXPECT_EQ(api_.prune(device_, 5), 0);
    EXPECT_EQ(api_.prune(device_, -1), -1);
    EXPECT_EQ(api_.prune(nullptr, 1), -1);
    ASSERT_EQ(Count(), 5);

    EXPECT_EQ(api_.prune(device_, 3), 2);
    EXPECT_FALSE(std::filesystem::exists(oldest));
    EXPECT_FALSE(std::filesystem::exists(middle));
    EXPECT_TRUE(std::filesystem::exists(newest + "/Info.plist"));

    // Below what can go: the current backup and the one without a date stay.
    EXPECT_EQ(api_.prune(device_, 0), 1);
    EXPECT_FALSE(std::filesystem::exists(newest));
    EXPECT_TRUE(std::filesystem::exists(current + "/Manifest.mbdb"));
    EXPECT_TRUE(std::filesystem::exists(undated + "/Manifest.mbdb"));
    EXPECT_TRUE(std::filesystem::exists(foreign));
    EXPECT_EQ(Count(), 2);
}

TEST_F(HostSafetyExports, RemovingABackupTakesOnlyAnArchiveOfThisDevice) {
    const std::string current = Backup(udid_, Dated("2014-01-01T00:00:00Z"));
    const std::string archive = Backup(udid_ + "-20130101-000000", Dated("2013-01-01T00:00:00Z"));
    const std::string other = Backup("0123456789abcdef0123456789abcdef01234567-x", "");
    const std::string outside = folder_ / "outside";
    testing::PlantCanary(outside);
    folder_.Write("outside/Info.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                  "<key>Larkspur Version</key><string>1</string>"
                  "</dict></plist>");
    ASSERT_EQ(::symlink(outside.c_str(), (root_ + "/" + udid_ + "-link").c_str()), 0);
    const TreeFingerprint everything = FingerprintTree(folder_ / "data");
    const TreeFingerprint outsideBefore = FingerprintTree(outside);

    for (const std::string& refused :
         {current, current + "/", other, outside, root_ + "/" + udid_ + "-link",
          root_ + "/" + udid_ + "-20130101-000000/../" + udid_, std::string()}) {
        SCOPED_TRACE(refused);
        EXPECT_EQ(api_.remove(device_, Utf8ToWide(refused).c_str()), 0);
    }
    EXPECT_EQ(api_.remove(device_, nullptr), 0);
    EXPECT_EQ(api_.remove(nullptr, Utf8ToWide(archive).c_str()), 0);
    EXPECT_EQ(FingerprintTree(folder_ / "data"), everything);
    EXPECT_EQ(FingerprintTree(outside), outsideBefore);

    EXPECT_EQ(api_.remove(device_, Utf8ToWide(archive).c_str()), 1);
    EXPECT_FALSE(std::filesystem::exists(archive));
    EXPECT_TRUE(std::filesystem::exists(current + "/Info.plist"));
    EXPECT_EQ(FingerprintTree(outside), outsideBefore);
}

}  // namespace
}  // namespace bw
