// The backup tool's manifest code against the library's: a manifest one of them writes is read
// by the other, field by field, and both are held against bytes and names written out by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "backup/manifest.h"
#include "backuptool/mbdb.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace bw::testing {
namespace {

using sim::backuptool::DecodeManifest;
using sim::backuptool::EncodeManifest;
using sim::backuptool::ManifestRecord;

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (const int value : values)
        bytes.push_back(static_cast<char>(value));
    return bytes;
}

// 0x00, 0x01, ... 0x13: a data hash with bytes outside the printable range.
std::string CountingHash(int first) {
    std::string hash;
    for (int i = 0; i < 20; ++i)
        hash.push_back(static_cast<char>(first + i));
    return hash;
}

// One small record, every field a different number, as it lies in the file.
const std::string kOneRecordFile =
    std::string("mbdb\x05\x00", 6) +
    Bytes({0x00, 0x01, 'D',  0x00, 0x01, 'p',  0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00,  // domain .. key
           0x41, 0xED,                                                              // mode
           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02,                          // inode
           0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04,                          // uid, gid
           0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x07,  // times
           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x08,                          // size
           0x09, 0x01, 0x00, 0x01, 'n',  0x00, 0x01, 'v'});  // class, one property

ManifestRecord OneRecord() {
    ManifestRecord record;
    record.domain = "D";
    record.path = "p";
    record.encryptionKey = "";  // empty, which differs from absent
    record.mode = 040755;
    record.inode = 2;
    record.userId = 3;
    record.groupId = 4;
    record.modifiedTime = 5;
    record.accessedTime = 6;
    record.createdTime = 7;
    record.size = 0x108;
    record.protectionClass = 9;
    record.properties = {{"n", "v"}};
    return record;
}

TEST(BackupToolMbdb, OneRecordHasTheBytesOfTheFormat) {
    EXPECT_EQ(EncodeManifest({OneRecord()}), kOneRecordFile);
    std::vector<ManifestRecord> read;
    std::string error;
    ASSERT_TRUE(DecodeManifest(kOneRecordFile, read, error)) << error;
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0], OneRecord());
    EXPECT_FALSE(read[0].linkTarget.has_value());
    EXPECT_FALSE(read[0].dataHash.has_value());
    EXPECT_EQ(read[0].encryptionKey, std::optional<std::string>(""));
}

TEST(BackupToolMbdb, TheReaderRefusesOtherHeadersAndRecordsCutShort) {
    std::vector<ManifestRecord> read;
    std::string error;
    EXPECT_TRUE(DecodeManifest(std::string("mbdb\x05\x00", 6), read, error));
    EXPECT_TRUE(read.empty());
    for (const std::string& header :
         {std::string("mbdb\x04\x00", 6), std::string("mbdx\x05\x00", 6),
          std::string("MBDB\x05\x00", 6)}) {
        EXPECT_FALSE(DecodeManifest(header + kOneRecordFile.substr(6), read, error)) << header;
    }
    // Every cut inside the record.
    for (size_t cut = 7; cut < kOneRecordFile.size(); ++cut) {
        EXPECT_FALSE(DecodeManifest(kOneRecordFile.substr(0, cut), read, error)) << cut;
        EXPECT_TRUE(read.empty());
        EXPECT_NE(error.find("offset 6"), std::string::npos) << error;
    }
    // A string that claims more bytes than there are.
    std::string overlong = kOneRecordFile;
    overlong[7] = 0x7F;
    EXPECT_FALSE(DecodeManifest(overlong, read, error));
}

TEST(BackupToolMbdb, TheWriterRefusesWhatTheFormatCannotHold) {
    ManifestRecord record = OneRecord();
    record.path = std::string(0xFFFF, 'a');  // the length that means "absent"
    EXPECT_FALSE(EncodeManifest({record}).has_value());
    record.path = std::string(0xFFFE, 'a');
    EXPECT_TRUE(EncodeManifest({record}).has_value());
    record = OneRecord();
    record.properties.assign(256, {"n", "v"});
    EXPECT_FALSE(EncodeManifest({record}).has_value());
}

TEST(BackupToolMbdb, BackupFileNamesAreTheSha1OfDomainDashPath) {
    // Worked out once outside both programs.
    EXPECT_EQ(sim::backuptool::BackupFileName("HomeDomain", "Library/SMS/sms.db"),
              "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(sim::backuptool::BackupFileName("CameraRollDomain", "Media/DCIM/Latest"),
              "926ad9baf1e7ed2aee3f02ec6cf03c643420cfc0");
}

// Two records the tool writes, read by the library.
TEST(BackupToolMbdb, TheLibraryReadsWhatTheToolWrites) {
    ManifestRecord sms;
    sms.domain = "HomeDomain";
    sms.path = "Library/SMS/sms.db";
    sms.dataHash = CountingHash(0x00);
    sms.mode = 0100644;
    sms.inode = 0x0102030405060708;
    sms.userId = 501;
    sms.groupId = 502;
    sms.modifiedTime = 1400000000;
    sms.accessedTime = 1400000100;
    sms.createdTime = 1400000200;
    sms.size = 123456;
    sms.protectionClass = 4;
    sms.properties = {{"com.apple.assetsd.UUID", "A1B2"}};
    ManifestRecord latest;
    latest.domain = "CameraRollDomain";
    latest.path = "Media/DCIM/Latest";
    latest.linkTarget = "100APPLE";
    latest.encryptionKey = "";
    latest.mode = 0120755;
    latest.inode = 77;
    latest.modifiedTime = 1000;
    latest.accessedTime = 2000;
    latest.createdTime = 3000;

    TempFolder folder;
    const std::optional<std::string> bytes = EncodeManifest({sms, latest});
    ASSERT_TRUE(bytes.has_value());
    ASSERT_TRUE(platform::WriteFileAtomic(folder / "Manifest.mbdb", *bytes));
    ManifestDataManager manifest("udid", folder.path(), folder / "Manifest.mbdb");
    const std::vector<MbdbRecord> records = manifest.Records();
    EXPECT_EQ(manifest.LastError(), "");
    ASSERT_EQ(records.size(), 2u);

    const MbdbRecord& a = records[0];
    EXPECT_EQ(a.domain.text, "HomeDomain");
    EXPECT_EQ(a.domain.storedLength, 10);
    EXPECT_EQ(a.path.text, "Library/SMS/sms.db");
    EXPECT_FALSE(a.linkTarget.HasValue());
    EXPECT_EQ(a.dataHash.storedLength, 20);
    EXPECT_FALSE(a.dataHash.storedAsText);
    EXPECT_EQ(a.dataHash.text, "000102030405060708090A0B0C0D0E0F10111213");
    EXPECT_FALSE(a.encryptionKey.HasValue());
    EXPECT_EQ(a.mode, 0100644);
    EXPECT_EQ(a.inode, 0x0102030405060708u);
    EXPECT_EQ(a.userId, 501u);
    EXPECT_EQ(a.groupId, 502u);
    EXPECT_EQ(a.modifiedTime, 1400000000u);
    EXPECT_EQ(a.accessedTime, 1400000100u);
    EXPECT_EQ(a.createdTime, 1400000200u);
    EXPECT_EQ(a.modifiedUtc, (MbdbUtcTime{2014, 5, 13, 16, 53, 20}));
    EXPECT_EQ(a.accessedUtc, (MbdbUtcTime{2014, 5, 13, 16, 55, 0}));
    EXPECT_EQ(a.createdUtc, (MbdbUtcTime{2014, 5, 13, 16, 56, 40}));
    EXPECT_EQ(a.size, 123456u);
    EXPECT_EQ(a.protectionClass, 4);
    ASSERT_EQ(a.properties.size(), 1u);
    EXPECT_EQ(a.properties[0].name.text, "com.apple.assetsd.UUID");
    EXPECT_EQ(a.properties[0].value.text, "A1B2");
    EXPECT_TRUE(a.properties[0].value.storedAsText);
    EXPECT_EQ(a.backupFileName, "3d0d7e5fb2ce288813306e4d4636395e047a3d28");

    const MbdbRecord& b = records[1];
    EXPECT_EQ(b.domain.text, "CameraRollDomain");
    EXPECT_EQ(b.path.text, "Media/DCIM/Latest");
    EXPECT_EQ(b.linkTarget.text, "100APPLE");
    EXPECT_FALSE(b.dataHash.HasValue());
    EXPECT_TRUE(b.encryptionKey.HasValue());
    EXPECT_EQ(b.encryptionKey.storedLength, 0);
    EXPECT_EQ(b.mode, 0120755);
    EXPECT_EQ(b.inode, 77u);
    EXPECT_EQ(b.userId, 0u);
    EXPECT_EQ(b.modifiedTime, 1000u);
    EXPECT_EQ(b.accessedTime, 2000u);
    EXPECT_EQ(b.createdTime, 3000u);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.protectionClass, 0);
    EXPECT_TRUE(b.properties.empty());
    EXPECT_EQ(b.backupFileName, "926ad9baf1e7ed2aee3f02ec6cf03c643420cfc0");

    // The lookups deep clean uses find the same record.
    EXPECT_EQ(manifest.FindRecord("HomeDomain", "SMS/sms.db").backupFileName,
              "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    // And the library writes an unchanged manifest back byte for byte.
    EXPECT_EQ(WriteMbdb(std::string("mbdb\x05\x00", 6), records), *bytes);
}

MbdbText LibraryText(const std::string& value) {
    return {static_cast<uint16_t>(value.size()), value, value};
}

// Two records the library writes, read by the tool.
TEST(BackupToolMbdb, TheToolReadsWhatTheLibraryWrites) {
    MbdbRecord photo;
    photo.domain = LibraryText("MediaDomain");
    photo.path = LibraryText("Library/SMS/Attachments/ab/03/IMG_0001.jpg");
    photo.dataHash = {20, CountingHash(0xA0), "A0A1A2A3A4A5A6A7A8A9AAABACADAEAFB0B1B2B3", false};
    photo.encryptionKey = {3, Bytes({'k', 0x01, 'y'}), "6B0179", false};
    photo.fixedBytes = {0x81, 0xB4,                                      // mode 0100664
                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x30, 0x39,  // inode 12345
                        0x00, 0x00, 0x01, 0xF5, 0x00, 0x00, 0x01, 0xF6,  // uid 501, gid 502
                        0x53, 0x72, 0x4E, 0x00, 0x53, 0x72, 0x4E, 0x64,  // 1400000000, +100
                        0x53, 0x72, 0x4E, 0xC8};                         // +200
    photo.sizeBytes = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x11, 0x70};  // 70000
    photo.protectionClass = 3;
    photo.properties = {{LibraryText("MediaType"), {2, Bytes({0x01, 0x02}), "0102", false}}};
    MbdbRecord folder;
    folder.domain = LibraryText("MediaDomain");
    folder.path = LibraryText("");
    folder.fixedBytes = {0x41, 0xED, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0,
                         0,    0,    0, 0, 0, 0, 9, 0, 0, 0, 8, 0, 0, 0, 7};

    const std::string bytes = WriteMbdb(std::string("mbdb\x05\x00", 6), {photo, folder});
    std::vector<ManifestRecord> read;
    std::string error;
    ASSERT_TRUE(DecodeManifest(bytes, read, error)) << error;
    ASSERT_EQ(read.size(), 2u);

    const ManifestRecord& a = read[0];
    EXPECT_EQ(a.domain, std::optional<std::string>("MediaDomain"));
    EXPECT_EQ(a.path, std::optional<std::string>("Library/SMS/Attachments/ab/03/IMG_0001.jpg"));
    EXPECT_FALSE(a.linkTarget.has_value());
    EXPECT_EQ(a.dataHash, std::optional<std::string>(CountingHash(0xA0)));
    EXPECT_EQ(a.encryptionKey, std::optional<std::string>(Bytes({'k', 0x01, 'y'})));
    EXPECT_EQ(a.mode, 0100664);
    EXPECT_EQ(a.inode, 12345u);
    EXPECT_EQ(a.userId, 501u);
    EXPECT_EQ(a.groupId, 502u);
    EXPECT_EQ(a.modifiedTime, 1400000000u);
    EXPECT_EQ(a.accessedTime, 1400000100u);
    EXPECT_EQ(a.createdTime, 1400000200u);
    EXPECT_EQ(a.size, 70000u);
    EXPECT_EQ(a.protectionClass, 3);
    ASSERT_EQ(a.properties.size(), 1u);
    EXPECT_EQ(a.properties[0].first, std::optional<std::string>("MediaType"));
    EXPECT_EQ(a.properties[0].second, std::optional<std::string>(Bytes({0x01, 0x02})));

    const ManifestRecord& b = read[1];
    EXPECT_EQ(b.domain, std::optional<std::string>("MediaDomain"));
    EXPECT_EQ(b.path, std::optional<std::string>(""));
    EXPECT_FALSE(b.linkTarget.has_value());
    EXPECT_FALSE(b.dataHash.has_value());
    EXPECT_FALSE(b.encryptionKey.has_value());
    EXPECT_EQ(b.mode, 040755);
    EXPECT_EQ(b.inode, 1u);
    EXPECT_EQ(b.userId, 0u);
    EXPECT_EQ(b.groupId, 0u);
    EXPECT_EQ(b.modifiedTime, 9u);
    EXPECT_EQ(b.accessedTime, 8u);
    EXPECT_EQ(b.createdTime, 7u);
    EXPECT_EQ(b.size, 0u);
    EXPECT_EQ(b.protectionClass, 0);
    EXPECT_TRUE(b.properties.empty());
}

}  // namespace
}  // namespace bw::testing
