#include <utility>

#include "backup/backup_prepare.h"
#include "backup/configure_tool.h"
#include "device/iphone.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/web_mail.h"
#include "scanner/scan_records.h"

namespace bw {
namespace {

constexpr std::string_view kWebDatabases = "WebKit/Databases/";

}  // namespace

unsigned char CMailMessage::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

IMailMessage* CMailModel::GetMessage(int32_t index) {
    return ItemAt<IMailMessage>(messages, index);
}

unsigned char CMailModel::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

CWebEmailHistory::CWebEmailHistory(std::string indexPath, std::string udid, int64_t offsetSeconds,
                                   CDeviceJunk* owner, CConfigureTool* configuration)
    : indexPath_(std::move(indexPath)),
      udid_(std::move(udid)),
      offsetSeconds_(offsetSeconds),
      owner_(owner),
      configuration_(configuration) {}

// A site's database lies in a folder named after its origin, below the index. The origin and
// the file name come from the backup: each must be one plain name, and the manifest record found
// must be that very file, not another whose path merely contains the text.
std::string CWebEmailHistory::WorkingCopyOf(const MailDatabaseEntry& entry) const {
    if (configuration_ == nullptr || !IsPlainFileName(entry.origin) ||
        !IsPlainFileName(entry.path)) {
        return "";
    }
    const std::string wanted = std::string(kWebDatabases) + entry.origin + "/" + entry.path;
    ManifestDataManager* manifest = configuration_->Manifest();
    if (manifest == nullptr) return "";
    const std::string domain = configuration_->SafariDomain();
    const std::string found = manifest->FindRecord(domain, wanted).path.text;
    const bool exact = found.ends_with(wanted) && (found.size() == wanted.size() ||
                                                   found[found.size() - wanted.size() - 1] == '/');
    if (!exact) return "";
    return configuration_->CopyWorkingFile(domain, wanted, kCategoryWebEmailHistory);
}

void CWebEmailHistory::SearchMailDatabases() {
    for (const MailDatabaseEntry& entry : CWebMailDataBase::FindMailDatabases(indexPath_)) {
        if (owner_->StopRequested()) break;
        const std::string copy = WorkingCopyOf(entry);
        if (copy.empty()) continue;
        auto model = std::make_unique<CMailModel>();
        model->origin = Utf8ToWide(entry.origin);
        model->path = Utf8ToWide(entry.path);
        model->site = entry.site;
        model->workingCopy = copy;
        owner_->SetMessage(model->origin);
        MailSiteReader(entry.site).ReadMessages(*model, offsetSeconds_, owner_);
        models_.push_back(owner_->Results(kResultWebMail).Append<IMailModel>(std::move(model)));
    }
}

size_t CWebEmailHistory::MessageCount() const {
    size_t count = 0;
    for (const CMailModel* model : models_)
        count += model->messages.size();
    return count;
}

void CWebEmailHistory::DeleteSelected() {
    processed_ = 0;
    total_ = static_cast<uint32_t>(models_.size());
    for (CMailModel* model : models_) {
        const size_t removed = MailSiteReader(model->site).DeleteMessages(*model);
        owner_->AdjustSelection(static_cast<uint32_t>(removed), 0, false);
        owner_->SetMessage(model->origin);
        ++processed_;
        owner_->PublishProgress(processed_, total_);
    }
}

CConfigureTool& CWebEmailJunk::Configuration() {
    return configuration != nullptr ? *configuration : CConfigureTool::Instance();
}

void CWebEmailJunk::Scan(CIPhone* device) {
    SetBusy(1);
    device_ = device;
    history_.reset();
    ReleaseItems(kResultWebMail);
    if (!StopRequested()) {
        CConfigureTool& tool = Configuration();
        const std::string index = tool.CopyWebMailDatabases();
        if (!index.empty() && platform::IsFile(index)) {
            std::string udid = tool.Udid();
            int64_t offset = tool.TimeZoneOffset();
            if (device != nullptr) {
                udid = device->ReadDeviceValueText("", "UniqueDeviceID");
                offset =
                    ParseTimeZoneOffset(device->ReadDeviceValueText("", "TimeZoneOffsetFromUTC"));
            }
            history_ =
                std::make_unique<CWebEmailHistory>(index, std::move(udid), offset, this, &tool);
            SetMessage(kMessageStartScanning);
            if (!StopRequested()) history_->SearchMailDatabases();
        }
    }
    SetFinished();
}

void CWebEmailJunk::Clean() {
    if (history_ != nullptr && history_->MessageCount() > 0) {
        SetBusy(0);
        SetMessage(kMessageStartCleaning);
        history_->ResetCounters();
        history_->DeleteSelected();
    }
    SetFinished();
}

}  // namespace bw
