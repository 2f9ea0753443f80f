// The exported deep-clean functions, loaded from the shared library as a host loads them, with a
// device from the library's own listener.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "brackwater/backup.h"
#include "brackwater/deepclean.h"
#include "device/host_utils.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/exported_function.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::FileRecord;
using testing::MbdbBuilder;
using testing::ReadFileBytes;
using testing::SimDeviceTest;

struct DeepCleanExports {
    decltype(&::ConnectListenerNew) listenerNew;
    decltype(&::ConnectListenerDelete) listenerDelete;
    decltype(&::CreateConfigureToolExIn) create;
    decltype(&::CreateBackupInfo) backupInfo;
    decltype(&::DeepCleanComplete) complete;
    decltype(&::GetBackupPrepareWorkInstance) prepare;
};

using testing::FindExport;

class ConfigureExportsTest : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        FindExport(library_, "ConnectListenerNew", api_.listenerNew);
        FindExport(library_, "ConnectListenerDelete", api_.listenerDelete);
        FindExport(library_, "CreateConfigureToolExIn", api_.create);
        FindExport(library_, "CreateBackupInfo", api_.backupInfo);
        FindExport(library_, "DeepCleanComplete", api_.complete);
        FindExport(library_, "GetBackupPrepareWorkInstance", api_.prepare);
    }

    // The device of the listener, with an empty backup folder in the library's backup root.
    ::CIPhone* ConnectDevice(IConnectListener* listener, testing::CallbackLog& log) {
        listener->SetCallback(testing::CallbackLog::Record, &log);
        listener->StartListening();
        udid_ = sim_.Attach(MakeImage("phone"));
        EXPECT_TRUE(sim_.Settle());
        if (log.Count(kDeviceArrived) != 1) return nullptr;
        EXPECT_TRUE(platform::CreateFolders(GetBackupRoot() + "/" + udid_));
        return log.Events().front().device;
    }

    // The names in `folder` that begin with the device's identifier.
    std::vector<std::string> DeviceFolders(const std::string& folder) const {
        std::vector<std::string> names;
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(folder, entries);
        for (const platform::FolderEntry& entry : entries) {
            if (entry.name.starts_with(udid_)) names.push_back(entry.name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string udid_;

    void* library_ = nullptr;
    DeepCleanExports api_{};
};

TEST_F(ConfigureExportsTest, WithoutADeviceNothingIsSetUpOrWritten) {
    const std::u16string work = Utf8ToWide(folder_ / "work");
    EXPECT_EQ(api_.create(nullptr, work.c_str()), 0);
    EXPECT_EQ(api_.create(nullptr, nullptr), 0);
    EXPECT_EQ(api_.backupInfo(), 0);
    EXPECT_EQ(api_.complete(), 0);
    EXPECT_FALSE(platform::PathExists(folder_ / "work"));
}

TEST_F(ConfigureExportsTest, DeviceBackupIsEditedThroughTheExports) {
    ASSERT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
    IConnectListener* listener = api_.listenerNew(0, 0);
    ASSERT_NE(listener, nullptr);
    testing::CallbackLog log;
    listener->SetCallback(testing::CallbackLog::Record, &log);
    listener->StartListening();
    const std::string udid = sim_.Attach(MakeImage("phone"));
    ASSERT_TRUE(sim_.Settle());
    ASSERT_EQ(log.Count(kDeviceArrived), 1u);
    ::CIPhone* device = log.Events().front().device;

    // A backup whose only file is the address book, in the folder the library looks in.
    const std::string source = GetBackupRoot() + "/" + udid;
    const std::string name =
        MbdbBackupFileName("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb");
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", 8));
    ASSERT_TRUE(platform::CreateFolders(source));
    ASSERT_TRUE(platform::WriteFileAtomic(source + "/Manifest.mbdb", builder.Bytes()));
    ASSERT_TRUE(platform::WriteFileAtomic(source + "/" + name, "contacts"));

    const std::u16string work = Utf8ToWide(folder_ / "work");
    EXPECT_EQ(api_.create(device, work.c_str()), 1);
    const std::string backupCopy = folder_ / ("work/DeviceBackup/Backup/" + udid);
    EXPECT_EQ(ReadFileBytes(backupCopy + "/Manifest.mbdb"), builder.Bytes());
    EXPECT_EQ(api_.backupInfo(), 1);
    EXPECT_TRUE(platform::IsFile(backupCopy + "/BackupInfo.plist"));
    EXPECT_EQ(api_.complete(), 1);
    // Nothing was served, so nothing changed.
    EXPECT_EQ(ReadFileBytes(source + "/Manifest.mbdb"), builder.Bytes());
    EXPECT_EQ(ReadFileBytes(source + "/" + name), "contacts");

    sim_.DetachAll();
    EXPECT_TRUE(sim_.Settle());
    listener->StopListening();
    api_.listenerDelete();
    ExpectNothingOpen();
}

// The host chooses at backup preparation whether the device's current folders are deleted or
// archived; a set-up through the export follows that choice for its working folders.
TEST_F(ConfigureExportsTest, SetUpDeletesOrArchivesWorkingFoldersAsThePreparationSays) {
    ASSERT_TRUE(platform::SetEnv("XDG_DATA_HOME", folder_ / "appdata"));
    IConnectListener* listener = api_.listenerNew(0, 0);
    ASSERT_NE(listener, nullptr);
    testing::CallbackLog log;
    ::CIPhone* device = ConnectDevice(listener, log);
    ASSERT_NE(device, nullptr);
    const std::u16string work = Utf8ToWide(folder_ / "work");
    const std::string backupParent = folder_ / "work/DeviceBackup/Backup";
    const std::string restoreParent = folder_ / "work/DeviceBackup/Restore";

    api_.prepare()->Init(device, 1, 3);
    api_.create(device, work.c_str());
    ASSERT_TRUE(platform::IsFolder(backupParent + "/" + udid_));
    ASSERT_TRUE(platform::WriteFileAtomic(backupParent + "/" + udid_ + "/old", "earlier run"));
    ASSERT_TRUE(platform::WriteFileAtomic(restoreParent + "/" + udid_ + "/old", "earlier run"));
    api_.create(device, work.c_str());
    EXPECT_EQ(DeviceFolders(backupParent), std::vector<std::string>{udid_});
    EXPECT_EQ(DeviceFolders(restoreParent), std::vector<std::string>{udid_});
    EXPECT_FALSE(platform::PathExists(backupParent + "/" + udid_ + "/old"));
    EXPECT_FALSE(platform::PathExists(restoreParent + "/" + udid_ + "/old"));

    api_.prepare()->Init(device, 0, 3);
    ASSERT_TRUE(platform::WriteFileAtomic(backupParent + "/" + udid_ + "/old", "earlier run"));
    api_.create(device, work.c_str());
    const std::vector<std::string> kept = DeviceFolders(backupParent);
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_EQ(kept[0], udid_);
    EXPECT_EQ(ReadFileBytes(backupParent + "/" + kept[1] + "/old"), "earlier run");
    EXPECT_EQ(DeviceFolders(restoreParent).size(), 2u);

    sim_.DetachAll();
    EXPECT_TRUE(sim_.Settle());
    listener->StopListening();
    api_.listenerDelete();
    ExpectNothingOpen();
}

}  // namespace
}  // namespace bw
