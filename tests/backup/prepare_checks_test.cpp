// The three checks a host asks before a backup or restore, against simulated devices and
// manifests the test writes.
#include <gtest/gtest.h>

#include "backup/backup_prepare.h"
#include "formats/plist_library.h"
#include "platform/files.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

class BackupChecks : public SimDeviceTest {
  protected:
    CIPhone* ArriveWith(const sim::ImageOptions& options) {
        Listen();
        CIPhone* phone = Arrive(MakeImage("phone", options));
        EXPECT_NE(phone, nullptr);
        return phone;
    }

    // A backup folder whose Manifest.plist holds `isEncrypted` (nothing: the key is left out).
    std::string BackupWith(const std::string& name, const CDicValueObj* isEncrypted) {
        const std::string folder = folder_ / name;
        platform::CreateFolders(folder);
        CDicValueObj manifest = CDicValueObj::MakeDictionary();
        manifest.Set("Version", CDicValueObj::MakeString("9.1"));
        if (isEncrypted != nullptr) manifest.Set("IsEncrypted", *isEncrypted);
        writeXmlFile(manifest, platform::JoinPath(folder, "Manifest.plist"));
        return folder;
    }
};

TEST_F(BackupChecks, RestoreCheckIsTrueOnlyForABooleanTrueIsEncrypted) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    const CDicValueObj yes = CDicValueObj::MakeBool(true);
    const CDicValueObj no = CDicValueObj::MakeBool(false);
    const CDicValueObj text = CDicValueObj::MakeString("true");
    const CDicValueObj one = CDicValueObj::MakeInteger(1);
    EXPECT_TRUE(CheckDeviceRestore(phone, BackupWith("encrypted", &yes)));
    EXPECT_FALSE(CheckDeviceRestore(phone, BackupWith("plain", &no)));
    EXPECT_FALSE(CheckDeviceRestore(phone, BackupWith("text", &text)));
    EXPECT_FALSE(CheckDeviceRestore(phone, BackupWith("number", &one)));
    EXPECT_FALSE(CheckDeviceRestore(phone, BackupWith("absent", nullptr)));
    EndListening();
}

TEST_F(BackupChecks, RestoreCheckIsFalseForMissingOrBrokenManifests) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    const CDicValueObj yes = CDicValueObj::MakeBool(true);
    const std::string encrypted = BackupWith("encrypted", &yes);
    EXPECT_FALSE(CheckDeviceRestore(nullptr, encrypted));
    EXPECT_FALSE(CheckDeviceRestore(phone, ""));
    EXPECT_FALSE(CheckDeviceRestore(phone, folder_ / "missing"));
    platform::CreateFolders(folder_ / "empty");
    EXPECT_FALSE(CheckDeviceRestore(phone, folder_ / "empty"));
    folder_.Write("broken/Manifest.plist", "<?xml version=\"1.0\"?><plist><dict><key>IsEncr");
    EXPECT_FALSE(CheckDeviceRestore(phone, folder_ / "broken"));
    // A manifest that is a folder, not a file.
    platform::CreateFolders(folder_ / "odd/Manifest.plist");
    EXPECT_FALSE(CheckDeviceRestore(phone, folder_ / "odd"));
    // The folder path names the manifest file itself.
    EXPECT_FALSE(CheckDeviceRestore(phone, platform::JoinPath(encrypted, "Manifest.plist")));
    EndListening();
}

TEST_F(BackupChecks, BinaryManifestIsReadToo) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    CDicValueObj manifest = CDicValueObj::MakeDictionary();
    manifest.Set("IsEncrypted", CDicValueObj::MakeBool(true));
    platform::CreateFolders(folder_ / "binary");
    writeBinaryFile(manifest, folder_ / "binary/Manifest.plist");
    EXPECT_TRUE(CheckDeviceRestore(phone, folder_ / "binary"));
    EndListening();
}

TEST_F(BackupChecks, EncryptionCheckAnswersWhetherTheBackupWillBePlain) {
    sim::ImageOptions encrypting;
    encrypting.backupEncrypted = true;
    CIPhone* phone = ArriveWith(encrypting);
    ASSERT_NE(phone, nullptr);
    EXPECT_FALSE(CheckDeviceBackUpEncryption(phone));
    EXPECT_FALSE(CheckDeviceBackUpEncryption(nullptr));
    EndListening();
}

TEST_F(BackupChecks, EncryptionCheckIsTrueForADeviceThatDoesNotEncrypt) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    EXPECT_TRUE(CheckDeviceBackUpEncryption(phone));
    // No session, no answer.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E, 1));
    EXPECT_FALSE(CheckDeviceBackUpEncryption(phone));
    EndListening();
}

TEST_F(BackupChecks, FindMyPhoneCheckFollowsTheAssociation) {
    sim::ImageOptions associated;
    associated.findMyPhone = true;
    CIPhone* phone = ArriveWith(associated);
    ASSERT_NE(phone, nullptr);
    EXPECT_TRUE(IsOpeniCloud(phone));
    EXPECT_FALSE(IsOpeniCloud(nullptr));
    EndListening();
}

TEST_F(BackupChecks, FindMyPhoneCheckIsFalseWhenNotAssociated) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    EXPECT_FALSE(IsOpeniCloud(phone));
    EndListening();
}

}  // namespace
}  // namespace bw
