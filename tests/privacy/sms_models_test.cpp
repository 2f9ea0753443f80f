// The message scanner's records through their host interfaces, the schema choice by version and
// the scanner's row in the junk-type table.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "brackwater/privacy.h"
#include "privacy/sms_database.h"
#include "privacy/sms_junk.h"
#include "privacy/sms_models.h"
#include "session/scan_device.h"

namespace bw {
namespace {

// The host's two calls: the length with room for the terminator and one spare, then the text.
std::u16string TwoCallText(size_t (*get)(void*, BwChar*), void* object) {
    const size_t needed = get(object, nullptr);
    EXPECT_GE(needed, 2u);
    std::u16string buffer(needed, u'#');
    const size_t again = get(object, buffer.data());
    EXPECT_EQ(again, needed);
    const size_t end = buffer.find(u'\0');
    EXPECT_NE(end, std::u16string::npos);
    EXPECT_EQ(end + 2, needed);  // the length counts the text, its terminator and one more
    return buffer.substr(0, end);
}

template <auto Getter, class Record>
std::u16string Text(Record& record) {
    return TwoCallText(
        [](void* object, BwChar* buffer) {
            return (static_cast<Record*>(object)->*Getter)(buffer);
        },
        &record);
}

std::unique_ptr<CAttachmentModel> Attachment(uint64_t firstSize, uint64_t secondSize) {
    auto attachment = std::make_unique<CAttachmentModel>();
    for (uint64_t size : {firstSize, secondSize}) {
        auto detail = std::make_unique<CAttachDetailModel>();
        detail->relativePath =
            "Library/SMS/Attachments/0a/1b/IMG_000" + std::to_string(size) + ".JPG";
        detail->backupFileName = std::string(40, 'c');
        detail->size = size;
        attachment->details.push_back(std::move(detail));
    }
    return attachment;
}

TEST(SmsRecords, AttachDetailSlotsGiveNamePathAndBackupName) {
    auto attachment = Attachment(3, 5);
    IAttachDetailModel* detail = attachment->GetDetail(1);
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(Text<&IAttachDetailModel::GetName>(*detail), u"IMG_0005.JPG");
    EXPECT_EQ(Text<&IAttachDetailModel::GetRelativePath>(*detail),
              u"Library/SMS/Attachments/0a/1b/IMG_0005.JPG");
    EXPECT_EQ(Text<&IAttachDetailModel::GetBackupFileName>(*detail), std::u16string(40, u'c'));
    EXPECT_EQ(detail->GetSize(), 5u);
    EXPECT_EQ(detail->GetFlag(), 0);
    EXPECT_EQ(detail->Select(0), 1);
    EXPECT_EQ(detail->Select(1), 0);
    EXPECT_EQ(detail->Select(0), 0);
    EXPECT_EQ(detail->Select(1), 1);
    EXPECT_EQ(attachment->GetDetail(2), nullptr);
    EXPECT_EQ(attachment->GetDetail(-1), nullptr);
}

TEST(SmsRecords, AttachmentSizeIsItsFilesAndTextsFollowTwoCallRule) {
    auto attachment = Attachment(3, 5);
    attachment->fileName = u"~/Library/SMS/Attachments/it's 100%.jpg";
    attachment->createdDateText = u"2013/05/06 07:08:09";
    IAttachmentModel& host = *attachment;
    EXPECT_EQ(host.GetSize(), 8u);
    EXPECT_EQ(host.GetDetailCount(), 2);
    EXPECT_EQ(Text<&IAttachmentModel::GetFileName>(host),
              u"~/Library/SMS/Attachments/it's 100%.jpg");
    EXPECT_EQ(Text<&IAttachmentModel::GetCreatedDateText>(host), u"2013/05/06 07:08:09");
    EXPECT_EQ(host.Select(1), 0);
    EXPECT_EQ(host.Select(0), 0);
}

TEST(SmsRecords, MessageTotalsAndAttachmentSelection) {
    CMessageModel message;
    message.text = u"hello";
    message.subject = u"";
    message.messageSize = 5;
    message.attachments.push_back(Attachment(3, 5));
    message.attachments.push_back(Attachment(1, 1));
    message.attachmentsSize = 10;
    IMessageModel& host = message;
    EXPECT_EQ(host.GetAttachmentCount(), 2);
    EXPECT_EQ(host.GetTotalSize(), 15u);
    EXPECT_EQ(host.GetAttachmentsSize(), 10u);
    EXPECT_EQ(Text<&IMessageModel::GetText>(host), u"hello");
    EXPECT_EQ(Text<&IMessageModel::GetSubject>(host), u"");
    ASSERT_NE(host.GetAttachment(1), nullptr);
    host.GetAttachment(1)->Select(1);
    EXPECT_EQ(host.IsAttachmentSelected(0), 1);
    EXPECT_EQ(host.IsAttachmentSelected(1), 0);
    EXPECT_EQ(host.IsAttachmentSelected(2), 0);
    EXPECT_EQ(host.GetAttachment(2), nullptr);
    EXPECT_EQ(host.Select(0), 1);
}

TEST(SmsRecords, ChatCountsWhatItsMessagesAdd) {
    CSMSChatModel chat;
    chat.chatIdentifier = "o'brien@example.com";
    chat.guid = u"iMessage;-;o'brien@example.com";
    auto first = std::make_unique<CMessageModel>();
    first->messageSize = 4;
    first->attachments.push_back(Attachment(2, 2));
    first->attachmentsSize = 4;
    auto second = std::make_unique<CMessageModel>();
    second->messageSize = 7;
    chat.AddMessage(std::move(first));
    chat.AddMessage(std::move(second));
    ISMSChatModel& host = chat;
    EXPECT_EQ(host.GetMessageCount(), 2);
    EXPECT_EQ(host.GetAttachmentCount(), 1);
    EXPECT_EQ(host.GetTotalSize(), 15u);
    ASSERT_NE(host.GetMessage(1), nullptr);
    EXPECT_EQ(host.GetMessage(1)->GetMessageSize(), 7u);
    EXPECT_EQ(host.GetMessage(2), nullptr);
    EXPECT_EQ(Text<&ISMSChatModel::GetChatIdentifier>(host), u"o'brien@example.com");
    EXPECT_EQ(Text<&ISMSChatModel::GetGuid>(host), u"iMessage;-;o'brien@example.com");
    // Without a contact the identifier stands for the name.
    EXPECT_EQ(Text<&ISMSChatModel::GetContactName>(host), u"");
    EXPECT_EQ(Text<&ISMSChatModel::GetDisplayName>(host), u"o'brien@example.com");
    chat.contactName = u"Flann O'Brien";
    EXPECT_EQ(Text<&ISMSChatModel::GetDisplayName>(host), u"Flann O'Brien");
    EXPECT_EQ(host.Select(0), 1);
    EXPECT_EQ(host.Select(1), 0);
}

TEST(SmsSchemaChoice, FirstCharacterOfTheVersionDecides) {
    auto kind = [](std::string_view version) -> std::string {
        const auto database =
            CreateSmsDatabase(version, "/nonexistent/sms.db", "udid", nullptr, nullptr);
        if (database == nullptr) return "none";
        if (dynamic_cast<CSMSDataBase_5*>(database.get()) != nullptr) return "5";
        if (dynamic_cast<CSMSDataBase_6*>(database.get()) != nullptr) return "6";
        return "other";
    };
    EXPECT_EQ(kind("5.1.1"), "5");
    EXPECT_EQ(kind("6.1.3"), "6");
    EXPECT_EQ(kind("7.1.2"), "6");
    EXPECT_EQ(kind("7"), "6");
    EXPECT_EQ(kind("1"), "none");
    EXPECT_EQ(kind("10.3.3"), "none");
    EXPECT_EQ(kind("4.3.5"), "none");
    EXPECT_EQ(kind("8.0"), "none");
    EXPECT_EQ(kind(""), "none");
    EXPECT_EQ(kind(" 6.1"), "none");
}

TEST(SmsRowIdList, NumbersJoinedByCommasAndClosed) {
    EXPECT_EQ(RowIdListClosed({7}), "7)");
    EXPECT_EQ(RowIdListClosed({1, 20, -3}), "1,20,-3)");
    EXPECT_EQ(RowIdListClosed({}), ")");
}

TEST(SmsJunkType, TypeNineMakesTheMessageScanner) {
    const std::unique_ptr<CDeviceJunk> scanner = CreateJunkScanner(kJunkMessages, {});
    ASSERT_NE(scanner, nullptr);
    EXPECT_NE(dynamic_cast<CDeviceSMSJunk*>(scanner.get()), nullptr);
}

}  // namespace
}  // namespace bw
