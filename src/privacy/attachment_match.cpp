#include "privacy/attachment_match.h"

#include <memory>

#include "backup/manifest.h"
#include "platform/files.h"
#include "privacy/sms_models.h"

namespace bw {

CMatchAttachmentFile::CMatchAttachmentFile(ManifestDataManager* manifest, std::string udid)
    : udid_(std::move(udid)) {
    if (manifest == nullptr) return;
    for (const MbdbRecord& record : manifest->ListDomainRecords(kMediaDomain)) {
        if (record.path.text.find(kAttachmentsFolder) == std::string::npos) continue;
        // Folders and files the backup lacks have nothing to size or remove.
        if (record.backupFileName.empty() || !platform::IsPlainFile(manifest->FullPath(record))) {
            continue;
        }
        files_.push_back(File{record.path.text, record.backupFileName, record.size});
    }
}

uint64_t CMatchAttachmentFile::Match(CAttachmentModel& attachment) const {
    // An empty GUID is contained in every path: it names no file.
    if (attachment.guid.empty()) return 0;
    uint64_t added = 0;
    for (const File& file : files_) {
        if (file.relativePath.find(attachment.guid) == std::string::npos) continue;
        auto detail = std::make_unique<CAttachDetailModel>();
        detail->domain = kMediaDomain;
        detail->relativePath = file.relativePath;
        detail->backupFileName = file.backupFileName;
        detail->size = file.size;
        added += file.size;
        attachment.details.push_back(std::move(detail));
    }
    return added;
}

}  // namespace bw
