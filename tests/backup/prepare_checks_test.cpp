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
    const std::string encrypted = BackupWith("encrypted", &yes);
    CDicValueObj binary = CDicValueObj::MakeDictionary();
    binary.Set("IsEncrypted", yes);
    platform::CreateFolders(folder_ / "binary");
    writeBinaryFile(binary, folder_ / "binary/Manifest.plist");
    platform::CreateFolders(folder_ / "empty");
    folder_.Write("broken/Manifest.plist", "<?xml version=\"1.0\"?><plist><dict><key>IsEncr");
    platform::CreateFolders(folder_ / "odd/Manifest.plist");  // a folder, not a file
    const struct {
        const char* name;
        CIPhone* device;
        std::string folder;
        bool answer;
    } cases[] = {
        {"encrypted", phone, encrypted, true},
        {"binary manifest", phone, folder_ / "binary", true},
        {"false", phone, BackupWith("plain", &no), false},
        {"text", phone, BackupWith("text", &text), false},
        {"number", phone, BackupWith("number", &one), false},
        {"key absent", phone, BackupWith("absent", nullptr), false},
        {"no device", nullptr, encrypted, false},
        {"no folder", phone, "", false},
        {"missing folder", phone, folder_ / "missing", false},
        {"no manifest", phone, folder_ / "empty", false},
        {"broken manifest", phone, folder_ / "broken", false},
        {"manifest is a folder", phone, folder_ / "odd", false},
        {"path names the manifest", phone, platform::JoinPath(encrypted, "Manifest.plist"), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CheckDeviceRestore(c.device, c.folder), c.answer) << c.name;
    EndListening();
}

TEST_F(BackupChecks, EncryptingAssociatedDeviceWillNotBackUpPlainAndIsAssociated) {
    sim::ImageOptions options;
    options.backupEncrypted = true;
    options.findMyPhone = true;
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    EXPECT_FALSE(CheckDeviceBackUpEncryption(phone));
    EXPECT_TRUE(IsOpeniCloud(phone));
    EXPECT_FALSE(CheckDeviceBackUpEncryption(nullptr));
    EXPECT_FALSE(IsOpeniCloud(nullptr));
    EndListening();
}

TEST_F(BackupChecks, PlainUnassociatedDeviceWillBackUpPlainWhileItHasASession) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    EXPECT_TRUE(CheckDeviceBackUpEncryption(phone));
    EXPECT_FALSE(IsOpeniCloud(phone));
    // No session, no answer.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E, 1));
    EXPECT_FALSE(CheckDeviceBackUpEncryption(phone));
    EndListening();
}

}  // namespace
}  // namespace bw
