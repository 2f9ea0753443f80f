// The backup exports as a host sees them: the shared library loaded by path and its functions
// looked up by name.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "brackwater/backup.h"
#include "formats/plist_library.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/exported_function.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

struct BackupExports {
    ICreateInfoPlist* (*infoNew)(::CIPhone*, const BwChar*);
    void (*infoDelete)(ICreateInfoPlist**);
    IBackupPrepareWork* (*prepareInstance)();
    unsigned char (*checkEncryption)(::CIPhone*);
    unsigned char (*checkRestore)(::CIPhone*, const BwChar*);
    unsigned char (*iCloud)(::CIPhone*);
    IDeviceBackUp* (*backupNew)(const BwChar*, int32_t, unsigned char, const BwChar*);
    void (*backupDelete)(IDeviceBackUp**);
    unsigned char (*verify)(const BwChar*);
};

using testing::FindExport;

class BackupExportsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        FindExport(library_, "CreateInfoObjNewEx", exports_.infoNew);
        FindExport(library_, "CreateInfoObjDelete", exports_.infoDelete);
        FindExport(library_, "GetBackupPrepareWorkInstance", exports_.prepareInstance);
        FindExport(library_, "CheckDeviceBackUpEncryptionE", exports_.checkEncryption);
        FindExport(library_, "CheckDeviceRestoreEx", exports_.checkRestore);
        FindExport(library_, "IsOpeniCloudEx", exports_.iCloud);
        FindExport(library_, "DeviceBackUpNewEx", exports_.backupNew);
        FindExport(library_, "DeviceBackUpDelete", exports_.backupDelete);
        FindExport(library_, "VerifyBackUp", exports_.verify);
    }

    void WriteInfo(const std::string& folder, bool marked) {
        CDicValueObj info = CDicValueObj::MakeDictionary();
        info.Set("Device Name", CDicValueObj::MakeString("phone"));
        if (marked) info.Set("Larkspur Version", CDicValueObj::MakeString("1.0.0.0"));
        platform::CreateFolders(folder);
        writeXmlFile(info, platform::JoinPath(folder, "Info.plist"));
    }

    void* library_ = nullptr;
    BackupExports exports_{};
    testing::TempFolder folder_;
};

TEST_F(BackupExportsTest, VerifyBackUpRequiresTheLibrarysMark) {
    WriteInfo(folder_ / "ours", true);
    WriteInfo(folder_ / "tools", false);
    folder_.Write("broken/Info.plist", "<plist><dict><key>Larkspur Version</key>");
    EXPECT_EQ(exports_.verify(Utf8ToWide(folder_ / "ours").c_str()), 1);
    EXPECT_EQ(exports_.verify(Utf8ToWide(folder_ / "tools").c_str()), 0);
    EXPECT_EQ(exports_.verify(Utf8ToWide(folder_ / "broken").c_str()), 0);
    EXPECT_EQ(exports_.verify(Utf8ToWide(folder_ / "missing").c_str()), 0);
    EXPECT_EQ(exports_.verify(u""), 0);
    EXPECT_EQ(exports_.verify(nullptr), 0);
}

TEST_F(BackupExportsTest, ChecksRefuseUnknownDevices) {
    folder_.Write("encrypted/Manifest.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>IsEncrypted</key>"
                  "<true/></dict></plist>");
    const std::u16string encrypted = Utf8ToWide(folder_ / "encrypted");
    int stray = 0;
    auto* unknown = reinterpret_cast<::CIPhone*>(&stray);
    EXPECT_EQ(exports_.checkRestore(nullptr, encrypted.c_str()), 0);
    EXPECT_EQ(exports_.checkRestore(unknown, encrypted.c_str()), 0);
    EXPECT_EQ(exports_.checkEncryption(nullptr), 0);
    EXPECT_EQ(exports_.checkEncryption(unknown), 0);
    EXPECT_EQ(exports_.iCloud(nullptr), 0);
    EXPECT_EQ(exports_.iCloud(unknown), 0);
    EXPECT_EQ(exports_.infoNew(nullptr, encrypted.c_str()), nullptr);
    EXPECT_EQ(exports_.infoNew(unknown, encrypted.c_str()), nullptr);
    ICreateInfoPlist* none = nullptr;
    exports_.infoDelete(&none);
    exports_.infoDelete(nullptr);
}

TEST_F(BackupExportsTest, PreparationIsOneObjectForTheProcess) {
    IBackupPrepareWork* work = exports_.prepareInstance();
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(exports_.prepareInstance(), work);
    // Without a device nothing is prepared (and nothing is created).
    ::setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    ::setenv("BRACKWATER_REGISTRY", (folder_ / "none.reg").c_str(), 1);
    work->Init(nullptr, 0, 0);
    work->Prepare();
    EXPECT_FALSE(platform::PathExists(folder_ / "data"));
}

TEST_F(BackupExportsTest, DeleteDestroysTheRunObjectAndClearsThePointer) {
    IDeviceBackUp* run = exports_.backupNew(u"", kBackupModeBackup, 0, u"");
    ASSERT_NE(run, nullptr);
    BackupStatus status{};
    run->SetStatus(&status);
    run->Start();  // an empty target identifier: nothing happens
    exports_.backupDelete(&run);
    EXPECT_EQ(run, nullptr);
    exports_.backupDelete(&run);
    exports_.backupDelete(nullptr);
    IDeviceBackUp* nulls = exports_.backupNew(nullptr, kBackupModeRestore, 1, nullptr);
    ASSERT_NE(nulls, nullptr);
    exports_.backupDelete(&nulls);
    EXPECT_EQ(status.finished, 0);
    EXPECT_EQ(status.message[0], 0);
}

}  // namespace
}  // namespace bw
