// The iOS 5 message database: conversations in madrid_chat, messages in message (found by the
// conversation's address), attachments in madrid_attachment (found by the GUIDs that each
// message's archived attachment information names).
#include <memory>

#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "privacy/attachment_match.h"
#include "privacy/sms_attachment_info.h"
#include "privacy/sms_cells.h"
#include "privacy/sms_database.h"
#include "privacy/sms_models.h"
#include "privacy/sms_triggers.h"
#include "scanner/device_junk.h"
#include "scanner/result_list.h"

namespace bw {

namespace {

constexpr char kChatQuery[] = "select ROWID,chat_identifier,service_name from madrid_chat";
// The address is bound: it comes from the backup and may hold any text.
constexpr char kMessageQuery[] =
    "SELECT ROWID,text,subject,date,madrid_date_read,madrid_date_delivered,madrid_attachmentInfo"
    " FROM message where madrid_handle =?";
constexpr char kAttachmentQuery[] =
    "SELECT ROWID,attachment_guid,created_date,start_date,filename,uti_type,mime_type,"
    "transfer_state  FROM madrid_attachment WHERE attachment_guid in (";

// The message text in UTF-8 bytes is what the message itself takes in the database.
uint64_t TextSize(std::string_view text, std::string_view subject) {
    return text.size() + subject.size();
}

}  // namespace

void CSMSDataBase_5::LoadChats(ResultList& list) {
    if (!platform::IsFile(path_) || !OpenDatabase(path_)) return;
    const size_t first = list.size();
    // As for the iOS 6 schema: one read transaction, and the tables looked up once, since nothing
    // changes the working copy during the load.
    const bool reading = ExecuteSql(kExecuteStatement, "BEGIN");
    hasMessageTable_ = TableExists("message");
    hasAttachmentTable_ = TableExists("madrid_attachment");
    if (TableExists("madrid_chat") && QueryToTable(kChatQuery)) {
        const CTable chats = TakeResultTable();
        const CMatchAttachmentFile files = MatchAttachments();
        for (const TableRow& row : chats.rows) {
            if (StopRequested() || (owner_ != nullptr && owner_->StopRequested())) break;
            auto chat = std::make_unique<CSMSChatModel>();
            chat->rowId = static_cast<int32_t>(sms::Integer(row, 0));
            chat->chatIdentifier = sms::Text(row, 1);
            chat->serviceName = Utf8ToWide(sms::Text(row, 2));
            LoadMessages(*chat, files);
            list.Append<ISMSChatModel>(std::move(chat));
        }
    }
    if (reading) ExecuteSql(kExecuteStatement, "COMMIT");
    LookUpContacts(list, first);
    CloseDatabase();
}

void CSMSDataBase_5::LoadMessages(CSMSChatModel& chat, const CMatchAttachmentFile& files) {
    if (!hasMessageTable_ || !QueryBound(kMessageQuery, {chat.chatIdentifier})) return;
    const CTable messages = TakeResultTable();
    for (const TableRow& row : messages.rows) {
        auto message = std::make_unique<CMessageModel>();
        message->rowId = static_cast<int32_t>(sms::Integer(row, 0));
        const std::string_view text = sms::Text(row, 1);
        const std::string_view subject = sms::Text(row, 2);
        message->text = Utf8ToWide(text);
        message->subject = Utf8ToWide(subject);
        message->messageSize = TextSize(text, subject);
        message->date = sms::Integer(row, 3);
        message->legacyReadDate = sms::Integer(row, 4);
        message->deliveredDate = sms::Integer(row, 5);
        const std::vector<std::string> guids = AttachmentGuidsFromInfo(sms::Bytes(row, 6));
        message->attachmentRecordCount = static_cast<int32_t>(guids.size());
        message->hasAttachments = guids.empty() ? 0 : 1;
        if (!guids.empty() && hasAttachmentTable_) {
            // One parameter per GUID: the GUIDs are GUID-shaped, but bound all the same.
            std::string query = kAttachmentQuery;
            std::vector<SqlValue> values;
            for (size_t i = 0; i < guids.size(); ++i) {
                query += i == 0 ? "?" : ",?";
                values.emplace_back(guids[i]);
            }
            query += ")";
            if (QueryBound(query, values)) {
                const CTable attachments = TakeResultTable();
                for (const TableRow& attachmentRow : attachments.rows) {
                    std::unique_ptr<CAttachmentModel> attachment =
                        sms::AttachmentFromRow(attachmentRow, 0);
                    message->attachmentsSize += files.Match(*attachment);
                    message->attachments.push_back(std::move(attachment));
                }
            }
        }
        chat.AddMessage(std::move(message));
    }
}

bool CSMSDataBase_5::DeleteMessages(CSMSChatModel& chat) {
    std::vector<CMessageModel*> selected;
    std::vector<int32_t> messageIds;
    std::vector<int32_t> attachmentIds;
    for (const auto& message : chat.messages) {
        if (message->selected == 0) continue;
        selected.push_back(message.get());
        messageIds.push_back(message->rowId);
        for (const auto& attachment : message->attachments)
            attachmentIds.push_back(attachment->rowId);
    }
    if (!attachmentIds.empty() && TableExists("madrid_attachment") &&
        !ExecuteSql(kExecuteStatement, "Delete from madrid_attachment where ROWID in (" +
                                           RowIdListClosed(attachmentIds))) {
        return false;
    }
    RemoveAttachmentFiles(selected);
    if (owner_ != nullptr) owner_->SetMessage(kMessagePleaseWaitCleaning);
    if (!messageIds.empty() && TableExists("message") &&
        !ExecuteSql(kExecuteStatement,
                    "DELETE FROM message where ROWID in (" + RowIdListClosed(messageIds))) {
        return false;
    }
    AddProcessed(static_cast<uint32_t>(messageIds.size()));
    return true;
}

std::string CSMSDataBase_5::DeleteChatStatement(int32_t rowId) const {
    return "DELETE FROM madrid_chat WHERE ROWID=" + std::to_string(rowId);
}

void CSMSDataBase_5::DropTriggers() {
    for (std::string_view drop : kSms5DropTriggers)
        ExecuteSql(kExecuteStatement, drop);
}

void CSMSDataBase_5::CreateTriggers() {
    for (std::string_view text : kSms5CreateTriggers)
        ExecuteSql(kExecuteStatement, text);
}

void CSMSDataBase_5::UpdateSequenceCounters() {
    ExecuteSql(kExecuteStatement,
               "update _SqliteDatabaseProperties set value=value+1 where "
               "key='__CPRecordSequenceNumber'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select max(ROWID) from madrid_chat) where "
               "name='madrid_chat'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select max(ROWID) from message) where "
               "name='message'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select max(ROWID) from madrid_attachment) where "
               "name='madrid_attachment'");
}

}  // namespace bw
