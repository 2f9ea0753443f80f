// The manifest: its bytes read, written and round-tripped, and ManifestDataManager over a backup
// folder that the test writes.
#include <gtest/gtest.h>

#include <map>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "formats/sha1.h"
#include "platform/file_faults.h"
#include "platform/files.h"
#include "support/file_fault_loop.h"
#include "support/hostile_files.h"
#include "support/independent_sha1.h"
#include "support/temp_folder.h"

namespace bw {
namespace {

using testing::FileRecord;
using testing::MbdbBuilder;
using testing::MbdbRecordFields;
using testing::ReadFileBytes;

const std::string kBinaryHash(
    "\x00\x01\x7f\x80\xff\x20\x1f\xab\xcd\xef\x10\x32\x54\x76\x98\xba"
    "\xdc\xfe\x00\x99",
    20);

TEST(ManifestRead, OnlyTheFirstFiveHeaderBytesDecideWhetherRecordsAreRead) {
    struct Case {
        std::string_view header;
        bool withRecord;
        bool matches;
        std::string detail;  // what a person is told
    };
    const std::string expected = " (expected \"mbdb\" and the format byte 05)";
    const Case cases[] = {
        {std::string_view("mbdb\x05\x00", 6), true, true, ""},
        {std::string_view("mbdb\x05\x07", 6), true, true, ""},
        {std::string_view("mbdb\x05\x00", 6), false, true, ""},  // header alone: an empty manifest
        {std::string_view("mbdb\x04\x00", 6), true, false,
         "not a backup manifest: bad magic at byte 4" + expected},
        {std::string_view("mbdx\x05\x00", 6), true, false,
         "not a backup manifest: bad magic at byte 3" + expected},
        {std::string_view("MBDB\x05\x00", 6), true, false,
         "not a backup manifest: bad magic at byte 0" + expected},
        {std::string_view(""), false, false,
         "not a backup manifest: the file ends at byte 0, inside the 6-byte header" + expected},
        {std::string_view("mbd", 3), false, false,
         "not a backup manifest: the file ends at byte 3, inside the 6-byte header" + expected},
        {std::string_view("mbdb\x05", 5), false, false,
         "not a backup manifest: the file ends at byte 5, inside the 6-byte header"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.header)));
        const std::string bytes = c.withRecord
                                      ? MbdbBuilder(c.header).Record(FileRecord("D", "p")).Bytes()
                                      : std::string(c.header);
        const MbdbReadResult result = ReadMbdb(bytes);
        EXPECT_EQ(result.headerMatches, c.matches);
        EXPECT_EQ(result.error, c.matches ? "" : "bad .mbdb file");
        EXPECT_EQ(result.detail, c.detail);
        EXPECT_EQ(result.records.size(), c.matches && c.withRecord ? 1u : 0u);
        if (c.matches) {
            EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
        }
    }
}

TEST(ManifestRead, NoValueAndEmptyLengthBothGiveEmptyText) {
    MbdbRecordFields fields = FileRecord("HomeDomain", "");
    fields.linkTarget = std::nullopt;
    fields.encryptionKey = "";
    const std::string bytes = MbdbBuilder().Record(fields).Bytes();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_EQ(result.records.size(), 1u);
    const MbdbRecord& record = result.records[0];
    EXPECT_EQ(record.path.text, "");
    EXPECT_EQ(record.path.storedLength, 0u);
    EXPECT_TRUE(record.path.HasValue());
    EXPECT_EQ(record.linkTarget.text, "");
    EXPECT_EQ(record.linkTarget.storedLength, 0xFFFFu);
    EXPECT_FALSE(record.linkTarget.HasValue());
    EXPECT_TRUE(record.encryptionKey.HasValue());
    EXPECT_FALSE(record.dataHash.HasValue());
    EXPECT_EQ(record.dataHash.text, "");
    // Outside the data hash, the two stay distinct on the way back.
    EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
}

TEST(ManifestRead, BinaryValuesReadAsUppercaseHexAndPrintableOnesStayText) {
    MbdbRecordFields fields = FileRecord("HomeDomain", "Library/a");
    fields.dataHash = kBinaryHash;
    fields.encryptionKey = std::string("\x01key", 4);
    fields.properties = {{"name", "value ~\x7f"}, {"bin", std::string("\x00\xff", 2)}};
    const std::string bytes = MbdbBuilder().Record(fields).Bytes();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_EQ(result.records.size(), 1u);
    const MbdbRecord& record = result.records[0];
    EXPECT_EQ(record.dataHash.text, "00017F80FF201FABCDEF1032547698BADCFE0099");
    EXPECT_FALSE(record.dataHash.storedAsText);
    EXPECT_EQ(record.dataHash.raw, kBinaryHash);
    EXPECT_EQ(record.encryptionKey.text, "016B6579");
    EXPECT_FALSE(record.encryptionKey.storedAsText);
    ASSERT_EQ(record.properties.size(), 2u);
    EXPECT_EQ(record.properties[0].name.text, "name");
    EXPECT_EQ(record.properties[0].value.text, "value ~\x7f");
    EXPECT_TRUE(record.properties[0].value.storedAsText);
    EXPECT_EQ(record.properties[1].value.text, "00FF");
    EXPECT_EQ(record.properties[1].value.raw, std::string("\x00\xff", 2));

    // Written back as the bytes they were stored as.
    EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
}

TEST(ManifestWrite, DataHashIsWrittenFromItsTextForm) {
    const MbdbReadResult read = ReadMbdb(MbdbBuilder().Record(FileRecord("D", "p")).Bytes());
    ASSERT_EQ(read.records.size(), 1u);
    struct Case {
        std::string text;
        bool storedAsText;
        std::optional<std::string> written;
    };
    const Case cases[] = {
        // Odd digit dropped, letters outside hex count as 0.
        {"0aFfzZ1", false, std::string("\x0a\xff\x00", 3)},
        // The full 16-bit length, 0x01 0x2C.
        {std::string(300, 'h'), true, std::string(300, 'h')},
        // Stored with length zero, written as no value.
        {"", true, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<MbdbRecord> records = read.records;
        records[0].dataHash.text = c.text;
        records[0].dataHash.storedAsText = c.storedAsText;
        MbdbRecordFields expected = FileRecord("D", "p");
        expected.dataHash = c.written;
        EXPECT_EQ(WriteMbdb(read.header, records), MbdbBuilder().Record(expected).Bytes());
    }

    // A zero-length hash is rewritten as no value even among records written back unchanged.
    MbdbRecordFields emptyHash = FileRecord("HomeDomain", "Library/b");
    emptyHash.dataHash = "";
    MbdbRecordFields binaryHash = FileRecord("HomeDomain", "Library/c");
    binaryHash.dataHash = kBinaryHash;
    MbdbRecordList list;
    ASSERT_TRUE(list.Read(
        MbdbBuilder().Record(FileRecord("D", "a")).Record(emptyHash).Record(binaryHash).Bytes()));
    MbdbRecordFields written = emptyHash;
    written.dataHash = std::nullopt;
    EXPECT_EQ(
        list.Write(),
        MbdbBuilder().Record(FileRecord("D", "a")).Record(written).Record(binaryHash).Bytes());
}

TEST(ManifestRead, BackupFileNameIsLowercaseSha1OfDomainDashPathInTextForm) {
    const struct {
        std::string domain, path, name;
    } cases[] = {
        {"HomeDomain", "Library/SMS/sms.db", "3d0d7e5fb2ce288813306e4d4636395e047a3d28"},
        {"HomeDomain", "", "70765829101933f25994c71bbee6dfd685535bff"},
        {"MediaDomain", "Library/SMS/Attachments/ab/12/IMG_0001.JPG",
         "003086a1ceef3d57f3f8285294fdb55b3cdfa427"},
        {"HomeDomain", "Library/caf\xc3\xa9", "19543ecc755d10b1a514ff882c93ba3926ce159a"},
        // An invalid sequence reads as U+FFFD in the text form that is hashed.
        {"HomeDomain", "bad\xffname", "7110d08bff71c58ac6e402f2a79d30db0f4aec2d"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const MbdbReadResult result =
            ReadMbdb(MbdbBuilder().Record(FileRecord(c.domain, c.path)).Bytes());
        ASSERT_EQ(result.records.size(), 1u);
        EXPECT_EQ(result.records[0].backupFileName, c.name);
        EXPECT_EQ(result.records[0].path.raw, c.path);
    }
    EXPECT_EQ(
        ReadMbdb(MbdbBuilder().Record(FileRecord("D", "bad\xffname")).Bytes()).records[0].path.text,
        "bad\xef\xbf\xbdname");
    EXPECT_EQ(MbdbBackupFileName("", ""), "3bc15c8aae3e4124dd409035f32ea2fd6835efc9");
}

TEST(ManifestRead, DecodesFixedFieldsSizeAndTimes) {
    MbdbRecordFields fields = FileRecord("HomeDomain", "Library/a", 0x0000000123456789ull);
    fields.mode = 0xA1ED;
    fields.inode = 0x0102030405060708ull;
    fields.userId = 0xFFFFFFFE;
    fields.groupId = 501;
    fields.modifiedTime = 1234567890;
    fields.accessedTime = 0xFFFFFFFF;
    fields.createdTime = 951782400;
    fields.protectionClass = 0x83;
    const MbdbReadResult result = ReadMbdb(MbdbBuilder().Record(fields).Bytes());
    ASSERT_EQ(result.records.size(), 1u);
    const MbdbRecord& record = result.records[0];
    EXPECT_EQ(record.mode, 0xA1ED);
    EXPECT_EQ(record.inode, 0x0102030405060708ull);
    EXPECT_EQ(record.userId, 0xFFFFFFFEu);
    EXPECT_EQ(record.groupId, 501u);
    EXPECT_EQ(record.modifiedTime, 1234567890u);
    EXPECT_EQ(record.accessedTime, 0xFFFFFFFFu);
    EXPECT_EQ(record.createdTime, 951782400u);
    EXPECT_EQ(record.size, 0x123456789ull);
    EXPECT_EQ(record.protectionClass, 0x83);
    EXPECT_EQ(record.modifiedUtc, (MbdbUtcTime{2009, 2, 13, 23, 31, 30}));
    EXPECT_EQ(record.accessedUtc, (MbdbUtcTime{2106, 2, 7, 6, 28, 15}));
    EXPECT_EQ(record.createdUtc, (MbdbUtcTime{2000, 2, 29, 0, 0, 0}));
}

TEST(ManifestRead, UtcTimesAcrossLeapDaysAndYearEnds) {
    const std::pair<uint32_t, MbdbUtcTime> cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},          {1709251199, {2024, 2, 29, 23, 59, 59}},
        {1709251200, {2024, 3, 1, 0, 0, 0}}, {946684799, {1999, 12, 31, 23, 59, 59}},
        {4107542400, {2100, 3, 1, 0, 0, 0}},
    };
    for (const auto& [seconds, utc] : cases) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(MbdbUtcTimeFromUnix(seconds), utc);
    }
}

// A manifest that exercises every field form; reading and writing it must not change a byte.
std::string VariedManifest() {
    MbdbBuilder builder(std::string_view("mbdb\x05\x00", 6));
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db", 123456));
    MbdbRecordFields folder = FileRecord("MediaDomain", "Library/SMS/Attachments");
    folder.mode = 040755;
    builder.Record(folder);
    MbdbRecordFields link = FileRecord("RootDomain", "Library/Preferences/link");
    link.linkTarget = "/var/mobile/Library/Preferences/target.plist";
    link.mode = 0120644;
    builder.Record(link);
    MbdbRecordFields hashed = FileRecord("AppDomain-com.example.notes", "Documents/notes.sqlite");
    hashed.dataHash = kBinaryHash;
    hashed.encryptionKey = std::string("\x00\x00\x00\x03\xaa\xbb\xcc", 7);
    hashed.properties = {{"com.apple.assetsd.UUID", std::string("\x01\x02\x03", 3)},
                         {"plain", "text value"},
                         {std::nullopt, ""},
                         {"", std::nullopt}};
    builder.Record(hashed);
    MbdbRecordFields printableHash = FileRecord("WirelessDomain", "Library/CallHistory/x.db");
    printableHash.dataHash = std::string(255, 'Z');
    builder.Record(printableHash);
    MbdbRecordFields oneByteHash = FileRecord("HomeDomain", "Library/one");
    oneByteHash.dataHash = std::string("\x00", 1);
    builder.Record(oneByteHash);
    MbdbRecordFields empties;
    empties.domain = "";
    empties.path = std::nullopt;
    empties.encryptionKey = "";
    builder.Record(empties);
    MbdbRecordFields manyProperties = FileRecord("HomeDomain", "Library/many");
    for (int i = 0; i < 255; ++i) {
        // Appended: "p" + std::string makes g++ 12 at -O3 report a false overlapping copy.
        manyProperties.properties.emplace_back(std::string("p").append(std::to_string(i)),
                                               std::string(1, char(i)));
    }
    builder.Record(manyProperties);
    builder.Record(FileRecord("HomeDomain", "Library/caf\xc3\xa9/\xff\xfe", ~0ull));
    return builder.Bytes();
}

TEST(ManifestRoundTrip, VariedManifestIsByteIdenticalThroughTheRecordsAndTheRecordList) {
    const std::string bytes = VariedManifest();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_TRUE(result.headerMatches);
    EXPECT_EQ(result.error, "");
    ASSERT_EQ(result.records.size(), 9u);
    EXPECT_EQ(result.records[7].properties.size(), 255u);
    EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
    EXPECT_EQ(ReadMbdb(WriteMbdb(result.header, result.records)).records, result.records);

    // Cut inside the last record: the complete records come back as they were.
    MbdbRecordList cut;
    ASSERT_TRUE(cut.Read(bytes.substr(0, bytes.size() - 1)));
    EXPECT_EQ(cut.Size(), 8u);
    EXPECT_EQ(cut.Write(), bytes.substr(0, cut.BytesRead()));
    EXPECT_EQ(cut.Write(),
              WriteMbdb(cut.Header(), ReadMbdb(bytes.substr(0, cut.BytesRead())).records));
}

// Cutting at every byte puts the end inside every field, so each length, string or property
// count runs past the end somewhere.
TEST(ManifestRead, TruncatedFileKeepsTheRecordsReadCompletely) {
    MbdbBuilder builder;
    std::vector<size_t> ends;
    MbdbRecordFields withProperties = FileRecord("HomeDomain", "Library/a");
    withProperties.properties = {{"n", "v"}};
    withProperties.dataHash = kBinaryHash;
    for (const MbdbRecordFields& fields : {withProperties, FileRecord("MediaDomain", "DCIM/b"),
                                           FileRecord("HomeDomain", "Library/c")}) {
        builder.Record(fields);
        ends.push_back(builder.Size());
    }
    const std::string bytes = builder.Bytes();
    const MbdbReadResult whole = ReadMbdb(bytes);
    ASSERT_EQ(whole.records.size(), 3u);
    for (size_t cut = 6; cut <= bytes.size(); ++cut) {
        const MbdbReadResult result = ReadMbdb(std::string_view(bytes).substr(0, cut));
        size_t complete = 0;
        while (complete < ends.size() && ends[complete] <= cut)
            ++complete;
        ASSERT_EQ(result.records.size(), complete) << "cut at " << cut;
        for (size_t i = 0; i < complete; ++i)
            EXPECT_EQ(result.records[i], whole.records[i]);
        const size_t start = complete == 0 ? 6 : ends[complete - 1];
        EXPECT_EQ(result.error, cut == start
                                    ? std::string()
                                    : "truncated record at offset " + std::to_string(start))
            << "cut at " << cut;
        EXPECT_EQ(result.detail, cut == start
                                     ? std::string()
                                     : result.error + ": record " + std::to_string(complete + 1) +
                                           " runs past the end of the file at byte " +
                                           std::to_string(cut))
            << "cut at " << cut;
    }
}

class ManifestManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        ASSERT_TRUE(platform::CreateFolders(backup_));
    }

    std::string WriteManifest(const MbdbBuilder& builder) {
        return temp_.Write("backup/Manifest.mbdb", builder.Bytes());
    }
    // Writes the backup file that stores a domain and path.
    std::string WriteBackupFile(std::string_view domain, std::string_view path,
                                std::string_view content = "content") {
        return temp_.Write("backup/" + MbdbBackupFileName(domain, path), content);
    }
    std::string BackupFilePath(std::string_view domain, std::string_view path) const {
        return platform::JoinPath(backup_, MbdbBackupFileName(domain, path));
    }
    ManifestDataManager Manager() const { return ManifestDataManager("udid", backup_, manifest_); }

    testing::TempFolder temp_;
    const std::string backup_ = temp_ / "backup";
    const std::string manifest_ = temp_ / "backup/Manifest.mbdb";
};

// Domains and paths chosen so that containment, order and exact domains can all be told apart.
MbdbBuilder SmsBackup() {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomainX", "Library/SMS/sms.db"));
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db-wal"));
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db"));
    builder.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG"));
    builder.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG"));
    builder.Record(FileRecord("MediaDomain", "DCIM/100APPLE/IMG_3.JPG"));
    builder.Record(FileRecord("AppDomain-com.example.notes", "Documents/a"));
    builder.Record(FileRecord("AppDomain-com.example.notes", "Documents/b"));
    builder.Record(FileRecord("AppDomain-org.sample.game", "Library/c"));
    return builder;
}

TEST_F(ManifestManagerTest, LookupsMatchContainedPathsInFileOrderWithExactDomains) {
    MbdbBuilder builder = SmsBackup();
    builder.Record(FileRecord("XAppDomain-net.inside.name", "a"));
    WriteManifest(builder);
    ManifestDataManager manager = Manager();
    const MbdbRecord record = manager.FindRecord("HomeDomain", "SMS/sms.db");
    EXPECT_EQ(record.path.text, "Library/SMS/sms.db-wal");
    EXPECT_EQ(record.backupFileName, MbdbBackupFileName("HomeDomain", "Library/SMS/sms.db-wal"));
    EXPECT_TRUE(manager.HasRecord("HomeDomain", "Library/SMS/sms.db"));
    EXPECT_FALSE(manager.HasRecord("Home", "Library/SMS/sms.db"));
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "sms.db.bak"));
    EXPECT_EQ(manager.FindRecord("homedomain", "SMS").backupFileName, "");
    EXPECT_EQ(manager.FindAllFilePaths("HomeDomain", "SMS/sms.db"),
              (std::vector<std::string>{
                  BackupFilePath("HomeDomain", "Library/SMS/sms.db-wal"),
                  BackupFilePath("HomeDomain", "Library/SMS/sms.db"),
              }));
    EXPECT_TRUE(manager.FindAllFilePaths("HomeDomai", "SMS").empty());
    const std::vector<MbdbRecord> notes = manager.ListDomainRecords("AppDomain-com.example.notes");
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].path.text, "Documents/a");
    EXPECT_EQ(notes[1].path.text, "Documents/b");
    EXPECT_TRUE(manager.ListDomainRecords("AppDomain-").empty());
    EXPECT_EQ(manager.CollectAppDomains(),
              (std::set<std::string>{"com.example.notes", "net.inside.name", "org.sample.game"}));
    EXPECT_EQ(manager.LastError(), "");
}

TEST_F(ManifestManagerTest, UnreadableManifestGivesEmptyAnswersSaysWhyAndSavesNothing) {
    MbdbBuilder truncated;
    truncated.Record(FileRecord("HomeDomain", "Library/SMS/sms.db"));
    const size_t cutRecord = truncated.Size();
    truncated.Record(FileRecord("HomeDomain", "Library/SMS/sms.db-wal"));
    const struct {
        const char* name;
        std::optional<std::string> bytes;  // nullopt: no manifest file
        bool emptyManifestPath;
        std::string error;
    } cases[] = {
        {"empty manifest path", SmsBackup().Bytes(), true, ""},
        {"missing", std::nullopt, false, "cannot open file"},
        {"bad header",
         MbdbBuilder(std::string_view("mbdb\x06\x00", 6))
             .Record(FileRecord("HomeDomain", "Library/SMS/sms.db"))
             .Bytes(),
         false, "bad .mbdb file"},
        {"bad header version zero",
         MbdbBuilder(std::string_view("mbdb\x00\x00", 6))
             .Record(FileRecord("HomeDomain", "Library/SMS/sms.db"))
             .Bytes(),
         false, "bad .mbdb file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        platform::DeleteTree(backup_);
        ASSERT_TRUE(platform::CreateFolders(backup_));
        if (c.bytes) temp_.Write("backup/Manifest.mbdb", *c.bytes);
        ManifestDataManager manager("udid", backup_, c.emptyManifestPath ? "" : manifest_);
        EXPECT_FALSE(manager.HasRecord("HomeDomain", "SMS"));
        EXPECT_EQ(manager.LastError(), c.error);
        EXPECT_EQ(manager.FindRecord("HomeDomain", "SMS").backupFileName, "");
        EXPECT_TRUE(manager.FindAllFilePaths("HomeDomain", "").empty());
        EXPECT_TRUE(manager.Records().empty());
        EXPECT_TRUE(manager.ListAllFiles().empty());
        EXPECT_TRUE(manager.CollectAppDomains().empty());
        EXPECT_EQ(manager.FindSmsDatabase(), "");
        EXPECT_EQ(manager.Save(), "");
        if (c.bytes) {
            EXPECT_EQ(ReadFileBytes(manifest_), *c.bytes);
        }
        EXPECT_EQ(platform::PathExists(manifest_), c.bytes.has_value());
        EXPECT_FALSE(platform::PathExists(temp_ / "backup/Manifest-2.mbdb"));
    }

    // A truncated manifest keeps its complete records and says where it stopped.
    temp_.Write("backup/Manifest.mbdb", truncated.Bytes().substr(0, truncated.Size() - 3));
    ManifestDataManager manager = Manager();
    EXPECT_TRUE(manager.HasRecord("HomeDomain", "Library/SMS/sms.db"));
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "Library/SMS/sms.db-wal"));
    EXPECT_EQ(manager.LastError(), "truncated record at offset " + std::to_string(cutRecord));
}

TEST_F(ManifestManagerTest, RecordsAreReadOncePerObjectUnlessTheListIsEmpty) {
    ManifestDataManager manager = Manager();
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "SMS/sms.db"));
    WriteManifest(SmsBackup());
    EXPECT_TRUE(manager.HasRecord("HomeDomain", "SMS/sms.db"));
    EXPECT_EQ(manager.LastError(), "");
    ASSERT_EQ(manager.Records().size(), 9u);
    WriteManifest(MbdbBuilder().Record(FileRecord("HomeDomain", "Other")));
    EXPECT_EQ(manager.Records().size(), 9u);
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "Other"));
}

TEST_F(ManifestManagerTest, ForEachRecordGivesEveryRecordWithNothingLeftFromThePrevious) {
    // Records with properties, hashes and link targets are followed by records without them.
    temp_.Write("backup/Manifest.mbdb", VariedManifest());
    std::vector<MbdbRecord> visited;
    ManifestDataManager manager = Manager();
    manager.ForEachRecord([&](const MbdbRecord& record) { visited.push_back(record); });
    EXPECT_EQ(visited, ReadMbdb(VariedManifest()).records);
    EXPECT_EQ(manager.Records(), visited);
}

TEST_F(ManifestManagerTest, ListAllFilesReportsExistenceAndSize) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/present"));
    builder.Record(FileRecord("HomeDomain", "Library/missing"));
    builder.Record(FileRecord("CameraRollDomain", "Media/empty"));
    WriteManifest(builder);
    WriteBackupFile("HomeDomain", "Library/present", "12345");
    WriteBackupFile("CameraRollDomain", "Media/empty", "");
    ManifestDataManager manager = Manager();
    using Item = ManifestDataManager::FileItem;
    EXPECT_EQ(manager.ListAllFiles(),
              (std::vector<Item>{
                  {"HomeDomain", "Library/present",
                   MbdbBackupFileName("HomeDomain", "Library/present"), true, 5},
                  {"HomeDomain", "Library/missing",
                   MbdbBackupFileName("HomeDomain", "Library/missing"), false, 0},
                  {"CameraRollDomain", "Media/empty",
                   MbdbBackupFileName("CameraRollDomain", "Media/empty"), true, 0},
              }));
}

TEST_F(ManifestManagerTest, FindSmsDatabaseAndAttachments) {
    WriteManifest(SmsBackup());
    WriteBackupFile("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG");
    WriteBackupFile("MediaDomain", "DCIM/100APPLE/IMG_3.JPG");
    ManifestDataManager manager = Manager();
    // Containment in file order: the write-ahead log comes first and is the answer.
    EXPECT_EQ(manager.FindSmsDatabase(), BackupFilePath("HomeDomain", "Library/SMS/sms.db-wal"));
    EXPECT_EQ(manager.FindSmsAttachmentFiles(),
              (std::vector<std::string>{
                  BackupFilePath("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG")}));
    // The answer needs the manifest file itself, not only the records read from it.
    ASSERT_TRUE(platform::RemoveFile(manifest_));
    EXPECT_EQ(manager.FindSmsDatabase(), "");
}

TEST_F(ManifestManagerTest, RemoveRecordsTakesRecordsWithFilesDeletesWhenAskedAndSaveWritesIt) {
    WriteManifest(SmsBackup());
    const std::string kept = WriteBackupFile("HomeDomain", "Library/SMS/sms.db");
    const std::string otherDomain = WriteBackupFile("HomeDomainX", "Library/SMS/sms.db");
    const std::string first = WriteBackupFile("AppDomain-com.example.notes", "Documents/a");
    const std::string second = WriteBackupFile("AppDomain-com.example.notes", "Documents/b");
    const std::string unrelated = WriteBackupFile("AppDomain-org.sample.game", "Library/c");
    ManifestDataManager manager = Manager();
    // The log matches too, but its file is missing: its record stays.
    EXPECT_EQ(manager.RemoveRecords("HomeDomain", {"nothing", "SMS/sms.db"}, false), 1u);
    EXPECT_TRUE(platform::IsFile(kept));  // not asked to delete
    EXPECT_EQ(manager.RemoveRecords("AppDomain-com.example.notes", {"Documents/"}, true), 2u);
    EXPECT_FALSE(platform::PathExists(first));
    EXPECT_FALSE(platform::PathExists(second));
    EXPECT_TRUE(platform::IsFile(unrelated));
    EXPECT_TRUE(platform::IsFile(otherDomain));
    EXPECT_EQ(manager.CollectAppDomains(), (std::set<std::string>{"org.sample.game"}));

    // The removal reaches the disk only with Save.
    MbdbBuilder expected;
    expected.Record(FileRecord("HomeDomainX", "Library/SMS/sms.db"));
    expected.Record(FileRecord("HomeDomain", "Library/SMS/sms.db-wal"));
    expected.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG"));
    expected.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/cd/IMG_2.JPG"));
    expected.Record(FileRecord("MediaDomain", "DCIM/100APPLE/IMG_3.JPG"));
    expected.Record(FileRecord("AppDomain-org.sample.game", "Library/c"));
    EXPECT_EQ(ReadFileBytes(manifest_), SmsBackup().Bytes());
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), expected.Bytes());
}

TEST_F(ManifestManagerTest, UpdateRecordFromFileThenRemoveAndSaveWritesTheNewSizeAndHash) {
    MbdbBuilder builder;
    MbdbRecordFields sms = FileRecord("HomeDomain", "Library/SMS/sms.db", 999);
    sms.dataHash = std::string(20, '\x11');
    builder.Record(FileRecord("HomeDomain", "Library/other"));
    builder.Record(FileRecord("HomeDomain", "Library/gone"));
    builder.Record(sms);
    WriteManifest(builder);
    WriteBackupFile("HomeDomain", "Library/gone");
    const std::string edited = temp_.Write("edited.db", "the edited database");
    ManifestDataManager manager = Manager();
    const std::string hash = manager.UpdateRecordFromFile("HomeDomain", "SMS/sms.db", edited);
    EXPECT_EQ(hash, HexUpper(Sha1::Hash("the edited database")));
    EXPECT_EQ(manager.FindRecord("HomeDomain", "SMS/sms.db").size, 19u);
    // The updated record keeps its changes when a removal before it moves it up.
    ASSERT_EQ(manager.RemoveRecords("HomeDomain", {"gone"}, false), 1u);

    ASSERT_EQ(manager.Save(), manifest_);
    MbdbBuilder expected;
    expected.Record(FileRecord("HomeDomain", "Library/other"));
    sms.size = 19;
    sms.dataHash = testing::IndependentSha1("the edited database");
    expected.Record(sms);
    EXPECT_EQ(ReadFileBytes(manifest_), expected.Bytes());
}

TEST_F(ManifestManagerTest, UpdateRecordFromFileWithoutRecordOrFileChangesNothing) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db", 5));
    WriteManifest(builder);
    const std::string edited = temp_.Write("edited.db", "bytes");
    ManifestDataManager manager = Manager();
    EXPECT_EQ(manager.UpdateRecordFromFile("MediaDomain", "SMS/sms.db", edited), "");
    EXPECT_EQ(manager.UpdateRecordFromFile("HomeDomain", "SMS/sms.db", temp_ / "missing.db"), "");
    EXPECT_EQ(manager.UpdateRecordFromFile("HomeDomain", "SMS/sms.db", temp_.path()), "");
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), builder.Bytes());
}

TEST_F(ManifestManagerTest, SaveOfAnUnchangedManifestIsByteIdenticalAndLeavesNoWorkFile) {
    temp_.Write("backup/Manifest.mbdb", VariedManifest());
    ManifestDataManager manager = Manager();
    // Saving before any lookup writes the records as read, not an empty list.
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), VariedManifest());
    std::vector<platform::FolderEntry> entries;
    ASSERT_TRUE(platform::ListFolder(backup_, entries));
    EXPECT_EQ(entries.size(), 1u);  // no work file or temporary file left behind
}

TEST_F(ManifestManagerTest, SaveOfAnEmptiedListLeavesFilesNamedLikeAWorkFileAlone) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    WriteManifest(builder);
    const std::string file = WriteBackupFile("HomeDomain", "Library/a");
    ASSERT_TRUE(platform::CreateFolders(temp_ / "backup/Manifest-2.mbdb/in-the-way"));
    temp_.Write("backup/Manifest.mbdb-2", "a neighbour");
    ManifestDataManager manager = Manager();
    ASSERT_EQ(manager.RemoveRecords("HomeDomain", {"a"}, true), 1u);
    EXPECT_FALSE(platform::PathExists(file));
    // An emptied list is not read again from the manifest still on disk.
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "Library/a"));
    EXPECT_EQ(manager.Save(), manifest_);
    EXPECT_EQ(ReadFileBytes(manifest_), MbdbBuilder().Bytes());
    EXPECT_TRUE(platform::IsFolder(temp_ / "backup/Manifest-2.mbdb/in-the-way"));
    EXPECT_EQ(ReadFileBytes(temp_ / "backup/Manifest.mbdb-2"), "a neighbour");
}

TEST_F(ManifestManagerTest, SaveFailsWithoutLeavingTheWorkFileWhenTheRenameFails) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    WriteManifest(builder);
    ManifestDataManager manager = Manager();
    ASSERT_TRUE(manager.HasRecord("HomeDomain", "Library/a"));
    // The manifest became a folder with contents: nothing can be renamed over it.
    ASSERT_TRUE(platform::RemoveFile(manifest_));
    ASSERT_TRUE(platform::CreateFolders(manifest_ + "/keep"));
    EXPECT_EQ(manager.Save(), "");
    EXPECT_TRUE(platform::IsFolder(manifest_ + "/keep"));
    EXPECT_FALSE(platform::PathExists(temp_ / "backup/Manifest-2.mbdb"));
}

TEST_F(ManifestManagerTest, SaveOfAWorkingCopyWithAnotherNameReplacesOnlyThatCopy) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a")).Record(FileRecord("HomeDomain", "b"));
    WriteManifest(builder);
    const std::string copy = temp_.Write("work/manifest.copy", builder.Bytes());
    WriteBackupFile("HomeDomain", "b");
    ManifestDataManager manager("udid", backup_, copy);
    ASSERT_EQ(manager.RemoveRecords("HomeDomain", {"b"}, false), 1u);
    EXPECT_EQ(manager.Save(), copy);
    EXPECT_EQ(ReadFileBytes(copy),
              MbdbBuilder().Record(FileRecord("HomeDomain", "Library/a")).Bytes());
    EXPECT_EQ(ReadFileBytes(manifest_), builder.Bytes());
    EXPECT_FALSE(platform::PathExists(copy + "-2"));
}

// A backup folder as the deep clean leaves it before the manifest save: files with their real
// sizes and hashes, and neighbours whose names earlier saves used for their work files.
class ManifestSaveFaultTest : public ManifestManagerTest {
  protected:
    struct File {
        std::string domain, path, content;
    };
    const std::vector<File> files_ = {
        {"HomeDomain", "Library/SMS/sms.db", "sms database"},
        {"HomeDomain", "Library/SMS/sms.db-wal", "its log"},
        {"MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG", std::string(70000, 'j')},
        {"HomeDomain", "Library/SpringBoard/PushStore/com.example.mail.pushstore", "push"},
    };

    void WriteFolder() {
        platform::DeleteTree(backup_);
        MbdbBuilder builder;
        for (const File& file : files_) {
            MbdbRecordFields fields = FileRecord(file.domain, file.path, file.content.size());
            fields.dataHash = testing::IndependentSha1(file.content);
            builder.Record(fields);
            WriteBackupFile(file.domain, file.path, file.content);
        }
        WriteManifest(builder);
        temp_.Write("backup/Manifest-2.mbdb", "neighbour");
        temp_.Write("backup/Manifest.mbdb.brackwater-tmp", "neighbour");
    }

    // Takes the push store's record out and saves; true when saved.
    bool RemoveAndSave() {
        ManifestDataManager manager = Manager();
        if (manager.RemoveRecords("HomeDomain", {"PushStore/"}, false) != 1) return false;
        return manager.Save() == manifest_;
    }

    std::map<std::string, std::string> FolderBytes() const {
        std::map<std::string, std::string> bytes;
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(backup_, entries);
        for (const platform::FolderEntry& entry : entries)
            bytes[entry.name] = ReadFileBytes(platform::JoinPath(backup_, entry.name));
        return bytes;
    }

    // The manifest reads to its end and every record's file is there with its size and hash.
    void ExpectWhole() {
        const MbdbReadResult read = ReadMbdb(ReadFileBytes(manifest_));
        ASSERT_TRUE(read.headerMatches);
        EXPECT_EQ(read.error, "");
        EXPECT_GE(read.records.size(), files_.size() - 1);
        for (const MbdbRecord& record : read.records) {
            std::string content;
            ASSERT_TRUE(platform::ReadWholeFile(platform::JoinPath(backup_, record.backupFileName),
                                                content))
                << record.path.text;
            EXPECT_EQ(record.size, content.size()) << record.path.text;
            EXPECT_EQ(record.dataHash.raw, testing::IndependentSha1(content)) << record.path.text;
        }
    }
};

TEST_F(ManifestSaveFaultTest, EveryFailedFileCallLeavesTheOldOrTheNewManifestAndTheNextSaveEndsIt) {
    std::map<std::string, std::string> before, after;
    bool saved = false;
    for (const platform::FileFault fault :
         {platform::FileFault::kNatural, platform::FileFault::kIoError}) {
        testing::FileFaultLoop loop;
        loop.fault = fault;
        loop.prepare = [&] {
            WriteFolder();
            before = FolderBytes();
        };
        loop.run = [&] { saved = RemoveAndSave(); };
        loop.check = [&](uint64_t failedAt, platform::FileCall call) {
            const std::map<std::string, std::string> now = FolderBytes();
            ExpectWhole();
            if (failedAt == 0) {
                ASSERT_TRUE(saved);
                after = now;
                ASSERT_NE(after, before);
                return;
            }
            EXPECT_FALSE(saved);
            // Only the folder's flush comes after the rename: the new manifest is in place.
            const bool renamed = call == platform::FileCall::kSync && now == after;
            EXPECT_TRUE(now == before || renamed) << platform::FileCallName(call);
            ASSERT_TRUE(RemoveAndSave() || renamed);
            EXPECT_EQ(FolderBytes(), after);
            ExpectWhole();
        };
        const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
        // Create, the manifest's bytes, flush, rename, flush of the folder.
        EXPECT_GE(result.calls, 5u);
        EXPECT_EQ(result.hits, result.calls);
        EXPECT_EQ(result.Count(platform::FileCall::kRename), 1u);
        EXPECT_EQ(result.Count(platform::FileCall::kSync), 2u);
    }
}

TEST_F(ManifestSaveFaultTest, ACrashAtAnyFileCallLeavesTheOldOrTheNewManifest) {
    std::map<std::string, std::string> before, after;
    testing::FileFaultLoop loop;
    loop.crash = true;
    loop.prepare = [&] {
        WriteFolder();
        before = FolderBytes();
    };
    loop.run = [&] { RemoveAndSave(); };
    loop.check = [&](uint64_t failedAt, platform::FileCall) {
        std::map<std::string, std::string> now = FolderBytes();
        std::erase_if(now, [](const auto& item) {
            return item.first.starts_with(platform::kReplaceTempPrefix);
        });
        ExpectWhole();
        if (failedAt == 0) {
            after = now;
            return;
        }
        EXPECT_TRUE(now == before || now == after);
    };
    const testing::FileFaultLoopResult result = testing::FailEveryFileCall(loop);
    EXPECT_GE(result.calls, 5u);
    EXPECT_EQ(result.hits, result.calls);
}

TEST(ManifestLimits, APipeOrDeviceAsTheManifestFailsAtOnce) {
    testing::TempFolder backup;
    for (const std::string& path : testing::EndlessFiles(backup.path())) {
        ASSERT_FALSE(path.empty());
        ManifestDataManager manager("udid", backup.path(), path);
        EXPECT_FALSE(manager.Load()) << path;
        EXPECT_EQ(manager.LastError(), "cannot open file");
        EXPECT_TRUE(manager.Records().empty());
    }
}

TEST(ManifestLimits, AManifestOneByteOverTheLimitIsNotRead) {
    // Valid records at the front: only the size can make the read fail.
    testing::TempFolder backup;
    const std::string path = backup / "Manifest.mbdb";
    const std::string head = MbdbBuilder().Record(FileRecord("HomeDomain", "a")).Bytes();
    ASSERT_TRUE(testing::MakeSparseFile(path, head, kMaxManifestBytes + 1));
    ManifestDataManager manager("udid", backup.path(), path);
    EXPECT_FALSE(manager.Load());
    EXPECT_EQ(manager.LastError(), "cannot open file");
    EXPECT_FALSE(manager.HasRecord("HomeDomain", "a"));

    // The same records in a file of ordinary size are read.
    const std::string small = backup.Write("small.mbdb", head);
    ManifestDataManager readable("udid", backup.path(), small);
    EXPECT_TRUE(readable.HasRecord("HomeDomain", "a"));
}

}  // namespace
}  // namespace bw
