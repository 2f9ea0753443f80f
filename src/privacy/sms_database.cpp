#include "privacy/sms_database.h"

#include <utility>

#include "backup/configure_tool.h"
#include "formats/sqlite_table.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/attachment_match.h"
#include "privacy/contact_manage.h"
#include "privacy/sms_models.h"
#include "scanner/device_junk.h"
#include "scanner/result_list.h"

namespace bw {

std::string RowIdListClosed(const std::vector<int32_t>& rowIds) {
    std::string list;
    for (size_t i = 0; i < rowIds.size(); ++i) {
        if (i != 0) list += ',';
        list += std::to_string(rowIds[i]);
    }
    return list + ")";
}

CSMSDBAbstract::CSMSDBAbstract(std::string path, std::string udid, CDeviceJunk* owner,
                               CConfigureTool* configure)
    : path_(std::move(path)), udid_(std::move(udid)), owner_(owner), configure_(configure) {}

CSMSDBAbstract::~CSMSDBAbstract() = default;

CMatchAttachmentFile CSMSDBAbstract::MatchAttachments() const {
    return CMatchAttachmentFile(configure_ == nullptr ? nullptr : configure_->Manifest(), udid_);
}

void CSMSDBAbstract::LookUpContacts(ResultList& list, size_t first) const {
    if (configure_ == nullptr || list.size() <= first) return;
    const std::string addressBook = configure_->CopyAddressBook();
    CContactManage contacts;
    // The message database is open: the address book opens over it and closes back to it.
    if (addressBook.empty() || !contacts.Load(addressBook)) return;
    for (size_t i = first; i < list.size(); ++i) {
        CSMSChatModel* chat = list.At<CSMSChatModel>(i);
        chat->contactName = contacts.LookUpName(-1, Utf8ToWide(chat->chatIdentifier));
    }
}

void CSMSDBAbstract::RemoveAttachmentFiles(const std::vector<CMessageModel*>& messages) const {
    if (configure_ == nullptr) return;
    // The files go with the completion of the deep clean, together with the edited database, so
    // a clean that is never completed leaves the backup whole.
    for (const CMessageModel* message : messages) {
        for (const auto& attachment : message->attachments) {
            for (const auto& detail : attachment->details) {
                configure_->AddDeleteEntry(detail->backupFileName, detail->domain,
                                           detail->relativePath);
            }
        }
    }
}

void CSMSDBAbstract::AddProcessed(uint32_t count) {
    processed_ += count;
    if (owner_ != nullptr) owner_->PublishProgress(processed_, total_);
}

void CSMSDBAbstract::DeleteChats(ResultList& list) {
    if (list.empty()) return;
    // A missing file is not created by opening it.
    if (!platform::IsFile(path_) || !OpenDatabase(path_)) return;
    // One transaction for the whole deletion: each statement alone would be a commit with its own
    // journal and flushes, thousands of them for a large store. A statement that fails inside it
    // undoes only itself, as it would alone; what ran before stays.
    const bool inTransaction = ExecuteSql(kExecuteStatement, "BEGIN");
    DropTriggers();
    processed_ = 0;
    total_ = 0;
    for (size_t i = 0; i < list.size(); ++i) {
        for (const auto& message : list.At<CSMSChatModel>(i)->messages) {
            if (message->selected != 0) ++total_;
        }
    }
    bool completed = true;
    for (size_t i = 0; i < list.size() && completed; ++i) {
        CSMSChatModel* chat = list.At<CSMSChatModel>(i);
        if (chat->Select(0) == 0) continue;
        bool succeeded = chat->messages.empty() || DeleteMessages(*chat);
        if (succeeded) {
            succeeded = ExecuteSql(kExecuteStatement, DeleteChatStatement(chat->rowId));
        }
        if (!succeeded && FailureEndsDeletion()) completed = false;
    }
    if (completed) UpdateSequenceCounters();
    CreateTriggers();
    if (inTransaction) ExecuteSql(kExecuteStatement, "COMMIT");
    CloseDatabase();
}

std::unique_ptr<CSMSDBAbstract> CreateSmsDatabase(std::string_view productVersion, std::string path,
                                                  std::string udid, CDeviceJunk* owner,
                                                  CConfigureTool* configure) {
    const char major = productVersion.empty() ? '\0' : productVersion.front();
    if (major == '5') {
        return std::make_unique<CSMSDataBase_5>(std::move(path), std::move(udid), owner, configure);
    }
    if (major == '6' || major == '7') {
        return std::make_unique<CSMSDataBase_6>(std::move(path), std::move(udid), owner, configure);
    }
    return nullptr;
}

}  // namespace bw
