// The exported deep-clean functions, loaded from the shared library as a host loads them, with a
// device from the library's own listener.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
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
    }

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

}  // namespace
}  // namespace bw
