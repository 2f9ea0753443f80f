#include "backup/manifest.h"

#include <algorithm>

#include "backup/sha1.h"
#include "platform/files.h"

namespace bw {
namespace {

constexpr std::string_view kManifestName = "Manifest.mbdb";
constexpr std::string_view kSaveName = "Manifest-2.mbdb";
constexpr std::string_view kAppDomainPrefix = "AppDomain-";

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

// The new manifest is first written completely beside the old one. A working copy with another
// name gets "-2" appended, so the new bytes never land on a file we did not mean to touch.
std::string SavePathFor(const std::string& manifestPath) {
    if (manifestPath.ends_with(kManifestName)) {
        return manifestPath.substr(0, manifestPath.size() - kManifestName.size()) +
               std::string(kSaveName);
    }
    return manifestPath + "-2";
}

}  // namespace

ManifestDataManager::ManifestDataManager(std::string udid, std::string backupFolder,
                                         std::string manifestPath)
    : udid_(std::move(udid)),
      backupFolder_(std::move(backupFolder)),
      manifestPath_(std::move(manifestPath)) {}

ManifestDataManager::~ManifestDataManager() = default;

bool ManifestDataManager::Load() {
    // An empty list is read again on the next operation, so a manifest that appears later (a
    // backup still being written) is found. A list that RemoveRecords emptied is not: reading
    // again would bring the removed records back.
    if (!records_.empty() || listEdited_) return !records_.empty();
    if (manifestPath_.empty()) {
        lastError_ = "no manifest path";
        return false;
    }
    std::string bytes;
    if (!platform::ReadWholeFile(manifestPath_, bytes)) {
        lastError_ = "cannot open file";
        return false;
    }
    MbdbReadResult result = ReadMbdb(bytes);
    lastError_ = std::move(result.error);
    if (!result.headerMatches) return false;
    header_ = std::move(result.header);
    records_ = std::move(result.records);
    return !records_.empty();
}

const std::vector<MbdbRecord>& ManifestDataManager::Records() {
    Load();
    return records_;
}

std::string ManifestDataManager::FullPath(const MbdbRecord& record) const {
    return platform::JoinPath(backupFolder_, record.backupFileName);
}

MbdbRecord* ManifestDataManager::FindLoadedRecord(std::string_view domain, std::string_view path) {
    if (manifestPath_.empty()) return nullptr;
    Load();
    for (MbdbRecord& record : records_) {
        if (record.domain.text == domain && Contains(record.path.text, path)) return &record;
    }
    return nullptr;
}

MbdbRecord ManifestDataManager::FindRecord(std::string_view domain, std::string_view path) {
    const MbdbRecord* record = FindLoadedRecord(domain, path);
    return record != nullptr ? *record : MbdbRecord{};
}

bool ManifestDataManager::HasRecord(std::string_view domain, std::string_view path) {
    return FindLoadedRecord(domain, path) != nullptr;
}

// The new size and data hash are stored in the listed record, so that a saved manifest describes
// the edited file that the restore puts on the device. The hash is kept as its 20 bytes (text
// flag off), the form a backup writes.
std::string ManifestDataManager::UpdateRecordFromFile(std::string_view domain,
                                                      std::string_view path,
                                                      const std::string& file) {
    MbdbRecord* record = FindLoadedRecord(domain, path);
    if (record == nullptr) return "";
    std::string content;
    if (!platform::ReadWholeFile(file, content)) return "";
    const uint64_t size = content.size();
    for (size_t i = 0; i < 8; ++i) {
        record->sizeBytes[i] = static_cast<uint8_t>(size >> (8 * (7 - i)));
    }
    record->size = size;
    const Sha1::Digest digest = Sha1::Hash(content);
    const std::string hash = HexUpper(digest);
    record->dataHash.storedLength = Sha1::kDigestSize;
    record->dataHash.raw.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
    record->dataHash.text = hash;
    record->dataHash.storedAsText = false;
    return hash;
}

std::vector<std::string> ManifestDataManager::FindAllFilePaths(std::string_view domain,
                                                               std::string_view path) {
    std::vector<std::string> paths;
    Load();
    for (const MbdbRecord& record : records_) {
        if (record.domain.text == domain && Contains(record.path.text, path)) {
            paths.push_back(FullPath(record));
        }
    }
    return paths;
}

std::vector<MbdbRecord> ManifestDataManager::ListDomainRecords(std::string_view domain) {
    std::vector<MbdbRecord> records;
    Load();
    for (const MbdbRecord& record : records_) {
        if (record.domain.text == domain) records.push_back(record);
    }
    return records;
}

std::vector<ManifestDataManager::FileItem> ManifestDataManager::ListAllFiles() {
    std::vector<FileItem> items;
    Load();
    items.reserve(records_.size());
    for (const MbdbRecord& record : records_) {
        FileItem& item = items.emplace_back();
        item.domain = record.domain.text;
        item.path = record.path.text;
        item.fileName = record.backupFileName;
        const std::optional<uint64_t> size = platform::FileSize(FullPath(record));
        item.exists = size.has_value();
        item.size = size.value_or(0);
    }
    return items;
}

std::string ManifestDataManager::FindSmsDatabase() {
    if (!platform::IsFile(manifestPath_)) return "";
    const MbdbRecord* record = FindLoadedRecord("HomeDomain", "SMS/sms.db");
    return record != nullptr ? FullPath(*record) : "";
}

std::vector<std::string> ManifestDataManager::FindSmsAttachmentFiles() {
    std::vector<std::string> paths;
    Load();
    for (const MbdbRecord& record : records_) {
        if (record.domain.text != "MediaDomain" || !Contains(record.path.text, "SMS")) continue;
        std::string full = FullPath(record);
        if (platform::IsFile(full)) paths.push_back(std::move(full));
    }
    return paths;
}

std::set<std::string> ManifestDataManager::CollectAppDomains() {
    std::set<std::string> identifiers;
    Load();
    for (const MbdbRecord& record : records_) {
        const size_t prefix = record.domain.text.find(kAppDomainPrefix);
        if (prefix == std::string::npos) continue;
        identifiers.insert(record.domain.text.substr(prefix + kAppDomainPrefix.size()));
    }
    return identifiers;
}

size_t ManifestDataManager::RemoveRecords(std::string_view domain,
                                          const std::vector<std::string>& paths, bool deleteFiles) {
    Load();
    size_t kept = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
        MbdbRecord& record = records_[i];
        bool remove = record.domain.text == domain && !record.backupFileName.empty() &&
                      std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
                          return Contains(record.path.text, path);
                      });
        if (remove) {
            // A record whose file is already missing stays listed: the backup still names it, and
            // dropping it would hide that the backup is incomplete.
            const std::string full = FullPath(record);
            remove = platform::IsFile(full);
            if (remove && deleteFiles) platform::RemoveFile(full);
        }
        if (!remove) {
            if (kept != i) records_[kept] = std::move(record);
            ++kept;
        }
    }
    const size_t removed = records_.size() - kept;
    records_.resize(kept);
    if (removed > 0) listEdited_ = true;
    return removed;
}

// The records are loaded first: a save before any lookup writes the manifest as read instead of
// an empty list, and a manifest whose header does not match is never written over.
//
// The new manifest is written completely and flushed as "Manifest-2.mbdb", then renamed over
// "Manifest.mbdb". A rename within one folder is atomic, so a crash or a full disk leaves either
// the old or the new manifest, never a partly copied one, and "Manifest-2.mbdb" is gone afterwards
// in both cases.
std::string ManifestDataManager::Save() {
    Load();
    if (header_.empty()) return "";
    const std::string bytes = WriteMbdb(header_, records_);
    const std::string savePath = SavePathFor(manifestPath_);
    if (!platform::WriteFileAtomic(savePath, bytes)) return "";
    if (!platform::RenamePath(savePath, manifestPath_)) {
        platform::RemoveFile(savePath);
        return "";
    }
    return manifestPath_;
}

}  // namespace bw
