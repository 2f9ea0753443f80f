// The bytes of the manifest: reading, writing and their round trip.
#include <gtest/gtest.h>

#include "backup/manifest.h"
#include "backup/mbdb_builder.h"

namespace bw {
namespace {

using testing::FileRecord;
using testing::MbdbBuilder;
using testing::MbdbRecordFields;

const std::string kBinaryHash(
    "\x00\x01\x7f\x80\xff\x20\x1f\xab\xcd\xef\x10\x32\x54\x76\x98\xba"
    "\xdc\xfe\x00\x99",
    20);

TEST(ManifestRead, HeaderMismatchGivesBadMbdbFileAndNoRecords) {
    const MbdbRecordFields record = FileRecord("HomeDomain", "Library/a");
    for (std::string_view header :
         {std::string_view("mbdb\x04\x00", 6), std::string_view("mbdx\x05\x00", 6),
          std::string_view("MBDB\x05\x00", 6)}) {
        const MbdbReadResult result = ReadMbdb(MbdbBuilder(header).Record(record).Bytes());
        EXPECT_FALSE(result.headerMatches);
        EXPECT_EQ(result.error, "bad .mbdb file");
        EXPECT_TRUE(result.records.empty());
    }
    for (std::string_view tooShort : {std::string_view(""), std::string_view("mbdb\x05", 5)}) {
        const MbdbReadResult result = ReadMbdb(tooShort);
        EXPECT_FALSE(result.headerMatches);
        EXPECT_EQ(result.error, "bad .mbdb file");
    }
}

TEST(ManifestRead, OnlyTheFirstFiveHeaderBytesAreChecked) {
    const std::string bytes =
        MbdbBuilder(std::string_view("mbdb\x05\x07", 6)).Record(FileRecord("D", "p")).Bytes();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_TRUE(result.headerMatches);
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.records.size(), 1u);
    EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
}

TEST(ManifestRead, HeaderAloneIsAnEmptyManifest) {
    const MbdbReadResult result = ReadMbdb(std::string_view("mbdb\x05\x00", 6));
    EXPECT_TRUE(result.headerMatches);
    EXPECT_TRUE(result.records.empty());
    EXPECT_EQ(result.error, "");
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

TEST(ManifestRead, BinaryDataHashReadsAsUppercaseHexAndIsWrittenAsItsBytes) {
    MbdbRecordFields fields = FileRecord("HomeDomain", "Library/a");
    fields.dataHash = kBinaryHash;
    const std::string bytes = MbdbBuilder().Record(fields).Bytes();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_EQ(result.records.size(), 1u);
    const MbdbValue& hash = result.records[0].dataHash;
    EXPECT_EQ(hash.text, "00017F80FF201FABCDEF1032547698BADCFE0099");
    EXPECT_FALSE(hash.storedAsText);
    EXPECT_EQ(hash.raw, kBinaryHash);

    const std::string written = WriteMbdb(result.header, result.records);
    EXPECT_EQ(written, bytes);
    // domain and path fields, then "no value" link target, then the hash.
    const size_t hashOffset = 6 + 2 + 10 + 2 + 9 + 2;
    EXPECT_EQ(written.substr(hashOffset, 22), std::string("\x00\x14", 2) + kBinaryHash);
}

TEST(ManifestRead, PrintableValuesStayText) {
    MbdbRecordFields fields = FileRecord("HomeDomain", "Library/a");
    fields.dataHash = "plain text hash ~\x7f";
    fields.encryptionKey = std::string("\x01key", 4);
    fields.properties = {{"name", "value"}, {"bin", std::string("\x00\xff", 2)}};
    const MbdbReadResult result = ReadMbdb(MbdbBuilder().Record(fields).Bytes());
    ASSERT_EQ(result.records.size(), 1u);
    const MbdbRecord& record = result.records[0];
    EXPECT_EQ(record.dataHash.text, "plain text hash ~\x7f");
    EXPECT_TRUE(record.dataHash.storedAsText);
    EXPECT_EQ(record.encryptionKey.text, "016B6579");
    EXPECT_FALSE(record.encryptionKey.storedAsText);
    ASSERT_EQ(record.properties.size(), 2u);
    EXPECT_EQ(record.properties[0].name.text, "name");
    EXPECT_EQ(record.properties[0].value.text, "value");
    EXPECT_TRUE(record.properties[0].value.storedAsText);
    EXPECT_EQ(record.properties[1].value.text, "00FF");
    EXPECT_EQ(record.properties[1].value.raw, std::string("\x00\xff", 2));
}

TEST(ManifestWrite, DataHashStoredWithLengthZeroIsWrittenAsNoValue) {
    MbdbRecordFields fields = FileRecord("HomeDomain", "Library/a");
    fields.dataHash = "";
    const MbdbReadResult result = ReadMbdb(MbdbBuilder().Record(fields).Bytes());
    ASSERT_EQ(result.records.size(), 1u);
    EXPECT_EQ(result.records[0].dataHash.text, "");

    MbdbRecordFields expected = fields;
    expected.dataHash = std::nullopt;
    EXPECT_EQ(WriteMbdb(result.header, result.records), MbdbBuilder().Record(expected).Bytes());
}

TEST(ManifestWrite, DataHashIsWrittenFromItsTextForm) {
    const MbdbReadResult read = ReadMbdb(MbdbBuilder().Record(FileRecord("D", "p")).Bytes());
    ASSERT_EQ(read.records.size(), 1u);
    std::vector<MbdbRecord> records = read.records;
    records[0].dataHash.text = "0aFfzZ1";  // odd digit dropped, letters outside hex count as 0
    records[0].dataHash.storedAsText = false;
    MbdbRecordFields expected = FileRecord("D", "p");
    expected.dataHash = std::string("\x0a\xff\x00", 3);
    EXPECT_EQ(WriteMbdb(read.header, records), MbdbBuilder().Record(expected).Bytes());

    records[0].dataHash.text = std::string(300, 'h');
    records[0].dataHash.storedAsText = true;
    expected.dataHash = std::string(300, 'h');  // the full 16-bit length, 0x01 0x2C
    const std::string written = WriteMbdb(read.header, records);
    EXPECT_EQ(written, MbdbBuilder().Record(expected).Bytes());
    EXPECT_EQ(ReadMbdb(written).records.size(), 1u);
}

TEST(ManifestRead, BackupFileNameIsLowercaseSha1OfDomainDashPath) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/SMS/sms.db"));
    builder.Record(FileRecord("HomeDomain", ""));
    builder.Record(FileRecord("MediaDomain", "Library/SMS/Attachments/ab/12/IMG_0001.JPG"));
    const MbdbReadResult result = ReadMbdb(builder.Bytes());
    ASSERT_EQ(result.records.size(), 3u);
    EXPECT_EQ(result.records[0].backupFileName, "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
    EXPECT_EQ(result.records[1].backupFileName, "70765829101933f25994c71bbee6dfd685535bff");
    EXPECT_EQ(result.records[2].backupFileName, "003086a1ceef3d57f3f8285294fdb55b3cdfa427");
    EXPECT_EQ(MbdbBackupFileName("", ""), "3bc15c8aae3e4124dd409035f32ea2fd6835efc9");
}

TEST(ManifestRead, NamesOutsideAsciiAreHashedInTheirTextForm) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/caf\xc3\xa9"));
    builder.Record(FileRecord("HomeDomain", "bad\xffname"));
    const std::string bytes = builder.Bytes();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_EQ(result.records.size(), 2u);
    EXPECT_EQ(result.records[0].path.text, "Library/caf\xc3\xa9");
    EXPECT_EQ(result.records[0].backupFileName, "19543ecc755d10b1a514ff882c93ba3926ce159a");
    // An invalid sequence reads as U+FFFD in the text form and is written back as stored.
    EXPECT_EQ(result.records[1].path.text, "bad\xef\xbf\xbdname");
    EXPECT_EQ(result.records[1].path.raw, "bad\xffname");
    EXPECT_EQ(result.records[1].backupFileName, "7110d08bff71c58ac6e402f2a79d30db0f4aec2d");
    EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
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
    EXPECT_EQ(MbdbUtcTimeFromUnix(0), (MbdbUtcTime{1970, 1, 1, 0, 0, 0}));
    EXPECT_EQ(MbdbUtcTimeFromUnix(1709251199), (MbdbUtcTime{2024, 2, 29, 23, 59, 59}));
    EXPECT_EQ(MbdbUtcTimeFromUnix(1709251200), (MbdbUtcTime{2024, 3, 1, 0, 0, 0}));
    EXPECT_EQ(MbdbUtcTimeFromUnix(946684799), (MbdbUtcTime{1999, 12, 31, 23, 59, 59}));
    EXPECT_EQ(MbdbUtcTimeFromUnix(4107542400), (MbdbUtcTime{2100, 3, 1, 0, 0, 0}));
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

TEST(ManifestRoundTrip, VariedManifestIsByteIdentical) {
    const std::string bytes = VariedManifest();
    const MbdbReadResult result = ReadMbdb(bytes);
    ASSERT_TRUE(result.headerMatches);
    EXPECT_EQ(result.error, "");
    ASSERT_EQ(result.records.size(), 9u);
    EXPECT_EQ(result.records[7].properties.size(), 255u);
    EXPECT_EQ(WriteMbdb(result.header, result.records), bytes);
    EXPECT_EQ(ReadMbdb(WriteMbdb(result.header, result.records)).records, result.records);
}

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
    }
}

TEST(ManifestRead, StringLengthPastTheEndStopsTheRead) {
    MbdbBuilder builder;
    builder.Record(FileRecord("HomeDomain", "Library/a"));
    const size_t secondStart = builder.Size();
    builder.String("HomeDomain").U16(0xFFFE).Raw("only a few bytes");
    const MbdbReadResult result = ReadMbdb(builder.Bytes());
    ASSERT_EQ(result.records.size(), 1u);
    EXPECT_EQ(result.records[0].path.text, "Library/a");
    EXPECT_EQ(result.error, "truncated record at offset " + std::to_string(secondStart));

    // A property count larger than the properties that follow.
    MbdbBuilder properties;
    MbdbRecordFields fields = FileRecord("HomeDomain", "Library/b");
    fields.properties = {{"n", "v"}};
    properties.Record(fields);
    std::string bytes = properties.Bytes();
    bytes[bytes.size() - 7] = static_cast<char>(200);  // the count byte before "n" and "v"
    EXPECT_TRUE(ReadMbdb(bytes).records.empty());
    EXPECT_EQ(ReadMbdb(bytes).error, "truncated record at offset 6");
}

TEST(ManifestRecordList, UnchangedListWritesTheBytesItRead) {
    const std::string bytes = VariedManifest();
    MbdbRecordList list;
    ASSERT_TRUE(list.Read(bytes));
    EXPECT_EQ(list.Write(), bytes);
    // Cut inside the last record: the complete records come back as they were.
    MbdbRecordList cut;
    ASSERT_TRUE(cut.Read(bytes.substr(0, bytes.size() - 1)));
    EXPECT_EQ(cut.Size(), 8u);
    EXPECT_EQ(cut.Write(), bytes.substr(0, cut.BytesRead()));
    EXPECT_EQ(cut.Write(),
              WriteMbdb(cut.Header(), ReadMbdb(bytes.substr(0, cut.BytesRead())).records));
}

TEST(ManifestRecordList, ZeroLengthHashIsRewrittenAmongUnchangedRecords) {
    MbdbRecordFields emptyHash = FileRecord("HomeDomain", "Library/b");
    emptyHash.dataHash = "";
    MbdbRecordFields binaryHash = FileRecord("HomeDomain", "Library/c");
    binaryHash.dataHash = kBinaryHash;
    MbdbRecordList list;
    ASSERT_TRUE(list.Read(MbdbBuilder()
                              .Record(FileRecord("HomeDomain", "Library/a"))
                              .Record(emptyHash)
                              .Record(binaryHash)
                              .Bytes()));
    MbdbRecordFields written = emptyHash;
    written.dataHash = std::nullopt;
    EXPECT_EQ(list.Write(), MbdbBuilder()
                                .Record(FileRecord("HomeDomain", "Library/a"))
                                .Record(written)
                                .Record(binaryHash)
                                .Bytes());
}

TEST(ManifestRecordList, ReplaceAndRemoveChangeWhatIsWritten) {
    MbdbRecordList list;
    ASSERT_TRUE(list.Read(MbdbBuilder()
                              .Record(FileRecord("HomeDomain", "Library/a", 1))
                              .Record(FileRecord("MediaDomain", "DCIM/b", 2))
                              .Record(FileRecord("HomeDomain", "Library/c", 3))
                              .Bytes()));
    MbdbRecord changed = list.Record(2);
    changed.size = 9;
    changed.sizeBytes = {0, 0, 0, 0, 0, 0, 0, 9};
    list.Replace(2, changed);
    EXPECT_EQ(list.Record(2), changed);
    EXPECT_EQ(list.PathText(2), "Library/c");
    EXPECT_EQ(list.RemoveIf([&](size_t i) { return list.DomainText(i) == "MediaDomain"; }), 1u);
    ASSERT_EQ(list.Size(), 2u);
    EXPECT_EQ(list.Record(1), changed);
    EXPECT_EQ(list.BackupFileName(1), MbdbBackupFileName("HomeDomain", "Library/c"));
    EXPECT_EQ(list.Write(), MbdbBuilder()
                                .Record(FileRecord("HomeDomain", "Library/a", 1))
                                .Record(FileRecord("HomeDomain", "Library/c", 9))
                                .Bytes());
}

TEST(ManifestRecordList, ReadingAgainReplacesEverything) {
    MbdbRecordList list;
    ASSERT_TRUE(list.Read(VariedManifest()));
    list.Replace(0, MbdbRecord{});
    EXPECT_FALSE(list.Read(std::string("mbdb\x04\x00", 6)));
    EXPECT_EQ(list.Error(), "bad .mbdb file");
    EXPECT_EQ(list.Size(), 0u);
    EXPECT_FALSE(list.HeaderMatches());
    ASSERT_TRUE(list.Read(MbdbBuilder().Record(FileRecord("D", "p")).Bytes()));
    EXPECT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.Error(), "");
    EXPECT_EQ(list.Write(), MbdbBuilder().Record(FileRecord("D", "p")).Bytes());
}

}  // namespace
}  // namespace bw
