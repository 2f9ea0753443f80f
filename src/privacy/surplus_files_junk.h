// The surplus-attachments scanner (junk type 18): attachment files of the backup that no
// attachment record of the SMS database refers to any more. The scan first takes the attachment
// rows that no message refers to out of the backup's SMS database, then lists the attachment
// files that no remaining row names; the clean takes the selected files and their manifest
// records out of the backup when the deep clean completes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "backup/manifest.h"
#include "brackwater/privacy.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class CConfigureTool;

// The domain and folder that hold the files of SMS attachments in a backup.
inline constexpr std::string_view kAttachmentDomain = "MediaDomain";
inline constexpr std::string_view kAttachmentFolder = "Library/SMS/Attachments/";

// A backup file record that can be a surplus attachment at all: a regular file below the
// attachments folder whose path does not climb out of it.
bool IsAttachmentFileRecord(const MbdbRecord& record);

// The schema of the SMS database and the statements that go with it.
class CSurplusSMSFile {
  public:
    enum class Schema { kNone, kIos5, kIos6 };

    // By the first character of "ProductVersion": "5" is the iOS 5 schema, "6" and "7" the
    // iOS 6 schema, anything else none.
    static Schema SchemaFor(std::string_view productVersion);

    explicit CSurplusSMSFile(Schema schema) : schema_(schema) {}
    Schema schema() const { return schema_; }

    // Takes the attachment rows that no message refers to out of the database at `path`; returns
    // how many rows went. Nothing is written when there is nothing to take out.
    size_t CleanOrphans(const std::string& path) const;
    // The GUIDs of the attachment rows, or nothing when the database cannot be read.
    std::optional<std::vector<std::string>> ReferencedGuids(const std::string& path) const;

  private:
    size_t CleanOrphans5() const;
    size_t CleanOrphans6() const;

    Schema schema_;
};

class CSurplusFileModel : public ISurplusFileModel {
  public:
    explicit CSurplusFileModel(MbdbRecord fileRecord);

    size_t GetName(BwChar* buffer) override { return CopyTextOut(name, buffer); }
    const void* GetRecord() override { return &record; }
    uint64_t GetSize() override { return record.size; }
    unsigned char Select(unsigned char toggle) override;

    MbdbRecord record;
    std::u16string name;  // the record's path
    uint8_t selected = 1;
};

// The scanner's work on one backup: the SMS database through the configuration's working copy,
// the attachment files through its manifest.
class CSurplusFileManage {
  public:
    CSurplusFileManage(CConfigureTool& configure, CSurplusSMSFile::Schema schema);

    // Removes the orphaned rows; false when the backup has no SMS database or the schema is
    // unknown.
    bool CleanOrphans();
    // The attachment file records no attachment row refers to, in manifest order; empty when the
    // referenced GUIDs cannot be read (then nothing can be called surplus).
    std::vector<MbdbRecord> SurplusFiles();
    // Marks the record's backup file and manifest record for removal by the completion. The
    // completion also takes out every record of the domain whose path contains the record's path
    // (a database's companions): a file whose path another file's extends is marked only when
    // that file is in `removing` too, so that nothing the user kept leaves with it.
    bool RemoveFile(const MbdbRecord& record, const std::set<std::string>& removing);

    size_t orphansRemoved = 0;

  private:
    CConfigureTool& configure_;
    CSurplusSMSFile sms_;
    std::string database_;
    std::vector<std::string> domainPaths_;  // read on the first removal
};

class CSurplusFilesJunk : public CDeviceJunk {
  public:
    // Without a configuration the process-wide deep-clean configuration serves.
    explicit CSurplusFilesJunk(CConfigureTool* configure = nullptr);
    ~CSurplusFilesJunk() override;

    void Scan(CIPhone* device) override;
    void Clean() override;

    CSurplusFileManage* Manage() const { return manage_.get(); }

  private:
    CConfigureTool& configure_;
    uint8_t scanning_ = 0;
    std::unique_ptr<CSurplusFileManage> manage_;
};

}  // namespace bw
