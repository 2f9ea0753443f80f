// The records of the message scanner as the host sees them: a conversation, its messages, their
// attachment records and the backup files of each attachment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"

namespace bw {

// One backup file of an attachment. The UTF-8 fields are what the clean needs to take the file
// out of the backup.
class CAttachDetailModel : public IAttachDetailModel {
  public:
    size_t GetName(BwChar* buffer) override;
    size_t GetRelativePath(BwChar* buffer) override;
    size_t GetBackupFileName(BwChar* buffer) override;
    uint64_t GetSize() override { return size; }
    unsigned char Select(unsigned char toggle) override;
    unsigned char GetFlag() override { return flag; }

    std::string domain;          // the file record's domain
    std::string relativePath;    // its path in the domain
    std::string backupFileName;  // the 40 hexadecimal digits
    uint64_t size = 0;
    uint8_t selected = 1;
    uint8_t flag = 0;
};

class CAttachmentModel : public IAttachmentModel {
  public:
    IAttachDetailModel* GetDetail(int32_t index) override;
    int64_t GetCreatedDate() override { return createdDate; }
    int64_t GetStartDate() override { return startDate; }
    int32_t GetDetailCount() override { return static_cast<int32_t>(details.size()); }
    size_t GetCreatedDateText(BwChar* buffer) override;
    size_t GetFileName(BwChar* buffer) override;
    unsigned char Select(unsigned char toggle) override;
    int32_t GetRowId() override { return rowId; }
    unsigned char GetFlag() override { return flag; }
    uint64_t GetSize() override;

    int32_t rowId = 0;
    std::string guid;  // matches the attachment's files in the backup; never shown
    int64_t createdDate = 0;
    int64_t startDate = 0;
    std::u16string createdDateText;
    std::u16string fileName;
    uint8_t selected = 1;
    uint8_t flag = 0;
    std::vector<std::unique_ptr<CAttachDetailModel>> details;
};

class CMessageModel : public IMessageModel {
  public:
    int32_t GetAttachmentCount() override { return static_cast<int32_t>(attachments.size()); }
    IAttachmentModel* GetAttachment(int32_t index) override;
    uint64_t GetMessageSize() override { return messageSize; }
    unsigned char HasAttachments() override { return hasAttachments; }
    unsigned char Select(unsigned char toggle) override;
    unsigned char IsFinished() override { return finished; }
    unsigned char IsRead() override { return read; }
    unsigned char IsSent() override { return sent; }
    int32_t GetAttachmentRecordCount() override { return attachmentRecordCount; }
    int64_t GetLegacyReadDate() override { return legacyReadDate; }
    int64_t GetDate() override { return date; }
    size_t GetDateText(BwChar* buffer) override;
    int64_t GetReadDate() override { return readDate; }
    size_t GetReadDateText(BwChar* buffer) override;
    size_t GetText(BwChar* buffer) override;
    int32_t GetRowId() override { return rowId; }
    size_t GetSubject(BwChar* buffer) override;
    uint64_t GetAttachmentsSize() override { return attachmentsSize; }
    uint64_t GetTotalSize() override { return messageSize + attachmentsSize; }
    unsigned char IsAttachmentSelected(int32_t index) override;

    int32_t rowId = 0;
    std::u16string text;
    std::u16string subject;
    int64_t date = 0;
    int64_t readDate = 0;
    // Seconds from the Unix epoch to the store's own (2001 for iOS 6 and 7, 0 for iOS 5). The
    // date texts are made when asked for: a large store has more messages than a host shows.
    int64_t epochOffset = 0;
    int64_t legacyReadDate = 0;
    int64_t deliveredDate = 0;  // iOS 5 only; kept, never shown
    uint8_t finished = 0;
    uint8_t hasAttachments = 0;
    uint8_t read = 0;
    uint8_t sent = 0;
    uint8_t selected = 1;
    int32_t attachmentRecordCount = 0;
    uint64_t messageSize = 0;
    uint64_t attachmentsSize = 0;
    std::vector<std::unique_ptr<CAttachmentModel>> attachments;
};

class CSMSChatModel : public ISMSChatModel {
  public:
    size_t GetGuid(BwChar* buffer) override;
    size_t GetChatIdentifier(BwChar* buffer) override;
    size_t GetContactName(BwChar* buffer) override;
    size_t GetDisplayName(BwChar* buffer) override;
    size_t GetServiceName(BwChar* buffer) override;
    unsigned char Select(unsigned char toggle) override;
    IMessageModel* GetMessage(int32_t index) override;
    int32_t GetRowId() override { return rowId; }
    int32_t GetAttachmentCount() override { return attachmentCount; }
    int32_t GetMessageCount() override { return messageCount; }
    uint64_t GetTotalSize() override { return totalSize; }

    // Adds a message and its counts to the conversation.
    CMessageModel* AddMessage(std::unique_ptr<CMessageModel> message);

    int32_t rowId = 0;
    std::u16string guid;
    std::string chatIdentifier;  // UTF-8, as the database holds it; looked up and bound as is
    std::u16string contactName;
    std::u16string serviceName;
    uint8_t selected = 1;
    int32_t attachmentCount = 0;
    int32_t messageCount = 0;
    uint64_t totalSize = 0;
    std::vector<std::unique_ptr<CMessageModel>> messages;
};

}  // namespace bw
