#include "backup/manifest.h"

#include <algorithm>

#include "formats/sha1.h"
#include "platform/files.h"

namespace bw {
namespace {

constexpr std::string_view kAppDomainPrefix = "AppDomain-";

bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
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
    if (!records_.Empty() || listEdited_) return !records_.Empty();
    if (manifestPath_.empty()) {
        lastError_ = "no manifest path";
        lastErrorDetail_.clear();
        return false;
    }
    std::string bytes;
    if (!platform::ReadWholeFile(manifestPath_, bytes, kMaxManifestBytes)) {
        records_.Clear();  // nor is a header read earlier good for a save any more
        lastError_ = "cannot open file";
        lastErrorDetail_.clear();
        return false;
    }
    records_.Read(std::move(bytes));
    lastError_ = records_.Error();
    lastErrorDetail_ = records_.Detail();
    return !records_.Empty();
}

std::vector<MbdbRecord> ManifestDataManager::Records() {
    Load();
    std::vector<MbdbRecord> records;
    records.reserve(records_.Size());
    for (size_t i = 0; i < records_.Size(); ++i)
        records.push_back(records_.Record(i));
    return records;
}

void ManifestDataManager::ForEachRecord(const std::function<void(const MbdbRecord&)>& visit) {
    Load();
    MbdbRecord record;
    for (size_t i = 0; i < records_.Size(); ++i) {
        records_.Record(i, record);
        visit(record);
    }
}

std::string ManifestDataManager::FullPath(const MbdbRecord& record) const {
    return platform::JoinPath(backupFolder_, record.backupFileName);
}

std::string ManifestDataManager::FullPath(size_t index) const {
    return platform::JoinPath(backupFolder_, records_.BackupFileName(index));
}

size_t ManifestDataManager::FindIndex(std::string_view domain, std::string_view path) {
    if (manifestPath_.empty()) return kNotFound;
    Load();
    for (size_t i = 0; i < records_.Size(); ++i) {
        if (records_.DomainText(i) == domain && Contains(records_.PathText(i), path)) return i;
    }
    return kNotFound;
}

MbdbRecord ManifestDataManager::FindRecord(std::string_view domain, std::string_view path) {
    const size_t index = FindIndex(domain, path);
    return index != kNotFound ? records_.Record(index) : MbdbRecord{};
}

bool ManifestDataManager::HasRecord(std::string_view domain, std::string_view path) {
    return FindIndex(domain, path) != kNotFound;
}

// The new size and data hash are stored in the listed record, so that a saved manifest describes
// the edited file that the restore puts on the device. The hash is kept as its 20 bytes (text
// flag off), the form a backup writes.
std::string ManifestDataManager::UpdateRecordFromFile(std::string_view domain,
                                                      std::string_view path,
                                                      const std::string& file) {
    const size_t index = FindIndex(domain, path);
    if (index == kNotFound) return "";
    // Hashed as it is read: the file may be as large as anything the phone holds.
    std::optional<platform::FileReader> reader = platform::FileReader::Open(file);
    if (!reader) return "";
    Sha1 hasher;
    uint64_t size = 0;
    std::vector<char> chunk(1 << 16);
    for (;;) {
        const int64_t n = reader->Read(chunk.data(), chunk.size());
        if (n < 0) return "";
        if (n == 0) break;
        hasher.Update(chunk.data(), static_cast<size_t>(n));
        size += static_cast<uint64_t>(n);
    }
    MbdbRecord record = records_.Record(index);
    for (size_t i = 0; i < 8; ++i) {
        record.sizeBytes[i] = static_cast<uint8_t>(size >> (8 * (7 - i)));
    }
    record.size = size;
    const Sha1::Digest digest = hasher.Finish();
    std::string hash = HexUpper(digest);
    record.dataHash.storedLength = Sha1::kDigestSize;
    record.dataHash.raw.assign(reinterpret_cast<const char*>(digest.data()), digest.size());
    record.dataHash.text = hash;
    record.dataHash.storedAsText = false;
    records_.Replace(index, std::move(record));
    return hash;
}

std::vector<std::string> ManifestDataManager::FindAllFilePaths(std::string_view domain,
                                                               std::string_view path) {
    std::vector<std::string> paths;
    Load();
    for (size_t i = 0; i < records_.Size(); ++i) {
        if (records_.DomainText(i) == domain && Contains(records_.PathText(i), path)) {
            paths.push_back(FullPath(i));
        }
    }
    return paths;
}

std::vector<MbdbRecord> ManifestDataManager::ListDomainRecords(std::string_view domain) {
    std::vector<MbdbRecord> records;
    Load();
    for (size_t i = 0; i < records_.Size(); ++i) {
        if (records_.DomainText(i) == domain) records.push_back(records_.Record(i));
    }
    return records;
}

std::vector<ManifestDataManager::FileItem> ManifestDataManager::ListAllFiles() {
    std::vector<FileItem> items;
    Load();
    items.reserve(records_.Size());
    for (size_t i = 0; i < records_.Size(); ++i) {
        FileItem& item = items.emplace_back();
        item.domain = records_.DomainText(i);
        item.path = records_.PathText(i);
        item.fileName = records_.BackupFileName(i);
        const std::optional<uint64_t> size =
            platform::FileSize(platform::JoinPath(backupFolder_, item.fileName));
        item.exists = size.has_value();
        item.size = size.value_or(0);
    }
    return items;
}

std::string ManifestDataManager::FindSmsDatabase() {
    if (!platform::IsFile(manifestPath_)) return "";
    const size_t index = FindIndex("HomeDomain", "SMS/sms.db");
    return index != kNotFound ? FullPath(index) : "";
}

std::vector<std::string> ManifestDataManager::FindSmsAttachmentFiles() {
    std::vector<std::string> paths;
    Load();
    for (size_t i = 0; i < records_.Size(); ++i) {
        if (records_.DomainText(i) != "MediaDomain" || !Contains(records_.PathText(i), "SMS")) {
            continue;
        }
        std::string full = FullPath(i);
        if (platform::IsFile(full)) paths.push_back(std::move(full));
    }
    return paths;
}

std::set<std::string> ManifestDataManager::CollectAppDomains() {
    std::set<std::string> identifiers;
    Load();
    for (size_t i = 0; i < records_.Size(); ++i) {
        const std::string_view domain = records_.DomainText(i);
        const size_t prefix = domain.find(kAppDomainPrefix);
        if (prefix == std::string_view::npos) continue;
        identifiers.emplace(domain.substr(prefix + kAppDomainPrefix.size()));
    }
    return identifiers;
}

std::vector<std::string> ManifestDataManager::RemoveDomain(std::string_view domain) {
    std::vector<std::string> files;
    Load();
    const size_t removed = records_.RemoveIf([&](size_t i) {
        if (records_.DomainText(i) != domain) return false;
        const std::string fileName = records_.BackupFileName(i);
        if (!fileName.empty()) {
            std::string full = platform::JoinPath(backupFolder_, fileName);
            if (platform::IsPlainFile(full)) files.push_back(std::move(full));
        }
        return true;
    });
    if (removed > 0) listEdited_ = true;
    return files;
}

size_t ManifestDataManager::RemoveRecords(std::string_view domain,
                                          const std::vector<std::string>& paths, bool deleteFiles) {
    Load();
    const size_t removed = records_.RemoveIf([&](size_t i) {
        if (records_.DomainText(i) != domain) return false;
        const std::string_view recordPath = records_.PathText(i);
        if (std::none_of(paths.begin(), paths.end(),
                         [&](const std::string& path) { return Contains(recordPath, path); })) {
            return false;
        }
        const std::string fileName = records_.BackupFileName(i);
        if (fileName.empty()) return false;
        // A record whose file is already missing stays listed: only records of files that this
        // operation takes out of the backup leave the manifest.
        const std::string full = platform::JoinPath(backupFolder_, fileName);
        if (!platform::IsFile(full)) return false;
        if (deleteFiles) platform::RemoveFile(full);
        return true;
    });
    if (removed > 0) listEdited_ = true;
    return removed;
}

// The records are loaded first: a save before any lookup writes the manifest as read instead of
// an empty list, and a manifest whose header does not match is never written over.
//
// The new manifest replaces the old one as a whole (see platform::ReplaceFile): a crash or a
// full disk leaves either the old or the new manifest, never a partly written one, and no other
// file of the backup folder is touched.
std::string ManifestDataManager::Save() {
    Load();
    if (!records_.HeaderMatches()) return "";
    if (!platform::WriteFileAtomic(manifestPath_, records_.Write())) return "";
    return manifestPath_;
}

}  // namespace bw
