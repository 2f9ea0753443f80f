// The iOS 6 and 7 message database: conversations in chat, messages and attachments reached
// through chat_message_join and message_attachment_join. The database's own triggers on the join
// tables remove the message and attachment rows, so the clean only deletes join rows.
#include <algorithm>
#include <memory>

#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "privacy/attachment_match.h"
#include "privacy/sms_cells.h"
#include "privacy/sms_database.h"
#include "privacy/sms_models.h"
#include "privacy/sms_triggers.h"
#include "scanner/device_junk.h"
#include "scanner/result_list.h"

namespace bw {

namespace {

constexpr char kChatQuery[] = "select ROWID,guid,chat_identifier from chat";
constexpr char kMessageQuery[] =
    "SELECT ROWID,text,subject,date,date_read,is_finished,cache_has_attachments,is_read,is_sent "
    "from Message where ROWID in (select message_id from chat_message_join where chat_id=";
constexpr char kAttachmentQuery[] =
    "SELECT ROWID,guid,created_date,start_date,filename FROM attachment where ROWID in (select "
    "attachment_id from message_attachment_join where message_id=";

uint8_t Flag(const TableRow& row, size_t column) {
    return sms::Integer(row, column) != 0 ? 1 : 0;
}

std::unique_ptr<CMessageModel> MakeMessage(const TableRow& row) {
    auto message = std::make_unique<CMessageModel>();
    message->rowId = static_cast<int32_t>(sms::Integer(row, 0));
    const std::string_view text = sms::Text(row, 1);
    const std::string_view subject = sms::Text(row, 2);
    message->text = Utf8ToWide(text);
    message->subject = Utf8ToWide(subject);
    message->messageSize = text.size() + subject.size();
    message->date = sms::Integer(row, 3);
    message->epochOffset = sms::kEpoch2001;
    message->readDate = sms::Integer(row, 4);
    message->finished = Flag(row, 5);
    message->hasAttachments = Flag(row, 6);
    message->read = Flag(row, 7);
    message->sent = Flag(row, 8);
    return message;
}

}  // namespace

void CSMSDataBase_6::LoadChats(ResultList& list) {
    if (!platform::IsFile(path_) || !OpenDatabase(path_)) return;
    const size_t first = list.size();
    // One read transaction for the whole load: the working copy is ours alone, and without it
    // each of the per-conversation and per-message queries takes and drops its own lock.
    const bool reading = ExecuteSql(kExecuteStatement, "BEGIN");
    // The tables cannot change during the load, so the attachment table is looked up once.
    hasAttachmentTable_ = TableExists("attachment");
    ReadMessagesWithAttachments();
    if (QueryToTable(kChatQuery)) {
        const CTable chats = TakeResultTable();
        const CMatchAttachmentFile files = MatchAttachments();
        for (const TableRow& row : chats.rows) {
            if (StopRequested() || (owner_ != nullptr && owner_->StopRequested())) break;
            auto chat = std::make_unique<CSMSChatModel>();
            chat->rowId = static_cast<int32_t>(sms::Integer(row, 0));
            chat->guid = Utf8ToWide(sms::Text(row, 1));
            chat->chatIdentifier = sms::Text(row, 2);
            LoadMessages(*chat, files);
            list.Append<ISMSChatModel>(std::move(chat));
        }
    }
    if (reading) ExecuteSql(kExecuteStatement, "COMMIT");
    LookUpContacts(list, first);
    CloseDatabase();
}

void CSMSDataBase_6::LoadMessages(CSMSChatModel& chat, const CMatchAttachmentFile& files) {
    // The row id is a number read from the database itself. Rows are taken as they come: a store
    // that fails part of the way still shows the messages read before.
    QueryEachRow(kMessageQuery + std::to_string(chat.rowId) + ")", {}, [&](const TableRow& row) {
        std::unique_ptr<CMessageModel> message = MakeMessage(row);
        if (hasAttachmentTable_ &&
            std::binary_search(messagesWithAttachments_.begin(), messagesWithAttachments_.end(),
                               message->rowId) &&
            QueryToTable(kAttachmentQuery + std::to_string(message->rowId) + ")")) {
            const CTable attachments = TakeResultTable();
            for (const TableRow& attachmentRow : attachments.rows) {
                std::unique_ptr<CAttachmentModel> attachment =
                    sms::AttachmentFromRow(attachmentRow, sms::kEpoch2001);
                message->attachmentsSize += files.Match(*attachment);
                message->attachments.push_back(std::move(attachment));
            }
            message->attachmentRecordCount = static_cast<int32_t>(attachments.rows.size());
        }
        if (owner_ != nullptr) {
            owner_->SetMessage(message->subject + u"...");
            owner_->AdjustSelection(1, message->GetTotalSize(), true);
        }
        chat.AddMessage(std::move(message));
    });
}

// The attachment statement is run for the messages that the join table names; for every other
// message its answer is known to be empty (nothing changes the database during the load), and
// skipping those statements is most of the scan's time on a large store.
void CSMSDataBase_6::ReadMessagesWithAttachments() {
    messagesWithAttachments_.clear();
    if (!hasAttachmentTable_ ||
        !QueryToTable("SELECT DISTINCT message_id FROM message_attachment_join")) {
        return;
    }
    const CTable ids = TakeResultTable();
    messagesWithAttachments_.reserve(ids.rows.size());
    for (const TableRow& row : ids.rows)
        messagesWithAttachments_.push_back(static_cast<int32_t>(sms::Integer(row, 0)));
    std::sort(messagesWithAttachments_.begin(), messagesWithAttachments_.end());
}

bool CSMSDataBase_6::DeleteMessages(CSMSChatModel& chat) {
    std::vector<CMessageModel*> selected;
    std::vector<int32_t> messageIds;
    std::vector<int32_t> attachmentIds;
    uint64_t size = 0;
    for (const auto& message : chat.messages) {
        if (message->selected == 0) continue;
        selected.push_back(message.get());
        messageIds.push_back(message->rowId);
        size += message->GetTotalSize();
        for (const auto& attachment : message->attachments)
            attachmentIds.push_back(attachment->rowId);
    }
    // A failing statement is passed over: the conversation row goes all the same.
    if (!attachmentIds.empty()) {
        ExecuteSql(kExecuteStatement,
                   "delete  FROM message_attachment_join where attachment_id in (" +
                       RowIdListClosed(attachmentIds));
    }
    RemoveAttachmentFiles(selected);
    if (owner_ != nullptr) owner_->SetMessage(kMessagePleaseWaitCleaning);
    if (!messageIds.empty()) {
        ExecuteSql(kExecuteStatement, "DELETE FROM chat_message_join where message_id in (" +
                                          RowIdListClosed(messageIds));
    }
    AddProcessed(static_cast<uint32_t>(messageIds.size()));
    if (owner_ != nullptr) {
        owner_->AdjustSelection(static_cast<uint32_t>(messageIds.size()), size, false);
    }
    return true;
}

std::string CSMSDataBase_6::DeleteChatStatement(int32_t rowId) const {
    return "DELETE FROM chat WHERE ROWID=" + std::to_string(rowId);
}

void CSMSDataBase_6::DropTriggers() {
    ExecuteSql(kExecuteStatement, kSms6DropTrigger);
}

void CSMSDataBase_6::CreateTriggers() {
    ExecuteSql(kExecuteStatement, kSms6CreateTrigger);
}

void CSMSDataBase_6::UpdateSequenceCounters() {
    ExecuteSql(kExecuteStatement,
               "update _SqliteDatabaseProperties set value=value+1 where "
               "key='__IMDRecordSequenceNumber'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select count(*) from chat) where name='chat'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select count(*) from handle) where name='handle'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select count(*) from message) where "
               "name='message'");
    ExecuteSql(kExecuteStatement,
               "update sqlite_sequence set seq=(select count(*) from attachment) where "
               "name='attachment'");
}

}  // namespace bw
