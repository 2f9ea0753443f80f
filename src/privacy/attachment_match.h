// Which backup files belong to an attachment record: the media-domain files under
// "SMS/Attachments" whose path contains the attachment's GUID.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

class CAttachmentModel;
class ManifestDataManager;

inline constexpr char kMediaDomain[] = "MediaDomain";
inline constexpr char kAttachmentsFolder[] = "SMS/Attachments";

class CMatchAttachmentFile {
  public:
    // Reads the attachment files of the backup behind `manifest` once: those whose backup file
    // exists. A null manifest matches nothing.
    CMatchAttachmentFile(ManifestDataManager* manifest, std::string udid);

    // Adds a detail record to `attachment` for every kept file whose path contains its GUID, in
    // manifest order, and returns the sizes added.
    uint64_t Match(CAttachmentModel& attachment) const;

    size_t FileCount() const { return files_.size(); }
    const std::string& Udid() const { return udid_; }

  private:
    struct File {
        std::string relativePath;
        std::string backupFileName;
        uint64_t size = 0;
    };
    std::vector<File> files_;
    std::string udid_;
};

}  // namespace bw
