#include "privacy/sms_models.h"

#include "platform/text.h"
#include "privacy/sms_cells.h"
#include "scanner/scan_records.h"

namespace bw {

namespace {

size_t CopyUtf8Out(const std::string& text, BwChar* buffer) {
    return CopyTextOut(Utf8ToWide(text), buffer);
}

}  // namespace

size_t CAttachDetailModel::GetName(BwChar* buffer) {
    const size_t slash = relativePath.rfind('/');
    return CopyUtf8Out(slash == std::string::npos ? relativePath : relativePath.substr(slash + 1),
                       buffer);
}
size_t CAttachDetailModel::GetRelativePath(BwChar* buffer) {
    return CopyUtf8Out(relativePath, buffer);
}
size_t CAttachDetailModel::GetBackupFileName(BwChar* buffer) {
    return CopyUtf8Out(backupFileName, buffer);
}
unsigned char CAttachDetailModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

IAttachDetailModel* CAttachmentModel::GetDetail(int32_t index) {
    return ItemAt<CAttachDetailModel>(details, index);
}
size_t CAttachmentModel::GetCreatedDateText(BwChar* buffer) {
    return CopyTextOut(createdDateText, buffer);
}
size_t CAttachmentModel::GetFileName(BwChar* buffer) {
    return CopyTextOut(fileName, buffer);
}
unsigned char CAttachmentModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}
uint64_t CAttachmentModel::GetSize() {
    uint64_t size = 0;
    for (const auto& detail : details)
        size += detail->size;
    return size;
}

IAttachmentModel* CMessageModel::GetAttachment(int32_t index) {
    return ItemAt<CAttachmentModel>(attachments, index);
}
unsigned char CMessageModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}
size_t CMessageModel::GetDateText(BwChar* buffer) {
    return CopyTextOut(sms::DateText(date, epochOffset), buffer);
}
size_t CMessageModel::GetReadDateText(BwChar* buffer) {
    return CopyTextOut(sms::DateText(readDate, epochOffset), buffer);
}
size_t CMessageModel::GetText(BwChar* buffer) {
    return CopyTextOut(text, buffer);
}
size_t CMessageModel::GetSubject(BwChar* buffer) {
    return CopyTextOut(subject, buffer);
}
unsigned char CMessageModel::IsAttachmentSelected(int32_t index) {
    CAttachmentModel* attachment = ItemAt<CAttachmentModel>(attachments, index);
    return attachment == nullptr ? 0 : attachment->selected;
}

size_t CSMSChatModel::GetGuid(BwChar* buffer) {
    return CopyTextOut(guid, buffer);
}
size_t CSMSChatModel::GetChatIdentifier(BwChar* buffer) {
    return CopyUtf8Out(chatIdentifier, buffer);
}
size_t CSMSChatModel::GetContactName(BwChar* buffer) {
    return CopyTextOut(contactName, buffer);
}
size_t CSMSChatModel::GetDisplayName(BwChar* buffer) {
    return contactName.empty() ? GetChatIdentifier(buffer) : CopyTextOut(contactName, buffer);
}
size_t CSMSChatModel::GetServiceName(BwChar* buffer) {
    return CopyTextOut(serviceName, buffer);
}
unsigned char CSMSChatModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}
IMessageModel* CSMSChatModel::GetMessage(int32_t index) {
    return ItemAt<CMessageModel>(messages, index);
}

CMessageModel* CSMSChatModel::AddMessage(std::unique_ptr<CMessageModel> message) {
    messageCount += 1;
    attachmentCount += message->GetAttachmentCount();
    totalSize += message->GetTotalSize();
    messages.push_back(std::move(message));
    return messages.back().get();
}

}  // namespace bw
