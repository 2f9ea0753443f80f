// The texts exchanged with the backup tool, byte for byte, and the status record they fill.
#include <gtest/gtest.h>

#include <cstring>

#include "backup/device_backup.h"
#include "formats/plist_library.h"
#include "support/thread_state.h"

namespace bw {
namespace {

constexpr char kOpening[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
    "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist "
    "version=\"1.0\"><dict>\r\n";

TEST(BackupRequest, BackupRequestBytes) {
    const std::string expected = std::string(kOpening) +
                                 "<key>AMSDeviceIdentifierKey</key>\r\n"
                                 "<string>-1</string>\r\n"
                                 "<key>AMSMessageSignatureKey</key>\r\n"
                                 "<array>\r\n"
                                 "<string>AMSDeviceIdentifierKey</string>\r\n"
                                 "<string>AMSTargetIdentifierKey</string>\r\n"
                                 "<string>AMSBackupOptionsKey</string>\r\n"
                                 "</array>\r\n"
                                 "<key>AMSRequestKey</key>\r\n"
                                 "<string>AMSBackupRequest</string>\r\n"
                                 "<key>AMSTargetIdentifierKey</key>\r\n"
                                 "<string>0123abcd</string>\r\n"
                                 "</dict>\r\n"
                                 "</plist>\r\n";
    EXPECT_EQ(BuildBackupRequest(u"0123abcd"), expected);
    BackupRunSettings settings;
    settings.targetIdentifier = u"0123abcd";
    settings.sourceIdentifier = u"ignored";
    settings.restoreFromCopy = true;
    EXPECT_EQ(BuildRequest(settings), expected);
}

std::string RestoreHead() {
    return std::string(kOpening) +
           "<key>AMSDeviceIdentifierKey</key>\r\n"
           "<string>-1</string>\r\n"
           "<key>AMSMessageSignatureKey</key>\r\n"
           "<array>\r\n"
           "<string>AMSDeviceIdentifierKey</string>\r\n"
           "<string>AMSTargetIdentifierKey</string>\r\n"
           "<string>AMSSourceTargetIdentifierKey</string>\r\n"
           "<string>AMSBackupApplicationsKey</string>\r\n"
           "<string>AMSRestoreRestoreOptionsKey</string>\r\n"
           "</array>\r\n"
           "<key>AMSRequestKey</key>\r\n"
           "<string>AMSRestoreWithApplicationsRequest</string>\r\n"
           "<key>AMSRestoreRestoreOptionsKey</key>\r\n";
}

TEST(BackupRequest, RestoreRequestBytesWithAndWithoutTheCopyFlag) {
    const std::string tail =
        "<key>AMSTargetIdentifierKey</key>\r\n"
        "<string>target-id</string>\r\n"
        "</dict>\r\n"
        "</plist>\r\n";
    // Restoring in place names the target as its own source and asks for no reboot.
    const std::string inPlace = RestoreHead() +
                                "<dict>\r\n"
                                "<key>RestoreDontCopyBackup</key>\r\n"
                                "<true/>\r\n"
                                "<key>RestoreShouldReboot</key>\r\n"
                                "<false/>\r\n"
                                "</dict>\r\n"
                                "<key>AMSSourceTargetIdentifierKey</key>\r\n"
                                "<string>target-id</string>\r\n" +
                                tail;
    const std::string fromCopy = RestoreHead() +
                                 "<dict>\r\n"
                                 "<key>RestoreDontCopyBackup</key>\r\n"
                                 "<true/>\r\n"
                                 "</dict>\r\n"
                                 "<key>AMSSourceTargetIdentifierKey</key>\r\n"
                                 "<string>source-id</string>\r\n" +
                                 tail;
    EXPECT_EQ(BuildRestoreRequest(u"target-id", u"source-id", false), inPlace);
    EXPECT_EQ(BuildRestoreRequest(u"target-id", u"source-id", true), fromCopy);
    BackupRunSettings settings;
    settings.mode = kBackupModeRestore;
    settings.targetIdentifier = u"target-id";
    settings.sourceIdentifier = u"source-id";
    EXPECT_EQ(BuildRequest(settings), inPlace);
    // Any mode but 0 restores.
    settings.mode = 7;
    EXPECT_EQ(BuildRequest(settings), inPlace);
    settings.restoreFromCopy = true;
    EXPECT_EQ(BuildRequest(settings), fromCopy);
}

TEST(BackupRequest, IdentifiersAreInsertedAsTheyAreInUtf8) {
    const std::string request = BuildBackupRequest(u"a<b&\u00e9\U0001F600");
    EXPECT_NE(request.find("<string>a<b&\xC3\xA9\xF0\x9F\x98\x80</string>\r\n"), std::string::npos);
    // A lone surrogate cannot be written as UTF-8 and becomes U+FFFD instead of cutting the text.
    const std::u16string broken = {u'x', static_cast<char16_t>(0xD800), u'y'};
    EXPECT_NE(BuildBackupRequest(broken).find("<string>x\xEF\xBF\xBDy</string>"),
              std::string::npos);
}

std::string Plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body +
           "</dict></plist>";
}

TEST(ToolMessages, ProgressErrorOrEndFromTheKeysAndTheirTypes) {
    CDicValueObj tree = CDicValueObj::MakeDictionary();
    tree.Set("AMSBackupPercentageKey", CDicValueObj::MakeInteger(99));
    std::string binary;
    writeBinary(tree, binary);
    const auto progress = ToolMessage::kProgress;
    const auto error = ToolMessage::kError;
    const auto end = ToolMessage::kEnd;
    const struct {
        std::string bytes;
        ToolMessage::Kind kind;
        double percent;
        int32_t errorCode;
    } cases[] = {
        {Plist("<key>AMSBackupPercentageKey</key><integer>42</integer>"), progress, 42, 0},
        // Other types still make a progress message, with 0 as its percentage.
        {Plist("<key>AMSBackupPercentageKey</key><real>42.5</real>"), progress, 0, 0},
        {Plist("<key>AMSBackupPercentageKey</key><string>42</string>"), progress, 0, 0},
        // Progress wins over an error code in the same message.
        {Plist("<key>errorCode</key><integer>5</integer>"
               "<key>AMSBackupPercentageKey</key><integer>7</integer>"),
         progress, 7, 0},
        {binary, progress, 99, 0},
        {Plist("<key>errorCode</key><integer>105</integer>"), error, 0, 105},
        {Plist("<key>errorCode</key><integer>-3</integer>"), error, 0, -3},
        {Plist("<key>errorCode</key><string>105</string>"), error, 0, -1},
        {Plist("<key>errorCode</key><integer>4294967296</integer>"), error, 0, -1},
        {Plist("<key>Status</key><string>done</string>"), end, 0, 0},
        {Plist(""), end, 0, 0},
        {"", end, 0, 0},
        {"not a plist", end, 0, 0},
        {"<?xml version=\"1.0\"?><plist><dict><key>errorCode", end, 0, 0},
        // A top level other than a dictionary, even holding the keys.
        {"<plist><array><string>errorCode</string></array></plist>", end, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        const ToolMessage message = ParseToolMessage(c.bytes);
        EXPECT_EQ(message.kind, c.kind);
        EXPECT_EQ(message.percent, c.percent);
        EXPECT_EQ(message.errorCode, c.errorCode);
    }
}

TEST(BackupStatusRecord, MessageFitsWithItsTerminatingZeroOrIsNotCopied) {
    BackupStatus status{};
    BackupStatusWriter writer(&status);
    writer.SetMessage(u"Start Backup...");
    EXPECT_EQ(std::u16string(status.message), u"Start Backup...");
    const std::u16string longest(BW_BACKUP_MESSAGE_CHARS - 1, u'x');
    writer.SetMessage(longest);
    EXPECT_EQ(std::u16string(status.message), longest);
    writer.SetMessage(u"short");
    writer.SetMessage(std::u16string(BW_BACKUP_MESSAGE_CHARS, u'y'));
    writer.SetMessage(std::u16string(1000, u'z'));
    EXPECT_EQ(std::u16string(status.message), u"short");
    writer.ClearMessage();
    EXPECT_EQ(status.message[0], 0);

    writer.SetPercent(55);
    writer.Fail(17);
    EXPECT_EQ(status.finished, 0);
    writer.Finish();
    EXPECT_EQ(status.percent, 55.0);
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 17);
    EXPECT_EQ(status.finished, 1);

    BackupStatusWriter none(nullptr);
    none.SetMessage(u"nothing");
    none.SetPercent(1);
    none.Fail(1);
    none.Finish();
}

TEST(BackupRunSettings, SourceIdentifierIsTheLastComponentOfTheFolder) {
    const std::pair<std::u16string, std::u16string> cases[] = {
        {u"C:\\Backup\\abc-20240101-000000", u"abc-20240101-000000"},
        {u"/home/me/Backup/abc", u"abc"},
        {u"/home/me/Backup/abc/", u"abc"},
        {u"abc", u"abc"},
        {u"", u""},
        {u"\\\\", u""},
    };
    for (const auto& [folder, identifier] : cases)
        EXPECT_EQ(SourceIdentifierOf(folder), identifier);
}

TEST(BackupRunSettings, ASecondObjectReplacesTheFirstsSettings) {
    CDeviceBackUp first(u"first", kBackupModeRestore, true, u"/backups/first-copy");
    EXPECT_EQ(RunSettings().targetIdentifier, u"first");
    EXPECT_EQ(RunSettings().sourceIdentifier, u"first-copy");
    EXPECT_EQ(first.BackupFolder(), u"/backups/first-copy");
    CDeviceBackUp second(u"second", kBackupModeBackup, false, u"/backups/second");
    EXPECT_EQ(RunSettings().targetIdentifier, u"second");
    EXPECT_EQ(RunSettings().mode, kBackupModeBackup);
    EXPECT_FALSE(RunSettings().restoreFromCopy);
    EXPECT_EQ(RunSettings().sourceIdentifier, u"second");
    EXPECT_EQ(BuildRequest(RunSettings()), BuildBackupRequest(u"second"));
}

TEST(BackupRunSettings, EmptyTargetIdentifierMakesStartDoNothing) {
    BackupStatus status{};
    CDeviceBackUp run(u"", kBackupModeBackup, false, u"");
    run.SetStatus(&status);
    // A run works on a thread of its own, whose first act is the start text: had Start begun one,
    // the thread would still be listed when Start returns, or its text would be there.
    const size_t threadsBefore = testing::ThreadCount();
    run.Start();
    EXPECT_EQ(testing::ThreadCount(), threadsBefore);
    EXPECT_EQ(status.message[0], 0);
    EXPECT_EQ(status.finished, 0);
    EXPECT_EQ(status.failed, 0);
}

}  // namespace
}  // namespace bw
